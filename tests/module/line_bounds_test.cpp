// The block-rate Plain routines read a whole block's taps from the line's history in runs that end where the
// history wraps at slot 0. A run that ends exactly there must read nothing before the line (the sanitizer
// build sees a read outside; every build checks the values). Found by the fuzz target.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Host.h"

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
        host.PostChoice(pin("Time Accuracy"), 1);    // Fraction(Econ)
        host.PostChoice(pin("Time Mode"), 2);        // samples
        host.PostChoice(pin("Max Delay(s)"), 11);    // 256 samples at 48000 Hz
        host.PostFloat(pin("1 Time"), 10.25f);       // 102.5 samples
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
