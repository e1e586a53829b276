// Runs the module (through the substitute host and the shipped library) and the reference model side by side,
// block by block, with host events at chosen offsets; stops at the first sample where they differ. Shared by
// the differential tests and the cross-build scenario program.
#pragma once

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "EffectHarness.h"
#include "ReferenceModel.h"

namespace effect_test {

using reference::Group;
using reference::Variant;

constexpr std::int32_t HOST_BLOCK = 64;
constexpr float SAMPLE_RATE = 48000.0f;  // buffer lengths as in the Max Delay table; "Samples" mode scales by 10

// Deterministic on every build (no library distribution is involved).
class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 1) {}
    std::uint32_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<std::uint32_t>(m_state >> 16);
    }
    float Uniform(float low, float high) {
        return low + (high - low) * static_cast<float>(Next() >> 8) * (1.0f / 16777216.0f);
    }
    std::int32_t Below(std::int32_t n) { return static_cast<std::int32_t>(Next() % static_cast<std::uint32_t>(n)); }
    bool Chance(std::int32_t percent) { return Below(100) < percent; }

private:
    std::uint64_t m_state;
};

// Host-side events of the tests.
enum class Kind {
    Split,          // a status of "Audio_In": no reaction, the routine stays, but a new stretch starts
    RoutingMode,    // value: "Damping/Feedback Mode"
    Accuracy,       // value: "Time Accuracy"
    VolumeMode,     // value: "Volume Mode"
    TimeMode,       // value: "Time Mode" (the tests keep "Samples")
    FeedbackValue,  // value: a static feedback amount from here
    FeedbackStream,
    DampingValue,
    DampingStream,
    TimeValue,
    TimeStream,
    VolumeValue,
    VolumeStream,
    Gate,  // value: gate pin value (mono mode stays "Off")
    Off,
    On,
    MaxDelay,  // value: index
};

struct Event {
    std::int32_t offset;
    Kind kind;
    float value;
};

// What the module's control logic should do, restated as the tests expect it: streaming flags, amounts for
// the routine choice, read policies and activity.
struct Oracle {
    bool active = false;
    std::int32_t routing = 0;
    std::int32_t accuracy = 0;
    bool analogue = false;
    float feedback_amount = 0.0f;
    float damping_amount = 0.0f;
    bool time_streaming = false;
    bool volume_streaming = false;
    bool feedback_streaming = false;
    bool damping_streaming = false;
    std::int32_t time_update = 0;
    std::int32_t volume_update = 0;
    std::int32_t max_delay = effect_test::MAX_DELAY_256;
    std::int32_t allocated_max_delay = -1;
    Group group = Group::Sample;  // the installed routine, re-selected after every notification but the gate
    Variant variant = Variant::Plain;

    static bool NonZero(float v) { return v < 0.0f || v > 0.0f; }
    static std::int64_t Length(std::int32_t index) { return std::int64_t{256} << (11 - index); }

    void Select() {
        static const Variant feedback_variants[] = {Variant::TapFeedback, Variant::InputTapFeedback,
                                                    Variant::OutputFeedback, Variant::InputOutputFeedback};
        variant = Variant::Plain;
        if (routing >= 0 && routing <= 3) {
            const bool damping_counts = routing == 1 || routing == 3;
            if (NonZero(feedback_amount) || (damping_counts && NonZero(damping_amount))) {
                variant = feedback_variants[routing];
            }
        }
        group = accuracy == 0 ? Group::Sample
                              : (accuracy == 2 && time_update == 2 ? Group::FractionFull : Group::FractionEcon);
    }

    void Apply(const Event& e, reference::DelayModel& model) {
        bool time_mark = false, volume_mark = false, forced = false;
        switch (e.kind) {
        case Kind::Split: break;
        case Kind::RoutingMode: routing = static_cast<std::int32_t>(e.value); break;
        case Kind::Accuracy:
            accuracy = static_cast<std::int32_t>(e.value);
            time_mark = volume_mark = true;
            break;
        case Kind::TimeMode: time_mark = true; break;
        case Kind::VolumeMode:
            analogue = e.value != 0.0f;
            volume_mark = forced = true;
            break;
        case Kind::FeedbackValue: feedback_amount = e.value, feedback_streaming = false; break;
        case Kind::FeedbackStream: feedback_amount = 1.0f, feedback_streaming = true; break;
        case Kind::DampingValue: damping_amount = e.value, damping_streaming = false; break;
        case Kind::DampingStream: damping_amount = 1.0f, damping_streaming = true; break;
        case Kind::TimeValue: time_streaming = false, time_mark = true; break;
        case Kind::TimeStream: time_streaming = true, time_mark = true; break;
        case Kind::VolumeValue: volume_streaming = false, volume_mark = true; break;
        case Kind::VolumeStream: volume_streaming = true, volume_mark = true; break;
        case Kind::Gate:
            if (e.value > 0.0f && active) model.Clear();
            return;  // a poly reset selects nothing
        case Kind::Off: active = false; break;
        case Kind::On:
            if (!active) {
                model.Restart(Length(max_delay));
                allocated_max_delay = max_delay;
            }
            active = true;
            time_mark = volume_mark = true;
            break;
        case Kind::MaxDelay:
            max_delay = static_cast<std::int32_t>(e.value);
            if (active && max_delay != allocated_max_delay) {
                model.Restart(Length(max_delay));
                allocated_max_delay = max_delay;
            }
            break;
        }
        if (time_mark) time_update = time_streaming ? 2 : 1;
        if (volume_mark) volume_update = (volume_streaming || forced) ? 2 : 1;
        if (active) Select();
    }
};

// Value ranges: delays from -50 to 600 samples over a 256-sample line (wrapping both ways), gains that keep the
// loops bounded.
constexpr float RANDOM_TIME_LOW = -5.0f;
constexpr float RANDOM_TIME_HIGH = 60.0f;
inline float RandomTime(Random& random) { return random.Uniform(RANDOM_TIME_LOW, RANDOM_TIME_HIGH); }
inline float RandomVolume(Random& random) { return random.Uniform(-1.2f, 1.2f); }
inline float RandomFeedback(Random& random) { return random.Uniform(-0.8f, 0.8f); }
inline float RandomDamping(Random& random) { return random.Uniform(0.0f, 0.95f); }

// Runs the module and the model side by side.
class Differential {
public:
    // host_block: the longest block the host may pass (its pin buffers' length).
    explicit Differential(std::uint64_t seed, std::int32_t host_block = HOST_BLOCK)
        : m_random(seed), m_host(Options(host_block)), m_model(256) {}

    // Every output sample so far, module side.
    const std::vector<float>& Output() const { return m_output; }

    static er_host::InstanceOptions Options(std::int32_t host_block = HOST_BLOCK) {
        er_host::InstanceOptions options;
        options.sample_rate = SAMPLE_RATE;
        options.block_size = host_block;
        options.record_calls = false;
        return options;
    }

    Random& random() { return m_random; }
    const Oracle& oracle() const { return m_oracle; }
    bool HostValid() { return m_host.instance.Valid() && m_host.pins.Complete(); }

    // A streaming "1 Time" draws its samples from [low, high) from here on (RandomTime's range by default).
    void SetTimeRange(float low, float high) { m_time_low = low, m_time_high = high; }

    // One host block of `count` samples with the given events (offsets inside the block). Returns false, with
    // a message, at the first sample where module and model differ.
    bool Block(std::int32_t count, std::vector<Event> events, std::string& failure) {
        std::stable_sort(events.begin(), events.end(),
                         [](const Event& a, const Event& b) { return a.offset < b.offset; });
        auto& host = m_host.instance;
        const auto& pins = m_host.pins;
        FillRandom(pins.audio_in, 0, count, -1.0f, 1.0f);
        if (m_oracle.time_streaming) FillTime(0, count);
        if (m_oracle.volume_streaming) FillRandom(pins.volume, 0, count, -1.2f, 1.2f);
        if (m_oracle.feedback_streaming) FillRandom(pins.feedback, 0, count, -0.8f, 0.8f);
        if (m_oracle.damping_streaming) FillRandom(pins.damping, 0, count, 0.0f, 0.95f);
        for (const Event& e : events) Post(e, count);

        host.Process(count);

        // The model, stretch by stretch, with the events applied where the host delivered them.
        std::vector<float> expected(static_cast<std::size_t>(count));
        std::size_t next = 0;
        std::int32_t start = 0;
        while (start < count) {
            while (next < events.size() && events[next].offset == start) m_oracle.Apply(events[next++], m_model);
            const std::int32_t end = next < events.size() ? events[next].offset : count;
            RunModel(start, end - start, expected.data() + start);
            start = end;
        }

        const float* out = m_host.Out();
        for (std::int32_t i = 0; i < count; ++i) {
            if (Bits(out[i]) != Bits(expected[static_cast<std::size_t>(i)])) {
                std::ostringstream message;
                message.precision(9);
                message << "routine " << reference::RoutineName(m_oracle.group, m_oracle.variant)
                        << (m_oracle.active ? "" : " (off)") << ", analogue " << m_oracle.analogue
                        << ", streaming time/volume/feedback/damping " << m_oracle.time_streaming << "/"
                        << m_oracle.volume_streaming << "/" << m_oracle.feedback_streaming << "/"
                        << m_oracle.damping_streaming << ": first difference at sample " << (m_samples + i)
                        << " (block of " << count << ", element " << i << "): module " << out[i] << " (0x"
                        << std::hex << Bits(out[i]) << "), reference " << std::dec << expected[i] << " (0x"
                        << std::hex << Bits(expected[i]) << ")";
                failure = message.str();
                return false;
            }
        }
        m_samples += count;
        m_output.insert(m_output.end(), out, out + count);
        return true;
    }

    // A block of random length (one sample in a quarter of the blocks) with `splits` neutral events inside.
    std::int32_t RandomCount() { return m_random.Chance(25) ? 1 : 1 + m_random.Below(HOST_BLOCK); }

    void AddSplits(std::vector<Event>& events, std::int32_t count, std::int32_t splits) {
        for (std::int32_t i = 0; i < splits && count > 1; ++i) {
            events.push_back({1 + m_random.Below(count - 1), Kind::Split, 0.0f});
        }
    }

private:
    void FillRandom(std::int32_t pin, std::int32_t from, std::int32_t to, float low, float high) {
        float* buffer = m_host.Buffer(pin);
        for (std::int32_t i = from; i < to; ++i) buffer[i] = m_random.Uniform(low, high);
    }
    void FillTime(std::int32_t from, std::int32_t to) {
        float* buffer = m_host.Buffer(m_host.pins.time);
        for (std::int32_t i = from; i < to; ++i) buffer[i] = m_random.Uniform(m_time_low, m_time_high);
    }

    void Post(const Event& e, std::int32_t count) {
        auto& host = m_host.instance;
        const auto& pins = m_host.pins;
        // Only list events carry a choice (a float event's value may lie outside any integer range).
        auto choice = [&e] { return static_cast<std::int16_t>(e.value); };
        switch (e.kind) {
        case Kind::Split: host.PostStatus(pins.audio_in, PS_STREAMING, e.offset); break;
        case Kind::RoutingMode: host.PostChoice(pins.routing_mode, choice(), e.offset); break;
        case Kind::Accuracy: host.PostChoice(pins.time_accuracy, choice(), e.offset); break;
        case Kind::VolumeMode: host.PostChoice(pins.volume_mode, choice(), e.offset); break;
        case Kind::TimeMode: host.PostChoice(pins.time_mode, choice(), e.offset); break;
        case Kind::FeedbackValue: host.PostFloat(pins.feedback, e.value, e.offset); break;
        case Kind::DampingValue: host.PostFloat(pins.damping, e.value, e.offset); break;
        case Kind::TimeValue: host.PostFloat(pins.time, e.value, e.offset); break;
        case Kind::VolumeValue: host.PostFloat(pins.volume, e.value, e.offset); break;
        case Kind::Gate: host.PostFloat(pins.gate, e.value, e.offset); break;
        case Kind::FeedbackStream:
            FillRandom(pins.feedback, e.offset, count, -0.8f, 0.8f);
            host.PostStatus(pins.feedback, PS_STREAMING, e.offset);
            break;
        case Kind::DampingStream:
            FillRandom(pins.damping, e.offset, count, 0.0f, 0.95f);
            host.PostStatus(pins.damping, PS_STREAMING, e.offset);
            break;
        case Kind::TimeStream:
            FillTime(e.offset, count);
            host.PostStatus(pins.time, PS_STREAMING, e.offset);
            break;
        case Kind::VolumeStream:
            FillRandom(pins.volume, e.offset, count, -1.2f, 1.2f);
            host.PostStatus(pins.volume, PS_STREAMING, e.offset);
            break;
        case Kind::Off: host.PostChoice(pins.active, 0, e.offset); break;
        case Kind::On: host.PostChoice(pins.active, 1, e.offset); break;
        case Kind::MaxDelay: host.PostChoice(pins.max_delay, choice(), e.offset); break;
        }
    }

    // The model's share of one stretch: silence while off; otherwise the block-start readers under the read
    // policies, then the routine.
    void RunModel(std::int32_t start, std::int32_t count, float* out) {
        if (!m_oracle.active) {
            std::fill(out, out + count, 0.0f);
            return;
        }
        const auto& pins = m_host.pins;
        const float* time = m_host.Buffer(pins.time);
        const Group group = m_oracle.group;
        if (group != Group::FractionFull && m_oracle.time_update != 0) {
            m_model.ReadTime(group, TIME_SCALE, time[start]);
            if (m_oracle.time_update == 1) m_oracle.time_update = 0;
        }
        if (m_oracle.volume_update != 0) {
            m_model.ReadVolume(m_host.Buffer(pins.volume)[start], m_oracle.analogue);
            if (m_oracle.volume_update == 1) m_oracle.volume_update = 0;
        }
        m_model.Run(group, m_oracle.variant, m_host.Buffer(pins.audio_in) + start, time + start, TIME_SCALE,
                    m_host.Buffer(pins.feedback)[start], m_host.Buffer(pins.damping)[start], out, count);
    }

    static constexpr float TIME_SCALE = 10.0f;  // "Samples"

    Random m_random;
    float m_time_low = RANDOM_TIME_LOW;
    float m_time_high = RANDOM_TIME_HIGH;
    EffectHost m_host;
    reference::DelayModel m_model;
    Oracle m_oracle;
    std::int64_t m_samples = 0;
    std::vector<float> m_output;
};

// Events that make the module install the routine of `group` and `variant`, with the rest drawn at random, all
// at `offset`. With `start`, the Time Mode and Max Delay come first and "ON" last.
std::vector<Event> SetupFor(Group group, Variant variant, Random& random, std::int32_t offset = 0,
                            bool start = true);

}  // namespace effect_test
