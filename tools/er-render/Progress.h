// The progress line on the terminal: "er-render:  42% (12.6 of 30.0 s)", redrawn at most a few times a second,
// only when stderr is a terminal and the render is long enough to be worth watching, and taken off before
// anything else is printed.
#pragma once

#include <chrono>
#include <cstdint>

namespace er_render {

class ProgressLine {
public:
    // `enabled` false (for -q) draws nothing; so does stderr that is no terminal, or a render of less than
    // MIN_SECONDS of audio.
    ProgressLine(std::int64_t total, float rate, bool enabled, int fd = 2);
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    static constexpr double MIN_SECONDS = 10.0;  // renders shorter than this (of audio) show no progress line
    static constexpr double INTERVAL = 0.25;     // seconds of wall time between updates

    // Takes the line off the terminal, so that what follows starts on a clean line.
    void Clear();
    // Told the frames done; always answers true (the render goes on). The end is always drawn.
    bool Update(std::int64_t done);
    bool Enabled() const { return m_enabled; }

private:
    void Put(const char* text) const;

    std::int64_t m_total;
    double m_rate;
    int m_fd;
    bool m_enabled;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_last;
};

}  // namespace er_render
