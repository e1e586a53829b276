// Rooms: the early reflections of a room model, each tap realised as one instance of the module with its own
// settings would play it, exactly as a user would wire instances side by side in the modular host and sum them.
//
// Each tap's pin values are the room's rule (room/TapPins.h), shared with the LV2 room plug-in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Analysis.h"
#include "Figure.h"
#include "Host.h"
#include "Render.h"
#include "Room.h"
#include "RoomEngine.h"
#include "Settings.h"

namespace er_render {

// A named room or a room file (JSON), its lengths times `scale`, then its ears' distance times `width` (texts,
// empty for 1). Throws Failure (EXIT_USAGE) naming the problem, with the named rooms when NAME_OR_FILE is neither.
er_room::Room LoadRoom(const std::string& name_or_file, const std::string& scale, const std::string& width);
// The room's pattern by time (--room-window, in the units of --gate at `rate`; empty: as the room has it). Throws
// Failure (EXIT_USAGE) for a window outside 0 .. er_room::MAX_WINDOW.
er_room::Room WindowRoom(const er_room::Room& room, const std::string& window, float rate);
// `room` (a file's, or a dictionary's in the Python package) with its lengths times `scale` and its ears'
// distance times `width` as LoadRoom applies them, then checked; a problem names the room as `named_as`. Throws
// Failure (EXIT_USAGE).
er_room::Room ShapeRoom(er_room::Room room, const std::string& scale, const std::string& width,
                        const std::string& named_as);

struct RoomTap {
    er_room::Tap tap;
    double samples = 0.0;                  // the delay asked of the module, in samples at the render's rate
    double damping = 0.0;                  // the one-pole coefficient of the tap's bounces, 0 .. 1
    std::vector<std::string> assignments;  // "Name=value", as --set takes them
    std::vector<PinSetting> settings;      // resolved for the module: what the host sends this tap's instance
    TapDelay realised;                     // the delay the module makes of them
};

struct RoomPattern {
    er_room::Room room;
    er_room::Pattern pattern;
    std::vector<er_room::Vec3> points;  // the listening points, by channel
    float rate = 48000.0f;
    std::string accuracy;       // the "Time Accuracy" entry every tap uses
    bool fractional = false;    // whether that entry interpolates
    double early_share = 1.0;   // the share of the first 80 ms' energy the pattern holds
    std::vector<RoomTap> taps;  // the pattern's order: by channel, then delay
};

// Every tap of `room` at `rate` as module settings. `accuracy` is the user's "Time Accuracy" assignment, if any
// (empty: whole samples). Throws Failure as ResolveSettings does.
RoomPattern RealisePattern(const er_room::Room& room, float rate, const std::vector<Assignment>& accuracy,
                           const std::vector<er_host::PinDescription>& pins);

// The pattern as data, for --pattern-out: ".json" or ".csv" by FILE's extension (any case).
bool PatternKindKnown(const std::string& path);
std::string PatternText(const RoomPattern& pattern, const std::string& path);

// The summary's settings line for a room: the pins every tap shares, and which come from the room.
std::string RoomSettingsText(const RoomPattern& pattern);

// One line for the summary: the room, its size, the taps, their span and the room's reverberation times.
std::string DescribePattern(const RoomPattern& pattern);

// What the room's figure shows: the taps, and the room from above with the image sources of every tap.
PatternFigure PatternFigureOf(const RoomPattern& pattern);

// The time the taps take to ring out: the longest realised delay plus the slowest damping's fall by 60 dB.
double RoomTailSeconds(const RoomPattern& pattern);

// How the input's channels reach the taps (er_room::RoomOutputChannels): answers the number of output channels;
// 0 for a combination it cannot make (a stereo pattern with more than two input channels).
std::int32_t RoomOutputChannels(const RoomPattern& pattern, std::int32_t input_channels);

// The room's render: the room engine (room/RoomEngine.h) in the job's blocks, with its gates; every output channel
// is the sum of its taps' outputs in pattern order at working precision, exactly what one module instance per tap
// driven as a single-tap render of its settings plays, then mixed (the dry signal is the input channel that feeds
// it) and rounded once. `job` gives the output's channel count and the mix; its settings are not used.
class RoomRenderer {
public:
    RoomRenderer(const RenderJob& job, const RoomPattern& pattern, std::int32_t input_channels);
    ~RoomRenderer();
    RenderStats Run(const Source& source, const Sink& sink, const Progress& progress);

    // The same a block at a time: Start once, then Step each block that BlockAt gives from position 0 on, with
    // `input` (the input's channels) and `wet` (the output's channels, the taps' sums) interleaved.
    void Start();
    std::int32_t BlockAt(std::int64_t position) const;
    void Step(std::int64_t position, std::int32_t count, const float* input, double* wet);

private:
    RenderJob m_job;
    std::int32_t m_input_channels;
    std::unique_ptr<er_room::RoomEngine> m_engine;
};

}  // namespace er_render
