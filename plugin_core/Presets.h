// The plug-ins' presets, whatever the format shows them as (LV2 presets, CLAP and VST3 programs): er-render's
// settings files for the mono and stereo effects, and one preset per named room for the room. A preset holds a
// value for each control it sets, in the plug-in's own units; "Active", the gate and smoothing are the user's,
// never a preset's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Ports.h"
#include "RoomCore.h"

namespace er_plugin {

struct Preset {
    std::string name;                                    // a settings file's stem, or the room's name
    std::string comment;                                 // the file's leading comment lines, or the room's description
    std::vector<std::pair<std::int32_t, float>> values;  // port, value
};

// Whether a preset holds the effect's control `port` (not "Active", the gate or smoothing).
bool EffectPresetHolds(std::int32_t port);

// The effect's preset that sets every control it holds to the plug-in's default.
Preset DefaultEffectPreset(const std::vector<PortDescription>& ports);

// An effect preset from a settings file's text (er-render's syntax): every control the text does not set at the
// plug-in's default; a ramp ("5..40") starts where it starts. `origin` names the text in messages. Throws
// std::runtime_error (a syntax error, an unknown control or entry, a value that is no number).
Preset EffectPresetFromSettings(const std::string& name, std::string_view text, const std::string& origin,
                                const std::vector<PortDescription>& ports);

// The room's shape controls a room preset sets besides the room: every factor at 1, no window. The levels and
// smoothing stay the user's.
inline constexpr std::int32_t ROOM_SHAPE_PORTS[] = {ROOM_SIZE, ROOM_WIDTH, ROOM_DISTANCE, ROOM_BRIGHTNESS, ROOM_WINDOW};

// The preset of the named room `index` (er_room::NamedRooms order): the room, its shape as named.
Preset RoomPreset(std::size_t index);

}  // namespace er_plugin
