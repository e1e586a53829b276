#include "LineMemory.h"

// Under AddressSanitizer the line comes from the heap instead, where the sanitizer watches its bounds (a mapping
// is rounded up to whole pages, so a read just past the end would go unseen); clearing it is nothing to such a
// build.
#if defined(__SANITIZE_ADDRESS__)
#define ER_LINE_FROM_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ER_LINE_FROM_HEAP 1
#endif
#endif

#if defined(ER_LINE_FROM_HEAP)
#include <cstdlib>
#elif defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <limits>

namespace {

// The byte size, or 0 when it does not fit a size_t.
std::size_t Bytes(std::size_t samples) {
    return samples > std::numeric_limits<std::size_t>::max() / sizeof(float) ? 0 : samples * sizeof(float);
}

}  // namespace

// Windows commits pages that read zero until first written; Linux maps anonymous pages that are the shared
// zero page until first written. Either way nothing is touched here.
float* AllocateZeroedLine(std::size_t samples) noexcept {
    const std::size_t bytes = Bytes(samples);
    if (bytes == 0) return nullptr;
#if defined(ER_LINE_FROM_HEAP)
    return static_cast<float*>(std::calloc(samples, sizeof(float)));
#elif defined(_WIN32)
    return static_cast<float*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
#else
    void* line = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return line == MAP_FAILED ? nullptr : static_cast<float*>(line);
#endif
}

void ReleaseZeroedLine(float* line, std::size_t samples) noexcept {
    if (line == nullptr) return;
#if defined(ER_LINE_FROM_HEAP)
    (void)samples;
    std::free(line);
#elif defined(_WIN32)
    (void)samples;
    VirtualFree(line, 0, MEM_RELEASE);
#else
    munmap(line, Bytes(samples));
#endif
}
