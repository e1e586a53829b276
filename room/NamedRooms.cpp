// The named rooms. Sizes are those of typical rooms of each kind (the hall is the Vienna Musikverein's main hall,
// 48.80 x 19.10 x 17.75 m, as the Musikverein gives it); absorptions are mid-frequency (500 Hz and 1 kHz)
// coefficients of the materials named from published tables of building materials (docs/rooms.md names them);
// cut-offs say how much duller a bounce leaves the sound: porous and soft surfaces absorb highs most, hard ones
// barely at all.
#include "Room.h"

namespace er_room {

namespace {

constexpr Surface CONCRETE{0.02, 12000.0};
constexpr Surface PLASTER{0.05, 10000.0};
constexpr Surface GLAZED_TILE{0.01, 12000.0};
constexpr Surface WOOD_FLOOR{0.07, 6000.0};
constexpr Surface CARPET{0.35, 3000.0};
constexpr Surface FOAM{0.70, 2000.0};
constexpr Surface ACOUSTIC_TILE{0.70, 2500.0};
constexpr Surface PANELLED{0.25, 5000.0};
constexpr Surface CURTAINED{0.45, 3500.0};
constexpr Surface SEATED_AUDIENCE{0.80, 3000.0};
constexpr Surface BALCONIES_AND_PLASTER{0.18, 8000.0};

Room Make(std::string name, Vec3 size, Vec3 source, Vec3 listener, std::array<Surface, WALL_COUNT> walls,
          double spacing, std::string origin) {
    Room room;
    room.name = std::move(name);
    room.size = size;
    room.source = source;
    room.listener = listener;
    room.walls = walls;
    room.spacing = spacing;
    room.origin = std::move(origin);
    return room;
}

std::vector<NamedRoom> MakeNamedRooms() {
    // Walls in the order left, right, front, back, floor, ceiling.
    return {
        {"booth", "a small vocal booth, foam on the walls, carpet on the floor",
         Make("booth", {1.2, 1.5, 2.2}, {0.6, 0.45, 1.6}, {0.6, 1.05, 1.6},
              {FOAM, FOAM, FOAM, FOAM, CARPET, FOAM}, 0.17,
              "a 1.2 x 1.5 m booth of 2.2 m; foam 0.70, carpet 0.35")},
        {"living", "a furnished living room: plaster walls, a carpet, curtains on one side",
         Make("living", {5.0, 4.0, 2.5}, {1.5, 1.2, 1.4}, {3.0, 2.8, 1.2},
              {PLASTER, CURTAINED, PLASTER, PLASTER, CARPET, PLASTER}, 0.2,
              "a 5 x 4 m room of 2.5 m; plaster 0.05, curtains 0.45, carpet 0.35")},
        {"studio", "a treated studio live room: panelled walls, wooden floor, absorbing ceiling",
         Make("studio", {7.0, 5.5, 3.2}, {2.5, 2.0, 1.5}, {4.5, 3.5, 1.5},
              {PANELLED, PANELLED, PANELLED, PANELLED, WOOD_FLOOR, ACOUSTIC_TILE}, 0.3,
              "a 7 x 5.5 m live room of 3.2 m; panels 0.25, wood floor 0.07, ceiling tiles 0.70")},
        {"hall", "a shoebox concert hall: seated audience, ornate plaster",
         Make("hall", {19.1, 48.8, 17.75}, {9.55, 6.0, 1.8}, {8.0, 26.0, 1.2},
              {BALCONIES_AND_PLASTER, BALCONIES_AND_PLASTER, BALCONIES_AND_PLASTER, BALCONIES_AND_PLASTER, SEATED_AUDIENCE, BALCONIES_AND_PLASTER},
              0.5,
              "the Vienna Musikverein's main hall, 19.1 x 48.8 m of 17.75 m (the Musikverein's own figures); audience 0.80, walls and "
              "ceiling 0.18 (plaster, balconies and their seats), which give Sabine's 2.0 s, the hall's published occupied mid-frequency figure")},
        {"stairwell", "a concrete stairwell four floors high",
         Make("stairwell", {3.0, 3.0, 12.0}, {1.0, 1.0, 1.6}, {2.0, 2.2, 1.6},
              {CONCRETE, CONCRETE, CONCRETE, CONCRETE, CONCRETE, CONCRETE}, 0.2,
              "a 3 x 3 m shaft of 12 m; bare concrete 0.02")},
        {"tiled", "a tiled bathroom",
         Make("tiled", {2.5, 2.0, 2.4}, {0.8, 0.6, 1.5}, {1.7, 1.4, 1.5},
              {GLAZED_TILE, GLAZED_TILE, GLAZED_TILE, GLAZED_TILE, GLAZED_TILE, PLASTER}, 0.17,
              "a 2.5 x 2 m room of 2.4 m; glazed tiles 0.01, plaster ceiling 0.05")},
    };
}

}  // namespace

const std::vector<NamedRoom>& NamedRooms() {
    static const std::vector<NamedRoom> rooms = MakeNamedRooms();
    return rooms;
}

const Room* FindNamedRoom(std::string_view name) {
    const std::size_t index = NamedRoomIndex(name);
    return index < NamedRooms().size() ? &NamedRooms()[index].room : nullptr;
}

std::size_t NamedRoomIndex(std::string_view name) {
    const auto& rooms = NamedRooms();
    std::size_t index = 0;
    while (index < rooms.size() && rooms[index].name != name) ++index;
    return index;
}

}  // namespace er_room
