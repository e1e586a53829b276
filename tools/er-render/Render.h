// The render: one module instance per channel, driven block by block through the substitute host as a modular
// host would drive it. Every settable pin is announced once at the first sample, "Active" last so that the
// delay buffer is sized for the final "Max Delay(s)"; ramped pins stream. A host block starts at each positive
// gate, which follows an OP_RESUME as a new voice would (the resume arms the reset in "Mono Mode").
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Host.h"
#include "Settings.h"

namespace er_render {

// What goes out: the module's output (the delayed signal alone), optionally mixed with the input, then scaled.
struct Mix {
    bool dry = false;       // add the input
    double dry_gain = 1.0;  // linear
    double wet_gain = 1.0;  // linear, on the module's output
    double gain = 1.0;      // linear, on the sum
    // The module's output unchanged, bit for bit.
    bool Identity() const { return !dry && wet_gain == 1.0 && gain == 1.0; }
};

struct RenderJob {
    float rate = 48000.0f;
    std::int32_t channels = 1;
    std::int64_t input_frames = 0;  // frames taken from the source; the rest of the render is silence
    std::int64_t total_frames = 0;  // input plus tail; at most INT32_MAX (the host's sample clock)
    std::int32_t block = 512;
    std::vector<PinSetting> settings;
    std::vector<std::int64_t> gates;  // frames where a positive gate starts; held for one block, then 0
    Mix mix;
    std::int64_t end_window = 0;  // the last frames whose peak RenderStats::end_peak reports
};

struct RenderStats {
    double peak = 0.0;         // largest magnitude of an output sample
    double sum_squares = 0.0;  // over every output sample of every channel
    std::int64_t samples = 0;
    double end_peak = 0.0;             // largest magnitude within the job's end window
    std::int64_t past_full_scale = 0;  // output samples beyond +-1.0, whatever the output format makes of them

    double Rms() const { return samples > 0 ? std::sqrt(sum_squares / static_cast<double>(samples)) : 0.0; }
};

// Fills `frames` interleaved input frames.
using Source = std::function<void(float* interleaved, std::int32_t frames)>;
// Takes `frames` interleaved output frames.
using Sink = std::function<void(const float* interleaved, std::int32_t frames)>;
// Told the frames done so far after each block; answers false to stop the render.
using Progress = std::function<bool(std::int64_t done)>;

class Renderer {
public:
    // Creates and opens the instances. Throws Failure (EXIT_MODULE) when the library gives no processing object
    // or lacks a pin the render needs (audio in and out, and the gate when `job` has gates).
    Renderer(const er_host::Library& library, RenderJob job);
    ~Renderer();

    // Runs the whole render. Throws Failure (EXIT_NOT_FINITE) at the first output sample that is infinite or not
    // a number, Failure (EXIT_INTERNAL) when the host reports a fault of the module. `progress` answering false
    // stops the render early (Failure EXIT_INTERNAL; the caller stops it only for its own reasons).
    RenderStats Run(const Source& source, const Sink& sink, const Progress& progress);

    // The same render a block at a time, for a caller that sums several renders: Start once, then for each
    // position from 0 up to the job's total frames, BlockAt says how many frames the next block holds and Step
    // runs them: `input` and `output` hold that many interleaved frames of the job's channels; the output is the
    // module's, unmixed. CheckHost after the last block.
    void Start();
    std::int32_t BlockAt(std::int64_t position) const;
    void Step(std::int64_t position, std::int32_t count, const float* input, float* output);
    void CheckHost() const;
    // Settings that differ from the render's from the next block on, as a host sends a change: every pin whose
    // value differs is posted at that block's first sample, in the order Announce posts them ("Active" last).
    // Ramps are not taken (a ramp spans a whole render); the caller refuses them.
    void Change(const std::vector<PinSetting>& settings);
    // The module instance of a channel, for a benchmark that times the module's own entry on its buffers.
    er_host::Instance& InstanceOf(std::int32_t channel) { return *m_instances[static_cast<std::size_t>(channel)]; }

private:
    struct GateEvent {
        std::int64_t frame;
        float value;
    };
    void Announce();
    void StreamRamps(std::int64_t position, std::int32_t count);
    void PostGates(std::int64_t position, std::int32_t count);

    RenderJob m_job;
    std::vector<std::unique_ptr<er_host::Instance>> m_instances;
    std::int32_t m_audio_in = -1;
    std::int32_t m_out = -1;
    std::int32_t m_gate = -1;
    std::vector<GateEvent> m_gate_events;  // in frame order
    std::size_t m_next_gate = 0;
};

// An output sample: the dry input and the wet part (at working precision) mixed by `mix`, rounded once to float.
float Mixed(const Mix& mix, float dry, double wet);
// Throws Failure (EXIT_NOT_FINITE) naming the sample (`channel` from 0) that is infinite or not a number.
[[noreturn]] void NotFinite(std::int64_t frame, std::int32_t channel, float rate, float value);

// The output stage of a render: each sample is mixed (the wet part given at working precision), checked and
// counted. Throws Failure (EXIT_NOT_FINITE) at the first sample that is infinite or not a number.
class OutputStage {
public:
    explicit OutputStage(const RenderJob& job);
    float Take(double wet, float dry, std::int64_t frame, std::int32_t channel);
    // The same for a block of `frames` interleaved frames from `position` on: answers the output samples (`wet`
    // itself when the mix leaves it unchanged), valid until the next call.
    const float* TakeBlock(const float* wet, const float* dry, std::int64_t position, std::int32_t frames);
    const RenderStats& Stats() const { return m_stats; }
    // TakeBlock's check alone, for a caller that needs no counts: `frames` interleaved frames from `position` on.
    void CheckBlock(const float* y, std::int64_t position, std::int32_t frames) const;
    // The mix leaves the module's output as it is: TakeBlock answers `wet` itself.
    bool Identity() const { return m_identity; }

private:
    // Counts `count` output samples; those from `end_from` on lie in the job's end window.
    void Count(const float* y, std::size_t count, std::size_t end_from);

    Mix m_mix;
    bool m_identity;
    float m_rate;
    std::int32_t m_channels;
    std::int64_t m_end_window_start;
    RenderStats m_stats;
    std::vector<float> m_mixed;  // TakeBlock's output when the mix changes the samples
};

// The length of the host block that starts at `position`: the job's block size, cut short where the render ends or
// the next positive gate starts a block of its own.
std::int32_t BlockLength(const RenderJob& job, std::int64_t position);
// Whether a positive gate starts at `position`.
bool GateStartsAt(const RenderJob& job, std::int64_t position);

// The value of a ramp from `from` to `to` over `total` frames at `frame`.
float RampValue(float from, float to, std::int64_t frame, std::int64_t total);

// The block of `count` frames at `position` from `source` into `input` (`channels` interleaved): what the job
// takes from the source, then silence.
void ReadBlock(const Source& source, const RenderJob& job, std::int64_t position, std::int32_t count,
               std::size_t channels, std::vector<float>& input);

}  // namespace er_render
