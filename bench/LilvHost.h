// What the benchmarks that run LV2 plug-ins through lilv share: the URID map a real-time host hands every plug-in,
// a plug-in instance run as a host runs it, and the noise they all process.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
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

// One instance of an LV2 plug-in as a host runs it (`bundle` loaded beside the system's plug-ins): every control at
// its default but `overrides` (by symbol), the audio inputs reading `ins` in port order (the last one for any
// further input), the outputs writing `given_outs` in port order, or each its own buffer of `block` frames (`outs`;
// for those `given_outs` does not cover).
class Lv2Run {
public:
    Lv2Run(const std::string& bundle, const char* uri, float rate, std::int32_t block,
           const std::vector<const float*>& ins, const std::vector<std::pair<std::string, float>>& overrides = {},
           const std::vector<float*>& given_outs = {})
        : m_world(lilv_world_new()) {
        lilv_world_load_all(m_world);
        LilvNode* bundle_node = lilv_new_file_uri(m_world, nullptr, (bundle + "/").c_str());
        lilv_world_load_bundle(m_world, bundle_node);
        lilv_node_free(bundle_node);
        LilvNode* node = lilv_new_uri(m_world, uri);
        m_plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(m_world), node);
        lilv_node_free(node);
        if (m_plugin == nullptr) return;
        m_max_block = block;
        m_options[0] = {LV2_OPTIONS_INSTANCE, 0, m_urids.map.map(m_urids.map.handle, LV2_BUF_SIZE__maxBlockLength),
                        sizeof m_max_block, m_urids.map.map(m_urids.map.handle, LV2_ATOM__Int), &m_max_block};
        m_options[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
        m_instance = lilv_plugin_instantiate(m_plugin, rate, m_features);
        if (m_instance == nullptr) return;
        const std::uint32_t ports = lilv_plugin_get_num_ports(m_plugin);
        m_controls.assign(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(m_plugin, nullptr, nullptr, m_controls.data());
        LilvNode* audio = lilv_new_uri(m_world, LV2_CORE__AudioPort);
        LilvNode* input = lilv_new_uri(m_world, LV2_CORE__InputPort);
        outs.reserve(ports);
        std::size_t inputs = 0, outputs = 0;
        for (std::uint32_t index = 0; index < ports; ++index) {
            const LilvPort* port = lilv_plugin_get_port_by_index(m_plugin, index);
            const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(m_plugin, port));
            for (const auto& [name, value] : overrides) {
                if (name == symbol) m_controls[index] = value;
            }
            if (!lilv_port_is_a(m_plugin, port, audio)) {
                lilv_instance_connect_port(m_instance, index, &m_controls[index]);
            } else if (lilv_port_is_a(m_plugin, port, input)) {
                const float* in = ins[std::min(inputs++, ins.size() - 1)];
                lilv_instance_connect_port(m_instance, index, const_cast<float*>(in));
            } else if (outputs < given_outs.size()) {
                lilv_instance_connect_port(m_instance, index, given_outs[outputs++]);
            } else {
                outs.emplace_back(static_cast<std::size_t>(block));
                lilv_instance_connect_port(m_instance, index, outs.back().data());
            }
        }
        lilv_node_free(input);
        lilv_node_free(audio);
        lilv_instance_activate(m_instance);
    }
    ~Lv2Run() {
        if (m_instance != nullptr) {
            lilv_instance_deactivate(m_instance);
            lilv_instance_free(m_instance);
        }
        lilv_world_free(m_world);
    }
    bool Ready() const { return m_instance != nullptr; }
    void Run(std::uint32_t frames) { lilv_instance_run(m_instance, frames); }

    std::vector<std::vector<float>> outs;  // the outputs `given_outs` did not cover

private:
    LilvWorld* m_world;
    const LilvPlugin* m_plugin = nullptr;
    LilvInstance* m_instance = nullptr;
    Urids m_urids;
    std::int32_t m_max_block = 0;
    LV2_Options_Option m_options[2] = {};
    const LV2_Feature m_map_feature{LV2_URID__map, &m_urids.map};
    const LV2_Feature m_options_feature{LV2_OPTIONS__options, m_options};
    const LV2_Feature* m_features[3] = {&m_map_feature, &m_options_feature, nullptr};
    std::vector<float> m_controls;
};

}  // namespace er_bench
