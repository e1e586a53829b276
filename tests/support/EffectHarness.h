// Drives the early-reflection module through the substitute host, by pin name, for the effect's tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Host.h"
#include "PinCheck.h"

namespace effect_test {

// Pin indexes as the module describes them, looked up by name; -1 for a pin the host did not build or that
// differs from what the tests know.
struct PinMap {
    std::int32_t audio_in = -1, active = -1, feedback = -1, damping = -1, routing_mode = -1, out = -1,
                 time_accuracy = -1, time_mode = -1, time = -1, volume = -1, max_delay = -1, volume_mode = -1,
                 mono_mode = -1, gate = -1;
    std::string difference;  // the first pin that is missing or not as the tests know it; empty when none
    bool Complete() const;
};
PinMap FindPins(const er_host::Instance& instance);

// The shipped library beside the test program, loaded once per process.
const er_host::Library& ShippedLibrary();

// Host-side choice values.
constexpr std::int16_t TIME_MODE_SECONDS = effect_pins::choice::TIME_SECONDS,
                       TIME_MODE_MS = effect_pins::choice::TIME_MS,
                       TIME_MODE_SAMPLES = effect_pins::choice::TIME_SAMPLES;
constexpr std::int16_t ACCURACY_SAMPLE = effect_pins::choice::SAMPLE,
                       ACCURACY_ECON = effect_pins::choice::FRACTION_ECON,
                       ACCURACY_FULL = effect_pins::choice::FRACTION_FULL;
constexpr std::int16_t MAX_DELAY_256 = 11;  // 256 samples at 48000 Hz and below
constexpr std::int16_t MAX_DELAY_512 = 10;
// At this sample rate "Time(ms)" scales by exactly 1.0, so a Time value is a delay in samples, exactly.
constexpr float UNIT_SCALE_RATE = 100.0f;

// An opened instance with its pins found.
struct EffectHost {
    explicit EffectHost(const er_host::InstanceOptions& options = {},
                        const er_host::Library& library = ShippedLibrary());

    er_host::Instance instance;
    PinMap pins;

    float* Buffer(std::int32_t pin) { return instance.Buffer(pin); }
    const float* Out() { return instance.Buffer(pins.out); }
    // A usual start: the given Time Mode and Max Delay, Sample accuracy, Linear, "Tap1", no feedback and no
    // damping, time and volume static, then "ON"; all at offset 0 of the next block.
    void StartPlain(float time, float volume, std::int16_t time_mode = TIME_MODE_MS,
                    std::int16_t max_delay = MAX_DELAY_256);
};

// Bit pattern of a float, for exact comparisons that also see the sign of zero and NaN payloads.
std::uint32_t Bits(float value);
float FromBits(std::uint32_t bits);

}  // namespace effect_test
