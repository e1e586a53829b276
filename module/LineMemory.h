// The delay line's memory, straight from the system as pages it zeroes on first touch, so that switching on
// costs the same few microseconds for 256 samples as for 4194304 (no clearing loop inside a pin notification on
// the host's audio thread). The clearing happens page by page as the routines first reach each page.
//
// Allocates and frees: only from pin notifications. Never throws.
//
// A poly reset on the audio thread must empty a line without writing every page of it (16 MiB at 384 kHz): the
// module swaps in a second, clean line and makes the old one read zero again a slice at a time, by handing its
// pages back to the system, which zeroes each at its next touch.
#pragma once

#include <cstddef>
#include <memory>

// `samples` zero floats, or null when the system has no memory for them. Give back with ReleaseZeroedLine.
float* AllocateZeroedLine(std::size_t samples) noexcept;
void ReleaseZeroedLine(float* line, std::size_t samples) noexcept;

// Makes samples [first, first + count) of a line from AllocateZeroedLine(samples) read zero: the whole pages
// inside go back to the system, the pieces of pages at either edge are written with zeros. false: the system
// refused, and the line may then hold unusable pages: give it back with ReleaseZeroedLine and never touch it.
bool RezeroLine(float* line, std::size_t samples, std::size_t first, std::size_t count) noexcept;

// Owns a line from AllocateZeroedLine; knows its length to give it back.
struct LineRelease {
    std::size_t samples = 0;
    void operator()(float* line) const noexcept { ReleaseZeroedLine(line, samples); }
};
using ZeroedLine = std::unique_ptr<float[], LineRelease>;
