// Fractional delay ("Fraction(Econ)", "Fraction(Full)"): the tap blends two adjacent slots. The block-rate
// group takes the delay once per block (UpdateTapTimeFraction); the per-sample group recomputes it from "1 Time"
// at every sample, with its whole loop in round-toward-zero.
#include "RoutineKernels.h"

// Integer part k and fraction f = p - k of the delay p = scale x Time. p - k is exact in double; its store as
// a float rounds toward zero, so a fraction of a positive delay never rounds up to 1.0.
void Module::UpdateTapTimeFraction(std::int32_t start) {
    if (m_time_update == 1) m_time_update = 0;
    EnterRoundTowardZero();
    const double p = static_cast<double>(m_time_scale) * in_time[0][start];
    const std::int32_t k = DelayToInt32(p);
    m_tap_fraction = static_cast<float>(p - k);
    m_tap_offset = static_cast<std::int32_t>(kernels::ByteOffset(k));
    LeaveRoundTowardZero();
}

void Module::ProcessFractionFullPlain(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::Plain, TimeGroup::FractionFull>(start, count);
}
void Module::ProcessFractionFullTapFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::TapFeedback, TimeGroup::FractionFull>(start, count);
}
void Module::ProcessFractionFullInputTapFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::InputTapFeedback, TimeGroup::FractionFull>(start, count);
}
void Module::ProcessFractionFullOutputFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::OutputFeedback, TimeGroup::FractionFull>(start, count);
}
void Module::ProcessFractionFullInputOutputFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::InputOutputFeedback, TimeGroup::FractionFull>(start, count);
}

void Module::ProcessFractionEconPlain(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::Plain, TimeGroup::FractionEcon>(start, count);
}
void Module::ProcessFractionEconTapFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::TapFeedback, TimeGroup::FractionEcon>(start, count);
}
void Module::ProcessFractionEconInputTapFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::InputTapFeedback, TimeGroup::FractionEcon>(start, count);
}
void Module::ProcessFractionEconOutputFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::OutputFeedback, TimeGroup::FractionEcon>(start, count);
}
void Module::ProcessFractionEconInputOutputFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::InputOutputFeedback, TimeGroup::FractionEcon>(start, count);
}
