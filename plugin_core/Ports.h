// The plug-ins' ports. Ports 0 to 13 are the module's pins, in the module's pin order, so that port index = pin
// index; names, list entries and defaults come from the module's own pin descriptions (PortDescriptions), and
// this table holds what the adapter adds: the stable symbol, the kind of LV2 port, how a range is read, a
// comment for an LV2 user, a unit, and the plug-in's own default where it differs from the module's. The ports
// after them are the adapter's own (the realised delay, smoothing, the stereo variant's right channel).
//
// Symbols are part of every saved session and preset: never rename one, never give a retired one a new meaning.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PinFacts.h"

namespace er_plugin {

enum class PortKind {
    AudioIn,   // lv2:AudioPort input
    AudioOut,  // lv2:AudioPort output
    Toggle,    // a choice pin "OFF,ON" as lv2:toggled, on by default
    Choice,    // a choice pin as lv2:enumeration, one scale point per list entry; the value is the entry's value
    Float,     // a float pin in shown units (the pin's float is the shown value / 10)
    Trigger,   // a float pin the host pulses (pprops:trigger); a positive value is a gate
    Reading,   // an output control port the adapter writes: what the module realises
    Switch,    // an input toggle of the adapter's own
};

// How a float port's range is read from the pin's range text ("10,0,10,0": the extremes are 0 and 10).
enum class RangeRule {
    None,        // not a float pin
    FromText,    // the extremes of the range text
    SignedText,  // from minus to plus the text's largest number: the pin's name promises a sign ("+/-10")
    GateRange,   // the pin shows no range: 0 to 10, a shown 10 being the float 1.0 a gate sends
    Own,         // the range in its row (the plug-in's own ports, and pins whose range the plug-in widens)
};

inline constexpr float MODULE_DEFAULT = NAN;  // a row's plug-in default that keeps the module's

struct PortRow {
    const char* symbol;  // lv2:symbol
    PortKind kind;
    RangeRule range;
    const char* comment;  // rdfs:comment, for an LV2 user
    const char* unit;     // units:unit (a Turtle name), or null
    float plugin_default = MODULE_DEFAULT;
    float minimum = 0.0f;  // RangeRule::Own only
    float maximum = 0.0f;
    const char* name = nullptr;  // what a host shows (lv2:name): named for what the control does
};

// The longest run the cores buffer; a format that announces more gets runs cut to this.
inline constexpr std::int32_t LARGEST_MAX_BLOCK = 65536;

inline constexpr std::int32_t PIN_PORTS = effect_pins::PIN_COUNT;  // ports 0 .. 13: the module's pins

// A pin's port is the pin's own number.
inline constexpr std::int32_t PORT_AUDIO_IN = effect_pins::Index(effect_pins::Pin::AudioIn);
inline constexpr std::int32_t PORT_ACTIVE = effect_pins::Index(effect_pins::Pin::Active);
inline constexpr std::int32_t PORT_FEEDBACK = effect_pins::Index(effect_pins::Pin::Feedback);
inline constexpr std::int32_t PORT_DAMPING = effect_pins::Index(effect_pins::Pin::Damping);
inline constexpr std::int32_t PORT_OUT = effect_pins::Index(effect_pins::Pin::Out);
inline constexpr std::int32_t PORT_TIME_ACCURACY = effect_pins::Index(effect_pins::Pin::TimeAccuracy);
inline constexpr std::int32_t PORT_TIME_MODE = effect_pins::Index(effect_pins::Pin::TimeMode);
inline constexpr std::int32_t PORT_TIME = effect_pins::Index(effect_pins::Pin::Time);
inline constexpr std::int32_t PORT_VOLUME = effect_pins::Index(effect_pins::Pin::Volume);
inline constexpr std::int32_t PORT_MAX_DELAY = effect_pins::Index(effect_pins::Pin::MaxDelay);
inline constexpr std::int32_t PORT_VOLUME_MODE = effect_pins::Index(effect_pins::Pin::VolumeMode);
inline constexpr std::int32_t PORT_MONO_MODE = effect_pins::Index(effect_pins::Pin::MonoMode);
inline constexpr std::int32_t PORT_GATE = effect_pins::Index(effect_pins::Pin::Gate);
// The adapter's own ports follow the pins.
inline constexpr std::int32_t PORT_DELAY_SAMPLES = PIN_PORTS;
inline constexpr std::int32_t PORT_DELAY_MS = PORT_DELAY_SAMPLES + 1;
inline constexpr std::int32_t PORT_SMOOTH = PORT_DELAY_MS + 1;
inline constexpr std::int32_t PORT_DELAY = PORT_SMOOTH + 1;  // added later: saved sessions know ports by symbol
inline constexpr std::int32_t PORT_MIX = PORT_DELAY + 1;
inline constexpr std::int32_t MONO_PORTS = PORT_MIX + 1;
inline constexpr std::int32_t PORT_AUDIO_IN_R = MONO_PORTS;  // the stereo variant only
inline constexpr std::int32_t PORT_OUT_R = PORT_AUDIO_IN_R + 1;
inline constexpr std::int32_t STEREO_PORTS = PORT_OUT_R + 1;
inline constexpr std::int32_t PORT_COUNT = STEREO_PORTS;  // the largest variant's

// "Max Delay(s)" in the plug-in: the shortest line that holds the default "1 Time" (100 ms in the default "Time(ms)")
// at every rate of the module's bands, 8 kHz to 384 kHz: "0.170" (the module's "0.040 (2048sm)" holds 42 ms at
// 48 kHz, and its tap wraps). Above 384 kHz the plug-in lengthens every line to hold the seconds it shows.
constexpr std::int32_t WholeNumber(const char* text) {
    std::int32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
    return value;
}
inline constexpr std::int32_t DEFAULT_TIME_MS = WholeNumber(effect_pins::Facts(effect_pins::Pin::Time).default_value);
static_assert(effect_pins::Facts(effect_pins::Pin::TimeMode).default_value[0] - '0' == effect_pins::choice::TIME_MS,
              "the default time counts milliseconds");
inline constexpr float MAX_DELAY_DEFAULT = [] {
    constexpr float HIGHEST_BAND_RATE = 384000.0f;
    std::int32_t entry = effect_pins::MAX_DELAY_ENTRIES - 1;
    while (entry > 0 && effect_pins::BufferLength(entry, HIGHEST_BAND_RATE) * 1000.0 < DEFAULT_TIME_MS * HIGHEST_BAND_RATE) --entry;
    return static_cast<float>(entry);
}();
static_assert(MAX_DELAY_DEFAULT == 6.0f, "saved sessions and presets start from 0.170");
// The longest delay the delay controls reach, in milliseconds: the longest line as its list entry shows it
// ("10.920"; the line holds 10922.7 ms at 48 kHz).
inline constexpr float LONGEST_LINE_MS = 10920.0f;
inline constexpr float GATE_MAXIMUM = 10.0f;

inline constexpr PortRow PORT_ROWS[PORT_COUNT] = {
    {"audio_in", PortKind::AudioIn, RangeRule::None, "The signal the delay line records.", nullptr},
    {"active", PortKind::Toggle, RangeRule::None,
     "On: the echo plays. Off: the plug-in passes its input unchanged (bypass) and frees its delay line; "
     "switching on starts from an empty line.",
     nullptr, 1.0f, 0.0f, 0.0f, "Active"},
    {"feedback", PortKind::Float, RangeRule::SignedText,
     "How much of each echo is fed back into the line: 10 repeats it at full level forever, 5 at half level "
     "each time, negative values invert it. 0 gives a single echo.",
     nullptr, MODULE_DEFAULT, 0.0f, 0.0f, "Feedback"},
    {"damping", PortKind::Float, RangeRule::FromText,
     "A one-pole low-pass in the feedback path: 0 leaves the repeats bright, 10 holds the filter still. In the "
     "Input+ routings it also filters what enters the line.",
     nullptr, MODULE_DEFAULT, 0.0f, 0.0f, "Damping"},
    {"routing_mode", PortKind::Choice, RangeRule::None,
     "Where feedback and damping act: Tap1 feeds the tap back, Output the output; the Input+ entries filter "
     "input and feedback together.",
     nullptr, MODULE_DEFAULT, 0.0f, 0.0f, "Feedback Routing"},
    {"out", PortKind::AudioOut, RangeRule::None,
     "The echo, mixed with the input as Mix says (at 100 %, the default, the echo alone).", nullptr},
    {"time_accuracy", PortKind::Choice, RangeRule::None,
     "Sample: the delay in whole samples. Fraction(Econ): interpolated, read once per block. Fraction(Full): "
     "interpolated at every sample while the time moves.",
     nullptr, MODULE_DEFAULT, 0.0f, 0.0f, "Delay Accuracy"},
    {"time_mode", PortKind::Choice, RangeRule::None, "What Time counts: seconds, milliseconds or samples.", nullptr,
     MODULE_DEFAULT, 0.0f, 0.0f, "Time Unit"},
    {"time", PortKind::Float, RangeRule::Own,
     "The delay of the echo, in what Time Unit says, while Delay is 0. The plug-in keeps it between 1 sample and "
     "the Line Length; Delay (samples) and Delay (ms) show the delay it plays.",
     nullptr, MODULE_DEFAULT, 0.0f, LONGEST_LINE_MS, "Time"},
    {"volume", PortKind::Float, RangeRule::FromText, "The echo's level: 10 is 100 %.", nullptr, MODULE_DEFAULT, 0.0f,
     0.0f, "Level"},
    {"max_delay", PortKind::Choice, RangeRule::None,
     "The length of the delay line, in seconds at 48 kHz (longer at lower rates within a band, and never shorter "
     "than the seconds shown); the longest delay the plug-in plays. A change restarts the line from silence.",
     nullptr, MAX_DELAY_DEFAULT, 0.0f, 0.0f, "Line Length"},
    {"volume_mode", PortKind::Choice, RangeRule::None,
     "Linear: the level is Level / 10. Analogue: its square, for a fader-like feel.", nullptr, MODULE_DEFAULT, 0.0f,
     0.0f, "Level Law"},
    {"mono_mode", PortKind::Choice, RangeRule::None,
     "Does nothing in a plug-in: in the modular host it limits line clearing to the first gate of each voice; "
     "here every gate clears the line.",
     nullptr, MODULE_DEFAULT, 0.0f, 0.0f, "Mono Mode"},
    {"gate", PortKind::Trigger, RangeRule::GateRange,
     "A positive value clears the delay line and the damping state (a held value clears once).", nullptr,
     MODULE_DEFAULT, 0.0f, 0.0f, "Clear"},
    {"delay_samples", PortKind::Reading, RangeRule::Own,
     "The delay the plug-in plays now, in samples (fractional with the Fraction accuracies).", nullptr, 0.0f, 0.0f,
     4194304.0f, "Delay (samples)"},
    {"delay_ms", PortKind::Reading, RangeRule::Own, "The delay the plug-in plays now, in milliseconds.", "units:ms",
     0.0f, 0.0f, 65536.0f, "Delay (ms)"},
    {"smooth", PortKind::Switch, RangeRule::Own,
     "On: changes of delay, level, feedback, damping, level law, mix, line length and Active glide or fade, and "
     "a clear fades the echo out first, instead of clicking. Off: every change takes effect at once, sample for "
     "sample as the module alone plays it.",
     nullptr, 1.0f, 0.0f, 1.0f, "Smooth changes"},
    {"delay", PortKind::Float, RangeRule::Own,
     "The delay of the echo in milliseconds, whatever Time Unit says; 0 leaves it to Time. The plug-in keeps it "
     "between 1 sample and the Line Length.",
     "units:ms", 0.0f, 0.0f, LONGEST_LINE_MS, "Delay"},
    {"mix", PortKind::Float, RangeRule::Own,
     "The output's share of echo against the input: 100 % the echo alone, 0 % the input alone.", "units:pc",
     100.0f, 0.0f, 100.0f, "Mix"},
    {"audio_in_r", PortKind::AudioIn, RangeRule::None, "The right channel's input.", nullptr},
    {"out_r", PortKind::AudioOut, RangeRule::None, "The right channel's output.", nullptr},
};

// The plug-ins of the bundle: one module object per channel, the controls shared.
struct Variant {
    const char* uri;
    const char* name_suffix;  // after the module's name
    std::int32_t channels;
    std::int32_t ports;
};
inline constexpr Variant VARIANTS[] = {
    {"urn:early-reflection:ZV_1x_ER_Gen", "", 1, MONO_PORTS},
    {"urn:early-reflection:ZV_1x_ER_Gen_stereo", " Stereo", 2, STEREO_PORTS},
};
inline constexpr std::int32_t VARIANT_COUNT = 2;
inline constexpr std::int32_t MAX_CHANNELS = 2;
// Each channel's audio ports.
inline constexpr std::int32_t CHANNEL_IN[MAX_CHANNELS] = {PORT_AUDIO_IN, PORT_AUDIO_IN_R};
inline constexpr std::int32_t CHANNEL_OUT[MAX_CHANNELS] = {PORT_OUT, PORT_OUT_R};

bool IsControl(PortKind kind);
bool IsChoice(PortKind kind);  // Toggle or Choice: the pin's value is a 16-bit entry value
bool IsPin(std::int32_t port);
bool IsReading(PortKind kind);

struct ChoiceEntry {
    std::string label;   // the module's text of the entry
    std::int16_t value;  // what the module's variable receives
};

// A port as the plug-in describes it: the module's pin texts, translated, or the adapter's own port.
struct PortDescription {
    PortRow row;
    std::string name;      // what a host shows: the row's name (the module's pin name for the audio ports)
    std::string pin_name;  // the module's pin name, as settings files and er-render name it; empty: no pin
    float minimum = 0.0f;  // control ports: the range in LV2 values
    float maximum = 0.0f;
    float default_value = 0.0f;        // control ports; a choice's entry value
    std::vector<ChoiceEntry> entries;  // choice ports, in list order
};

// Reads the module's pin descriptions through its exports and translates them, and adds the adapter's ports:
// PORT_COUNT descriptions. Empty when the module's pins are not the ones the shared pin table
// (effect_pins/PinFacts.h) states, in name, direction, type or number of list entries, or carry flags: the
// adapter refuses to run a module it does not know.
std::vector<PortDescription> PortDescriptions();

// The value a choice port's LV2 value selects: the entry whose value equals it exactly after rounding to the
// nearest whole number; a toggle selects its first entry at 0 or below and its second above 0. None for a value
// that names no entry (not a number, out of range, no such entry).
std::optional<std::int16_t> ChoiceFor(const PortDescription& port, float value);

// A float port's value as the plug-in takes it: within the port's range; none when not a number or infinite
// (the plug-in keeps the last value it took).
std::optional<float> FloatFor(const PortDescription& port, float value);

// Any control port's value as the plug-in takes it (and a format reads it back to a host): a choice's entry value,
// a switch's 0 or 1, a float within its range; none for a value the plug-in ignores.
std::optional<float> ControlFor(const PortDescription& port, float value);

}  // namespace er_plugin
