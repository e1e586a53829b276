#include "EffectHarness.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace effect_test {

bool PinMap::Complete() const {
    for (std::int32_t index : {audio_in, active, feedback, damping, routing_mode, out, time_accuracy, time_mode, time,
                               volume, max_delay, volume_mode, mono_mode, gate}) {
        if (index < 0) return false;
    }
    return true;
}

PinMap FindPins(const er_host::Instance& instance) {
    PinMap pins;
    pins.audio_in = instance.FindPin("Audio_In");
    pins.active = instance.FindPin("Active");
    pins.feedback = instance.FindPin("Feedback +/-10");
    pins.damping = instance.FindPin("Damping 0-10");
    pins.routing_mode = instance.FindPin("Damping/Feedback Mode");
    pins.out = instance.FindPin("Out");
    pins.time_accuracy = instance.FindPin("Time Accuracy");
    pins.time_mode = instance.FindPin("Time Mode");
    pins.time = instance.FindPin("1 Time");
    pins.volume = instance.FindPin("1 Volume 10=100%");
    pins.max_delay = instance.FindPin("Max Delay(s)");
    pins.volume_mode = instance.FindPin("Volume Mode");
    pins.mono_mode = instance.FindPin("Midi_to_CV:Mono Mode(Poly Reset)");
    pins.gate = instance.FindPin("Midi_to_CV:Gate(Poly Reset)");
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
