#include "Render.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "EffectPins.h"
#include "Failure.h"
#include "SampleCodec.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

constexpr float GATE_ON = 1.0f;
constexpr float GATE_OFF = 0.0f;

std::int32_t RequirePin(const er_host::Instance& instance, std::string_view name) {
    const std::int32_t pin = instance.FindPin(std::string(name));
    if (pin < 0) throw Failure(EXIT_MODULE, "the module has no pin " + Quoted(name));
    return pin;
}

}  // namespace

float Mixed(const Mix& mix, float dry, double wet) {
    const double sum = (mix.dry ? mix.dry_gain * dry : 0.0) + mix.wet_gain * wet;
    return static_cast<float>(mix.gain * sum);
}

void NotFinite(std::int64_t frame, std::int32_t channel, float rate, float value) {
    throw Failure(EXIT_NOT_FINITE,
                  Printf("the output becomes %s at %.6f s (sample %lld, channel %d): the settings make the "
                         "effect diverge; nothing was written",
                         std::isnan(value) ? "not a number" : "infinite", static_cast<double>(frame) / rate,
                         static_cast<long long>(frame), channel + 1));
}

float RampValue(float from, float to, std::int64_t frame, std::int64_t total) {
    if (total <= 1) return from;
    const double position = static_cast<double>(frame) / static_cast<double>(total - 1);
    return static_cast<float>(static_cast<double>(from) + (static_cast<double>(to) - from) * position);
}

Renderer::Renderer(const er_host::Library& library, RenderJob job) : m_job(std::move(job)) {
    er_host::InstanceOptions options;
    options.sample_rate = m_job.rate;
    options.block_size = m_job.block;
    options.record_calls = false;
    options.echo_errors = false;
    for (std::int32_t channel = 0; channel < m_job.channels; ++channel) {
        auto instance = std::make_unique<er_host::Instance>(library, options);
        if (!instance->Valid()) throw Failure(EXIT_MODULE, "the module library gave no processing object");
        m_instances.push_back(std::move(instance));
    }
    const er_host::Instance& first = *m_instances.front();
    m_audio_in = RequirePin(first, pins::AUDIO_IN);
    m_out = RequirePin(first, pins::OUT);
    if (!m_job.gates.empty()) m_gate = RequirePin(first, pins::GATE);

    // Each gate is held for one block and then released, unless the next gate comes first.
    std::vector<std::int64_t> gates = m_job.gates;
    std::sort(gates.begin(), gates.end());
    for (std::size_t i = 0; i < gates.size(); ++i) {
        m_gate_events.push_back({gates[i], GATE_ON});
        const std::int64_t release = gates[i] + m_job.block;
        const bool next_first = i + 1 < gates.size() && gates[i + 1] <= release;
        if (!next_first && release < m_job.total_frames) m_gate_events.push_back({release, GATE_OFF});
    }
}

Renderer::~Renderer() = default;

// Every pin the render sets, in the order a host announces them ("Active" last, so that the line is made once,
// for the final "Max Delay(s)"); ramped pins are announced as streaming.
void Renderer::Announce() {
    for (auto& instance : m_instances) {
        instance->PostStatus(m_audio_in, PS_STREAMING);
        for (const effect_pins::Pin pin : effect_pins::ANNOUNCE_ORDER) {
            const auto setting = std::find_if(m_job.settings.begin(), m_job.settings.end(),
                                              [&](const PinSetting& s) { return s.name == effect_pins::Name(pin); });
            if (setting == m_job.settings.end()) continue;
            if (setting->choice) {
                instance->PostChoice(setting->pin, setting->value);
            } else if (setting->ramp) {
                instance->PostStatus(setting->pin, PS_STREAMING);
            } else {
                instance->PostFloat(setting->pin, setting->from);
            }
        }
    }
}

void Renderer::Change(const std::vector<PinSetting>& settings) {
    auto find = [](const std::vector<PinSetting>& in, std::string_view name) {
        return std::find_if(in.begin(), in.end(), [&](const PinSetting& s) { return s.name == name; });
    };
    for (const effect_pins::Pin pin : effect_pins::ANNOUNCE_ORDER) {
        const auto now = find(settings, effect_pins::Name(pin));
        const auto before = find(m_job.settings, effect_pins::Name(pin));
        if (now == settings.end() || before == m_job.settings.end()) continue;
        const bool same = now->choice ? now->value == before->value
                                      : std::bit_cast<std::uint32_t>(now->from) == std::bit_cast<std::uint32_t>(before->from);
        if (same) continue;
        for (auto& instance : m_instances) {
            if (now->choice) {
                instance->PostChoice(now->pin, now->value);
            } else {
                instance->PostFloat(now->pin, now->from);
            }
        }
    }
    m_job.settings = settings;
}

void Renderer::StreamRamps(std::int64_t position, std::int32_t count) {
    for (const PinSetting& setting : m_job.settings) {
        if (!setting.ramp) continue;
        for (auto& instance : m_instances) {
            float* buffer = instance->Buffer(setting.pin);
            for (std::int32_t i = 0; i < count; ++i) {
                buffer[i] = RampValue(setting.from, setting.to, position + i, m_job.total_frames);
            }
        }
    }
}

void Renderer::PostGates(std::int64_t position, std::int32_t count) {
    for (; m_next_gate < m_gate_events.size() && m_gate_events[m_next_gate].frame < position + count; ++m_next_gate) {
        const GateEvent& event = m_gate_events[m_next_gate];
        const auto offset = static_cast<std::int32_t>(event.frame - position);
        for (auto& instance : m_instances) {
            // A host resumes a voice before its gate; in "Mono Mode" that arms the reset the gate performs. Blocks
            // start at positive gates, so the resume comes right before the gate, after every earlier change.
            if (event.value > 0.0f) instance->Dispatch(OP_RESUME);
            instance->PostFloat(m_gate, event.value, offset);
        }
    }
}

void Renderer::CheckHost() const {
    for (const auto& instance : m_instances) {
        if (!instance->Errors().empty()) {
            throw Failure(EXIT_INTERNAL, "the host reported a fault: " + instance->Errors().front());
        }
    }
}

void Renderer::Start() {
    Announce();
}

std::int32_t Renderer::BlockAt(std::int64_t position) const {
    return BlockLength(m_job, position);
}

std::int32_t BlockLength(const RenderJob& job, std::int64_t position) {
    std::int64_t end = std::min(position + job.block, job.total_frames);
    for (const std::int64_t gate : job.gates) {
        if (gate > position) end = std::min(end, gate);
    }
    return static_cast<std::int32_t>(end - position);
}

bool GateStartsAt(const RenderJob& job, std::int64_t position) {
    return std::find(job.gates.begin(), job.gates.end(), position) != job.gates.end();
}

void Renderer::Step(std::int64_t position, std::int32_t count, const float* input, float* output) {
    const auto channels = static_cast<std::size_t>(m_job.channels);
    StreamRamps(position, count);
    PostGates(position, count);
    for (std::size_t channel = 0; channel < channels; ++channel) {
        er_host::Instance& instance = *m_instances[channel];
        float* audio = instance.Buffer(m_audio_in);
        for (std::int32_t i = 0; i < count; ++i) audio[i] = input[static_cast<std::size_t>(i) * channels + channel];
        instance.Process(count);
        const float* out = instance.Buffer(m_out);
        for (std::int32_t i = 0; i < count; ++i) output[static_cast<std::size_t>(i) * channels + channel] = out[i];
    }
}

void ReadBlock(const Source& source, const RenderJob& job, std::int64_t position, std::int32_t count,
               std::size_t channels, std::vector<float>& input) {
    const auto from_source = static_cast<std::int32_t>(std::clamp<std::int64_t>(job.input_frames - position, 0, count));
    if (from_source > 0) source(input.data(), from_source);
    std::fill(input.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(from_source) * channels), input.end(),
              0.0f);
}

RenderStats Renderer::Run(const Source& source, const Sink& sink, const Progress& progress) {
    const auto channels = static_cast<std::size_t>(m_job.channels);
    const auto block = static_cast<std::size_t>(m_job.block);
    std::vector<float> input(block * channels, 0.0f);
    std::vector<float> wet(block * channels, 0.0f);
    OutputStage stage(m_job);

    Start();
    for (std::int64_t position = 0; position < m_job.total_frames;) {
        const std::int32_t count = BlockAt(position);
        ReadBlock(source, m_job, position, count, channels, input);
        Step(position, count, input.data(), wet.data());
        sink(stage.TakeBlock(wet.data(), input.data(), position, count), count);
        position += count;
        if (!progress(position)) throw Failure(EXIT_INTERNAL, "the render was stopped; no output written");
    }
    CheckHost();
    return stage.Stats();
}

namespace {

// The largest magnitude in `y`, in four interleaved lanes so that the compiler runs it in vector registers.
float Peak(const float* y, std::size_t count) {
    float lanes[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) lanes[lane] = std::max(lanes[lane], std::fabs(y[i + lane]));
    }
    for (; i < count; ++i) lanes[0] = std::max(lanes[0], std::fabs(y[i]));
    return std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
}

// The first of `count` samples that is infinite or not a number, or `count`.
std::size_t FirstNotFinite(const float* y, std::size_t count) {
    constexpr float LARGEST = std::numeric_limits<float>::max();
    std::int32_t not_finite = 0;
    for (std::size_t i = 0; i < count; ++i) not_finite += std::fabs(y[i]) <= LARGEST ? 0 : 1;
    if (not_finite == 0) return count;
    std::size_t i = 0;
    while (std::isfinite(y[i])) ++i;
    return i;
}

}  // namespace

OutputStage::OutputStage(const RenderJob& job)
    : m_mix(job.mix), m_identity(job.mix.Identity()), m_rate(job.rate), m_channels(job.channels), m_end_window_start(job.total_frames - job.end_window) {}

float OutputStage::Take(double wet, float dry, std::int64_t frame, std::int32_t channel) {
    const float y = m_identity ? static_cast<float>(wet) : Mixed(m_mix, dry, wet);
    if (!std::isfinite(y)) NotFinite(frame, channel, m_rate, y);
    Count(&y, 1, frame >= m_end_window_start ? 0 : 1);
    return y;
}

const float* OutputStage::TakeBlock(const float* wet, const float* dry, std::int64_t position, std::int32_t frames) {
    const auto channels = static_cast<std::size_t>(m_channels);
    const std::size_t count = static_cast<std::size_t>(frames) * channels;
    const float* y = wet;
    if (!m_identity) {
        m_mixed.resize(count);
        for (std::size_t i = 0; i < count; ++i) m_mixed[i] = Mixed(m_mix, dry[i], wet[i]);
        y = m_mixed.data();
    }
    CheckBlock(y, position, frames);
    const std::int64_t end_frame = std::clamp<std::int64_t>(m_end_window_start - position, 0, frames);
    Count(y, count, static_cast<std::size_t>(end_frame) * channels);
    return y;
}

void OutputStage::CheckBlock(const float* y, std::int64_t position, std::int32_t frames) const {
    const auto channels = static_cast<std::size_t>(m_channels);
    const std::size_t count = static_cast<std::size_t>(frames) * channels;
    if (const std::size_t bad = FirstNotFinite(y, count); bad < count) {
        NotFinite(position + static_cast<std::int64_t>(bad / channels), static_cast<std::int32_t>(bad % channels),
                  m_rate, y[bad]);
    }
}

// In passes free of branches that the compiler runs in vector registers; the squares are summed in four
// interleaved partial sums.
void OutputStage::Count(const float* y, std::size_t count, std::size_t end_from) {
    double squares[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (std::size_t lane = 0; lane < 4; ++lane) squares[lane] += static_cast<double>(y[i + lane]) * y[i + lane];
    }
    for (; i < count; ++i) squares[0] += static_cast<double>(y[i]) * y[i];
    std::int64_t past_full_scale = 0;
    for (i = 0; i < count; ++i) past_full_scale += PastFullScale(y[i]) ? 1 : 0;
    m_stats.peak = std::max(m_stats.peak, static_cast<double>(Peak(y, count)));
    m_stats.end_peak = std::max(m_stats.end_peak, static_cast<double>(Peak(y + end_from, count - end_from)));
    m_stats.sum_squares += (squares[0] + squares[1]) + (squares[2] + squares[3]);
    m_stats.past_full_scale += past_full_scale;
    m_stats.samples += static_cast<std::int64_t>(count);
}

}  // namespace er_render
