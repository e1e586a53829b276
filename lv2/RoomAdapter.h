// The LV2 plug-in "Early Reflection Room": the early reflections of a room, one module instance per tap. Each
// tap is the mono plug-in's own adapter (Adapter.h), its controls set from the room's rule for a tap
// (room/TapPins.h), so that a tap's delay, level and damping reach the module through its pins exactly as they
// do in er-render --room: moved taps glide, fade or get a new line through the worker as the mono plug-in's
// controls do. The taps are summed per output channel in the room's order at working precision, then mixed with
// the dry input and rounded once. With smoothing a change of Dry or Wet ramps as the mono plug-in's gains do; without,
// it takes effect at the next run, sample for sample as er-render --room plays it.
//
// Threads: as the mono plug-in's. A change of the room's shape is worked out on the worker thread (the image
// sources allocate); without a worker it waits for the next activation, as a line change does.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>

#include "Adapter.h"
#include "Ports.h"
#include "Ramp.h"

namespace er_lv2 {

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
inline constexpr std::int32_t ROOM_PORT_COUNT = 11;

inline constexpr float ROOM_LEVEL_OFF = -70.0f;     // dry and wet at their minimum: silent
inline constexpr float ROOM_DEFAULT_PRESET = 2.0f;  // "studio", the named rooms' third

// Symbols are part of every saved session: never rename one.
inline constexpr PortRow ROOM_PORT_ROWS[ROOM_PORT_COUNT] = {
    {"audio_in", PortKind::AudioIn, RangeRule::None, "The source's signal (the direct sound).", nullptr},
    {"out_l", PortKind::AudioOut, RangeRule::None, "The left ear: the dry signal and the left reflections.", nullptr},
    {"out_r", PortKind::AudioOut, RangeRule::None, "The right ear: the dry signal and the right reflections.",
     nullptr},
    {"room", PortKind::Choice, RangeRule::Own,
     "The room: its size, its walls' absorption and dulling, where the source and the listener stand.", nullptr,
     ROOM_DEFAULT_PRESET, 0.0f, 5.0f, "Room"},
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
     "On: a change of the room moves its taps gliding and fading instead of clicking. Off: every change takes "
     "effect at once, sample for sample as the modules alone play it.",
     nullptr, 1.0f, 0.0f, 1.0f, "Smooth changes"},
};

// A control value as the room plug-in takes it: within the port's range (the room's index rounded to the
// nearest); none when not a number or infinite (the plug-in keeps the last value it took).
std::optional<float> RoomControlFor(std::int32_t port, float value);

class RoomAdapter {
public:
    // Null when the rate is unusable or a tap's adapter cannot be made.
    static RoomAdapter* Create(double rate, const LV2_Feature* const* features);
    ~RoomAdapter();
    RoomAdapter(const RoomAdapter&) = delete;
    RoomAdapter& operator=(const RoomAdapter&) = delete;

    void ConnectPort(std::uint32_t port, void* data);
    void Activate();
    void Deactivate();
    void Run(std::uint32_t frames);
    LV2_Worker_Status Work(std::uint32_t size, const void* data);  // worker thread

    std::int32_t Taps() const { return static_cast<std::int32_t>(m_taps.size()); }  // instances made
    std::int32_t Sounding() const { return m_sounding; }                            // the instances the current room sounds

    // One tap's values, as the room's rule gives them.
    struct TapValues {
        float time = 0.0f, volume = 0.0f, damping = 0.0f;
        float max_delay = 0.0f;
        bool sounding = false;  // the room has this tap; else it is silent
    };

private:
    struct Tap;
    struct WorkHeader;
    RoomAdapter(float rate, std::int32_t max_block);
    static LV2_Worker_Status ScheduleForTap(LV2_Worker_Schedule_Handle handle, std::uint32_t size, const void* data);
    bool Changed() const;
    void TakeControls();
    // The taps of the room `shape` (control values by port) describes; false when the model refuses it.
    bool Realise(const float* shape, std::vector<TapValues>& into, std::int32_t& count) const;
    void Apply();  // m_pending into the taps' controls

    const float m_rate;
    const std::int32_t m_max_block;
    const double m_fade_samples;                      // a change of Dry or Wet ramps over the mono plug-in's fade
    const LV2_Worker_Schedule* m_schedule = nullptr;  // the host's; null: no worker
    std::vector<std::unique_ptr<Tap>> m_taps;
    std::vector<double> m_sums[2];
    std::vector<float> m_silence;
    float* m_connections[ROOM_PORT_COUNT] = {};
    float m_defaults[ROOM_PORT_COUNT] = {};
    float m_taken[ROOM_PORT_COUNT] = {};
    float m_seen[ROOM_PORT_COUNT] = {};  // the shape controls' values when last worked out
    std::vector<TapValues> m_pending;    // written by the worker while m_state is WORKING
    std::int32_t m_pending_count = 0;
    std::int32_t m_sounding = 0;
    Ramp m_dry, m_wet;                     // the levels, as gains
    bool m_starting = true;                // the first run after Activate: its values are where the plug-in starts
    std::atomic<std::int32_t> m_state{0};  // IDLE, WORKING (the worker owns m_pending), READY (Run applies it)
};

}  // namespace er_lv2
