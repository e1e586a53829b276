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
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// The byte size, or 0 when it does not fit a size_t.
std::size_t Bytes(std::size_t samples) {
    return samples > std::numeric_limits<std::size_t>::max() / sizeof(float) ? 0 : samples * sizeof(float);
}

#if !defined(ER_LINE_FROM_HEAP)
std::size_t PageBytes() {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#else
    const long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<std::size_t>(page) : 4096;
#endif
}

// The pages [begin, end) (page-aligned addresses) read zero from their next touch on.
bool GiveBackPages(char* begin, char* end) {
    const std::size_t bytes = static_cast<std::size_t>(end - begin);
#if defined(_WIN32)
    // MEM_RESET keeps the old contents until the system happens to reuse the pages, so it cannot empty a line;
    // a decommitted page is committed again as a zero page.
    return VirtualFree(begin, bytes, MEM_DECOMMIT) != 0 &&
           VirtualAlloc(begin, bytes, MEM_COMMIT, PAGE_READWRITE) == begin;
#else
    // A private anonymous mapping reads the zero page after MADV_DONTNEED.
    return madvise(begin, bytes, MADV_DONTNEED) == 0;
#endif
}
#endif

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

bool RezeroLine(float* line, std::size_t samples, std::size_t first, std::size_t count) noexcept {
    if (line == nullptr || first >= samples) return true;
    count = std::min(count, samples - first);
    float* const begin = line + first;
    float* const end = begin + count;
#if !defined(ER_LINE_FROM_HEAP)
    // Whole pages inside the range go back; the partial pages at its edges hold samples outside it.
    const std::uintptr_t page = PageBytes();
    const std::uintptr_t inner_begin = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
    const std::uintptr_t inner_end = reinterpret_cast<std::uintptr_t>(end) / page * page;
    if (inner_begin < inner_end) {
        auto* const pages_begin = reinterpret_cast<float*>(inner_begin);
        auto* const pages_end = reinterpret_cast<float*>(inner_end);
        std::fill(begin, pages_begin, 0.0f);
        std::fill(pages_end, end, 0.0f);
        return GiveBackPages(reinterpret_cast<char*>(inner_begin), reinterpret_cast<char*>(inner_end));
    }
#endif
    std::fill(begin, end, 0.0f);
    return true;
}
