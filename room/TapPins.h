// One tap of a room as the module's pin values: what er-render's room render and the LV2 room plug-in both send
// each tap's instance, so that the two play the same samples. A shown value is what a host's control sends (10
// is the pin float 1.0); each is a float whose pin float, shown / 10 rounded once, gives exactly the delay,
// level and damping below.
//
// Every tap runs "Time Mode" "Time(s)" (its "1 Time" range, 0 to 100 shown, holds any room's delays),
// "Feedback +/-10" 0, "Volume Mode" "Linear", and its bounces' low-pass as "Damping 0-10" under "Damping/Feedback
// Mode" "Input+Tap1": with no feedback that routing low-passes the input on its way into the line, so the echo
// itself is damped ("Tap1" and "Output" use the damping only inside the feedback path, which a single echo
// never takes). Its line is the shortest "Max Delay(s)" that holds its delay.
#pragma once

#include <cstdint>

#include "PinFacts.h"
#include "Room.h"

namespace er_room {

inline constexpr std::int16_t TAP_TIME_MODE = effect_pins::choice::TIME_SECONDS;
inline constexpr std::int16_t TAP_ROUTING = effect_pins::choice::INPUT_TAP;
inline constexpr std::int16_t TAP_VOLUME_MODE = effect_pins::choice::LINEAR;

struct TapPins {
    float time = 0.0f;           // "1 Time", shown: seconds
    float volume = 0.0f;         // "1 Volume 10=100%", shown: the tap's gain x 10
    float damping = 0.0f;        // "Damping 0-10", shown: the one-pole coefficient x 10
    std::int16_t max_delay = 0;  // "Max Delay(s)" entry value
    double samples = 0.0;        // the delay the module realises, in samples
    double coefficient = 0.0;    // the one-pole coefficient of the tap's bounces, 0 .. 1
};

// The pins of `tap` at `rate`: its delay rounded to the nearest sample (at least one: a reflection closer than
// that to the direct sound is heard with it), or to the float's precision when `fractional` (a "Time Accuracy"
// that interpolates). Throws RoomError, with the delay and the limit, for a tap no line of the module holds.
TapPins PinsForTap(const Tap& tap, float rate, bool fractional);

}  // namespace er_room
