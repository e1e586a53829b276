#include "Signals.h"

#include <cmath>
#include <numbers>

#include "SampleCodec.h"

namespace er_render {

namespace {
constexpr double FIRST_EVENT_SECONDS = 0.05;
constexpr double EVENT_SPACING_SECONDS = 0.5;
constexpr double BURST_SECONDS = 0.03;
constexpr float CLICK_LEVEL = 0.8f;
constexpr double BURST_LEVEL = 0.5;
constexpr double BURST_PITCHES[] = {440.0, 880.0, 1760.0};
}  // namespace

float TestSignalSample(std::int64_t frame, float rate) {
    const double time = static_cast<double>(frame) / rate - FIRST_EVENT_SECONDS;
    if (time < 0.0) return 0.0f;
    bool outside = false;
    const std::int64_t event = RoundToRange(std::floor(time / EVENT_SPACING_SECONDS), 0, INT32_MAX, outside);
    const double since = time - static_cast<double>(event) * EVENT_SPACING_SECONDS;
    if (event % 2 == 0) {
        // The click is the first sample at or after the event's time.
        return since * rate < 1.0 ? CLICK_LEVEL : 0.0f;
    }
    if (since >= BURST_SECONDS) return 0.0f;
    const double pitch = BURST_PITCHES[(event / 2) % 3];
    const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * since / BURST_SECONDS);
    return static_cast<float>(BURST_LEVEL * window * std::sin(2.0 * std::numbers::pi * pitch * since));
}

}  // namespace er_render
