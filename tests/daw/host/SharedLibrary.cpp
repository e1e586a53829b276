#include "SharedLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace er_daw_host {

SharedLibrary::SharedLibrary(const std::string& path, std::string& error) {
#if defined(_WIN32)
    m_handle = LoadLibraryA(path.c_str());
    if (m_handle == nullptr) error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
#else
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* reason = dlerror();
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
    }
#endif
}

SharedLibrary::~SharedLibrary() {
    if (m_handle == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(m_handle));
#else
    dlclose(m_handle);
#endif
}

void* SharedLibrary::Symbol(const char* name) const {
    if (m_handle == nullptr) return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
#else
    return dlsym(m_handle, name);
#endif
}

}  // namespace er_daw_host
