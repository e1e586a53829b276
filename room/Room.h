// The early reflections of a shoebox room by the image-source method: every mirror image of the source up to a
// reflection order gives a tap at each listening point, with its delay after the direct sound, its gain (spreading
// and the walls' reflection coefficients) and the low-pass its bounces leave. Plain C++ with no knowledge of the
// module: er-render and the LV2 plug-in turn the taps into module settings.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace er_room {

struct Vec3 {
    double x = 0.0, y = 0.0, z = 0.0;
};

// The six walls of the box: x is its width (left to right), y its length (front to back), z its height.
enum Wall : std::int32_t { LEFT,
                           RIGHT,
                           FRONT,
                           BACK,
                           FLOOR,
                           CEILING };
inline constexpr std::int32_t WALL_COUNT = 6;
inline constexpr std::array<std::string_view, WALL_COUNT> WALL_NAMES{"left", "right", "front", "back", "floor",
                                                                     "ceiling"};

struct Surface {
    double absorption = 0.1;  // share of the incident energy a bounce takes away, 0 .. 1 (broadband)
    double cutoff_hz = 0.0;   // -3 dB frequency of the low-pass one bounce leaves; 0: no dulling
};

inline constexpr double DEFAULT_SPEED_OF_SOUND = 343.0;  // m/s
inline constexpr std::int32_t MAX_ORDER = 12;            // the highest order a room may ask taps for

struct Room {
    std::string name;
    Vec3 size{5.0, 4.0, 2.5};    // metres
    Vec3 source{1.5, 1.2, 1.4};  // metres from the left, front and floor walls
    Vec3 listener{3.0, 2.8, 1.2};
    std::array<Surface, WALL_COUNT> walls{};
    double spacing = 0.2;  // metres between the two listening points (left and right); 0: one point, mono
    double speed_of_sound = DEFAULT_SPEED_OF_SOUND;
    std::int32_t max_order = 3;  // taps of orders 1 .. max_order
    std::string origin;          // where the numbers come from
};

// A room that cannot be modelled: a position outside the box, a size or absorption out of range, a bad file.
struct RoomError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The speed of sound in dry air at `celsius` degrees: 331.3 m/s x sqrt(1 + T / 273.15).
double SpeedOfSound(double celsius);

// Throws RoomError naming the first value out of range: a size not positive, a point not strictly inside the box,
// an absorption outside 0 .. 1, a negative cut-off, spacing or speed, an order outside 1 .. MAX_ORDER, and
// listening points outside the box.
void Validate(const Room& room);

// The room with every length (size, positions, spacing) times `scale`.
Room Scaled(const Room& room, double scale);
// The room with the distance between its two listening points times `factor` (0: one point, a mono pattern).
Room Widened(const Room& room, double factor);

// The listening points: one (mono) when the spacing is 0, else the left and the right one, `spacing` apart on the
// horizontal line through the listener square to the direction of the source (the listener faces the source).
std::vector<Vec3> ListeningPoints(const Room& room);

struct Tap {
    std::int32_t order = 0;                          // reflections on the way
    std::array<std::int32_t, WALL_COUNT> bounces{};  // reflections on each wall
    std::int32_t channel = 0;                        // listening point: 0 left (or mono), 1 right
    double delay = 0.0;                              // seconds after the direct sound reaches the nearer point
    double gain = 0.0;                               // linear, re the direct sound at the nearer point
    double cutoff_hz = 0.0;                          // -3 dB frequency of the combined low-pass; 0: none
    Vec3 image;                                      // the image source
    double distance = 0.0;                           // metres from the image to the listening point
};

struct Pattern {
    std::int32_t channels = 1;
    double direct_distance = 0.0;  // metres from the source to the nearer listening point
    std::vector<Tap> taps;         // by channel, then delay, then order, then bounces
};

// Every image of order 1 .. room.max_order (Validate first), at every listening point.
Pattern ImageSources(const Room& room);
// The same up to `max_order` at one point (the listener), for the decay estimate; no limit but time.
Pattern ImageSourcesAtListener(const Room& room, std::int32_t max_order);

// The combined low-pass of several bounces: the one-pole whose magnitude response bends down like their cascade
// at low frequencies (time constants add in squares, 1/f^2 = sum 1/f_i^2). 0 (none) for no dulling bounce.
double CombinedCutoff(const Room& room, const std::array<std::int32_t, WALL_COUNT>& bounces);

// The coefficient D of the one-pole low-pass y = (1 - D) x + D y[-1] whose -3 dB point lies at `cutoff_hz` at
// `rate`: D = b - sqrt(b^2 - 1) with b = 2 - cos(w). 0 for no cut-off or one at or above the Nyquist frequency's
// reach.
double OnePoleCoefficient(double cutoff_hz, double rate);

// Reverberation time (s) by Sabine's formula, 0.161 V / A, and by Eyring's, 0.161 V / (-S ln(1 - mean absorption)).
double SabineSeconds(const Room& room);
double EyringSeconds(const Room& room);
// The reverberation time read off the image sources themselves: the energy of the images at the listener in 5 ms
// windows, a straight line fitted to its level (dB) from `from` seconds up to the time all images of `max_order`
// cover, and 60 dB over that slope. The pattern of a shoebox decays at Eyring's rate where images cover time
// fully.
double PatternDecaySeconds(const Room& room, std::int32_t max_order = 40, double from = 0.02);

// The named rooms: name, one-line description and the room.
struct NamedRoom {
    std::string_view name;
    std::string_view description;
    Room room;
};
const std::vector<NamedRoom>& NamedRooms();
inline constexpr std::string_view DEFAULT_ROOM = "studio";
// The named room `name` (exact, lower case), or null.
const Room* FindNamedRoom(std::string_view name);

// A user's room from JSON text (schema in the README: size, source, listener, walls, spacing, speed_of_sound or
// temperature, max_order, name). Unknown keys are refused. Throws RoomError; the result is validated.
Room ParseRoomJson(std::string_view text, std::string_view origin);

}  // namespace er_room
