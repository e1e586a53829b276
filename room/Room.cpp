#include "Room.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <tuple>

namespace er_room {

namespace {

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

double Axis(const Vec3& v, int axis) {
    return axis == 0 ? v.x : axis == 1 ? v.y
                                       : v.z;
}

double Distance(const Vec3& a, const Vec3& b) {
    return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z);
}

bool Inside(const Room& room, const Vec3& point) {
    for (int axis = 0; axis < 3; ++axis) {
        const double v = Axis(point, axis);
        if (!(v > 0.0 && v < Axis(room.size, axis))) return false;
    }
    return true;
}

// Along one axis of length `length`, the image of coordinate `s` in cell `n` with mirror parity `p`:
// (1 - 2p) s + 2 n length, having met the low wall |n - p| times and the high wall |n| times.
struct AxisImage {
    double coordinate;
    std::int32_t low, high;
};

std::vector<AxisImage> AxisImages(double s, double length, std::int32_t max_order) {
    std::vector<AxisImage> images;
    for (std::int32_t n = -max_order; n <= max_order; ++n) {
        for (std::int32_t p = 0; p <= 1; ++p) {
            const std::int32_t low = std::abs(n - p), high = std::abs(n);
            if (low + high > max_order) continue;
            images.push_back({(1 - 2 * p) * s + 2.0 * n * length, low, high});
        }
    }
    return images;
}

double Reflection(const Surface& surface) {
    return std::sqrt(1.0 - surface.absorption);  // pressure: the square root of the energy that stays
}

// Every image of orders 1 .. max_order, heard at `points`, delays and gains re `reference` metres.
Pattern Images(const Room& room, const std::vector<Vec3>& points, std::int32_t max_order) {
    Pattern pattern;
    pattern.channels = static_cast<std::int32_t>(points.size());
    double reference = Distance(room.source, points.front());
    for (const Vec3& point : points) reference = std::min(reference, Distance(room.source, point));
    pattern.direct_distance = reference;

    const auto xs = AxisImages(room.source.x, room.size.x, max_order);
    const auto ys = AxisImages(room.source.y, room.size.y, max_order);
    const auto zs = AxisImages(room.source.z, room.size.z, max_order);
    std::array<double, WALL_COUNT> reflection{};
    for (int wall = 0; wall < WALL_COUNT; ++wall) reflection[wall] = Reflection(room.walls[wall]);

    for (const AxisImage& x : xs) {
        for (const AxisImage& y : ys) {
            const std::int32_t xy = x.low + x.high + y.low + y.high;
            if (xy > max_order) continue;
            for (const AxisImage& z : zs) {
                const std::int32_t order = xy + z.low + z.high;
                if (order == 0 || order > max_order) continue;
                Tap tap;
                tap.order = order;
                tap.bounces = {x.low, x.high, y.low, y.high, z.low, z.high};
                tap.image = {x.coordinate, y.coordinate, z.coordinate};
                double walls_gain = 1.0;
                for (int wall = 0; wall < WALL_COUNT; ++wall) {
                    walls_gain *= std::pow(reflection[wall], tap.bounces[wall]);
                }
                tap.cutoff_hz = CombinedCutoff(room, tap.bounces);
                for (std::int32_t channel = 0; channel < pattern.channels; ++channel) {
                    tap.channel = channel;
                    tap.distance = Distance(tap.image, points[channel]);
                    tap.delay = (tap.distance - reference) / room.speed_of_sound;
                    tap.gain = walls_gain * reference / tap.distance;
                    pattern.taps.push_back(tap);
                }
            }
        }
    }
    std::sort(pattern.taps.begin(), pattern.taps.end(), [](const Tap& a, const Tap& b) {
        return std::tie(a.channel, a.delay, a.order, a.bounces) < std::tie(b.channel, b.delay, b.order, b.bounces);
    });
    return pattern;
}

}  // namespace

double SpeedOfSound(double celsius) {
    return 331.3 * std::sqrt(1.0 + celsius / 273.15);
}

std::string Problem(const Room& room) {
    for (int axis = 0; axis < 3; ++axis) {
        const double length = Axis(room.size, axis);
        if (!(length > 0.0 && length < 1000.0)) return "each size must lie above 0 and below 1000 m";
    }
    if (!Inside(room, room.source)) return "the source must lie inside the room, off every wall";
    if (!Inside(room, room.listener)) return "the listener must lie inside the room, off every wall";
    for (int wall = 0; wall < WALL_COUNT; ++wall) {
        const Surface& surface = room.walls[wall];
        const std::string what = std::string("the ") + std::string(WALL_NAMES[wall]) + " wall's ";
        if (!(surface.absorption >= 0.0 && surface.absorption <= 1.0)) return what + "absorption must lie in 0 .. 1";
        if (!(surface.cutoff_hz >= 0.0 && std::isfinite(surface.cutoff_hz))) return what + "cut-off must be 0 or more";
    }
    if (!(room.spacing >= 0.0 && std::isfinite(room.spacing))) return "the spacing must be 0 or more";
    if (!(room.speed_of_sound >= MIN_SPEED_OF_SOUND && room.speed_of_sound <= MAX_SPEED_OF_SOUND)) {
        return "the speed of sound must lie in " + Number(MIN_SPEED_OF_SOUND) + " .. " + Number(MAX_SPEED_OF_SOUND) +
               " m/s, not " + Number(room.speed_of_sound);
    }
    if (room.max_order < 1 || room.max_order > MAX_ORDER) {
        return "the reflection order must lie in 1 .. " + std::to_string(MAX_ORDER);
    }
    if (!(room.window >= 0.0 && room.window <= MAX_WINDOW)) {
        return "the window must lie in 0 .. " + Number(MAX_WINDOW * 1000.0) + " ms, not " + Number(room.window * 1000.0) +
               " ms";
    }
    if (Distance(room.source, room.listener) == 0.0) return "the source and the listener must not coincide";
    for (const Vec3& point : ListeningPoints(room)) {
        if (!Inside(room, point)) return "a listening point lies outside the room (spacing " + Number(room.spacing) + " m)";
        if (Distance(room.source, point) == 0.0) return "a listening point coincides with the source";
    }
    return {};
}

void Validate(const Room& room) {
    const std::string problem = Problem(room);
    if (problem.empty()) return;
    throw RoomError((room.name.empty() ? "the room" : "room \"" + room.name + "\"") + ": " + problem);
}

Room Scaled(const Room& room, double scale) {
    Room scaled = room;
    auto times = [scale](Vec3 v) { return Vec3{v.x * scale, v.y * scale, v.z * scale}; };
    scaled.size = times(room.size);
    scaled.source = times(room.source);
    scaled.listener = times(room.listener);
    scaled.spacing = room.spacing * scale;
    return scaled;
}

Room Widened(const Room& room, double factor) {
    Room widened = room;
    widened.spacing = room.spacing * factor;
    return widened;
}

Room Windowed(const Room& room, double window) {
    Room windowed = room;
    if (room.window == 0.0 && window > 0.0) windowed.max_order = MAX_ORDER;
    windowed.window = window;
    return windowed;
}

std::vector<Vec3> ListeningPoints(const Room& room) {
    if (room.spacing == 0.0) return {room.listener};
    // Facing the source on the horizontal plane; straight ahead along +y when the source is right above.
    double fx = room.source.x - room.listener.x, fy = room.source.y - room.listener.y;
    const double length = std::hypot(fx, fy);
    if (length == 0.0) {
        fx = 0.0;
        fy = 1.0;
    } else {
        fx /= length;
        fy /= length;
    }
    const double half = room.spacing / 2.0;
    const Vec3 left_of_facing{-fy, fx, 0.0};
    const Vec3& l = room.listener;
    return {{l.x + half * left_of_facing.x, l.y + half * left_of_facing.y, l.z},
            {l.x - half * left_of_facing.x, l.y - half * left_of_facing.y, l.z}};
}

double CombinedCutoff(const Room& room, const std::array<std::int32_t, WALL_COUNT>& bounces) {
    double sum = 0.0;
    for (int wall = 0; wall < WALL_COUNT; ++wall) {
        const double cutoff = room.walls[wall].cutoff_hz;
        if (cutoff > 0.0) sum += bounces[wall] / (cutoff * cutoff);
    }
    return sum > 0.0 ? 1.0 / std::sqrt(sum) : 0.0;
}

double OnePoleCoefficient(double cutoff_hz, double rate) {
    if (!(cutoff_hz > 0.0)) return 0.0;
    const double w = 2.0 * std::numbers::pi * std::min(cutoff_hz / rate, 0.5);
    const double b = 2.0 - std::cos(w);
    return b - std::sqrt(b * b - 1.0);
}

Pattern ImageSources(const Room& room) {
    Validate(room);
    Pattern pattern = Images(room, ListeningPoints(room), room.max_order);
    if (room.window > 0.0) {
        std::erase_if(pattern.taps, [&](const Tap& tap) { return tap.delay > room.window; });
    }
    if (pattern.taps.size() > MAX_TAPS) {
        const std::string by = room.window > 0.0 ? "a window of " + Number(room.window * 1000.0) + " ms up to order " +
                                                       std::to_string(room.max_order)
                                                 : "order " + std::to_string(room.max_order);
        throw RoomError((room.name.empty() ? "the room" : "room \"" + room.name + "\"") + ": " + by + " gives " +
                        std::to_string(pattern.taps.size()) + " taps, more than the " + std::to_string(MAX_TAPS) +
                        " a pattern may hold: shorten the window or lower the order");
    }
    return pattern;
}

double EarlyEnergyShare(const Room& room, const Pattern& pattern) {
    const Pattern all = Images(room, ListeningPoints(room), MAX_ORDER);
    auto early = [](const Pattern& taps) {
        double energy = 0.0;
        for (const Tap& tap : taps.taps) {
            if (tap.delay <= EARLY_ENERGY_SECONDS) energy += tap.gain * tap.gain;
        }
        return energy;
    };
    const double total = early(all);
    return total > 0.0 ? std::min(1.0, early(pattern) / total) : 1.0;
}

Pattern ImageSourcesAtListener(const Room& room, std::int32_t max_order) {
    return Images(room, {room.listener}, max_order);
}

namespace {

double Volume(const Room& room) {
    return room.size.x * room.size.y * room.size.z;
}

std::array<double, WALL_COUNT> WallAreas(const Room& room) {
    const Vec3& s = room.size;
    return {s.y * s.z, s.y * s.z, s.x * s.z, s.x * s.z, s.x * s.y, s.x * s.y};
}

}  // namespace

double SabineSeconds(const Room& room) {
    const auto areas = WallAreas(room);
    double absorption = 0.0;
    for (int wall = 0; wall < WALL_COUNT; ++wall) absorption += areas[wall] * room.walls[wall].absorption;
    return 0.161 * Volume(room) / absorption;
}

double EyringSeconds(const Room& room) {
    const auto areas = WallAreas(room);
    double surface = 0.0, absorption = 0.0;
    for (int wall = 0; wall < WALL_COUNT; ++wall) {
        surface += areas[wall];
        absorption += areas[wall] * room.walls[wall].absorption;
    }
    return 0.161 * Volume(room) / (-surface * std::log(1.0 - absorption / surface));
}

double PatternDecaySeconds(const Room& room, std::int32_t max_order, double from) {
    constexpr double WINDOW = 0.005;
    const Pattern pattern = ImageSourcesAtListener(room, max_order);
    // Every image nearer than max_order shortest lengths / sqrt(3) is there (an image's order is at most the sum of
    // its offsets in cells, which is at most sqrt(3) times its distance over the shortest length); beyond that the
    // count thins out.
    const double shortest = std::min({room.size.x, room.size.y, room.size.z});
    const double covered = (max_order * shortest / std::sqrt(3.0) - pattern.direct_distance) / room.speed_of_sound;
    const auto windows = static_cast<std::size_t>(covered / WINDOW);
    std::vector<double> energy(windows, 0.0);
    for (const Tap& tap : pattern.taps) {
        const auto window = static_cast<std::size_t>(tap.delay / WINDOW);
        if (window < windows) energy[window] += tap.gain * tap.gain;
    }
    double n = 0.0, st = 0.0, sl = 0.0, stt = 0.0, stl = 0.0;
    for (std::size_t i = 0; i < windows; ++i) {
        const double t = (static_cast<double>(i) + 0.5) * WINDOW;
        if (t < from || energy[i] <= 0.0) continue;
        const double level = 10.0 * std::log10(energy[i]);
        n += 1.0;
        st += t;
        sl += level;
        stt += t * t;
        stl += t * level;
    }
    const double slope = (n * stl - st * sl) / (n * stt - st * st);  // dB per second
    return -60.0 / slope;
}

}  // namespace er_room
