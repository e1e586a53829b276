// The room model against computations written here from first principles: first-order images in closed form,
// higher orders by brute force over every sequence of mirrorings, the reverberation formulas by hand, the
// one-pole's response from its difference equation.
#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <numeric>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "Room.h"
#include "TapPins.h"

namespace {

using er_room::Room;
using er_room::Tap;
using er_room::Vec3;

double Dist(Vec3 a, Vec3 b) {
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

double Db(double ratio) {
    return 20.0 * std::log10(ratio);
}

// A room whose walls all differ, so that a tap credited to the wrong wall shows in its gain and its cut-off.
Room TestRoom() {
    Room room;
    room.name = "test";
    room.size = {6.0, 8.0, 3.0};
    room.source = {2.0, 6.5, 1.7};  // straight ahead of the listener (+y)
    room.listener = {2.0, 2.5, 1.2};
    room.walls = {{{0.10, 4000.0}, {0.20, 0.0}, {0.30, 8000.0}, {0.40, 2000.0}, {0.50, 0.0}, {0.60, 1000.0}}};
    room.spacing = 0.4;
    room.speed_of_sound = 340.0;
    room.max_order = 3;
    return room;
}

// Facing +y, the left point is toward -x.
std::vector<Vec3> Ears(const Room& room) {
    const double h = room.spacing / 2.0;
    return {{room.listener.x - h, room.listener.y, room.listener.z}, {room.listener.x + h, room.listener.y, room.listener.z}};
}

const Tap* FindTap(const er_room::Pattern& pattern, std::int32_t channel, Vec3 image) {
    for (const Tap& tap : pattern.taps) {
        if (tap.channel == channel && Dist(tap.image, image) < 1e-9) return &tap;
    }
    return nullptr;
}

TEST(RoomModel, FirstOrderTapsAreTheSixMirrorImagesInClosedForm) {
    const Room room = TestRoom();
    const double W = 6.0, L = 8.0, H = 3.0, sx = 2.0, sy = 6.5, sz = 1.7, c = 340.0;
    struct Mirror {
        er_room::Wall wall;
        Vec3 image;
        double absorption, cutoff;
    };
    const Mirror mirrors[] = {
        {er_room::LEFT, {-sx, sy, sz}, 0.10, 4000.0},
        {er_room::RIGHT, {2 * W - sx, sy, sz}, 0.20, 0.0},
        {er_room::FRONT, {sx, -sy, sz}, 0.30, 8000.0},
        {er_room::BACK, {sx, 2 * L - sy, sz}, 0.40, 2000.0},
        {er_room::FLOOR, {sx, sy, -sz}, 0.50, 0.0},
        {er_room::CEILING, {sx, sy, 2 * H - sz}, 0.60, 1000.0},
    };
    const auto pattern = er_room::ImageSources(room);
    ASSERT_EQ(pattern.channels, 2);
    const auto ears = Ears(room);
    // The source is straight ahead, so both points are equally far from it.
    const double direct = std::sqrt(0.2 * 0.2 + 4.0 * 4.0 + 0.5 * 0.5);
    EXPECT_NEAR(pattern.direct_distance, direct, 1e-12);
    for (const Mirror& mirror : mirrors) {
        for (std::int32_t channel = 0; channel < 2; ++channel) {
            SCOPED_TRACE(std::string(er_room::WALL_NAMES[mirror.wall]) + " channel " + std::to_string(channel));
            const Tap* tap = FindTap(pattern, channel, mirror.image);
            ASSERT_NE(tap, nullptr);
            const double r = Dist(mirror.image, ears[channel]);
            EXPECT_EQ(tap->order, 1);
            EXPECT_EQ(tap->bounces[mirror.wall], 1);
            EXPECT_NEAR(tap->delay, (r - direct) / c, 1e-12);
            EXPECT_NEAR(Db(tap->gain), Db(std::sqrt(1.0 - mirror.absorption) * direct / r), 0.0001);
            EXPECT_DOUBLE_EQ(tap->cutoff_hz, mirror.cutoff);
        }
    }
}

// Brute force: every image reached by up to `order` mirrorings of the source's cell in one of its own six faces
// (breadth first, so each image keeps its fewest mirrorings), kept once each. The walls a path meets are counted
// separately, as the planes x = m W (y = m L, z = m H) that the straight line from the listener to the image
// crosses: even m are images of the left (front, floor) wall, odd m of the right (back, ceiling) wall.
struct Brute {
    Vec3 image;
    std::array<std::int32_t, 6> bounces{};
    std::int32_t order = 0;
};

std::array<std::int32_t, 2> Crossings(double from, double to, double length) {
    std::array<std::int32_t, 2> walls{};
    const double low = std::min(from, to), high = std::max(from, to);
    for (long m = static_cast<long>(std::floor(low / length)) - 1; m * length < high; ++m) {
        const double plane = m * length;
        if (plane > low && plane < high) walls[static_cast<std::size_t>(std::labs(m) % 2)] += 1;
    }
    return walls;
}

std::vector<Brute> Enumerate(const Room& room, int order) {
    struct Cell {
        Vec3 point, low, high;
    };
    std::vector<Cell> frontier{{room.source, {0, 0, 0}, room.size}};
    std::vector<Vec3> seen{room.source};
    std::vector<Brute> images;
    for (int depth = 1; depth <= order; ++depth) {
        std::vector<Cell> next;
        for (const Cell& cell : frontier) {
            for (int face = 0; face < 6; ++face) {
                Cell mirrored = cell;
                double* p = face < 2 ? &mirrored.point.x : face < 4 ? &mirrored.point.y
                                                                    : &mirrored.point.z;
                double* lo = face < 2 ? &mirrored.low.x : face < 4 ? &mirrored.low.y
                                                                   : &mirrored.low.z;
                double* hi = face < 2 ? &mirrored.high.x : face < 4 ? &mirrored.high.y
                                                                    : &mirrored.high.z;
                const double plane = face % 2 == 0 ? *lo : *hi;
                const double width = *hi - *lo;
                *p = 2 * plane - *p;
                *lo = face % 2 == 0 ? plane - width : plane;
                *hi = *lo + width;
                if (std::any_of(seen.begin(), seen.end(), [&](Vec3 v) { return Dist(v, mirrored.point) < 1e-9; })) continue;
                seen.push_back(mirrored.point);
                next.push_back(mirrored);
                Brute b;
                b.image = mirrored.point;
                b.order = depth;
                const auto x = Crossings(room.listener.x, b.image.x, room.size.x);
                const auto y = Crossings(room.listener.y, b.image.y, room.size.y);
                const auto z = Crossings(room.listener.z, b.image.z, room.size.z);
                b.bounces = {x[0], x[1], y[0], y[1], z[0], z[1]};
                images.push_back(b);
            }
        }
        frontier = std::move(next);
    }
    return images;
}

TEST(RoomModel, HigherOrdersMatchBruteForceEnumerationOfMirrorSequences) {
    for (std::int32_t order : {2, 3, 4}) {
        SCOPED_TRACE("order " + std::to_string(order));
        Room room = TestRoom();
        room.max_order = order;
        const std::vector<Brute> brute = Enumerate(room, order);
        const auto pattern = er_room::ImageSources(room);
        ASSERT_EQ(pattern.taps.size(), 2 * brute.size());
        const auto ears = Ears(room);
        const double direct = Dist(room.source, ears[0]);
        for (const Brute& b : brute) {
            double reflection = 1.0, inverse_square_cutoff = 0.0;
            for (int wall = 0; wall < 6; ++wall) {
                reflection *= std::pow(1.0 - room.walls[wall].absorption, b.bounces[wall] / 2.0);
                const double fc = room.walls[wall].cutoff_hz;
                if (fc > 0) inverse_square_cutoff += b.bounces[wall] / (fc * fc);
            }
            for (std::int32_t channel = 0; channel < 2; ++channel) {
                const Tap* tap = FindTap(pattern, channel, b.image);
                ASSERT_NE(tap, nullptr);
                const double r = Dist(b.image, ears[channel]);
                EXPECT_EQ(tap->order, b.order);
                EXPECT_EQ(tap->bounces, b.bounces);
                EXPECT_EQ(std::accumulate(b.bounces.begin(), b.bounces.end(), 0), b.order);
                EXPECT_NEAR(tap->delay, (r - direct) / room.speed_of_sound, 1e-12);
                EXPECT_NEAR(Db(tap->gain), Db(reflection * direct / r), 0.0001);
                const double cutoff = inverse_square_cutoff > 0 ? 1.0 / std::sqrt(inverse_square_cutoff) : 0.0;
                EXPECT_NEAR(tap->cutoff_hz, cutoff, 1e-9);
            }
        }
    }
}

TEST(RoomModel, ThePatternListsChannelsThenDelaysInOrder) {
    const auto pattern = er_room::ImageSources(TestRoom());
    // 6 + 18 + 38 images up to order 3, at each of two points.
    ASSERT_EQ(pattern.taps.size(), 2u * 62u);
    for (std::size_t i = 1; i < pattern.taps.size(); ++i) {
        const Tap& a = pattern.taps[i - 1];
        const Tap& b = pattern.taps[i];
        EXPECT_TRUE(a.channel < b.channel || (a.channel == b.channel && a.delay <= b.delay)) << i;
    }
    EXPECT_EQ(pattern.taps.front().channel, 0);
    EXPECT_EQ(pattern.taps.back().channel, 1);
}

TEST(RoomModel, ZeroSpacingGivesOneListeningPointAtTheListener) {
    Room room = TestRoom();
    room.spacing = 0.0;
    const auto pattern = er_room::ImageSources(room);
    EXPECT_EQ(pattern.channels, 1);
    EXPECT_NEAR(pattern.direct_distance, Dist(room.source, room.listener), 1e-12);
    const Tap* floor = FindTap(pattern, 0, {2.0, 6.5, -1.7});
    ASSERT_NE(floor, nullptr);
    EXPECT_NEAR(floor->delay, (Dist({2.0, 6.5, -1.7}, room.listener) - Dist(room.source, room.listener)) / 340.0, 1e-12);
}

TEST(RoomModel, TheListenerFacesTheSource) {
    Room room = TestRoom();
    room.source = {5.0, 2.5, 1.2};  // to the listener's east (+x): the left point lies north (+y)
    const auto points = er_room::ListeningPoints(room);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_NEAR(points[0].x, 2.0, 1e-12);
    EXPECT_NEAR(points[0].y, 2.7, 1e-12);
    EXPECT_NEAR(points[1].y, 2.3, 1e-12);
    room.source = {4.0, 4.5, 1.2};  // ahead and to the left of +y... any direction: the points stay level
    const auto turned = er_room::ListeningPoints(room);
    EXPECT_NEAR(Dist(turned[0], turned[1]), 0.4, 1e-12);
    EXPECT_NEAR(Dist(turned[0], room.source), Dist(turned[1], room.source), 1e-12);  // square to the source
}

TEST(RoomModel, ScalingMultipliesEveryLengthAndTheDelays) {
    const Room room = TestRoom();
    const Room twice = er_room::Scaled(room, 2.0);
    EXPECT_DOUBLE_EQ(twice.size.y, 16.0);
    EXPECT_DOUBLE_EQ(twice.source.z, 3.4);
    EXPECT_DOUBLE_EQ(twice.listener.x, 4.0);
    EXPECT_DOUBLE_EQ(twice.spacing, 0.8);
    const auto a = er_room::ImageSources(room), b = er_room::ImageSources(twice);
    ASSERT_EQ(a.taps.size(), b.taps.size());
    for (std::size_t i = 0; i < a.taps.size(); ++i) {
        EXPECT_NEAR(b.taps[i].delay, 2.0 * a.taps[i].delay, 1e-12);
        EXPECT_NEAR(b.taps[i].gain, a.taps[i].gain, 1e-12);  // spreading is relative to the direct sound
    }
}

TEST(RoomModel, SpeedOfSoundFollowsTemperature) {
    EXPECT_NEAR(er_room::SpeedOfSound(20.0), 343.21, 0.01);
    EXPECT_NEAR(er_room::SpeedOfSound(0.0), 331.3, 1e-12);
    EXPECT_NEAR(er_room::SpeedOfSound(-40.0), 306.08, 0.01);
    EXPECT_EQ(Room{}.speed_of_sound, 343.0);
}

TEST(RoomModel, OnePoleCoefficientPutsTheMinusThreeDecibelPointAtTheCutoff) {
    for (double rate : {44100.0, 48000.0, 96000.0}) {
        for (double cutoff : {100.0, 1000.0, 5000.0, 15000.0}) {
            const double d = er_room::OnePoleCoefficient(cutoff, rate);
            ASSERT_GT(d, 0.0);
            ASSERT_LT(d, 1.0);
            // The filter y = (1 - d) x + d y[-1] run on a complex exponential at the cut-off until settled.
            const std::complex<double> step = std::polar(1.0, 2.0 * std::numbers::pi * cutoff / rate);
            std::complex<double> x = 1.0, y = 0.0;
            for (int i = 0; i < 200000; ++i) {
                y = (1.0 - d) * x + d * y;
                x *= step;
            }
            EXPECT_NEAR(Db(std::abs(y)), -3.0103, 0.001) << rate << " " << cutoff;
        }
    }
    EXPECT_EQ(er_room::OnePoleCoefficient(0.0, 48000.0), 0.0);
}

TEST(RoomModel, ReverberationFormulasByHand) {
    Room room;
    room.size = {10.0, 5.0, 4.0};
    room.walls.fill({0.2, 0.0});
    room.walls[er_room::FLOOR].absorption = 0.5;
    // V = 200, S = 2 (50 + 40 + 20) = 220, A = 0.2 x 170 + 0.5 x 50 = 59.
    EXPECT_NEAR(er_room::SabineSeconds(room), 0.161 * 200.0 / 59.0, 1e-12);
    EXPECT_NEAR(er_room::EyringSeconds(room), 0.161 * 200.0 / (-220.0 * std::log(1.0 - 59.0 / 220.0)), 1e-12);
}

// With the same absorption on every wall the images' energy falls at the rate of the diffuse-field formulas:
// between Eyring's figure and Sabine's, within a tenth. (Where one surface absorbs far more than the rest the
// specular pattern decays more slowly: the paths that graze that surface keep their energy longer.)
TEST(RoomModel, ThePatternOfAnEvenlyAbsorbingRoomDecaysAtTheFormulasRate) {
    std::vector<std::pair<std::string, Room>> rooms;
    for (double absorption : {0.05, 0.1, 0.2, 0.4}) {
        Room room;
        room.size = {5.0, 4.0, 3.0};
        room.source = {1.3, 1.1, 1.4};
        room.listener = {3.6, 2.7, 1.2};
        room.walls.fill({absorption, 0.0});
        rooms.push_back({"absorption " + std::to_string(absorption), room});
    }
    rooms.push_back({"tiled", *er_room::FindNamedRoom("tiled")});
    for (const auto& [name, room] : rooms) {
        SCOPED_TRACE(name);
        const double decay = er_room::PatternDecaySeconds(room, 40);
        const double areas[] = {room.size.y * room.size.z, room.size.x * room.size.z, room.size.x * room.size.y};
        const double volume = room.size.x * room.size.y * room.size.z;
        double surface = 0.0, absorbing = 0.0;
        for (int wall = 0; wall < 6; ++wall) {
            surface += areas[wall / 2];
            absorbing += areas[wall / 2] * room.walls[wall].absorption;
        }
        const double sabine = 0.161 * volume / absorbing;
        const double eyring = 0.161 * volume / (-surface * std::log(1.0 - absorbing / surface));
        EXPECT_GE(decay, 0.9 * eyring);
        EXPECT_LE(decay, 1.1 * sabine);
    }
}

TEST(RoomModel, NamedRoomsAreValidAndDistinct) {
    const auto& rooms = er_room::NamedRooms();
    ASSERT_GE(rooms.size(), 5u);
    for (const auto& named : rooms) {
        SCOPED_TRACE(std::string(named.name));
        EXPECT_NO_THROW(er_room::Validate(named.room));
        EXPECT_FALSE(named.room.origin.empty());
        EXPECT_EQ(er_room::FindNamedRoom(named.name), &named.room);
    }
    EXPECT_NE(er_room::FindNamedRoom(er_room::DEFAULT_ROOM), nullptr);
    EXPECT_EQ(er_room::FindNamedRoom("nowhere"), nullptr);
    // The hall's absorption was chosen for its published 2.0 s.
    EXPECT_NEAR(er_room::SabineSeconds(*er_room::FindNamedRoom("hall")), 2.0, 0.05);
}

TEST(RoomModel, ValidationRefusesEachValueJustOutOfRange) {
    struct Case {
        const char* what;
        void (*change)(Room&);
        bool valid;
    };
    const Case cases[] = {
        {"as is", [](Room&) {}, true},
        {"source on the left wall", [](Room& r) { r.source.x = 0.0; }, false},
        {"source just off the left wall", [](Room& r) { r.source.x = 1e-6; }, true},
        {"listener on the ceiling", [](Room& r) { r.listener.z = 3.0; }, false},
        {"listener beyond the back wall", [](Room& r) { r.listener.y = 8.5; }, false},
        {"size zero", [](Room& r) { r.size.z = 0.0; }, false},
        {"absorption 1", [](Room& r) { r.walls[er_room::FLOOR].absorption = 1.0; }, true},
        {"absorption above 1", [](Room& r) { r.walls[er_room::FLOOR].absorption = 1.0001; }, false},
        {"absorption below 0", [](Room& r) { r.walls[er_room::BACK].absorption = -0.01; }, false},
        {"negative cut-off", [](Room& r) { r.walls[er_room::LEFT].cutoff_hz = -1.0; }, false},
        {"order 0", [](Room& r) { r.max_order = 0; }, false},
        {"order 1", [](Room& r) { r.max_order = 1; }, true},
        {"order 12", [](Room& r) { r.max_order = 12; }, true},
        {"order 13", [](Room& r) { r.max_order = 13; }, false},
        {"speed 0", [](Room& r) { r.speed_of_sound = 0.0; }, false},
        {"speed just below 100 m/s", [](Room& r) { r.speed_of_sound = 99.99; }, false},
        {"speed 100 m/s", [](Room& r) { r.speed_of_sound = 100.0; }, true},
        {"speed 6000 m/s", [](Room& r) { r.speed_of_sound = 6000.0; }, true},
        {"speed just above 6000 m/s", [](Room& r) { r.speed_of_sound = 6000.01; }, false},
        {"speed not a number", [](Room& r) { r.speed_of_sound = NAN; }, false},
        {"window 500 ms", [](Room& r) { r.window = 0.5; }, true},
        {"window past 500 ms", [](Room& r) { r.window = 0.50001; }, false},
        {"negative window", [](Room& r) { r.window = -0.001; }, false},
        {"negative spacing", [](Room& r) { r.spacing = -0.1; }, false},
        {"points through the left wall", [](Room& r) { r.spacing = 4.0; }, false},
        {"points just inside", [](Room& r) { r.spacing = 3.99; }, true},
        {"source on the listener", [](Room& r) { r.source = r.listener; }, false},
    };
    for (const Case& c : cases) {
        Room room = TestRoom();
        c.change(room);
        if (c.valid) {
            EXPECT_NO_THROW(er_room::Validate(room)) << c.what;
        } else {
            EXPECT_THROW(er_room::Validate(room), er_room::RoomError) << c.what;
        }
    }
}

TEST(RoomFile, ReadsEveryKey) {
    const Room room = er_room::ParseRoomJson(R"({
        "name": "garage", "size": [6, 3.5, 2.6], "source": [1, 1, 1], "listener": [4, 2, 1.5],
        "walls": {"floor": {"absorption": 0.02}, "all": {"absorption": 0.3, "cutoff_hz": 5000},
                  "ceiling": {"cutoff_hz": 9000}},
        "spacing": 0, "temperature": 0, "max_order": 5, "window": 0.03})",
                                             "garage.json");
    EXPECT_EQ(room.name, "garage");
    EXPECT_DOUBLE_EQ(room.size.y, 3.5);
    EXPECT_DOUBLE_EQ(room.listener.z, 1.5);
    EXPECT_DOUBLE_EQ(room.walls[er_room::LEFT].absorption, 0.3);
    EXPECT_DOUBLE_EQ(room.walls[er_room::FLOOR].absorption, 0.02);   // named wall over "all", whatever the order
    EXPECT_DOUBLE_EQ(room.walls[er_room::FLOOR].cutoff_hz, 5000.0);  // the rest from "all"
    EXPECT_DOUBLE_EQ(room.walls[er_room::CEILING].absorption, 0.3);
    EXPECT_DOUBLE_EQ(room.walls[er_room::CEILING].cutoff_hz, 9000.0);
    EXPECT_DOUBLE_EQ(room.spacing, 0.0);
    EXPECT_NEAR(room.speed_of_sound, 331.3, 1e-12);
    EXPECT_EQ(room.max_order, 5);  // a window keeps the order the file gives
    EXPECT_DOUBLE_EQ(room.window, 0.03);
    // A window alone reaches as far as the cap; a window given later keeps a window's own order, lifts an order's.
    EXPECT_EQ(er_room::ParseRoomJson(R"({"size": [5, 4, 3], "window": 0.02})", "f").max_order, er_room::MAX_ORDER);
    EXPECT_EQ(er_room::Windowed(room, 0.05).max_order, 5);
    EXPECT_EQ(er_room::Windowed(TestRoom(), 0.05).max_order, er_room::MAX_ORDER);
    EXPECT_EQ(er_room::Windowed(TestRoom(), 0.0).max_order, TestRoom().max_order);
    EXPECT_EQ(er_room::ParseRoomJson(R"({"size": [5, 4, 3], "speed_of_sound": 300})", "f").speed_of_sound, 300.0);
}

TEST(RoomFile, RefusesWhatItCannotRead) {
    const char* bad[] = {
        "",                                                                  // not JSON
        "[1, 2, 3]",                                                         // not an object
        R"({"source": [1, 1, 1]})",                                          // no size
        R"({"size": [5, 4]})",                                               // two numbers
        R"({"size": [5, 4, "3"]})",                                          // a text
        R"({"size": [5, 4, 3], "colour": "red"})",                           // unknown key
        R"({"size": [5, 4, 3], "walls": {"roof": {}}})",                     // unknown wall
        R"({"size": [5, 4, 3], "walls": {"all": {"absorb": 1}}})",           // unknown wall key
        R"({"size": [5, 4, 3], "max_order": 2.5})",                          // not whole
        R"({"size": [5, 4, 3], "temperature": 20, "speed_of_sound": 343})",  // both
        R"({"size": [1, 1, 1]})",                                            // the default positions lie outside
        R"({"size": [5, 4, 1e999]})",                                        // beyond a double
        R"({"size": [5, 4, 3], "temperature": -273.15})",                    // below the range (and absolute zero)
        R"({"size": [5, 4, 3], "walls": {"all": {"cutoff_hz": -1}}})",       // a negative cut-off
        R"({"size": [5, 4, 3], "window": "40ms"})",                          // seconds, a number
    };
    for (const char* text : bad) {
        EXPECT_THROW(er_room::ParseRoomJson(text, "bad.json"), er_room::RoomError) << text;
    }
    try {
        er_room::ParseRoomJson(R"({"size": [5, 4, 3], "colour": "red"})", "my.json");
    } catch (const er_room::RoomError& error) {
        EXPECT_NE(std::string(error.what()).find("my.json"), std::string::npos);
        EXPECT_NE(std::string(error.what()).find("colour"), std::string::npos);
    }
}

// A pattern by time holds exactly the images of orders up to its cap that arrive within the window; one too large
// is refused with its numbers, and the share of the early energy it holds grows with the window.
TEST(RoomModel, AWindowKeepsTheImagesWithinItUpToTheCap) {
    Room room = TestRoom();
    room.max_order = 6;
    const er_room::Pattern all = er_room::ImageSources(room);
    room.window = 0.02;
    const er_room::Pattern windowed = er_room::ImageSources(room);
    std::size_t within = 0;
    for (const Tap& tap : all.taps) within += tap.delay <= 0.02 ? 1 : 0;
    EXPECT_EQ(windowed.taps.size(), within);
    EXPECT_GT(within, 0u);
    EXPECT_LT(within, all.taps.size());
    for (const Tap& tap : windowed.taps) EXPECT_LE(tap.delay, 0.02);
    const double share = er_room::EarlyEnergyShare(room, windowed);
    EXPECT_GT(share, 0.0);
    EXPECT_LT(share, er_room::EarlyEnergyShare(room, all));
    room.window = 0.1;
    room.max_order = er_room::MAX_ORDER;
    EXPECT_DOUBLE_EQ(er_room::EarlyEnergyShare(room, er_room::ImageSources(room)), 1.0);

    Room tiled = *er_room::FindNamedRoom("tiled");
    tiled = er_room::Windowed(tiled, 0.08);
    try {
        er_room::ImageSources(tiled);
        ADD_FAILURE() << "a pattern of more than 4096 taps was made";
    } catch (const er_room::RoomError& error) {
        EXPECT_NE(std::string(error.what()).find("5240 taps, more than the 4096"), std::string::npos) << error.what();
    }
}

// Each tap's line is the shortest "Max Delay(s)" that holds its delay: a tap of exactly a line's length takes that
// line, one sample more the next; a fractional tap reaches past its whole part, lines double above 48 kHz, and a
// tap beyond the longest line is refused. Its pins reach the delay asked for.
TEST(TapPins, EachTapTakesTheShortestLineThatHoldsIt) {
    struct Case {
        double samples;
        float rate;
        bool fractional;
        std::int16_t max_delay;  // -1: refused
    };
    const Case cases[] = {
        {256.0, 48000.0f, false, 11},
        {257.0, 48000.0f, false, 10},
        {255.5, 48000.0f, true, 11},
        {256.5, 48000.0f, true, 10},
        {4096.0, 48000.0f, false, 7},
        {4097.0, 48000.0f, false, 6},
        {512.0, 96000.0f, false, 11},
        {513.0, 96000.0f, false, 10},
        {524288.0, 48000.0f, false, 0},
        {524290.0, 48000.0f, false, -1},
    };
    for (const Case& c : cases) {
        er_room::Tap tap;
        tap.delay = c.samples / c.rate;
        tap.gain = 0.5;
        if (c.max_delay < 0) {
            EXPECT_THROW(er_room::PinsForTap(tap, c.rate, c.fractional), er_room::RoomError) << c.samples;
            continue;
        }
        const er_room::TapPins pins = er_room::PinsForTap(tap, c.rate, c.fractional);
        EXPECT_EQ(pins.max_delay, c.max_delay) << c.samples << " samples at " << c.rate << " Hz";
        EXPECT_NEAR(pins.samples, c.samples, c.fractional ? 1.0e-3 : 0.0) << c.samples;
    }
}

}  // namespace
