// The LV2 plug-in's instance: one module object driven through its record exactly as the modular host drives it,
// with the LV2 host's ports translated into pin values and pin changes.
//
// Threads (LV2's classes): Create, Activate, Deactivate and the destructor run in the instantiation class and
// may allocate; Run and ConnectPort in the audio class and never allocate, lock or do I/O; Work in the worker
// thread. A pin change that makes the module allocate or free its delay line ("Active", and "Max Delay(s)"
// while it is on) is handed to the worker: until the worker is done the module is not called and the output is
// silent. Without a worker such a change waits for the next Activate.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>

#include "Ports.h"
#include "SEAbi.h"

namespace er_lv2 {

inline constexpr const char* PLUGIN_URI = "urn:early-reflection:ZV_1x_ER_Gen";

inline constexpr std::int32_t DEFAULT_MAX_BLOCK = 4096;   // when the host announces no bufsz:maxBlockLength
inline constexpr std::int32_t LARGEST_MAX_BLOCK = 65536;  // a larger announcement gets buffers of this size
// The floating-point control the module runs under, whatever the host's thread has: round to nearest, every
// exception masked, no flush-to-zero (the state er-render and a fresh thread have). The module records it at
// open, so every instance records the same.
inline constexpr std::uint32_t MODULE_MXCSR = 0x1F80;

class Adapter {
public:
    // Null when the rate is unusable, the module's pins are not the ones the plug-in describes, or the module
    // gives no object.
    static Adapter* Create(double rate, const LV2_Feature* const* features);
    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    void ConnectPort(std::uint32_t port, void* data);  // audio class; any port, any pointer, null included
    void Activate();    // a fresh module object, every pin announced, "Active" last: the delay line is made here
    void Deactivate();  // the module object is closed, its memory freed
    void Run(std::uint32_t frames);
    LV2_Worker_Status Work(std::uint32_t size, const void* data);  // worker thread

    // For tests: the module's sample clock (samples it has processed since its object was made).
    std::uint32_t SampleClock() const { return m_clock; }

private:
    // The pin changes handed to the worker, in pin order.
    struct WorkRequest {
        std::uint32_t epoch;  // the module object they are for; a request for an older one is dropped
        std::int32_t count;
        std::int32_t pins[2];
        std::int16_t values[2];
    };

    Adapter(float rate, std::int32_t max_block, const LV2_Worker_Schedule* schedule,
            std::vector<PortDescription> ports);
    static se_answer SE_CDECL Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                       void* ptr, float opt);
    bool OpenModule();
    void CloseModule();
    void Announce();
    void SendChanges();
    bool Allocates(std::int32_t pin) const;
    float PortValue(std::int32_t pin) const;
    void SendChoice(std::int32_t pin, std::int16_t value);
    void SendFloat(std::int32_t pin, float value);
    void Notify(std::int32_t pin, std::int32_t status);
    void Process(std::uint32_t frames);

    const float m_rate;
    const std::int32_t m_max_block;
    const LV2_Worker_Schedule* const m_schedule;  // null: no worker
    const std::vector<PortDescription> m_ports;

    float* m_connections[PORT_COUNT] = {};             // the host's buffers; unconnected: null, a control m_defaults
    float m_defaults[PORT_COUNT] = {};                 // each control port's default
    std::vector<float> m_buffers[PORT_COUNT];          // the adapter's pin buffers, m_max_block samples each
    void* m_variables[PORT_COUNT] = {};                // the module's variable of each pin
    std::int16_t m_sent_choice[PORT_COUNT] = {};       // choice pins: the value the module has
    std::uint32_t m_sent_float[PORT_COUNT] = {};       // float pins: the bits of the float the module has
    std::uint32_t m_seen[PORT_COUNT] = {};             // the bits of each port's value when last dealt with

    SEModuleRecord* m_record = nullptr;
    SEProcessEntry m_process = nullptr;
    bool m_routine_changed = false;
    bool m_sleeping = false;        // the module asked to sleep: not called, its output silent, until a change
    std::uint32_t m_clock = 0;         // sample clock of the next sample
    std::uint32_t m_buffer_clock = 0;  // sample clock of element 0 of the pin buffers the module has

    std::atomic<std::uint32_t> m_epoch{0};
    std::atomic<bool> m_worker_owns{false};  // set by Run before it schedules work, cleared by Work when done
};

}  // namespace er_lv2
