#include "DelayLaw.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "PinFacts.h"

namespace delay_law {

namespace {

// Relative distance from a whole number below which a delay in a unit counts as that whole number of samples
// ("0.07s" at 44100 Hz is 3087.0000000000005 in binary).
constexpr double WHOLE_TOLERANCE = 1.0e-9;

// How the module stores the tap's fraction: as a float, rounded toward zero.
double FloatTowardZero(double value) {
    float stored = static_cast<float>(value);
    if (std::fabs(static_cast<double>(stored)) > std::fabs(value)) stored = std::nextafter(stored, 0.0f);
    return stored;
}

}  // namespace

TapDelay RealisedDelay(double requested, std::int64_t buffer, bool fractional) {
    TapDelay delay;
    delay.requested = requested;
    delay.buffer = buffer;
    delay.effective = requested;
    delay.fractional = fractional;
    if (buffer <= 0) return delay;
    const double truncated = std::trunc(requested);
    const bool outside = !(truncated >= static_cast<double>(std::numeric_limits<std::int32_t>::min()) &&
                           truncated <= static_cast<double>(std::numeric_limits<std::int32_t>::max()));
    // A delay outside int32 converts to the integer indefinite, INT32_MIN, as the module's conversion does.
    const std::int32_t k = outside ? std::numeric_limits<std::int32_t>::min() : static_cast<std::int32_t>(truncated);
    const double fraction = (fractional && !outside) ? FloatTowardZero(requested - static_cast<double>(k)) : 0.0;
    const std::uint32_t folded =
        effect_pins::TapDelay(effect_pins::TapByteOffset(k), static_cast<std::uint32_t>(buffer - 1));
    delay.effective = static_cast<double>(folded) + fraction;
    const double asked = fractional ? requested : static_cast<double>(k);
    delay.beyond_buffer = outside || asked > static_cast<double>(buffer);
    delay.below_one = !outside && asked < 1.0;
    return delay;
}

float PinValueForDelay(double samples, float scale) {
    if (samples < 0.0) return -PinValueForDelay(-samples, scale);  // truncation toward zero is symmetric
    const double whole = std::nearbyint(samples);
    if (std::fabs(samples - whole) > WHOLE_TOLERANCE * std::max(1.0, samples)) {
        return static_cast<float>(samples / scale);
    }
    // The float nearest whole / scale: if it lies above the exact quotient, the float below it lies below, so
    // it is the smallest that reaches; if below, the next one up is. (Products of two floats are exact in double.)
    float value = static_cast<float>(whole / scale);
    if (static_cast<double>(scale) * value < whole) value = std::nextafter(value, std::numeric_limits<float>::infinity());
    return value;
}

std::optional<std::int32_t> ShortestLineHolding(double requested, float rate, bool fractional) {
    for (std::int32_t index = effect_pins::MAX_DELAY_ENTRIES - 1; index >= 0; --index) {
        if (!RealisedDelay(requested, effect_pins::BufferLength(index, rate), fractional).beyond_buffer) return index;
    }
    return std::nullopt;
}

}  // namespace delay_law
