#include "Ours.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace er_bench {

namespace {

constexpr std::int32_t LONGEST_AT_48K = 524288;    // Max Delay entry 0 up to 48 kHz
constexpr std::int32_t LONGEST_AT_384K = 4194304;  // the same entry above 192 kHz
using effect_pins::Pin;
namespace choice = effect_pins::choice;

// How the job's (kind, variant) is asked for through the pins.
struct RoutineSettings {
    std::int16_t routing_mode;  // "Damping/Feedback Mode"
    bool feedback;              // a non-zero "Feedback +/-10" (else 0, which the Plain variant needs)
};
constexpr RoutineSettings VARIANT_SETTINGS[VARIANT_COUNT] = {
    {choice::TAP, false},          // Plain: "Tap1" without feedback
    {choice::TAP, true},           // TapFeedback
    {choice::INPUT_TAP, true},     // InputTapFeedback
    {choice::OUTPUT, true},        // OutputFeedback
    {choice::INPUT_OUTPUT, true},  // InputOutputFeedback
};
constexpr std::int16_t TIME_ACCURACY[KIND_COUNT] = {choice::SAMPLE, choice::FRACTION_ECON, choice::FRACTION_FULL};

// The "Max Delay(s)" entry and the sample rate that give a delay line of `samples`.
struct LineChoice {
    std::int16_t max_delay;
    float sample_rate;
};
// The entry that gives `samples` where entry 0 gives `longest`.
std::int16_t EntryFor(std::int32_t longest, std::int32_t samples) {
    std::int32_t length = longest;
    std::int16_t index = 0;
    while (length > samples) {
        length /= 2;
        ++index;
    }
    if (length != samples || index >= effect_pins::Facts(Pin::MaxDelay).choices) {
        std::fprintf(stderr, "no Max Delay entry gives %d samples\n", samples);
        std::exit(2);
    }
    return index;
}
LineChoice ChooseLine(std::int32_t samples) {
    const bool high_rate = samples > LONGEST_AT_48K;
    return {EntryFor(high_rate ? LONGEST_AT_384K : LONGEST_AT_48K, samples), high_rate ? 384000.0f : 48000.0f};
}

}  // namespace

const er_host::Library& TheLibrary() {
    static const std::unique_ptr<er_host::Library> library = [] {
        std::string error;
        auto loaded = er_host::Library::Load(er_host::Library::DefaultModulePath(), error);
        if (!loaded) {
            std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
            std::exit(2);
        }
        return loaded;
    }();
    return *library;
}

void FillSignal(float* samples, std::int32_t count, std::uint32_t seed) {
    std::uint32_t state = seed * 2654435761u + 1u;
    for (std::int32_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        samples[i] = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    }
}

OurRoutine::OurRoutine(std::int32_t host_block, float sample_rate) {
    er_host::InstanceOptions options;
    options.sample_rate = sample_rate;
    options.block_size = host_block;
    m_host = std::make_unique<er_host::Instance>(TheLibrary(), options);
    if (!m_host->Valid()) {
        std::fprintf(stderr, "the module made no processing object\n");
        std::exit(2);
    }
    const std::string error = effect_pins::CheckPins(m_host->Pins(), m_pins);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(2);
    }
    m_pin_in = PinIndex(Pin::AudioIn);
    m_pin_time = PinIndex(Pin::Time);
    m_pin_out = PinIndex(Pin::Out);
}

OurRoutine::OurRoutine(const Job& job, std::int32_t host_block)
    : OurRoutine(host_block, ChooseLine(job.buffer_size).sample_rate) {
    er_host::Instance& host = *m_host;
    const RoutineSettings& settings = VARIANT_SETTINGS[static_cast<int>(job.variant)];
    host.PostChoice(PinIndex(Pin::TimeMode), choice::TIME_SAMPLES);
    host.PostChoice(PinIndex(Pin::MaxDelay), ChooseLine(job.buffer_size).max_delay);
    host.PostChoice(PinIndex(Pin::RoutingMode), settings.routing_mode);
    host.PostChoice(PinIndex(Pin::TimeAccuracy), TIME_ACCURACY[static_cast<int>(job.kind)]);
    host.PostFloat(PinIndex(Pin::Feedback), settings.feedback ? job.feedback : 0.0f);
    host.PostFloat(PinIndex(Pin::Damping), job.damping);
    host.PostFloat(PinIndex(Pin::Volume), job.volume);
    if (job.kind == Kind::Full) {
        float* time = Time();
        for (std::int32_t i = 0; i < host_block; ++i) time[i] = TimePinValue(MovingDelay(job, i));
        host.PostStatus(m_pin_time, PS_STREAMING);
        m_time_streams = true;
    } else {
        host.PostFloat(m_pin_time, TimePinValue(job.delay));
    }
    host.PostChoice(PinIndex(Pin::Active), choice::ON);
    // One block of silence: delivers the notifications, reads Time and Volume once, writes the addresses; the
    // delay line stays silent.
    host.Process(host_block);
}

std::int16_t OurRoutine::MaxDelayEntry(std::int32_t samples) const {
    const bool high_rate = m_host->Options().sample_rate > 48000.0f;
    return EntryFor(high_rate ? LONGEST_AT_384K : LONGEST_AT_48K, samples);
}

std::unique_ptr<OurRoutine> OurRoutine::Silent(std::int32_t host_block) {
    std::unique_ptr<OurRoutine> routine(new OurRoutine(host_block, 48000.0f));
    routine->m_host->PostChoice(routine->PinIndex(Pin::Active), choice::OFF);
    routine->m_host->Process(1);
    return routine;
}

void OurRoutine::Notify(std::int32_t pin_index, std::int16_t choice) {
    const er_host::PinDescription& pin = m_host->Pins()[static_cast<std::size_t>(pin_index)];
    std::memcpy(pin.variable, &choice, sizeof choice);
    NotifyChanged(pin_index);
}

void OurRoutine::NotifyChanged(std::int32_t pin_index) {
    const er_host::PinDescription& pin = m_host->Pins()[static_cast<std::size_t>(pin_index)];
    SETimedEvent event{m_host->SampleClock(), EV_PIN_STATUS, PS_CHANGED, 0, pin.index};
    SEModuleRecord* record = m_host->Record();
    record->event(record->object, &event);
}

void OurRoutine::Run(const float* in, const float* time, float* out, std::int32_t count) {
    std::copy(in, in + count, Input());
    if (m_time_streams) std::copy(time, time + count, Time());
    Entry()(Object(), 0, count);
    std::copy(Output(), Output() + count, out);
}

}  // namespace er_bench
