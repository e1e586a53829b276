// Quantities as the user writes them on the command line and in settings: times with a unit ("1.5s", "250ms",
// "12000smp", a plain number being seconds), delays of "1 Time" with a unit, and levels in decibels ("-3",
// "-3dB"). Units are read without regard to case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace er_render {

// A "1 Time" value written with a unit ("25ms", "0.5s", "1102smp"): a physical delay, which the tool turns into
// the pin value for the render's "Time Mode" and rate (see ApplyDelayUnits).
struct DelayAsked {
    double amount = 0.0;
    double per_second = 0.0;  // units in a second: 1 for "s", 1000 for "ms"; 0: samples ("smp")
    std::string text;         // as written, for the summary
    double used = 0.0;        // the samples the pin value asks for: whole-sample reading takes the nearest whole

    double Samples(float rate) const { return per_second == 0.0 ? amount : amount * rate / per_second; }
};
// "25ms", "0.5s", "1102smp" (fractions allowed), or nothing for a plain number or anything else.
std::optional<DelayAsked> ParseDelay(std::string_view text);

// A moment or a length as the user writes it for --gate and --tail: seconds ("1.5", "1.5s"), milliseconds
// ("250ms") or whole samples ("12000smp"), as frames at `rate`. Throws Failure (EXIT_USAGE) for anything else.
std::int64_t ParseMoment(std::string_view text, float rate);

// A level in decibels, with or without the unit: "-6", "+3.5", "-3dB", "0 db". Nothing for anything else.
std::optional<double> ParseDecibels(std::string_view text);

}  // namespace er_render
