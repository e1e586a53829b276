// A scripted scenario for comparing builds: every routine in turn (twice), each switched in by pin changes inside
// a block, random block splits, a poly reset, a switch off and on, and Max Delay changes, all through the
// shipped library. It checks every sample against the reference model, then writes the module's output as raw
// 32-bit floats to the file named on the command line, so that the outputs of the three builds can be compared
// byte for byte.
#include <cstdio>
#include <string>
#include <vector>

#include "Differential.h"

using namespace effect_test;

namespace {

constexpr std::uint64_t SEED = 2026;
constexpr std::int32_t BLOCKS_PER_ROUTINE = 12;

int Fail(const std::string& message) {
    std::fprintf(stderr, "er_scenario: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: er_scenario OUTPUT.raw\n");
        return 2;
    }
    Differential run(SEED);
    if (!run.HostValid()) return Fail("the module did not load or lacks a pin");
    Random& random = run.random();
    std::string failure;
    if (!run.Block(HOST_BLOCK, SetupFor(Group::Sample, Variant::Plain, random), failure)) return Fail(failure);

    std::int32_t step = 0;
    for (std::int32_t pass = 0; pass < 2; ++pass) {
        for (Group group : {Group::Sample, Group::FractionFull, Group::FractionEcon}) {
            for (Variant variant : {Variant::Plain, Variant::TapFeedback, Variant::InputTapFeedback,
                                    Variant::OutputFeedback, Variant::InputOutputFeedback}) {
                ++step;
                // The switch happens inside a block, after a stretch of the previous routine.
                const std::int32_t count = 40;
                std::vector<Event> events = SetupFor(group, variant, random, 1 + random.Below(count - 2), false);
                run.AddSplits(events, count, 1);
                switch (step) {
                case 4: events.push_back({random.Below(count), Kind::Gate, 0.5f}); break;
                case 8: events.push_back({random.Below(count), Kind::Off, 0.0f}); break;
                case 9: events.push_back({random.Below(count), Kind::On, 1.0f}); break;
                case 12: events.push_back({random.Below(count), Kind::MaxDelay, float{MAX_DELAY_512}}); break;
                case 20: events.push_back({random.Below(count), Kind::MaxDelay, float{MAX_DELAY_256}}); break;
                case 24: events.push_back({random.Below(count), Kind::Gate, 1.0f}); break;
                default: break;
                }
                if (!run.Block(count, events, failure)) return Fail(failure);
                const std::string routine = reference::RoutineName(group, variant);
                if (step != 8 && (run.oracle().group != group || run.oracle().variant != variant)) {
                    return Fail("scenario set-up did not reach " + routine);
                }
                for (std::int32_t block = 0; block < BLOCKS_PER_ROUTINE; ++block) {
                    const std::int32_t length = run.RandomCount();
                    std::vector<Event> splits;
                    run.AddSplits(splits, length, random.Below(3));
                    if (!run.Block(length, splits, failure)) return Fail(routine + ": " + failure);
                }
            }
        }
    }

    const std::vector<float>& output = run.Output();
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) return Fail(std::string("cannot write ") + argv[1]);
    const std::size_t written = std::fwrite(output.data(), sizeof(float), output.size(), file);
    if (std::fclose(file) != 0 || written != output.size()) return Fail(std::string("cannot write ") + argv[1]);
    std::printf("er_scenario: %zu samples through every routine matched the reference model; written to %s\n",
                output.size(), argv[1]);
    return 0;
}
