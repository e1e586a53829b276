// What the DAW plug-ins are held to: the shared plug-in core driven directly, as a format wraps it (every format
// and build has it), and on Linux er-render itself, the renderer every host check compares with. Settings are
// control values by LV2 symbol, in the plug-in's own units, the same values CLAP and VST3 parameters carry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace er_daw_test {

enum class Kind { Mono, Stereo, Room };
const char* KindName(Kind kind);

using Controls = std::vector<std::pair<std::string, float>>;  // symbol, value; a later entry wins
using Channels = std::vector<std::vector<float>>;             // one vector per channel

// A control port of a plug-in, as the core describes it.
struct Control {
    std::string symbol;
    std::string name;  // the display name (VST3 knows a parameter by it)
    float minimum = 0.0f, maximum = 0.0f, default_value = 0.0f;
    bool reading = false;  // an output the plug-in writes
    bool choice = false;   // whole entry values (toggles and switches included)
};
std::vector<Control> ControlsOf(Kind kind);
std::uint32_t InputChannels(Kind kind);
std::uint32_t OutputChannels(Kind kind);

// A control change at the start of the run that begins at `frame`.
struct Change {
    std::size_t frame;
    std::string symbol;
    float value;
};

// The core, made at `rate` with `max_block`, no worker (a line change waits for the next activation, as it does
// for values set before activation), the controls at their defaults then `start`, activated, run over `input` cut
// into `runs` (repeated until the input ends), with `changes` at their frames (a run is cut where one falls inside
// it, as a plug-in that takes an event at its frame cuts it).
Channels CoreRender(Kind kind, double rate, std::int32_t max_block, const Controls& start, const Channels& input,
                    const std::vector<std::uint32_t>& runs, const std::vector<Change>& changes = {});

// er-render on the same input at `block`, the plug-in's controls given as its options (pins by name; the room's
// shape and levels as --room options), then the settings file `settings` if one is named (what it sets wins).
// Linux builds only; empty with `error` set when it fails.
std::optional<Channels> ErRender(Kind kind, double rate, std::int32_t block, const Controls& controls,
                                 const Channels& input, std::string& error, const std::string& settings = "");

}  // namespace er_daw_test
