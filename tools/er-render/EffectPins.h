// The pins of the early-reflection module that er-render treats specially, by the names the module gives them.
// Every other pin is driven generically from its description.
#pragma once

#include <string_view>

namespace er_render::pins {

inline constexpr std::string_view AUDIO_IN = "Audio_In";  // carries the file's samples, one channel per instance
inline constexpr std::string_view OUT = "Out";            // the rendered samples
inline constexpr std::string_view ACTIVE = "Active";      // set "ON" unless the user says otherwise
inline constexpr std::string_view ACTIVE_DEFAULT = "ON";
inline constexpr std::string_view GATE = "Midi_to_CV:Gate(Poly Reset)";  // driven by --gate

// Read by the summary and the tail estimate.
inline constexpr std::string_view FEEDBACK = "Feedback +/-10";
inline constexpr std::string_view DAMPING = "Damping 0-10";
inline constexpr std::string_view ROUTING_MODE = "Damping/Feedback Mode";
inline constexpr std::string_view TIME_ACCURACY = "Time Accuracy";
inline constexpr std::string_view TIME_MODE = "Time Mode";
inline constexpr std::string_view TIME = "1 Time";
inline constexpr std::string_view VOLUME = "1 Volume 10=100%";
inline constexpr std::string_view MAX_DELAY = "Max Delay(s)";
inline constexpr std::string_view VOLUME_MODE = "Volume Mode";

}  // namespace er_render::pins
