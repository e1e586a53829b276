// The fourteen pins as the host sees them, with their reactions. Their texts (effect_pins::PINS) and the Max
// Delay table (effect_pins::BufferLength) are stated in PinFacts.h; texts go to the host exactly as written.
#include "Module.h"

// The pin facts speak the binary interface's numbers for direction and type.
static_assert(effect_pins::DIRECTION_IN == DR_IN && effect_pins::DIRECTION_OUT == DR_OUT &&
              effect_pins::DIRECTION_SETTING == DR_SETTING);
static_assert(effect_pins::TYPE_LIST == DT_LIST && effect_pins::TYPE_FLOAT == DT_FSAMPLE);

// Where each pin's value lives and what its notification does, one row per pin in pin order (the host numbers
// the pins by the row). Every pin but the gate then runs the common tail, which re-selects the routine.
const Module::PinTableEntry Module::PIN_TABLE[PIN_COUNT] = {
    {Pin::AudioIn, &VariableOf<&Module::in_audio>, &Module::NoReaction, true},
    {Pin::Active, &VariableOf<&Module::active>, &Module::OnActive, true},
    {Pin::Feedback, &VariableOf<&Module::in_feedback>, &Module::OnFeedback, true},
    {Pin::Damping, &VariableOf<&Module::in_damping>, &Module::OnDamping, true},
    {Pin::RoutingMode, &VariableOf<&Module::routing_mode>, &Module::NoReaction, true},  // the tail re-selects
    {Pin::Out, &VariableOf<&Module::out_audio>, &Module::NoReaction, true},
    {Pin::TimeAccuracy, &VariableOf<&Module::time_accuracy>, &Module::OnTimeAccuracy, true},
    {Pin::TimeMode, &VariableOf<&Module::time_mode>, &Module::OnTimeMode, true},
    {Pin::Time, &VariableOf<&Module::in_time>, &Module::OnTime, true},
    {Pin::Volume, &VariableOf<&Module::in_volume>, &Module::OnVolume, true},
    {Pin::MaxDelay, &VariableOf<&Module::max_delay>, &Module::OnMaxDelay, true},
    {Pin::VolumeMode, &VariableOf<&Module::volume_mode>, &Module::OnVolumeMode, true},
    {Pin::MonoMode, &VariableOf<&Module::mono_mode>, &Module::NoReaction, true},
    {Pin::Gate, &VariableOf<&Module::in_gate>, &Module::OnGate, false},  // poly reset only
};

// Sets only what the facts give; every other field keeps what the caller put there.
bool Module::GetPinProperties(std::int32_t index, SEPinProperties* properties) {
    if (index < 0 || index >= PIN_COUNT || properties == nullptr) return false;
    const PinTableEntry& pin = PIN_TABLE[index];
    const effect_pins::PinFacts& facts = effect_pins::Facts(pin.pin);
    properties->variable = pin.variable(*this);
    properties->direction = facts.direction;
    properties->datatype = facts.datatype;
    properties->name = facts.name.data();
    if (facts.default_value != nullptr) properties->default_value = facts.default_value;
    if (facts.extra_text != nullptr) properties->extra_text = facts.extra_text;
    return true;
}
