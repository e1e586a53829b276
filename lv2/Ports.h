// The plug-in's ports: one per pin of the module, in the module's pin order, so that port index = pin index.
// Names, list entries and defaults come from the module's own pin descriptions (PortDescriptions); this table
// holds only what the adapter adds: the stable symbol, the kind of LV2 port, and how a range is read.
//
// Symbols are part of every saved session and preset: never rename one, never give a retired one a new meaning.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PinFacts.h"

namespace er_lv2 {

enum class PortKind {
    AudioIn,   // lv2:AudioPort input
    AudioOut,  // lv2:AudioPort output
    Toggle,    // a choice pin "OFF,ON" as lv2:toggled, on by default
    Choice,    // a choice pin as lv2:enumeration, one scale point per list entry; the value is the entry's value
    Float,     // a float pin in shown units (the pin's float is the shown value / 10)
    Trigger,   // a float pin the host pulses (pprops:trigger); a positive value is a gate
};

// How a float port's range is read from the pin's range text ("10,0,10,0": the extremes are 0 and 10).
enum class RangeRule {
    None,        // not a float port
    FromText,    // the extremes of the range text
    SignedText,  // from minus to plus the text's largest number: the pin's name promises a sign ("+/-10")
    GateRange,   // the pin shows no range: 0 to 10, a shown 10 being the float 1.0 a gate sends
};

struct PortRow {
    const char* symbol;  // lv2:symbol
    PortKind kind;
    RangeRule range;
};

inline constexpr std::int32_t PORT_COUNT = effect_pins::PIN_COUNT;

inline constexpr PortRow PORT_ROWS[PORT_COUNT] = {
    {"audio_in", PortKind::AudioIn, RangeRule::None},         // "Audio_In"
    {"active", PortKind::Toggle, RangeRule::None},            // "Active"
    {"feedback", PortKind::Float, RangeRule::SignedText},     // "Feedback +/-10"
    {"damping", PortKind::Float, RangeRule::FromText},        // "Damping 0-10"
    {"routing_mode", PortKind::Choice, RangeRule::None},      // "Damping/Feedback Mode"
    {"out", PortKind::AudioOut, RangeRule::None},             // "Out"
    {"time_accuracy", PortKind::Choice, RangeRule::None},     // "Time Accuracy"
    {"time_mode", PortKind::Choice, RangeRule::None},         // "Time Mode"
    {"time", PortKind::Float, RangeRule::FromText},           // "1 Time"
    {"volume", PortKind::Float, RangeRule::FromText},         // "1 Volume 10=100%"
    {"max_delay", PortKind::Choice, RangeRule::None},         // "Max Delay(s)"
    {"volume_mode", PortKind::Choice, RangeRule::None},       // "Volume Mode"
    {"mono_mode", PortKind::Choice, RangeRule::None},         // "Midi_to_CV:Mono Mode(Poly Reset)"
    {"gate", PortKind::Trigger, RangeRule::GateRange},        // "Midi_to_CV:Gate(Poly Reset)"
};

inline constexpr std::int32_t PORT_AUDIO_IN = effect_pins::Index(effect_pins::Pin::AudioIn);
inline constexpr std::int32_t PORT_ACTIVE = effect_pins::Index(effect_pins::Pin::Active);
inline constexpr std::int32_t PORT_OUT = effect_pins::Index(effect_pins::Pin::Out);
inline constexpr std::int32_t PORT_MAX_DELAY = effect_pins::Index(effect_pins::Pin::MaxDelay);
inline constexpr std::int32_t PORT_GATE = effect_pins::Index(effect_pins::Pin::Gate);

// "Active" is on by default in the plug-in (the module starts off and waits for its host to switch it on).
inline constexpr float ACTIVE_DEFAULT = 1.0f;
inline constexpr float GATE_MAXIMUM = 10.0f;

bool IsControl(PortKind kind);
bool IsChoice(PortKind kind);  // Toggle or Choice: the pin's value is a 16-bit entry value

struct ChoiceEntry {
    std::string label;   // the module's text of the entry
    std::int16_t value;  // what the module's variable receives
};

// A port as the plug-in describes it: the module's pin texts, translated.
struct PortDescription {
    PortRow row;
    std::string name;                  // the module's pin name
    float minimum = 0.0f;              // control ports: the range in LV2 values
    float maximum = 0.0f;
    float default_value = 0.0f;        // control ports; a choice's entry value
    std::vector<ChoiceEntry> entries;  // choice ports, in list order
};

// Reads the module's pin descriptions through its exports and translates them. Empty when the module's pins are
// not the ones the shared pin table (effect_pins/PinFacts.h) states, in name, direction, type or number of list
// entries, or carry flags: the adapter refuses to run a module it does not know.
std::vector<PortDescription> PortDescriptions();

// The value a choice port's LV2 value selects: the entry whose value equals it exactly after rounding to the
// nearest whole number; a toggle selects its first entry at 0 or below and its second above 0. None for a value
// that names no entry (not a number, out of range, no such entry).
std::optional<std::int16_t> ChoiceFor(const PortDescription& port, float value);

// The pin's float for a float port's LV2 value (shown units): shown / 10 in double, rounded once to float.
float PinFloat(float shown);

}  // namespace er_lv2
