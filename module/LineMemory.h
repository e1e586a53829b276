// The delay line's memory, straight from the system as pages it zeroes on first touch, so that switching on
// costs the same few microseconds for 256 samples as for 4194304 (no clearing loop inside a pin notification on
// the host's audio thread). The clearing happens page by page as the routines first reach each page.
//
// Allocates and frees: only from pin notifications. Never throws.
#pragma once

#include <cstddef>
#include <memory>

// `samples` zero floats, or null when the system has no memory for them. Give back with ReleaseZeroedLine.
float* AllocateZeroedLine(std::size_t samples) noexcept;
void ReleaseZeroedLine(float* line, std::size_t samples) noexcept;

// Owns a line from AllocateZeroedLine; knows its length to give it back.
struct LineRelease {
    std::size_t samples = 0;
    void operator()(float* line) const noexcept { ReleaseZeroedLine(line, samples); }
};
using ZeroedLine = std::unique_ptr<float[], LineRelease>;
