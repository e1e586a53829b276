#include "RoomCore.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <optional>

#include "EffectPins.h"
#include "Failure.h"
#include "Plan.h"
#include "Render.h"
#include "RoomEngine.h"
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
    // The room engine itself, on the caller's rows: what er-render --room's renderer does around it (the
    // interleaving, the counts for its summary) is no part of the result. The blocks, the mix and the check of
    // each sample are er-render's own (BlockLength, Mixed, NotFinite), so the samples are the same.
    std::optional<er_room::RoomEngine> engine;
    try {
        engine.emplace(er_room::PlanRoom(pattern.pattern, rate, pattern.fractional, channels), block);
    } catch (const er_room::RoomError& problem) {
        throw Failure(EXIT_USAGE, problem.what());
    }
    RoomRun run;
    run.channels = job.channels;
    run.frames = job.total_frames;
    run.samples.resize(static_cast<std::size_t>(run.channels) * static_cast<std::size_t>(run.frames));
    const auto inputs = static_cast<std::size_t>(channels);
    const auto outputs = static_cast<std::size_t>(run.channels);
    const auto length = static_cast<std::size_t>(run.frames);
    // Rows of the input where a block reaches past its end: what is left of it, then silence.
    std::vector<std::vector<float>> staged(inputs, std::vector<float>(static_cast<std::size_t>(block)));
    std::vector<std::vector<double>> wet(outputs, std::vector<double>(static_cast<std::size_t>(block)));
    std::vector<const float*> in_rows(inputs);
    std::vector<double*> wet_rows(outputs);
    for (std::size_t o = 0; o < outputs; ++o) wet_rows[o] = wet[o].data();
    const bool identity = job.mix.Identity();
    constexpr float LARGEST = std::numeric_limits<float>::max();
    for (std::int64_t position = 0; position < job.total_frames;) {
        const std::int32_t count = er_render::BlockLength(job, position);
        const auto at = static_cast<std::size_t>(position);
        for (std::size_t c = 0; c < inputs; ++c) {
            const float* row = input + c * static_cast<std::size_t>(frames);
            if (position + count <= frames) {
                in_rows[c] = row + at;
                continue;
            }
            const std::int64_t left = std::max<std::int64_t>(0, frames - position);
            std::fill(std::copy_n(row + std::min<std::int64_t>(position, frames), left, staged[c].begin()),
                      staged[c].begin() + count, 0.0f);
            in_rows[c] = staged[c].data();
        }
        engine->Process(in_rows.data(), wet_rows.data(), count);
        std::int32_t not_finite = 0;
        for (std::size_t o = 0; o < outputs; ++o) {
            const float* dry = in_rows[inputs == outputs ? o : 0];
            const double* sums = wet[o].data();
            float* out = run.samples.data() + o * length + at;
            if (identity) {
                for (std::int32_t i = 0; i < count; ++i) out[i] = static_cast<float>(sums[i]);
            } else {
                for (std::int32_t i = 0; i < count; ++i) out[i] = er_render::Mixed(job.mix, dry[i], sums[i]);
            }
            for (std::int32_t i = 0; i < count; ++i) not_finite += std::fabs(out[i]) <= LARGEST ? 0 : 1;
        }
        if (not_finite > 0) {
            // The first in frame order, as er-render's check of its interleaved block names it.
            for (std::int32_t i = 0; i < count; ++i) {
                for (std::size_t o = 0; o < outputs; ++o) {
                    const float y = run.samples[o * length + at + static_cast<std::size_t>(i)];
                    if (!(std::fabs(y) <= LARGEST)) {
                        er_render::NotFinite(position + i, static_cast<std::int32_t>(o), rate, y);
                    }
                }
            }
        }
        position += count;
    }
    return run;
}

}  // namespace er_python
