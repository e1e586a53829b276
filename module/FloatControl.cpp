#include "FloatControl.h"

std::uint16_t g_fpu_control_saved = 0;
std::uint32_t g_mxcsr_saved = 0;
std::uint32_t g_mxcsr_truncate = 0;

namespace {
constexpr std::uint16_t FPU_PRECISION_AND_ROUNDING = 0x0F00;
constexpr std::uint16_t FPU_EXTENDED_PRECISION_NEAREST = 0x0300;
}  // namespace

std::uint16_t ReadFpuControl() {
    std::uint16_t word;
    asm volatile("fnstcw %0"
                 : "=m"(word));
    return word;
}

void RecordFloatControl() {
    g_fpu_control_saved = ReadFpuControl();
    g_mxcsr_saved = _mm_getcsr() & ~MXCSR_STATUS_FLAGS;
    g_mxcsr_truncate = g_mxcsr_saved | MXCSR_ROUND_TOWARD_ZERO | MXCSR_EXCEPTION_MASKS;
}

float ExtendedProductToFloat(float a, long double b) {
    // One asm block, so nothing can be scheduled between the control-word loads and the arithmetic. A Windows
    // host typically runs the x87 at 53-bit precision; the product is formed at 64 bits regardless.
    const std::uint16_t saved = ReadFpuControl();
    const std::uint16_t extended = static_cast<std::uint16_t>((saved & ~FPU_PRECISION_AND_ROUNDING) |
                                                              FPU_EXTENDED_PRECISION_NEAREST | FPU_EXCEPTION_MASKS);
    float result;
    asm volatile(
        "fldcw %[extended]\n\t"
        "flds %[a]\n\t"
        "fldt %[b]\n\t"
        "fmulp\n\t"
        "fstps %[result]\n\t"
        "fldcw %[saved]"
        : [result] "=m"(result)
        : [a] "m"(a), [b] "m"(b), [extended] "m"(extended), [saved] "m"(saved));
    return result;
}
