// A small seeded generator whose sequence is the same on every compiler and platform, so that a session seed
// printed by one build replays the same session on every other (the standard distributions are not portable).
#pragma once

#include <cstdint>
#include <initializer_list>

namespace er_validate {

// SplitMix64: one 64-bit state, a full-period sequence, good enough statistics for test generation.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : m_state(seed) {}

    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi], both included; lo <= hi.
    std::int64_t Int(std::int64_t lo, std::int64_t hi) {
        const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
        return span == 0 ? static_cast<std::int64_t>(Next()) : lo + static_cast<std::int64_t>(Next() % span);
    }
    // Uniform in [0, 1).
    double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    double Real(double lo, double hi) { return lo + (hi - lo) * Unit(); }
    bool Chance(double probability) { return Unit() < probability; }
    template <class T>
    T Pick(std::initializer_list<T> choices) {
        return choices.begin()[Int(0, static_cast<std::int64_t>(choices.size()) - 1)];
    }
    // Mostly small values, now and then large ones: uniform in the logarithm between 1 and `hi`.
    std::int64_t LogInt(std::int64_t hi) {
        double top = 0.0;
        for (std::int64_t v = hi; v > 1; v >>= 1) top += 1.0;
        const double x = Real(0.0, top + 1.0);
        std::int64_t value = 1;
        for (double e = 1.0; e <= x; e += 1.0) value *= 2;
        value += Int(0, value - 1);
        return value > hi ? hi : value;
    }

    // The seed of the i-th session of a run: independent streams from one master seed.
    static std::uint64_t Derive(std::uint64_t master, std::uint64_t index) {
        Rng rng(master ^ (index * 0xD1B54A32D192ED03ull));
        return rng.Next();
    }

private:
    std::uint64_t m_state;
};

}  // namespace er_validate
