// A plug-in binary opened for its exports: dlopen on Linux, LoadLibrary on Windows. Closed when destroyed.
#pragma once

#include <string>

namespace er_daw_host {

class SharedLibrary {
public:
    // Opened on success; otherwise !IsOpen() and `error` says why.
    SharedLibrary(const std::string& path, std::string& error);
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool IsOpen() const { return m_handle != nullptr; }
    // The address of the export `name`, or null.
    void* Symbol(const char* name) const;

private:
    void* m_handle = nullptr;
};

}  // namespace er_daw_host
