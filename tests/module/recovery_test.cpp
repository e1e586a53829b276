// A new delay line starts with an empty damping low-pass: one non-finite input sample, or an unstable loop,
// must not keep the output non-finite after the line is renewed, by a switch off and on or by a Max Delay
// change while on. (Found by er-validate: the state used to carry over, so the output stayed NaN for good.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "Host.h"

extern "C" std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity);
extern "C" void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback,
                                     void* host_data);

namespace {

struct Renewal {
    const char* name;
    void (*renew)(er_host::Instance& host);
};

void SwitchOffAndOn(er_host::Instance& host) {
    host.PostChoice(host.FindPin("Active"), 0);
    host.Process(64);
    host.PostChoice(host.FindPin("Active"), 1);
}

void ChangeMaxDelay(er_host::Instance& host) { host.PostChoice(host.FindPin("Max Delay(s)"), 9); }

TEST(Recovery, NewDelayLineStartsWithAnEmptyDampingState) {
    auto library = er_host::Library::FromEntries(&getModuleProperties, &makeModule);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (const Renewal& renewal : {Renewal{"switch off and on", &SwitchOffAndOn},
                                   Renewal{"Max Delay change", &ChangeMaxDelay}}) {
        for (std::int16_t routing : {0, 1, 2, 3}) {
            const std::string what = std::string(renewal.name) + ", routing " + std::to_string(routing);
            er_host::InstanceOptions options;
            options.block_size = 64;
            er_host::Instance host(*library, options);
            const auto pin = [&](const char* name) { return host.FindPin(name); };
            host.PostChoice(pin("Damping/Feedback Mode"), routing);
            host.PostChoice(pin("Time Mode"), 2);  // samples
            host.PostFloat(pin("1 Time"), 0.5f);   // 5 samples
            host.PostFloat(pin("1 Volume 10=100%"), 1.0f);
            host.PostFloat(pin("Feedback +/-10"), 0.5f);
            host.PostFloat(pin("Damping 0-10"), 0.5f);
            host.PostChoice(pin("Active"), 1);
            host.Fill(pin("Audio_In"), nan);
            host.Process(64);
            ASSERT_TRUE(std::isnan(host.Buffer(pin("Out"))[63])) << what << ": the NaN must have gone round";

            renewal.renew(host);
            host.Fill(pin("Audio_In"), 0.25f);
            for (int block = 0; block < 4; ++block) {
                host.Process(64);
                for (int i = 0; i < 64; ++i) {
                    ASSERT_TRUE(std::isfinite(host.Buffer(pin("Out"))[i]))
                        << what << ": block " << block << ", sample " << i;
                }
            }
            EXPECT_NE(host.Buffer(pin("Out"))[63], 0.0f) << what << ": the new line carries the new input";
        }
    }
}

}  // namespace
