// Exact conversion between a file's stored samples and the module's 32-bit floats.
//
// Integer samples travel through libsndfile's int interface, left-justified in 32 bits, and are scaled here by
// powers of two: a b-bit sample s is the float s / 2^(b-1) and back, full scale included, so a 16-bit -32768
// is -1.0 and 1.0 is 32768, one past the largest 16-bit value, which clips to 32767. libsndfile's own
// float-to-int scaling (0x7FFF) is not the inverse of its int-to-float scaling (1/0x8000); scaling here keeps a
// unity pure delay bit-transparent for every integer width up to 24 bits.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace er_render {

// The one place where a computed value becomes an integer: rounded to nearest (ties to even), limited to
// [low, high]; a value that is not a number becomes 0. `outside` is set when the value lay outside the range
// or was not a number. Inline: every output sample of an integer file comes through here.
inline std::int64_t RoundToRange(double value, std::int64_t low, std::int64_t high, bool& outside) {
    // Adding and taking away 1.5 x 2^52 rounds a double of magnitude below 2^51 to the nearest whole number, ties
    // to even, as nearbyint does in the default rounding mode, without a call.
    constexpr double ROUNDER = 6755399441055744.0;
    constexpr double SMALL = 2251799813685248.0;  // 2^51
    outside = false;
    if (!(value == value)) {
        outside = true;
        return 0;
    }
    const double rounded = std::fabs(value) < SMALL ? (value + ROUNDER) - ROUNDER : std::nearbyint(value);
    // Compared as doubles, both limits may round up; 2^63 itself is no int64, so it counts as above.
    if (rounded < static_cast<double>(low)) {
        outside = true;
        return low;
    }
    if (rounded > static_cast<double>(high) || rounded >= 9223372036854775808.0) {
        outside = true;
        return high;
    }
    const auto whole = static_cast<std::int64_t>(rounded);
    return whole < low ? low : (whole > high ? high : whole);
}

// Whether a module float lies past full scale (beyond +-1.0, or not a number): what counts as clipped, in any
// format that cannot hold it. Full scale itself is no clip, though an integer format stores +1.0 as its largest
// value, one step below.
inline bool PastFullScale(float value) { return !(value >= -1.0f && value <= 1.0f); }

// How the samples of one libsndfile subtype are stored.
struct SampleCodec {
    int bits = 0;          // integer width (8 to 32); 0: floats through libsndfile's float interface
    bool clips = false;    // for float storage: values beyond +-1.0 cannot be represented (lossy codecs)
    bool coded = false;    // integer interface, but the codec stores an approximation (companding, ADPCM, GSM)
    std::int32_t extreme = 0;  // largest magnitude the codec encodes, in `bits`-bit steps; 0: the whole range

    bool IsInteger() const { return bits > 0; }
    // Whether each sample of `bits` bits is stored as it is (PCM, lossless codecs).
    bool IsExactInteger() const { return bits > 0 && !coded; }
    // A left-justified 32-bit sample as read through libsndfile's int interface, as a module float.
    static float FromInt(std::int32_t stored) {
        return static_cast<float>(static_cast<double>(stored) * (1.0 / 2147483648.0));
    }
    // A module float as a left-justified 32-bit sample of `bits` bits, with `dither` (in least significant bits)
    // added before rounding, limited to the codec's own extremes so that the sign survives the codec; `clipped`
    // is set when the value lay past full scale.
    std::int32_t ToInt(float value, bool& clipped, double dither = 0.0) const {
        const std::int64_t full_scale = std::int64_t{1} << (bits - 1);
        const std::int64_t high = extreme > 0 ? extreme : full_scale - 1;
        const std::int64_t low = extreme > 0 ? -std::int64_t{extreme} : -full_scale;
        const double scaled = static_cast<double>(value) * static_cast<double>(full_scale) + dither;
        bool outside = false;
        const std::int64_t sample = RoundToRange(scaled, low, high, outside);
        clipped = PastFullScale(value);
        return static_cast<std::int32_t>(sample * (std::int64_t{1} << (32 - bits)));
    }
    // A module float as stored through the float interface; `clipped` is set when the codec cannot hold it.
    float ToFloat(float value, bool& clipped) const;
};

// The codec of a libsndfile subtype (SF_FORMAT_PCM_16, ...). Subtypes decoded to floats (float, double and the
// lossy codecs) use float storage; every other subtype is integer with the width it holds (16 for the
// companding and ADPCM codecs, which are `coded`).
SampleCodec CodecForSubtype(int subtype);

// A --format name ("pcm16", "float", "vorbis", ...) as the subtype a `major` container holds: "pcm8" is the
// 8-bit integer the container stores, signed or unsigned. 0 for a name that is no subtype's, or one the container
// cannot hold with `channels` at `rate`.
int SubtypeForName(std::string_view name, int major, int channels, int rate);
// The names of the subtypes a `major` container holds: "pcm16, pcm24, ...".
std::string SubtypeNames(int major, int channels, int rate);
// The subtype a `major` container stores a `source` subtype's samples in: the source's own where the container
// holds it, else the one nearest in precision that loses nothing (the least precise above it; lossy codecs count
// as floats, which they decode to), else the most precise the container holds. 0 if it holds none.
int NearestSubtype(int source, int major, int channels, int rate);
// Whether libsndfile really writes `format` (container | subtype) with `channels` at `rate`: checked and opened
// for writing into memory.
bool CanWrite(int format, int channels, int rate);
// A short name of any libsndfile subtype for the summary ("pcm16", "float", "ulaw", ...).
std::string_view SubtypeName(int subtype);

}  // namespace er_render
