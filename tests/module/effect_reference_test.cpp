// Differential tests: the shipped module, driven through the substitute host and the binary interface, against
// the per-sample reference model, bit for bit, for all fifteen routines. Random signals, feedback, damping and
// volume in both volume modes, random block splits with many one-sample calls, stretches that start inside a
// host block, the write position wrapping many times over, and routine switches mid-stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "Differential.h"

namespace {

using namespace effect_test;

struct RoutineCase {
    Group group;
    Variant variant;
};

void PrintTo(const RoutineCase& routine, std::ostream* out) {
    *out << reference::RoutineName(routine.group, routine.variant);
}

std::vector<RoutineCase> AllRoutines() {
    std::vector<RoutineCase> cases;
    for (Group group : {Group::Sample, Group::FractionFull, Group::FractionEcon}) {
        for (Variant variant : {Variant::Plain, Variant::TapFeedback, Variant::InputTapFeedback,
                                Variant::OutputFeedback, Variant::InputOutputFeedback}) {
            cases.push_back({group, variant});
        }
    }
    return cases;
}

class EveryRoutine : public ::testing::TestWithParam<RoutineCase> {};

TEST_P(EveryRoutine, MatchesTheReferenceAtRandomBlockSplits) {
    const RoutineCase routine = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        Differential run(seed * 100 + static_cast<std::uint64_t>(routine.variant) * 10 +
                         static_cast<std::uint64_t>(routine.group));
        ASSERT_TRUE(run.HostValid());
        std::string failure;
        ASSERT_TRUE(run.Block(HOST_BLOCK, SetupFor(routine.group, routine.variant, run.random()), failure))
            << "seed " << seed << ": " << failure;
        ASSERT_EQ(run.oracle().group, routine.group) << "test set-up";
        ASSERT_EQ(run.oracle().variant, routine.variant) << "test set-up";
        // 3000 samples: about twelve trips round the 256-sample line.
        for (std::int64_t done = HOST_BLOCK; done < 3000;) {
            const std::int32_t count = run.RandomCount();
            std::vector<Event> events;
            run.AddSplits(events, count, run.random().Below(3));
            ASSERT_TRUE(run.Block(count, events, failure)) << "seed " << seed << ": " << failure;
            done += count;
        }
    }
}

// Delays at the edges of the line, where the routines split a block into stretches: the tap on the write slot,
// next to it, at the far end and beyond, both ways round, a time out of the int32 range and one that is not a
// number. Each delay whole (or just below) and with a fraction of one half; the per-sample group streams times
// within a sample and a half of it. Blocks of one, two and three samples, blocks longer than the 256-sample
// line, and the write position and the taps wrapping at every offset.
TEST_P(EveryRoutine, MatchesTheReferenceAtEdgeDelays) {
    const RoutineCase routine = GetParam();
    const float delays[] = {0, 1, 2, 3, 4, 63, 64, 65, 127, 128, 129, 253,
                            254, 255, 256, 257, 258, 511, 512, 513, -1, -2, -3, -254,
                            -255, -256, -257, 3e9f, std::numeric_limits<float>::quiet_NaN()};
    constexpr std::int32_t LONG_BLOCK = 1100;
    std::uint64_t seed = 0;
    for (const float delay : delays) {
        for (const float fraction : {0.0f, 0.5f}) {
            Differential run(++seed, LONG_BLOCK);
            ASSERT_TRUE(run.HostValid());
            Random& random = run.random();
            const float time = (delay + fraction) / 10.0f;  // "Samples": 10 samples per unit
            run.SetTimeRange(time - 0.15f, time + 0.15f);
            std::vector<Event> events = SetupFor(routine.group, routine.variant, random);
            if (routine.group != Group::FractionFull) events.push_back({0, Kind::TimeValue, time});
            std::string failure;
            const std::string where = "delay " + std::to_string(delay + fraction) + ": ";
            ASSERT_TRUE(run.Block(HOST_BLOCK, events, failure)) << where << failure;
            ASSERT_EQ(run.oracle().group, routine.group) << "test set-up";
            ASSERT_EQ(run.oracle().variant, routine.variant) << "test set-up";
            for (std::int64_t done = HOST_BLOCK; done < 2500;) {
                const std::int32_t pick = random.Below(10);
                const std::int32_t count = pick < 5   ? 1 + pick % 3
                                           : pick < 9 ? 1 + random.Below(HOST_BLOCK)
                                                      : 257 + random.Below(LONG_BLOCK - 256);
                ASSERT_TRUE(run.Block(count, {}, failure)) << where << failure;
                done += count;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Routines, EveryRoutine, ::testing::ValuesIn(AllRoutines()),
                         [](const ::testing::TestParamInfo<RoutineCase>& info) {
                             return reference::RoutineName(info.param.group, info.param.variant);
                         });

// Every kind of notification at random places: routing, accuracy, volume mode, static and streaming amounts,
// Time and Volume changes, poly resets, Max Delay changes, switching off and on.
TEST(RoutineSwitching, MidStreamChangesMatchTheReference) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        Differential run(seed);
        ASSERT_TRUE(run.HostValid());
        Random& random = run.random();
        std::string failure;
        ASSERT_TRUE(run.Block(HOST_BLOCK, SetupFor(Group::Sample, Variant::TapFeedback, random), failure))
            << failure;
        std::int32_t groups_seen = 0;
        std::int32_t variants_seen = 0;
        for (std::int32_t block = 0; block < 600; ++block) {
            const std::int32_t count = run.RandomCount();
            std::vector<Event> events;
            const std::int32_t changes = random.Below(3);
            for (std::int32_t i = 0; i < changes; ++i) {
                const std::int32_t offset = random.Below(count);
                switch (random.Below(15)) {
                case 0: events.push_back({offset, Kind::RoutingMode, static_cast<float>(random.Below(4))}); break;
                case 1: events.push_back({offset, Kind::Accuracy, static_cast<float>(random.Below(3))}); break;
                case 2: events.push_back({offset, Kind::VolumeMode, static_cast<float>(random.Below(2))}); break;
                case 3:
                    events.push_back({offset, Kind::FeedbackValue, random.Chance(30) ? 0.0f : RandomFeedback(random)});
                    break;
                case 4: events.push_back({offset, Kind::FeedbackStream, 0.0f}); break;
                case 5:
                    events.push_back({offset, Kind::DampingValue, random.Chance(30) ? 0.0f : RandomDamping(random)});
                    break;
                case 6: events.push_back({offset, Kind::DampingStream, 0.0f}); break;
                case 7: events.push_back({offset, Kind::TimeValue, RandomTime(random)}); break;
                case 8: events.push_back({offset, Kind::TimeStream, 0.0f}); break;
                case 9: events.push_back({offset, Kind::VolumeValue, RandomVolume(random)}); break;
                case 10: events.push_back({offset, Kind::VolumeStream, 0.0f}); break;
                case 11: events.push_back({offset, Kind::Gate, random.Chance(70) ? 0.5f : -1.0f}); break;
                case 12:
                    events.push_back({offset, Kind::MaxDelay, random.Chance(50) ? float{MAX_DELAY_512} : float{MAX_DELAY_256}});
                    break;
                case 13:
                    if (random.Chance(20)) events.push_back({offset, Kind::Off, 0.0f});
                    break;
                default: events.push_back({offset, Kind::On, 1.0f}); break;
                }
            }
            ASSERT_TRUE(run.Block(count, events, failure)) << "seed " << seed << ", block " << block << ": "
                                                           << failure;
            groups_seen |= 1 << static_cast<int>(run.oracle().group);
            variants_seen |= 1 << static_cast<int>(run.oracle().variant);
        }
        EXPECT_EQ(groups_seen, 0b111) << "seed " << seed << " did not reach every group";
        EXPECT_EQ(variants_seen, 0b11111) << "seed " << seed << " did not reach every variant";
    }
}

}  // namespace
