// Integrated loudness (EBU R128 / ITU-R BS.1770, in LUFS) and true peak of a render's output, measured by
// libebur128 as the samples go out, on a thread of its own: its 4x oversampled true peak costs several times
// what the rest of a render does.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "Pipeline.h"

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

    // Throws Failure (EXIT_INTERNAL) when libebur128 fails, at this or a later call.
    void Add(const float* interleaved, std::int32_t frames);
    // Once every frame is in.
    Loudness Result();

private:
    struct State;  // libebur128's, which its header declares without a name to forward
    std::unique_ptr<State> m_state;
    std::int32_t m_channels = 0;
    SampleStream m_samples;  // last: the measuring thread stops before the state goes
};

}  // namespace er_render
