// Rooms for Python: er-render's room code (RoomRender.h: the room's loading and shaping, the taps as module
// settings, the render of one instance per tap) with the module linked into the extension.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "EffectCore.h"
#include "Room.h"
#include "RoomRender.h"

namespace er_python {

// What the package does to a room after loading it: the window (a time as --room-window takes it, at
// WINDOW_RATE for a count of samples; empty: the room's own), the order (0: the room's own; with a window, its
// cap), the lengths times `scale` and the ears' distance times `width` (texts as --room-scale and --room-width
// take them; empty: 1).
struct Shape {
    std::int32_t order = 0;
    std::string scale, width, window;
};
inline constexpr float WINDOW_RATE = 48000.0f;

// A named room or a room file, or a room file's text, shaped. Throws er_render::Failure naming the problem.
er_room::Room RoomByName(const std::string& name_or_file, const Shape& shape);
er_room::Room RoomFromJson(const std::string& text, const std::string& origin, const Shape& shape);

// The room's taps as the module plays them at `rate`; `accuracy` is a "Time Accuracy" value ("" for whole
// samples, er-render --room's default).
er_render::RoomPattern RoomTaps(const er_room::Room& room, float rate, const std::string& accuracy);

struct RoomRun {
    std::int32_t channels = 0;
    std::int64_t frames = 0;
    std::vector<float> samples;  // planar: `channels` rows of `frames`
};

// What er-render --room writes for an input of `channels` rows of `frames` samples (planar) at `rate`: the tail
// is `tail` (a time as --tail takes it; empty: the room's own), the levels --dry, --wet and --gain's, the block
// --block's. Throws er_render::Failure.
RoomRun RenderRoom(const er_room::Room& room, float rate, const float* input, std::int32_t channels,
                   std::int64_t frames, const std::string& tail, const Levels& levels, std::int32_t block,
                   const std::string& accuracy);

}  // namespace er_python
