#include "SampleCodec.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <sndfile.h>

#include "AudioFile.h"
#include "Text.h"

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
    {SF_FORMAT_PCM_S8, "pcm8", {8, false}},
    {SF_FORMAT_PCM_U8, "pcm8u", {8, false}},
    {SF_FORMAT_PCM_16, "pcm16", {16, false}},
    {SF_FORMAT_PCM_24, "pcm24", {24, false}},
    {SF_FORMAT_PCM_32, "pcm32", {32, false}},
    {SF_FORMAT_FLOAT, "float", {0, false}},
    {SF_FORMAT_DOUBLE, "double", {0, false}},
    {SF_FORMAT_ULAW, "ulaw", {16, false, true, ULAW_EXTREME}},
    {SF_FORMAT_ALAW, "alaw", {16, false, true, ALAW_EXTREME}},
    {SF_FORMAT_DPCM_8, "dpcm8", {8, false}},
    {SF_FORMAT_DPCM_16, "dpcm16", {16, false}},
    {SF_FORMAT_DWVW_12, "dwvw12", {12, false}},
    {SF_FORMAT_DWVW_16, "dwvw16", {16, false}},
    {SF_FORMAT_DWVW_24, "dwvw24", {24, false}},
    {SF_FORMAT_ALAC_16, "alac16", {16, false}},
    {SF_FORMAT_ALAC_20, "alac20", {20, false}},
    {SF_FORMAT_ALAC_24, "alac24", {24, false}},
    {SF_FORMAT_ALAC_32, "alac32", {32, false}},
    {SF_FORMAT_VORBIS, "vorbis", {0, true}},
    {SF_FORMAT_OPUS, "opus", {0, true}},
    {SF_FORMAT_MPEG_LAYER_I, "mp1", {0, true}},
    {SF_FORMAT_MPEG_LAYER_II, "mp2", {0, true}},
    {SF_FORMAT_MPEG_LAYER_III, "mp3", {0, true}},
};

// Precision for choosing a subtype: integer bits, 25 for floats (24 bits anywhere in a wide range, more than
// pcm24), 53 for doubles; lossy codecs rank as the floats they decode to.
int Precision(const SubtypeRow& row) {
    if (row.codec.bits > 0) return row.codec.bits;
    return row.subtype == SF_FORMAT_DOUBLE ? 53 : 25;
}

// Rates a refusal names when a sample format fits a container at some rates only (Opus).
constexpr int COMMON_RATES[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 192000};

// Frames CanWrite writes and reads back: odd, past the few samples a codec may pack into one byte or packet.
constexpr sf_count_t PROBE_FRAMES = 5;

// A file in memory that libsndfile writes into, to find out whether it really can: sf_format_check accepts some
// pairs (MPEG in WAV) whose writer then refuses to open.
struct MemoryFile {
    std::vector<char> bytes;
    sf_count_t position = 0;

    static sf_count_t Length(void* self) { return static_cast<sf_count_t>(static_cast<MemoryFile*>(self)->bytes.size()); }
    static sf_count_t Seek(sf_count_t offset, int whence, void* self) {
        MemoryFile& file = *static_cast<MemoryFile*>(self);
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? file.position
                                                                            : Length(self);
        file.position = std::max<sf_count_t>(0, base + offset);
        return file.position;
    }
    static sf_count_t Read(void* to, sf_count_t count, void* self) {
        MemoryFile& file = *static_cast<MemoryFile*>(self);
        const sf_count_t got = std::clamp<sf_count_t>(Length(self) - file.position, 0, count);
        std::copy_n(file.bytes.begin() + file.position, got, static_cast<char*>(to));
        file.position += got;
        return got;
    }
    static sf_count_t Write(const void* from, sf_count_t count, void* self) {
        MemoryFile& file = *static_cast<MemoryFile*>(self);
        if (file.position + count > Length(self)) file.bytes.resize(static_cast<std::size_t>(file.position + count));
        std::copy_n(static_cast<const char*>(from), count, file.bytes.begin() + file.position);
        file.position += count;
        return count;
    }
    static sf_count_t Tell(void* self) { return static_cast<MemoryFile*>(self)->position; }
};

}  // namespace

namespace {

enum class Probe { UNWRITTEN, MISREAD, RIGHT };

// Writes a few frames of `format` with `channels` at `rate` into memory and reads them back.
Probe ProbeWrite(int format, int channels, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    if (sf_format_check(&info) == 0) return Probe::UNWRITTEN;
    // SD2 keeps its rate and length in a resource fork, a file beside its own ("._name") that a renamed or piped
    // output leaves behind: what arrives is unreadable.
    if ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_SD2) return Probe::MISREAD;
    SF_VIRTUAL_IO io{MemoryFile::Length, MemoryFile::Seek, MemoryFile::Read, MemoryFile::Write, MemoryFile::Tell};
    MemoryFile memory;
    SNDFILE* file = sf_open_virtual(&io, SFM_WRITE, &info, &memory);
    if (file == nullptr) return Probe::UNWRITTEN;
    // An odd number of frames of steps every format holds (eighths of full scale, which 8 bits and a float
    // store exactly), read back through the interface the tool uses for the format: the rate, the channels, the
    // length and, where nothing is lost, every sample must be what was written.
    const SampleCodec codec = CodecForSubtype(format);
    const std::size_t count = static_cast<std::size_t>(PROBE_FRAMES) * static_cast<std::size_t>(channels);
    std::vector<float> written(count);
    for (std::size_t i = 0; i < count; ++i) written[i] = static_cast<float>(static_cast<int>(i % 5) - 2) / 8.0f;
    std::vector<int> written_ints(count);
    bool clipped = false;
    for (std::size_t i = 0; i < count; ++i) written_ints[i] = codec.IsInteger() ? codec.ToInt(written[i], clipped) : 0;
    const bool wrote = (codec.IsInteger() ? sf_writef_int(file, written_ints.data(), PROBE_FRAMES)
                                          : sf_writef_float(file, written.data(), PROBE_FRAMES)) == PROBE_FRAMES;
    sf_close(file);
    if (!wrote) return Probe::UNWRITTEN;
    memory.position = 0;
    // Headerless samples are read as described; the length is what the bytes hold.
    SF_INFO back = (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_RAW ? SF_INFO{0, rate, channels, format, 0, 0} : SF_INFO{};
    file = sf_open_virtual(&io, SFM_READ, &back, &memory);
    if (file == nullptr) return Probe::MISREAD;
    std::vector<float> read(count + static_cast<std::size_t>(channels));
    std::vector<int> read_ints(read.size());
    const sf_count_t frames = codec.IsInteger() ? sf_readf_int(file, read_ints.data(), PROBE_FRAMES + 1)
                                                : sf_readf_float(file, read.data(), PROBE_FRAMES + 1);
    sf_close(file);
    read.resize(count);
    read_ints.resize(count);
    const bool same = codec.IsInteger() ? read_ints == written_ints : read == written;
    const bool lossless = codec.IsExactInteger() || (!codec.IsInteger() && !codec.clips);
    const bool right = back.samplerate == rate && back.channels == channels && back.frames == PROBE_FRAMES &&
                       frames == PROBE_FRAMES && (!lossless || same);
    return right ? Probe::RIGHT : Probe::MISREAD;
}

}  // namespace

bool CanWrite(int format, int channels, int rate) { return ProbeWrite(format, channels, rate) == Probe::RIGHT; }

namespace {

bool Holds(int major, int subtype, int channels, int rate) { return CanWrite(major | subtype, channels, rate); }

const SubtypeRow* FindSubtype(int subtype) {
    for (const SubtypeRow& row : SUBTYPES) {
        if (row.subtype == subtype) return &row;
    }
    return nullptr;
}

}  // namespace

std::int64_t SampleCodec::ToInts(const float* values, std::int32_t* stored, std::size_t count) const {
    const double full_scale = FullScale();
    const double low = Low();
    const double high = High();
    const double clip_high = ClipHigh();
    const unsigned shift = Shift();
    std::int64_t clipped = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double scaled = static_cast<double>(values[i]) * full_scale;
        stored[i] = LimitRoundShift(scaled, low, high, shift);
        clipped += (PastFullScale(values[i]) || OutsideSteps(scaled, -full_scale, clip_high)) ? 1 : 0;
    }
    return clipped;
}

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

std::string FormatRefusal(int major, std::string_view name, int channels, int rate) {
    const std::string container = MajorFormatName(major);
    const std::string layout = std::to_string(rate) + " Hz, " + std::to_string(channels) + (channels == 1 ? " channel" : " channels");
    const std::string choices = SubtypeNames(major, channels, rate);
    const std::string choose = choices.empty() ? "choose another container" : "it takes " + choices;
    if (name.empty()) return "libsndfile writes no " + container + " file at " + layout + " that reads back as written; " + choose;
    for (const SubtypeRow& row : SUBTYPES) {
        if (row.name != name && !(name == "pcm8" && row.subtype == SF_FORMAT_PCM_U8)) continue;
        std::string rates;
        for (const int other : COMMON_RATES) {
            if (Holds(major, row.subtype, channels, other)) rates += (rates.empty() ? "" : ", ") + std::to_string(other);
        }
        if (!rates.empty()) {
            return std::string(name) + " samples in a " + container + " file take " + rates + " Hz, not " +
                   std::to_string(rate) + "; " + choose;
        }
        if (ProbeWrite(major | row.subtype, channels, rate) == Probe::MISREAD) {
            return "libsndfile's " + container + " file of " + std::string(name) + " samples at " + layout +
                   " does not read back as written (its rate, length or samples differ); " + choose;
        }
    }
    return "--format for a " + container + " file takes " + (choices.empty() ? "nothing at " + layout : choices) +
           "; not " + er_text::Quoted(std::string(name));
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
