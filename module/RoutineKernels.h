// The building blocks of the fifteen audio routines (Routines.cpp).
//
// Per sample: fold the write position, read the tap (one slot, or two slots blended), output flush(V x d),
// run the routing variant's step, write the delay line, move the write position one slot down. Every choice
// (variant, time group, rounding) is a template argument, so each generated loop branches on its count alone;
// where a block splits into stretches (where the tap reaches the block's own input, where a slot wraps), the
// split is worked out once per block, before the loops.
//
// Arithmetic: double working precision, every formula in the order written below, conversion to float only at
// the stores (output sample, buffer sample, m_damping_state, m_tap_fraction).
//
// Speed without changing a bit: the same IEEE operations on the same operands, grouped differently. Packed
// SSE2 operations round each lane exactly as the scalar ones do (both follow MXCSR), so two samples can share
// one instruction wherever neither depends on the other. The compiler does not pair or vectorize these loops
// at -O2 (and could not see that the pairing is valid), so the pairs are written with SSE2 intrinsics.
#pragma once

// The routines switch the rounding mode around their loops, and only -frounding-math keeps the compiler from
// moving floating-point work across the switch. GCC announces the flag itself; the build defines
// ER_ROUNDING_MATH beside it for every file it compiles so (module/CMakeLists.txt), for compilers that do not.
#if !defined(__ROUNDING_MATH__) && !defined(ER_ROUNDING_MATH)
#error "RoutineKernels.h is for files compiled with -frounding-math only"
#endif

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

#include "FloatControl.h"
#include "PinFacts.h"

namespace kernels {

using effect_pins::RoutingVariant;

// beta: the float nearest 1.0e-5. flush(z) = (z - beta) + beta turns every value far below beta, subnormals
// included, into exactly 0, and passes signal values unchanged to within the last bit of a float.
inline constexpr double FLUSH_BETA = static_cast<double>(std::bit_cast<float>(0x3727C5ACu));

inline double Flush(double z) {
    return (z - FLUSH_BETA) + FLUSH_BETA;
}

// The damping low-pass z - D (z - S): D weights the previous state, 1 - D the new value.
inline double LowPass(double z, double D, double S) {
    return z - D * (z - S);
}

// The sample at a byte position (a multiple of 4 already folded with the mask).
inline float& Slot(float* buffer, std::uint32_t position) {
    return *reinterpret_cast<float*>(reinterpret_cast<unsigned char*>(buffer) + position);
}

// The tap k slots above the write position w (offset = 4 k): the value written k samples earlier. The read
// comes before this sample's write, so k = 0 reads the value written N samples earlier.
inline double TapWhole(float* buffer, std::uint32_t mask, std::uint32_t w, std::uint32_t offset) {
    return Slot(buffer, (w + offset) & mask);
}

// Delay k + f: blend of a (written k samples earlier) and its older neighbour b, weight f on b.
inline double Interpolate(double a, double b, double f) {
    return a + (b - a) * f;
}
inline double TapInterpolated(float* buffer, std::uint32_t mask, std::uint32_t w, std::uint32_t offset,
                              double f) {
    const std::uint32_t r = (w + offset) & mask;
    return Interpolate(Slot(buffer, r), Slot(buffer, (r + 4) & mask), f);
}

// The routing variant's step for one sample: updates the damping state S and returns the value written into
// the delay line. x input, d tap before the volume, y output at working precision, F feedback, D damping.
template <RoutingVariant V>
inline constexpr bool FEEDS_OUTPUT_BACK = V == RoutingVariant::OutputFeedback ||
                                          V == RoutingVariant::InputOutputFeedback;
template <RoutingVariant V>
inline constexpr bool FILTERS_INPUT = V == RoutingVariant::InputTapFeedback ||
                                      V == RoutingVariant::InputOutputFeedback;

template <RoutingVariant V>
inline float VariantStep(float x, double d, double y, double F, double D, double& S) {
    if constexpr (V == RoutingVariant::Plain) {
        return x;  // copied unchanged: no flush, no trip through double
    } else {
        const double z = FEEDS_OUTPUT_BACK<V> ? y : d;
        if constexpr (FILTERS_INPUT<V>) {
            S = Flush(LowPass(x + F * z, D, S));  // the flushed state is also the value written
            return static_cast<float>(S);
        } else {
            S = LowPass(z, D, S);
            return static_cast<float>(Flush(x + F * S));
        }
    }
}

// ---- two samples at once: lane 0 the earlier sample, lane 1 the next ----

// Two adjacent floats, p[0] in lane 0, as doubles (one 64-bit load).
inline __m128d Load2(const float* p) {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
// Both lanes as floats into p[0], p[1] (one 64-bit store).
inline void Store2(float* p, __m128d v) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}
// Lanes exchanged: the delay line runs downward, so its pairs come and go in the other order.
inline __m128d Swap(__m128d v) {
    return _mm_shuffle_pd(v, v, 1);
}
inline double Lane0(__m128d v) {
    return _mm_cvtsd_f64(v);
}
inline double Lane1(__m128d v) {
    return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v));
}
inline __m128d Flush2(__m128d z) {
    const __m128d beta = _mm_set1_pd(FLUSH_BETA);
    return _mm_add_pd(_mm_sub_pd(z, beta), beta);
}
inline __m128d Interpolate2(__m128d a, __m128d b, __m128d f) {
    return _mm_add_pd(a, _mm_mul_pd(_mm_sub_pd(b, a), f));
}

// VariantStep for samples i and i + 1 (a feedback variant). Only the low-pass runs one sample after the other.
template <RoutingVariant V>
inline __m128d VariantStepPair(__m128d x, __m128d d, __m128d y, __m128d F, double D, double& S) {
    const __m128d z = FEEDS_OUTPUT_BACK<V> ? y : d;
    if constexpr (FILTERS_INPUT<V>) {
        const __m128d u = _mm_add_pd(x, _mm_mul_pd(F, z));
        const double s0 = Flush(LowPass(Lane0(u), D, S));
        S = Flush(LowPass(Lane1(u), D, s0));
        return _mm_set_pd(S, s0);
    } else {
        const double s0 = LowPass(Lane0(z), D, S);
        S = LowPass(Lane1(z), D, s0);
        return Flush2(_mm_add_pd(x, _mm_mul_pd(F, _mm_set_pd(S, s0))));
    }
}

// dst[t] = src[n - 1 - t]: the line runs downward, the pin buffers upward. Four at a time (the compiler does
// not vectorize a reversed copy at -O2); copies bits only.
inline void ReverseCopy(const float* src, float* dst, std::int32_t n) {
    std::int32_t t = 0;
    for (; t + 4 <= n; t += 4) {
        const __m128 v = _mm_loadu_ps(src + n - 4 - t);
        _mm_storeu_ps(dst + t, _mm_shuffle_ps(v, v, _MM_SHUFFLE(0, 1, 2, 3)));
    }
    for (; t < n; ++t) dst[t] = src[n - 1 - t];
}

// ---- the Plain line with a block-rate delay ----
// The Plain line holds every input unchanged, so the value written m samples before sample i of a block is
// in[i - m] when i >= m and otherwise still in the line, where the block has not yet written (the block's
// writes are all made after its reads, by WritePlainBlock). Both stretches are decided per block.

// dst[j] = the value written `delay` (1..N) samples before sample first + j, for j < n. w0 is the block's
// first write slot, slots_mask N - 1.
inline void ReadPlainHistory(const float* line, std::uint32_t slots_mask, std::uint32_t w0, std::int32_t delay,
                             const float* in, std::int32_t first, std::int32_t n, float* dst) {
    const std::int32_t from_line = std::clamp(delay - first, 0, n);
    for (std::int32_t j = 0; j < from_line;) {  // descending slots, one run per wrap
        const std::uint32_t s = (w0 + static_cast<std::uint32_t>(delay - first - j)) & slots_mask;
        const std::int32_t run = static_cast<std::int32_t>(std::min<std::uint32_t>(
            static_cast<std::uint32_t>(from_line - j), s + 1));
        ReverseCopy(line + (s + 1 - static_cast<std::uint32_t>(run)), dst + j, run);
        j += run;
    }
    if (from_line < n) {
        std::memcpy(dst + from_line, in + (first + from_line - delay),
                    static_cast<std::size_t>(n - from_line) * sizeof(float));
    }
}

// Slot w0 - i = in[i] for the whole block, in order (a block longer than the line keeps its latest samples).
inline void WritePlainBlock(float* line, std::uint32_t slots_mask, std::uint32_t w0, const float* in,
                            std::int32_t count) {
    for (std::int32_t i = 0; i < count;) {
        const std::uint32_t s = (w0 - static_cast<std::uint32_t>(i)) & slots_mask;
        const std::int32_t run = static_cast<std::int32_t>(std::min<std::uint32_t>(
            static_cast<std::uint32_t>(count - i), s + 1));
        ReverseCopy(in + i, line + (s + 1 - static_cast<std::uint32_t>(run)), run);
        i += run;
    }
}

// out[i] = flush(V x d[i]) for i < n, with d[i] = src[i] or, kDownward, src[-i]. Four at a time, each pair
// converted straight from memory; read downward, the two pairs are put in order by the one shuffle that packs
// them.
template <bool kDownward>
inline void EmitScaled(const float* src, float* out, std::int32_t n, double volume) {
    const __m128d v2 = _mm_set1_pd(volume);
    std::int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        if constexpr (kDownward) {
            const __m128 upper = _mm_cvtpd_ps(Flush2(_mm_mul_pd(v2, Load2(src - i - 1))));  // src[-i-1], src[-i]
            const __m128 lower = _mm_cvtpd_ps(Flush2(_mm_mul_pd(v2, Load2(src - i - 3))));
            _mm_storeu_ps(out + i, _mm_shuffle_ps(upper, lower, _MM_SHUFFLE(0, 1, 0, 1)));
        } else {
            Store2(out + i, Flush2(_mm_mul_pd(v2, Load2(src + i))));
            Store2(out + i + 2, Flush2(_mm_mul_pd(v2, Load2(src + i + 2))));
        }
    }
    constexpr std::int32_t step = kDownward ? -1 : 1;
    for (; i < n; ++i) out[i] = static_cast<float>(Flush(volume * src[step * i]));
}

// out[i] = flush(V x (a[i] + (b[i] - a[i]) f)) for i < n. Two at a time.
inline void EmitInterpolated(const float* a, const float* b, float* out, std::int32_t n, double volume,
                             double f) {
    const __m128d v2 = _mm_set1_pd(volume);
    const __m128d f2 = _mm_set1_pd(f);
    std::int32_t i = 0;
    for (; i + 2 <= n; i += 2) {
        Store2(out + i, Flush2(_mm_mul_pd(v2, Interpolate2(Load2(a + i), Load2(b + i), f2))));
    }
    for (; i < n; ++i) out[i] = static_cast<float>(Flush(volume * Interpolate(a[i], b[i], f)));
}

// The same with a[i] = h[i + 1] and b[i] = h[i], or, kDownward, a[i] = h[-i - 1] and b[i] = h[-i] (h has
// n + 1 entries either way): each h converted once, the pairs formed by shuffles. A pair's loads reach one
// entry beyond it, so the last sample or two go one at a time.
template <bool kDownward>
inline void EmitInterpolatedNeighbours(const float* h, float* out, std::int32_t n, double volume, double f) {
    const __m128d v2 = _mm_set1_pd(volume);
    const __m128d f2 = _mm_set1_pd(f);
    std::int32_t i = 0;
    if constexpr (kDownward) {
        __m128d upper = Load2(h - 1);  // h[-i - 1], h[-i]
        for (; i + 3 <= n; i += 2) {
            const __m128d lower = Load2(h - i - 3);             // h[-i - 3], h[-i - 2]
            const __m128d a = _mm_shuffle_pd(upper, lower, 2);  // h[-i - 1], h[-i - 2]
            const __m128d b = _mm_shuffle_pd(upper, upper, 1);  // h[-i], h[-i - 1]
            Store2(out + i, Flush2(_mm_mul_pd(v2, Interpolate2(a, b, f2))));
            upper = lower;
        }
    } else {
        __m128d b = Load2(h);  // h[i], h[i + 1]
        for (; i + 3 <= n; i += 2) {
            const __m128d next = Load2(h + i + 2);         // h[i + 2], h[i + 3]
            const __m128d a = _mm_shuffle_pd(b, next, 1);  // h[i + 1], h[i + 2]
            Store2(out + i, Flush2(_mm_mul_pd(v2, Interpolate2(a, b, f2))));
            b = next;
        }
    }
    constexpr std::int32_t step = kDownward ? -1 : 1;
    for (; i < n; ++i) out[i] = static_cast<float>(Flush(volume * Interpolate(h[step * (i + 1)], h[step * i], f)));
}

// The Plain routines' outputs for a block whose first write slot is w0 and whose tap reads the value written
// tap_delay (1..N) samples earlier, before the block writes anything.

// Whole samples: out[i] = flush(V x d) with d from the line, downward in runs between wraps, for the samples
// before tap_delay, and d = in[i - tap_delay] after.
inline void EmitPlainWhole(const float* line, std::uint32_t slots_mask, std::uint32_t w0, std::uint32_t tap_delay,
                           const float* in, float* out, std::int32_t count, double volume) {
    const std::int32_t from_line = static_cast<std::int32_t>(std::min<std::uint32_t>(tap_delay, count));
    for (std::int32_t i = 0; i < from_line;) {
        const std::uint32_t s = (w0 + tap_delay - static_cast<std::uint32_t>(i)) & slots_mask;
        const std::int32_t run = static_cast<std::int32_t>(
            std::min<std::uint32_t>(static_cast<std::uint32_t>(from_line - i), s + 1));
        EmitScaled<true>(line + s, out + i, run, volume);
        i += run;
    }
    if (from_line < count) {
        EmitScaled<false>(in + (from_line - static_cast<std::int32_t>(tap_delay)), out + from_line, count - from_line,
                          volume);
    }
}

// Delay tap_delay + f: the pair of sample i is h[i] and h[i - 1] of the sequence h[j] = the value written
// tap_delay samples before sample j. Before sample tap_delay both lie in the line, read downward (in runs that end
// where h[i]'s slot would pass slot 0; the sample across the wrap goes alone); at sample tap_delay h[i] = in[0];
// after it both come from the input. When tap_delay = N the older neighbour is the newest value (delay 1): both
// are read into copies first.
inline void EmitPlainInterpolated(const float* line, std::uint32_t slots_mask, std::uint32_t w0,
                                  std::uint32_t tap_delay, const float* in, float* out, std::int32_t count,
                                  double volume, double f) {
    auto one = [&](std::int32_t i, float a, float b) {
        out[i] = static_cast<float>(Flush(volume * Interpolate(a, b, f)));
    };
    if (tap_delay > slots_mask) {
        constexpr std::int32_t CHUNK = 256;  // a chunk's taps, on the stack
        float oldest[CHUNK];
        float newest[CHUNK];
        for (std::int32_t c = 0; c < count; c += CHUNK) {
            const std::int32_t n = std::min(CHUNK, count - c);
            ReadPlainHistory(line, slots_mask, w0, static_cast<std::int32_t>(tap_delay), in, c, n, oldest);
            ReadPlainHistory(line, slots_mask, w0, 1, in, c, n, newest);
            EmitInterpolated(oldest, newest, out + c, n, volume, f);
        }
        return;
    }
    const std::int32_t k = static_cast<std::int32_t>(tap_delay);
    const std::int32_t from_line = std::min(k, count);
    for (std::int32_t i = 0; i < from_line;) {
        const std::uint32_t s = (w0 + tap_delay + 1 - static_cast<std::uint32_t>(i)) & slots_mask;  // h[i - 1]'s slot
        if (s == 0) {
            one(i, line[slots_mask], line[0]);
            ++i;
            continue;
        }
        const std::int32_t run = std::min(from_line - i, static_cast<std::int32_t>(s));
        EmitInterpolatedNeighbours<true>(line + s, out + i, run, volume, f);
        i += run;
    }
    if (k < count) one(k, in[0], line[(w0 + 1) & slots_mask]);
    if (k + 1 < count) EmitInterpolatedNeighbours<false>(in, out + k + 1, count - k - 1, volume, f);
}

// The per-sample delays of n samples: byte offset 4 k and fraction p - k of p = scale x time[i]. Two at a time:
// cvttpd2dq truncates as DelayToInt32 does and gives the same -2147483648 for a value that is not a number or
// out of range; both conversions back to double are exact.
inline void SplitDelays(const float* time, double scale, std::int32_t n, std::uint32_t* offsets,
                        double* fractions) {
    const __m128d scale2 = _mm_set1_pd(scale);
    std::int32_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m128d p = _mm_mul_pd(scale2, Load2(time + i));
        const __m128i k = _mm_cvttpd_epi32(p);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(offsets + i), _mm_slli_epi32(k, 2));
        _mm_storeu_pd(fractions + i, _mm_sub_pd(p, _mm_cvtepi32_pd(k)));
    }
    for (; i < n; ++i) {
        const double p = scale * time[i];
        const std::int32_t k = DelayToInt32(p);
        offsets[i] = effect_pins::TapByteOffset(k);
        fractions[i] = p - k;
    }
}

}  // namespace kernels
