// The block-rate Plain routines read a whole block's taps from the line's history in runs that end where the
// history wraps at slot 0. A run that ends exactly there must read nothing before the line (the sanitizer
// build sees a read outside; every build checks the values). Found by the fuzz target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Host.h"
#include "LineMemory.h"

extern "C" std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity);
extern "C" void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback,
                                     void* host_data);

TEST(LineBounds, PlainFractionRunEndingAtSlotZero) {
    auto library = er_host::Library::FromEntries(&getModuleProperties, &makeModule);
    for (std::int32_t first : {54, 55, 56, 57}) {  // even and odd run lengths ending at slot 0
        er_host::InstanceOptions options;
        options.block_size = 64;
        er_host::Instance host(*library, options);
        const auto pin = [&](const char* name) { return host.FindPin(name); };
        host.PostChoice(pin("Damping/Feedback Mode"), 0);
        host.PostChoice(pin("Time Accuracy"), 1);  // Fraction(Econ)
        host.PostChoice(pin("Time Mode"), 2);      // samples
        host.PostChoice(pin("Max Delay(s)"), 11);  // 256 samples at 48000 Hz
        host.PostFloat(pin("1 Time"), 10.25f);     // 102.5 samples
        host.PostFloat(pin("1 Volume 10=100%"), 1.0f);
        host.PostChoice(pin("Active"), 1);
        // Input n at sample n; the output is the input 102.5 samples earlier, 0 before the line was written.
        std::vector<float> output;
        std::int32_t clock = 0;
        for (std::int32_t count : {first, 64}) {
            float* in = host.Buffer(pin("Audio_In"));
            for (std::int32_t i = 0; i < count; ++i) in[i] = static_cast<float>(clock + i);
            host.Process(count);
            const float* out = host.Buffer(pin("Out"));
            output.insert(output.end(), out, out + count);
            clock += count;
        }
        for (std::int32_t n = 0; n < clock; ++n) {
            const float expected = n <= 102 ? 0.0f : static_cast<float>(n) - 102.5f;
            ASSERT_EQ(output[static_cast<std::size_t>(n)], expected) << "first block " << first << ", sample " << n << ": " << output[static_cast<std::size_t>(n)];
        }
    }
}

// Making a stretch of a line read zero again: whole pages go back to the system, the parts of pages at either
// edge are written. Every sample inside the stretch must read zero afterwards, every one outside must keep its
// value, whether the stretch starts or ends on a page boundary, inside one page, or on a line shorter than a
// page; a stretch running past the line's end stops there.
TEST(LineBounds, RezeroTouchesExactlyTheStretch) {
    struct Case {
        std::size_t samples, first, count;
    };
    const Case cases[] = {
        {65536, 0, 65536},
        {65536, 1024, 2048},
        {65536, 1, 4095},
        {65536, 1023, 2},
        {65536, 1000, 30000},
        {65536, 65535, 1},
        {65536, 65536, 8},
        {65536, 7, 0},
        {65536, 60000, 9999},
        {256, 0, 256},
        {256, 17, 100},
        {4096, 1025, 1023},
        {4096, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.samples) + " samples, from " + std::to_string(c.first) + ", " +
                     std::to_string(c.count));
        ZeroedLine line(AllocateZeroedLine(c.samples), LineRelease{c.samples});
        ASSERT_NE(line, nullptr);
        for (std::size_t i = 0; i < c.samples; ++i) line[i] = static_cast<float>(i + 1);
        ASSERT_TRUE(RezeroLine(line.get(), c.samples, c.first, c.count));
        const std::size_t end = std::min(c.samples, c.first + c.count);
        for (std::size_t i = 0; i < c.samples; ++i) {
            const float want = i >= c.first && i < end ? 0.0f : static_cast<float>(i + 1);
            ASSERT_EQ(line[i], want) << "sample " << i;
        }
        // The pages given back take new values as any others.
        for (std::size_t i = 0; i < c.samples; ++i) line[i] = 2.0f;
        ASSERT_EQ(line[c.samples / 2], 2.0f);
    }
}
