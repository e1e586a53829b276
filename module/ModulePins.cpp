// The fourteen pins as the host sees them, with their reactions, and the Max Delay table. Texts go to the host
// exactly as written.
#include <algorithm>

#include "Module.h"

// What the host is told about each pin, and what each notification does. Every pin but the gate then runs the
// common tail, which re-selects the routine.
const Module::PinTableEntry Module::kPinTable[PIN_COUNT] = {
    {"Audio_In", DR_IN, DT_FSAMPLE, "0", nullptr, &VariableOf<&Module::in_audio>, &Module::NoReaction, true},
    {"Active", DR_IN, DT_LIST, "0", "OFF,ON", &VariableOf<&Module::active>, &Module::OnActive, true},
    {"Feedback +/-10", DR_IN, DT_FSAMPLE, "0.0", "10,0,10,0", &VariableOf<&Module::in_feedback>,
     &Module::OnFeedback, true},
    {"Damping 0-10", DR_IN, DT_FSAMPLE, "0.0", "10,0,10,0", &VariableOf<&Module::in_damping>, &Module::OnDamping,
     true},
    {"Damping/Feedback Mode", DR_IN, DT_LIST, "1", "Tap1,Input+Tap1,Output,Input+Output",
     &VariableOf<&Module::routing_mode>, &Module::NoReaction, true},  // the tail re-selects
    {"Out", DR_OUT, DT_FSAMPLE, nullptr, nullptr, &VariableOf<&Module::out_audio>, &Module::NoReaction, true},
    {"Time Accuracy", DR_IN, DT_LIST, "0", "Sample,Fraction(Econ),Fraction(Full)",
     &VariableOf<&Module::time_accuracy>, &Module::OnTimeAccuracy, true},
    {"Time Mode", DR_IN, DT_LIST, "1", "Time(s)=0, Time(ms),Samples", &VariableOf<&Module::time_mode>,
     &Module::OnTimeMode, true},
    {"1 Time", DR_IN, DT_FSAMPLE, "100", "100,0,100,0", &VariableOf<&Module::in_time>, &Module::OnTime, true},
    {"1 Volume 10=100%", DR_IN, DT_FSAMPLE, "10", "10,0,10,0", &VariableOf<&Module::in_volume>, &Module::OnVolume,
     true},
    {"Max Delay(s)", DR_SETTING, DT_LIST, "8",
     "10.920=0,5.460,2.730,1.360,0.680,0.340,0.170,0.085 (4096sm),0.040 (2048sm),0.020 (1024sm),"
     "0.010 (512sm),0.005 (256sm)",
     &VariableOf<&Module::max_delay>, &Module::OnMaxDelay, true},
    {"Volume Mode", DR_IN, DT_LIST, "0", "Linear,Analogue", &VariableOf<&Module::volume_mode>,
     &Module::OnVolumeMode, true},
    {"Midi_to_CV:Mono Mode(Poly Reset)", DR_IN, DT_LIST, "0", "On=1,Off=0", &VariableOf<&Module::mono_mode>,
     &Module::NoReaction, true},
    {"Midi_to_CV:Gate(Poly Reset)", DR_IN, DT_FSAMPLE, "0", nullptr, &VariableOf<&Module::in_gate>,
     &Module::OnGate, false},  // poly reset only
};

// Sets only what the table gives; every other field keeps what the caller put there.
bool Module::GetPinProperties(std::int32_t index, SEPinProperties* properties) {
    if (index < 0 || index >= PIN_COUNT || properties == nullptr) return false;
    const PinTableEntry& pin = kPinTable[index];
    properties->variable = pin.variable(*this);
    properties->direction = pin.direction;
    properties->datatype = pin.datatype;
    properties->name = pin.name;
    if (pin.default_value != nullptr) properties->default_value = pin.default_value;
    if (pin.extra_text != nullptr) properties->extra_text = pin.extra_text;
    return true;
}

namespace {
// Delay-line length in samples for each "Max Delay(s)" entry, at sample rates up to 48000 Hz.
constexpr std::int32_t kMaxDelaySamples[MAX_DELAY_ENTRIES] = {
    524288, 262144, 131072, 65536, 32768, 16384, 8192, 4096, 2048, 1024, 512, 256,
};
}  // namespace

// The host writes only 0..11; any other index is folded to the nearest entry rather than read outside the
// table. Each rate band above 48000 Hz doubles the length, so the list's seconds hold at 48, 96, 192 and
// 384 kHz; the comparisons are strict, and a rate that is not a number doubles nothing.
std::int32_t Module::BufferLength(std::int32_t max_delay_index, float sample_rate) {
    std::int32_t n = kMaxDelaySamples[std::clamp(max_delay_index, 0, MAX_DELAY_ENTRIES - 1)];
    if (sample_rate > 48000.0f) n *= 2;
    if (sample_rate > 96000.0f) n *= 2;
    if (sample_rate > 192000.0f) n *= 2;
    return n;
}
