// Watches the `process` calls of one host instance: each call must return with the floating-point control state
// the host had, and write "Out" only within its stretch [start, start + count). Before a call the rest of the
// block's Out buffer is filled with a canary; after it the canary must be intact and the samples before the
// stretch unchanged. A stretch sample still holding the canary was not written at all.
#pragma once

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "FloatEnvironment.h"
#include "Host.h"

namespace er_validate {

// A NaN with a payload that no arithmetic produces.
constexpr std::uint32_t CANARY_BITS = 0x7FC0DEADu;
inline bool IsCanary(float x) { return std::bit_cast<std::uint32_t>(x) == CANARY_BITS; }

class StretchWatch {
public:
    StretchWatch(er_host::Instance& instance, std::int32_t out_pin, const FloatControl& environment)
        : m_instance(instance), m_out_pin(out_pin), m_environment(environment) {}

    // Observes every stretch the host runs from now on.
    void Attach();
    // The two halves, for callers that make `process` calls of their own.
    void Before(std::int32_t start, std::int32_t count);
    void After(std::int32_t start, std::int32_t count);

    // The first fault seen since the last Clear, or empty. After a fault the host's state is restored, so
    // that the run can go on to its report.
    const std::string& Fault() const { return m_fault; }
    void Clear() { m_fault.clear(); }

private:
    er_host::Instance& m_instance;
    std::int32_t m_out_pin;
    FloatControl m_environment;
    std::string m_fault;
    std::vector<float> m_before;  // Out before the stretch, as it was before the call
};

}  // namespace er_validate
