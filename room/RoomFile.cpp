// A user's room as a small JSON object. Every key is optional but "size"; a missing one keeps the default of Room.
// Unknown keys are refused, so a misspelt one does not go unnoticed.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "Room.h"

namespace er_room {

namespace {

using nlohmann::json;

[[noreturn]] void Fail(std::string_view origin, const std::string& what) {
    throw RoomError(std::string(origin) + ": " + what);
}

double Number(const json& value, std::string_view origin, const std::string& key) {
    if (!value.is_number()) Fail(origin, "\"" + key + "\" must be a number");
    return value.get<double>();
}

Vec3 Point(const json& value, std::string_view origin, const std::string& key) {
    if (!value.is_array() || value.size() != 3) Fail(origin, "\"" + key + "\" must be three numbers [x, y, z] in metres");
    return {Number(value[0], origin, key), Number(value[1], origin, key), Number(value[2], origin, key)};
}

// A surface's values are checked here, where the key that gave them is known ("walls.all" fills every wall).
Surface ReadSurface(const json& value, Surface surface, std::string_view origin, const std::string& key) {
    if (!value.is_object()) Fail(origin, "\"" + key + "\" must be an object {\"absorption\": ..., \"cutoff_hz\": ...}");
    for (const auto& [name, field] : value.items()) {
        if (name == "absorption") {
            surface.absorption = Number(field, origin, key + ".absorption");
            if (!(surface.absorption >= 0.0 && surface.absorption <= 1.0)) {
                Fail(origin, "\"" + key + ".absorption\" must lie in 0 .. 1");
            }
        } else if (name == "cutoff_hz") {
            surface.cutoff_hz = Number(field, origin, key + ".cutoff_hz");
            if (!(surface.cutoff_hz >= 0.0)) Fail(origin, "\"" + key + ".cutoff_hz\" must be 0 (no dulling) or more");
        } else {
            Fail(origin, "unknown key \"" + key + "." + name + "\" (absorption, cutoff_hz)");
        }
    }
    return surface;
}

void ReadWalls(const json& value, Room& room, std::string_view origin) {
    if (!value.is_object()) Fail(origin, "\"walls\" must be an object of walls");
    // "all" first, so that a named wall overrides it whatever the order in the file.
    if (value.contains("all")) {
        const Surface all = ReadSurface(value["all"], room.walls[0], origin, "walls.all");
        room.walls.fill(all);
    }
    for (const auto& [name, field] : value.items()) {
        if (name == "all") continue;
        std::int32_t wall = 0;
        while (wall < WALL_COUNT && WALL_NAMES[wall] != name) ++wall;
        if (wall == WALL_COUNT) {
            Fail(origin, "unknown wall \"" + name + "\" (all, left, right, front, back, floor, ceiling)");
        }
        room.walls[wall] = ReadSurface(field, room.walls[wall], origin, "walls." + name);
    }
}

}  // namespace

Room ParseRoomJson(std::string_view text, std::string_view origin) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::out_of_range&) {
        Fail(origin, "a number too large for a room (beyond 1.8e308)");
    } catch (const json::exception& error) {
        Fail(origin, std::string("not JSON: ") + error.what());
    }
    if (!document.is_object()) Fail(origin, "a room is a JSON object");
    if (!document.contains("size")) Fail(origin, "a room needs \"size\": [width, length, height] in metres");
    if (document.contains("speed_of_sound") && document.contains("temperature")) {
        Fail(origin, "give \"speed_of_sound\" or \"temperature\", not both");
    }
    Room room;
    room.name = std::string(origin);  // a room without a name is known by its file
    room.origin = std::string(origin);
    for (const auto& [key, value] : document.items()) {
        if (key == "name") {
            if (!value.is_string()) Fail(origin, "\"name\" must be a text");
            room.name = value.get<std::string>();
        } else if (key == "size") {
            room.size = Point(value, origin, key);
        } else if (key == "source") {
            room.source = Point(value, origin, key);
        } else if (key == "listener") {
            room.listener = Point(value, origin, key);
        } else if (key == "walls") {
            ReadWalls(value, room, origin);
        } else if (key == "spacing") {
            room.spacing = Number(value, origin, key);
        } else if (key == "speed_of_sound") {
            room.speed_of_sound = Number(value, origin, key);
        } else if (key == "temperature") {
            const double celsius = Number(value, origin, key);
            if (!(celsius >= MIN_CELSIUS && celsius <= MAX_CELSIUS)) {
                Fail(origin, "\"temperature\" must lie in " + json(MIN_CELSIUS).dump() + " .. " +
                                 json(MAX_CELSIUS).dump() + " degrees Celsius, not " + value.dump());
            }
            room.speed_of_sound = SpeedOfSound(celsius);
        } else if (key == "max_order") {
            if (!value.is_number_integer()) Fail(origin, "\"max_order\" must be a whole number");
            const auto order = value.get<std::int64_t>();
            room.max_order = static_cast<std::int32_t>(std::clamp<std::int64_t>(order, -1, MAX_ORDER + 1));
        } else if (key == "window") {
            room.window = Number(value, origin, key);
        } else {
            Fail(origin, "unknown key \"" + key +
                             "\" (name, size, source, listener, walls, spacing, speed_of_sound, temperature, "
                             "max_order, window)");
        }
    }
    // A window without an order of its own reaches as far as the window goes, up to the cap.
    if (document.contains("window") && !document.contains("max_order")) room.max_order = MAX_ORDER;
    if (const std::string problem = Problem(room); !problem.empty()) Fail(origin, problem);
    return room;
}

}  // namespace er_room
