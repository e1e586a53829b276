// What the settings select inside the module, worked out by the rules the module follows, for the summary and
// the default tail. Nothing here drives the render: the module decides for itself from the same pin values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DelayLaw.h"
#include "PinFacts.h"
#include "Settings.h"

namespace er_render {

// The settings of the pins that shape the delay, by meaning.
struct EffectView {
    float rate = 48000.0f;
    bool active = true;
    std::int32_t time_mode = effect_pins::choice::TIME_MS;
    std::int32_t time_accuracy = effect_pins::choice::SAMPLE;
    std::int32_t routing_mode = effect_pins::choice::INPUT_TAP;
    std::int32_t max_delay = 8;  // the entry of 4096 samples at 48 kHz
    std::int32_t volume_mode = effect_pins::choice::LINEAR;
    PinSetting time, volume, feedback, damping;
};

// Null when the module lacks one of the pins the view needs (a module other than the early-reflection one).
std::optional<EffectView> ViewEffect(const std::vector<PinSetting>& settings, float rate);

// The delay line's length for a "Max Delay(s)" entry at a rate, and the samples of delay per unit of the "1
// Time" pin's float for a "Time Mode" entry at a rate: the module's own rules (PinFacts.h).
using effect_pins::BufferLength;
using effect_pins::TimeScale;

// The delay the module realises for a reading, and the reading for a delay (DelayLaw.h, shared with the plug-in).
using delay_law::TapDelay;
using delay_law::RealisedDelay;
using delay_law::PinValueForDelay;

// The tap delay for a "1 Time" pin value under `view`.
TapDelay TapDelayFor(const EffectView& view, float time_value);

// Turns every "1 Time" end written with a unit into its pin value for the settings' "Time Mode" at `rate`.
// Throws Failure (EXIT_USAGE) naming the setting for a delay shorter than one sample (the module's shortest),
// unless `accept_any_value`, and when the module has no "Time Mode" to convert for.
void ApplyDelayUnits(std::vector<PinSetting>& settings, float rate, bool accept_any_value);

// The shortest "Max Delay(s)" entry (the highest index) whose line holds the longest delay `view` asks for,
// ramps included; null when even the longest line is too short.
std::optional<std::int32_t> ShortestHoldingMaxDelay(const EffectView& view);
// The warning for a tap longer than the delay line (or shorter than one sample), or empty.
std::string DelayWarning(const TapDelay& delay, float rate);
// The warnings for taps that do not fit the line (beyond it, or shorter than one sample), each once.
std::vector<std::string> DelayWarnings(const EffectView& view);

using effect_pins::RoutingVariant;
std::string_view RoutingVariantName(RoutingVariant variant);
// The variant the module installs (effect_pins::SelectRoutingVariant) for its routing mode and its block-rate
// feedback and damping amounts (1.0 while the pin streams); a zero or not-a-number amount counts as off.
RoutingVariant SelectRoutingVariant(const EffectView& view);

enum class TimeReading { WholeSample,
                         FractionPerBlock,
                         FractionPerSample };
std::string_view TimeReadingName(TimeReading reading);
// The module's time group (effect_pins::SelectTimeGroup): "Sample" reads whole samples; "Fraction(Full)"
// interpolates at every sample only while "1 Time" streams; every other case once per block.
TimeReading SelectTimeReading(const EffectView& view);

// The longest tap delay the render plays, in samples: ramps reach both ends.
double LongestTapDelay(const EffectView& view);

// Long enough for the tap to arrive and the feedback loop to decay by 60 dB, but no longer than
// MAX_DEFAULT_TAIL_SECONDS unless the longest tap's first echo comes later (a long line at a low rate); 0 while
// the effect is switched off.
inline constexpr double MAX_DEFAULT_TAIL_SECONDS = 30.0;
struct DefaultTail {
    double seconds = 0.0;
    bool capped = false;  // shorter than the loop takes to decay by 60 dB: the end may cut echoes
};
DefaultTail DefaultTailFor(const EffectView& view);
inline double DefaultTailSeconds(const EffectView& view) { return DefaultTailFor(view).seconds; }
// The default tail of a figure's impulse response: a quarter longer, so that the response's last eighth, which
// the transform fades out while it still rings, lies past the decay the default tail allows for.
double PictureTailSeconds(const EffectView& view);

}  // namespace er_render
