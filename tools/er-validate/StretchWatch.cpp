#include "StretchWatch.h"

#include <algorithm>
#include <cstdio>

namespace er_validate {

void StretchWatch::Attach() {
    m_instance.before_process = [this](std::int32_t start, std::int32_t count) { Before(start, count); };
    m_instance.after_process = [this](std::int32_t start, std::int32_t count) { After(start, count); };
}

void StretchWatch::Before(std::int32_t start, std::int32_t) {
    if (!m_fault.empty()) return;
    if (ReadFloatControl() != m_environment) {
        m_fault = "an event handler or dispatch returned with " + Describe(ReadFloatControl()) + ", the host had " +
                  Describe(m_environment);
        WriteFloatControl(m_environment);
    }
    float* out = m_instance.Buffer(m_out_pin);
    m_before.assign(out, out + start);
    std::fill(out + start, out + m_instance.Options().block_size, std::bit_cast<float>(CANARY_BITS));
}

void StretchWatch::After(std::int32_t start, std::int32_t count) {
    if (!m_fault.empty()) return;
    char call[64];
    std::snprintf(call, sizeof call, "process(%d, %d)", start, count);
    if (ReadFloatControl() != m_environment) {
        m_fault = std::string(call) + " returned with " + Describe(ReadFloatControl()) + ", the host had " +
                  Describe(m_environment);
        WriteFloatControl(m_environment);
        return;
    }
    const float* out = m_instance.Buffer(m_out_pin);
    for (std::int32_t i = start + count; i < m_instance.Options().block_size; ++i) {
        if (!IsCanary(out[i])) {
            m_fault = std::string(call) + " wrote Out[" + std::to_string(i) + "], past its stretch";
            return;
        }
    }
    const auto same_bits = [](float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); };
    if (!std::equal(m_before.begin(), m_before.end(), out, same_bits)) {
        m_fault = std::string(call) + " wrote Out before its stretch";
    }
}

}  // namespace er_validate
