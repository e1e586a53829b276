// Integrated loudness (EBU R128 / ITU-R BS.1770, in LUFS) and true peak of a render's output, measured by
// libebur128 as the samples go out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

namespace er_render {

struct Loudness {
    std::optional<double> integrated;  // LUFS; none for output quieter than the absolute gate (-70 LUFS)
    double true_peak = 0.0;            // linear, the largest over the channels (4x oversampled)
};

class LoudnessMeter {
public:
    // Throws Failure (EXIT_INTERNAL) when libebur128 cannot measure `channels` at `rate`.
    LoudnessMeter(std::int32_t channels, float rate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void Add(const float* interleaved, std::int32_t frames);
    Loudness Result() const;

private:
    struct State;  // libebur128's, which its header declares without a name to forward
    std::unique_ptr<State> m_state;
    std::int32_t m_channels = 0;
};

}  // namespace er_render
