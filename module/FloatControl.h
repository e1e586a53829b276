// Floating-point control for the effect: the settings recorded at open, the switch to round-toward-zero around
// delay-time conversions and fractional loops, and the one conversion of a delay time to an integer.
//
// All arithmetic is SSE2 (also in the 32-bit builds), so the control that rounds it is MXCSR; the x87 control
// word is recorded beside it because the x87 still rounds the one extended-precision product of the open and
// is part of the state a host expects back. The mode is switched with _mm_setcsr directly: the C library's
// fesetround also reloads the x87 word and costs more than a whole block of samples.
//
// Files that switch the mode are compiled with -frounding-math, so the compiler keeps floating-point work on
// its side of each switch.
#pragma once

#include <cstdint>

#include <emmintrin.h>

// Library-wide, written by every open (RecordFloatControl), read by the routines.
extern std::uint16_t g_fpu_control_saved;  // x87 control word found at the most recent open
extern std::uint32_t g_mxcsr_saved;        // MXCSR control bits (status flags cleared) found at open
extern std::uint32_t g_mxcsr_truncate;     // the same with rounding toward zero and all exceptions masked

constexpr std::uint32_t MXCSR_STATUS_FLAGS = 0x003F;  // sticky exception flags: not part of the settings
constexpr std::uint32_t MXCSR_EXCEPTION_MASKS = 0x1F80;
constexpr std::uint32_t MXCSR_ROUND_TOWARD_ZERO = 0x6000;
constexpr std::uint16_t FPU_EXCEPTION_MASKS = 0x003F;

// Records both control settings and derives the truncating variants. Called by Open.
void RecordFloatControl();

// The x87 control word now in force.
std::uint16_t ReadFpuControl();

// float(a * b) with the product formed at x87 extended precision (64-bit mantissa, round to nearest) whatever
// precision control the host left in force, and then rounded to float: the same bits on every build.
float ExtendedProductToFloat(float a, long double b);

// The MXCSR status flags (the sticky exception flags) as the host left them, read once at the start of a call
// that switches the mode and handed to every switch of that call, so that the host finds its flags as it left
// them. Reading MXCSR is the slow half of a switch (STMXCSR costs several times what LDMXCSR does, some tens of
// cycles on some processors), hence once per call. Flags that the effect's own arithmetic raises are not the
// host's and are not kept.
inline std::uint32_t EntryStatusFlags() {
    return _mm_getcsr() & MXCSR_STATUS_FLAGS;
}

// Rounding toward zero with all exceptions masked, from here until LeaveRoundTowardZero.
inline void EnterRoundTowardZero(std::uint32_t entry_flags) {
    _mm_setcsr(g_mxcsr_truncate | entry_flags);
}

// Back to the settings recorded at open, whatever was in force before EnterRoundTowardZero.
inline void LeaveRoundTowardZero(std::uint32_t entry_flags) {
    _mm_setcsr(g_mxcsr_saved | entry_flags);
}

// The delay-time conversion: truncates toward zero in any rounding mode and gives -2147483648 for a value that
// is not a number or lies outside the int32 range (SSE2 cvttsd2si: no undefined behaviour, no branch). Written
// as the instruction itself: the compiler folds _mm_cvttsd_si32 of a known value with C's rules, which give
// other answers out of range.
inline std::int32_t DelayToInt32(double p) {
    std::int32_t k;
    asm("cvttsd2si %1, %0"
        : "=r"(k)
        : "x"(p));
    return k;
}
