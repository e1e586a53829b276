// What a setting's impulse response shows: where its echoes fall and how loud they are, and what it does to
// each frequency. Worked out from the rendered samples alone, so the figure shows what the module produced,
// not what the settings should produce.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace er_render {

// The lowest level the envelope and the echoes show; silence reads as this.
inline constexpr double ENVELOPE_FLOOR_DB = -90.0;
// The lowest magnitude the response holds (a float transform resolves nothing below it); an exact zero reads
// as this.
inline constexpr double RESPONSE_FLOOR_DB = -200.0;
// The envelope's points at most: one per stretch of samples, the loudest sample of the stretch.
inline constexpr std::size_t ENVELOPE_POINTS = 2000;
// The response starts here (or at a tenth of the Nyquist frequency, whichever is lower) and ends at Nyquist.
inline constexpr double RESPONSE_LOW_HZ = 20.0;
// Where the response starts at `rate`: RESPONSE_LOW_HZ, or a tenth of Nyquist at rates too low for it.
inline double ResponseLowHz(float rate) { return RESPONSE_LOW_HZ < rate / 20.0 ? RESPONSE_LOW_HZ : rate / 20.0; }
// The transform's length at most; a longer response is cut to it (and faded out).
inline constexpr std::int64_t MAX_TRANSFORM = std::int64_t{1} << 24;

struct EnvelopePoint {
    double time_ms = 0.0;   // the start of the stretch
    double level_db = 0.0;  // its loudest sample, dB re full scale, at least ENVELOPE_FLOOR_DB
};

struct Echo {
    std::int64_t sample = 0;  // its loudest sample, from the impulse
    double time_ms = 0.0;     // its time: the loudest sample's, or for an interpolated tap the centre of its samples
    double level_db = 0.0;    // of the loudest sample's magnitude, or of an interpolated echo's samples summed
};

struct ResponsePoint {
    double frequency_hz = 0.0;
    double magnitude_db = 0.0;  // 0 dB passes the frequency unchanged; at least RESPONSE_FLOOR_DB
};

// How the transform was taken.
struct Transform {
    std::int64_t length = 0;  // points, a power of two: the response zero-padded
    std::int64_t used = 0;    // samples of the response that went in
    bool faded = false;       // the response had not died away by 60 dB: its last eighth faded out (half Hann)
};

struct ImpulseAnalysis {
    float rate = 48000.0f;
    std::int64_t frames = 0;  // of the impulse response
    std::vector<EnvelopePoint> envelope;
    std::vector<Echo> echoes;
    bool interpolated = false;  // the echoes are an interpolated tap's: their samples summed and centred
    std::vector<ResponsePoint> response;
    Transform transform;
};

// The envelope: the response cut into at most `points` equal stretches, each shown by its loudest sample.
std::vector<EnvelopePoint> Envelope(const std::vector<float>& samples, float rate, std::size_t points);

// The echoes: every sample above the floor that is louder than every sample up to `spacing` / 2 before it and
// at least as loud as every one up to `spacing` / 2 after it (the first of equals wins: a fractional delay
// spreads an echo over two samples). `spacing` is the shortest distance between echoes, the tap delay in samples.
// An `interpolated` tap splits each echo over neighbouring samples ((1 - f) and f of it, wider on each trip round
// a loop): the echo's level is then the sum of the samples within `spacing` / 2 of it, the level a whole-sample
// tap would show, and its time the centre of their magnitudes, the tap's own delay (a damped echo's centre lies
// later by the low-pass's lag).
std::vector<Echo> FindEchoes(const std::vector<float>& samples, float rate, double spacing, bool interpolated = false);

// The magnitude response from RESPONSE_LOW_HZ to Nyquist: the transform of the whole response, zero-padded to a
// power of two of at least `resolve` points (enough to draw the comb the tap delay cuts), at most MAX_TRANSFORM.
// The response enters unwindowed when it has died away by 60 dB before its last eighth, since the transform
// of the whole response is then the exact one; otherwise its last eighth is faded out so that the cut does
// not ripple across the spectrum.
std::vector<ResponsePoint> MagnitudeResponse(const std::vector<float>& samples, float rate, std::int64_t resolve,
                                             Transform& transform);

// Everything the figure shows, for echoes at least `spacing` samples apart (the tap delay; 0 when unknown,
// which assumes 1 ms).
ImpulseAnalysis AnalyseImpulse(const std::vector<float>& samples, float rate, double spacing, bool interpolated = false);

}  // namespace er_render
