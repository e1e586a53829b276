// The job every contender in the benchmark computes: one tap over a delay line, with the effect's five routing
// variants of feedback and damping, read at a whole-sample delay, at a fractional delay held for the block, or
// at a fractional delay that moves from sample to sample. The effect does it through one installed routine; the
// peers (STK, Faust) do the same topology with their own building blocks.
#pragma once

#include <cstdint>
#include <string>

namespace er_bench {

// How the tap delay is read; the effect's "Time Accuracy" with the Time pin's streaming state.
enum class Kind : std::int32_t {
    Sample = 0,  // whole samples, constant                                    ("Sample")
    Econ = 1,    // whole plus fraction, constant                              ("Fraction(Econ)")
    Full = 2,    // whole plus fraction, moving at every sample (streaming)   ("Fraction(Full)")
};
constexpr std::int32_t KIND_COUNT = 3;

// The effect's routing variants, in its own order (the offsets inside a group of its routine table).
enum class Variant : std::int32_t { Plain = 0,
                                    TapFeedback = 1,
                                    InputTapFeedback = 2,
                                    OutputFeedback = 3,
                                    InputOutputFeedback = 4 };
constexpr std::int32_t VARIANT_COUNT = 5;

struct Job {
    Kind kind = Kind::Sample;
    Variant variant = Variant::Plain;
    std::int32_t buffer_size = 2048;  // delay-line length N: a Max Delay entry at 48 kHz, above 524288 at 384 kHz
    double delay = 10.0;              // tap delay in samples; Full: the centre of the moving delay
    float feedback = 0.5f;            // F
    float damping = 0.3f;             // D
    float volume = 0.9f;              // V
};

// The effect's routine for a job, e.g. "ProcessSampleTapFeedback", "ProcessFractionFullPlain".
std::string RoutineName(Kind kind, Variant variant);

// The moving delay of a Full job at absolute sample n, in samples: a triangle of +-0.75 samples around the
// job's delay with a period of 96 samples, so that the integer part and the fraction both change inside every
// block. Values are those the effect sees (EffectiveDelay).
double MovingDelay(const Job& job, std::int64_t n);

// The effect takes the delay from its "1 Time" pin in "Samples" mode: a float pin value of delay / 10, times
// 10. These give the pin value for a delay and the delay the effect then really uses, which is what the peers
// are given too.
float TimePinValue(double delay);
double EffectiveDelay(double delay);

}  // namespace er_bench
