#include "TapPins.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "DelayLaw.h"

namespace er_room {

using effect_pins::PinFloat;

namespace {

std::string Printf(const char* format, double a, double b, double c, double d) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

// The "Max Delay(s)" entry of the longest line.
std::int16_t LongestLineEntry() {
    std::int16_t longest = 0;
    for (std::int16_t index = 0; index < effect_pins::MAX_DELAY_ENTRIES; ++index) {
        if (effect_pins::BufferLength(index, 48000.0f) > effect_pins::BufferLength(longest, 48000.0f)) longest = index;
    }
    return longest;
}

constexpr float INFINITE = std::numeric_limits<float>::infinity();

// The shown value nearest `pin` x 10 whose pin float is `pin` or, where no shown float gives `pin` itself,
// the smallest above it.
float ShownFor(float pin) {
    float shown = static_cast<float>(static_cast<double>(pin) * 10.0);
    while (PinFloat(shown) < pin) shown = std::nextafter(shown, INFINITE);
    while (PinFloat(std::nextafter(shown, -INFINITE)) >= pin) shown = std::nextafter(shown, -INFINITE);
    return shown;
}

}  // namespace

TapPins PinsForTap(const Tap& tap, float rate, bool fractional) {
    TapPins pins;
    pins.coefficient = OnePoleCoefficient(tap.cutoff_hz, rate);
    pins.volume = static_cast<float>(tap.gain * 10.0);
    pins.damping = static_cast<float>(pins.coefficient * 10.0);
    const float scale = effect_pins::TimeScale(TAP_TIME_MODE, rate);
    const double exact = tap.delay * rate;
    const double wanted = std::max(1.0, fractional ? exact : std::nearbyint(exact));
    // For a whole number of samples the smallest pin that reaches it; a shown float gives that pin or one just
    // above it, whose product stays far below the next sample.
    pins.time = ShownFor(delay_law::PinValueForDelay(wanted, scale));
    const double requested = static_cast<double>(scale) * PinFloat(pins.time);
    const std::optional<std::int32_t> line = delay_law::ShortestLineHolding(requested, rate, fractional);
    if (!line) {
        // Beyond every line the module would wrap the tap round its line onto another sample.
        const double longest = effect_pins::BufferLength(LongestLineEntry(), rate);
        throw RoomError(Printf(
            "a reflection %.6g s after the direct sound comes later than the longest line the module "
            "holds, %.6g s (%.0f samples) at %g Hz",
            tap.delay, longest / rate, longest, static_cast<double>(rate)));
    }
    pins.max_delay = static_cast<std::int16_t>(*line);
    pins.samples = delay_law::RealisedDelay(requested, effect_pins::BufferLength(*line, rate), fractional).effective;
    return pins;
}

}  // namespace er_room
