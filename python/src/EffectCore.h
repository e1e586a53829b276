// The effect for Python: er-render's render of one setting, driven a call at a time. The settings are resolved
// and settled by er-render's own code (Settings.h, Plan.h: names, units, ranges, the fitted "Max Delay(s)"), the
// module instances are er-render's Renderer's and every output sample passes er-render's OutputStage (its mix,
// its one rounding, its check for samples that are not finite), so a stream of calls plays what
// `er-render --block N` writes for the same input.
//
// Blocks: the stream is cut into host blocks of `block` frames counted from its first frame (a grid), and
// a call also ends the block it stops in; so calls whose lengths are multiples of `block` play exactly
// er-render's blocks, and any other split adds block boundaries at the call ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Analysis.h"
#include "Host.h"
#include "Render.h"
#include "Settings.h"

namespace er_python {

// The module linked into the extension, as a library the substitute host drives, and its pins (described once).
const er_host::Library& LinkedModule();
const std::vector<er_host::PinDescription>& ModulePins();

// A name and a value as --set takes them.
using Assignments = std::vector<std::pair<std::string, std::string>>;

// Levels as er-render's --dry, --wet and --gain take them ("-3", "-3dB", "off"; empty: the default).
struct Levels {
    std::string dry, wet, gain;
};

class EffectCore {
public:
    // Throws er_render::Failure naming the first setting it refuses; then nothing was made.
    EffectCore(float rate, const Assignments& assignments, const Levels& levels, std::int32_t block,
               bool allow_unsafe);
    ~EffectCore();

    // Further settings, as later --set values (a later one wins), and levels where given (non-empty), from the
    // next call on. All or nothing: a refused one leaves every setting as it was.
    void Set(const Assignments& assignments, const Levels& levels);
    // Forgets the stream: the next call starts with fresh module instances at sample 0, and may have any channels.
    void Reset();

    // Checks a call of `frames` frames of `channels` channels before anything moves: throws Failure naming the
    // fault (a channel count other than the stream's, a stream past the host's clock). The samples are checked by
    // the caller.
    void Check(std::int32_t channels, std::int64_t frames) const;
    // Runs `frames` frames: `in` and `out` hold `channels` rows of `frames` samples each (planar). `out` may not
    // overlap `in`. Throws Failure (EXIT_NOT_FINITE) at an output sample that is not finite. Never touches Python.
    void Process(const float* in, float* out, std::int32_t channels, std::int64_t frames);

    float Rate() const { return m_job.rate; }
    std::int32_t Block() const { return m_job.block; }
    std::int32_t Channels() const { return m_renderer ? m_job.channels : 0; }  // 0: no stream yet
    std::int64_t Position() const { return m_position; }
    const std::vector<er_render::PinSetting>& Settings() const { return m_job.settings; }
    const std::optional<er_render::EffectView>& View() const { return m_view; }
    const std::vector<std::string>& Warnings() const { return m_warnings; }
    const er_render::Mix& Mix() const { return m_job.mix; }
    // The stream's renderer (null before its first call), for the benchmark's reference.
    er_render::Renderer* StreamRenderer() { return m_renderer.get(); }

    // Held by whoever uses the effect with the GIL released: one thread at a time per effect.
    std::atomic<bool> busy{false};

private:
    void Settle(const Assignments& assignments, const Levels& levels);

    er_render::RenderJob m_job;
    bool m_allow_unsafe = false;
    std::vector<er_text::Assignment> m_assignments;  // every one so far, in order
    Levels m_levels;
    std::optional<er_render::EffectView> m_view;
    std::vector<std::string> m_warnings;
    std::unique_ptr<er_render::Renderer> m_renderer;  // null until the stream's first call
    std::unique_ptr<er_render::OutputStage> m_stage;
    std::int64_t m_position = 0;
    std::vector<float> m_in, m_wet;  // one block, interleaved
};

}  // namespace er_python
