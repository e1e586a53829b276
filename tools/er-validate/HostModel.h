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

// A role is the pin itself, in the module's pin order (effect_pins::Pin); per-role tables are indexed by it.
using effect_pins::Pin;
using Role = effect_pins::Pin;
inline constexpr std::int32_t ROLE_COUNT = effect_pins::PIN_COUNT;

template <class T>
struct PerRole : std::array<T, ROLE_COUNT> {
    using std::array<T, ROLE_COUNT>::operator[];
    PerRole& operator=(const std::array<T, ROLE_COUNT>& values) {
        std::array<T, ROLE_COUNT>::operator=(values);
        return *this;
    }
    T& operator[](Role role) { return (*this)[static_cast<std::size_t>(role)]; }
    const T& operator[](Role role) const { return (*this)[static_cast<std::size_t>(role)]; }
};

inline const char* RoleName(Role role) { return Facts(role).name.data(); }  // the table's names are string literals
inline bool IsChoice(Role role) { return Facts(role).datatype == effect_pins::TYPE_LIST; }

constexpr std::array<Role, 4> CONTROL_ROLES{Pin::Feedback, Pin::Damping, Pin::Time, Pin::Volume};  // read at block starts
constexpr std::array<Role, 6> FLOAT_INPUTS{Pin::AudioIn, Pin::Feedback, Pin::Damping, Pin::Time, Pin::Volume, Pin::Gate};
constexpr std::array<Role, 7> CHOICE_ROLES{Pin::Active, Pin::RoutingMode, Pin::TimeAccuracy, Pin::TimeMode, Pin::MaxDelay, Pin::VolumeMode, Pin::MonoMode};

inline bool IsFloatInput(Role role) {
    return std::find(FLOAT_INPUTS.begin(), FLOAT_INPUTS.end(), role) != FLOAT_INPUTS.end();
}

// One event within a segment, delivered to every member of a group at the same sample.
struct Action {
    std::int32_t at = 0;
    Role role = Pin::AudioIn;  // the pin; for a neutral event, none
    bool neutral = false;      // changes nothing: EV_DATA or an "Audio_In" status
    std::int32_t status = PS_CHANGED;
    std::int16_t choice = 0;  // choice pins: the value written before the event
    bool set_value = false;   // float pins: the samples hold `value` from here on
    float value = 0.0f;
    bool stream = false;  // float pins: the samples come from `signal` from here on
    Signal signal;
    std::int32_t data = 0;
};

// What the host knows of one processing object from the events it sent.
struct Model {
    PerRole<std::int16_t> choice{};  // choice variables as the object holds them
    PerRole<bool> notified{};        // a status event was delivered since open
    PerRole<bool> streaming{};       // float pins: the last status was PS_STREAMING
    PerRole<float> value{};          // float pins not streaming: the constant value
    PerRole<Signal> signal{};        // float pins streaming: where their samples come from
    bool buffer = false;             // a delay line exists
    std::int16_t allocated_max_delay = 0;
    double alloc_rate = 0.0;       // library-wide rate when the delay line was sized
    double time_scale = 0.0;       // samples per unit of "1 Time"
    bool time_mode_seen = false;   // a valid "Time Mode" arrived since open
    double time_scale_rate = 0.0;  // the library-wide rate then
    bool latch = false;            // mono mode: a poly reset is armed
    bool ever_active = false;      // an "Active" event arrived: a routine of the effect runs
    // Since the delay line and the damping state were last emptied (open, new line, poly reset):
    bool unbounded = false;  // some input or control left the region where the output must stay finite
    bool damped = false;     // a damping amount other than 0 was seen: block ends round the damping state

    Model() {
        choice[Pin::MaxDelay] = 2;  // what the effect's open sets
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
