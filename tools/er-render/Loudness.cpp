#include "Loudness.h"

#include <algorithm>
#include <cmath>

#include <ebur128.h>

#include "Failure.h"

namespace er_render {

struct LoudnessMeter::State {
    ebur128_state* meter = nullptr;
    ~State() { ebur128_destroy(&meter); }
};

LoudnessMeter::LoudnessMeter(std::int32_t channels, float rate) : m_state(std::make_unique<State>()), m_channels(channels) {
    m_state->meter = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                  EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (m_state->meter == nullptr) throw Failure(EXIT_INTERNAL, "cannot measure loudness: libebur128 refused the format");
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::Add(const float* interleaved, std::int32_t frames) {
    if (ebur128_add_frames_float(m_state->meter, interleaved, static_cast<std::size_t>(frames)) != EBUR128_SUCCESS) {
        throw Failure(EXIT_INTERNAL, "cannot measure loudness: libebur128 failed");
    }
}

Loudness LoudnessMeter::Result() const {
    Loudness result;
    double integrated = 0.0;
    if (ebur128_loudness_global(m_state->meter, &integrated) == EBUR128_SUCCESS && std::isfinite(integrated)) {
        result.integrated = integrated;
    }
    for (std::int32_t channel = 0; channel < m_channels; ++channel) {
        double peak = 0.0;
        if (ebur128_true_peak(m_state->meter, static_cast<unsigned>(channel), &peak) == EBUR128_SUCCESS) {
            result.true_peak = std::max(result.true_peak, peak);
        }
    }
    return result;
}

}  // namespace er_render
