#include "Job.h"

#include <cmath>

#include "PinFacts.h"

namespace er_bench {

namespace {
// The effect's time group for each kind of job.
constexpr effect_pins::TimeGroup KIND_GROUPS[KIND_COUNT] = {
    effect_pins::TimeGroup::Sample, effect_pins::TimeGroup::FractionEcon, effect_pins::TimeGroup::FractionFull};
constexpr float SAMPLES_MODE_SCALE = effect_pins::TIME_SCALE_SAMPLES;  // the effect's time scale in "Samples" mode
static_assert(VARIANT_COUNT == effect_pins::ROUTING_VARIANT_COUNT &&
                  static_cast<std::int32_t>(Variant::InputOutputFeedback) ==
                      static_cast<std::int32_t>(effect_pins::RoutingVariant::InputOutputFeedback),
              "the jobs' variants are the effect's, in its order");
constexpr std::int64_t SWEEP_PERIOD = 96;
constexpr double SWEEP_DEPTH = 0.75;
}  // namespace

std::string RoutineName(Kind kind, Variant variant) {
    return effect_pins::RoutineName(
        effect_pins::RoutineEntry(KIND_GROUPS[static_cast<int>(kind)], static_cast<effect_pins::RoutingVariant>(variant)));
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
