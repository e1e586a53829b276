// The audio buffers a benchmark case gets, laid out alike in every case: where the inputs and outputs lie relative to
// each other and to the delay line's pages changes how fast the cheapest routines run (by up to a third, through
// accesses whose addresses agree in their low 12 bits), which would otherwise be counted as a host's or a plug-in
// face's cost. One allocation, aligned to a page: each buffer a page and a quarter after the one before, the
// inputs (full-band noise) first, then the outputs (silence).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "LilvHost.h"

namespace er_bench {

class AudioBuffers {
public:
    explicit AudioBuffers(std::int32_t block, std::int32_t inputs = 1, std::int32_t outputs = 1) {
        const std::size_t bytes = static_cast<std::size_t>(block) * sizeof(float);
        const std::size_t stride = (bytes + 4095) / 4096 * 4096 + 1024;
        const std::size_t count = static_cast<std::size_t>(inputs + outputs);
        m_memory.reset(static_cast<float*>(std::aligned_alloc(4096, (stride * count + 4095) / 4096 * 4096)));
        const std::vector<float> noise = Noise(static_cast<std::size_t>(block));
        for (std::size_t i = 0; i < count; ++i) {
            float* buffer = m_memory.get() + i * stride / sizeof(float);
            if (i < static_cast<std::size_t>(inputs)) {
                std::copy(noise.begin(), noise.end(), buffer);
                m_ins.push_back(buffer);
            } else {
                std::fill_n(buffer, block, 0.0f);
                m_outs.push_back(buffer);
            }
        }
    }
    const float* in(std::size_t channel = 0) const { return m_ins[channel]; }
    float* out(std::size_t channel = 0) const { return m_outs[channel]; }
    const std::vector<const float*>& ins() const { return m_ins; }
    const std::vector<float*>& outs() const { return m_outs; }

private:
    struct Free {
        void operator()(float* p) const { std::free(p); }
    };
    std::unique_ptr<float, Free> m_memory;
    std::vector<const float*> m_ins;
    std::vector<float*> m_outs;
};

}  // namespace er_bench
