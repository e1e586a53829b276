#include "AudioFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Failure.h"
#include "Text.h"

namespace er_render {

namespace {

// Extensions people use that libsndfile's own list spells differently.
struct ExtensionAlias {
    std::string_view extension;
    int major;
};
constexpr ExtensionAlias EXTENSION_ALIASES[] = {
    {"aif", SF_FORMAT_AIFF}, {"ogg", SF_FORMAT_OGG}, {"mp3", SF_FORMAT_MPEG}, {"wave", SF_FORMAT_WAV}};

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

// ---- input --------------------------------------------------------------------------------------------------

InputFile::InputFile(const std::string& path) : m_path(path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        throw Failure(EXIT_INPUT, "cannot read the input " + Quoted(path) + ": " + ErrnoText());
    }
    if (S_ISDIR(status.st_mode)) throw Failure(EXIT_INPUT, "the input " + Quoted(path) + " is a folder");
    m_file = sf_open(path.c_str(), SFM_READ, &m_info);
    if (m_file == nullptr) {
        throw Failure(EXIT_INPUT, "cannot read the input " + Quoted(path) + ": " + LibraryText(nullptr));
    }
    if (m_info.channels <= 0 || m_info.samplerate <= 0 || m_info.frames < 0 || m_info.frames >= INT32_MAX) {
        sf_close(m_file);
        throw Failure(EXIT_INPUT, "the input " + Quoted(path) + " has no usable channel count, rate or length");
    }
    m_codec = CodecForSubtype(m_info.format);
}

InputFile::~InputFile() { sf_close(m_file); }

void InputFile::Read(float* interleaved, std::int32_t frames) {
    const std::size_t samples = static_cast<std::size_t>(frames) * static_cast<std::size_t>(m_info.channels);
    sf_count_t got = 0;
    if (m_codec.IsInteger()) {
        m_stored.resize(samples);
        got = sf_readf_int(m_file, m_stored.data(), frames);
        const std::size_t got_samples = static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) *
                                        static_cast<std::size_t>(m_info.channels);
        for (std::size_t i = 0; i < got_samples; ++i) interleaved[i] = SampleCodec::FromInt(m_stored[i]);
    } else {
        got = sf_readf_float(m_file, interleaved, frames);
    }
    // A file shorter than its header promised reads as silence from where it ends.
    const std::size_t filled = static_cast<std::size_t>(std::max<sf_count_t>(got, 0)) *
                               static_cast<std::size_t>(m_info.channels);
    std::fill(interleaved + filled, interleaved + samples, 0.0f);
}

// ---- output -------------------------------------------------------------------------------------------------

OutputFile::OutputFile(const std::string& path, const std::string& input_path, int format, int channels, int rate)
    : m_path(path), m_format(format), m_channels(channels), m_codec(CodecForSubtype(format)) {
    struct stat target {};
    if (stat(path.c_str(), &target) == 0) {
        if (S_ISDIR(target.st_mode)) throw Failure(EXIT_OUTPUT, "the output " + Quoted(path) + " is a folder");
        struct stat input {};
        if (!input_path.empty() && stat(input_path.c_str(), &input) == 0 && input.st_dev == target.st_dev &&
            input.st_ino == target.st_ino) {
            throw Failure(EXIT_OUTPUT, "the output " + Quoted(path) + " is the input file; er-render never "
                                       "overwrites its input");
        }
    }
    if (!CanWrite(format, channels, rate)) {
        throw Failure(EXIT_USAGE, "cannot write " + std::string(SubtypeName(format)) + " samples into a " +
                                      MajorFormatName(format) + " file (" + Quoted(path) +
                                      "); choose another --format or file extension");
    }

    const std::string folder = FolderOf(path);
    std::string temp = folder + "/." + BaseName(path) + ".er-render-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        throw Failure(EXIT_OUTPUT, "cannot create the output in " + Quoted(folder) + ": " + ErrnoText());
    }
    m_temp_path = temp;
    // mkstemp makes the file private; give it the mode a newly created file would have.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    // libsndfile owns the descriptor from here: it closes it at sf_close, and at once when the open fails.
    m_file = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (m_file == nullptr) {
        Abandon();
        throw Failure(EXIT_OUTPUT, "cannot write the output " + Quoted(path) + ": " + LibraryText(nullptr));
    }
    if (!m_codec.IsInteger()) sf_command(m_file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
}

OutputFile::~OutputFile() { Abandon(); }

void OutputFile::Abandon() {
    if (m_file != nullptr) sf_close(m_file);
    m_file = nullptr;
    if (!m_temp_path.empty()) std::remove(m_temp_path.c_str());
    m_temp_path.clear();
}

void OutputFile::Write(const float* interleaved, std::int32_t frames) {
    const std::size_t samples = static_cast<std::size_t>(frames) * static_cast<std::size_t>(m_channels);
    bool clipped = false;
    sf_count_t written = 0;
    if (m_codec.IsInteger()) {
        m_stored_int.resize(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            m_stored_int[i] = m_codec.ToInt(interleaved[i], clipped);
            m_clipped += clipped ? 1 : 0;
        }
        written = sf_writef_int(m_file, m_stored_int.data(), frames);
    } else {
        m_stored_float.resize(samples);
        for (std::size_t i = 0; i < samples; ++i) {
            m_stored_float[i] = m_codec.ToFloat(interleaved[i], clipped);
            m_clipped += clipped ? 1 : 0;
        }
        written = sf_writef_float(m_file, m_stored_float.data(), frames);
    }
    if (written != frames) {
        throw Failure(EXIT_OUTPUT, "cannot write the output " + Quoted(m_path) + ": " + LibraryText(m_file));
    }
}

void OutputFile::Commit() {
    SNDFILE* file = m_file;
    m_file = nullptr;
    if (sf_close(file) != 0) {
        throw Failure(EXIT_OUTPUT, "cannot finish the output " + Quoted(m_path) + ": " + LibraryText(nullptr));
    }
    if (std::rename(m_temp_path.c_str(), m_path.c_str()) != 0) {
        throw Failure(EXIT_OUTPUT, "cannot rename the finished output to " + Quoted(m_path) + ": " + ErrnoText());
    }
    m_temp_path.clear();
}

// ---- formats ------------------------------------------------------------------------------------------------

int MajorFormatForPath(const std::string& path) {
    const std::string name = BaseName(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return 0;
    const std::string extension = ToLower(name.substr(dot + 1));
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

bool CanWrite(int format, int channels, int rate) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    return sf_format_check(&info) != 0;
}

}  // namespace er_render
