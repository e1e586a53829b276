// The substitute host: drives a module library exactly as the modular host does, through its two exports and
// the records they hand out, never through the module's C++ classes. Tests, tools and benchmarks all use it.
//
// Model: the host owns one float buffer of `block_size` samples per DT_FSAMPLE pin. Before every `process` call
// it writes each buffer's address into the pin's variable (from the pin description). A block is processed by
// Process(count): the block is cut into stretches at the offsets of queued events; each event is delivered when
// the sample clock reaches it (choice values written into their variable first), then the next stretch runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../se_sdk2/SEAbi.h"
#include "HostedModule.h"

namespace er_host {

// A loaded module library (dlopen / LoadLibrary), or a pair of entry points given directly (in-process tests).
class Library {
public:
    // Loads `path` and resolves getModuleProperties and makeModule by name. Null with `error` set on failure.
    static std::unique_ptr<Library> Load(const std::string& path, std::string& error);
    // Wraps two entry points of this process (no library is loaded or unloaded).
    static std::unique_ptr<Library> FromEntries(SEGetModulePropertiesEntry get_properties,
                                                SEMakeModuleEntry make_module);
    // The early_reflection library beside the running executable (early_reflection.so / .dll).
    static std::string DefaultModulePath();

    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    std::int32_t GetModuleProperties(std::int32_t index, SEModuleIdentity* identity) const;
    void* MakeModule(std::int32_t index, std::int32_t kind, SEHostCallback callback, void* host_data) const;
    // The makeModule entry itself (null if none), for host_core::HostedModule::Make.
    SEMakeModuleEntry MakeModuleEntry() const { return m_make_module; }

private:
    Library() = default;
    void* m_handle = nullptr;  // null for FromEntries
    SEGetModulePropertiesEntry m_get_properties = nullptr;
    SEMakeModuleEntry m_make_module = nullptr;
};

// A pin as the module describes it (OP_GET_PIN_PROPERTIES), texts copied.
struct PinDescription {
    std::int32_t index = 0;
    std::string name;
    std::int32_t direction = 0;
    std::int32_t datatype = 0;
    bool has_default = false;
    std::string default_value;
    bool has_extra = false;
    std::string extra_text;
    std::int32_t flags = 0;
    void* variable = nullptr;  // the effect's variable the host writes the value into
};

// One call the module made into the host.
struct HostCall {
    std::int32_t opcode;
    std::int32_t index;
    std::int32_t value;
    std::intptr_t ptr;
    std::int32_t clock;  // the host's sample clock when the call came
};

// An output pin status the module reported (HOST_SET_PIN_STATUS).
struct StatusReport {
    std::int32_t pin;
    std::int32_t status;
    std::int32_t clock;  // the sample clock the module named
};

struct InstanceOptions {
    float sample_rate = 48000.0f;
    std::int32_t block_size = 512;  // length of every pin buffer; Process never takes more
    std::int32_t pin_count = -1;    // HOST_GET_PIN_COUNT answer; -1: as many as the module describes
    std::int32_t start_clock = 0;   // sample clock of the first sample
    bool open = true;               // send OP_SET_SAMPLE_RATE, OP_SET_BLOCK_SIZE and OP_OPEN on creation
    bool record_calls = true;       // keep every host call in Calls(); long renders turn it off
    bool echo_errors = true;        // also write each entry of Errors() to stderr as it happens
};

// One processing object of a library, with the host's side of its pins. The binary interface itself is played
// by host_core::HostedModule; this class adds what tests and tools want on top: pin texts, buffers it owns,
// an event queue cut into stretches, a call log and a list of faults.
class Instance : private host_core::Listener {
public:
    // makeModule(0, kind 1); describes the pins; allocates the buffers; opens unless options.open is false.
    // Check Valid() afterwards: a library that returns no record gives an invalid instance.
    Instance(const Library& library, const InstanceOptions& options = {});
    ~Instance();  // OP_CLOSE if still open
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    bool Valid() const { return m_module.Valid(); }
    SEModuleRecord* Record() const { return m_module.Record(); }
    // The host data this host gave makeModule; the module hands it back in its record, uninterpreted.
    const void* HostData() const { return &m_module; }
    const InstanceOptions& Options() const { return m_options; }

    // Raw dispatch through the record. OP_CLOSE through here also forgets the record.
    se_answer Dispatch(std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    void Open();   // OP_SET_SAMPLE_RATE, OP_SET_BLOCK_SIZE, OP_OPEN
    void Close();  // OP_CLOSE; the instance is invalid afterwards

    // ---- pins ----
    const std::vector<PinDescription>& Pins() const { return m_pins; }
    // Index of the pin with exactly this name, or -1.
    std::int32_t FindPin(const std::string& name) const;
    // The host's buffer of a DT_FSAMPLE pin (block_size samples; contents persist across blocks, zero at first).
    float* Buffer(std::int32_t pin);
    const float* Buffer(std::int32_t pin) const;
    // Fills a float pin's buffer from `from` to the end of the block.
    void Fill(std::int32_t pin, float value, std::int32_t from = 0);

    // ---- events for the next Process call; `offset` counts samples from that block's start ----
    // Status change of any pin (EV_PIN_STATUS).
    void PostStatus(std::int32_t pin, std::int32_t status, std::int32_t offset = 0);
    // A new choice for a DT_LIST pin: the 16-bit value is written into its variable, then the status event.
    void PostChoice(std::int32_t pin, std::int16_t value, std::int32_t offset = 0,
                    std::int32_t status = PS_CHANGED);
    // A new constant for a float pin: fills the buffer from `offset` on now, then a PS_CHANGED status event.
    // The pin then holds that value in later blocks (filled again when it arrives and at every block start)
    // until Fill or PostStatus takes the pin over; writes through Buffer() to a held pin are overwritten.
    void PostFloat(std::int32_t pin, float value, std::int32_t offset = 0);
    // Any event, passed on as given except its time stamp (block clock + offset).
    void PostEvent(std::int32_t event_type, std::int32_t value, std::int32_t value2, std::intptr_t ptr,
                   std::int32_t offset = 0);

    // Runs one block of `count` samples (1 to block_size): stretches between events, each event delivered when
    // the clock reaches it; events at or beyond `count` stay queued for the next block (offset - count).
    // While the module sleeps (HOST_SLEEP) no stretch is processed and its output pins read silence, until an
    // event for it is delivered.
    void Process(std::int32_t count);

    // ---- what the host saw ----
    std::int32_t SampleClock() const { return m_clock; }
    bool Sleeping() const { return m_module.Sleeping(); }
    const std::vector<StatusReport>& StatusReports() const { return m_status_reports; }
    // The last status reported for `pin`, or -1 if none.
    std::int32_t LastStatus(std::int32_t pin) const;
    const std::vector<HostCall>& Calls() const { return m_calls; }
    void ClearCalls() { m_calls.clear(); }
    std::int32_t CountCalls(std::int32_t opcode) const;
    std::int64_t ProcessCalls() const { return m_process_calls; }
    // Every fault the host noticed and ignored, oldest first: bad input from its caller (pin index, offset,
    // count out of range, use after close) and contract breaches of the module (bad pin index in a callback, a
    // status reported for a clock already past, no process entry). Empty while all is well.
    const std::vector<std::string>& Errors() const { return m_errors; }

    // Observers around every `process` call (start, count), e.g. for canaries and floating-point checks.
    std::function<void(std::int32_t start, std::int32_t count)> before_process;
    std::function<void(std::int32_t start, std::int32_t count)> after_process;

private:
    struct Pending {
        std::int32_t offset;
        std::int64_t order;
        SETimedEvent event;
        bool write_choice;
        std::int16_t choice;
        std::int32_t pin = -1;  // the pin whose variable or buffer the event writes, if any
        bool fill = false;      // PostFloat: the buffer holds fill_value from the event on
        float fill_value = 0.0f;
    };
    // host_core::Listener
    void Called(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, std::int32_t clock) override;
    void StatusReported(std::int32_t pin, std::int32_t status, std::int32_t clock) override;
    void Noticed(host_core::Fault fault, std::int32_t opcode, std::int32_t index, std::int32_t clock) override;
    void BeforeProcess(std::int32_t start, std::int32_t count) override;
    void AfterProcess(std::int32_t start, std::int32_t count) override;

    void Describe();
    void Deliver(Pending& pending);
    void RunStretch(std::int32_t start, std::int32_t count);
    void FillFrom(std::int32_t pin, float value, std::int32_t from);
    bool CheckPin(const char* where, std::int32_t pin);
    void Queue(Pending pending);
    void Error(const std::string& message);

    const Library& m_library;
    InstanceOptions m_options;
    host_core::HostedModule m_module;
    std::vector<PinDescription> m_pins;
    std::vector<std::vector<float>> m_buffers;  // one per pin; empty for pins that are not DT_FSAMPLE
    std::vector<Pending> m_pending;
    std::vector<Pending> m_due;  // the block being processed: kept to reuse its memory
    std::int64_t m_order = 0;
    std::int32_t m_clock = 0;        // sample clock of the current position
    std::int32_t m_block_clock = 0;  // sample clock of element 0 of the buffers
    std::vector<StatusReport> m_status_reports;
    std::vector<HostCall> m_calls;
    std::int64_t m_process_calls = 0;
    std::vector<std::string> m_errors;
    std::vector<std::optional<float>> m_held;  // per pin: the constant PostFloat set, until the caller takes over
    // Per pin: the held value may not fill the whole buffer (it arrived mid-block, the caller was given the
    // buffer, or the module writes it), so the next block starts by filling it again.
    std::vector<char> m_stale;
};

}  // namespace er_host
