// The building blocks of the fifteen audio routines and the one template they are made from.
//
// Per sample: fold the write position, read the tap (one slot, or two slots blended), output flush(V x d),
// run the routing variant's step, write the delay line, move the write position one slot down. Every choice
// (variant, time group, rounding) is a template argument, so each generated loop branches on its count alone.
//
// Arithmetic: double working precision, every formula in the order written below, conversion to float only at
// the stores (output sample, buffer sample, m_damping_state, m_tap_fraction). Included only by files compiled
// with -frounding-math.
#pragma once

#include <bit>
#include <cstdint>

#include "FloatControl.h"
#include "Module.h"

namespace kernels {

// beta: the float nearest 1.0e-5. flush(z) = (z - beta) + beta turns every value far below beta, subnormals
// included, into exactly 0, and passes signal values unchanged to within the last bit of a float.
inline constexpr double FLUSH_BETA = static_cast<double>(std::bit_cast<float>(0x3727C5ACu));

inline double Flush(double z) {
    return (z - FLUSH_BETA) + FLUSH_BETA;
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
inline double TapInterpolated(float* buffer, std::uint32_t mask, std::uint32_t w, std::uint32_t offset,
                              double f) {
    const std::uint32_t r = (w + offset) & mask;
    const double a = Slot(buffer, r);
    const double b = Slot(buffer, (r + 4) & mask);
    return a + (b - a) * f;
}

// Byte offset of a whole-sample delay: 4 k in wrapping 32-bit arithmetic (k = -2147483648 gives 0).
inline std::uint32_t ByteOffset(std::int32_t k) {
    return static_cast<std::uint32_t>(k) * 4u;
}

// The routing variant's step for one sample: updates the damping state S and returns the value written into
// the delay line. x input, d tap before the volume, y output at working precision, F feedback, D damping.
// The low-pass is z - D (z - S).
template <RoutingVariant V>
inline float VariantStep(float x, double d, double y, double F, double D, double& S) {
    if constexpr (V == RoutingVariant::Plain) {
        return x;  // copied unchanged: no flush, no trip through double
    } else if constexpr (V == RoutingVariant::TapFeedback) {
        S = d - D * (d - S);
        return static_cast<float>(Flush(x + F * S));
    } else if constexpr (V == RoutingVariant::InputTapFeedback) {
        const double u = x + F * d;
        S = Flush(u - D * (u - S));
        return static_cast<float>(S);
    } else if constexpr (V == RoutingVariant::OutputFeedback) {
        S = y - D * (y - S);
        return static_cast<float>(Flush(x + F * S));
    } else {
        static_assert(V == RoutingVariant::InputOutputFeedback);
        const double u = x + F * y;
        S = Flush(u - D * (u - S));
        return static_cast<float>(S);
    }
}

}  // namespace kernels

// One block of `count` samples from element `start` of every pin buffer. Installed only while the effect is on
// with a delay line and all fourteen pins, so every buffer it touches exists.
template <RoutingVariant V, TimeGroup G>
void Module::RunBlock(std::int32_t start, std::int32_t count) {
    using namespace kernels;
    constexpr bool kPlain = V == RoutingVariant::Plain;
    // The per-sample fractional loops round every result and store toward zero; so does the whole-sample Plain
    // loop (it touches only the last bit of its output). The other loops run in the mode in force.
    constexpr bool kRoundTowardZero = G == TimeGroup::FractionFull || (G == TimeGroup::Sample && kPlain);

    if constexpr (G == TimeGroup::Sample) {
        if (m_time_update != 0) UpdateTapTime(start);
    } else if constexpr (G == TimeGroup::FractionEcon) {
        if (m_time_update != 0) UpdateTapTimeFraction(start);
    }
    if (m_volume_update != 0) UpdateTapVolume(start);
    if constexpr (kRoundTowardZero) EnterRoundTowardZero();

    // Everything the loop needs, once per block, in locals the compiler can keep in registers.
    float* const buffer = m_buffer.get();
    const std::uint32_t mask = static_cast<std::uint32_t>(m_buffer_mask);
    const std::uint32_t offset = static_cast<std::uint32_t>(m_tap_offset);
    const double fraction = m_tap_fraction;
    const double volume = m_tap_volume;
    double feedback = 0.0;
    double damping = 0.0;
    if constexpr (!kPlain) {
        feedback = in_feedback[start];
        damping = in_damping[start];
    }
    double state = m_damping_state;
    const float* const in = in_audio + start;
    float* const out = out_audio + start;
    [[maybe_unused]] const float* time = nullptr;
    [[maybe_unused]] const double time_scale = m_time_scale;
    if constexpr (G == TimeGroup::FractionFull) time = in_time[0] + start;
    std::uint32_t w = static_cast<std::uint32_t>(m_write_pos);

    for (std::int32_t i = 0; i < count; ++i) {
        w &= mask;
        double d;
        if constexpr (G == TimeGroup::Sample) {
            d = TapWhole(buffer, mask, w, offset);
        } else if constexpr (G == TimeGroup::FractionEcon) {
            d = TapInterpolated(buffer, mask, w, offset, fraction);
        } else {
            const double p = time_scale * time[i];
            const std::int32_t k = DelayToInt32(p);
            d = TapInterpolated(buffer, mask, w, ByteOffset(k), p - k);
        }
        const double y = Flush(volume * d);
        out[i] = static_cast<float>(y);
        Slot(buffer, w) = VariantStep<V>(in[i], d, y, feedback, damping, state);
        w -= 4;  // one slot toward the start; the next fold wraps slot 0 to slot N - 1
    }

    m_write_pos = static_cast<std::int32_t>(w);  // unfolded: -4 after a block that ended on slot 0
    m_damping_state = kPlain ? 0.0f : static_cast<float>(state);
    if constexpr (kRoundTowardZero) LeaveRoundTowardZero();
}
