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
// Sound in air from -100 to +300 degrees Celsius travels at 250 to 390 m/s, in water at about 1480, in steel at
// about 5900: a speed far outside these is a slip (a temperature given as a speed, m/s given as km/s).
inline constexpr double MIN_SPEED_OF_SOUND = 100.0, MAX_SPEED_OF_SOUND = 6000.0;
inline constexpr double MIN_CELSIUS = -100.0, MAX_CELSIUS = 300.0;
inline constexpr std::int32_t MAX_ORDER = 12;  // the highest order a room may ask taps for
// Patterns by time: every image that arrives at most this long after the direct sound, 0 for none (by order
// alone); a window lifts the order to MAX_ORDER unless the room says otherwise, keeping the order as a cap.
inline constexpr double MAX_WINDOW = 0.5;      // seconds: early reflections, not a reverberation's tail
inline constexpr std::size_t MAX_TAPS = 4096;  // every channel's together: about 2 us a frame of the engine
// The share of the early energy a pattern holds is taken over this long after the direct sound, against every
// image up to MAX_ORDER.
inline constexpr double EARLY_ENERGY_SECONDS = 0.080;

struct Room {
    std::string name;
    Vec3 size{5.0, 4.0, 2.5};    // metres
    Vec3 source{1.5, 1.2, 1.4};  // metres from the left, front and floor walls
    Vec3 listener{3.0, 2.8, 1.2};
    std::array<Surface, WALL_COUNT> walls{};
    double spacing = 0.2;  // metres between the two listening points (left and right); 0: one point, mono
    double speed_of_sound = DEFAULT_SPEED_OF_SOUND;
    std::int32_t max_order = 3;  // taps of orders 1 .. max_order
    double window = 0.0;         // seconds: only the taps that arrive this soon after the direct sound; 0: all
    std::string origin;          // where the numbers come from
};

// A room that cannot be modelled: a position outside the box, a size or absorption out of range, a bad file.
struct RoomError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The speed of sound in dry air at `celsius` degrees: 331.3 m/s x sqrt(1 + T / 273.15).
double SpeedOfSound(double celsius);

// The first value out of range, as a phrase ("the source must lie inside the room, off every wall"), or empty: a
// size not positive or 1000 m or more, a point not strictly inside the box, an absorption outside 0 .. 1, a
// negative cut-off or spacing, a speed of sound outside MIN_SPEED_OF_SOUND .. MAX_SPEED_OF_SOUND, an order outside
// 1 .. MAX_ORDER, a window outside 0 .. MAX_WINDOW, listening points outside the box.
std::string Problem(const Room& room);
// Throws RoomError with Problem, after the room's name.
void Validate(const Room& room);

// The room with every length (size, positions, spacing) times `scale`.
Room Scaled(const Room& room, double scale);
// The room with the distance between its two listening points times `factor` (0: one point, a mono pattern).
Room Widened(const Room& room, double factor);
// The room's pattern by time: every image within `window` seconds of the direct sound (0: by order alone). A room
// that had no window gets MAX_ORDER as its cap; one that had a window keeps its order.
Room Windowed(const Room& room, double window);

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

// Every image of order 1 .. room.max_order (Validate first), at every listening point, within the room's window if
// it has one. Throws RoomError for a room Validate refuses and for a pattern of more than MAX_TAPS taps.
Pattern ImageSources(const Room& room);

// The share of the energy arriving within EARLY_ENERGY_SECONDS of the direct sound, from every image up to
// MAX_ORDER at the same listening points, that `pattern` (the room's) holds: 0 .. 1.
double EarlyEnergyShare(const Room& room, const Pattern& pattern);
// The same up to `max_order` at one point (the listener), for the decay estimate; no limit but time.
Pattern ImageSourcesAtListener(const Room& room, std::int32_t max_order);

// The combined low-pass of several bounces: the one-pole whose magnitude response bends down like their cascade
// at low frequencies (time constants add in squares, 1/f^2 = sum 1/f_i^2). 0 (none) for no dulling bounce.
double CombinedCutoff(const Room& room, const std::array<std::int32_t, WALL_COUNT>& bounces);

// The coefficient D of the one-pole low-pass y = (1 - D) x + D y[-1] whose -3 dB point lies at `cutoff_hz` at
// `rate`: D = b - sqrt(b^2 - 1) with b = 2 - cos(w). 0 for no cut-off. A cut-off at or above the Nyquist frequency
// is taken at the Nyquist frequency, the brightest a one-pole can be (D = 3 - 2 sqrt(2), about 0.17): a wall that
// dulls at all dulls at least that much at any rate.
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
// Its place in NamedRooms(); the number of named rooms for a name that is none.
std::size_t NamedRoomIndex(std::string_view name);

// A user's room from JSON text (schema in docs/rooms.md: size, source, listener, walls, spacing, speed_of_sound or
// temperature, max_order, window, name). Unknown keys are refused. Throws RoomError naming `origin`; the result is
// validated.
Room ParseRoomJson(std::string_view text, std::string_view origin);

}  // namespace er_room
