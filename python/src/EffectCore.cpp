#include "EffectCore.h"

#include <algorithm>
#include <climits>

#include "Failure.h"
#include "ModuleExports.h"
#include "Plan.h"
#include "Text.h"

namespace er_python {

using er_render::EXIT_USAGE;
using er_render::Failure;

const er_host::Library& LinkedModule() {
    static const std::unique_ptr<er_host::Library> library =
        er_host::Library::FromEntries(getModuleProperties, makeModule);
    return *library;
}

const std::vector<er_host::PinDescription>& ModulePins() {
    static const std::vector<er_host::PinDescription> pins = [] {
        er_host::InstanceOptions options;
        options.record_calls = false;
        options.echo_errors = false;
        return er_host::Instance(LinkedModule(), options).Pins();
    }();
    return pins;
}

EffectCore::EffectCore(float rate, const Assignments& assignments, const Levels& levels, std::int32_t block,
                       bool allow_unsafe)
    : m_allow_unsafe(allow_unsafe) {
    m_job.rate = rate;
    m_job.block = block;
    // The host's sample clock bounds a stream as it bounds a render.
    m_job.input_frames = m_job.total_frames = INT32_MAX;
    Settle(assignments, levels);
}

EffectCore::~EffectCore() = default;

void EffectCore::Settle(const Assignments& assignments, const Levels& levels) {
    std::vector<er_text::Assignment> all = m_assignments;
    for (const auto& [name, value] : assignments) all.push_back({name, value, er_text::Quoted(name + "=" + value)});
    auto settings = er_render::ResolveSettings(ModulePins(), all, m_allow_unsafe);
    for (const er_render::PinSetting& setting : settings) {
        if (setting.ramp) {
            throw Failure(EXIT_USAGE, setting.origin + ": an Effect takes no ramp (FROM..TO), which spans a whole "
                                                       "render; set the value between calls instead");
        }
    }
    std::vector<std::string> warnings, notes;
    auto view = er_render::SettleSettings(settings, ModulePins(), m_job.rate, m_allow_unsafe, warnings, notes);
    Levels merged = m_levels;
    for (auto [mine, given] : {std::pair{&merged.dry, &levels.dry}, {&merged.wet, &levels.wet}, {&merged.gain, &levels.gain}}) {
        if (!given->empty()) *mine = *given;
    }
    const er_render::Mix mix = er_render::MixFromLevels(merged.dry, merged.wet, merged.gain);
    // Nothing above changed the effect; from here nothing throws.
    m_assignments = std::move(all);
    m_levels = std::move(merged);
    m_view = std::move(view);
    m_warnings = std::move(warnings);
    m_job.mix = mix;
    if (m_renderer) {
        m_renderer->Change(settings);
        m_stage = std::make_unique<er_render::OutputStage>(m_job);
    }
    m_job.settings = std::move(settings);
}

void EffectCore::Set(const Assignments& assignments, const Levels& levels) { Settle(assignments, levels); }

void EffectCore::Reset() {
    m_renderer.reset();
    m_stage.reset();
    m_position = 0;
}

void EffectCore::Check(std::int32_t channels, std::int64_t frames) const {
    if (m_renderer && channels != m_job.channels) {
        throw Failure(EXIT_USAGE, er_text::Printf("this stream has %d channel%s, not %d; reset() starts a new one",
                                                  m_job.channels, m_job.channels == 1 ? "" : "s", channels));
    }
    if (frames > m_job.total_frames - m_position) {
        throw Failure(EXIT_USAGE, "a stream runs at most 2147483647 frames, the host's sample clock; reset() "
                                  "starts a new one");
    }
}

void EffectCore::Process(const float* in, float* out, std::int32_t channels, std::int64_t frames) {
    if (frames == 0) return;
    if (!m_renderer) {
        m_job.channels = channels;
        m_renderer = std::make_unique<er_render::Renderer>(LinkedModule(), m_job);
        m_stage = std::make_unique<er_render::OutputStage>(m_job);
        m_renderer->Start();
        const auto samples = static_cast<std::size_t>(m_job.block) * static_cast<std::size_t>(channels);
        m_in.assign(samples, 0.0f);
        m_wet.assign(samples, 0.0f);
    }
    const auto rows = static_cast<std::size_t>(channels);
    const auto length = static_cast<std::size_t>(frames);
    for (std::size_t done = 0; done < length;) {
        const std::int64_t position = m_position;
        const auto count = static_cast<std::int32_t>(
            std::min<std::int64_t>(m_job.block - position % m_job.block, static_cast<std::int64_t>(length - done)));
        const float* input = in + done;
        if (rows > 1) {
            for (std::size_t row = 0; row < rows; ++row) {
                const float* from = in + row * length + done;
                for (std::int32_t i = 0; i < count; ++i) m_in[static_cast<std::size_t>(i) * rows + row] = from[i];
            }
            input = m_in.data();
        }
        // One channel whose mix leaves the module's output as it is: the output goes straight into `out`, checked
        // but not counted (the counts are a render's summary, which a stream has none of).
        const bool straight = rows == 1 && m_stage->Identity();
        float* wet = straight ? out + done : m_wet.data();
        m_renderer->Step(position, count, input, wet);
        const float* y = wet;
        try {
            if (straight) {
                m_stage->CheckBlock(wet, position, count);
            } else {
                y = m_stage->TakeBlock(wet, input, position, count);
            }
        } catch (const Failure&) {
            Reset();  // the stream cannot go on from a sample that is not finite
            throw;
        }
        for (std::size_t row = 0; row < rows && !straight; ++row) {
            float* to = out + row * length + done;
            for (std::int32_t i = 0; i < count; ++i) to[i] = y[static_cast<std::size_t>(i) * rows + row];
        }
        done += static_cast<std::size_t>(count);
        m_position += count;
    }
}

}  // namespace er_python
