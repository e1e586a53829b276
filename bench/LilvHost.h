// What the benchmarks that run LV2 plug-ins through lilv share: the URID map a real-time host hands every plug-in,
// and the noise they all process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <lv2/urid/urid.h>

namespace er_bench {

// Maps each URI to its position in `uris`, from 1.
struct Urids {
    std::vector<std::string> uris;
    LV2_URID_Map map{this, [](LV2_URID_Map_Handle handle, const char* uri) -> LV2_URID {
                         auto* self = static_cast<Urids*>(handle);
                         for (std::size_t i = 0; i < self->uris.size(); ++i) {
                             if (self->uris[i] == uri) return static_cast<LV2_URID>(i + 1);
                         }
                         self->uris.emplace_back(uri);
                         return static_cast<LV2_URID>(self->uris.size());
                     }};
};

// Full-band noise of about -20 dBFS, the same every run.
inline std::vector<float> Noise(std::size_t frames) {
    std::vector<float> noise(frames);
    std::uint32_t state = 1;
    for (float& x : noise) {
        state = state * 1664525u + 1013904223u;
        x = static_cast<float>(static_cast<std::int32_t>(state)) / 4.3e9f;
    }
    return noise;
}

}  // namespace er_bench
