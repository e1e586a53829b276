// The fifteen audio routines: Process<V, G> for every routing variant V and time group G, the block-start
// readers they share, and the routine table that lists them.
//
// A routine reads "1 Time" and "1 Volume 10=100%" at its block start (under the read policies), then runs one of
// three loop shapes, chosen at compile time:
//   PlainFromHistory  Plain with a block-rate delay ("Sample", "Fraction(Econ)"): no feedback, so every output
//                     is the line's history or this block's input, and the block goes into the line in one copy.
//   PerSampleDelays   "Fraction(Full)" while "1 Time" streams: a delay for every sample, then the sample.
//   FeedbackPairs     a feedback variant with a block-rate delay: two samples per step where that is exact.
#include <array>
#include <utility>

#include "Module.h"
#include "RoutineKernels.h"

// ---- block-start readers ----

// p = scale x Time is exact in double (a product of two floats); the conversion truncates toward zero. The
// switch masks every exception for the conversion of a value that is not a number or out of range.
void Module::UpdateTapTime(std::int32_t start, std::uint32_t entry_flags) {
    if (m_time_update == ReadPolicy::NextBlock) m_time_update = ReadPolicy::None;
    EnterRoundTowardZero(entry_flags);
    const double p = static_cast<double>(m_time_scale) * in_time[0][start];
    m_tap_offset = static_cast<std::int32_t>(effect_pins::TapByteOffset(DelayToInt32(p)));
    LeaveRoundTowardZero(entry_flags);
}

// Integer part k and fraction f = p - k of the delay p = scale x Time. p - k is exact in double; its store as
// a float rounds toward zero, so a fraction of a positive delay never rounds up to 1.0.
void Module::UpdateTapTimeFraction(std::int32_t start, std::uint32_t entry_flags) {
    if (m_time_update == ReadPolicy::NextBlock) m_time_update = ReadPolicy::None;
    EnterRoundTowardZero(entry_flags);
    const double p = static_cast<double>(m_time_scale) * in_time[0][start];
    const std::int32_t k = DelayToInt32(p);
    m_tap_fraction = static_cast<float>(p - k);
    m_tap_offset = static_cast<std::int32_t>(effect_pins::TapByteOffset(k));
    LeaveRoundTowardZero(entry_flags);
}

// "Linear": the pin value; "Analogue": its square, so a negative value gives a positive gain.
void Module::UpdateTapVolume(std::int32_t start) {
    if (m_volume_update == ReadPolicy::NextBlock) m_volume_update = ReadPolicy::None;
    const float v = in_volume[0][start];
    m_tap_volume = volume_mode == effect_pins::choice::LINEAR ? v : static_cast<float>(static_cast<double>(v) * v);
}

namespace {

using namespace kernels;

// Everything a block's loops need, taken from the fields once per block. The loop shapes are inlined into the
// routine, so the compiler keeps these in registers.
struct Block {
    float* buffer;         // the delay line, N floats
    std::uint32_t mask;    // (N - 1) * 4: folds a byte position onto a slot
    std::uint32_t offset;  // the tap's byte offset 4 k (block-rate groups)
    double fraction;       // f (FractionEcon)
    double volume;         // V
    double feedback;       // F (feedback variants)
    double damping;        // D (feedback variants)
    double state;          // S, carried from sample to sample
    const float* in;       // "Audio_In" from the block's first element
    float* out;            // "Out" from the block's first element
    std::uint32_t w;       // byte position of the next write, unfolded
};

// One sample, as the formulas read, with the tap at byte offset tap_offset (and fraction f).
template <RoutingVariant V, TimeGroup G>
[[gnu::always_inline]] inline void Step(Block& b, std::int32_t i, std::uint32_t tap_offset, double f) {
    b.w &= b.mask;
    const double d = G == TimeGroup::Sample ? TapWhole(b.buffer, b.mask, b.w, tap_offset)
                                            : TapInterpolated(b.buffer, b.mask, b.w, tap_offset, f);
    const double y = Flush(b.volume * d);
    b.out[i] = static_cast<float>(y);
    Slot(b.buffer, b.w) = VariantStep<V>(b.in[i], d, y, b.feedback, b.damping, b.state);
    b.w -= 4;  // one slot toward the start; the next fold wraps slot 0 to slot N - 1
}

// Plain with a block-rate delay: every output from the line's history and the input, then the block into the
// line, and the write position where a sample-by-sample loop would leave it.
template <TimeGroup G>
[[gnu::always_inline]] inline void PlainFromHistory(Block& b, std::int32_t count) {
    const std::uint32_t slots_mask = b.mask >> 2;
    const std::uint32_t w0 = (b.w & b.mask) >> 2;
    const std::uint32_t tap_delay = effect_pins::TapDelay(b.offset, slots_mask);
    if constexpr (G == TimeGroup::Sample) {
        EmitPlainWhole(b.buffer, slots_mask, w0, tap_delay, b.in, b.out, count, b.volume);
    } else {
        EmitPlainInterpolated(b.buffer, slots_mask, w0, tap_delay, b.in, b.out, count, b.volume, b.fraction);
    }
    WritePlainBlock(b.buffer, slots_mask, w0, b.in, count);
    b.w = ((w0 - static_cast<std::uint32_t>(count - 1)) & slots_mask) * 4u - 4u;  // unfolded, one below the last
}

// A delay for every sample: per chunk, the chunk's delays first (two at a time), then its samples.
template <RoutingVariant V>
[[gnu::always_inline]] inline void PerSampleDelays(Block& b, const float* time, double time_scale,
                                                   std::int32_t count) {
    constexpr std::int32_t CHUNK = 64;
    std::uint32_t offsets[CHUNK];
    double fractions[CHUNK];
    for (std::int32_t c = 0; c < count; c += CHUNK) {
        const std::int32_t n = std::min(CHUNK, count - c);
        SplitDelays(time + c, time_scale, n, offsets, fractions);
        for (std::int32_t j = 0; j < n; ++j) Step<V, TimeGroup::FractionFull>(b, c + j, offsets[j], fractions[j]);
    }
}

// A feedback variant with a block-rate delay: two samples at a time, all reads before both writes, which is
// exact unless the second sample's tap reads the slot the first one writes: delay 1, or, with the older
// neighbour, delay N. A pair's slots must not straddle the wrap: the stretches of pairs end where the write
// slot or the tap reaches slot 0 (or the neighbour slot N - 1), and one sample steps over it.
template <RoutingVariant V, TimeGroup G>
[[gnu::always_inline]] inline void FeedbackPairs(Block& b, std::int32_t count) {
    const std::uint32_t mask = b.mask;
    const std::uint32_t offset = b.offset;
    const std::uint32_t tap_delay = effect_pins::TapDelay(offset, mask >> 2);
    const bool pairs = tap_delay >= 2 && (G == TimeGroup::Sample || tap_delay <= mask >> 2);
    std::int32_t i = 0;
    if (pairs) {
        const __m128d v2 = _mm_set1_pd(b.volume);
        const __m128d f2 = _mm_set1_pd(b.fraction);
        const __m128d feedback2 = _mm_set1_pd(b.feedback);
        while (count - i >= 2) {
            b.w &= mask;
            const std::uint32_t r = (b.w + offset) & mask;
            const bool neighbour_wraps = G == TimeGroup::FractionEcon && r == mask;
            const std::uint32_t room = neighbour_wraps ? 0u : std::min(b.w, r) >> 2;
            const std::int32_t n = static_cast<std::int32_t>(
                std::min<std::uint32_t>((room + 1) / 2, static_cast<std::uint32_t>(count - i) / 2));
            if (n == 0) {
                Step<V, G>(b, i++, offset, b.fraction);
                continue;
            }
            for (std::int32_t end = i + 2 * n; i < end; i += 2) {
                // Slots r - 1, r (and r + 1) hold samples i + 1 and i in that order: downward.
                const std::uint32_t tap = (b.w + offset - 4) & mask;
                __m128d d = Load2(&Slot(b.buffer, tap));
                if constexpr (G == TimeGroup::FractionEcon) {
                    d = Interpolate2(d, Load2(&Slot(b.buffer, tap + 4)), f2);
                }
                d = Swap(d);
                const __m128d y = Flush2(_mm_mul_pd(v2, d));
                Store2(b.out + i, y);
                const __m128d written = VariantStepPair<V>(Load2(b.in + i), d, y, feedback2, b.damping, b.state);
                Store2(&Slot(b.buffer, b.w - 4), Swap(written));
                b.w -= 8;
            }
        }
    }
    for (; i < count; ++i) Step<V, G>(b, i, offset, b.fraction);
}

}  // namespace

// One block of `count` samples from element `start` of every pin buffer. Installed only while the effect is on
// with a delay line and all fourteen pins, so every buffer it touches exists.
template <RoutingVariant V, TimeGroup G>
void Module::Process(std::int32_t start, std::int32_t count) {
    constexpr bool PLAIN = V == RoutingVariant::Plain;
    // The per-sample fractional loops round every result and store toward zero; so does the whole-sample Plain
    // loop (it touches only the last bit of its output). The other loops run in the mode in force.
    constexpr bool ROUND_TOWARD_ZERO = G == TimeGroup::FractionFull || (G == TimeGroup::Sample && PLAIN);
    if (m_spare_dirty != 0) [[unlikely]]
        RezeroSpareSlice();  // after a poly reset of a long line

    // MXCSR is read at most once per call, and only where the mode must be switched.
    const bool read_time = G != TimeGroup::FractionFull && m_time_update != ReadPolicy::None;
    const std::uint32_t entry_flags = ROUND_TOWARD_ZERO || read_time ? EntryStatusFlags() : 0u;
    if (read_time) {
        if constexpr (G == TimeGroup::Sample) UpdateTapTime(start, entry_flags);
        if constexpr (G == TimeGroup::FractionEcon) UpdateTapTimeFraction(start, entry_flags);
    }
    if (m_volume_update != ReadPolicy::None) UpdateTapVolume(start);
    if constexpr (ROUND_TOWARD_ZERO) EnterRoundTowardZero(entry_flags);

    Block b{m_buffer.get(),
            static_cast<std::uint32_t>(m_buffer_mask),
            static_cast<std::uint32_t>(m_tap_offset),
            m_tap_fraction,
            m_tap_volume,
            PLAIN ? 0.0 : static_cast<double>(in_feedback[start]),
            PLAIN ? 0.0 : static_cast<double>(in_damping[start]),
            m_damping_state,
            in_audio + start,
            out_audio + start,
            static_cast<std::uint32_t>(m_write_pos)};
    if constexpr (G == TimeGroup::FractionFull) {
        PerSampleDelays<V>(b, in_time[0] + start, m_time_scale, count);
    } else if constexpr (PLAIN) {
        PlainFromHistory<G>(b, count);
    } else {
        FeedbackPairs<V, G>(b, count);
    }

    m_write_pos = static_cast<std::int32_t>(b.w);  // unfolded: -4 after a block that ended on slot 0
    m_damping_state = PLAIN ? 0.0f : static_cast<float>(b.state);
    if constexpr (ROUND_TOWARD_ZERO) LeaveRoundTowardZero(entry_flags);
}

// ---- the routine table ----

namespace {

// The time groups in table order (effect_pins::TIME_GROUPS, which also names the routines).
constexpr const auto& GROUPS = effect_pins::TIME_GROUPS;
using effect_pins::GroupRow;
constexpr std::size_t GROUP_COUNT = std::size(GROUPS);

// Each group is a run of ROUTING_VARIANT_COUNT entries after ProcessSilence, in GROUPS order, so that a
// TimeGroup value is its run's first entry and adding a RoutingVariant value gives the routine.
constexpr bool GroupsFollowEachOther() {
    for (std::size_t g = 0; g < GROUP_COUNT; ++g) {
        if (static_cast<std::size_t>(GROUPS[g].group) != 1 + g * ROUTING_VARIANT_COUNT) return false;
    }
    return true;
}
static_assert(GroupsFollowEachOther());
static_assert(1 + GROUP_COUNT * ROUTING_VARIANT_COUNT == ROUTINE_COUNT);
static_assert(static_cast<std::int32_t>(RoutingVariant::InputOutputFeedback) == ROUTING_VARIANT_COUNT - 1);

using RoutineTable = std::array<SERoutineRef, ROUTINE_COUNT>;

template <TimeGroup G, std::size_t... V>
constexpr void PutGroup(RoutineTable& table, std::index_sequence<V...>) {
    ((table[static_cast<std::size_t>(G) + V] =
          Module::Routine<Module, &Module::Process<static_cast<RoutingVariant>(V), G>>()),
     ...);
}

template <std::size_t... G>
constexpr RoutineTable MakeRoutineTable(std::index_sequence<G...>) {
    RoutineTable table{};
    table[0] = Module::Routine<Module, &Module::ProcessSilence>();
    (PutGroup<GROUPS[G].group>(table, std::make_index_sequence<ROUTING_VARIANT_COUNT>{}), ...);
    return table;
}

constexpr RoutineTable ROUTINES = MakeRoutineTable(std::make_index_sequence<GROUP_COUNT>{});

// Every slot is written exactly once: ProcessSilence at 0, then each group's variants from its TimeGroup value.
// Counted from the indexes rather than by testing the entries against null, which UndefinedBehaviorSanitizer's
// instrumentation turns into a comparison the compiler no longer evaluates as a constant.
constexpr bool EveryEntryFilledOnce() {
    std::array<int, ROUTINE_COUNT> writes{};
    ++writes[0];
    for (const GroupRow& row : GROUPS) {
        for (std::size_t v = 0; v < ROUTING_VARIANT_COUNT; ++v) {
            const std::size_t index = static_cast<std::size_t>(row.group) + v;
            if (index >= writes.size()) return false;
            ++writes[index];
        }
    }
    for (int count : writes) {
        if (count != 1) return false;
    }
    return true;
}
static_assert(EveryEntryFilledOnce());

}  // namespace

const std::array<SERoutineRef, ROUTINE_COUNT> Module::ROUTINE_TABLE = ROUTINES;
