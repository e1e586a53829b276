// Exact conversion between a file's stored samples and the module's 32-bit floats.
//
// Integer samples travel through libsndfile's int interface, left-justified in 32 bits, and are scaled here by
// powers of two: a b-bit sample s is the float s / 2^(b-1) and back, full scale included, so a 16-bit -32768
// is -1.0 and 1.0 is 32768, one past the largest 16-bit value, which clips to 32767. libsndfile's own
// float-to-int scaling (0x7FFF) is not the inverse of its int-to-float scaling (1/0x8000); scaling here keeps a
// unity pure delay bit-transparent for every integer width up to 24 bits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
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

// Whether a module float lies past full scale (beyond +-1.0, or not a number): what a float format that cannot
// hold it clips. An integer format clips more (SampleCodec::ToInt).
inline bool PastFullScale(float value) { return !(std::fabs(value) <= 1.0f); }

// Whether a scaled sample, rounded to nearest, falls outside the whole numbers [low, high] (or is not a number):
// the limit changes it. Branch-free, as LimitRoundShift, so that a loop of it runs in vector registers.
inline bool OutsideSteps(double scaled, double low, double high) {
    constexpr double ROUNDER = 6755399441055744.0;  // 1.5 x 2^52, as in RoundToRange
    const double rounded = (std::min(std::max(scaled, low - 1.0), high + 1.0) + ROUNDER) - ROUNDER;
    return !(rounded >= low && rounded <= high);
}

// A scaled sample as a left-justified 32-bit integer: limited to the whole numbers [low, high] (a value that is not
// a number becomes 0), rounded to nearest (ties to even), shifted left by `shift`. Limiting before rounding gives
// what rounding and then limiting would, since the limits are whole, and keeps the value where the rounding trick
// holds, so the code has no branch and a loop over a block of samples runs in vector registers.
inline std::int32_t LimitRoundShift(double scaled, double low, double high, unsigned shift) {
    constexpr double ROUNDER = 6755399441055744.0;  // 1.5 x 2^52, as in RoundToRange
    const double limited = std::min(std::max(scaled, low), high);
    const double number = scaled == scaled ? limited : 0.0;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>((number + ROUNDER) - ROUNDER))
                                     << shift);
}

// The significant bits of the module's float: an integer sample of this width or less passes through it exactly.
inline constexpr int FLOAT_BITS = 24;

// How the samples of one libsndfile subtype are stored.
struct SampleCodec {
    int bits = 0;              // integer width (8 to 32); 0: floats through libsndfile's float interface
    bool clips = false;        // for float storage: values beyond +-1.0 cannot be represented (lossy codecs)
    bool coded = false;        // integer interface, but the codec stores an approximation (companding, ADPCM, GSM)
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
    // is set when the sample itself (dither aside) does not fit: past full scale, and in a stored integer of up
    // to FLOAT_BITS also +1.0, which becomes the largest value, one step below. (A wider step is finer than the
    // float's own at 1.0, and a coded format approximates every sample: there the largest value is as near as
    // the float itself, no clip.)
    std::int32_t ToInt(float value, bool& clipped, double dither = 0.0) const {
        const double scaled = static_cast<double>(value) * FullScale();
        clipped = PastFullScale(value) || OutsideSteps(scaled, -FullScale(), ClipHigh());
        return LimitRoundShift(scaled + dither, Low(), High(), Shift());
    }
    // ToInt without dither for `count` samples; returns how many were clipped.
    std::int64_t ToInts(const float* values, std::int32_t* stored, std::size_t count) const;
    // A module float as stored through the float interface; `clipped` is set when the codec cannot hold it.
    float ToFloat(float value, bool& clipped) const;

private:
    double FullScale() const { return static_cast<double>(std::int64_t{1} << (bits - 1)); }
    double High() const { return extreme > 0 ? extreme : FullScale() - 1.0; }
    double ClipHigh() const { return coded || bits > FLOAT_BITS ? FullScale() : FullScale() - 1.0; }
    double Low() const { return extreme > 0 ? -static_cast<double>(extreme) : -FullScale(); }
    unsigned Shift() const { return static_cast<unsigned>(32 - bits); }
};

// The codec of a libsndfile subtype (SF_FORMAT_PCM_16, ...). Subtypes decoded to floats (float, double and the
// lossy codecs) use float storage; every other subtype is integer with the width it holds (16 for the
// companding and ADPCM codecs, which are `coded`).
SampleCodec CodecForSubtype(int subtype);

// A --format name ("pcm16", "float", "vorbis", ...) as the subtype a `major` container holds: "pcm8" is the
// 8-bit integer the container stores, signed or unsigned. 0 for a name that is no subtype's, or one the container
// cannot hold with `channels` at `rate`.
int SubtypeForName(std::string_view name, int major, int channels, int rate);
// Why a `major` container takes no `name` samples (empty: no samples at all) with `channels` at `rate`, as the
// whole message: libsndfile's file would not read back as written, the rate is not one the format takes, or the
// name is none the container holds (with the ones it does).
std::string FormatRefusal(int major, std::string_view name, int channels, int rate);
// The names of the subtypes a `major` container holds: "pcm16, pcm24, ...".
std::string SubtypeNames(int major, int channels, int rate);
// The subtype a `major` container stores a `source` subtype's samples in: the source's own where the container
// holds it, else the one nearest in precision that loses nothing (the least precise above it; lossy codecs count
// as floats, which they decode to), else the most precise the container holds. 0 if it holds none.
int NearestSubtype(int source, int major, int channels, int rate);
// Whether libsndfile really writes `format` (container | subtype) with `channels` at `rate` so that it reads back
// as written: a few frames written into memory and read back must give the same rate, channels, length and,
// where the format loses nothing, samples. (Not SD2, whose resource fork stays behind as a file of its own.)
bool CanWrite(int format, int channels, int rate);
// A short name of any libsndfile subtype for the summary ("pcm16", "float", "ulaw", ...).
std::string_view SubtypeName(int subtype);

}  // namespace er_render
