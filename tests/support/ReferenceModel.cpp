// Compiled with -frounding-math: the rounding mode set with fesetround holds for the arithmetic between.
#include "ReferenceModel.h"

#include <cfenv>
#include <cmath>

namespace reference {

const char* Name(Variant variant) {
    static const char* const names[] = {"Plain", "TapFeedback", "InputTapFeedback", "OutputFeedback",
                                        "InputOutputFeedback"};
    return names[static_cast<int>(variant)];
}

const char* Name(Group group) {
    static const char* const names[] = {"Sample", "FractionFull", "FractionEcon"};
    return names[static_cast<int>(group)];
}

std::string RoutineName(Group group, Variant variant) {
    return std::string("Process") + Name(group) + Name(variant);
}

double FlushBeta() {
    return static_cast<double>(1.0e-5f);
}

double Flush(double z) {
    volatile double beta = FlushBeta();
    return (z - beta) + beta;
}

std::int64_t TruncateDelay(double p) {
    if (!(p > -2147483649.0 && p < 2147483648.0)) return INT32_MIN;
    return static_cast<std::int64_t>(std::trunc(p));
}

namespace {
// The low-pass z - D (z - S).
double Lowpass(double z, double D, double S) {
    return z - D * (z - S);
}

// Switches the rounding mode for a scope, and back to what it found.
class Rounding {
public:
    explicit Rounding(bool toward_zero) : m_saved(std::fegetround()), m_switched(toward_zero) {
        if (m_switched) std::fesetround(FE_TOWARDZERO);
    }
    ~Rounding() {
        if (m_switched) std::fesetround(m_saved);
    }

private:
    int m_saved;
    bool m_switched;
};
}  // namespace

DelayModel::DelayModel(std::int64_t length) : m_length(length) {}

double DelayModel::Written(std::int64_t k) const {
    const std::int64_t age = ((k - 1) % m_length + m_length) % m_length + 1;  // 1..N samples ago
    if (age > static_cast<std::int64_t>(m_history.size())) return 0.0;        // not written since emptied
    return m_history[m_history.size() - static_cast<std::size_t>(age)];
}

void DelayModel::ReadTime(Group group, float scale, float time) {
    const double p = static_cast<double>(scale) * static_cast<double>(time);
    tap_k = TruncateDelay(p);
    if (group == Group::FractionEcon) {
        Rounding toward_zero(true);
        volatile double fraction = p - static_cast<double>(tap_k);
        tap_fraction = static_cast<float>(fraction);
    }
}

void DelayModel::ReadVolume(float value, bool analogue) {
    volume = analogue ? static_cast<float>(static_cast<double>(value) * static_cast<double>(value)) : value;
}

void DelayModel::Clear() {
    m_history.clear();
    damping_state = 0.0f;
}

void DelayModel::Restart(std::int64_t length) {
    m_length = length;
    m_history.clear();
    damping_state = 0.0f;
}

void DelayModel::Run(Group group, Variant variant, const float* in, const float* time, float scale,
                     float feedback, float damping, float* out, std::int32_t count) {
    Rounding rounding(group == Group::FractionFull || (group == Group::Sample && variant == Variant::Plain));
    const double F = feedback;
    const double D = damping;
    double S = damping_state;
    for (std::int32_t i = 0; i < count; ++i) {
        double d;
        if (group == Group::Sample) {
            d = Written(tap_k);
        } else {
            std::int64_t k = tap_k;
            double f = tap_fraction;
            if (group == Group::FractionFull) {
                const double p = static_cast<double>(scale) * static_cast<double>(time[i]);
                k = TruncateDelay(p);
                f = p - static_cast<double>(k);
            }
            const double a = Written(k);      // written k samples earlier
            const double b = Written(k + 1);  // one sample older
            d = a + (b - a) * f;
        }
        const double y = Flush(static_cast<double>(volume) * d);
        out[i] = static_cast<float>(y);
        const double x = in[i];
        float written = in[i];
        switch (variant) {
        case Variant::Plain:
            break;
        case Variant::TapFeedback:
            S = Lowpass(d, D, S);
            written = static_cast<float>(Flush(x + F * S));
            break;
        case Variant::InputTapFeedback:
            S = Flush(Lowpass(x + F * d, D, S));
            written = static_cast<float>(S);
            break;
        case Variant::OutputFeedback:
            S = Lowpass(y, D, S);
            written = static_cast<float>(Flush(x + F * S));
            break;
        case Variant::InputOutputFeedback:
            S = Flush(Lowpass(x + F * y, D, S));
            written = static_cast<float>(S);
            break;
        }
        m_history.push_back(written);
    }
    damping_state = variant == Variant::Plain ? 0.0f : static_cast<float>(S);
}

}  // namespace reference
