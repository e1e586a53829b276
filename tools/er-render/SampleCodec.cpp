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

// mu-law and A-law encode at most these magnitudes in 16-bit steps; libsndfile's encoders take the negative full
// scale of 16 bits for a positive value, so every sample is limited to what the codec holds before it gets there.
constexpr std::int32_t ULAW_EXTREME = 32124;
constexpr std::int32_t ALAW_EXTREME = 32256;
// Subtypes not listed (ADPCM, GSM, ...) are coded through 16-bit integers.
constexpr SampleCodec UNLISTED{16, false, true, 0};

// One row per subtype this tool names.
constexpr SubtypeRow SUBTYPES[] = {
    {SF_FORMAT_PCM_S8, "pcm8", {8, false}},        {SF_FORMAT_PCM_U8, "pcm8u", {8, false}},
    {SF_FORMAT_PCM_16, "pcm16", {16, false}},      {SF_FORMAT_PCM_24, "pcm24", {24, false}},
    {SF_FORMAT_PCM_32, "pcm32", {32, false}},      {SF_FORMAT_FLOAT, "float", {0, false}},
    {SF_FORMAT_DOUBLE, "double", {0, false}},      {SF_FORMAT_ULAW, "ulaw", {16, false, true, ULAW_EXTREME}},
    {SF_FORMAT_ALAW, "alaw", {16, false, true, ALAW_EXTREME}},         {SF_FORMAT_DPCM_8, "dpcm8", {8, false}},
    {SF_FORMAT_DPCM_16, "dpcm16", {16, false}},    {SF_FORMAT_DWVW_12, "dwvw12", {12, false}},
    {SF_FORMAT_DWVW_16, "dwvw16", {16, false}},    {SF_FORMAT_DWVW_24, "dwvw24", {24, false}},
    {SF_FORMAT_ALAC_16, "alac16", {16, false}},    {SF_FORMAT_ALAC_20, "alac20", {20, false}},
    {SF_FORMAT_ALAC_24, "alac24", {24, false}},    {SF_FORMAT_ALAC_32, "alac32", {32, false}},
    {SF_FORMAT_VORBIS, "vorbis", {0, true}},       {SF_FORMAT_OPUS, "opus", {0, true}},
    {SF_FORMAT_MPEG_LAYER_I, "mp1", {0, true}},    {SF_FORMAT_MPEG_LAYER_II, "mp2", {0, true}},
    {SF_FORMAT_MPEG_LAYER_III, "mp3", {0, true}},
};

// Precision for choosing a subtype: integer bits, 25 for floats (24 bits anywhere in a wide range, more than
// pcm24), 53 for doubles; lossy codecs rank as the floats they decode to.
int Precision(const SubtypeRow& row) {
    if (row.codec.bits > 0) return row.codec.bits;
    return row.subtype == SF_FORMAT_DOUBLE ? 53 : 25;
}

bool Holds(int major, int subtype, int channels, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = major | subtype;
    return sf_format_check(&info) != 0;
}

const SubtypeRow* FindSubtype(int subtype) {
    for (const SubtypeRow& row : SUBTYPES) {
        if (row.subtype == subtype) return &row;
    }
    return nullptr;
}

}  // namespace

float SampleCodec::ToFloat(float value, bool& clipped) const {
    clipped = clips && PastFullScale(value);
    return value;
}

SampleCodec CodecForSubtype(int subtype) {
    const SubtypeRow* row = FindSubtype(subtype & SF_FORMAT_SUBMASK);
    return row != nullptr ? row->codec : UNLISTED;
}

int SubtypeForName(std::string_view name, int major, int channels, int rate) {
    for (const SubtypeRow& row : SUBTYPES) {
        const bool named = row.name == name || (name == "pcm8" && row.subtype == SF_FORMAT_PCM_U8);
        if (named && Holds(major, row.subtype, channels, rate)) return row.subtype;
    }
    return 0;
}

std::string SubtypeNames(int major, int channels, int rate) {
    std::string names;
    for (const SubtypeRow& row : SUBTYPES) {
        if (Holds(major, row.subtype, channels, rate)) names += (names.empty() ? "" : ", ") + std::string(row.name);
    }
    return names;
}

int NearestSubtype(int source, int major, int channels, int rate) {
    source &= SF_FORMAT_SUBMASK;
    if (Holds(major, source, channels, rate)) return source;
    const SubtypeRow* source_row = FindSubtype(source);
    const int wanted = source_row != nullptr ? Precision(*source_row) : 16;
    const SubtypeRow* above = nullptr;  // the least precise that holds the source's precision
    const SubtypeRow* best = nullptr;   // the most precise of all
    for (const SubtypeRow& row : SUBTYPES) {
        if (!Holds(major, row.subtype, channels, rate)) continue;
        const int precision = Precision(row);
        if (precision >= wanted && (above == nullptr || precision < Precision(*above))) above = &row;
        if (best == nullptr || precision > Precision(*best)) best = &row;
    }
    if (above != nullptr) return above->subtype;
    return best != nullptr ? best->subtype : 0;
}

std::string_view SubtypeName(int subtype) {
    const SubtypeRow* row = FindSubtype(subtype & SF_FORMAT_SUBMASK);
    return row != nullptr ? row->name : std::string_view("other");
}

}  // namespace er_render
