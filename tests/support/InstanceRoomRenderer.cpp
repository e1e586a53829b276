#include "InstanceRoomRenderer.h"

#include <algorithm>

namespace er_render_tests {

using er_render::RenderJob;

InstanceRoomRenderer::InstanceRoomRenderer(const er_host::Library& library, const RenderJob& job,
                                           const er_render::RoomPattern& pattern, std::int32_t input_channels)
    : m_job(job), m_input_channels(input_channels) {
    const bool mono = pattern.pattern.channels == 1;
    for (std::int32_t output = 0; output < m_job.channels; ++output) {
        for (const er_render::RoomTap& tap : pattern.taps) {
            if (!mono && tap.tap.channel != output) continue;
            RenderJob single = m_job;
            single.channels = 1;
            single.settings = tap.settings;
            single.mix = er_render::Mix{};
            const std::int32_t input = mono || input_channels == 2 ? output : 0;
            m_units.push_back({std::make_unique<er_render::Renderer>(library, std::move(single)), input, output});
        }
    }
}

InstanceRoomRenderer::~InstanceRoomRenderer() = default;

void InstanceRoomRenderer::Start() {
    m_channel_in.assign(static_cast<std::size_t>(m_job.block), 0.0f);
    m_tap_out.assign(static_cast<std::size_t>(m_job.block), 0.0f);
    for (Unit& unit : m_units) unit.renderer->Start();
}

std::int32_t InstanceRoomRenderer::BlockAt(std::int64_t position) const {
    return m_units.empty() ? er_render::BlockLength(m_job, position) : m_units.front().renderer->BlockAt(position);
}

void InstanceRoomRenderer::Step(std::int64_t position, std::int32_t count, const float* input, double* wet) {
    const auto inputs = static_cast<std::size_t>(m_input_channels);
    const auto outputs = static_cast<std::size_t>(m_job.channels);
    std::fill(wet, wet + static_cast<std::size_t>(count) * outputs, 0.0);
    for (Unit& unit : m_units) {
        for (std::int32_t i = 0; i < count; ++i) {
            m_channel_in[static_cast<std::size_t>(i)] = input[static_cast<std::size_t>(i) * inputs + unit.input_channel];
        }
        unit.renderer->Step(position, count, m_channel_in.data(), m_tap_out.data());
        for (std::int32_t i = 0; i < count; ++i) {
            wet[static_cast<std::size_t>(i) * outputs + unit.output_channel] += m_tap_out[static_cast<std::size_t>(i)];
        }
    }
}

}  // namespace er_render_tests
