#include "Ours.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace er_bench {

namespace {

constexpr float RATE_48K = 48000.0f;    // the list's lines as written
constexpr float RATE_384K = 384000.0f;  // above the last rate band: every line eight times as long
using effect_pins::Pin;
namespace choice = effect_pins::choice;

// The "Damping/Feedback Mode" entry that selects a job's variant once "Feedback +/-10" is not zero; the Plain
// variant is "Tap1" with a feedback of 0.
constexpr std::int16_t RoutingModeFor(Variant variant) {
    for (std::size_t mode = 0; mode < effect_pins::ROUTING_CHOICES.size(); ++mode) {
        if (effect_pins::ROUTING_CHOICES[mode].variant == static_cast<effect_pins::RoutingVariant>(variant)) {
            return static_cast<std::int16_t>(mode);
        }
    }
    return choice::TAP;
}
constexpr std::int16_t TIME_ACCURACY[KIND_COUNT] = {choice::SAMPLE, choice::FRACTION_ECON, choice::FRACTION_FULL};

// The "Max Delay(s)" entry and the sample rate that give a delay line of `samples`.
struct LineChoice {
    std::int16_t max_delay;
    float sample_rate;
};
// The entry that gives a line of `samples` at `rate`.
std::int16_t EntryFor(float rate, std::int32_t samples) {
    for (std::int32_t index = 0; index < effect_pins::MAX_DELAY_ENTRIES; ++index) {
        if (effect_pins::BufferLength(index, rate) == samples) return static_cast<std::int16_t>(index);
    }
    std::fprintf(stderr, "no Max Delay entry gives %d samples\n", samples);
    std::exit(2);
}
LineChoice ChooseLine(std::int32_t samples) {
    const float rate = samples > effect_pins::BufferLength(0, RATE_48K) ? RATE_384K : RATE_48K;
    return {EntryFor(rate, samples), rate};
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
    const std::string error = er_host::CheckPins(m_host->Pins(), m_pins);
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
    const bool feedback = job.variant != Variant::Plain;
    host.PostChoice(PinIndex(Pin::TimeMode), choice::TIME_SAMPLES);
    host.PostChoice(PinIndex(Pin::MaxDelay), ChooseLine(job.buffer_size).max_delay);
    host.PostChoice(PinIndex(Pin::RoutingMode), RoutingModeFor(job.variant));
    host.PostChoice(PinIndex(Pin::TimeAccuracy), TIME_ACCURACY[static_cast<int>(job.kind)]);
    host.PostFloat(PinIndex(Pin::Feedback), feedback ? job.feedback : 0.0f);
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
    return EntryFor(m_host->Options().sample_rate, samples);
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
