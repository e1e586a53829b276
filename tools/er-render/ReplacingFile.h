// A file written beside its target under a temporary name and renamed over it only when complete, so that a
// failed or interrupted run leaves the target as it was and no temporary file behind. A target that is a FIFO or
// a device is no file to replace: the bytes wait in a spool file and are sent to it when complete (a FIFO opened
// at the start by OpenFifoEarly is used, so its reader sees the stream end when the run fails).
#pragma once

#include <cstdio>
#include <string>

namespace er_render {

class ReplacingFile {
public:
    // Creates the temporary file in the target's folder. Throws Failure (EXIT_OUTPUT) naming `what` ("the
    // figure") when `path` is a folder or the temporary file cannot be made.
    ReplacingFile(const std::string& path, const std::string& what);
    ~ReplacingFile();  // removes the temporary file unless Commit succeeded
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    std::FILE* Stream() const { return m_stream; }
    const std::string& Path() const { return m_path; }
    // Closes the file and renames it over the target. Throws Failure (EXIT_OUTPUT) when a write failed or the
    // rename fails; the temporary file is then removed.
    void Commit();

private:
    void Close();  // closes everything and removes the temporary file, if any

    std::string m_path;
    std::string m_what;
    std::string m_temp_path;        // empty for a stream target
    std::FILE* m_stream = nullptr;  // the temporary file, or the spool file of a stream target
    int m_stream_fd = -1;           // a stream target, open for writing
};

}  // namespace er_render
