#include "SampleCodec.h"

#include <algorithm>
#include <cmath>

#include <sndfile.h>

namespace er_render {

namespace {

struct SubtypeRow {
    int subtype;
    std::string_view name;
    SampleCodec codec;
};

// One row per subtype this tool names; subtypes not listed are stored as 16-bit integers.
constexpr SubtypeRow SUBTYPES[] = {
    {SF_FORMAT_PCM_S8, "pcm8", {8, false}},        {SF_FORMAT_PCM_U8, "pcm8u", {8, false}},
    {SF_FORMAT_PCM_16, "pcm16", {16, false}},      {SF_FORMAT_PCM_24, "pcm24", {24, false}},
    {SF_FORMAT_PCM_32, "pcm32", {32, false}},      {SF_FORMAT_FLOAT, "float", {0, false}},
    {SF_FORMAT_DOUBLE, "double", {0, false}},      {SF_FORMAT_ULAW, "ulaw", {16, false}},
    {SF_FORMAT_ALAW, "alaw", {16, false}},         {SF_FORMAT_DPCM_8, "dpcm8", {8, false}},
    {SF_FORMAT_DPCM_16, "dpcm16", {16, false}},    {SF_FORMAT_DWVW_12, "dwvw12", {12, false}},
    {SF_FORMAT_DWVW_16, "dwvw16", {16, false}},    {SF_FORMAT_DWVW_24, "dwvw24", {24, false}},
    {SF_FORMAT_ALAC_16, "alac16", {16, false}},    {SF_FORMAT_ALAC_20, "alac20", {20, false}},
    {SF_FORMAT_ALAC_24, "alac24", {24, false}},    {SF_FORMAT_ALAC_32, "alac32", {32, false}},
    {SF_FORMAT_VORBIS, "vorbis", {0, true}},       {SF_FORMAT_OPUS, "opus", {0, true}},
    {SF_FORMAT_MPEG_LAYER_I, "mp1", {0, true}},    {SF_FORMAT_MPEG_LAYER_II, "mp2", {0, true}},
    {SF_FORMAT_MPEG_LAYER_III, "mp3", {0, true}},
};

// The names --format accepts.
constexpr int FORMAT_OPTION_SUBTYPES[] = {SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_FLOAT};

const SubtypeRow* FindSubtype(int subtype) {
    for (const SubtypeRow& row : SUBTYPES) {
        if (row.subtype == subtype) return &row;
    }
    return nullptr;
}

}  // namespace

std::int64_t RoundToRange(double value, std::int64_t low, std::int64_t high, bool& outside) {
    outside = false;
    if (std::isnan(value)) {
        outside = true;
        return 0;
    }
    const double rounded = std::nearbyint(value);
    // Compared as doubles, both limits may round up; 2^63 itself is no int64, so it counts as above.
    if (rounded < static_cast<double>(low)) {
        outside = true;
        return low;
    }
    if (rounded > static_cast<double>(high) || rounded >= 9223372036854775808.0) {
        outside = true;
        return high;
    }
    return std::clamp(static_cast<std::int64_t>(rounded), low, high);
}

float SampleCodec::FromInt(std::int32_t stored) {
    return static_cast<float>(static_cast<double>(stored) / 2147483648.0);
}

std::int32_t SampleCodec::ToInt(float value, bool& clipped, double dither) const {
    const std::int64_t full_scale = std::int64_t{1} << (bits - 1);
    const double scaled = static_cast<double>(value) * static_cast<double>(full_scale) + dither;
    const std::int64_t sample = RoundToRange(scaled, -full_scale, full_scale - 1, clipped);
    return static_cast<std::int32_t>(sample * (std::int64_t{1} << (32 - bits)));
}

float SampleCodec::ToFloat(float value, bool& clipped) const {
    clipped = clips && !(std::fabs(value) <= 1.0f);
    return value;
}

SampleCodec CodecForSubtype(int subtype) {
    const SubtypeRow* row = FindSubtype(subtype & SF_FORMAT_SUBMASK);
    return row != nullptr ? row->codec : SampleCodec{16, false};
}

int SubtypeForName(std::string_view name) {
    for (const int subtype : FORMAT_OPTION_SUBTYPES) {
        if (FindSubtype(subtype)->name == name) return subtype;
    }
    return 0;
}

std::string_view SubtypeName(int subtype) {
    const SubtypeRow* row = FindSubtype(subtype & SF_FORMAT_SUBMASK);
    return row != nullptr ? row->name : std::string_view("other");
}

}  // namespace er_render
