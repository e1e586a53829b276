// Input that is not finite (a NaN or an infinity from a host or an upstream plug-in) never reaches a state the
// next samples are made from: one such sample would stay in a feedback loop or a low-pass for good. The cores take
// it as silence there; finite input is passed on untouched.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

namespace er_plugin {

// A float that is not finite has every exponent bit set.
inline constexpr std::uint32_t EXPONENT_BITS = 0x7F800000u;

// True when every sample of `x` is finite. Four at a time; the host's buffers need no alignment.
inline bool AllFinite(const float* x, std::uint32_t count) {
    const __m128i exponent = _mm_set1_epi32(static_cast<int>(EXPONENT_BITS));
    __m128i any = _mm_setzero_si128();
    std::uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i bits = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i)), exponent);
        any = _mm_or_si128(any, _mm_cmpeq_epi32(bits, exponent));
    }
    std::uint32_t tail = 0;
    for (; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, x + i, sizeof bits);
        tail |= static_cast<std::uint32_t>((bits & EXPONENT_BITS) == EXPONENT_BITS);
    }
    return _mm_movemask_epi8(any) == 0 && tail == 0;
}

// `x` into `to`, every sample that is not finite taken as silence.
inline void FiniteCopy(const float* x, float* to, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) to[i] = std::isfinite(x[i]) ? x[i] : 0.0f;
}

}  // namespace er_plugin
