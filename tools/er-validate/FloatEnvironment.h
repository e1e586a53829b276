// The processor's floating-point control state, as a host sees it around every call into a module: the SSE
// control bits of MXCSR (rounding, flush-to-zero, denormals-are-zero, exception masks) and, where the x87 unit
// is in use by the ABI (32-bit builds), its control word. The sticky exception flags are status, not control,
// and are left out: a module may raise them freely.
#pragma once

#include <cstdint>
#include <string>

namespace er_validate {

struct FloatControl {
    std::uint32_t mxcsr = 0;  // bits 6 to 15 of MXCSR
    std::uint16_t x87 = 0;    // x87 control word, reserved bits cleared

    bool operator==(const FloatControl&) const = default;
};

constexpr std::uint32_t MXCSR_DAZ = 1u << 6;
constexpr std::uint32_t MXCSR_FTZ = 1u << 15;

FloatControl ReadFloatControl();
void WriteFloatControl(const FloatControl& control);
std::string Describe(const FloatControl& control);

}  // namespace er_validate
