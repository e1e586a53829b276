// The delay law below er-render and the LV2 plug-in (delay_law/): the delay the module realises for a reading, the
// reading for a delay, and the shortest line that holds one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>

#include "DelayLaw.h"
#include "PinFacts.h"

namespace {

using namespace delay_law;
using effect_pins::TimeScale;

TEST(DelayLaw, TheTapFoldsIntoTheBuffer) {
    struct Case {
        double requested;
        bool fractional;
        double effective;
        bool beyond, below;
    };
    const Case cases[] = {
        {3.0, false, 3.0, false, false},
        {2.9, false, 2.0, false, false},
        {0.5, false, 256.0, false, true},
        {-2.9, false, 254.0, false, true},
        {600.0, false, 88.0, true, false},
        {256.0, false, 256.0, false, false},
        {std::nan(""), false, 256.0, true, false},
        {1.0e12, false, 256.0, true, false},
        {2.25, true, 2.25, false, false},
        {600.5, true, 88.5, true, false},
    };
    for (const Case& c : cases) {
        const TapDelay delay = RealisedDelay(c.requested, 256, c.fractional);
        EXPECT_DOUBLE_EQ(delay.effective, c.effective) << c.requested;
        EXPECT_EQ(delay.beyond_buffer, c.beyond) << c.requested;
        EXPECT_EQ(delay.below_one, c.below) << c.requested;
    }
}

// The pin value for a delay in a unit: the module truncates scale x value toward zero, so the value must reach
// the delay and the float below it must not.
TEST(DelayLaw, PinValueIsTheSmallestFloatThatReachesTheDelay) {
    for (const float rate : {8000.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f}) {
        for (const std::int32_t mode : {0, 1, 2}) {
            const float scale = TimeScale(mode, rate);
            for (const double samples : {1.0, 2.0, 7.0, 333.0, 1101.0, 1102.0, 4800.0, 65535.0, 524287.0}) {
                const float value = PinValueForDelay(samples, scale);
                EXPECT_EQ(std::trunc(static_cast<double>(scale) * value), samples) << rate << " " << mode;
                EXPECT_LT(static_cast<double>(scale) * std::nextafter(value, 0.0f), samples) << rate << " " << mode;
                EXPECT_EQ(PinValueForDelay(-samples, scale), -value);
            }
        }
    }
    EXPECT_EQ(PinValueForDelay(1102.5, 441.0f), 2.5f) << "not whole: the nearest float";
    EXPECT_EQ(PinValueForDelay(3087.0000000000005, 441000.0f), PinValueForDelay(3087.0, 441000.0f));
}

// The largest entry (the shortest line) whose wrap leaves the delay alone: lines double above 48 kHz, a whole-sample
// delay of exactly the line fits it, a fractional one needs the next line up, and nothing holds a delay longer than
// the longest line.
TEST(DelayLaw, TheShortestLineThatHoldsADelay) {
    struct Case {
        double requested;
        float rate;
        bool fractional;
        std::optional<std::int32_t> entry;
    };
    const Case cases[] = {
        {1.0, 48000.0f, false, 11},
        {256.0, 48000.0f, false, 11},
        {256.0, 48000.0f, true, 11},
        {256.5, 48000.0f, true, 10},
        {257.0, 48000.0f, false, 10},
        {4800.0, 48000.0f, false, 6},
        {512.0, 96000.0f, false, 11},
        {513.0, 96000.0f, false, 10},
        {524288.0, 48000.0f, false, 0},
        {524289.0, 48000.0f, false, std::nullopt},
        {2097152.0, 192000.0f, false, 0},
        {std::nan(""), 48000.0f, false, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShortestLineHolding(c.requested, c.rate, c.fractional), c.entry)
            << c.requested << " samples at " << c.rate << (c.fractional ? " Hz, fractional" : " Hz");
    }
}

}  // namespace
