#include "RoomEngine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <type_traits>
#include <utility>

#include <emmintrin.h>

#include "PinFacts.h"
#include "RoutineKernels.h"
#include "TapPins.h"

namespace er_room {

namespace {

using kernels::Flush;
using kernels::Flush2;
using kernels::Interpolate;
using kernels::Interpolate2;
using kernels::Load2;

// Frames whose sums stay in the first-level cache while every tap adds into them.
constexpr std::int32_t CHUNK = 256;
// A group's history slides back to its start when full; at least this many frames between slides, so that the copy
// (its reach) costs a fraction of a sample per frame.
constexpr std::int32_t MIN_SLIDE = 2048;
constexpr std::int32_t NO_SMALL = -(1 << 30);  // where a line's last small value lies when it holds none

// The fast path of a whole-sample tap. The module's output is float(flush(V x d)) with V x d formed in double, where
// the product of two floats is exact. For |p| >= 2^-21 the flush gives p back exactly: p - beta and the sum after it
// need at most 53 bits, so neither rounds, in any rounding mode. Then float(p) is what a float multiplication
// rounds V x d to, in the same mode: four samples' products in one instruction. A zero product is also fast: its sign
// may differ from the flush's +0, which no sum that starts at +0 can show. The rest, the small products, take the
// module's own arithmetic.
constexpr std::uint32_t EXACT_PRODUCT_BITS = (127u - 21u) << 23;  // the float 2^-21
// Slow iff 0 < |p| < 2^-21, as one signed comparison: |p|'s bits plus 0x7FFFFFFF put 0 at the top and 1 at the
// bottom of the int32 range.
constexpr std::int32_t SMALL_LIMIT = static_cast<std::int32_t>(0x80000000u + EXACT_PRODUCT_BITS - 1u);

inline bool AnySmall(__m128 products) {
    const __m128i magnitude = _mm_and_si128(_mm_castps_si128(products), _mm_set1_epi32(0x7FFFFFFF));
    const __m128i shifted = _mm_add_epi32(magnitude, _mm_set1_epi32(0x7FFFFFFF));
    return _mm_movemask_epi8(_mm_cmpgt_epi32(_mm_set1_epi32(SMALL_LIMIT), shifted)) != 0;
}

// Four outputs float(flush(V x d)) by the module's arithmetic.
inline __m128 ExactScaled4(const float* d, double volume) {
    const __m128d v2 = _mm_set1_pd(volume);
    const __m128 lower = _mm_cvtpd_ps(Flush2(_mm_mul_pd(v2, Load2(d))));
    const __m128 upper = _mm_cvtpd_ps(Flush2(_mm_mul_pd(v2, Load2(d + 2))));
    return _mm_movelh_ps(lower, upper);
}

inline float ExactScaled(float d, double volume) {
    return static_cast<float>(Flush(volume * d));
}

// acc[0..3] += the four floats, each widened (exactly) to double.
inline void AddFour(double* acc, __m128 outputs) {
    _mm_storeu_pd(acc, _mm_add_pd(_mm_loadu_pd(acc), _mm_cvtps_pd(outputs)));
    _mm_storeu_pd(acc + 2, _mm_add_pd(_mm_loadu_pd(acc + 2), _mm_cvtps_pd(_mm_movehl_ps(outputs, outputs))));
}

// float(flush(V x d[i])) for i < n, in the rounding mode in force: stored into out[i] (float), or added to it
// (double, the sums).
// kChecked: some d may make a small product; else none does (the group's lines hold no small value: see
// Group::last_small), and the check is left out.
template <bool kChecked, typename Out>
void Scaled(const float* d, float volume_float, double volume, Out* out, std::int32_t n) {
    const __m128 v4 = _mm_set1_ps(volume_float);
    std::int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128 p = _mm_mul_ps(v4, _mm_loadu_ps(d + i));
        if (kChecked && AnySmall(p)) [[unlikely]]
            p = ExactScaled4(d + i, volume);
        if constexpr (std::is_same_v<Out, double>) {
            AddFour(out + i, p);
        } else {
            _mm_storeu_ps(out + i, p);
        }
    }
    for (; i < n; ++i) {
        if constexpr (std::is_same_v<Out, double>) {
            out[i] += ExactScaled(d[i], volume);
        } else {
            out[i] = ExactScaled(d[i], volume);
        }
    }
}

// acc[i] += float(flush(V x (a[i] + (b[i] - a[i]) f))) for i < n: the module's interpolated tap, a the value written
// k samples before and b its older neighbour.
void AddInterpolated(const float* a, const float* b, double volume, double fraction, double* acc, std::int32_t n) {
    const __m128d v2 = _mm_set1_pd(volume);
    const __m128d f2 = _mm_set1_pd(fraction);
    std::int32_t i = 0;
    for (; i + 2 <= n; i += 2) {
        const __m128 y = _mm_cvtpd_ps(Flush2(_mm_mul_pd(v2, Interpolate2(Load2(a + i), Load2(b + i), f2))));
        _mm_storeu_pd(acc + i, _mm_add_pd(_mm_loadu_pd(acc + i), _mm_cvtps_pd(y)));
    }
    for (; i < n; ++i) acc[i] += static_cast<float>(Flush(volume * Interpolate(a[i], b[i], fraction)));
}

// The index of the last of h[0 .. n) in 0 < |h| < below, or -1. Four at a time: as in AnySmall, |h|'s bits plus
// 0x7FFFFFFF put 0 at the top of the int32 range, so one signed comparison finds them.
std::int32_t LastSmall(const float* h, std::int32_t n, float below) {
    if (!(below > 0.0f)) return -1;  // no tap with a volume: nothing is small
    std::int32_t below_bits;
    std::memcpy(&below_bits, &below, sizeof below_bits);
    const __m128i limit = _mm_set1_epi32(static_cast<std::int32_t>(0x80000000u + static_cast<std::uint32_t>(below_bits) - 1u));
    const __m128i magnitude_mask = _mm_set1_epi32(0x7FFFFFFF);
    std::int32_t last = -1;
    std::int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i magnitude = _mm_and_si128(_mm_castps_si128(_mm_loadu_ps(h + i)), magnitude_mask);
        const int found = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(limit, _mm_add_epi32(magnitude, magnitude_mask))));
        if (found != 0) [[unlikely]]
            last = i + 31 - std::countl_zero(static_cast<std::uint32_t>(found));
    }
    for (; i < n; ++i) {
        const float magnitude = std::fabs(h[i]);
        if (magnitude > 0.0f && magnitude < below) last = i;
    }
    return last;
}

}  // namespace

// A filtered history: every value the module of any of its taps writes into its line, oldest first.
struct RoomEngine::Group {
    std::int32_t input = 0;
    float damping = 0.0f;    // D; 0: the Plain routine, whose line holds the input as it is
    std::int32_t reach = 1;  // the furthest back any of its taps reads
    std::vector<float> history;
    std::int32_t next = 0;  // where the next value goes: history[next - k] was written k samples ago
    double state = 0.0;     // S, the low-pass's state; a float between blocks, as the module keeps it
    // A value is small where a tap's volume can make a small product of it: 0 < |h| < 2^-21 / (the smallest
    // volume of its taps). `last_small` is where the latest of them lies in `history` (far below 0 for none); a
    // block whose reads, history[next - reach .. next + count), meet none runs the taps without the check.
    float small_below = 0.0f;
    std::int32_t last_small = NO_SMALL;
};

struct RoomEngine::Tap {
    std::int32_t group = 0;
    std::int32_t output = 0;
    float volume_float = 0.0f;
    double volume = 0.0;
    std::int32_t delay = 1;      // k
    std::int32_t neighbour = 2;  // the older neighbour's delay: k + 1, or 1 where k is the whole line
    bool interpolates = false;
    double fraction = 0.0;
    bool toward_zero = false;  // the whole-sample Plain routine rounds toward zero
};

std::int32_t RoomOutputChannels(const Pattern& pattern, std::int32_t input_channels) {
    if (input_channels < 1) return 0;
    if (pattern.channels == 1) return input_channels;
    return input_channels <= 2 ? pattern.channels : 0;
}

EnginePlan PlanRoom(const Pattern& pattern, float rate, bool fractional, std::int32_t input_channels) {
    EnginePlan plan;
    plan.inputs = input_channels;
    plan.outputs = RoomOutputChannels(pattern, input_channels);
    if (plan.outputs == 0) {
        throw RoomError("a stereo room takes one or two input channels, not " + std::to_string(input_channels));
    }
    const bool mono = pattern.channels == 1;
    std::vector<EngineTap> taps;
    for (const Tap& tap : pattern.taps) {
        const TapPins pins = PinsForTap(tap, rate, fractional);
        EngineTap engine;
        engine.output = tap.channel;
        engine.volume = effect_pins::PinFloat(pins.volume);
        engine.damping = effect_pins::PinFloat(pins.damping);
        engine.line = static_cast<std::uint32_t>(effect_pins::BufferLength(pins.max_delay, rate));
        engine.delay = static_cast<std::uint32_t>(std::floor(pins.samples));
        engine.interpolates = fractional;
        engine.fraction = static_cast<float>(pins.samples - engine.delay);
        taps.push_back(engine);
    }
    for (std::int32_t output = 0; output < plan.outputs; ++output) {
        for (EngineTap tap : taps) {
            if (!mono && tap.output != output) continue;
            tap.output = output;
            tap.input = mono || input_channels == 2 ? output : 0;
            plan.taps.push_back(tap);
        }
    }
    return plan;
}

RoomEngine::RoomEngine(const EnginePlan& plan, std::int32_t max_block)
    : m_inputs(plan.inputs), m_outputs(plan.outputs), m_max_block(std::max(max_block, 1)) {
    std::map<std::pair<std::int32_t, float>, std::int32_t> group_of;
    for (const EngineTap& planned : plan.taps) {
        Tap tap;
        const auto key = std::make_pair(planned.input, planned.damping);
        const auto [found, added] = group_of.emplace(key, static_cast<std::int32_t>(m_groups.size()));
        if (added) {
            m_groups.emplace_back();
            m_groups.back().input = planned.input;
            m_groups.back().damping = planned.damping;
        }
        tap.group = found->second;
        tap.output = planned.output;
        tap.volume_float = planned.volume;
        tap.volume = planned.volume;
        tap.delay = static_cast<std::int32_t>(planned.delay);
        tap.neighbour = planned.delay == planned.line ? 1 : tap.delay + 1;
        tap.interpolates = planned.interpolates;
        tap.fraction = planned.fraction;
        tap.toward_zero = !planned.interpolates && planned.damping == 0.0f;
        Group& group = m_groups[static_cast<std::size_t>(tap.group)];
        group.reach = std::max({group.reach, tap.delay, tap.interpolates ? tap.neighbour : 1});
        m_taps.push_back(tap);
    }
    // Each group's bound for small values, from the smallest volume among its taps (a tap of volume 0 makes only
    // zeros, whose sign no sum shows): rounded up, so that |V| >= that volume and |h| >= the bound give |V h| >=
    // 2^-21 exactly.
    std::vector<double> quietest(m_groups.size(), 0.0);
    for (const Tap& tap : m_taps) {
        const double v = std::fabs(tap.volume);
        double& q = quietest[static_cast<std::size_t>(tap.group)];
        if (v > 0.0 && (q == 0.0 || v < q)) q = v;
    }
    for (std::size_t g = 0; g < m_groups.size(); ++g) {
        const double bound = quietest[g] > 0.0 ? 0x1p-21 / quietest[g] * (1.0 + 0x1p-30) : 0.0;
        float below = static_cast<float>(std::min(bound, 3.0e38));
        if (static_cast<double>(below) < bound) below = std::nextafter(below, std::numeric_limits<float>::infinity());
        m_groups[g].small_below = below;
    }
    for (Group& group : m_groups) {
        const std::int32_t slide = std::max({m_max_block, 2 * group.reach, MIN_SLIDE});
        group.history.assign(static_cast<std::size_t>(group.reach + slide), 0.0f);
    }
    m_scratch.assign(CHUNK, 0.0f);
    m_sums.assign(static_cast<std::size_t>(m_outputs) * CHUNK, 0.0);
    m_in_channels.assign(static_cast<std::size_t>(m_inputs), nullptr);
    m_wet_channels.assign(static_cast<std::size_t>(m_outputs), nullptr);
    m_checked.assign(m_groups.size(), 1);
    m_any_toward_zero = std::any_of(m_taps.begin(), m_taps.end(), [](const Tap& t) { return t.toward_zero; });
    Reset();
}

RoomEngine::~RoomEngine() = default;

std::int32_t RoomEngine::Taps() const {
    return static_cast<std::int32_t>(m_taps.size());
}

std::int32_t RoomEngine::Groups() const {
    return static_cast<std::int32_t>(m_groups.size());
}

std::size_t RoomEngine::MemoryBytes() const {
    std::size_t bytes = sizeof(*this) + m_taps.capacity() * sizeof(Tap) + m_scratch.capacity() * sizeof(float) +
                        m_sums.capacity() * sizeof(double);
    for (const Group& group : m_groups) bytes += sizeof(Group) + group.history.capacity() * sizeof(float);
    return bytes;
}

void RoomEngine::Reset() {
    for (Group& group : m_groups) {
        std::fill(group.history.begin(), group.history.end(), 0.0f);
        group.next = group.reach;
        group.state = 0.0;
        group.last_small = NO_SMALL;
    }
}

namespace {

// The low-passes of up to 2 x PAIRS groups, two to an instruction, each sample after the previous one: S =
// flush(x - D (x - S)) and the line gets float(S), as the module's "Input+Tap1" step with no feedback computes it
// (x + 0 d is x, and a zero of either sign flushes to +0). At the end the states become floats, as the module
// stores its state between blocks.
template <int PAIRS>
void FilterPairs(double* const* states, const float* dampings, const float* const* inputs, std::ptrdiff_t stride,
                 float* const* lines, std::int32_t count) {
    __m128d s[PAIRS], d[PAIRS];
    for (int p = 0; p < PAIRS; ++p) {
        s[p] = _mm_set_pd(*states[2 * p + 1], *states[2 * p]);
        d[p] = _mm_set_pd(dampings[2 * p + 1], dampings[2 * p]);
    }
    for (std::int32_t i = 0; i < count; ++i) {
        for (int p = 0; p < PAIRS; ++p) {
            const __m128d x = _mm_set_pd(inputs[2 * p + 1][i * stride], inputs[2 * p][i * stride]);
            s[p] = Flush2(_mm_sub_pd(x, _mm_mul_pd(d[p], _mm_sub_pd(x, s[p]))));
            const __m128 written = _mm_cvtpd_ps(s[p]);
            _mm_store_ss(lines[2 * p] + i, written);
            _mm_store_ss(lines[2 * p + 1] + i, _mm_shuffle_ps(written, written, 1));
        }
    }
    for (int p = 0; p < PAIRS; ++p) {
        const __m128d kept = _mm_cvtps_pd(_mm_cvtpd_ps(s[p]));
        *states[2 * p] = _mm_cvtsd_f64(kept);
        *states[2 * p + 1] = _mm_cvtsd_f64(_mm_unpackhi_pd(kept, kept));
    }
}

using FilterPairsFn = void (*)(double* const*, const float*, const float* const*, std::ptrdiff_t, float* const*,
                               std::int32_t);
// Each pair's chain waits on its last result, so the more pairs side by side the better, while their states fit
// the sixteen registers of x86-64 beside x and beta (the dampings are read from memory).
constexpr std::int32_t MOST_PAIRS = 8;
constexpr FilterPairsFn FILTER_PAIRS[MOST_PAIRS + 1] = {nullptr, FilterPairs<1>, FilterPairs<2>,
                                                        FilterPairs<3>, FilterPairs<4>, FilterPairs<5>,
                                                        FilterPairs<6>, FilterPairs<7>, FilterPairs<8>};

}  // namespace

void RoomEngine::FilterGroups(const float* const* in, std::ptrdiff_t stride, std::int32_t count) {
    double* states[2 * MOST_PAIRS];
    float dampings[2 * MOST_PAIRS];
    const float* inputs[2 * MOST_PAIRS];
    float* lines[2 * MOST_PAIRS];
    std::int32_t lanes = 0;
    auto run = [&] {
        if (lanes % 2 == 1) {  // the odd group twice: both lanes compute and write the same values
            states[lanes] = states[lanes - 1];
            dampings[lanes] = dampings[lanes - 1];
            inputs[lanes] = inputs[lanes - 1];
            lines[lanes] = lines[lanes - 1];
            ++lanes;
        }
        if (lanes > 0) FILTER_PAIRS[lanes / 2](states, dampings, inputs, stride, lines, count);
        lanes = 0;
    };
    for (Group& group : m_groups) {
        if (group.next + count > static_cast<std::int32_t>(group.history.size())) {
            const std::int32_t shift = group.next - group.reach;
            std::memmove(group.history.data(), group.history.data() + shift,
                         static_cast<std::size_t>(group.reach) * sizeof(float));
            group.next = group.reach;
            group.last_small = std::max(group.last_small - shift, NO_SMALL);
        }
        float* line = group.history.data() + group.next;
        const float* x = in[group.input];
        if (group.damping == 0.0f) {
            if (stride == 1) {
                std::memcpy(line, x, static_cast<std::size_t>(count) * sizeof(float));
            } else {
                for (std::int32_t i = 0; i < count; ++i) line[i] = x[i * stride];
            }
            continue;
        }
        states[lanes] = &group.state;
        dampings[lanes] = group.damping;
        inputs[lanes] = x;
        lines[lanes] = line;
        if (++lanes == 2 * MOST_PAIRS) run();
    }
    run();
    for (Group& group : m_groups) {
        const std::int32_t last = LastSmall(group.history.data() + group.next, count, group.small_below);
        if (last >= 0) group.last_small = group.next + last;
    }
}

void RoomEngine::SumTaps(double* const* wet, std::ptrdiff_t stride, std::int32_t count) {
    const std::uint32_t csr = m_any_toward_zero ? _mm_getcsr() : 0u;
    const bool rows = stride == 1;
    if (rows) {
        for (std::int32_t output = 0; output < m_outputs; ++output) std::fill_n(wet[output], count, 0.0);
    }
    // Whether a group's taps may meet a small value this block.
    for (std::size_t g = 0; g < m_groups.size(); ++g) {
        m_checked[g] = m_groups[g].last_small >= m_groups[g].next - m_groups[g].reach ? 1 : 0;
    }
    for (std::int32_t first = 0; first < count; first += CHUNK) {
        const std::int32_t n = std::min(CHUNK, count - first);
        if (!rows) std::fill(m_sums.begin(), m_sums.end(), 0.0);
        for (const Tap& tap : m_taps) {
            const Group& group = m_groups[static_cast<std::size_t>(tap.group)];
            // now[j - k]: the value written k samples before frame first + j.
            const float* now = group.history.data() + group.next + first;
            double* acc = rows ? wet[tap.output] + first
                               : m_sums.data() + static_cast<std::ptrdiff_t>(tap.output) * CHUNK;
            const bool checked = m_checked[static_cast<std::size_t>(tap.group)] != 0;
            if (tap.interpolates) {
                AddInterpolated(now - tap.delay, now - tap.neighbour, tap.volume, tap.fraction, acc, n);
            } else if (tap.toward_zero) {
                // Rounding toward zero with every exception masked, as the module's whole-sample Plain routine runs.
                _mm_setcsr(csr | MXCSR_ROUND_TOWARD_ZERO | MXCSR_EXCEPTION_MASKS);
                Scaled<true>(now - tap.delay, tap.volume_float, tap.volume, m_scratch.data(), n);
                _mm_setcsr(csr);
                for (std::int32_t i = 0; i < n; ++i) acc[i] += m_scratch[static_cast<std::size_t>(i)];
            } else {
                if (checked) {
                    Scaled<true>(now - tap.delay, tap.volume_float, tap.volume, acc, n);
                } else {
                    Scaled<false>(now - tap.delay, tap.volume_float, tap.volume, acc, n);
                }
            }
        }
        if (rows) continue;
        for (std::int32_t output = 0; output < m_outputs; ++output) {
            const double* sums = m_sums.data() + static_cast<std::ptrdiff_t>(output) * CHUNK;
            double* to = wet[output] + first * stride;
            for (std::int32_t i = 0; i < n; ++i) to[i * stride] = sums[i];
        }
    }
}

void RoomEngine::Prime(const float* const* in, std::int64_t frames) {
    const auto inputs = static_cast<std::size_t>(m_inputs);
    const float* piece[8] = {};
    if (inputs > std::size(piece)) return;
    for (std::int64_t done = 0; done < frames;) {
        const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(m_max_block, frames - done));
        for (std::size_t c = 0; c < inputs; ++c) piece[c] = in[c] + done;
        FilterGroups(piece, 1, count);
        Advance(count);
        done += count;
    }
}

void RoomEngine::Advance(std::int32_t count) {
    for (Group& group : m_groups) group.next += count;
}

std::int32_t RoomEngine::Reach() const {
    std::int32_t reach = 0;
    for (const Group& group : m_groups) reach = std::max(reach, group.reach);
    return reach;
}

bool RoomEngine::Process(const float* const* in, double* const* wet, std::int32_t count) {
    return Run(in, 1, wet, 1, count);
}

bool RoomEngine::ProcessInterleaved(const float* in, double* wet, std::int32_t count) {
    for (std::int32_t c = 0; c < m_inputs; ++c) m_in_channels[static_cast<std::size_t>(c)] = in + c;
    for (std::int32_t c = 0; c < m_outputs; ++c) m_wet_channels[static_cast<std::size_t>(c)] = wet + c;
    // A side of one channel has stride 1: its row is the buffer itself.
    return Run(m_in_channels.data(), m_inputs, m_wet_channels.data(), m_outputs, count);
}

bool RoomEngine::Run(const float* const* in, std::ptrdiff_t in_stride, double* const* wet, std::ptrdiff_t wet_stride,
                     std::int32_t count) {
    if (count < 0 || count > m_max_block) return false;
    if (count == 0) return true;
    FilterGroups(in, in_stride, count);
    SumTaps(wet, wet_stride, count);
    Advance(count);
    return true;
}

}  // namespace er_room
