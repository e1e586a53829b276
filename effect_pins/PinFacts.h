// What a program driving the early-reflection module from outside knows about its fourteen pins: the name to find
// each by, its direction and type, and for a choice list how many entries it has. One row per pin, for the
// tools, the benchmarks and the tests; CheckPins compares the rows with the descriptions a loaded module gives,
// so a renamed pin or a list that grew is reported at load instead of driving the wrong pin.
//
// The expected pin texts the tests compare character for character (tests/support/ExpectedPins.h) are written out
// separately on purpose: this table is what the users rely on, that one is what the module must show.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Host.h"
#include "SEAbi.h"

namespace effect_pins {

// The pins in the module's description order.
enum class Pin : std::int32_t {
    AudioIn, Active, Feedback, Damping, RoutingMode, Out, TimeAccuracy, TimeMode, Time, Volume, MaxDelay,
    VolumeMode, MonoMode, Gate,
};
inline constexpr std::int32_t PIN_COUNT = 14;

struct PinFacts {
    Pin pin;
    std::string_view name;   // exactly as the module describes it
    std::int32_t direction;  // DR_IN, DR_OUT, DR_SETTING
    std::int32_t datatype;   // DT_FSAMPLE or DT_LIST
    std::int16_t choices;    // DT_LIST: entries 0 .. choices - 1; otherwise 0
};

inline constexpr std::array<PinFacts, PIN_COUNT> kPins{{
    {Pin::AudioIn, "Audio_In", DR_IN, DT_FSAMPLE, 0},
    {Pin::Active, "Active", DR_IN, DT_LIST, 2},
    {Pin::Feedback, "Feedback +/-10", DR_IN, DT_FSAMPLE, 0},
    {Pin::Damping, "Damping 0-10", DR_IN, DT_FSAMPLE, 0},
    {Pin::RoutingMode, "Damping/Feedback Mode", DR_IN, DT_LIST, 4},
    {Pin::Out, "Out", DR_OUT, DT_FSAMPLE, 0},
    {Pin::TimeAccuracy, "Time Accuracy", DR_IN, DT_LIST, 3},
    {Pin::TimeMode, "Time Mode", DR_IN, DT_LIST, 3},
    {Pin::Time, "1 Time", DR_IN, DT_FSAMPLE, 0},
    {Pin::Volume, "1 Volume 10=100%", DR_IN, DT_FSAMPLE, 0},
    {Pin::MaxDelay, "Max Delay(s)", DR_SETTING, DT_LIST, 12},
    {Pin::VolumeMode, "Volume Mode", DR_IN, DT_LIST, 2},
    {Pin::MonoMode, "Midi_to_CV:Mono Mode(Poly Reset)", DR_IN, DT_LIST, 2},
    {Pin::Gate, "Midi_to_CV:Gate(Poly Reset)", DR_IN, DT_FSAMPLE, 0},
}};

constexpr bool RowsInPinOrder() {
    for (std::int32_t i = 0; i < PIN_COUNT; ++i) {
        if (static_cast<std::int32_t>(kPins[static_cast<std::size_t>(i)].pin) != i) return false;
    }
    return true;
}
static_assert(RowsInPinOrder(), "kPins holds one row per Pin, in Pin order");

constexpr const PinFacts& Facts(Pin pin) {
    return kPins[static_cast<std::size_t>(pin)];
}
constexpr std::string_view Name(Pin pin) {
    return Facts(pin).name;
}

// Choice values as the module's lists number them.
namespace choice {
inline constexpr std::int16_t OFF = 0, ON = 1;                                             // "Active"
inline constexpr std::int16_t TAP = 0, INPUT_TAP = 1, OUTPUT = 2, INPUT_OUTPUT = 3;        // "Damping/Feedback Mode"
inline constexpr std::int16_t SAMPLE = 0, FRACTION_ECON = 1, FRACTION_FULL = 2;            // "Time Accuracy"
inline constexpr std::int16_t TIME_SECONDS = 0, TIME_MS = 1, TIME_SAMPLES = 2;             // "Time Mode"
inline constexpr std::int16_t LINEAR = 0, ANALOGUE = 1;                                    // "Volume Mode"
}  // namespace choice

// The host's index of each pin of a loaded module.
struct PinIndexes {
    std::array<std::int32_t, PIN_COUNT> index{};
    std::int32_t operator[](Pin pin) const { return index[static_cast<std::size_t>(pin)]; }
};

// Finds every pin of kPins among a module's descriptions and checks its direction, type and number of list
// entries. Returns an empty text when all agree, otherwise the first difference; the index of each pin that is
// missing or differs is -1, every other pin's index is set all the same (a test may build a host with fewer
// pins on purpose).
std::string CheckPins(const std::vector<er_host::PinDescription>& described, PinIndexes& indexes);

}  // namespace effect_pins
