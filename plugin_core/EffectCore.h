// The mono and stereo effect plug-ins' core, which every plug-in format (LV2, CLAP, VST3) wraps: one module object
// per channel, each driven through its record exactly as the modular host drives it, with the plug-in's ports
// translated into pin values and pin changes; the controls are shared, so every channel's module gets the same pin
// changes at the same sample. A port is a float the format connects once (a control it writes, a reading the core
// writes) or an audio buffer it connects for each run.
//
// Threads: Create, Activate, Deactivate and the destructor run in the format's instantiation thread and may
// allocate; Run and ConnectPort on the audio thread and never allocate, lock or do I/O; Work on the format's
// worker thread. A pin change that makes the module allocate or free its delay line ("Active", and "Max Delay(s)"
// while it is on) is handed to the worker: until the worker is done the modules are not called. Without a
// worker such a change waits for the next Activate. The values a host sets between Activate and its first Run
// are where it starts: taken at once, with no glide or fade; a host without a worker that changes the line there
// gets fresh modules in that first Run (the only run that allocates, and only then).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

#include "FloatControl.h"
#include "FloatScope.h"
#include "HostedModule.h"
#include "Ports.h"
#include "Smoothing.h"
#include "SEAbi.h"
#include "WorkQueue.h"

namespace er_plugin {

inline constexpr const char* PLUGIN_URI = VARIANTS[0].uri;

class EffectCore {
public:
    // Null when the rate is unusable, the module's pins are not the ones the plug-in describes, or the module
    // gives no object. `max_block` is the longest run the format announces (at most LARGEST_MAX_BLOCK are
    // buffered; longer runs are cut); `queue` takes the work that allocates, or is null: then a line change waits
    // for the next Activate.
    static EffectCore* Create(const Variant& variant, double rate, std::int32_t max_block, WorkQueue* queue);
    ~EffectCore();
    EffectCore(const EffectCore&) = delete;
    EffectCore& operator=(const EffectCore&) = delete;

    void ConnectPort(std::uint32_t port, void* data);              // audio class; any port, any pointer, null included
    void Activate();                                               // fresh module objects, every pin announced, "Active" last: the delay lines are made here
    void Deactivate();                                             // the module objects are closed, their memory freed
    void Run(std::uint32_t frames);                                // the usual run straight into the module; anything else RunGeneral
    // Run, for a caller that knows no control port was written since the last run (a format whose controls arrive
    // as events, none having come): the usual run without looking at the controls.
    void RunUntouched(std::uint32_t frames);
    bool Work(std::uint32_t size, const void* data);              // worker thread: what the queue was given

    // For tests: the modules' sample clock (samples they have processed since their objects were made).
    std::uint32_t SampleClock() const { return m_clock; }

private:
    // The pin changes handed to the worker, in pin order.
    struct WorkRequest {
        std::uint32_t epoch;  // the module objects they are for; a request for older ones is dropped
        std::int32_t count;
        std::int32_t pins[2];
        std::int16_t values[2];
    };

    // One module object and what the adapter keeps for it. The module object is held by the host core, which
    // answers its calls; a sleeping module is not called and its output reads silence until a change.
    struct Channel {
        std::int32_t index = 0;  // 0 left (or mono), 1 right
        host_core::HostedModule module;
        std::vector<float> own_in, own_out;  // stand-ins for an unconnected or overwritten host buffer
        std::vector<float> dry;              // the host's input while the output is mixed
    };

    EffectCore(const Variant& variant, float rate, std::int32_t max_block, WorkQueue* queue,
               std::vector<PortDescription> ports);
    bool OpenModule(Channel& channel);
    void CloseModules();
    void Announce();
    float PortValue(std::int32_t port) const;
    void Take(std::int32_t port);
    bool Smooth() const;
    bool Audible() const;
    bool Allocates(std::int32_t pin) const;
    bool LineDiffers() const;
    bool LineChangePending() const;
    bool NeedsSlowPath() const;
    void Update();
    void ScheduleLineChange();
    void LineMade();
    void SetGains();
    void SendAmount(std::int32_t pin);
    void StreamAmount(std::int32_t pin);
    void SendVolumeMode();
    void SendGate();
    void FireGate();
    bool AmountsMoving() const;
    bool Recursive() const;
    std::int16_t LineHoldingItsSeconds(std::int16_t entry) const;
    void SendTime();
    void EndGlide();
    void SendChoice(std::int32_t pin, std::int16_t value);
    void SendFloat(std::int32_t pin, float value, std::int32_t status);
    void Notify(std::int32_t pin, std::int32_t status);
    template <std::size_t N, std::size_t... I>
    std::uint32_t Changed(const std::array<std::int32_t, N>& ports, std::index_sequence<I...>) const;
    const float* PinSpan();
    std::uint32_t SpanChanged() const;
    template <bool LOOK_AT_CONTROLS>
    void RunUsual(std::uint32_t frames);
    void RunGeneral(std::uint32_t frames);
    void Silence(std::uint32_t frames);
    std::uint32_t RunSteady(std::uint32_t frames);
    template <std::int32_t C>
    std::uint32_t RunSteadyChannel(std::uint32_t frames);
    void Process(std::uint32_t frames);
    void ProcessChannel(Channel& channel, std::uint32_t frames, std::uint32_t done, std::uint32_t count);
    void ProcessSmoothed(std::uint32_t done, std::uint32_t count);
    void RunModule(Channel& channel, const float* in, float* out, std::uint32_t count);
    void Call(Channel& channel, const float* in, float* out, std::uint32_t count);
    void UpdateReadings();
    void WriteReadings();

    const Variant m_variant;
    const float m_rate;
    const std::int32_t m_max_block;
    WorkQueue* const m_queue;  // null: no worker
    const std::vector<PortDescription> m_ports;
    const double m_fade_samples;
    const double m_ramp_samples;

    Channel m_channels[MAX_CHANNELS];
    float* m_connections[PORT_COUNT] = {};       // the host's buffers; unconnected: null, a control m_defaults
    float m_defaults[PORT_COUNT] = {};           // each control port's default
    float m_readings[PORT_COUNT] = {};           // where an unconnected reading port is written
    std::vector<float> m_buffers[PIN_PORTS];     // the control pins' buffers, m_max_block samples each, shared
    float m_taken[PORT_COUNT] = {};              // each control port's value as the plug-in took it
    std::int16_t m_sent_choice[PIN_PORTS] = {};  // choice pins: the value the modules have
    std::uint32_t m_sent_float[PIN_PORTS] = {};  // float pins: the bits of the float the modules have
    std::uint32_t m_seen[PORT_COUNT] = {};       // the bits of each port's value when last dealt with

    // What the modules play, for the reading ports and the glide: the delay in samples, its line, the time pin
    // that gives it, and the time scale of the "Time Mode" the modules have.
    double m_delay = -1.0;  // negative: none yet
    std::int64_t m_line = 0;
    float m_time_pin = 0.0f;
    float m_time_scale = 0.0f;
    float m_reading_samples = 0.0f;  // what the reading ports show
    float m_reading_ms = 0.0f;

    // Smoothing. Gains on the modules' output (wet) and on the input copied to the output (dry: the bypass), the
    // gain on the modules' input after a new line, the mix of echo and input, the glide of the delay, and the
    // ramps of the level, feedback and damping amounts (in shown units, by pin; each streams while it moves).
    Ramp m_wet, m_dry, m_input, m_mix, m_glide;
    Ramp m_amounts[PIN_PORTS];
    bool m_streaming[PIN_PORTS] = {};
    bool m_gate_pending = false;  // a clear waits for the echo to fade out
    float m_gate_value = 0.0f;    // the gate pin's value it sends
    bool m_guard_input = false;   // feedback or damping is on: input that is not finite is taken as silence
    bool m_slow = false;  // something moves or waits: runs take the smoothed path
    // The last run called the mono module straight on the host's buffers, and nothing since (a connection, an
    // activation) can have changed that: a run of up to this many frames with no port changed may do the same
    // again at once (0: it may not; the bound keeps the buffers disjoint).
    std::uint32_t m_direct_frames = 0;
    const void* m_direct_thread = nullptr;  // the thread that run was on
    const float* m_span = nullptr;          // the pin ports as one stretch of the host's floats (PinSpan), or null
    alignas(16) std::uint32_t m_span_seen[16] = {};
    bool m_gliding = false;           // the modules run "Fraction(Full)" with a streaming time for the glide
    bool m_awaiting_worker = false;   // a line change was handed to the worker and not yet seen back
    bool m_starting = false;          // from activate() to the end of the first run's look at the controls

    std::uint32_t m_clock = 0;         // sample clock of the next sample
    std::uint32_t m_buffer_clock = 0;  // sample clock of element 0 of the pin buffers the modules have

    std::atomic<std::uint32_t> m_epoch{0};
    std::atomic<bool> m_worker_owns{false};  // set by Run before it schedules work, cleared by Work when done
    bool m_modules_on = false;               // the modules have been switched on (their lines exist)
};

}  // namespace er_plugin
