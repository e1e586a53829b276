// An independent per-sample model of the early-reflection effect's audio path, written from the formulas: it
// keeps the history of every value written into the delay line instead of a ring buffer, counts delays in
// samples with 64-bit modular arithmetic instead of masked byte positions, and switches rounding with the C
// library (fesetround). Differential tests run it beside the module and compare bit patterns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reference {

enum class Variant { Plain,
                     TapFeedback,
                     InputTapFeedback,
                     OutputFeedback,
                     InputOutputFeedback };
enum class Group { Sample,
                   FractionFull,
                   FractionEcon };

const char* Name(Variant variant);
const char* Name(Group group);
std::string RoutineName(Group group, Variant variant);  // e.g. "ProcessFractionEconTapFeedback"

// beta, the float nearest to 1.0e-5, and flush(z) = (z - beta) + beta in double.
double Flush(double z);
double FlushBeta();

// The whole-sample delay k of a delay p in samples: p truncated toward zero, -2147483648 when p is not a
// number or outside the int32 range.
std::int64_t TruncateDelay(double p);

class DelayModel {
public:
    explicit DelayModel(std::int64_t length);  // an empty delay line of `length` samples

    // Block-start readers.
    void ReadTime(Group group, float scale, float time);  // Sample: k; FractionEcon: k and f (rounded toward zero)
    void ReadVolume(float volume, bool analogue);

    // Poly reset: the line reads zero everywhere and the damping state is 0.
    void Clear();
    // A new, empty line of `length` samples (switch-on, Max Delay change); the damping state starts at 0.
    void Restart(std::int64_t length);

    // One call of a routine: `count` samples. `time` is read per sample in the FractionFull group only;
    // feedback and damping are the pins' values at the first sample.
    void Run(Group group, Variant variant, const float* in, const float* time, float scale, float feedback,
             float damping, float* out, std::int32_t count);

    std::int64_t tap_k = 0;      // whole-sample delay as last read (before folding)
    float tap_fraction = 0.0f;   // fraction as last read (FractionEcon)
    float volume = 0.0f;         // V
    float damping_state = 0.0f;  // S between calls

private:
    double Written(std::int64_t k) const;  // the value the tap of whole delay k reads: ((k-1) mod N) + 1 ago

    std::int64_t m_length;
    std::vector<float> m_history;  // every value written since the line was last emptied, oldest first
};

}  // namespace reference
