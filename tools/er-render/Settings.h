// Pin settings as the user writes them, "Name=value", from --set and from settings files, and their
// resolution against the pins the module describes into the values the host sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Host.h"
#include "PinFacts.h"
#include "SettingsText.h"
#include "Units.h"

namespace er_render {

// One "Name=value" as written. A pin name may hold '=' itself ("1 Volume 10=100%"), so the value is what
// follows the last '='. The syntax lives below er-render and the plug-in's bundle (er_text); er-render's
// failures wrap it.
using er_text::Assignment;
// Throws Failure (EXIT_USAGE) when there is no '=' or no name.
Assignment ParseAssignment(std::string_view text, const std::string& origin);
// See er_text::ParseSettingsText; throws Failure (EXIT_USAGE) at the first line that is no assignment.
std::vector<Assignment> ParseSettingsText(std::string_view text, const std::string& file_name);
// Reads and parses a settings file. Throws Failure (EXIT_USAGE) when it cannot be read or is a folder.
std::vector<Assignment> ReadSettingsFile(const std::string& path);

// What the host sends one input pin for the whole render.
struct PinSetting {
    std::int32_t pin = 0;
    std::string name;
    bool choice = false;                             // DT_LIST: `value`, `entry`; DT_FSAMPLE: `from`, `to`, `ramp`
    std::int16_t value = 0;                          // the chosen entry's value, written into the pin's variable
    std::string entry;                               // the chosen entry's text
    float from = 0.0f;                               // pin value (a shown 10 is 1.0f) at the first sample of the render
    float to = 0.0f;                                 // at the last sample; equal to `from` unless `ramp`
    bool ramp = false;                               // streamed (PS_STREAMING), moving linearly from `from` to `to`
    bool from_user = false;                          // set by the user; otherwise the module's default ("Active": ON)
    std::string origin;                              // where the user set it, for messages; empty for a default
    std::optional<DelayAsked> from_delay, to_delay;  // "1 Time" with a unit: `from`/`to` follow from these
    std::string chosen_by_tool;                      // "Max Delay(s)" picked by er-render: why; empty otherwise
};

// The shown value of a pin's float: 1.0 is a shown 10 (the other way is effect_pins::PinFloat).
double PinToShown(float value);

// The shown values where the effect is defined and stable (effect_pins::STABLE_RANGES); the tool refuses others
// unless told to accept them. The limit of the pin named `pin`, or null.
using ValueLimit = effect_pins::StableRange;
const ValueLimit* FindValueLimit(std::string_view pin);
// "-10 .. 10", "0 or more".
std::string DescribeLimit(const ValueLimit& limit);

// Every settable pin of `pins` (inputs and settings of kind DT_LIST or DT_FSAMPLE, the audio input excepted),
// in pin order, with the module's default, "Active" ON, then `assignments` applied in order (a later one wins).
// Throws Failure (EXIT_USAGE) naming the assignment for an unknown pin, a pin that cannot be set, a choice that
// does not exist, a value that is not a number or lies outside the float range, a ramp on a choice pin, a unit
// on any pin but "1 Time", and, unless `accept_any_value`, a value outside its pin's ValueLimit.
std::vector<PinSetting> ResolveSettings(const std::vector<er_host::PinDescription>& pins,
                                        const std::vector<Assignment>& assignments, bool accept_any_value = false);

// The setting of the pin named `name`, or null.
const PinSetting* FindSetting(const std::vector<PinSetting>& settings, std::string_view name);

}  // namespace er_render
