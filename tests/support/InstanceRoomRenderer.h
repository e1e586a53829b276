// The reference for the room engine: one module instance per tap (and per input channel for a mono pattern), each
// driven through the substitute host as a single-tap render of its settings with the job's block size, gates and
// length; every output channel the sum of its taps' outputs in pattern order at working precision. This is what a
// user wiring instances side by side in the modular host hears, and what the engine must equal bit for bit.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "Host.h"
#include "Render.h"
#include "RoomRender.h"

namespace er_render_tests {

class InstanceRoomRenderer {
public:
    InstanceRoomRenderer(const er_host::Library& library, const er_render::RenderJob& job,
                         const er_render::RoomPattern& pattern, std::int32_t input_channels);
    ~InstanceRoomRenderer();
    std::size_t Instances() const { return m_units.size(); }

    // As RoomRenderer's: Start once, then Step each block that BlockAt gives from position 0 on.
    void Start();
    std::int32_t BlockAt(std::int64_t position) const;
    void Step(std::int64_t position, std::int32_t count, const float* input, double* wet);

private:
    struct Unit {
        std::unique_ptr<er_render::Renderer> renderer;
        std::int32_t input_channel;
        std::int32_t output_channel;
    };
    er_render::RenderJob m_job;
    std::int32_t m_input_channels;
    std::vector<Unit> m_units;  // pattern order within each output channel
    std::vector<float> m_channel_in, m_tap_out;
};

}  // namespace er_render_tests
