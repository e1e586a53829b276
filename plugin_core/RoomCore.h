// The room plug-in "Early Reflection Room", which every plug-in format wraps: the early reflections of a room through the room engine
// (room/RoomEngine.h), bit for bit what one module instance per tap plays and what er-render --room renders at the
// host's block. The reflections of each ear are summed at working precision, then mixed with the dry input and
// rounded once. With smoothing a change of Dry or Wet ramps as the mono plug-in's gains do, and a change of the room
// crossfades from the old room's reflections to the new one's over the same fade; without, both take effect at the
// next run.
//
// A new room starts with lines already full: its engine is primed with the input of the last second (kept here),
// so its reflections are there from the change on, not only once new input has travelled through them.
//
// Threads: a change of the room's shape is worked out on the worker thread (the image sources and the engine
// allocate), and the engine it replaces is freed there too. Without a worker it waits for the next activation,
// but for what a host sets between activate() and the first run, which that run works out.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Ports.h"
#include "Smoothing.h"
#include "Room.h"
#include "RoomEngine.h"
#include "WorkQueue.h"

namespace er_plugin {

inline constexpr const char* ROOM_URI = "urn:early-reflection:ZV_1x_ER_Gen_room";
inline constexpr const char* ROOM_NAME = "Early Reflection Room";

inline constexpr std::int32_t ROOM_IN = 0;
inline constexpr std::int32_t ROOM_OUT_L = 1;
inline constexpr std::int32_t ROOM_OUT_R = 2;
inline constexpr std::int32_t ROOM_PRESET = 3;
inline constexpr std::int32_t ROOM_SIZE = 4;
inline constexpr std::int32_t ROOM_WIDTH = 5;
inline constexpr std::int32_t ROOM_DISTANCE = 6;
inline constexpr std::int32_t ROOM_BRIGHTNESS = 7;
inline constexpr std::int32_t ROOM_DRY = 8;
inline constexpr std::int32_t ROOM_WET = 9;
inline constexpr std::int32_t ROOM_SMOOTH = 10;
inline constexpr std::int32_t ROOM_WINDOW = 11;  // added after the others: saved sessions know ports by symbol
inline constexpr std::int32_t ROOM_PORT_COUNT = 12;

inline constexpr float ROOM_LEVEL_OFF = -70.0f;  // dry and wet at their minimum: silent
// The named room the plug-in starts with: the model's default room.
inline const float ROOM_DEFAULT_PRESET = static_cast<float>(er_room::NamedRoomIndex(er_room::DEFAULT_ROOM));
inline const float ROOM_LAST_PRESET = static_cast<float>(er_room::NamedRooms().size() - 1);

// Symbols are part of every saved session: never rename one.
inline const PortRow ROOM_PORT_ROWS[ROOM_PORT_COUNT] = {
    {"audio_in", PortKind::AudioIn, RangeRule::None, "The source's signal (the direct sound).", nullptr,
     MODULE_DEFAULT, 0.0f, 0.0f, "Audio_In"},
    {"out_l", PortKind::AudioOut, RangeRule::None, "The left ear: the dry signal and the left reflections.", nullptr,
     MODULE_DEFAULT, 0.0f, 0.0f, "Out L"},
    {"out_r", PortKind::AudioOut, RangeRule::None, "The right ear: the dry signal and the right reflections.",
     nullptr, MODULE_DEFAULT, 0.0f, 0.0f, "Out R"},
    {"room", PortKind::Choice, RangeRule::Own,
     "The room: its size, its walls' absorption and dulling, where the source and the listener stand.", nullptr,
     ROOM_DEFAULT_PRESET, 0.0f, ROOM_LAST_PRESET, "Room"},
    {"size", PortKind::Float, RangeRule::Own,
     "Every length of the room times this: the reflections come later and weaker in a larger room.", nullptr, 1.0f,
     0.25f, 4.0f, "Size"},
    {"width", PortKind::Float, RangeRule::Own,
     "The distance between the two ears times this (1: the room's own); 0 gives both outputs the same, mono, "
     "reflections.",
     nullptr, 1.0f, 0.0f, 4.0f, "Width"},
    {"distance", PortKind::Float, RangeRule::Own,
     "The source's distance from the listener times this, along the same line (kept inside the room): a nearer "
     "source makes the reflections weaker against the direct sound.",
     nullptr, 1.0f, 0.25f, 2.0f, "Source distance"},
    {"brightness", PortKind::Float, RangeRule::Own,
     "Every wall's dulling frequency times this: below 1 the reflections are duller, above brighter.", nullptr,
     1.0f, 0.25f, 4.0f, "Brightness"},
    {"dry", PortKind::Float, RangeRule::Own, "The direct sound's level; -70 dB is off.", "units:db", 0.0f,
     ROOM_LEVEL_OFF, 6.0f, "Dry"},
    {"wet", PortKind::Float, RangeRule::Own,
     "The reflections' level; -70 dB is off. They add up louder than the direct sound in a live room.", "units:db",
     -12.0f, ROOM_LEVEL_OFF, 6.0f, "Wet"},
    {"smooth", PortKind::Switch, RangeRule::Own,
     "On: a change of the room crossfades from the old reflections to the new ones, and Dry and Wet ramp, instead "
     "of clicking. Off: every change takes effect at once.",
     nullptr, 1.0f, 0.0f, 1.0f, "Smooth changes"},
    {"window", PortKind::Float, RangeRule::Own,
     "0: the reflections of orders 1 to 3. Above 0: every reflection that arrives within this many milliseconds of "
     "the direct sound, up to order 12 (narrowed where a room would need more than 4096 taps).",
     "units:ms", 0.0f, 0.0f, 500.0f, "Window"},
};

// A control value as the room plug-in takes it: within the port's range (the room's index rounded to the
// nearest); none when not a number or infinite (the plug-in keeps the last value it took).
std::optional<float> RoomControlFor(std::int32_t port, float value);

// The room plug-in's ports as every format describes them: the rows above, the "Room" choice's entries the named
// rooms (values 0 to N - 1, in the model's order).
std::vector<PortDescription> RoomPortDescriptions();

class RoomCore {
public:
    // Null when the rate is unusable or the room cannot be made. `max_block` and `queue` as for EffectCore.
    static RoomCore* Create(double rate, std::int32_t max_block, WorkQueue* queue);
    ~RoomCore();
    RoomCore(const RoomCore&) = delete;
    RoomCore& operator=(const RoomCore&) = delete;

    void ConnectPort(std::uint32_t port, void* data);
    void Activate();
    void Deactivate();
    void Run(std::uint32_t frames);
    bool Work(std::uint32_t size, const void* data);  // worker thread: what the queue was given

    std::int32_t Taps() const;  // the taps of the room playing
    std::int32_t Sounding() const { return Taps(); }
    std::size_t MemoryBytes() const;

private:
    using Engine = er_room::RoomEngine;
    RoomCore(float rate, std::int32_t max_block);
    bool Changed() const;
    void TakeControls();
    // The engine of the room `shape` (control values by port) describes; null when the model refuses it or there is
    // no memory. Allocates.
    std::unique_ptr<Engine> Build(const float* shape) const;
    // Puts `next` in place, primed with the recent input; with `crossfade` the engine it replaces fades out.
    void Install(std::unique_ptr<Engine> next, bool crossfade);
    void Discard(std::unique_ptr<Engine> engine);         // into the worker's hands, or kept until it can take it
    void Remember(const float* in, std::uint32_t count);  // the input, for priming a new engine

    const float m_rate;
    const std::int32_t m_max_block;
    const double m_fade_samples;                      // Dry, Wet and a new room move over the mono plug-in's fade
    WorkQueue* m_queue = nullptr;                     // the format's; null: no worker
    std::unique_ptr<Engine> m_engine;                 // the room playing
    std::unique_ptr<Engine> m_fading;                 // the room it replaced, while it fades out
    std::unique_ptr<Engine> m_next;                   // written by the worker while m_state is WORKING
    std::unique_ptr<Engine> m_discarded[2];           // the worker frees them while m_freeing is set
    double m_crossfade = 1.0;                         // the new room's share while m_fading plays, 0 .. 1
    std::vector<double> m_sums[2], m_fading_sums[2];
    std::vector<float> m_heard;  // the last input, a ring whose length is a power of two
    std::size_t m_heard_at = 0;  // where the next sample goes
    std::vector<float> m_silence;
    std::vector<float> m_finite;  // a run's input with what is not finite taken as silence
    float* m_connections[ROOM_PORT_COUNT] = {};
    float m_defaults[ROOM_PORT_COUNT] = {};
    float m_taken[ROOM_PORT_COUNT] = {};
    float m_seen[ROOM_PORT_COUNT] = {};    // the shape controls' values when last worked out
    Ramp m_dry, m_wet;                     // the levels, as gains
    bool m_starting = true;                // the first run after Activate: its values are where the plug-in starts
    std::atomic<std::int32_t> m_state{0};  // IDLE, WORKING (the worker owns m_next), READY (Run installs it)
    std::atomic<bool> m_freeing{false};    // the worker owns m_discarded
};

}  // namespace er_plugin
