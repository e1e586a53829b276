#include "Response.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <numbers>
#include <stdexcept>

#include <kiss_fftr.h>

namespace er_render {

namespace {

constexpr double DECAYED = 1.0e-3;          // 60 dB below the loudest sample: the response has died away
constexpr std::int64_t FADE_PART = 8;       // the faded part of a response that has not: its last eighth
constexpr double ASSUMED_SPACING_MS = 1.0;  // echo spacing when the tap delay is unknown
constexpr double POINTS_PER_TOOTH = 8.0;    // transform points per comb period (rate / tap delay), at least

double Decibels(double magnitude, double floor_db) {
    return magnitude > 0.0 ? std::max(20.0 * std::log10(magnitude), floor_db) : floor_db;
}

double Milliseconds(std::int64_t sample, float rate) { return static_cast<double>(sample) * 1000.0 / rate; }

// For each sample, the largest magnitude among the `width` samples before it (0 where there are none): a
// sliding maximum whose deque holds the indexes of falling magnitudes.
std::vector<float> LargestBefore(const std::vector<float>& magnitude, std::size_t width) {
    std::vector<float> largest(magnitude.size(), 0.0f);
    std::deque<std::size_t> window;
    for (std::size_t n = 0; n < magnitude.size(); ++n) {
        while (!window.empty() && window.front() + width < n) window.pop_front();
        if (!window.empty()) largest[n] = magnitude[window.front()];
        while (!window.empty() && magnitude[window.back()] <= magnitude[n]) window.pop_back();
        window.push_back(n);
    }
    return largest;
}

std::int64_t PowerOfTwoAtLeast(double points) {
    std::int64_t length = 2;
    while (static_cast<double>(length) < points && length < MAX_TRANSFORM) length *= 2;
    return length;
}

struct FftrFree {
    void operator()(kiss_fftr_cfg config) const { kiss_fftr_free(config); }
};

}  // namespace

std::vector<EnvelopePoint> Envelope(const std::vector<float>& samples, float rate, std::size_t points) {
    std::vector<EnvelopePoint> envelope;
    if (samples.empty() || points == 0) return envelope;
    const std::size_t stretch = (samples.size() + points - 1) / points;
    for (std::size_t start = 0; start < samples.size(); start += stretch) {
        const std::size_t end = std::min(samples.size(), start + stretch);
        float loudest = 0.0f;
        for (std::size_t n = start; n < end; ++n) loudest = std::max(loudest, std::fabs(samples[n]));
        envelope.push_back({Milliseconds(static_cast<std::int64_t>(start), rate),
                            Decibels(loudest, ENVELOPE_FLOOR_DB)});
    }
    return envelope;
}

std::vector<Echo> FindEchoes(const std::vector<float>& samples, float rate, double spacing, bool interpolated) {
    std::vector<float> magnitude(samples.size());
    std::transform(samples.begin(), samples.end(), magnitude.begin(), [](float s) { return std::fabs(s); });
    const double reach = std::clamp(std::floor(spacing / 2.0), 1.0, static_cast<double>(samples.size()) + 1.0);
    const auto half = static_cast<std::size_t>(reach);
    const std::vector<float> before = LargestBefore(magnitude, half);
    std::vector<float> after = LargestBefore(std::vector<float>(magnitude.rbegin(), magnitude.rend()), half);
    std::reverse(after.begin(), after.end());

    const double floor = std::pow(10.0, ENVELOPE_FLOOR_DB / 20.0);
    std::vector<Echo> echoes;
    for (std::size_t n = 0; n < magnitude.size(); ++n) {
        if (magnitude[n] > floor && magnitude[n] > before[n] && magnitude[n] >= after[n]) {
            const auto sample = static_cast<std::int64_t>(n);
            double level = magnitude[n];
            double at = static_cast<double>(n);
            if (interpolated) {
                // Each trip through an interpolating tap spreads the echo wider, always summing to its level, and
                // centred on its true time: a tap of k + f samples gives (1 - f) at k and f at k + 1, whose
                // centre is k + f, where the loudest sample says k or k + 1.
                const std::size_t first = n > half ? n - half : 0;
                const std::size_t last = std::min(n + half, magnitude.size());
                double sum = 0.0, weight = 0.0, moment = 0.0;
                for (std::size_t i = first; i < last; ++i) {
                    sum += samples[i];
                    weight += magnitude[i];
                    moment += magnitude[i] * static_cast<double>(i - first);
                }
                level = std::fabs(sum);
                if (weight > 0.0) at = static_cast<double>(first) + moment / weight;
            }
            echoes.push_back({sample, at * 1000.0 / rate, Decibels(level, ENVELOPE_FLOOR_DB)});
        }
    }
    return echoes;
}

std::vector<ResponsePoint> MagnitudeResponse(const std::vector<float>& samples, float rate, std::int64_t resolve,
                                             Transform& transform) {
    const auto frames = static_cast<std::int64_t>(samples.size());
    transform.length = PowerOfTwoAtLeast(static_cast<double>(std::max(frames, resolve)));
    transform.used = std::min(frames, transform.length);

    std::vector<kiss_fft_scalar> input(static_cast<std::size_t>(transform.length), 0.0f);
    std::copy_n(samples.begin(), transform.used, input.begin());
    const std::int64_t fade = transform.used / FADE_PART;
    float loudest = 0.0f;
    float loudest_in_fade = 0.0f;
    for (std::int64_t n = 0; n < transform.used; ++n) {
        const float magnitude = std::fabs(input[static_cast<std::size_t>(n)]);
        loudest = std::max(loudest, magnitude);
        if (n >= transform.used - fade) loudest_in_fade = std::max(loudest_in_fade, magnitude);
    }
    transform.faded = loudest_in_fade > DECAYED * loudest;
    if (transform.faded) {
        for (std::int64_t i = 0; i < fade; ++i) {
            const double gain = 0.5 * (1.0 + std::cos(std::numbers::pi * static_cast<double>(i + 1) /
                                                      static_cast<double>(fade)));
            float& sample = input[static_cast<std::size_t>(transform.used - fade + i)];
            sample = static_cast<float>(sample * gain);
        }
    }

    const std::unique_ptr<kiss_fftr_state, FftrFree> config(
        kiss_fftr_alloc(static_cast<int>(transform.length), 0, nullptr, nullptr));
    if (!config) throw std::bad_alloc();
    std::vector<kiss_fft_cpx> bins(static_cast<std::size_t>(transform.length / 2 + 1));
    kiss_fftr(config.get(), input.data(), bins.data());

    const double low = ResponseLowHz(rate);
    const double bin_hz = static_cast<double>(rate) / static_cast<double>(transform.length);
    std::vector<ResponsePoint> response;
    for (std::size_t k = static_cast<std::size_t>(std::ceil(low / bin_hz)); k < bins.size(); ++k) {
        const double magnitude = std::hypot(static_cast<double>(bins[k].r), static_cast<double>(bins[k].i));
        response.push_back({static_cast<double>(k) * bin_hz, Decibels(magnitude, RESPONSE_FLOOR_DB)});
    }
    return response;
}

ImpulseAnalysis AnalyseImpulse(const std::vector<float>& samples, float rate, double spacing, bool interpolated) {
    if (!(spacing >= 1.0)) spacing = ASSUMED_SPACING_MS * rate / 1000.0;
    ImpulseAnalysis analysis;
    analysis.rate = rate;
    analysis.frames = static_cast<std::int64_t>(samples.size());
    analysis.envelope = Envelope(samples, rate, ENVELOPE_POINTS);
    analysis.echoes = FindEchoes(samples, rate, spacing, interpolated);
    analysis.interpolated = interpolated;
    analysis.response = MagnitudeResponse(samples, rate, static_cast<std::int64_t>(POINTS_PER_TOOTH * spacing),
                                          analysis.transform);
    return analysis;
}

}  // namespace er_render
