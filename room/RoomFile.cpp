// A user's room as a small JSON object. Every key is optional but "size"; a missing one keeps the default of Room.
// Unknown keys are refused, so a misspelt one does not go unnoticed.
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

Surface ReadSurface(const json& value, Surface surface, std::string_view origin, const std::string& key) {
    if (!value.is_object()) Fail(origin, "\"" + key + "\" must be an object {\"absorption\": ..., \"cutoff_hz\": ...}");
    for (const auto& [name, field] : value.items()) {
        if (name == "absorption") {
            surface.absorption = Number(field, origin, key + ".absorption");
        } else if (name == "cutoff_hz") {
            surface.cutoff_hz = Number(field, origin, key + ".cutoff_hz");
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
    } catch (const json::parse_error& error) {
        Fail(origin, std::string("not JSON: ") + error.what());
    }
    if (!document.is_object()) Fail(origin, "a room is a JSON object");
    if (!document.contains("size")) Fail(origin, "a room needs \"size\": [width, length, height] in metres");
    if (document.contains("speed_of_sound") && document.contains("temperature")) {
        Fail(origin, "give \"speed_of_sound\" or \"temperature\", not both");
    }
    Room room;
    room.name = "room";
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
            room.speed_of_sound = SpeedOfSound(Number(value, origin, key));
        } else if (key == "max_order") {
            if (!value.is_number_integer()) Fail(origin, "\"max_order\" must be a whole number");
            room.max_order = value.get<std::int32_t>();
        } else {
            Fail(origin, "unknown key \"" + key +
                             "\" (name, size, source, listener, walls, spacing, speed_of_sound, temperature, "
                             "max_order)");
        }
    }
    Validate(room);
    return room;
}

}  // namespace er_room
