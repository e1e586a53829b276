#include "Progress.h"

#include <cstring>

#include <unistd.h>

#include "Text.h"

namespace er_render {

using namespace er_text;

ProgressLine::ProgressLine(std::int64_t total, float rate, bool enabled, int fd)
    : m_total(total), m_rate(rate), m_fd(fd), m_enabled(enabled && total > 0 && isatty(fd) != 0 && static_cast<double>(total) / rate >= MIN_SECONDS) {}

void ProgressLine::Put(const char* text) const {
    // The terminal may refuse a line; nothing depends on it.
    if (write(m_fd, text, std::strlen(text)) < 0) return;
}

void ProgressLine::Clear() {
    if (m_drawn) Put("\r\033[K");
    m_drawn = false;
}

bool ProgressLine::Update(std::int64_t done) {
    if (!m_enabled) return true;
    const auto now = std::chrono::steady_clock::now();
    const bool last = done >= m_total;
    if (m_drawn && !last && std::chrono::duration<double>(now - m_last).count() < INTERVAL) return true;
    Put(Printf("\rer-render: %3.0f%% (%.1f of %.1f s)", 100.0 * static_cast<double>(done) / static_cast<double>(m_total),
               static_cast<double>(done) / m_rate, static_cast<double>(m_total) / m_rate)
            .c_str());
    m_last = now;
    m_drawn = true;
    return true;
}

}  // namespace er_render
