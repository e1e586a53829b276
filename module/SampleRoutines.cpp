// Whole-sample delay ("Time Accuracy" "Sample"): the tap is read a whole number of samples behind the write
// position, the delay taken at each block start under the Time read policy. Also the volume reader that all
// fifteen routines share.
#include "RoutineKernels.h"

// p = scale x Time is exact in double (a product of two floats); the conversion truncates toward zero. The
// switch masks every exception for the conversion of a value that is not a number or out of range.
void Module::UpdateTapTime(std::int32_t start) {
    if (m_time_update == 1) m_time_update = 0;  // a one-off read; 2 reads at every block
    EnterRoundTowardZero();
    const double p = static_cast<double>(m_time_scale) * in_time[0][start];
    m_tap_offset = static_cast<std::int32_t>(kernels::ByteOffset(DelayToInt32(p)));
    LeaveRoundTowardZero();
}

// "Linear": the pin value; "Analogue": its square, so a negative value gives a positive gain.
void Module::UpdateTapVolume(std::int32_t start) {
    if (m_volume_update == 1) m_volume_update = 0;
    const float v = in_volume[0][start];
    m_tap_volume = volume_mode == 0 ? v : static_cast<float>(static_cast<double>(v) * v);
}

void Module::ProcessSamplePlain(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::Plain, TimeGroup::Sample>(start, count);
}
void Module::ProcessSampleTapFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::TapFeedback, TimeGroup::Sample>(start, count);
}
void Module::ProcessSampleInputTapFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::InputTapFeedback, TimeGroup::Sample>(start, count);
}
void Module::ProcessSampleOutputFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::OutputFeedback, TimeGroup::Sample>(start, count);
}
void Module::ProcessSampleInputOutputFeedback(std::int32_t start, std::int32_t count) {
    RunBlock<RoutingVariant::InputOutputFeedback, TimeGroup::Sample>(start, count);
}
