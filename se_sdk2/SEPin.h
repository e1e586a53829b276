// One pin of a processing object as the host numbers it. The pin never copies a value: the host writes values
// straight into the effect's variable (or into the pin's own storage when the description names none).
#pragma once

#include <cstdint>

#include "SEAbi.h"

class SEModule_base;

class SEPin {
public:
    SEPin() = default;
    virtual ~SEPin() = default;

    SEPin(const SEPin&) = delete;
    SEPin& operator=(const SEPin&) = delete;

    // Set up once by pin building. Without a variable the pin keeps its value in m_local (by data type);
    // a DT_FSAMPLE pin then asks the host for its buffer address (HOST_GET_PIN_BUFFER).
    void Init(SEModule_base* module, std::int32_t index, std::int32_t datatype, void* variable);

    // Records `status`, calls the owner's OnPinChange, and lets PS_CHANGED fall back to PS_STATIC afterwards.
    void OnStatusChange(std::int32_t status);

    // Reports this (output) pin's status to the host at `sample_clock`; the pin's own status is unchanged.
    se_answer TransmitStatusChange(std::int32_t sample_clock, std::int32_t status);

    // The sample of this DT_FSAMPLE pin's buffer at the current sample clock. Checked: 0.0 for other types.
    float CurrentValue();

    std::int32_t Index() const { return m_index; }
    std::int32_t Status() const { return m_status; }
    std::int32_t Datatype() const { return m_datatype; }
    void* Variable() const { return m_variable; }

private:
    void* m_variable = nullptr;         // the effect's variable, or &m_local, or null (no storage)
    SEModule_base* m_module = nullptr;  // the owner
    std::int32_t m_index = 0;           // place in the owner's pin array; the host's number for the pin
    std::int32_t m_status = PS_STATIC;  // last status received
    std::int32_t m_datatype = 0;        // the description's data type
    union Local {                       // storage for a pin without a variable
        std::int16_t list;              // DT_LIST
        std::uint8_t byte;              // data type 4
        std::int32_t word;              // data types 6 and 8
        float* samples;                 // DT_FSAMPLE: buffer address from the host
    } m_local{};
};
