#include "ReplacingFile.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AudioFile.h"
#include "Failure.h"
#include "Interrupts.h"
#include "Text.h"

namespace er_render {

using namespace er_text;

ReplacingFile::ReplacingFile(const std::string& path, const std::string& what) : m_path(path), m_what(what) {
    struct stat target {};
    const bool exists = stat(path.c_str(), &target) == 0;
    if (exists && S_ISDIR(target.st_mode)) throw Failure(EXIT_OUTPUT, m_what + " " + Quoted(path) + " is a folder");
    if (exists && !S_ISREG(target.st_mode)) {
        // A FIFO or a device is written in place, once the file is complete; a FIFO was opened at the start.
        m_stream_fd = TakeEarlyFifo(path);
        m_stream = MakeSpoolFile();
        if (m_stream == nullptr) {
            const int error = errno;
            Close();
            throw Failure(EXIT_OUTPUT, "cannot make a spool file for " + m_what + ": " + std::strerror(error));
        }
        return;
    }
    const int fd = MakeTemporaryBeside(path, m_temp_path);
    if (fd < 0) {
        throw Failure(EXIT_OUTPUT, "cannot create " + m_what + " " + Quoted(path) + ": " + std::strerror(errno));
    }
    m_stream = fdopen(fd, "wb");
    if (m_stream == nullptr) {
        const int error = errno;
        close(fd);
        Close();
        throw Failure(EXIT_OUTPUT, "cannot write " + m_what + " " + Quoted(path) + ": " + std::strerror(error));
    }
}

ReplacingFile::~ReplacingFile() { Close(); }

void ReplacingFile::Close() {
    if (m_stream != nullptr) std::fclose(m_stream);
    m_stream = nullptr;
    // A FIFO's reader sees the stream end, whether the file was sent or not.
    if (m_stream_fd >= 0) close(m_stream_fd);
    m_stream_fd = -1;
    if (!m_temp_path.empty()) {
        std::remove(m_temp_path.c_str());
        ForgetTemporary(m_temp_path);
    }
    m_temp_path.clear();
}

void ReplacingFile::Commit() {
    if (m_temp_path.empty()) {
        // A stream target: a device opens now; a FIFO was opened at the start.
        if (m_stream_fd < 0) m_stream_fd = open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
        const bool sent = std::ferror(m_stream) == 0 && m_stream_fd >= 0 && SendSpool(m_stream, m_stream_fd);
        const int error = errno;
        const int fd = std::exchange(m_stream_fd, -1);
        if (!sent || close(fd) != 0) {
            Close();
            throw Failure(EXIT_OUTPUT, "cannot write " + m_what + " " + Quoted(m_path) + ": " + std::strerror(error));
        }
        Close();
        return;
    }
    const bool written = std::ferror(m_stream) == 0;
    std::FILE* stream = m_stream;
    m_stream = nullptr;
    if (std::fclose(stream) != 0 || !written) {
        throw Failure(EXIT_OUTPUT, "cannot write " + m_what + " " + Quoted(m_path) + ": " + std::strerror(errno));
    }
    if (std::rename(m_temp_path.c_str(), m_path.c_str()) != 0) {
        throw Failure(EXIT_OUTPUT, "cannot rename the finished file to " + Quoted(m_path) + ": " +
                                       std::strerror(errno));
    }
    ForgetTemporary(m_temp_path);
    m_temp_path.clear();
}

}  // namespace er_render
