#include "AudioFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Failure.h"
#include "Interrupts.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

namespace {

// Extensions people use that libsndfile's own list spells differently.
struct ExtensionAlias {
    std::string_view extension;
    int major;
};
constexpr ExtensionAlias EXTENSION_ALIASES[] = {
    {"aif", SF_FORMAT_AIFF}, {"ogg", SF_FORMAT_OGG}, {"opus", SF_FORMAT_OGG}, {"mp3", SF_FORMAT_MPEG}, {"wave", SF_FORMAT_WAV}};

// Samples moved through libsndfile at a time: a long render then costs a few hundred system calls a minute of
// stereo audio, not one per host block.
constexpr std::size_t CHUNK_SAMPLES = std::size_t{1} << 16;

// Integer samples of up to 16 bits travel through libsndfile's short interface, left-justified in 16 bits as the
// int interface left-justifies them in 32: the same numbers, without libsndfile's conversion to and from ints.
constexpr int SHORT_BITS = 16;
std::int32_t WidenShort(short stored) { return static_cast<std::int32_t>(stored) * 65536; }
short NarrowToShort(std::int32_t stored) { return static_cast<short>(stored >> 16); }

// A chunk of whole frames.
std::size_t ChunkSamples(int channels) {
    const auto count = static_cast<std::size_t>(std::max(channels, 1));
    return std::max<std::size_t>(1, CHUNK_SAMPLES / count) * count;
}

std::string ErrnoText() { return std::strerror(errno); }

std::string LibraryText(SNDFILE* file) {
    std::string text = sf_strerror(file);
    while (!text.empty() && (text.back() == '.' || text.back() == '\n')) text.pop_back();
    return text;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

namespace {
std::string FollowLinks(const std::string& path);
}  // namespace

int MakeTemporaryBeside(const std::string& target, std::string& temp_path) {
    // The temporary name holds the target's name for a reader of the folder, shortened where the two would pass
    // the longest name the folder takes (a target of 238 bytes and more); mkstemp's letters keep it unique.
    constexpr std::string_view SUFFIX = ".er-render-XXXXXX";
    const std::string folder = FolderOf(target);
    const long longest = pathconf(folder.c_str(), _PC_NAME_MAX);
    std::string base = BaseName(target);
    const std::size_t room = static_cast<std::size_t>(longest > 0 ? longest : 255) - 1 - SUFFIX.size();
    if (base.size() > room) base.resize(room);
    std::string temp = folder + "/." + base + std::string(SUFFIX);
    const int fd = MakeRegisteredTemporary(temp);
    if (fd < 0) return -1;
    temp_path = temp;
    // mkstemp makes the file private; give it the mode a newly created file would have.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

std::FILE* MakeSpoolFile() {
    const char* variable = std::getenv("TMPDIR");
    const std::string folder = variable != nullptr && *variable != '\0' ? variable : "/tmp";
    std::string name = folder + "/er-render-spool-XXXXXX";
    const int fd = MakeRegisteredTemporary(name);
    // An unusable $TMPDIR is no fault of the input's: the message names the folder and where it comes from.
    if (fd < 0) {
        throw Failure(EXIT_OUTPUT, "cannot make a spool file in " + Quoted(folder) +
                                       (variable != nullptr && *variable != '\0' ? " ($TMPDIR): " : ": ") + ErrnoText());
    }
    unlink(name.c_str());
    ForgetTemporary(name);
    std::FILE* file = fdopen(fd, "w+b");
    if (file == nullptr) close(fd);
    return file;
}

namespace {

// FIFOs opened at the start of the run, by target path, until their OutputFile takes them.
std::vector<std::pair<std::string, int>> g_early_fifos;

}  // namespace

int TakeEarlyFifo(const std::string& path) {
    const std::string target = FollowLinks(path);
    for (auto early = g_early_fifos.begin(); early != g_early_fifos.end(); ++early) {
        if (early->first != target) continue;
        const int fd = early->second;
        g_early_fifos.erase(early);
        return fd;
    }
    return -1;
}

void OpenFifoEarly(const std::string& path) {
    struct stat status {};
    if (path == "-" || stat(path.c_str(), &status) != 0 || !S_ISFIFO(status.st_mode)) return;
    // Opened by the name given: a link into /proc (/dev/stdout to a pipe) names no path the link's text does.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw Failure(EXIT_OUTPUT, "cannot open the output " + Quoted(path) + ": " + ErrnoText());
    g_early_fifos.emplace_back(FollowLinks(path), fd);
}

// ---- input --------------------------------------------------------------------------------------------------

namespace {

// Copies all of `from` to `to`, from their present positions. False with errno set when a read or write fails.
bool CopyAll(int from, int to) {
    std::vector<char> buffer(1 << 16);
    while (true) {
        const ssize_t got = read(from, buffer.data(), buffer.size());
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        for (ssize_t sent = 0; sent < got;) {
            const ssize_t wrote = write(to, buffer.data() + sent, static_cast<std::size_t>(got - sent));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            sent += wrote;
        }
    }
}

// The file a chain of symbolic links ends at (which need not exist); `path` itself when it is no link.
std::string FollowLinks(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::vector<char> target(4096);
        const ssize_t length = readlink(current.c_str(), target.data(), target.size());
        if (length < 0) return current;
        const std::string next(target.data(), static_cast<std::size_t>(length));
        current = next.starts_with('/') ? next : FolderOf(current) + "/" + next;
    }
    throw Failure(EXIT_OUTPUT, "the output " + Quoted(path) + " is a loop of symbolic links");
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

InputFile::InputFile(const std::string& path, const RawLayout* raw) : m_path(path) {
    if (raw != nullptr) {
        m_info.format = raw->format;
        m_info.channels = raw->channels;
        m_info.samplerate = raw->rate;
    }
    // A stream (stdin, a FIFO, a device, a process substitution) is spooled to an unnamed file, so that every
    // format reads with its length known and can seek; a regular file is read where it is.
    int stream = path == "-" ? STDIN_FILENO : -1;
    const std::string label = path == "-" ? "from stdin" : Quoted(path);
    if (stream < 0) {
        struct stat status {};
        if (stat(path.c_str(), &status) != 0) throw Failure(EXIT_INPUT, "cannot read the input " + label + ": " + ErrnoText());
        if (S_ISDIR(status.st_mode)) throw Failure(EXIT_INPUT, "the input " + label + " is a folder");
        if (!S_ISREG(status.st_mode)) {
            stream = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (stream < 0) throw Failure(EXIT_INPUT, "cannot read the input " + label + ": " + ErrnoText());
        }
    }
    if (stream >= 0) {
        try {
            m_spool = MakeSpoolFile();
        } catch (const Failure&) {
            if (stream != STDIN_FILENO) close(stream);
            throw;
        }
        const bool copied = m_spool != nullptr && CopyAll(stream, fileno(m_spool)) && lseek(fileno(m_spool), 0, SEEK_SET) == 0;
        const std::string reason = ErrnoText();
        if (stream != STDIN_FILENO) close(stream);
        if (!copied) {
            if (m_spool != nullptr) std::fclose(m_spool);
            throw Failure(EXIT_INPUT, "cannot read the input " + label + ": " + reason);
        }
        m_file = sf_open_fd(fileno(m_spool), SFM_READ, &m_info, SF_FALSE);
    } else {
        m_file = sf_open(path.c_str(), SFM_READ, &m_info);
    }
    if (m_file == nullptr) {
        const std::string reason = LibraryText(nullptr);
        if (m_spool != nullptr) std::fclose(m_spool);
        throw Failure(EXIT_INPUT, "cannot read the input " + Quoted(path) + ": " + reason);
    }
    if (m_info.channels <= 0 || m_info.samplerate <= 0 || m_info.frames < 0 || m_info.frames >= INT32_MAX) {
        sf_close(m_file);
        if (m_spool != nullptr) std::fclose(m_spool);
        throw Failure(EXIT_INPUT, "the input " + Quoted(path) + " has no usable channel count, rate or length");
    }
    m_codec = CodecForSubtype(m_info.format);
    m_double = (m_info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_DOUBLE;
    // FLAC's decoder takes the length in its header on trust and reads a file cut short as silence up to it: the
    // real end is found by seeking, so that such a file stops where its data does, as a WAV does. A seek past the
    // data leaves the decoder failed, so each probe opens the file anew (stdin's spool through its descriptor).
    if ((m_info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC && m_info.seekable && m_info.frames > 0) {
        const std::string name = m_spool != nullptr ? "/proc/self/fd/" + std::to_string(fileno(m_spool)) : path;
        std::vector<float> frame(static_cast<std::size_t>(m_info.channels));
        auto readable = [&](sf_count_t at) {
            SF_INFO info{};
            SNDFILE* probe = sf_open(name.c_str(), SFM_READ, &info);
            const bool read = probe != nullptr && sf_seek(probe, at, SEEK_SET) == at &&
                              sf_readf_float(probe, frame.data(), 1) == 1;
            sf_close(probe);
            return read;
        };
        if (!readable(m_info.frames - 1)) {
            sf_count_t low = -1, high = m_info.frames - 1;  // the frame at `low` is there (-1: none); at `high` not
            while (high - low > 1) {
                const sf_count_t middle = low + (high - low) / 2;
                (readable(middle) ? low : high) = middle;
            }
            m_info.frames = high;
            m_header_too_long = true;
        }
    }
    // libsndfile reads a file whose data is shorter than its header says as far as it goes, and notes the header's
    // length in its log: "data : 96000 (should be 49956)" (WAV, W64, RF64), "SSND" (AIFF), "Data Size" (AU).
    std::vector<char> log(16384, '\0');
    sf_command(m_file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size() - 1));
    const std::string_view text(log.data());
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        const std::string_view line = Trim(text.substr(begin, end - begin));
        const bool data_chunk = line.starts_with("data ") || line.starts_with("SSND ") || line.starts_with("Data Size ");
        if (data_chunk && line.find("(should be ") != std::string_view::npos) m_header_too_long = true;
        begin = end + 1;
    }
    for (int kind = SF_STR_FIRST; kind <= SF_STR_LAST; ++kind) {
        if (const char* text = sf_get_string(m_file, kind); text != nullptr && *text != '\0') {
            m_metadata.texts.emplace_back(kind, text);
        }
    }
    std::vector<int> map(static_cast<std::size_t>(m_info.channels), SF_CHANNEL_MAP_INVALID);
    if (sf_command(m_file, SFC_GET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int))) == SF_TRUE) {
        m_metadata.channel_map = std::move(map);
    }
    const std::size_t chunk_samples = ChunkSamples(m_info.channels);
    m_chunk.samples.resize(chunk_samples);
    m_next.samples.resize(chunk_samples);
    if (m_codec.IsInteger() && m_codec.bits <= SHORT_BITS) {
        m_stored_short.resize(chunk_samples);
    } else if (m_codec.IsInteger()) {
        m_stored.resize(chunk_samples);
    } else if (m_double) {
        m_stored_double.resize(chunk_samples);
    }
}

InputFile::~InputFile() {
    try {
        m_reader.Wait();  // the reader lets go of the file before it closes
    } catch (...) {
        // A failure in a chunk nobody asked for.
    }
    sf_close(m_file);
    if (m_spool != nullptr) std::fclose(m_spool);
}

int InputFile::PrecisionBits() const {
    if (m_codec.IsInteger()) return m_codec.bits;
    return m_double ? 53 : 24;
}

void InputFile::Check(const Chunk& chunk) const {
    const auto channels = static_cast<std::size_t>(m_info.channels);
    const std::size_t count = static_cast<std::size_t>(chunk.frames) * channels;
    const float* samples = chunk.samples.data();
    bool finite = true;
    for (std::size_t i = 0; i < count; ++i) finite &= std::isfinite(samples[i]);
    if (finite) return;
    for (std::size_t i = 0; i < count; ++i) {
        if (std::isfinite(samples[i])) continue;
        const std::int64_t frame = chunk.start + static_cast<std::int64_t>(i / channels);
        throw Failure(EXIT_INPUT, Printf("input sample %lld of channel %zu is %s (at %.6f s); nothing was written",
                                         static_cast<long long>(frame), i % channels + 1,
                                         std::isnan(samples[i]) ? "not a number" : "infinite",
                                         static_cast<double>(frame) / m_info.samplerate));
    }
}

// Decodes the frames of the file from `chunk.start` on into module floats. An integer sample is always finite;
// floats and doubles are checked.
void InputFile::Decode(Chunk& chunk) {
    const auto channels = static_cast<std::size_t>(m_info.channels);
    const sf_count_t wanted = static_cast<sf_count_t>(chunk.samples.size() / channels);
    sf_count_t got = 0;
    chunk.rounded = 0;
    if (m_codec.IsInteger() && m_codec.bits <= SHORT_BITS) {
        // libsndfile hands 16-bit little-endian samples over as they lie in the file.
        got = std::max<sf_count_t>(sf_readf_short(m_file, m_stored_short.data(), wanted), 0);
        const std::size_t count = static_cast<std::size_t>(got) * channels;
        for (std::size_t i = 0; i < count; ++i) chunk.samples[i] = SampleCodec::FromInt(WidenShort(m_stored_short[i]));
    } else if (m_codec.IsInteger()) {
        got = std::max<sf_count_t>(sf_readf_int(m_file, m_stored.data(), wanted), 0);
        const std::size_t count = static_cast<std::size_t>(got) * channels;
        for (std::size_t i = 0; i < count; ++i) chunk.samples[i] = SampleCodec::FromInt(m_stored[i]);
        if (m_codec.bits > 24) {
            for (std::size_t i = 0; i < count; ++i) {
                const bool exact = static_cast<double>(chunk.samples[i]) * 2147483648.0 == static_cast<double>(m_stored[i]);
                chunk.rounded += exact ? 0 : 1;
            }
        }
    } else if (m_double) {
        got = std::max<sf_count_t>(sf_readf_double(m_file, m_stored_double.data(), wanted), 0);
        const std::size_t count = static_cast<std::size_t>(got) * channels;
        for (std::size_t i = 0; i < count; ++i) {
            chunk.samples[i] = static_cast<float>(m_stored_double[i]);
            const bool exact = static_cast<double>(chunk.samples[i]) == m_stored_double[i] || !std::isfinite(chunk.samples[i]);
            chunk.rounded += exact ? 0 : 1;
        }
    } else {
        got = std::max<sf_count_t>(sf_readf_float(m_file, chunk.samples.data(), wanted), 0);
    }
    chunk.frames = got;
    if (!m_codec.IsInteger()) Check(chunk);
}

// Takes the next decoded chunk, and has the one after it decoded meanwhile.
bool InputFile::Refill() {
    if (m_chunk.frames == 0 && m_reader_started) return false;  // the data has ended
    if (m_reader_started) {
        m_reader.Wait();
    } else {
        m_next.start = 0;
        Decode(m_next);
        m_reader_started = true;
    }
    std::swap(m_chunk, m_next);
    m_chunk_at = 0;
    m_rounded += m_chunk.rounded;
    if (m_chunk.frames == 0 && m_ended_early_at < 0 && m_chunk.start < m_info.frames) m_ended_early_at = m_chunk.start;
    if (m_chunk.frames == 0) return false;
    m_next.start = m_chunk.start + m_chunk.frames;
    m_reader.Start([this] { Decode(m_next); });
    return true;
}

void InputFile::Read(float* interleaved, std::int32_t frames) {
    const auto channels = static_cast<std::size_t>(m_info.channels);
    std::int64_t done = 0;
    while (done < frames && (m_chunk_at < m_chunk.frames || Refill())) {
        const std::int64_t count = std::min<std::int64_t>(frames - done, m_chunk.frames - m_chunk_at);
        std::copy_n(m_chunk.samples.data() + static_cast<std::size_t>(m_chunk_at) * channels,
                    static_cast<std::size_t>(count) * channels, interleaved + static_cast<std::size_t>(done) * channels);
        m_chunk_at += count;
        done += count;
    }
    // A file shorter than its header promised reads as silence from where it ends.
    std::fill(interleaved + static_cast<std::size_t>(done) * channels,
              interleaved + static_cast<std::size_t>(frames) * channels, 0.0f);
}

// ---- output -------------------------------------------------------------------------------------------------

OutputFile::OutputFile(const std::string& path, const std::string& input_path, int format, int channels, int rate,
                       Dither dither, EncoderSettings encoder, const FileMetadata& metadata)
    : m_path(path), m_format(format), m_channels(channels), m_codec(CodecForSubtype(format)), m_dither(dither), m_noise(dither.seed), m_samples(ChunkSamples(channels), [this](const float* samples, std::size_t count) {
          Encode(samples, count);
      }) {
    if (m_codec.IsInteger()) {
        m_stored_int.resize(ChunkSamples(channels));
        if (m_codec.bits <= SHORT_BITS) m_stored_short.resize(ChunkSamples(channels));
    } else {
        m_stored_float.resize(ChunkSamples(channels));
    }
    struct stat input {};
    const bool have_input = !input_path.empty() && input_path != "-" && stat(input_path.c_str(), &input) == 0;
    const std::string never = " is the input file; er-render never overwrites its input";
    struct stat target {};
    mode_t keep_mode = 0;
    uid_t keep_owner = 0;
    gid_t keep_group = 0;
    bool existing = false;
    if (path == "-") {
        m_stream = true;
        if (have_input && fstat(STDOUT_FILENO, &target) == 0 && SameFile(input, target)) {
            throw Failure(EXIT_OUTPUT, "stdout" + never);
        }
    } else {
        m_target = FollowLinks(path);
        // Asked of the name given: /dev/stdout's link into /proc names a pipe by no path its text gives.
        if (stat(path.c_str(), &target) == 0) {
            if (S_ISDIR(target.st_mode)) throw Failure(EXIT_OUTPUT, "the output " + Quoted(path) + " is a folder");
            if (have_input && SameFile(input, target)) throw Failure(EXIT_OUTPUT, "the output " + Quoted(path) + never);
            // Root may write anything; a file without a single write permission bit is still left alone.
            if ((target.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0) {
                throw Failure(EXIT_OUTPUT, "the output " + Quoted(path) + " is read-only; er-render leaves it as it is");
            }
            m_stream = !S_ISREG(target.st_mode);
            existing = true;
            keep_mode = target.st_mode & 07777;
            keep_owner = target.st_uid;
            keep_group = target.st_gid;
        }
    }
    if (!CanWrite(format, channels, rate)) {
        throw Failure(EXIT_USAGE, "cannot write " + std::string(SubtypeName(format)) + " samples into a " +
                                      MajorFormatName(format) + " file (" + Quoted(path) +
                                      "); choose another --format or --type");
    }

    if (m_stream) {
        if (!m_target.empty()) m_stream_fd = TakeEarlyFifo(m_target);
        m_spool = MakeSpoolFile();
        if (m_spool == nullptr) throw Failure(EXIT_OUTPUT, "cannot make a spool file for the output: " + ErrnoText());
        m_fd = fileno(m_spool);
    } else {
        m_fd = MakeTemporaryBeside(m_target, m_temp_path);
        if (m_fd < 0) {
            throw Failure(EXIT_OUTPUT, "cannot create the output in " + Quoted(FolderOf(m_target)) + ": " +
                                           ErrnoText());
        }
        if (existing) {
            if (fchown(m_fd, keep_owner, keep_group) != 0) { /* only root may give a file away; keep ours */
            }
            fchmod(m_fd, keep_mode);
        }
    }

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    // A regular file opens by name: some containers need one (SD2 keeps a resource fork beside the data).
    m_file = m_stream ? sf_open_fd(m_fd, SFM_WRITE, &info, SF_FALSE) : sf_open(m_temp_path.c_str(), SFM_WRITE, &info);
    if (m_file == nullptr) {
        const std::string reason = LibraryText(nullptr);
        Abandon();
        throw Failure(EXIT_OUTPUT, "cannot write the output " + Quoted(path) + ": " + reason);
    }
    if (!m_codec.IsInteger()) sf_command(m_file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // A float WAV's or AIFF's PEAK chunk carries the time of writing: without it, the same render gives the same
    // bytes every time (a batch's worker and a single render alike).
    sf_command(m_file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    // Told before the first sample, as the encoders read them when they start.
    if (encoder.compression_level >= 0.0) {
        sf_command(m_file, SFC_SET_COMPRESSION_LEVEL, &encoder.compression_level, sizeof(double));
    }
    if (encoder.vbr_quality >= 0.0) sf_command(m_file, SFC_SET_VBR_ENCODING_QUALITY, &encoder.vbr_quality, sizeof(double));
    // Before the first sample too: a container writes them in its header. One that holds none refuses them, and
    // the file goes without.
    for (const auto& [kind, text] : metadata.texts) sf_set_string(m_file, kind, text.c_str());
    if (metadata.channel_map.size() == static_cast<std::size_t>(channels)) {
        std::vector<int> map = metadata.channel_map;
        sf_command(m_file, SFC_SET_CHANNEL_MAP_INFO, map.data(), static_cast<int>(map.size() * sizeof(int)));
    }
}

OutputFile::~OutputFile() { Abandon(); }

void OutputFile::Abandon() {
    m_samples.Stop();  // the writer lets go of the file before it closes
    if (m_file != nullptr) sf_close(m_file);
    m_file = nullptr;
    if (m_spool != nullptr) {
        std::fclose(m_spool);
    } else if (m_fd >= 0) {
        close(m_fd);
    }
    m_spool = nullptr;
    m_fd = -1;
    // A FIFO's reader sees the stream end, whether the output was sent or not.
    if (m_stream_fd >= 0) close(m_stream_fd);
    m_stream_fd = -1;
    if (!m_temp_path.empty()) {
        std::remove(m_temp_path.c_str());
        ForgetTemporary(m_temp_path);
    }
    m_temp_path.clear();
}

void OutputFile::Write(const float* interleaved, std::int32_t frames) {
    m_samples.Add(interleaved, static_cast<std::size_t>(frames) * static_cast<std::size_t>(m_channels));
}

// On the writer's thread: a chunk converted to the stored samples and handed to libsndfile.
void OutputFile::Encode(const float* interleaved, std::size_t samples) {
    const auto frames = static_cast<sf_count_t>(samples / static_cast<std::size_t>(m_channels));
    sf_count_t written = 0;
    if (m_codec.IsInteger()) {
        std::int32_t* stored = m_stored_int.data();
        if (m_dither.enabled) {
            bool clipped = false;
            for (std::size_t i = 0; i < samples; ++i) {
                stored[i] = m_codec.ToInt(interleaved[i], clipped, TriangularNoise());
                m_clipped += clipped ? 1 : 0;
            }
        } else {
            m_clipped += m_codec.ToInts(interleaved, stored, samples);
        }
        if (m_codec.bits <= SHORT_BITS) {
            // 16-bit samples go to libsndfile as the file holds them: one write, no conversion of its own.
            for (std::size_t i = 0; i < samples; ++i) m_stored_short[i] = NarrowToShort(stored[i]);
            written = sf_writef_short(m_file, m_stored_short.data(), frames);
        } else {
            written = sf_writef_int(m_file, stored, frames);
        }
    } else {
        float* stored = m_stored_float.data();
        bool clipped = false;
        for (std::size_t i = 0; i < samples; ++i) {
            stored[i] = m_codec.ToFloat(interleaved[i], clipped);
            m_clipped += clipped ? 1 : 0;
        }
        written = sf_writef_float(m_file, stored, frames);
    }
    if (written != frames) {
        throw Failure(EXIT_OUTPUT, "cannot write the output " + Quoted(m_path) + ": " + LibraryText(m_file));
    }
}

double OutputFile::TriangularNoise() {
    // Two uniform values in [0, 1) from the top 24 bits of the generator: their difference is triangular on
    // (-1, 1) least significant bits.
    constexpr double UNIT = 1.0 / 16777216.0;
    const double a = static_cast<double>(m_noise() >> 8) * UNIT;
    const double b = static_cast<double>(m_noise() >> 8) * UNIT;
    return a - b;
}

void OutputFile::Commit() {
    m_samples.Finish();
    SNDFILE* file = m_file;
    m_file = nullptr;
    if (sf_close(file) != 0) {
        throw Failure(EXIT_OUTPUT, "cannot finish the output " + Quoted(m_path) + ": " + LibraryText(nullptr));
    }
    if (m_stream) {
        if (m_target.empty()) {
            CopySpoolTo(STDOUT_FILENO);
        } else {
            // A device opens now and takes the bytes as they are; a FIFO was opened at the start.
            if (m_stream_fd < 0) m_stream_fd = open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
            if (m_stream_fd < 0) throw Failure(EXIT_OUTPUT, "cannot open the output " + Quoted(m_path) + ": " + ErrnoText());
            CopySpoolTo(m_stream_fd);
            const int fd = m_stream_fd;
            m_stream_fd = -1;
            if (close(fd) != 0) throw Failure(EXIT_OUTPUT, "cannot write the output " + Quoted(m_path) + ": " + ErrnoText());
        }
        Abandon();
        return;
    }
    close(m_fd);  // only held the temporary file's name; libsndfile wrote through its own descriptor
    m_fd = -1;
    if (std::rename(m_temp_path.c_str(), m_target.c_str()) != 0) {
        throw Failure(EXIT_OUTPUT, "cannot rename the finished output to " + Quoted(m_path) + ": " + ErrnoText());
    }
    ForgetTemporary(m_temp_path);
    m_temp_path.clear();
}

bool SendSpool(std::FILE* spool, int fd) {
    return std::fflush(spool) == 0 && lseek(fileno(spool), 0, SEEK_SET) == 0 && CopyAll(fileno(spool), fd);
}

void OutputFile::CopySpoolTo(int fd) {
    if (!SendSpool(m_spool, fd)) {
        throw Failure(EXIT_OUTPUT, "cannot write the output " + Quoted(m_path) + ": " + ErrnoText());
    }
}

// ---- formats ------------------------------------------------------------------------------------------------

int MajorFormatForExtension(std::string_view extension_text) {
    const std::string extension = ToLower(extension_text);
    for (const ExtensionAlias& alias : EXTENSION_ALIASES) {
        if (alias.extension == extension) return alias.major;
    }
    int count = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof(count));
    for (int i = 0; i < count; ++i) {
        SF_FORMAT_INFO info{};
        info.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof(info)) == 0 && info.extension != nullptr &&
            extension == info.extension) {
            return info.format & SF_FORMAT_TYPEMASK;
        }
    }
    return 0;
}

std::string MajorFormatName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 && info.name != nullptr) {
        return info.name;
    }
    return "unknown";
}

int FormatKeepingLayout(int format, const FileMetadata& metadata, int channels, int rate) {
    if ((format & SF_FORMAT_TYPEMASK) != SF_FORMAT_WAV) return format;
    if (metadata.channel_map.size() != static_cast<std::size_t>(channels)) return format;
    const int extensible = SF_FORMAT_WAVEX | (format & SF_FORMAT_SUBMASK);
    return CanWrite(extensible, channels, rate) ? extensible : format;
}

}  // namespace er_render
