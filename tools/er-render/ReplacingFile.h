// A file written beside its target under a temporary name and renamed over it only when complete, so that a
// failed or interrupted run leaves the target as it was and no temporary file behind.
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
    std::string m_path;
    std::string m_what;
    std::string m_temp_path;
    std::FILE* m_stream = nullptr;
};

}  // namespace er_render
