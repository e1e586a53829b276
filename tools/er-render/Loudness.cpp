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

namespace {

// Frames measured at a time: libebur128's own blocks are 100 ms.
constexpr std::size_t CHUNK_FRAMES = 16384;

}  // namespace

LoudnessMeter::LoudnessMeter(std::int32_t channels, float rate)
    : m_state(std::make_unique<State>()), m_channels(channels), m_samples(CHUNK_FRAMES * static_cast<std::size_t>(std::max(channels, 1)), [this](const float* interleaved, std::size_t samples) {
          const std::size_t frames = samples / static_cast<std::size_t>(m_channels);
          if (ebur128_add_frames_float(m_state->meter, interleaved, frames) != EBUR128_SUCCESS) {
              throw Failure(EXIT_INTERNAL, "cannot measure loudness: libebur128 failed");
          }
      }) {
    m_state->meter = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                                  EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (m_state->meter == nullptr) throw Failure(EXIT_INTERNAL, "cannot measure loudness: libebur128 refused the format");
}

LoudnessMeter::~LoudnessMeter() = default;

void LoudnessMeter::Add(const float* interleaved, std::int32_t frames) {
    m_samples.Add(interleaved, static_cast<std::size_t>(frames) * static_cast<std::size_t>(m_channels));
}

Loudness LoudnessMeter::Result() {
    m_samples.Finish();
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
