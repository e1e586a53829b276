#include "Job.h"

#include <cmath>

namespace er_bench {

namespace {
constexpr const char* KIND_NAMES[KIND_COUNT] = {"Sample", "FractionEcon", "FractionFull"};
constexpr const char* VARIANT_NAMES[VARIANT_COUNT] = {"Plain", "TapFeedback", "InputTapFeedback",
                                                      "OutputFeedback", "InputOutputFeedback"};
constexpr float SAMPLES_MODE_SCALE = 10.0f;  // the effect's time scale in "Samples" mode
constexpr std::int64_t SWEEP_PERIOD = 96;
constexpr double SWEEP_DEPTH = 0.75;
}  // namespace

std::string RoutineName(Kind kind, Variant variant) {
    return std::string("Process") + KIND_NAMES[static_cast<int>(kind)] + VARIANT_NAMES[static_cast<int>(variant)];
}

float TimePinValue(double delay) { return static_cast<float>(delay / SAMPLES_MODE_SCALE); }

double EffectiveDelay(double delay) {
    return static_cast<double>(SAMPLES_MODE_SCALE) * static_cast<double>(TimePinValue(delay));
}

double MovingDelay(const Job& job, std::int64_t n) {
    const double phase = static_cast<double>(n % SWEEP_PERIOD) / SWEEP_PERIOD;  // 0 .. 1
    const double triangle = 1.0 - 4.0 * std::fabs(phase - 0.5);                 // -1 .. 1
    return EffectiveDelay(job.delay + SWEEP_DEPTH * triangle);
}

}  // namespace er_bench
