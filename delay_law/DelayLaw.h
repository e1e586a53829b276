// The tap delay the module realises for a "1 Time" reading, and the reading that asks for a delay: worked out by
// the module's own rules (effect_pins/PinFacts.h), for er-render's summary and warnings and for the LV2
// plug-in's mapping of its controls (so the shipped plug-in stands on nothing of a command-line tool). Nothing here drives the module, which decides for itself from the same
// pin values.
#pragma once

#include <cstdint>
#include <optional>

namespace delay_law {

// The tap delay the module realises for a requested delay of `requested` samples (time scale x pin value).
struct TapDelay {
    double requested = 0.0;      // samples, as the settings ask
    double effective = 0.0;      // samples, after the module's wrap into the buffer
    std::int64_t buffer = 0;     // the buffer length N
    bool beyond_buffer = false;  // longer than N: the module wraps the tap
    bool below_one = false;      // shorter than one sample: the module reads the full buffer instead
    bool fractional = false;     // interpolated; whole-sample delays truncate the requested one toward zero
};
// Whole-sample: k = requested truncated toward zero; the tap wraps as the module's does (effect_pins::TapDelay),
// into 1..N samples, k = 0 and a value outside int32 giving N. Fractional: the wrapped whole part plus the
// fraction, which the module stores as a float rounded toward zero. `buffer` is a line length (a power of two).
TapDelay RealisedDelay(double requested, std::int64_t buffer, bool fractional);

// The "1 Time" value that asks the module for `samples` of delay at time scale `scale`. For a whole number of
// samples it is the smallest float whose product with the scale reaches that number: the module truncates the
// product toward zero, so a whole-sample reading lands exactly on it, and a fractional reading does wherever a
// float can. For any other delay it is the float nearest samples / scale.
float PinValueForDelay(double samples, float scale);

// The shortest "Max Delay(s)" line that holds a requested delay of `requested` samples at `rate` without wrapping
// it (the entry of the largest index); none when no line does.
std::optional<std::int32_t> ShortestLineHolding(double requested, float rate, bool fractional);

}  // namespace delay_law
