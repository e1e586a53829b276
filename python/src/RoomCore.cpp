#include "RoomCore.h"

#include <climits>

#include "EffectPins.h"
#include "Failure.h"
#include "Plan.h"
#include "Text.h"
#include "SampleCodec.h"
#include "Units.h"

namespace er_python {

using er_render::EXIT_USAGE;
using er_render::Failure;

namespace {

// The window first (it lifts the order of a room that had none), then the order as a cap, then er-render's scale
// and width and the room's check.
er_room::Room Shaped(er_room::Room room, const Shape& shape, const std::string& named_as) {
    room = er_render::WindowRoom(room, shape.window, WINDOW_RATE);
    if (shape.order != 0) room.max_order = shape.order;
    room = er_render::ShapeRoom(std::move(room), shape.scale, shape.width, named_as);
    // A room whose pattern cannot be made (more taps than the engine takes) is refused now, not at its first use.
    try {
        er_room::ImageSources(room);
    } catch (const er_room::RoomError& problem) {
        throw Failure(EXIT_USAGE, problem.what());
    }
    return room;
}

std::vector<er_text::Assignment> AccuracyAssignment(const std::string& accuracy) {
    if (accuracy.empty()) return {};
    const std::string name(er_render::pins::TIME_ACCURACY);
    return {{name, accuracy, er_text::Quoted(name + "=" + accuracy)}};
}

}  // namespace

er_room::Room RoomByName(const std::string& name_or_file, const Shape& shape) {
    er_room::Room room = er_render::LoadRoom(name_or_file, "", "");
    const std::string named_as = er_room::FindNamedRoom(er_text::ToLower(name_or_file)) != nullptr
                                     ? "room \"" + room.name + "\""
                                     : name_or_file;
    return Shaped(std::move(room), shape, named_as);
}

er_room::Room RoomFromJson(const std::string& text, const std::string& origin, const Shape& shape) {
    er_room::Room room;
    try {
        room = er_room::ParseRoomJson(text, origin);
    } catch (const er_room::RoomError& problem) {
        throw Failure(EXIT_USAGE, problem.what());
    }
    return Shaped(std::move(room), shape, origin);
}

er_render::RoomPattern RoomTaps(const er_room::Room& room, float rate, const std::string& accuracy) {
    return er_render::RealisePattern(room, rate, AccuracyAssignment(accuracy), ModulePins());
}

RoomRun RenderRoom(const er_room::Room& room, float rate, const float* input, std::int32_t channels,
                   std::int64_t frames, const std::string& tail, const Levels& levels, std::int32_t block,
                   const std::string& accuracy) {
    const er_render::RoomPattern pattern = RoomTaps(room, rate, accuracy);
    er_render::RenderJob job;
    job.rate = rate;
    job.block = block;
    job.input_frames = frames;
    job.mix = er_render::MixFromLevels(levels.dry, levels.wet, levels.gain);
    job.channels = er_render::RoomOutputChannels(pattern, channels);
    if (job.channels == 0) {
        throw Failure(EXIT_USAGE, "a stereo room takes a mono or a stereo input, not " + std::to_string(channels) +
                                      " channels");
    }
    std::int64_t tail_frames = 0;
    if (tail.empty()) {
        bool outside = false;
        tail_frames = er_render::RoundToRange(er_render::RoomTailSeconds(pattern) * rate, 0, INT32_MAX, outside);
    } else {
        tail_frames = er_render::ParseMoment(tail, rate);
        if (tail_frames < 0) throw Failure(EXIT_USAGE, "the tail takes a time of 0 or more, not " + er_text::Quoted(tail));
    }
    job.total_frames = frames + tail_frames;
    if (job.total_frames > INT32_MAX) {
        throw Failure(EXIT_USAGE, "the render would be " + std::to_string(job.total_frames) +
                                      " frames; the host's sample clock counts at most 2147483647");
    }
    er_render::RoomRenderer renderer(job, pattern, channels);
    RoomRun run;
    run.channels = job.channels;
    run.frames = job.total_frames;
    run.samples.resize(static_cast<std::size_t>(run.channels) * static_cast<std::size_t>(run.frames));
    const auto in_rows = static_cast<std::size_t>(channels);
    const auto out_rows = static_cast<std::size_t>(run.channels);
    const auto in_length = static_cast<std::size_t>(frames);
    const auto out_length = static_cast<std::size_t>(run.frames);
    std::size_t read = 0, written = 0;
    const er_render::Source source = [&](float* interleaved, std::int32_t count) {
        for (std::int32_t i = 0; i < count; ++i) {
            for (std::size_t row = 0; row < in_rows; ++row) {
                interleaved[static_cast<std::size_t>(i) * in_rows + row] = input[row * in_length + read + i];
            }
        }
        read += static_cast<std::size_t>(count);
    };
    const er_render::Sink sink = [&](const float* interleaved, std::int32_t count) {
        for (std::int32_t i = 0; i < count; ++i) {
            for (std::size_t row = 0; row < out_rows; ++row) {
                run.samples[row * out_length + written + i] = interleaved[static_cast<std::size_t>(i) * out_rows + row];
            }
        }
        written += static_cast<std::size_t>(count);
    };
    renderer.Run(source, sink, [](std::int64_t) { return true; });
    return run;
}

}  // namespace er_python
