#include "EffectHarness.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace effect_test {

bool PinMap::Complete() const {
    return difference.empty();
}

PinMap FindPins(const er_host::Instance& instance) {
    using effect_pins::Pin;
    er_host::PinIndexes found;
    PinMap pins;
    pins.difference = er_host::CheckPins(instance.Pins(), found);
    pins.audio_in = found[Pin::AudioIn];
    pins.active = found[Pin::Active];
    pins.feedback = found[Pin::Feedback];
    pins.damping = found[Pin::Damping];
    pins.routing_mode = found[Pin::RoutingMode];
    pins.out = found[Pin::Out];
    pins.time_accuracy = found[Pin::TimeAccuracy];
    pins.time_mode = found[Pin::TimeMode];
    pins.time = found[Pin::Time];
    pins.volume = found[Pin::Volume];
    pins.max_delay = found[Pin::MaxDelay];
    pins.volume_mode = found[Pin::VolumeMode];
    pins.mono_mode = found[Pin::MonoMode];
    pins.gate = found[Pin::Gate];
    return pins;
}

const er_host::Library& ShippedLibrary() {
    static std::unique_ptr<er_host::Library> library = [] {
        std::string error;
        auto loaded = er_host::Library::Load(er_host::Library::DefaultModulePath(), error);
        if (!loaded) {
            std::cerr << "cannot load the module: " << error << "\n";
            std::abort();
        }
        return loaded;
    }();
    return *library;
}

EffectHost::EffectHost(const er_host::InstanceOptions& options, const er_host::Library& library)
    : instance(library, options), pins(FindPins(instance)) {}

void EffectHost::StartPlain(float time, float volume, std::int16_t time_mode, std::int16_t max_delay) {
    instance.PostChoice(pins.time_mode, time_mode);
    instance.PostChoice(pins.max_delay, max_delay);
    instance.PostChoice(pins.time_accuracy, ACCURACY_SAMPLE);
    instance.PostChoice(pins.volume_mode, 0);
    instance.PostChoice(pins.routing_mode, 0);
    instance.PostFloat(pins.feedback, 0.0f);
    instance.PostFloat(pins.damping, 0.0f);
    instance.PostFloat(pins.time, time);
    instance.PostFloat(pins.volume, volume);
    instance.PostChoice(pins.active, 1);
}

std::uint32_t Bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float FromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace effect_test
