// The room engine against its reference, one module instance per tap under the substitute host, summed in
// pattern order: bit for bit on every named room, at scales and widths, whole and fractional delays, mono and
// stereo inputs, blocks of 1, odd sizes and 4096, with gates, on a signal that also holds silence and values small
// enough to take the engine's exact path.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DelayLaw.h"
#include "EffectHarness.h"
#include "InstanceRoomRenderer.h"
#include "Room.h"
#include "RoomEngine.h"
#include "RoomRender.h"

namespace {

using effect_test::ShippedLibrary;
using er_render::RenderJob;
using er_render::RoomPattern;

const std::vector<er_host::PinDescription>& ModulePins() {
    static const std::vector<er_host::PinDescription> pins = [] {
        er_host::InstanceOptions probe;
        probe.open = false;
        probe.echo_errors = false;
        er_host::Instance instance(ShippedLibrary(), probe);
        return instance.Pins();
    }();
    return pins;
}

// Noise in stretches: loud, silent, tiny (products below 2^-21, the engine's exact path), subnormal, loud again;
// in the loud stretches a lone subnormal sample now and then, which the Plain taps read as it is.
std::vector<float> Signal(std::size_t frames, std::int32_t channels, std::uint32_t seed) {
    std::vector<float> samples(frames * static_cast<std::size_t>(channels));
    std::uint32_t state = seed;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(static_cast<std::int32_t>(state >> 8) - (1 << 23)) / (1 << 23);
        const std::size_t stretch = (i / static_cast<std::size_t>(channels)) * 8 / frames;
        const float scales[8] = {0.9f, 0.0f, 1.0e-7f, 0.5f, 3.0e-6f, 1.0e-40f, 0.0f, 0.7f};
        samples[i] = noise * scales[stretch] * (i % 997 == 500 ? 1.0e-39f : 1.0f);
    }
    return samples;
}

// Loud noise whose last `tail` frames before `silence_from` are subnormal, then silence: a block that ends on the
// subnormal values leaves them for the next block's taps to read, though that block itself brings none.
std::vector<float> SubnormalTailThenSilence(std::size_t frames, std::size_t silence_from, std::size_t tail) {
    std::vector<float> samples = Signal(frames, 1, 3);
    for (std::size_t i = 0; i < frames; ++i) {
        const float loud = 0.9f * (static_cast<float>(i % 101) / 50.0f - 1.0f);
        samples[i] = i >= silence_from ? 0.0f : i >= silence_from - tail ? loud * 1.0e-39f
                                                                         : loud;
    }
    return samples;
}

struct Case {
    const char* what;
    std::string room;  // a named room, or a room file's text
    double scale = 1.0;
    double width = 1.0;
    bool fractional = false;
    std::int32_t inputs = 1;
    std::int32_t block = 512;
    std::vector<std::int64_t> gates;
    std::int32_t order = 0;       // 0: the room's own
    bool subnormal_tail = false;  // SubnormalTailThenSilence, the tail ending on the third block's end
};

er_room::Room RoomOf(const Case& c) {
    er_room::Room room;
    if (const er_room::Room* named = er_room::FindNamedRoom(c.room)) {
        room = *named;
    } else {
        room = er_room::ParseRoomJson(c.room, "test");
    }
    if (c.scale != 1.0) room = er_room::Scaled(room, c.scale);
    if (c.width != 1.0) room = er_room::Widened(room, c.width);
    if (c.order != 0) room.max_order = c.order;
    return room;
}

// Every wall dull but the floor, which keeps the sound as it is: its taps run the module's Plain routine.
const char* const PLAIN_FLOOR = R"({"name": "plain floor", "size": [4.3, 3.1, 2.6], "source": [1.1, 2.4, 1.3],
    "listener": [3.0, 0.9, 1.5], "spacing": 0.25, "walls": {"all": {"absorption": 0.3, "cutoff_hz": 5000},
    "floor": {"absorption": 0.2, "cutoff_hz": 0}}, "max_order": 2})";

// Each case through the engine and through one module instance per tap, block by block, every sum compared.
void ExpectTheInstancesSums(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const er_room::Room room = RoomOf(c);
        const std::vector<er_render::Assignment> accuracy = {
            {"Time Accuracy", c.fractional ? "Fraction(Econ)" : "Sample", "test"}};
        const RoomPattern pattern = er_render::RealisePattern(room, 48000.0f, accuracy, ModulePins());
        double longest = 0.0;
        for (const auto& tap : pattern.taps) longest = std::max(longest, tap.samples);
        RenderJob job;
        job.rate = 48000.0f;
        job.block = c.block;
        job.input_frames = static_cast<std::int64_t>(longest) + (c.subnormal_tail ? 4 * 1024 : 1200);
        job.total_frames = job.input_frames + 300;
        job.gates = c.gates;
        job.channels = er_render::RoomOutputChannels(pattern, c.inputs);
        ASSERT_GT(job.channels, 0);
        const auto frames = static_cast<std::size_t>(job.total_frames);
        const std::vector<float> input = c.subnormal_tail ? SubnormalTailThenSilence(frames, 3 * 1024, 200)
                                                          : Signal(frames, c.inputs, 77u + static_cast<std::uint32_t>(c.block));

        er_render::RoomRenderer engine(job, pattern, c.inputs);
        er_render_tests::InstanceRoomRenderer reference(ShippedLibrary(), job, pattern, c.inputs);
        engine.Start();
        reference.Start();
        const auto outputs = static_cast<std::size_t>(job.channels);
        std::vector<double> got(static_cast<std::size_t>(c.block) * outputs), want(got.size());
        std::size_t differing = 0, sounding = 0;
        for (std::int64_t position = 0; position < job.total_frames;) {
            const std::int32_t count = engine.BlockAt(position);
            ASSERT_EQ(count, reference.BlockAt(position));
            const float* in = input.data() + static_cast<std::size_t>(position) * static_cast<std::size_t>(c.inputs);
            engine.Step(position, count, in, got.data());
            reference.Step(position, count, in, want.data());
            for (std::size_t i = 0; i < static_cast<std::size_t>(count) * outputs; ++i) {
                if (want[i] != 0.0) ++sounding;
                if (std::memcmp(&got[i], &want[i], sizeof(double)) != 0 && differing++ == 0) {
                    ADD_FAILURE() << "first difference at frame " << position + static_cast<std::int64_t>(i / outputs)
                                  << ", channel " << i % outputs << ": " << got[i] << " against " << want[i];
                }
            }
            position += count;
        }
        EXPECT_EQ(differing, 0u) << pattern.taps.size() << " taps";
        EXPECT_GT(sounding, frames / 2) << "the reference hardly plays";
    }
}

TEST(RoomEngine, EqualsOneModuleInstancePerTapBitForBit) {
    ExpectTheInstancesSums({
        {"studio, whole samples, blocks of 512", "studio", 1.0, 1.0, false, 1, 512, {}, 0},
        {"studio, blocks of 1", "studio", 1.0, 1.0, false, 1, 1, {}, 0},
        {"studio, Fraction(Econ), blocks of 97, a gate", "studio", 1.0, 1.0, true, 1, 97, {1500}, 0},
        {"living at half size, stereo input, blocks of 4096", "living", 0.5, 1.0, false, 2, 4096, {}, 0},
        {"booth at one ear, stereo input, blocks of 7", "booth", 1.0, 0.0, false, 2, 7, {}, 0},
        {"hall at a quarter, fractional, blocks of 4096, two gates", "hall", 0.25, 1.0, true, 1, 4096, {2000, 6100}, 0},
        {"stairwell, ears 2.5 times as far apart, blocks of 333", "stairwell", 1.0, 2.5, false, 1, 333, {}, 0},
        {"tiled twice the size, fractional, stereo input, blocks of 1", "tiled", 2.0, 1.0, true, 2, 1, {}, 0},
        {"a floor without dulling, fractional, stereo input", PLAIN_FLOOR, 1.0, 1.0, true, 2, 256, {}, 0},
        {"studio at order 5, blocks of 128", "studio", 1.0, 1.0, false, 1, 128, {}, 5},
    });
}

// Whole-sample taps of a wall without dulling run the module's Plain routine, which rounds toward zero. Apart from
// the rest because valgrind rounds packed float arithmetic to nearest whatever the mode: memcheck leaves this test
// out, as it does the module's own tests of that rounding.
TEST(RoomEngine, PlainTapsRoundTowardZeroAsTheModulesPlainRoutineDoes) {
    ExpectTheInstancesSums({
        {"a floor without dulling (Plain taps), blocks of 61, a gate", PLAIN_FLOOR, 1.0, 1.0, false, 1, 61, {900}, 0},
        {"a floor without dulling, blocks longer than the lines, a subnormal tail", PLAIN_FLOOR, 1.0, 1.0, false, 1, 1024, {}, 0, true},
    });
}

// A fractional tap whose whole part is the whole line blends with the newest value, not the one before the oldest:
// the module's neighbour slot wraps round to the slot written last. No room's pattern asks for it (the line chosen
// holds the delay and its neighbour), so one tap is set up by hand: "1 Time" 256 samples on a line of 256.
TEST(RoomEngine, AFractionalTapAcrossTheWholeLineBlendsWithTheNewestValue) {
    const float time = 25.6f;  // shown 256 samples: 10 x 25.6f is just above 256
    const double requested = 10.0 * static_cast<double>(time);
    const double realised = delay_law::RealisedDelay(requested, 256, true).effective;
    ASSERT_EQ(std::floor(realised), 256.0);
    ASSERT_GT(realised, 256.0);
    er_room::EnginePlan plan;
    er_room::EngineTap tap;
    tap.volume = 0.7f;
    tap.damping = 0.25f;
    tap.delay = 256;
    tap.line = 256;
    tap.interpolates = true;
    tap.fraction = static_cast<float>(realised - 256.0);
    plan.taps = {tap};
    RenderJob job;
    job.rate = 48000.0f;
    job.block = 100;
    job.input_frames = job.total_frames = 1000;
    job.settings = er_render::ResolveSettings(ModulePins(),
                                              {{"Time Mode", "Samples", "test"},
                                               {"1 Time", "256", "test"},
                                               {"Time Accuracy", "Fraction(Econ)", "test"},
                                               {"Max Delay(s)", "0.005 (256sm)", "test"},
                                               {"1 Volume 10=100%", "7", "test"},
                                               {"Damping 0-10", "2.5", "test"},
                                               {"Damping/Feedback Mode", "Input+Tap1", "test"},
                                               {"Feedback +/-10", "0", "test"}},
                                              true);
    er_render::Renderer module(ShippedLibrary(), job);
    er_room::RoomEngine engine(plan, 100);
    const std::vector<float> input = Signal(1000, 1, 9);
    std::vector<float> want(100);
    std::vector<double> got(100);
    module.Start();
    std::size_t sounding = 0;
    for (std::int64_t position = 0; position < 1000; position += 100) {
        const float* in = input.data() + position;
        module.Step(position, 100, in, want.data());
        double* wet[] = {got.data()};
        engine.Process(&in, wet, 100);
        for (std::size_t i = 0; i < 100; ++i) {
            ASSERT_EQ(got[i], static_cast<double>(want[i])) << "frame " << position + static_cast<std::int64_t>(i);
            if (want[i] != 0.0f) ++sounding;
        }
    }
    EXPECT_GT(sounding, 500u);
}

// Taps set up by hand on one damped line, each against the module alone with the same pins ("Time Mode"
// "Samples", whole samples, "Input+Tap1" with no feedback), summed: how many samples differ.
struct HandTap {
    const char* time;  // shown, "Samples": 10 x the pin float; 8 is 0.8f, 8.0000001 samples
    std::uint32_t delay;
    const char* volume;  // shown
};
std::size_t DifferingFromTheModule(const std::vector<HandTap>& taps, const char* damping, const std::vector<float>& input,
                                   std::int32_t block) {
    er_room::EnginePlan plan;
    for (const HandTap& hand : taps) {
        er_room::EngineTap tap;
        // A shown value as er-render reads it: a double, divided by ten, rounded once.
        tap.damping = static_cast<float>(std::stod(damping) / 10.0);
        tap.line = 256;
        tap.delay = hand.delay;
        tap.volume = static_cast<float>(std::stod(hand.volume) / 10.0);
        plan.taps.push_back(tap);
    }
    const auto frames = static_cast<std::int64_t>(input.size());
    std::vector<double> want(input.size(), 0.0);
    for (const HandTap& hand : taps) {
        RenderJob job;
        job.block = block;
        job.input_frames = job.total_frames = frames;
        job.settings = er_render::ResolveSettings(ModulePins(),
                                                  {{"Time Mode", "Samples", "test"},
                                                   {"1 Time", hand.time, "test"},
                                                   {"Max Delay(s)", "0.005 (256sm)", "test"},
                                                   {"1 Volume 10=100%", hand.volume, "test"},
                                                   {"Damping 0-10", damping, "test"},
                                                   {"Damping/Feedback Mode", "Input+Tap1", "test"},
                                                   {"Feedback +/-10", "0", "test"}},
                                                  true);
        er_render::Renderer module(ShippedLibrary(), job);
        module.Start();
        std::vector<float> out(static_cast<std::size_t>(block));
        for (std::int64_t at = 0; at < frames; at += block) {
            const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(block, frames - at));
            module.Step(at, count, input.data() + at, out.data());
            for (std::int32_t i = 0; i < count; ++i) want[static_cast<std::size_t>(at + i)] += out[static_cast<std::size_t>(i)];
        }
    }
    er_room::RoomEngine engine(plan, block);
    std::vector<double> got(static_cast<std::size_t>(block));
    std::size_t differing = 0;
    for (std::int64_t at = 0; at < frames; at += block) {
        const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(block, frames - at));
        const float* in = input.data() + at;
        double* wet[] = {got.data()};
        engine.Process(&in, wet, count);
        for (std::int32_t i = 0; i < count; ++i) {
            differing += got[static_cast<std::size_t>(i)] != want[static_cast<std::size_t>(at + i)] ? 1 : 0;
        }
    }
    return differing;
}

// Where a line's value makes a product so small that the module's flush changes its float, the engine must take
// the module's arithmetic: for the quietest of the line's taps (not the loudest), for a value alone among loud
// ones, and for one a block longer than the line left behind for the next block to read.
TEST(RoomEngine, ValuesThatMakeTinyProductsTakeTheModulesArithmetic) {
    // Two taps 200 dB apart on values of about 1e-6.
    std::vector<float> faint(640);
    for (std::size_t i = 0; i < faint.size(); ++i) faint[i] = (i % 2 == 0 ? 1.0f : -1.0f) * (1.0e-6f + 1.0e-9f * i);
    EXPECT_EQ(DifferingFromTheModule({{"5", 5, "10"}, {"8", 8, "1e-9"}}, "2.5", faint, 64), 0u);
    // Silence with a lone value of 1e-9 every 97 samples, through a line that barely damps (D = 1e-30): each window
    // of a block's reads holds at most one, and blocks of 64 can end with one that the next block reads, blocks of
    // 61 with one among their last few. (Silence, so that nothing louder in the sum hides the quiet tap's last bits.)
    // Now and then two values side by side, so that the later one must count: in blocks of 7 a pair starts at a
    // block's second sample (351), and a later block's reads begin between the two.
    std::vector<float> sprinkled(97 * 64, 0.0f);
    for (std::size_t i = 60; i < sprinkled.size(); i += 97) {
        sprinkled[i] = i % 2 == 0 ? 1.0e-9f : -1.3e-9f;
        if (i % 3 == 0) sprinkled[i + 1] = 1.1e-9f;
    }
    for (const std::int32_t block : {7, 16, 61, 64}) {
        EXPECT_EQ(DifferingFromTheModule({{"5", 5, "10"}, {"40", 40, "1e-9"}}, "1e-29", sprinkled, block), 0u)
            << "blocks of " << block;
    }
}

// The sums are not all zero: a room that played nothing would pass the comparison above too.
TEST(RoomEngine, PlaysEveryTapAtItsDelayAndLevel) {
    er_room::Room room = *er_room::FindNamedRoom("studio");
    const er_room::Pattern pattern = er_room::ImageSources(room);
    const er_room::EnginePlan plan = er_room::PlanRoom(pattern, 48000.0f, false, 1);
    ASSERT_EQ(plan.outputs, 2);
    std::uint32_t longest = 0;
    for (const auto& tap : plan.taps) longest = std::max(longest, tap.delay);
    er_room::RoomEngine engine(plan, 4096);
    std::vector<float> impulse(longest + 2, 0.0f);
    impulse[0] = 1.0f;
    std::vector<double> left(impulse.size()), right(impulse.size());
    const float* in[] = {impulse.data()};
    double* wet[] = {left.data(), right.data()};
    ASSERT_TRUE(engine.Process(in, wet, static_cast<std::int32_t>(impulse.size())));
    // Each tap's impulse response starts at its delay with (1 - D) V: the first value its low-pass lets through.
    std::vector<double> expected[2] = {std::vector<double>(impulse.size(), 0.0), std::vector<double>(impulse.size(), 0.0)};
    for (const auto& tap : plan.taps) {
        expected[tap.output][tap.delay] += static_cast<float>((1.0 - tap.damping) * static_cast<double>(tap.volume));
    }
    for (std::int32_t channel = 0; channel < 2; ++channel) {
        const std::vector<double>& got = channel == 0 ? left : right;
        // Where no tap starts, only the low-passes' tails play: smaller than where one does.
        for (std::size_t i = 0; i < impulse.size(); ++i) {
            if (expected[channel][i] != 0.0) {
                EXPECT_GE(got[i], expected[channel][i] - 1e-6) << "frame " << i;
            }
        }
        EXPECT_EQ(got[0], 0.0);
    }
}

TEST(RoomEngine, SharesALineAmongTapsOfOneDampingAndInput) {
    const er_room::Pattern pattern = er_room::ImageSources(*er_room::FindNamedRoom("studio"));
    const er_room::RoomEngine mono_in(er_room::PlanRoom(pattern, 48000.0f, false, 1), 256);
    const er_room::RoomEngine stereo_in(er_room::PlanRoom(pattern, 48000.0f, false, 2), 256);
    EXPECT_EQ(mono_in.Taps(), 124);
    EXPECT_EQ(mono_in.Groups(), 13);        // both ears read the one input's lines
    EXPECT_EQ(stereo_in.Groups(), 2 * 13);  // each ear its own input's (no damping is on one side only here)
    EXPECT_LT(mono_in.MemoryBytes(), 2u << 20);
}

TEST(RoomEngine, RefusesABlockLongerThanItWasMadeFor) {
    const er_room::Pattern pattern = er_room::ImageSources(*er_room::FindNamedRoom("booth"));
    er_room::RoomEngine engine(er_room::PlanRoom(pattern, 48000.0f, false, 1), 64);
    std::vector<float> in(65, 0.5f);
    std::vector<double> left(65, 7.0), right(65, 7.0);
    const float* ins[] = {in.data()};
    double* wets[] = {left.data(), right.data()};
    EXPECT_FALSE(engine.Process(ins, wets, 65));
    EXPECT_EQ(left[0], 7.0);  // untouched
    EXPECT_TRUE(engine.Process(ins, wets, 64));
    EXPECT_TRUE(engine.Process(ins, wets, 0));
    EXPECT_THROW(er_room::PlanRoom(pattern, 48000.0f, false, 3), er_room::RoomError);
}

// After Reset the engine plays as a fresh one.
TEST(RoomEngine, ResetStartsAfresh) {
    const er_room::Pattern pattern = er_room::ImageSources(*er_room::FindNamedRoom("living"));
    const er_room::EnginePlan plan = er_room::PlanRoom(pattern, 44100.0f, true, 1);
    er_room::RoomEngine used(plan, 300), fresh(plan, 300);
    const std::vector<float> noise = Signal(2400, 1, 5);
    std::vector<double> a[2], b[2];
    for (auto* sums : {a, b}) {
        for (int c = 0; c < 2; ++c) sums[c].assign(300, 0.0);
    }
    auto run = [](er_room::RoomEngine& engine, const float* x, std::vector<double>* sums) {
        const float* ins[] = {x};
        double* wets[] = {sums[0].data(), sums[1].data()};
        engine.Process(ins, wets, 300);
    };
    for (std::size_t at = 0; at + 300 <= noise.size(); at += 300) run(used, noise.data() + at, a);
    used.Reset();
    for (std::size_t at = 0; at + 300 <= noise.size(); at += 300) {
        run(used, noise.data() + at, a);
        run(fresh, noise.data() + at, b);
        for (int c = 0; c < 2; ++c) ASSERT_EQ(a[c], b[c]) << "block at " << at;
    }
}

}  // namespace
