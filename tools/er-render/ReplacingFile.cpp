#include "ReplacingFile.h"

#include <cerrno>
#include <cstring>

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
    if (stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
        throw Failure(EXIT_OUTPUT, m_what + " " + Quoted(path) + " is a folder");
    }
    const int fd = MakeTemporaryBeside(path, m_temp_path);
    if (fd < 0) {
        throw Failure(EXIT_OUTPUT, "cannot create " + m_what + " " + Quoted(path) + ": " + std::strerror(errno));
    }
    m_stream = fdopen(fd, "wb");
    if (m_stream == nullptr) {
        const int error = errno;
        close(fd);
        std::remove(m_temp_path.c_str());
        ForgetTemporary(m_temp_path);
        throw Failure(EXIT_OUTPUT, "cannot write " + m_what + " " + Quoted(path) + ": " + std::strerror(error));
    }
}

ReplacingFile::~ReplacingFile() {
    if (m_stream != nullptr) std::fclose(m_stream);
    if (!m_temp_path.empty()) {
        std::remove(m_temp_path.c_str());
        ForgetTemporary(m_temp_path);
    }
}

void ReplacingFile::Commit() {
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
