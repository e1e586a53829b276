// The early-reflection module's facts, stated once: its fourteen pins (number, name, direction, type, default
// and list texts), what its list entries mean (the "Max Delay(s)" line lengths and their rate bands, the "Time
// Mode" scales, the routing each "Damping/Feedback Mode" selects), its routine table's layout and names, the
// order a host announces the pins in, and how a tap longer than the delay line wraps. The module itself is built
// from this header; the tools, the plug-in and the benchmarks include it to know what the module does. It is
// compile-time only and needs nothing but the standard library.
//
// The expected pin texts the tests compare character for character (tests/support/ExpectedPins.h) and the
// tests' reference model are written out separately on purpose: this header is what the module does, those are
// what it must do.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace effect_pins {

// ---- pins ----------------------------------------------------------------------------------------------------

// The pins in the module's description order: the host numbers them so, and a pin's index is its Pin value.
enum class Pin : std::int32_t {
    AudioIn,
    Active,
    Feedback,
    Damping,
    RoutingMode,
    Out,
    TimeAccuracy,
    TimeMode,
    Time,
    Volume,
    MaxDelay,
    VolumeMode,
    MonoMode,
    Gate,
};
inline constexpr std::int32_t PIN_COUNT = 14;

constexpr std::int32_t Index(Pin pin) {
    return static_cast<std::int32_t>(pin);
}

// The binary interface's numbers for a pin's direction and type (the module checks them against the frame's).
inline constexpr std::int32_t DIRECTION_IN = 0, DIRECTION_OUT = 1, DIRECTION_SETTING = 3;
inline constexpr std::int32_t TYPE_LIST = 0, TYPE_FLOAT = 5;  // a 16-bit choice; a buffer of float samples

// Entries of a list text: separated by commas ("OFF,ON"; "Time(s)=0, Time(ms),Samples").
constexpr std::int16_t ListEntries(std::string_view text) {
    return static_cast<std::int16_t>(std::count(text.begin(), text.end(), ',') + 1);
}

struct PinFacts {
    Pin pin;
    std::string_view name;      // exactly as the module describes it (a string literal: NUL-terminated)
    std::int32_t direction;     // DIRECTION_IN, DIRECTION_OUT, DIRECTION_SETTING
    std::int32_t datatype;      // TYPE_FLOAT or TYPE_LIST
    const char* default_value;  // as the module describes it; null: the module sets none
    const char* extra_text;     // TYPE_LIST: the entries; TYPE_FLOAT: four range numbers; null: none
    // TYPE_LIST: the entries are 0 .. choices - 1; otherwise 0.
    constexpr std::int16_t Choices() const {
        return datatype == TYPE_LIST && extra_text != nullptr ? ListEntries(extra_text) : 0;
    }
};

inline constexpr std::array<PinFacts, PIN_COUNT> PINS{{
    {Pin::AudioIn, "Audio_In", DIRECTION_IN, TYPE_FLOAT, "0", nullptr},
    {Pin::Active, "Active", DIRECTION_IN, TYPE_LIST, "0", "OFF,ON"},
    {Pin::Feedback, "Feedback +/-10", DIRECTION_IN, TYPE_FLOAT, "0.0", "10,0,10,0"},
    {Pin::Damping, "Damping 0-10", DIRECTION_IN, TYPE_FLOAT, "0.0", "10,0,10,0"},
    {Pin::RoutingMode, "Damping/Feedback Mode", DIRECTION_IN, TYPE_LIST, "1", "Tap1,Input+Tap1,Output,Input+Output"},
    {Pin::Out, "Out", DIRECTION_OUT, TYPE_FLOAT, nullptr, nullptr},
    {Pin::TimeAccuracy, "Time Accuracy", DIRECTION_IN, TYPE_LIST, "0", "Sample,Fraction(Econ),Fraction(Full)"},
    {Pin::TimeMode, "Time Mode", DIRECTION_IN, TYPE_LIST, "1", "Time(s)=0, Time(ms),Samples"},
    {Pin::Time, "1 Time", DIRECTION_IN, TYPE_FLOAT, "100", "100,0,100,0"},
    {Pin::Volume, "1 Volume 10=100%", DIRECTION_IN, TYPE_FLOAT, "10", "10,0,10,0"},
    {Pin::MaxDelay, "Max Delay(s)", DIRECTION_SETTING, TYPE_LIST, "8",
     "10.920=0,5.460,2.730,1.360,0.680,0.340,0.170,0.085 (4096sm),0.040 (2048sm),0.020 (1024sm),"
     "0.010 (512sm),0.005 (256sm)"},
    {Pin::VolumeMode, "Volume Mode", DIRECTION_IN, TYPE_LIST, "0", "Linear,Analogue"},
    {Pin::MonoMode, "Midi_to_CV:Mono Mode(Poly Reset)", DIRECTION_IN, TYPE_LIST, "0", "On=1,Off=0"},
    {Pin::Gate, "Midi_to_CV:Gate(Poly Reset)", DIRECTION_IN, TYPE_FLOAT, "0", nullptr},
}};

constexpr bool RowsInPinOrder() {
    for (std::int32_t i = 0; i < PIN_COUNT; ++i) {
        if (Index(PINS[static_cast<std::size_t>(i)].pin) != i) return false;
    }
    return true;
}
static_assert(RowsInPinOrder(), "PINS holds one row per Pin, in Pin order");

constexpr const PinFacts& Facts(Pin pin) {
    return PINS[static_cast<std::size_t>(pin)];
}
constexpr std::string_view Name(Pin pin) {
    return Facts(pin).name;
}

// Choice values as the module's lists number them.
namespace choice {
inline constexpr std::int16_t OFF = 0, ON = 1;                                       // "Active"
inline constexpr std::int16_t TAP = 0, INPUT_TAP = 1, OUTPUT = 2, INPUT_OUTPUT = 3;  // "Damping/Feedback Mode"
inline constexpr std::int16_t SAMPLE = 0, FRACTION_ECON = 1, FRACTION_FULL = 2;      // "Time Accuracy"
inline constexpr std::int16_t TIME_SECONDS = 0, TIME_MS = 1, TIME_SAMPLES = 2;       // "Time Mode"
inline constexpr std::int16_t LINEAR = 0, ANALOGUE = 1;                              // "Volume Mode"
inline constexpr std::int16_t MONO_OFF = 0, MONO_ON = 1;                             // "Midi_to_CV:Mono Mode(...)"
}  // namespace choice

// The order a host announces the pins in when it starts the module: every pin it sets, in pin order, "Active"
// last, so that the delay line is made once, for the final "Max Delay(s)". (The audio input is announced as
// streaming before these; the output is the module's to announce.)
inline constexpr std::array<Pin, PIN_COUNT - 2> ANNOUNCE_ORDER = [] {
    std::array<Pin, PIN_COUNT - 2> order{};
    std::size_t next = 0;
    for (const PinFacts& facts : PINS) {
        if (facts.pin != Pin::AudioIn && facts.pin != Pin::Out && facts.pin != Pin::Active) order[next++] = facts.pin;
    }
    order[next] = Pin::Active;
    return order;
}();

// ---- shown values and rates --------------------------------------------------------------------------------------

// A float pin's value as a host shows it ("Feedback +/-10" shows 5 for the float 0.5): the pin's float is the shown
// value / 10, worked out in double and rounded once to float.
constexpr float PinFloat(double shown) {
    return static_cast<float>(shown / 10.0);
}

// The sample rates the tools and plug-ins run the module at: whole hertz from 1 to 768 kHz. (The module itself
// takes any rate; beyond these its line lengths no longer hold the seconds its list shows.)
inline constexpr double LOWEST_RATE = 1.0;
inline constexpr double HIGHEST_RATE = 768000.0;
constexpr bool UsableRate(double rate) {
    return rate >= LOWEST_RATE && rate <= HIGHEST_RATE;
}

// ---- stable ranges: the shown values where the effect is defined and stable ----------------------------------

// The extremes of a float pin's range text, in shown units ("10,0,10,0": the slider's ends 0 and 10); both not a
// number when a part is not a plain decimal number.
struct ShownRange {
    double low, high;
};
constexpr ShownRange RangeOfText(std::string_view text) {
    constexpr ShownRange NONE{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    ShownRange range{0.0, 0.0};
    bool first = true;
    std::size_t at = 0;
    while (at <= text.size()) {
        const bool negative = at < text.size() && text[at] == '-';
        if (negative) ++at;
        double value = 0.0, scale = 0.0;
        bool digits = false;
        for (; at < text.size() && text[at] != ','; ++at) {
            const char c = text[at];
            if (c == '.' && scale == 0.0) {
                scale = 1.0;
            } else if (c >= '0' && c <= '9') {
                digits = true;
                value = value * 10.0 + (c - '0');
                if (scale != 0.0) scale *= 10.0;
            } else {
                return NONE;
            }
        }
        if (!digits) return NONE;
        if (scale != 0.0) value /= scale;
        if (negative) value = -value;
        range = first ? ShownRange{value, value}
                      : ShownRange{std::min(range.low, value), std::max(range.high, value)};
        first = false;
        ++at;
    }
    return range;
}
constexpr ShownRange RangeOfText(Pin pin) {
    return RangeOfText(Facts(pin).extra_text);
}

// Where each float pin that can go wrong is defined and stable, from its range text: the feedback amount
// either way up to the text's top ("Feedback +/-10"), the damping within its text, the time from the text's
// bottom with no top (beyond the slider's end the delay only needs a longer line). Tools refuse values outside
// unless told otherwise; a host's slider keeps to them.
struct StableRange {
    Pin pin;
    double low, high;      // shown units, both included; high may be infinite
    std::string_view why;  // what goes wrong outside
};
inline constexpr std::array<StableRange, 3> STABLE_RANGES{{
    {Pin::Feedback, -RangeOfText(Pin::Feedback).high, RangeOfText(Pin::Feedback).high,
     "beyond it the feedback loop grows until the output is infinite"},
    {Pin::Damping, RangeOfText(Pin::Damping).low, RangeOfText(Pin::Damping).high,
     "outside it the damping low-pass amplifies and can diverge"},
    {Pin::Time, RangeOfText(Pin::Time).low, std::numeric_limits<double>::infinity(),
     "a negative time reads the far end of the delay line"},
}};
static_assert(std::all_of(STABLE_RANGES.begin(), STABLE_RANGES.end(),
                          [](const StableRange& range) { return range.low == range.low && range.high == range.high; }),
              "every stable range comes from a range text of plain numbers");

// ---- "Max Delay(s)": the delay line's length -------------------------------------------------------------------

// Line length in samples for each entry, at sample rates up to 48000 Hz.
inline constexpr std::array<std::int32_t, 12> MAX_DELAY_SAMPLES{
    524288,
    262144,
    131072,
    65536,
    32768,
    16384,
    8192,
    4096,
    2048,
    1024,
    512,
    256,
};
inline constexpr std::int32_t MAX_DELAY_ENTRIES = static_cast<std::int32_t>(MAX_DELAY_SAMPLES.size());
static_assert(Facts(Pin::MaxDelay).Choices() == MAX_DELAY_ENTRIES, "one line length per list entry");
// Above each of these rates the line doubles once more, so that the list's seconds hold at 48, 96, 192 and
// 384 kHz. The comparisons are strict; a rate that is not a number doubles nothing.
inline constexpr std::array<float, 3> RATE_BANDS{48000.0f, 96000.0f, 192000.0f};

// The line length N for an entry at a rate. The host writes only 0 .. 11; any other index is folded to the
// nearest entry rather than read outside the table.
constexpr std::int32_t BufferLength(std::int32_t max_delay_index, float sample_rate) {
    std::int32_t n = MAX_DELAY_SAMPLES[static_cast<std::size_t>(std::clamp(max_delay_index, 0, MAX_DELAY_ENTRIES - 1))];
    for (const float band : RATE_BANDS) {
        if (sample_rate > band) n *= 2;
    }
    return n;
}

// ---- "Time Mode": samples of delay per unit of the "1 Time" pin's float ----------------------------------------

inline constexpr std::int32_t TIME_MODE_COUNT = 3;
inline constexpr float TIME_SCALE_SAMPLES = 10.0f;  // one shown unit (a float 0.1) of "1 Time" is one sample
inline constexpr long double TIME_SCALE_MS_FACTOR = 0.01L;
inline constexpr double TIME_SCALE_S_FACTOR = 10.0;

// a x b formed in extended precision (64-bit mantissa), rounded once to float. On Linux the x87 unit runs at
// that precision; the module passes its own, which sets the precision itself (a Windows host may lower it).
using ExtendedProduct = float (*)(float a, long double b);
constexpr float PlainExtendedProduct(float a, long double b) {
    return static_cast<float>(static_cast<long double>(a) * b);
}

// Seconds: rate x 10 in double, rounded once to float; milliseconds: rate x 0.01 in extended precision, rounded
// once to float; samples: 10. A mode the list does not have gives 0 (the module keeps its open-time 0).
constexpr float TimeScale(std::int32_t time_mode, float rate, ExtendedProduct product = PlainExtendedProduct) {
    switch (time_mode) {
    case choice::TIME_SECONDS: return static_cast<float>(static_cast<double>(rate) * TIME_SCALE_S_FACTOR);
    case choice::TIME_MS: return product(rate, TIME_SCALE_MS_FACTOR);
    case choice::TIME_SAMPLES: return TIME_SCALE_SAMPLES;
    default: return 0.0f;
    }
}
static_assert(Facts(Pin::TimeMode).Choices() == TIME_MODE_COUNT);

// ---- the tap: how a delay beyond the line wraps ------------------------------------------------------------------

// The tap's byte offset for a whole-sample delay of k samples: 4 k in wrapping 32-bit arithmetic, so that
// k = -2147483648 (a delay the conversion could not hold) gives 0.
constexpr std::uint32_t TapByteOffset(std::int32_t k) {
    return static_cast<std::uint32_t>(k) * 4u;
}
// The delay, 1 to N samples, that a tap byte offset gives on a line of N slots (slots_mask N - 1): the tap reads
// the value written ((k - 1) mod N) + 1 samples earlier; offset / 4 keeps k modulo 2^30, a multiple of N. So
// k = 0 reads the whole line, and a delay beyond the line wraps into it.
constexpr std::uint32_t TapDelay(std::uint32_t offset, std::uint32_t slots_mask) {
    return (((offset >> 2) - 1u) & slots_mask) + 1u;
}

// ---- routing: what "Damping/Feedback Mode" selects --------------------------------------------------------------

// Where the fed-back signal comes from and what the damping low-pass filters. The values are the offsets inside
// a group of the routine table. x input, d the tap (the value written k samples earlier), V volume, y output,
// F feedback; the low-pass is the damping (D); S its state.
//
//   Plain                x ---------------------------> [line] --d--> *V ---> y    line = x
//
//   TapFeedback          x --> (+) ---------------> [line] --d--+--> *V ---> y     line = x + F S
//                               ^                               |                  S = low-pass(d)
//                               +--- *F <-- low-pass <----------+
//
//   InputTapFeedback     x --> (+) --> low-pass --> [line] --d--+--> *V ---> y     line = S
//                               ^                               |                  S = low-pass(x + F d)
//                               +--- *F <-----------------------+
//
//   OutputFeedback       x --> (+) ---------------> [line] --d--> *V --+--> y      line = x + F S
//                               ^                                      |           S = low-pass(y)
//                               +--- *F <-- low-pass <-----------------+
//
//   InputOutputFeedback  x --> (+) --> low-pass --> [line] --d--> *V --+--> y      line = S
//                               ^                                      |           S = low-pass(x + F y)
//                               +--- *F <------------------------------+
//
// A routing mode selects its feedback variant only while the feedback amount is not zero (or, where the
// low-pass filters the input too, the damping amount); otherwise Plain.
enum class RoutingVariant : std::int32_t {
    Plain = 0,                // no feedback: the input is copied into the delay line
    TapFeedback = 1,          // tap (before the volume) through the low-pass, added to the input
    InputTapFeedback = 2,     // input plus tap, through the low-pass
    OutputFeedback = 3,       // output (after the volume) through the low-pass, added to the input
    InputOutputFeedback = 4,  // input plus output, through the low-pass
};
inline constexpr std::int32_t ROUTING_VARIANT_COUNT = 5;
inline constexpr std::array<std::string_view, ROUTING_VARIANT_COUNT> ROUTING_VARIANT_NAMES{
    "Plain",
    "TapFeedback",
    "InputTapFeedback",
    "OutputFeedback",
    "InputOutputFeedback",
};

// The feedback variant of each "Damping/Feedback Mode" entry, and whether a damping amount alone selects it
// (only where the low-pass filters the input too).
struct RoutingChoice {
    RoutingVariant variant;
    bool damping_selects;
};
inline constexpr std::array<RoutingChoice, 4> ROUTING_CHOICES{{
    {RoutingVariant::TapFeedback, false},         // "Tap1"
    {RoutingVariant::InputTapFeedback, true},     // "Input+Tap1"
    {RoutingVariant::OutputFeedback, false},      // "Output"
    {RoutingVariant::InputOutputFeedback, true},  // "Input+Output"
}};
static_assert(Facts(Pin::RoutingMode).Choices() == static_cast<std::int16_t>(ROUTING_CHOICES.size()));

// The variant for a routing mode and whether the block-rate feedback and damping amounts are non-zero (a
// streaming pin counts as non-zero; a value that is not a number as zero). Plain for a mode the list lacks.
constexpr RoutingVariant SelectRoutingVariant(std::int32_t routing_mode, bool feedback, bool damping) {
    if (routing_mode < 0 || routing_mode >= static_cast<std::int32_t>(ROUTING_CHOICES.size())) {
        return RoutingVariant::Plain;
    }
    const RoutingChoice& choice = ROUTING_CHOICES[static_cast<std::size_t>(routing_mode)];
    return feedback || (choice.damping_selects && damping) ? choice.variant : RoutingVariant::Plain;
}

// ---- the routine table: time groups and routine names -----------------------------------------------------------

// How the tap delay is read. Values are the first entries of the groups in the routine table; entry 0 is the
// silence routine, entry g + v the routine of TimeGroup g and RoutingVariant v.
enum class TimeGroup : std::int32_t {
    Sample = 1,         // whole samples, read at a block start
    FractionFull = 6,   // interpolated, recomputed at every sample (only while "1 Time" streams)
    FractionEcon = 11,  // interpolated, read at a block start
};
struct GroupRow {
    TimeGroup group;
    std::string_view name;
};
inline constexpr std::array<GroupRow, 3> TIME_GROUPS{{
    {TimeGroup::Sample, "Sample"},
    {TimeGroup::FractionFull, "FractionFull"},
    {TimeGroup::FractionEcon, "FractionEcon"},
}};
inline constexpr std::int32_t ROUTINE_COUNT = 1 + static_cast<std::int32_t>(TIME_GROUPS.size()) * ROUTING_VARIANT_COUNT;

// The time group a "Time Accuracy" entry reads with: "Sample" whole samples, "Fraction(Full)" at every sample
// only while "1 Time" streams, everything else (unknown values too) interpolated once per block.
constexpr TimeGroup SelectTimeGroup(std::int32_t time_accuracy, bool time_streams) {
    if (time_accuracy == choice::SAMPLE) return TimeGroup::Sample;
    if (time_accuracy == choice::FRACTION_FULL && time_streams) return TimeGroup::FractionFull;
    return TimeGroup::FractionEcon;
}

constexpr std::int32_t RoutineEntry(TimeGroup group, RoutingVariant variant) {
    return static_cast<std::int32_t>(group) + static_cast<std::int32_t>(variant);
}

// A routine's name for messages, "Process" + group + variant (e.g. "ProcessSampleTapFeedback" for entry 2),
// "ProcessSilence" for entry 0; empty outside the table.
inline std::string RoutineName(std::int32_t entry) {
    if (entry == 0) return "ProcessSilence";
    if (entry < 1 || entry >= ROUTINE_COUNT) return "";
    const auto index = static_cast<std::size_t>(entry - 1);
    return "Process" + std::string(TIME_GROUPS[index / ROUTING_VARIANT_COUNT].name) +
           std::string(ROUTING_VARIANT_NAMES[index % ROUTING_VARIANT_COUNT]);
}

}  // namespace effect_pins
