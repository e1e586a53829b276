// Base of a module's processing object: owns the host record, turns opcodes and events into virtual
// operations, calls back into the host, keeps the pins and the installed processing routine. It has no audio
// behaviour of its own; the effect derives from it and never sees an opcode number.
#pragma once

#include <cstdint>

#include "SEAbi.h"

class SEPin;

class SEModule_base {
public:
    // Builds the record (magic, version, host_data, object, the dispatch and event forwarders) and installs the
    // empty routine. `host_callback` may be null: every host call then answers 0.
    SEModule_base(SEHostCallback host_callback, void* host_data);
    virtual ~SEModule_base();  // destroys the pins

    SEModule_base(const SEModule_base&) = delete;
    SEModule_base& operator=(const SEModule_base&) = delete;

    // ---- virtual operations, in slot order ----
    virtual void OnPinChange(SEPin* pin);       // a pin's status changed; default: nothing
    virtual void HandleEvent(SETimedEvent* e);  // record `event`
    virtual se_answer Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                               float opt);                                                       // record `dispatch`
    virtual std::int32_t Open();                                                                 // OP_OPEN: builds the pins; returns 0
    virtual void Close();                                                                        // OP_CLOSE, before destruction; default: nothing
    virtual void SetSampleRate(float rate);                                                      // OP_SET_SAMPLE_RATE
    virtual void SetBlockSize(std::int32_t samples);                                             // OP_SET_BLOCK_SIZE
    virtual float SampleRate();                                                                  // 44100.0 until the host sets it
    virtual std::int32_t BlockSize();                                                            // 1024 until the host sets it
    virtual bool GetPinProperties(std::int32_t index, SEPinProperties* properties);              // default: false
    virtual void OnResume();                                                                     // OP_RESUME; default: nothing
    virtual void OnResumeValue(std::int32_t value);                                              // OP_RESUME with index > 0; default: nothing
    virtual void OnDataEvent(std::int32_t time_stamp, std::int32_t value, std::int16_t value2);  // EV_DATA
    virtual void OnHostMessage(std::int32_t value, std::int32_t index, void* ptr);               // OP_HOST_MESSAGE

    // ---- services for the effect ----
    // Calls the host with this object's record; 0 without a callback.
    se_answer CallHost(std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    std::int32_t SampleClock();  // the host's clock; the frame keeps none of its own
    // The pin with that index, or null (reported) before Open or for an index beyond the pins built.
    SEPin* GetPin(std::int32_t index);
    std::int32_t PinCount() const { return m_pin_count; }
    // Installs `ref`; tells the host (HOST_ROUTINE_CHANGED) only when it differs from the installed one.
    void SetProcessRoutine(const SERoutineRef& ref);
    const SERoutineRef& InstalledRoutine() const { return m_routine; }
    SEModuleRecord* Record() { return &m_record; }

    // A processing routine's entry: a plain function of the `process` shape that calls the member on the
    // object, so that an override of a virtual routine runs.
    template <class Effect, void (Effect::*Member)(std::int32_t, std::int32_t)>
    static void SE_CDECL RoutineEntry(void* object, std::int32_t start, std::int32_t count) {
        (static_cast<Effect*>(static_cast<SEModule_base*>(object))->*Member)(start, count);
    }
    template <class Effect, void (Effect::*Member)(std::int32_t, std::int32_t)>
    static constexpr SERoutineRef Routine() {
        return SERoutineRef{&RoutineEntry<Effect, Member>, 0, 0};
    }
    // The routine installed at construction: does nothing.
    static SERoutineRef EmptyRoutine();

protected:
    SEHostCallback m_host_callback;  // may be null
    SEModuleRecord m_record;         // its address is what makeModule hands out
    float m_sample_rate;             // 44100.0 until the host sets it
    std::int32_t m_host_block_size;  // 1024 until the host sets it
    SEPin* m_pins;                   // owned; null until Open, m_pin_count elements after it
    std::int32_t m_pin_count;
    SERoutineRef m_routine;  // the installed routine; m_record.process is its entry

private:
    struct Translation;  // the opcode and event tables, with one handler per entry
    friend struct Translation;

    void BuildPins();
    void ReleasePins();
};
