// What the LV2 face reads from a host's features: the worker and the longest run it announces.
#pragma once

#include <cstdint>

#include <lv2/core/lv2.h>

namespace er_lv2 {

inline constexpr std::int32_t DEFAULT_MAX_BLOCK = 4096;  // when the host announces no bufsz:maxBlockLength

// The data of the feature `uri` in a host's list, or null; safe with the odd entries some hosts end it with.
const void* Feature(const LV2_Feature* const* features, const char* uri);

// The longest run the host announces (bufsz:maxBlockLength), else DEFAULT_MAX_BLOCK.
std::int32_t MaxBlockLength(const LV2_Feature* const* features);

}  // namespace er_lv2
