// The module as the host may assume it to be: the pins the validator drives, one event, and what the host
// knows of one processing object from the events it sent, enough to say when an output must be finite, when two
// objects must agree bit for bit, and whether a fresh object can be set up to match this one.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "PinFacts.h"
#include "SEAbi.h"
#include "Signals.h"

namespace er_validate {

// ---- the pins the validator drives, by the names the module gives them ----

// A role is the pin's index in the module's pin order (effect_pins::Pin).
using effect_pins::Pin;
enum Role : int {
    kAudio = effect_pins::Index(Pin::AudioIn),
    kActive = effect_pins::Index(Pin::Active),
    kFeedback = effect_pins::Index(Pin::Feedback),
    kDamping = effect_pins::Index(Pin::Damping),
    kRouting = effect_pins::Index(Pin::RoutingMode),
    kOut = effect_pins::Index(Pin::Out),
    kAccuracy = effect_pins::Index(Pin::TimeAccuracy),
    kTimeMode = effect_pins::Index(Pin::TimeMode),
    kTime = effect_pins::Index(Pin::Time),
    kVolume = effect_pins::Index(Pin::Volume),
    kMaxDelay = effect_pins::Index(Pin::MaxDelay),
    kVolumeMode = effect_pins::Index(Pin::VolumeMode),
    kMono = effect_pins::Index(Pin::MonoMode),
    kGate = effect_pins::Index(Pin::Gate),
    kRoleCount = effect_pins::PIN_COUNT
};

inline const effect_pins::PinFacts& Facts(int role) { return effect_pins::kPins[static_cast<std::size_t>(role)]; }
inline const char* RoleName(int role) { return Facts(role).name.data(); }  // the table's names are string literals
inline bool IsChoice(int role) { return Facts(role).datatype == effect_pins::TYPE_LIST; }

constexpr std::array<Role, 4> kControls{kFeedback, kDamping, kTime, kVolume};  // read at block starts
constexpr std::array<Role, 6> kFloatInputs{kAudio, kFeedback, kDamping, kTime, kVolume, kGate};
constexpr std::array<Role, 7> kChoices{kActive, kRouting, kAccuracy, kTimeMode, kMaxDelay, kVolumeMode, kMono};

inline bool IsFloatInput(Role role) {
    return std::find(kFloatInputs.begin(), kFloatInputs.end(), role) != kFloatInputs.end();
}

// One event within a segment, delivered to every member of a group at the same sample.
struct Action {
    std::int32_t at = 0;
    Role role = kAudio;       // the pin; for a neutral event, none
    bool neutral = false;     // changes nothing: EV_DATA or an "Audio_In" status
    std::int32_t status = PS_CHANGED;
    std::int16_t choice = 0;  // choice pins: the value written before the event
    bool set_value = false;   // float pins: the samples hold `value` from here on
    float value = 0.0f;
    bool stream = false;      // float pins: the samples come from `signal` from here on
    Signal signal;
    std::int32_t data = 0;
};

// What the host knows of one processing object from the events it sent.
struct Model {
    std::array<std::int16_t, kRoleCount> choice{};  // choice variables as the object holds them
    std::array<bool, kRoleCount> notified{};        // a status event was delivered since open
    std::array<bool, kRoleCount> streaming{};       // float pins: the last status was PS_STREAMING
    std::array<float, kRoleCount> value{};          // float pins not streaming: the constant value
    std::array<Signal, kRoleCount> signal{};        // float pins streaming: where their samples come from
    bool buffer = false;                            // a delay line exists
    std::int16_t allocated_max_delay = 0;
    double alloc_rate = 0.0;                        // library-wide rate when the delay line was sized
    double time_scale = 0.0;                        // samples per unit of "1 Time"
    bool time_mode_seen = false;                    // a valid "Time Mode" arrived since open
    double time_scale_rate = 0.0;                   // the library-wide rate then
    bool latch = false;                             // mono mode: a poly reset is armed
    bool ever_active = false;                       // an "Active" event arrived: a routine of the effect runs
    // Since the delay line and the damping state were last emptied (open, new line, poly reset):
    bool unbounded = false;  // some input or control left the region where the output must stay finite
    bool damped = false;     // a damping amount other than 0 was seen: block ends round the damping state

    Model() {
        choice[kMaxDelay] = 2;  // what the effect's open sets
    }
};

// The delay line and the damping state start empty: at each new line (switch-on, Max Delay change while on)
// and at each poly reset. Whatever came before no longer reaches the output.
void Clear(Model& m);

// Whether the output must stay finite with these inputs and controls (see HostModel.cpp).
bool Bounded(const Model& m, float x, float feedback, float damping, float volume, float time);

// The effect of one event on the model, in the order the object receives it. `gate_sample` is the gate pin's
// sample at the event, `library_rate` the library-wide sample rate.
void Apply(Model& m, const Action& action, float gate_sample, double library_rate);

}  // namespace er_validate
