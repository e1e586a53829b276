// The effect's numeric and control cases, driven through the substitute host with the module linked into this
// program (so that a few checks can look at a Module's fields, and a test can make its allocations fail).
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "EffectHarness.h"
#include "ExpectedPins.h"
#include "FloatControl.h"
#include "Module.h"
#include "ReferenceModel.h"

extern "C" std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity);
extern "C" void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback,
                                     void* host_data);

// White-box access to a Module behind a host instance.
class ModuleInspector {
public:
    explicit ModuleInspector(er_host::Instance& instance)
        : m(*static_cast<Module*>(static_cast<SEModule_base*>(instance.Record()->object))) {}
    Module& m;

    std::int32_t tap_offset() const { return m.m_tap_offset; }
    float tap_fraction() const { return m.m_tap_fraction; }
    float damping_state() const { return m.m_damping_state; }
    std::int32_t write_pos() const { return m.m_write_pos; }
    std::int32_t buffer_size() const { return m.m_buffer_size; }
    std::int32_t buffer_mask() const { return m.m_buffer_mask; }
    const float* buffer() const { return m.m_buffer.get(); }
    const float* spare() const { return m.m_spare.get(); }
    std::int32_t spare_dirty() const { return m.m_spare_dirty; }
    float time_scale() const { return m.m_time_scale; }
    ReadPolicy time_update() const { return m.m_time_update; }
    ReadPolicy volume_update() const { return m.m_volume_update; }
    std::int32_t idle_count() const { return m.m_idle_count; }
    ResetState reset_state() const { return m.m_reset_state; }
    std::int16_t max_delay() const { return m.max_delay; }
    std::int16_t allocated_max_delay() const { return m.m_allocated_max_delay; }
    std::vector<float> Line() const { return {m.m_buffer.get(), m.m_buffer.get() + m.m_buffer_size}; }
    bool LineIsEmpty() const {
        return std::all_of(buffer(), buffer() + buffer_size(), [](float v) { return effect_test::Bits(v) == 0; });
    }
    // The routine-table entry now installed, or -1 (the frame's empty routine).
    std::int32_t Routine() const {
        for (std::int32_t i = 0; i < ROUTINE_COUNT; ++i) {
            if (m.Record()->process == Module::ROUTINE_TABLE[i].entry) return i;
        }
        return -1;
    }
};

namespace {

using effect_test::Bits;
using effect_test::EffectHost;
using effect_test::FromBits;
using namespace effect_test;

constexpr std::int32_t SILENCE = 0, SAMPLE = 1, FULL = 6, ECON = 11;          // routine-table groups
constexpr std::int32_t TAP = 1, INPUT_TAP = 2, OUTPUT = 3, INPUT_OUTPUT = 4;  // variants (Plain 0)

const er_host::Library& InProcess() {
    static auto library = er_host::Library::FromEntries(&getModuleProperties, &makeModule);
    return *library;
}

er_host::InstanceOptions Options(float rate = UNIT_SCALE_RATE, std::int32_t block = 64) {
    er_host::InstanceOptions options;
    options.sample_rate = rate;
    options.block_size = block;
    return options;
}

struct Host : EffectHost {
    explicit Host(const er_host::InstanceOptions& options = Options()) : EffectHost(options, InProcess()) {}
    ModuleInspector Inspect() { return ModuleInspector(instance); }

    // Runs `input` through the module in calls of the given sizes (cycled), returning the output.
    std::vector<float> Run(const std::vector<float>& input, const std::vector<std::int32_t>& counts = {64}) {
        std::vector<float> output;
        std::size_t done = 0;
        for (std::size_t call = 0; done < input.size(); ++call) {
            const auto count = static_cast<std::int32_t>(
                std::min<std::size_t>(static_cast<std::size_t>(counts[call % counts.size()]), input.size() - done));
            std::copy_n(input.begin() + static_cast<std::ptrdiff_t>(done), count, Buffer(pins.audio_in));
            instance.Process(count);
            output.insert(output.end(), Out(), Out() + count);
            done += static_cast<std::size_t>(count);
        }
        return output;
    }
    std::vector<float> Silence(std::size_t samples, const std::vector<std::int32_t>& counts = {64}) {
        return Run(std::vector<float>(samples, 0.0f), counts);
    }
    // The line gets some signal: `samples` of a ramp.
    void Feed(std::int32_t samples) {
        std::vector<float> ramp(static_cast<std::size_t>(samples));
        for (std::int32_t i = 0; i < samples; ++i) ramp[static_cast<std::size_t>(i)] = 0.01f * static_cast<float>(i + 1);
        Run(ramp);
    }
};

std::vector<float> UnitImpulse(std::size_t samples) {
    std::vector<float> impulse(samples, 0.0f);
    impulse[0] = 1.0f;
    return impulse;
}

// Every sample but those listed is exactly +0.
void ExpectOnly(const std::vector<float>& output, const std::vector<std::pair<std::size_t, float>>& expected,
                const std::string& what) {
    for (std::size_t i = 0; i < output.size(); ++i) {
        float want = 0.0f;
        for (const auto& [index, value] : expected) {
            if (index == i) want = value;
        }
        ASSERT_EQ(Bits(output[i]), Bits(want)) << what << ": sample " << i << " is " << output[i] << ", not " << want;
    }
}

// Counts delay-line allocations and can make them fail: all of them, or the one numbered `fail_call` (from 1).
struct AllocatorSpy {
    static inline std::int32_t calls = 0;
    static inline bool fail = false;
    static inline std::int32_t fail_call = 0;
    static float* Allocate(std::size_t samples) {
        ++calls;
        return fail || calls == fail_call ? nullptr : AllocateZeroedLine(samples);
    }
    AllocatorSpy() : m_saved(g_buffer_allocator) {
        calls = 0;
        fail = false;
        fail_call = 0;
        g_buffer_allocator = &Allocate;
    }
    ~AllocatorSpy() { g_buffer_allocator = m_saved; }
    BufferAllocator m_saved;
};

// ---- the delay law ----------------------------------------------------------------------------------------

TEST(DelayLaw, WholeSampleDelayFoldsIntoOneToN) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Time values are delays in samples here (Time(ms) at the unit-scale rate); N = 256.
    const std::pair<float, std::size_t> cases[] = {
        {1.0f, 1},
        {3.0f, 3},
        {0.0f, 256},
        {2.9f, 2},
        {-2.9f, 254},
        {-1.0f, 255},
        {255.0f, 255},
        {256.0f, 256},
        {259.0f, 3},
        {600.0f, 88},
        {nan, 256},
        {1e30f, 256},
        {-1e30f, 256},
        {3e9f, 256},
    };
    for (const auto& [time, delay] : cases) {
        Host host;
        host.StartPlain(time, 1.0f);
        ExpectOnly(host.Run(UnitImpulse(300)), {{delay, 1.0f}}, "Time " + std::to_string(time));
    }
}

TEST(DelayLaw, ImpulseLandsAtTheDelayWhateverTheBlocks) {
    for (const std::vector<std::int32_t>& counts :
         std::vector<std::vector<std::int32_t>>{{1}, {3, 5, 12}, {7}, {64}, {63, 1, 2}}) {
        Host host;
        host.StartPlain(3.0f, 1.0f);
        ExpectOnly(host.Run(UnitImpulse(600), counts), {{3, 1.0f}}, "blocks");
    }
}

TEST(DelayLaw, FractionalQuarterDelayInBothGroups) {
    for (const std::int16_t accuracy : {ACCURACY_ECON, ACCURACY_FULL}) {
        for (const std::vector<std::int32_t>& counts : std::vector<std::vector<std::int32_t>>{{1}, {3, 5, 12}, {64}}) {
            Host host;
            host.StartPlain(2.25f, 1.0f);
            host.instance.PostChoice(host.pins.time_accuracy, accuracy);
            if (accuracy == ACCURACY_FULL) host.instance.PostStatus(host.pins.time, PS_STREAMING);
            host.instance.Process(1);  // settles the notifications; the line is still empty
            const std::int32_t expected_routine = accuracy == ACCURACY_FULL ? FULL : ECON;
            ASSERT_EQ(host.Inspect().Routine(), expected_routine);
            std::vector<float> output = host.Run(UnitImpulse(300), counts);
            ExpectOnly(output, {{2, 0.75f}, {3, 0.25f}}, accuracy == ACCURACY_FULL ? "Full" : "Econ");
        }
    }
}

TEST(DelayLaw, BlockRateReaderKeepsOffsetAndFraction) {
    for (const auto& [time, offset, fraction] :
         {std::tuple{2.25f, 8, 0.25f}, std::tuple{-2.25f, -8, -0.25f}, std::tuple{0.5f, 0, 0.5f}}) {
        Host host;
        host.StartPlain(time, 1.0f);
        host.instance.PostChoice(host.pins.time_accuracy, ACCURACY_ECON);
        host.instance.Process(1);
        EXPECT_EQ(host.Inspect().tap_offset(), offset) << time;
        EXPECT_EQ(host.Inspect().tap_fraction(), fraction) << time;
    }
}

// p - k is exact in double; its store as a float must round toward zero. The inputs are chosen where rounding
// to nearest gives another float, so the test fails if the mode is not in force.
TEST(DelayLaw, StoredFractionRoundsTowardZero) {
    std::int32_t discriminating = 0;
    for (std::int32_t i = 1; i < 400 && discriminating < 20; ++i) {
        const float time = 0.00098765f * static_cast<float>(i) - 0.09f;  // "Samples": p = 10 x time
        const double p = 10.0 * static_cast<double>(time);
        const double exact_fraction = p - std::trunc(p);
        reference::DelayModel model(256);
        model.ReadTime(reference::Group::FractionEcon, 10.0f, time);
        if (static_cast<float>(exact_fraction) == model.tap_fraction) continue;  // nearest would agree
        ++discriminating;
        Host host;
        host.StartPlain(time, 1.0f, TIME_MODE_SAMPLES);
        host.instance.PostChoice(host.pins.time_accuracy, ACCURACY_ECON);
        host.instance.Process(1);
        ASSERT_EQ(Bits(host.Inspect().tap_fraction()), Bits(model.tap_fraction)) << "Time " << time;
    }
    EXPECT_EQ(discriminating, 20);
}

// ---- the variant step, volume and flush -------------------------------------------------------------------

TEST(VariantStep, QuarterDampingWeightsThePreviousState) {
    // TapFeedback with a streaming feedback pin at 0: the buffer gets the input, the tap reads 1.0 from the second
    // sample on, and S follows d - D (d - S).
    Host host;
    host.StartPlain(1.0f, 1.0f);
    host.instance.PostFloat(host.pins.damping, 0.25f);
    host.instance.PostStatus(host.pins.feedback, PS_STREAMING);  // its samples stay 0
    host.Run({1.0f});
    ASSERT_EQ(host.Inspect().Routine(), SAMPLE + TAP);
    EXPECT_EQ(host.Inspect().damping_state(), 0.0f);
    for (const float expected : {0.75f, 0.9375f, 0.984375f}) {
        host.Run({1.0f}, {1});
        EXPECT_EQ(host.Inspect().damping_state(), expected);
    }
}

TEST(Volume, AnalogueSquaresLinearScales) {
    for (const auto& [mode, gain] : {std::pair{0, -0.5f}, std::pair{1, 0.25f}}) {
        Host host;
        host.StartPlain(3.0f, -0.5f);
        host.instance.PostChoice(host.pins.volume_mode, static_cast<std::int16_t>(mode));
        ExpectOnly(host.Run(UnitImpulse(100)), {{3, gain}}, mode ? "Analogue" : "Linear");
    }
}

// The per-sample fractional loops round toward zero: there a decaying loop of positive values settles at
// flush's smallest result, 2^-69, rather than 0; still never a subnormal.
TEST(Flush, DecayingLoopsInRoundTowardZeroSettleAtTheFlushFloor) {
    Host host;
    host.StartPlain(3.0f, 0.9f);
    host.instance.PostFloat(host.pins.feedback, 0.5f);
    host.instance.PostChoice(host.pins.time_accuracy, ACCURACY_FULL);
    host.instance.PostStatus(host.pins.time, PS_STREAMING);
    const std::vector<float> output = host.Run(UnitImpulse(3000));
    ASSERT_EQ(host.Inspect().Routine(), FULL + TAP);
    for (std::size_t i = 0; i < output.size(); ++i) {
        ASSERT_FALSE(output[i] != 0.0f && std::fabs(output[i]) < FLT_MIN) << "subnormal at " << i;
    }
    EXPECT_TRUE(std::all_of(output.end() - 1000, output.end(),
                            [](float v) { return Bits(v) == 0 || Bits(v) == 0x1D000000u; }));
}

TEST(Flush, DecayingLoopsReachExactZeroWithoutSubnormals) {
    for (const std::int16_t routing : {0, 1, 2, 3}) {
        Host host;
        host.StartPlain(3.0f, 0.9f);
        host.instance.PostChoice(host.pins.routing_mode, routing);
        host.instance.PostFloat(host.pins.feedback, 0.5f);
        const std::vector<float> output = host.Run(UnitImpulse(3000));
        ASSERT_EQ(host.Inspect().Routine(), SAMPLE + 1 + routing);
        EXPECT_NE(output[3], 0.0f);
        for (std::size_t i = 0; i < output.size(); ++i) {
            ASSERT_FALSE(output[i] != 0.0f && std::fabs(output[i]) < FLT_MIN) << "subnormal at " << i;
        }
        EXPECT_TRUE(std::all_of(output.end() - 1000, output.end(), [](float v) { return Bits(v) == 0; }))
            << "mode " << routing;
        EXPECT_TRUE(host.Inspect().LineIsEmpty()) << "mode " << routing;
    }
}

// The whole-sample Plain loop runs in round-toward-zero, where flush(z) of a tiny positive z is the last place
// of beta in double, 2^-69, not 0 (a tiny negative z still gives 0): never a subnormal either way.
TEST(Flush, PlainStoresASubnormalInputUnchangedAndNeverOutputsOne) {
    for (const auto& [input, output_bits] : {std::pair{0x00000123u, 0x1D000000u}, std::pair{0x80000123u, 0u}}) {
        Host host;
        host.StartPlain(1.0f, 1.0f);
        const std::vector<float> output = host.Run({FromBits(input), 0.0f, 0.0f}, {1});
        EXPECT_EQ(Bits(host.Inspect().buffer()[0]), input);  // the first write lands in slot 0, unchanged
        EXPECT_EQ(Bits(output[1]), output_bits);
        EXPECT_EQ(host.Inspect().damping_state(), 0.0f);
    }
}

TEST(WritePosition, MovesDownAndWrapsAcrossABlockBoundary) {
    Host host;
    host.StartPlain(1.0f, 1.0f);
    host.Run({0.5f}, {1});
    EXPECT_EQ(host.Inspect().write_pos(), -4);  // stored unfolded after slot 0
    host.Run({0.25f, 0.0f}, {1});
    EXPECT_EQ(host.Inspect().buffer()[255], 0.25f);  // the next write went to slot N - 1
    EXPECT_EQ(host.Inspect().write_pos(), 255 * 4 - 8);
}

// ---- routine selection and read policies ------------------------------------------------------------------

struct SelectionCase {
    std::int16_t routing;
    float feedback;  // NaN-free values are static; STREAM streams (its samples stay 0)
    float damping;
    std::int16_t accuracy;
    bool time_streaming;
    std::int32_t expected;
};
constexpr float STREAM = 12345.0f;

TEST(RoutineSelection, FollowsRoutingAmountsAndAccuracy) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const SelectionCase cases[] = {
        {0, 0.0f, 0.5f, 0, false, SAMPLE},              // "Tap1": damping alone selects nothing
        {1, 0.0f, 0.5f, 0, false, SAMPLE + INPUT_TAP},  // "Input+Tap1": it does
        {0, STREAM, 0.0f, 0, false, SAMPLE + TAP},      // a streaming feedback at 0 counts as non-zero
        {2, 0.3f, 0.0f, 0, false, SAMPLE + OUTPUT},
        {3, 0.0f, 0.0f, 0, false, SAMPLE},
        {3, 0.0f, STREAM, 0, false, SAMPLE + INPUT_OUTPUT},
        {3, -0.2f, 0.0f, 0, false, SAMPLE + INPUT_OUTPUT},
        {9, 1.0f, 1.0f, 0, false, SAMPLE},  // a mode not in the list
        {0, nan, 0.0f, 0, false, SAMPLE},   // not a number counts as zero
        {1, 0.0f, nan, 0, false, SAMPLE},
        {0, 0.3f, 0.0f, 1, false, ECON + TAP},
        {0, 0.3f, 0.0f, 1, true, ECON + TAP},      // Econ stays block-rate while Time streams
        {2, 0.3f, 0.0f, 2, false, ECON + OUTPUT},  // Full with a static Time runs block-rate
        {2, 0.3f, 0.0f, 2, true, FULL + OUTPUT},
        {1, 0.0f, 0.0f, 2, true, FULL},
        {0, 0.3f, 0.0f, 7, true, ECON + TAP},  // an accuracy not in the list
    };
    for (const SelectionCase& c : cases) {
        Host host;
        host.StartPlain(3.0f, 1.0f);
        auto& instance = host.instance;
        instance.PostChoice(host.pins.routing_mode, c.routing);
        if (c.feedback == STREAM) instance.PostStatus(host.pins.feedback, PS_STREAMING);
        else instance.PostFloat(host.pins.feedback, c.feedback);
        if (c.damping == STREAM) instance.PostStatus(host.pins.damping, PS_STREAMING);
        else instance.PostFloat(host.pins.damping, c.damping);
        instance.PostChoice(host.pins.time_accuracy, c.accuracy);
        if (c.time_streaming) instance.PostStatus(host.pins.time, PS_STREAMING);
        instance.Process(1);
        EXPECT_EQ(host.Inspect().Routine(), c.expected)
            << Module::RoutineName(host.Inspect().Routine()) << " installed; routing " << c.routing << ", feedback "
            << c.feedback << ", damping " << c.damping << ", accuracy "
            << c.accuracy << ", time streaming " << c.time_streaming;
    }
}

// The routine table's layout (group offset plus variant) and the names built from the same list agree with the
// tests' own naming of every routine.
TEST(RoutineSelection, TableEntriesCarryTheirRoutinesNames) {
    using reference::Group;
    using reference::Variant;
    const std::pair<Group, std::int32_t> groups[] = {{Group::Sample, SAMPLE}, {Group::FractionFull, FULL}, {Group::FractionEcon, ECON}};
    for (const auto& [group, first] : groups) {
        for (std::int32_t v = 0; v <= INPUT_OUTPUT; ++v) {
            EXPECT_EQ(Module::RoutineName(first + v), reference::RoutineName(group, static_cast<Variant>(v)));
        }
    }
    EXPECT_EQ(Module::RoutineName(SILENCE), "ProcessSilence");
    EXPECT_EQ(Module::RoutineName(ROUTINE_COUNT), "");
    EXPECT_EQ(Module::RoutineName(-1), "");
}

TEST(RoutineSelection, FullFallsBackToBlockRateWithOneFreshReadWhenTimeStopsStreaming) {
    Host host;
    host.StartPlain(3.0f, 1.0f);
    host.instance.PostChoice(host.pins.time_accuracy, ACCURACY_FULL);
    host.instance.PostStatus(host.pins.time, PS_STREAMING);
    host.instance.Process(4);
    EXPECT_EQ(host.Inspect().Routine(), FULL);
    EXPECT_EQ(host.Inspect().time_update(), ReadPolicy::EveryBlock);
    ReadPolicy policy_at_change = ReadPolicy::None;
    host.instance.before_process = [&](std::int32_t start, std::int32_t) {
        if (start == 2) policy_at_change = host.Inspect().time_update();
    };
    host.instance.PostFloat(host.pins.time, 5.0f, 2);  // stops streaming inside the block
    host.instance.Process(4);
    EXPECT_EQ(policy_at_change, ReadPolicy::NextBlock);
    EXPECT_EQ(host.Inspect().Routine(), ECON);
    EXPECT_EQ(host.Inspect().time_update(), ReadPolicy::None);
    EXPECT_EQ(host.Inspect().tap_offset(), 20);
    host.instance.before_process = nullptr;
}

TEST(ReadPolicies, StaticTimeIsReadOnceStreamingTimeAtEveryBlock) {
    Host host;
    host.StartPlain(3.0f, 1.0f);
    ExpectOnly(host.Run(UnitImpulse(10)), {{3, 1.0f}}, "static 3");
    host.instance.Fill(host.pins.time, 5.0f);  // a new value without a notification is not read
    ExpectOnly(host.Run(UnitImpulse(10)), {{3, 1.0f}}, "unannounced 5");
    host.instance.PostStatus(host.pins.time, PS_STREAMING);
    ExpectOnly(host.Run(UnitImpulse(10)), {{5, 1.0f}}, "streaming 5");
    // Inside a call the delay holds; the next call reads the value at its first sample.
    host.instance.Fill(host.pins.time, 2.0f, 1);
    ExpectOnly(host.Run(UnitImpulse(8), {8}), {{5, 1.0f}}, "changed inside the call");
    host.instance.Fill(host.pins.time, 2.0f);
    ExpectOnly(host.Run(UnitImpulse(8), {8}), {{2, 1.0f}}, "next call");
}

TEST(ReadPolicies, VolumeModeChangeReadsTheVolumeAtEveryBlock) {
    Host host;
    host.StartPlain(1.0f, 1.0f);
    host.Run({0.0f});
    EXPECT_EQ(host.Inspect().volume_update(), ReadPolicy::None);
    host.instance.PostChoice(host.pins.volume_mode, 0);  // static volume pin, read at every block all the same
    host.Run({0.0f});
    EXPECT_EQ(host.Inspect().volume_update(), ReadPolicy::EveryBlock);
    host.instance.Fill(host.pins.volume, 0.5f);
    ExpectOnly(host.Run(UnitImpulse(4)), {{1, 0.5f}}, "read at every block");
    host.instance.PostFloat(host.pins.volume, 0.25f);  // a "1 Volume" notification: back to one read
    host.Run({0.0f});
    EXPECT_EQ(host.Inspect().volume_update(), ReadPolicy::None);
}

// ---- time mode, buffer sizes, Max Delay --------------------------------------------------------------------

TEST(TimeMode, ScalesBySampleRate) {
    for (const auto& [rate, seconds, ms] : {std::tuple{44100.0f, 441000.0f, 441.0f},
                                            std::tuple{48000.0f, 480000.0f, 480.0f}}) {
        Host host(Options(rate));
        EXPECT_EQ(host.Inspect().time_scale(), 0.0f);
        for (const auto& [mode, scale] : {std::pair{TIME_MODE_SECONDS, seconds}, std::pair{TIME_MODE_MS, ms},
                                          std::pair{TIME_MODE_SAMPLES, 10.0f}}) {
            host.instance.PostChoice(host.pins.time_mode, mode);
            host.instance.Process(1);
            EXPECT_EQ(host.Inspect().time_scale(), scale) << rate << " Hz, mode " << mode;
        }
        host.instance.PostChoice(host.pins.time_mode, 3);  // not in the list: unchanged
        host.instance.Process(1);
        EXPECT_EQ(host.Inspect().time_scale(), 10.0f);
    }
}

TEST(DelayBuffer, LengthFollowsMaxDelayAndRateBand) {
    const std::tuple<float, std::int16_t, std::int32_t> cases[] = {
        {44100.0f, 8, 2048},
        {44100.0f, 11, 256},
        {48000.0f, 0, 524288},
        {48000.5f, 0, 1048576},
        {88200.0f, 0, 1048576},
        {96000.0f, 1, 524288},
        {176400.0f, 0, 2097152},
        {192000.0f, 11, 1024},
        {384000.0f, 0, 4194304},
        {22050.0f, 7, 4096},
    };
    for (const auto& [rate, index, length] : cases) {
        Host host(Options(rate));
        host.StartPlain(1.0f, 1.0f, TIME_MODE_SAMPLES, index);
        host.instance.Process(1);
        EXPECT_EQ(host.Inspect().buffer_size(), length) << rate << " Hz, index " << index;
        EXPECT_EQ(host.Inspect().buffer_mask(), (length - 1) * 4) << rate << " Hz, index " << index;
    }
    EXPECT_EQ(Module::BufferLength(0, std::numeric_limits<float>::quiet_NaN()), 524288);
}

TEST(MaxDelay, WaitsWhileOffAndRestartsTheLineWhileOn) {
    AllocatorSpy spy;
    Host host;
    host.instance.PostChoice(host.pins.max_delay, 9);
    host.instance.Process(1);
    EXPECT_EQ(AllocatorSpy::calls, 0);
    EXPECT_EQ(host.Inspect().max_delay(), 9);
    host.StartPlain(1.0f, 1.0f, TIME_MODE_MS, 9);
    host.Feed(40);
    EXPECT_EQ(AllocatorSpy::calls, 1);
    EXPECT_EQ(host.Inspect().buffer_size(), 1024);

    host.instance.PostChoice(host.pins.max_delay, 9);  // the same index: nothing happens
    host.instance.Process(1);
    EXPECT_EQ(AllocatorSpy::calls, 1);
    EXPECT_FALSE(host.Inspect().LineIsEmpty());

    host.instance.PostChoice(host.pins.max_delay, 10);
    host.instance.Process(1);  // that one sample wrote slot 0 of the new line
    EXPECT_EQ(AllocatorSpy::calls, 2);
    EXPECT_EQ(host.Inspect().buffer_size(), 512);
    EXPECT_EQ(host.Inspect().write_pos(), -4);
}

TEST(MaxDelay, IndexOutsideTheListFoldsToTheNearestEntry) {
    for (const auto& [index, length] : {std::pair{12, 256}, std::pair{-1, 524288}, std::pair{32767, 256}}) {
        AllocatorSpy spy;
        Host host;
        host.StartPlain(1.0f, 1.0f, TIME_MODE_MS, static_cast<std::int16_t>(index));
        host.instance.Process(1);
        EXPECT_EQ(host.Inspect().buffer_size(), length);
        EXPECT_EQ(host.Inspect().allocated_max_delay(), index);
        const std::int32_t calls = AllocatorSpy::calls;
        host.instance.PostChoice(host.pins.max_delay, static_cast<std::int16_t>(index));
        host.instance.Process(1);
        EXPECT_EQ(AllocatorSpy::calls, calls) << "the same raw index allocates nothing";
    }
}

// ---- switching on and off, poly reset, silence ------------------------------------------------------------

TEST(Activity, SecondOnKeepsTheLineAndOffThenOnEmptiesIt) {
    Host host;
    host.StartPlain(2.0f, 1.0f);
    host.Feed(20);
    EXPECT_EQ(host.instance.LastStatus(host.pins.out), PS_STREAMING);
    const std::vector<float> line = host.Inspect().Line();
    const std::int32_t write_pos = host.Inspect().write_pos();
    host.instance.PostChoice(host.pins.active, 1);
    host.instance.Process(1);  // writes one more sample at the write position, nothing else
    EXPECT_EQ(host.Inspect().write_pos(), write_pos - 4);
    std::vector<float> kept = host.Inspect().Line();
    EXPECT_NE(kept[static_cast<std::size_t>(write_pos / 4)], 0.0f);
    kept[static_cast<std::size_t>(write_pos / 4)] = line[static_cast<std::size_t>(write_pos / 4)];
    EXPECT_EQ(kept, line);

    host.instance.PostChoice(host.pins.active, 0);
    host.instance.Process(1);
    EXPECT_EQ(host.Inspect().Routine(), SILENCE);
    EXPECT_EQ(host.Inspect().buffer(), nullptr);
    EXPECT_EQ(host.instance.LastStatus(host.pins.out), PS_CHANGED);
    host.instance.PostChoice(host.pins.active, 1);
    host.instance.Process(1);
    EXPECT_EQ(host.Inspect().Routine(), SAMPLE);
    EXPECT_EQ(host.Inspect().write_pos(), -4);
    std::vector<float> fresh = host.Inspect().Line();
    EXPECT_TRUE(std::all_of(fresh.begin() + 1, fresh.end(), [](float v) { return v == 0.0f; }));
}

TEST(PolyReset, MonoOffClearsAtEveryPositiveGate) {
    Host host;
    host.StartPlain(2.0f, 1.0f);
    host.instance.PostChoice(host.pins.routing_mode, 0);
    host.instance.PostFloat(host.pins.feedback, 0.5f);
    host.Feed(20);
    for (const float gate : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
        host.instance.PostFloat(host.pins.gate, gate);
        host.instance.Process(1);
        EXPECT_FALSE(host.Inspect().LineIsEmpty()) << gate;
    }
    EXPECT_NE(host.Inspect().damping_state(), 0.0f);
    const std::int32_t write_pos = host.Inspect().write_pos();
    const std::int32_t routine = host.Inspect().Routine();
    host.instance.PostFloat(host.pins.gate, 0.5f);
    host.instance.Fill(host.pins.audio_in, 0.0f);  // the sample after the reset writes 0
    host.instance.Process(1);
    EXPECT_TRUE(host.Inspect().LineIsEmpty());
    EXPECT_EQ(host.Inspect().damping_state(), 0.0f);
    EXPECT_EQ(host.Inspect().write_pos(), write_pos - 4);  // one sample (input 0, tap 0) went through since
    EXPECT_EQ(host.Inspect().Routine(), routine);
}

// A reset empties a long line by swapping in its clean spare, and gives the old line's pages back a slice per
// call; the next reset swaps that one back. Lines up to 65536 samples, a reset that finds the spare not yet
// clean, and a line whose spare could not be had are emptied in place. At the unit-scale rate entry 0 holds
// 524288 samples, entry 11 256; entries 5 to 1 double from 16384 to 262144.
TEST(PolyReset, EveryLineIsEmptyAfterAResetWhetherSwappedOrWritten) {
    struct Case {
        std::int16_t max_delay;
        std::int32_t length;
        std::int32_t fail_call;  // 2: the spare is not to be had
        bool swaps;
    };
    const Case cases[] = {
        {11, 256, 0, false},
        {5, 16384, 0, false},
        {3, 65536, 0, false},
        {2, 131072, 0, true},
        {0, 524288, 0, true},
        {2, 131072, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " samples, failing allocation " + std::to_string(c.fail_call));
        AllocatorSpy spy;
        AllocatorSpy::fail_call = c.fail_call;
        Host host(Options(UNIT_SCALE_RATE, 4096));
        host.StartPlain(3.0f, 1.0f, TIME_MODE_MS, c.max_delay);
        host.instance.PostChoice(host.pins.routing_mode, 0);
        host.instance.PostFloat(host.pins.feedback, 0.5f);
        const auto fill_line = [&] {  // every slot written
            host.Run(std::vector<float>(static_cast<std::size_t>(c.length) + 100, 0.25f), {4096});
            ASSERT_FALSE(host.Inspect().LineIsEmpty());
        };
        const auto reset = [&] {  // at a block start: the gate's notification, then the block
            host.instance.PostFloat(host.pins.gate, 1.0f);
            host.instance.Fill(host.pins.audio_in, 0.0f);
            host.instance.Process(1);
            EXPECT_TRUE(host.Inspect().LineIsEmpty());
            EXPECT_EQ(host.Inspect().damping_state(), 0.0f);
        };
        fill_line();
        ASSERT_EQ(host.Inspect().buffer_size(), c.length);
        ASSERT_EQ(host.Inspect().spare() != nullptr, c.swaps);
        const float* const first = host.Inspect().buffer();
        reset();
        EXPECT_EQ(host.Inspect().buffer() != first, c.swaps);

        // An impulse after the reset comes back as from a fresh line: the tap at 3, each echo half as loud.
        ExpectOnly(host.Run(UnitImpulse(10), {1, 9}), {{3, 1.0f}, {6, 0.5f}, {9, 0.25f}}, "after the reset");
        // Three calls gave back three slices; a reset before the spare is clean writes zeros in place.
        EXPECT_EQ(host.Inspect().spare_dirty() > 0, c.swaps && c.length > 3 * 32768);
        host.Feed(20);
        const bool dirty = host.Inspect().spare_dirty() > 0;
        const float* const second = host.Inspect().buffer();
        reset();
        EXPECT_EQ(host.Inspect().buffer() != second, c.swaps && !dirty);

        // Once enough calls have passed, the line used all over comes back and reads zero everywhere.
        host.Silence(static_cast<std::size_t>(c.length / 32768 + 1), {1});
        EXPECT_EQ(host.Inspect().spare_dirty(), 0);
        fill_line();
        const float* const third = host.Inspect().buffer();
        reset();
        EXPECT_EQ(host.Inspect().buffer() != third, c.swaps);
    }
}

TEST(PolyReset, MonoOnClearsOnlyAtTheFirstGateAfterResume) {
    Host host;
    host.StartPlain(2.0f, 1.0f);
    host.instance.PostChoice(host.pins.mono_mode, 1);
    host.Feed(20);
    host.instance.PostFloat(host.pins.gate, 0.5f);  // mono mode and not armed: ignored
    host.instance.Process(1);
    EXPECT_FALSE(host.Inspect().LineIsEmpty());
    host.instance.Dispatch(OP_RESUME);
    EXPECT_EQ(host.Inspect().reset_state(), ResetState::Armed);
    host.instance.PostFloat(host.pins.gate, 0.5f);
    host.instance.Fill(host.pins.audio_in, 0.0f);
    host.instance.Process(1);
    EXPECT_TRUE(host.Inspect().LineIsEmpty());
    EXPECT_EQ(host.Inspect().reset_state(), ResetState::NotArmed);
    host.Feed(20);
    host.instance.PostFloat(host.pins.gate, 0.7f);  // not armed: ignored
    host.instance.Process(1);
    EXPECT_FALSE(host.Inspect().LineIsEmpty());

    // Switched off, a gate only clears the latch.
    host.instance.Dispatch(OP_RESUME);
    host.instance.PostChoice(host.pins.active, 0);
    host.instance.PostFloat(host.pins.gate, 0.9f, 1);
    host.instance.Process(2);
    EXPECT_EQ(host.Inspect().reset_state(), ResetState::NotArmed);

    host.instance.PostChoice(host.pins.mono_mode, 0);
    host.instance.Process(1);
    host.instance.Dispatch(OP_RESUME);
    EXPECT_EQ(host.Inspect().reset_state(), ResetState::NotArmed);
}

TEST(Silence, CountdownAsksForSleepFromTheCallThatExhaustsIt) {
    Host host(Options(UNIT_SCALE_RATE, 1024));
    host.StartPlain(1.0f, 1.0f);
    host.instance.Process(1024);
    host.instance.PostChoice(host.pins.active, 0);
    for (std::int32_t call = 1; call <= 6; ++call) {
        if (call > 1) host.instance.PostStatus(host.pins.audio_in, PS_STATIC);  // wakes the host: the call runs
        std::fill_n(host.Buffer(host.pins.out), 256, 7.0f);
        host.instance.ClearCalls();
        host.instance.Process(256);
        EXPECT_EQ(host.instance.CountCalls(HOST_SLEEP), call >= 4 ? 1 : 0) << "call " << call;
        EXPECT_TRUE(std::all_of(host.Out(), host.Out() + 256, [](float v) { return Bits(v) == 0; }));
    }
}

// ---- failures handled soundly ------------------------------------------------------------------------------

TEST(Failures, SilenceCountdownSaturatesAndSkipsAMissingOutput) {
    er_host::InstanceOptions options = Options();
    options.pin_count = 5;  // no "Out" pin: out_audio stays null
    Host host(options);
    host.instance.PostChoice(host.pins.active, 0);
    host.instance.Process(1);
    ASSERT_EQ(host.Inspect().Routine(), SILENCE);
    SEModuleRecord* record = host.instance.Record();
    for (std::int32_t call = 0; call < 4; ++call) {
        host.instance.ClearCalls();
        record->process(record->object, 0, std::numeric_limits<std::int32_t>::max());
        EXPECT_EQ(host.Inspect().idle_count(), 0);
        EXPECT_EQ(host.instance.CountCalls(HOST_SLEEP), 1);
    }
}

TEST(Failures, AllocationFailureAtSwitchOnRunsSilenceUntilTheNextOn) {
    AllocatorSpy spy;
    AllocatorSpy::fail = true;
    Host host;
    host.StartPlain(1.0f, 1.0f);
    host.instance.Process(1);
    EXPECT_EQ(host.Inspect().Routine(), SILENCE);
    EXPECT_EQ(host.instance.LastStatus(host.pins.out), -1) << "Out must stay unannounced";
    host.instance.PostChoice(host.pins.routing_mode, 2);  // any later notification keeps the silence
    host.instance.PostFloat(host.pins.feedback, 0.5f);
    const std::vector<float> output = host.Run(std::vector<float>(200, 0.5f));
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](float v) { return Bits(v) == 0; }));
    EXPECT_TRUE(host.instance.Sleeping());

    AllocatorSpy::fail = false;
    host.instance.PostChoice(host.pins.active, 1);
    host.instance.Process(1);
    EXPECT_EQ(host.Inspect().Routine(), SAMPLE + OUTPUT);
    EXPECT_EQ(host.instance.LastStatus(host.pins.out), PS_STREAMING);
    EXPECT_EQ(AllocatorSpy::calls, 2);
}

TEST(Failures, AllocationFailureAtMaxDelayChangeSilencesTheOutput) {
    AllocatorSpy spy;
    Host host;
    host.StartPlain(1.0f, 1.0f);
    host.Feed(10);
    AllocatorSpy::fail = true;
    host.instance.PostChoice(host.pins.max_delay, 10);
    const std::vector<float> output = host.Run(std::vector<float>(100, 0.5f));
    EXPECT_EQ(host.Inspect().Routine(), SILENCE);
    EXPECT_EQ(host.instance.LastStatus(host.pins.out), PS_CHANGED);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](float v) { return Bits(v) == 0; }));

    AllocatorSpy::fail = false;
    host.instance.PostChoice(host.pins.max_delay, 10);  // a notification retries while there is no line
    host.instance.Process(1);
    EXPECT_EQ(host.Inspect().Routine(), SAMPLE);
    EXPECT_EQ(host.Inspect().buffer_size(), 512);
    EXPECT_EQ(host.instance.LastStatus(host.pins.out), PS_STREAMING);
}

TEST(Failures, HostWithFewerPinsGetsSilenceAndNoCrash) {
    for (const std::int32_t pin_count : {2, 5, 6, 13}) {
        er_host::InstanceOptions options = Options();
        options.pin_count = pin_count;
        Host host(options);
        host.instance.PostChoice(host.pins.active, 1);
        for (std::int32_t pin = 2; pin < pin_count; ++pin) host.instance.PostStatus(pin, PS_STATIC);
        host.instance.Process(64);
        host.instance.Process(64);
        EXPECT_EQ(host.Inspect().Routine(), SILENCE) << pin_count << " pins";
        if (pin_count <= 5) {
            EXPECT_TRUE(host.instance.StatusReports().empty()) << pin_count << " pins";
        }
    }
}

// ---- floating-point control -------------------------------------------------------------------------------

TEST(FloatControl, DelayConversionTruncatesAndMarksTheInvalid) {
    EXPECT_EQ(DelayToInt32(2.9), 2);
    EXPECT_EQ(DelayToInt32(-2.9), -2);
    EXPECT_EQ(DelayToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(DelayToInt32(-2147483648.5), INT32_MIN);
    EXPECT_EQ(DelayToInt32(2147483648.0), INT32_MIN);
    EXPECT_EQ(DelayToInt32(std::numeric_limits<double>::quiet_NaN()), INT32_MIN);
    EXPECT_EQ(DelayToInt32(-std::numeric_limits<double>::infinity()), INT32_MIN);
}

// Every routine and every notification leaves the settings of open behind, also when the host opened the
// module under settings of its own (here flush-to-zero and round-up).
TEST(FloatControl, EveryCallLeavesTheSettingsFoundAtOpen) {
    const std::uint32_t host_mxcsr = _mm_getcsr();
    for (const std::uint32_t open_settings : {host_mxcsr & ~MXCSR_STATUS_FLAGS, 0x1F80u | 0x8000u | 0x4000u}) {
        _mm_setcsr(open_settings);
        const std::uint16_t open_fpu = ReadFpuControl();
        Host host;
        EXPECT_EQ(g_mxcsr_saved, open_settings);
        EXPECT_EQ(g_mxcsr_truncate, open_settings | 0x6000u | 0x1F80u);
        EXPECT_EQ(g_fpu_control_saved, open_fpu);
        std::int32_t checked = 0;
        host.instance.after_process = [&](std::int32_t, std::int32_t) {
            ++checked;
            EXPECT_EQ(_mm_getcsr() & ~MXCSR_STATUS_FLAGS, open_settings);
            EXPECT_EQ(ReadFpuControl(), open_fpu);
        };
        host.StartPlain(std::numeric_limits<float>::quiet_NaN(), 1.0f);
        host.instance.PostFloat(host.pins.feedback, 0.5f);
        for (std::int16_t accuracy : {ACCURACY_SAMPLE, ACCURACY_ECON, ACCURACY_FULL}) {
            for (std::int16_t routing : {0, 1, 2, 3, 4}) {
                host.instance.PostChoice(host.pins.time_accuracy, accuracy, 3);
                host.instance.PostStatus(host.pins.time, PS_STREAMING, 3);
                host.instance.PostChoice(host.pins.routing_mode, routing, 5);
                host.Feed(16);
                EXPECT_EQ(_mm_getcsr() & ~MXCSR_STATUS_FLAGS, open_settings);
            }
        }
        EXPECT_EQ(checked, 15 * 3);
        host.instance.after_process = nullptr;
    }
    _mm_setcsr(host_mxcsr);
}

// ---- open and the pins ------------------------------------------------------------------------------------

TEST(Open, PreparesTheStateAndTheLibraryWideScales) {
    Host host(Options(44100.0f));
    ModuleInspector inspect = host.Inspect();
    EXPECT_EQ(inspect.max_delay(), 2);
    EXPECT_EQ(inspect.buffer(), nullptr);
    EXPECT_EQ(inspect.time_scale(), 0.0f);
    EXPECT_EQ(inspect.Routine(), -1) << "open installs nothing";
    EXPECT_EQ(g_sample_rate, 44100.0f);
    EXPECT_EQ(g_time_scale_s, 441000.0f);
    EXPECT_EQ(g_time_scale_ms, 441.0f);
    EXPECT_EQ(host.instance.StatusReports().size(), 0u);
}

TEST(Pins, DescriptionsAsTheHostReadsThem) {
    Host host;
    const auto& expected = expected_pins::PINS;
    ASSERT_EQ(host.instance.Pins().size(), static_cast<std::size_t>(PIN_COUNT));
    for (std::int32_t i = 0; i < PIN_COUNT; ++i) {
        const er_host::PinDescription& pin = host.instance.Pins()[static_cast<std::size_t>(i)];
        EXPECT_EQ(pin.name, expected[i].name);
        EXPECT_EQ(pin.direction, expected[i].direction) << pin.name;
        EXPECT_EQ(pin.datatype, expected[i].datatype) << pin.name;
        EXPECT_EQ(pin.has_default, expected[i].default_value != nullptr) << pin.name;
        if (pin.has_default) {
            EXPECT_EQ(pin.default_value, expected[i].default_value);
        }
        EXPECT_EQ(pin.has_extra, expected[i].extra != nullptr) << pin.name;
        if (pin.has_extra) {
            EXPECT_EQ(pin.extra_text, expected[i].extra);
        }
        EXPECT_EQ(pin.flags, 0) << pin.name;
        EXPECT_NE(pin.variable, nullptr) << pin.name;
    }
    // The host's own record: fields the module does not set keep what the host put there.
    const char* sentinel = "host";
    SEPinProperties out{};
    out.default_value = sentinel;
    out.extra_text = sentinel;
    out.flags = 0x100;
    EXPECT_EQ(host.instance.Dispatch(OP_GET_PIN_PROPERTIES, effect_pins::Index(Pin::Out), 0, &out), 1);
    EXPECT_EQ(out.default_value, sentinel);
    EXPECT_EQ(out.extra_text, sentinel);
    EXPECT_EQ(out.flags, 0x100);
    for (const std::int32_t index : {14, -1, 1000}) {
        SEPinProperties none{};
        EXPECT_EQ(host.instance.Dispatch(OP_GET_PIN_PROPERTIES, index, 0, &none), 0) << index;
        EXPECT_EQ(none.name, nullptr);
    }
}

TEST(Reference, FlushConstantIsTheFloatNearestOneHundredThousandth) {
    EXPECT_EQ(Bits(static_cast<float>(reference::FlushBeta())), 0x3727C5ACu);
    EXPECT_EQ(reference::Flush(FromBits(0x00000001u)), 0.0);
    EXPECT_EQ(reference::Flush(0.25), 0.25);
}

}  // namespace
