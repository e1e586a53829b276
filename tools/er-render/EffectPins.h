// The pins of the early-reflection module that er-render treats specially, by the names the module gives them.
// Every other pin is driven generically from its description.
#pragma once

#include <string_view>

#include "PinFacts.h"

namespace er_render::pins {

using effect_pins::Name;
using effect_pins::Pin;

inline constexpr std::string_view AUDIO_IN = Name(Pin::AudioIn);  // the file's samples, one channel per instance
inline constexpr std::string_view OUT = Name(Pin::Out);           // the rendered samples
inline constexpr std::string_view ACTIVE = Name(Pin::Active);     // set "ON" unless the user says otherwise
inline constexpr std::string_view ACTIVE_DEFAULT = "ON";
inline constexpr std::string_view GATE = Name(Pin::Gate);  // driven by --gate

// Read by the summary and the tail estimate.
inline constexpr std::string_view FEEDBACK = Name(Pin::Feedback);
inline constexpr std::string_view DAMPING = Name(Pin::Damping);
inline constexpr std::string_view ROUTING_MODE = Name(Pin::RoutingMode);
inline constexpr std::string_view TIME_ACCURACY = Name(Pin::TimeAccuracy);
inline constexpr std::string_view TIME_MODE = Name(Pin::TimeMode);
inline constexpr std::string_view TIME = Name(Pin::Time);
inline constexpr std::string_view VOLUME = Name(Pin::Volume);
inline constexpr std::string_view MAX_DELAY = Name(Pin::MaxDelay);
inline constexpr std::string_view VOLUME_MODE = Name(Pin::VolumeMode);

}  // namespace er_render::pins
