// The host's part of the binary interface, once: a module object as its host holds it. The substitute host
// (host/), er-render (through the substitute host) and the LV2 plug-in all drive their module objects through
// this class, so the record checks, the pin walk, the buffer addresses, the callback's answers, sleep and the
// refresh of the processing routine are written here and nowhere else.
//
// It never allocates, locks or throws: a plug-in calls it from the audio thread. Pin buffers belong to the
// caller; the object keeps only their addresses. What a host wants to hear beyond the answers (a call log,
// faults, status reports, observers around `process`) comes through an optional Listener.
#pragma once

#include <cstdint>
#include <cstring>

#include "SEAbi.h"

namespace host_core {

// No module has more pins than this; a walk that finds more keeps the first ones.
inline constexpr std::int32_t MAX_PINS = 64;
// A module that answers "more" forever would keep the description walk going; no real module has this many.
inline constexpr std::int32_t MAX_DESCRIPTIONS = 4096;

enum class Made : std::int32_t {
    Ok,
    NoRecord,   // makeModule gave no record
    BadRecord,  // wrong magic, version, or no dispatch entry: nothing in it can be trusted, not even its close
};

// Breaches of the interface the host noticed; the call is answered with 0 or skipped.
enum class Fault : std::int32_t {
    NoSuchPin,        // a callback named a pin outside 0 .. pin count - 1
    NotAFloatPin,     // HOST_GET_PIN_BUFFER for a pin without a buffer
    StatusInThePast,  // HOST_SET_PIN_STATUS for a clock already past
    NoProcessEntry,   // the record has no routine to call
    NoEventEntry,     // the record has no event entry
    ForeignRecord,    // a callback named another object's record
};

class Listener {
public:
    virtual void Called(std::int32_t /*opcode*/, std::int32_t /*index*/, std::int32_t /*value*/, void* /*ptr*/,
                        std::int32_t /*clock*/) {}
    virtual void StatusReported(std::int32_t /*pin*/, std::int32_t /*status*/, std::int32_t /*clock*/) {}
    // `clock`: the clock a status was reported for (StatusInThePast), else the current clock.
    virtual void Noticed(Fault /*fault*/, std::int32_t /*opcode*/, std::int32_t /*index*/, std::int32_t /*clock*/) {}
    virtual void BeforeProcess(std::int32_t /*start*/, std::int32_t /*count*/) {}
    virtual void AfterProcess(std::int32_t /*start*/, std::int32_t /*count*/) {}

protected:
    ~Listener() = default;
};

class HostedModule {
public:
    HostedModule() = default;
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;
    ~HostedModule() { Close(); }

    // makeModule(0, kind 1) with this object as the callback's host data. A module made before is closed first.
    Made Make(SEMakeModuleEntry make_module, Listener* listener = nullptr);
    bool Valid() const { return m_record != nullptr; }
    SEModuleRecord* Record() const { return m_record; }

    // Raw dispatch through the record; 0 when there is none. OP_CLOSE through here also forgets the record:
    // the object, its record and the pin variables are gone.
    se_answer Dispatch(std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    void Open(float sample_rate, std::int32_t block_size);  // OP_SET_SAMPLE_RATE, OP_SET_BLOCK_SIZE, OP_OPEN
    void Close() {
        if (m_record != nullptr) Dispatch(OP_CLOSE);
    }

    // ---- pins: numbered as the frame numbers them, one per description visible on the processing side ----
    // Walks the descriptions, keeping each visible pin's variable, direction and type; `visit(properties,
    // visible)` sees every description (null: none). Returns the number of visible pins (at most MAX_PINS).
    using Visit = void (*)(void* context, const SEPinProperties& properties, bool visible);
    std::int32_t Describe(Visit visit = nullptr, void* context = nullptr);
    // Pins the host built beyond (or fewer than) the descriptions: extra pins repeat the last pin's direction and
    // type with no variable when `repeat_last`, else the walk's pins are cut to `count`. HOST_GET_PIN_COUNT
    // answers `answer`, whatever the pins are.
    void SetPins(std::int32_t count, bool repeat_last, std::int32_t answer);
    std::int32_t Pins() const { return m_pin_count; }
    void* Variable(std::int32_t pin) const { return m_pins[pin].variable; }
    std::int32_t Datatype(std::int32_t pin) const { return m_pins[pin].datatype; }

    // The host's buffer of a float pin; its address is written into the pin's variable before every call of the
    // module and every event. The buffer must hold every sample a call can reach.
    void SetBuffer(std::int32_t pin, float* buffer) {
        PinSlot& slot = m_pins[pin];
        if (slot.buffer == buffer) return;  // a plug-in host mostly passes the same buffers run after run
        slot.buffer = buffer;
        if (!m_rewrite && slot.datatype == DT_FSAMPLE && slot.variable != nullptr) {
            std::memcpy(slot.variable, &buffer, sizeof buffer);
        }
    }
    // The modular host writes every buffer address before every call, whatever the module did to its variables;
    // a plug-in whose module leaves them alone writes an address only when it sets a buffer, which keeps the
    // cheapest calls cheap. Addresses are still all written before every event.
    void WriteAddressesOnlyWhenSet() {
        m_rewrite = false;
        UpdateNeedsPreparation();
    }
    float* Buffer(std::int32_t pin) const { return m_pins[pin].buffer; }
    // A choice pin's 16-bit value, written into its variable (the module reads it when told of the change).
    void WriteChoice(std::int32_t pin, std::int16_t value) {
        if (m_pins[pin].variable != nullptr) std::memcpy(m_pins[pin].variable, &value, sizeof value);
    }

    // ---- clocks: the sample the module is at, and the sample element 0 of every buffer holds ----
    void SetClocks(std::int32_t clock, std::int32_t buffer_clock) {
        m_clock = clock;
        m_buffer_clock = buffer_clock;
    }
    std::int32_t Clock() const { return m_clock; }

    // ---- events and processing ----
    // Delivers `event` stamped with the current clock; an event wakes a sleeping module. The buffer addresses
    // are written first: a handler may read its inputs at the current sample. False: the record has no event
    // entry (a fault) or the module is gone.
    bool Deliver(SETimedEvent event);
    // Processes `count` samples from element `start` of the buffers at clock buffer clock + start. A sleeping
    // module is not called; its output pins read silence there. False when nothing was processed.
    bool Process(std::int32_t start, std::int32_t count) {
        m_clock = static_cast<std::int32_t>(static_cast<std::uint32_t>(m_buffer_clock) +
                                            static_cast<std::uint32_t>(start));
        if (m_needs_preparation) return PrepareAndProcess(start, count);
        m_process(m_record->object, start, count);
        return true;
    }
    bool Sleeping() const { return m_sleeping; }
    // True when a call needs nothing but the call: awake, the routine current, no listener, addresses written
    // only when set. Then ProcessUnprepared is Process(0, count) at `clock` with every check already made.
    bool NeedsNoPreparation() const { return !m_needs_preparation; }
    void ProcessUnprepared(std::int32_t clock, std::int32_t count) {
        m_clock = m_buffer_clock = clock;
        m_process(m_record->object, 0, count);
    }

    // Every float pin's buffer address into its variable (null included: a buffer not given yet).
    void WriteBufferAddresses() {
        for (std::int32_t i = 0; i < m_float_pin_count; ++i) {
            PinSlot& pin = m_pins[m_float_pins[i]];
            std::memcpy(pin.variable, &pin.buffer, sizeof pin.buffer);
        }
    }

private:
    struct PinSlot {
        void* variable = nullptr;  // the effect's variable the host writes the value or buffer address into
        float* buffer = nullptr;
        std::int32_t direction = 0;
        std::int32_t datatype = 0;
    };

    static se_answer SE_CDECL Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                       void* ptr, float opt);
    se_answer Answer(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr);
    bool CheckPin(std::int32_t opcode, std::int32_t pin);
    bool PrepareAndProcess(std::int32_t start, std::int32_t count);
    // Whether a call needs more than the call itself; kept current wherever one of its reasons changes.
    void UpdateNeedsPreparation() {
        m_needs_preparation =
            m_sleeping || m_routine_changed || m_rewrite || m_listener != nullptr || m_process == nullptr;
    }
    void Silence(std::int32_t start, std::int32_t count);
    void ListFloatPins();
    void Notice(Fault fault, std::int32_t opcode, std::int32_t index) { Notice(fault, opcode, index, m_clock); }
    void Notice(Fault fault, std::int32_t opcode, std::int32_t index, std::int32_t clock) {
        if (m_listener != nullptr) m_listener->Noticed(fault, opcode, index, clock);
    }

    SEModuleRecord* m_record = nullptr;
    SEProcessEntry m_process = nullptr;  // taken from the record when made and after HOST_ROUTINE_CHANGED
    Listener* m_listener = nullptr;
    bool m_routine_changed = false;
    bool m_sleeping = false;
    bool m_rewrite = true;            // every buffer address before every call
    bool m_needs_preparation = true;  // UpdateNeedsPreparation()
    std::int32_t m_clock = 0;
    std::int32_t m_buffer_clock = 0;
    std::int32_t m_pin_count = 0;
    std::int32_t m_pin_count_answer = 0;
    PinSlot m_pins[MAX_PINS];
    // The pins whose variable takes a buffer address (DT_FSAMPLE with a variable): the only ones a call rewrites.
    std::int32_t m_float_pins[MAX_PINS] = {};
    std::int32_t m_float_pin_count = 0;
};

}  // namespace host_core
