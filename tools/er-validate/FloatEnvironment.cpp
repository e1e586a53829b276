#include "FloatEnvironment.h"

#include <cstdio>

#include <xmmintrin.h>

namespace er_validate {
namespace {

constexpr std::uint32_t MXCSR_CONTROL = 0xFFC0u;  // DAZ, the six masks, rounding, FTZ
constexpr std::uint16_t X87_CONTROL = 0x1F3Fu;    // the six masks, precision, rounding, infinity control

}  // namespace

FloatControl ReadFloatControl() {
    FloatControl control;
    control.mxcsr = _mm_getcsr() & MXCSR_CONTROL;
    std::uint16_t word = 0;
    __asm__ volatile("fnstcw %0"
                     : "=m"(word));
    control.x87 = static_cast<std::uint16_t>(word & X87_CONTROL);
    return control;
}

void WriteFloatControl(const FloatControl& control) {
    _mm_setcsr((_mm_getcsr() & ~MXCSR_CONTROL) | (control.mxcsr & MXCSR_CONTROL));
    std::uint16_t word = 0;
    __asm__ volatile("fnstcw %0"
                     : "=m"(word));
    word = static_cast<std::uint16_t>((word & ~X87_CONTROL) | (control.x87 & X87_CONTROL));
    __asm__ volatile("fldcw %0"
                     :
                     : "m"(word));
}

std::string Describe(const FloatControl& control) {
    char text[64];
    std::snprintf(text, sizeof text, "MXCSR control 0x%04X, x87 control 0x%04X", static_cast<unsigned>(control.mxcsr),
                  static_cast<unsigned>(control.x87));
    return text;
}

}  // namespace er_validate
