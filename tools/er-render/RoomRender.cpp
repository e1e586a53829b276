#include "RoomRender.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "EffectPins.h"
#include "Failure.h"
#include "ListText.h"
#include "Plan.h"
#include "Summary.h"
#include "TapPins.h"
#include "Text.h"
#include "Units.h"

namespace er_render {

using namespace er_text;

namespace {

constexpr double MIN_SCALE = 0.05, MAX_SCALE = 20.0;
constexpr double MIN_WIDTH = 0.0, MAX_WIDTH = 4.0;  // the LV2 room plug-in's Width
constexpr double DAMPING_DECAY = 1.0e-3;            // 60 dB: the damping low-pass's ring-out

std::string NamedRoomList() {
    std::string list;
    for (const auto& named : er_room::NamedRooms()) list += (list.empty() ? "" : ", ") + std::string(named.name);
    return list;
}

std::string Full(double value) {
    return Printf("%.17g", value);
}

std::string WallList(const er_room::Tap& tap, const char* joiner) {
    std::string walls;
    for (std::int32_t wall = 0; wall < er_room::WALL_COUNT; ++wall) {
        for (std::int32_t i = 0; i < tap.bounces[wall]; ++i) {
            walls += (walls.empty() ? "" : joiner) + std::string(er_room::WALL_NAMES[wall]);
        }
    }
    return walls;
}

std::string ChannelName(const RoomPattern& pattern, std::int32_t channel) {
    if (pattern.pattern.channels == 1) return "mono";
    return channel == 0 ? "left" : "right";
}

bool IsFractional(const std::vector<PinSetting>& settings) {
    const PinSetting* accuracy = FindSetting(settings, pins::TIME_ACCURACY);
    return accuracy != nullptr && accuracy->value != effect_pins::choice::SAMPLE;
}

// The text of the entry of choice pin `name` whose value is `value`. Throws Failure (EXIT_MODULE) when the module
// has no such pin or entry.
std::string ChoiceText(const std::vector<er_host::PinDescription>& pins, std::string_view name, std::int16_t value) {
    for (const auto& pin : pins) {
        if (pin.name != name) continue;
        for (const ListEntry& entry : ParseListText(pin.extra_text)) {
            if (entry.value == value) return entry.text;
        }
    }
    throw Failure(EXIT_MODULE, "the module lacks the \"" + std::string(name) + "\" entry a room's taps need");
}

// The factor an option gives, from `lowest` to `highest`.
double Factor(const char* option, const std::string& text, double lowest, double highest) {
    const auto factor = ParseNumber(text);
    if (!factor || !(*factor >= lowest && *factor <= highest)) {
        throw Failure(EXIT_USAGE, std::string(option) + " takes a factor from " + FormatNumber(lowest) + " to " +
                                      FormatNumber(highest) + ", not " + Quoted(text));
    }
    return *factor;
}

std::string Extension(const std::string& path) {
    return ToLower(std::filesystem::path(path).extension().string());
}

}  // namespace

er_room::Room LoadRoom(const std::string& name_or_file, const std::string& scale, const std::string& width) {
    er_room::Room room;
    std::string named_as;  // how a problem names the room: the file it came from, or the named room
    if (const er_room::Room* named = er_room::FindNamedRoom(ToLower(name_or_file))) {
        room = *named;
        named_as = "room \"" + room.name + "\"";
    } else {
        std::error_code error;
        if (!std::filesystem::is_regular_file(name_or_file, error)) {
            throw Failure(EXIT_USAGE, "--room takes a room's name (" + NamedRoomList() + ") or a room file (JSON), not " +
                                          Quoted(name_or_file));
        }
        std::ifstream file(name_or_file, std::ios::binary);
        std::stringstream text;
        text << file.rdbuf();
        if (!file) throw Failure(EXIT_USAGE, "cannot read the room file " + Quoted(name_or_file));
        try {
            room = er_room::ParseRoomJson(text.str(), name_or_file);
        } catch (const er_room::RoomError& problem) {
            throw Failure(EXIT_USAGE, problem.what());
        }
        named_as = name_or_file;
    }
    return ShapeRoom(std::move(room), scale, width, named_as);
}

er_room::Room ShapeRoom(er_room::Room room, const std::string& scale, const std::string& width,
                        const std::string& named_as) {
    std::string shaped;
    if (!scale.empty()) {
        room = er_room::Scaled(room, Factor("--room-scale", scale, MIN_SCALE, MAX_SCALE));
        shaped += " at --room-scale " + scale;
    }
    if (!width.empty()) {
        room = er_room::Widened(room, Factor("--room-width", width, MIN_WIDTH, MAX_WIDTH));
        shaped += " at --room-width " + width;
    }
    if (const std::string problem = er_room::Problem(room); !problem.empty()) {
        throw Failure(EXIT_USAGE, named_as + shaped + ": " + problem);
    }
    return room;
}

er_room::Room WindowRoom(const er_room::Room& room, const std::string& window, float rate) {
    if (window.empty()) return room;
    const double seconds = static_cast<double>(ParseMoment(window, rate)) / rate;
    if (!(seconds >= 0.0 && seconds <= er_room::MAX_WINDOW)) {
        throw Failure(EXIT_USAGE, "--room-window takes 0 (by order alone) to " + FormatNumber(er_room::MAX_WINDOW * 1000.0) +
                                      " ms, not " + Quoted(window));
    }
    return er_room::Windowed(room, seconds);
}

RoomPattern RealisePattern(const er_room::Room& room, float rate, const std::vector<Assignment>& accuracy,
                           const std::vector<er_host::PinDescription>& pins) {
    RoomPattern result;
    result.room = room;
    try {
        result.pattern = er_room::ImageSources(room);
    } catch (const er_room::RoomError& problem) {
        throw Failure(EXIT_USAGE, problem.what());
    }
    result.early_share = er_room::EarlyEnergyShare(room, result.pattern);
    result.points = er_room::ListeningPoints(room);
    result.rate = rate;
    // The user's "Time Accuracy", resolved once: whether the taps interpolate.
    const auto chosen = ResolveSettings(pins, accuracy);
    const bool fractional = IsFractional(chosen);
    result.accuracy = FindSetting(chosen, pins::TIME_ACCURACY)->entry;
    result.fractional = fractional;
    for (const er_room::Tap& tap : result.pattern.taps) {
        RoomTap realised;
        realised.tap = tap;
        er_room::TapPins tap_pins;
        try {
            tap_pins = er_room::PinsForTap(tap, rate, fractional);
        } catch (const er_room::RoomError& problem) {
            throw Failure(EXIT_USAGE, "room \"" + room.name + "\": " + problem.what());
        }
        realised.damping = tap_pins.coefficient;
        realised.samples = tap_pins.samples;
        // Shown values written in full, so that the text reads back as the very float.
        const std::vector<Assignment> fixed = {
            {std::string(pins::TIME_MODE), ChoiceText(pins, pins::TIME_MODE, er_room::TAP_TIME_MODE), "room"},
            {std::string(pins::TIME_ACCURACY), "Sample", "room"},
            {std::string(pins::FEEDBACK), "0", "room"},
            {std::string(pins::DAMPING), Full(tap_pins.damping), "room"},
            {std::string(pins::ROUTING_MODE), ChoiceText(pins, pins::ROUTING_MODE, er_room::TAP_ROUTING), "room"},
            {std::string(pins::VOLUME_MODE), ChoiceText(pins, pins::VOLUME_MODE, er_room::TAP_VOLUME_MODE), "room"},
            {std::string(pins::VOLUME), Full(tap_pins.volume), "room"},
            {std::string(pins::TIME), Full(tap_pins.time), "room"},
            {std::string(pins::MAX_DELAY), ChoiceText(pins, pins::MAX_DELAY, tap_pins.max_delay), "room"},
        };
        std::vector<Assignment> assignments = fixed;
        assignments.insert(assignments.end(), accuracy.begin(), accuracy.end());
        auto settings = ResolveSettings(pins, assignments);
        const auto view = ViewEffect(settings, rate);
        if (!view) throw Failure(EXIT_MODULE, "the module lacks a pin a room's taps need");
        realised.realised = TapDelayFor(*view, FindSetting(settings, pins::TIME)->from);
        for (const Assignment& assignment : assignments) {
            if (assignment.name == pins::TIME_ACCURACY && assignment.origin == "room" && !accuracy.empty()) continue;
            realised.assignments.push_back(assignment.name + "=" + assignment.value);
        }
        realised.settings = std::move(settings);
        result.taps.push_back(std::move(realised));
    }
    return result;
}

bool PatternKindKnown(const std::string& path) {
    const std::string extension = Extension(path);
    return extension == ".json" || extension == ".csv";
}

std::string PatternText(const RoomPattern& pattern, const std::string& path) {
    if (Extension(path) == ".csv") {
        std::string text =
            "channel,order,walls,delay_s,delay_samples,gain,gain_db,cutoff_hz,damping,image_x,image_y,"
            "image_z,settings\n";
        for (const RoomTap& tap : pattern.taps) {
            std::string settings;
            for (const std::string& assignment : tap.assignments) settings += (settings.empty() ? "" : ";") + assignment;
            text += ChannelName(pattern, tap.tap.channel) + "," + std::to_string(tap.tap.order) + "," +
                    WallList(tap.tap, "+") +
                    Printf(",%.9f,%.6f,%.9f,%.4f,%.1f,%.9f,%.4f,%.4f,%.4f,", tap.tap.delay, tap.realised.effective,
                           tap.tap.gain, 20.0 * std::log10(tap.tap.gain), tap.tap.cutoff_hz, tap.damping,
                           tap.tap.image.x, tap.tap.image.y, tap.tap.image.z) +
                    "\"" + settings + "\"\n";
        }
        return text;
    }
    using nlohmann::json;
    const er_room::Room& room = pattern.room;
    auto point = [](const er_room::Vec3& v) { return json::array({v.x, v.y, v.z}); };
    json walls = json::object();
    for (std::int32_t wall = 0; wall < er_room::WALL_COUNT; ++wall) {
        walls[std::string(er_room::WALL_NAMES[wall])] = {{"absorption", room.walls[wall].absorption},
                                                         {"cutoff_hz", room.walls[wall].cutoff_hz}};
    }
    json points = json::array();
    for (const er_room::Vec3& p : pattern.points) points.push_back(point(p));
    json taps = json::array();
    for (const RoomTap& tap : pattern.taps) {
        json bounces = json::array();
        for (std::int32_t wall = 0; wall < er_room::WALL_COUNT; ++wall) {
            for (std::int32_t i = 0; i < tap.tap.bounces[wall]; ++i) bounces.push_back(er_room::WALL_NAMES[wall]);
        }
        taps.push_back({{"channel", ChannelName(pattern, tap.tap.channel)},
                        {"order", tap.tap.order},
                        {"walls", bounces},
                        {"delay_s", tap.tap.delay},
                        {"delay_samples", tap.realised.effective},
                        {"gain", tap.tap.gain},
                        {"gain_db", 20.0 * std::log10(tap.tap.gain)},
                        {"cutoff_hz", tap.tap.cutoff_hz},
                        {"damping", tap.damping},
                        {"image", point(tap.tap.image)},
                        {"distance_m", tap.tap.distance},
                        {"settings", tap.assignments}});
    }
    const json document = {
        {"room",
         {{"name", room.name},
          {"size", point(room.size)},
          {"source", point(room.source)},
          {"listener", point(room.listener)},
          {"walls", walls},
          {"spacing", room.spacing},
          {"speed_of_sound", room.speed_of_sound},
          {"max_order", room.max_order},
          {"window_s", room.window},
          {"origin", room.origin}}},
        {"early_energy_share", pattern.early_share},
        {"rate", pattern.rate},
        {"time_accuracy", pattern.accuracy},
        {"channels", pattern.pattern.channels},
        {"listening_points", points},
        {"direct_distance_m", pattern.pattern.direct_distance},
        {"sabine_s", er_room::SabineSeconds(room)},
        {"eyring_s", er_room::EyringSeconds(room)},
        {"taps", taps},
    };
    return JsonText(document, 2) + "\n";
}

std::string RoomSettingsText(const RoomPattern& pattern) {
    if (pattern.taps.empty()) return "none: the room has no tap";
    const std::string own[] = {std::string(pins::TIME), std::string(pins::VOLUME), std::string(pins::DAMPING),
                               std::string(pins::MAX_DELAY)};
    std::string shared;
    for (const std::string& assignment : pattern.taps.front().assignments) {
        const std::string name = assignment.substr(0, assignment.rfind('='));
        if (std::find(std::begin(own), std::end(own), name) != std::end(own)) continue;
        shared += (shared.empty() ? "" : ", ") + assignment;
    }
    return "every tap's: " + shared + "; each tap's own " + own[0] + ", " + own[1] + ", " + own[2] + " and " + own[3] +
           " (--pattern-out lists them)";
}

std::string DescribePattern(const RoomPattern& pattern) {
    const er_room::Room& room = pattern.room;
    double first = 0.0, last = 0.0;
    for (const RoomTap& tap : pattern.taps) {
        const double ms = tap.realised.effective * 1000.0 / pattern.rate;
        first = first == 0.0 ? ms : std::min(first, ms);
        last = std::max(last, ms);
    }
    const std::string sides = pattern.pattern.channels == 1 ? "mono" : Printf("%zu a side", pattern.taps.size() / 2);
    const std::string by = room.window > 0.0 ? Printf("within %g ms up to order %d", room.window * 1000.0, room.max_order)
                                             : Printf("of orders 1 to %d", room.max_order);
    return room.name + Printf(
                           ", %g x %g x %g m: %zu taps (%s) %s, %.3f to %.3f ms, %s, %.0f %% of the first %g ms' "
                           "energy; Sabine %.2f s, Eyring %.2f s",
                           room.size.x, room.size.y, room.size.z, pattern.taps.size(), sides.c_str(), by.c_str(),
                           first, last, pattern.accuracy.c_str(), 100.0 * pattern.early_share,
                           er_room::EARLY_ENERGY_SECONDS * 1000.0, er_room::SabineSeconds(room),
                           er_room::EyringSeconds(room));
}

PatternFigure PatternFigureOf(const RoomPattern& pattern) {
    PatternFigure figure;
    const er_room::Room& room = pattern.room;
    figure.text.title = "Room " + room.name +
                        (room.window > 0.0 ? Printf(": %zu taps within %g ms", pattern.taps.size(), room.window * 1000.0)
                                           : Printf(": %zu taps, orders 1 to %d", pattern.taps.size(), room.max_order));
    figure.text.subtitle = DescribePattern(pattern) + Printf(" at %g Hz", static_cast<double>(pattern.rate));
    figure.channels = pattern.pattern.channels;
    figure.max_order = room.max_order;
    figure.size = {room.size.x, room.size.y};
    figure.source = {room.source.x, room.source.y};
    for (const er_room::Vec3& point : pattern.points) figure.listeners.push_back({point.x, point.y});
    for (const RoomTap& tap : pattern.taps) {
        figure.stems.push_back({tap.realised.effective * 1000.0 / pattern.rate, 20.0 * std::log10(tap.tap.gain),
                                tap.tap.channel});
        if (tap.tap.channel == 0) figure.images.push_back({{tap.tap.image.x, tap.tap.image.y}, tap.tap.order});
    }
    // The nearest images last, on top of the farther ones that fall on the same spot seen from above.
    std::stable_sort(figure.images.begin(), figure.images.end(),
                     [](const PatternFigure::Image& a, const PatternFigure::Image& b) { return a.order > b.order; });
    return figure;
}

double RoomTailSeconds(const RoomPattern& pattern) {
    double longest = 0.0;
    for (const RoomTap& tap : pattern.taps) {
        const double ring = tap.damping > 0.0 ? std::log(DAMPING_DECAY) / std::log(tap.damping) : 0.0;
        longest = std::max(longest, tap.realised.effective + 1.0 + ring);
    }
    return longest / pattern.rate;
}

std::int32_t RoomOutputChannels(const RoomPattern& pattern, std::int32_t input_channels) {
    return er_room::RoomOutputChannels(pattern.pattern, input_channels);
}

RoomRenderer::RoomRenderer(const RenderJob& job, const RoomPattern& pattern, std::int32_t input_channels)
    : m_job(job), m_input_channels(input_channels) {
    try {
        m_engine = std::make_unique<er_room::RoomEngine>(
            er_room::PlanRoom(pattern.pattern, pattern.rate, pattern.fractional, input_channels), m_job.block);
    } catch (const er_room::RoomError& problem) {
        throw Failure(EXIT_USAGE, problem.what());
    }
}

RoomRenderer::~RoomRenderer() = default;

void RoomRenderer::Start() {
    m_engine->Reset();
}

std::int32_t RoomRenderer::BlockAt(std::int64_t position) const {
    return BlockLength(m_job, position);
}

void RoomRenderer::Step(std::int64_t position, std::int32_t count, const float* input, double* wet) {
    if (GateStartsAt(m_job, position)) m_engine->Gate();
    m_engine->ProcessInterleaved(input, wet, count);
}

RenderStats RoomRenderer::Run(const Source& source, const Sink& sink, const Progress& progress) {
    const auto inputs = static_cast<std::size_t>(m_input_channels);
    const auto outputs = static_cast<std::size_t>(m_job.channels);
    const auto block = static_cast<std::size_t>(m_job.block);
    std::vector<float> input(block * inputs, 0.0f);
    std::vector<double> wet(block * outputs);
    std::vector<float> output(block * outputs);
    OutputStage stage(m_job);

    Start();
    for (std::int64_t position = 0; position < m_job.total_frames;) {
        const std::int32_t count = BlockAt(position);
        ReadBlock(source, m_job, position, count, inputs, input);
        Step(position, count, input.data(), wet.data());
        for (std::int32_t i = 0; i < count; ++i) {
            for (std::size_t channel = 0; channel < outputs; ++channel) {
                const std::size_t slot = static_cast<std::size_t>(i) * outputs + channel;
                const std::size_t dry = static_cast<std::size_t>(i) * inputs + (inputs == outputs ? channel : 0);
                output[slot] = stage.Take(wet[slot], input[dry], position + i, static_cast<std::int32_t>(channel));
            }
        }
        sink(output.data(), count);
        position += count;
        if (!progress(position)) throw Failure(EXIT_INTERNAL, "the render was stopped; no output written");
    }
    return stage.Stats();
}

}  // namespace er_render
