// The plug-in's cost: the bundle loaded and run through lilv as an LV2 host runs it (lv2/), against the shipped
// module with the same settings, the same input and the same block size, driven by the substitute host (host/)
// and called straight through its record (direct/). The difference to direct/ is what the adapter adds per
// sample. Run: er_lv2_bench [--benchmark_filter=...]; the README has the figures.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include "Host.h"

namespace {

constexpr float RATE = 48000.0f;
constexpr std::int32_t PORTS = 14;
constexpr std::int32_t AUDIO_IN = 0;
constexpr std::int32_t OUT = 5;
// The LV2 defaults; each setting changes some.
constexpr float DEFAULTS[PORTS] = {0, 1, 0, 0, 1, 0, 0, 1, 100, 10, 8, 0, 0, 0};
constexpr bool IS_CHOICE[PORTS] = {false, true, false, false, true, false, true, true,
                                   false, false, true, true, true, false};

struct Setting {
    const char* name;
    std::vector<std::pair<std::int32_t, float>> controls;  // port, LV2 value
};
// The cheapest routine (where a fixed cost per block weighs most), a damped loop, an interpolated output loop.
const Setting SETTINGS[] = {
    {"SamplePlain", {{8, 25}, {4, 0}}},
    {"SampleInputTapFeedback", {{8, 25}, {2, 4}, {3, 3}}},
    {"FractionEconOutputFeedback", {{8, 12.375f}, {6, 1}, {4, 2}, {2, 5}}},
};

std::vector<float> Controls(const Setting& setting) {
    std::vector<float> controls(DEFAULTS, DEFAULTS + PORTS);
    for (const auto& [port, value] : setting.controls) controls[port] = value;
    return controls;
}

std::vector<float> Noise(std::size_t frames) {
    std::vector<float> noise(frames);
    std::uint32_t state = 1;
    for (float& x : noise) {
        state = state * 1664525u + 1013904223u;
        x = static_cast<float>(static_cast<std::int32_t>(state)) / 4.3e9f;
    }
    return noise;
}

// ---- the plug-in through lilv, with the features a real-time host gives ---------------------------------------

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

void Plugin(benchmark::State& state, const Setting& setting) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    LilvWorld* world = lilv_world_new();
    LilvNode* bundle = lilv_new_file_uri(world, nullptr, ER_LV2_BUNDLE "/");
    lilv_world_load_bundle(world, bundle);
    LilvNode* uri = lilv_new_uri(world, "urn:early-reflection:ZV_1x_ER_Gen");
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    if (plugin == nullptr) {
        state.SkipWithError("the bundle is not where the build put it");
        return;
    }
    Urids urids;
    std::int32_t max_block = block;
    const LV2_Options_Option options[] = {
        {LV2_OPTIONS_INSTANCE, 0, urids.map.map(urids.map.handle, LV2_BUF_SIZE__maxBlockLength), sizeof max_block,
         urids.map.map(urids.map.handle, LV2_ATOM__Int), &max_block},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    const LV2_Feature map_feature{LV2_URID__map, &urids.map};
    const LV2_Feature options_feature{LV2_OPTIONS__options, const_cast<LV2_Options_Option*>(options)};
    const LV2_Feature* features[] = {&map_feature, &options_feature, nullptr};
    LilvInstance* instance = lilv_plugin_instantiate(plugin, RATE, features);

    std::vector<float> controls = Controls(setting);
    const std::vector<float> in = Noise(static_cast<std::size_t>(block));
    std::vector<float> out(in.size());
    for (std::int32_t port = 0; port < PORTS; ++port) lilv_instance_connect_port(instance, port, &controls[port]);
    lilv_instance_connect_port(instance, AUDIO_IN, const_cast<float*>(in.data()));
    lilv_instance_connect_port(instance, OUT, out.data());
    lilv_instance_activate(instance);
    for (auto _ : state) {
        lilv_instance_run(instance, static_cast<std::uint32_t>(block));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
    lilv_instance_deactivate(instance);
    lilv_instance_free(instance);
    lilv_node_free(uri);
    lilv_node_free(bundle);
    lilv_world_free(world);
}

// ---- the module under the substitute host, announced as the plug-in announces it -------------------------------

// `direct`: after the announcement the installed routine is called straight through the record, as a host with
// no cost of its own would: the floor. Otherwise every block goes through the substitute host's Process.
void Module(benchmark::State& state, const Setting& setting, bool direct) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    std::string error;
    const auto library = er_host::Library::Load(er_host::Library::DefaultModulePath(), error);
    if (!library) {
        state.SkipWithError(error.c_str());
        return;
    }
    er_host::InstanceOptions options;
    options.sample_rate = RATE;
    options.block_size = block;
    options.record_calls = false;
    er_host::Instance host(*library, options);
    const std::vector<float> controls = Controls(setting);
    host.PostStatus(AUDIO_IN, PS_STREAMING);
    for (std::int32_t port : {2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 1}) {
        if (IS_CHOICE[port]) {
            host.PostChoice(port, static_cast<std::int16_t>(controls[port]));
        } else {
            host.PostFloat(port, static_cast<float>(static_cast<double>(controls[port]) / 10.0));
        }
    }
    const std::vector<float> in = Noise(static_cast<std::size_t>(block));
    std::vector<float> out(in.size());
    std::copy(in.begin(), in.end(), host.Buffer(AUDIO_IN));
    host.Process(block);  // delivers the announcement and writes the buffer addresses
    SEModuleRecord* record = host.Record();
    if (direct) {
        // The audio buffers the plug-in case gives the module, allocated alike: the routines' speed depends on
        // where the input and output lie relative to each other.
        const float* in_address = in.data();
        float* out_address = out.data();
        std::memcpy(host.Pins()[AUDIO_IN].variable, &in_address, sizeof in_address);
        std::memcpy(host.Pins()[OUT].variable, &out_address, sizeof out_address);
    }
    for (auto _ : state) {
        if (direct) {
            record->process(record->object, 0, block);
        } else {
            host.Process(block);
        }
        benchmark::DoNotOptimize(host.Buffer(OUT));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
}

const bool REGISTERED = [] {
    for (const Setting& setting : SETTINGS) {
        benchmark::RegisterBenchmark((std::string("lv2/") + setting.name).c_str(), Plugin, setting)
            ->Arg(256)->Arg(32)->Arg(4096);
        benchmark::RegisterBenchmark((std::string("host/") + setting.name).c_str(), Module, setting, false)
            ->Arg(256)->Arg(32)->Arg(4096);
        benchmark::RegisterBenchmark((std::string("direct/") + setting.name).c_str(), Module, setting, true)
            ->Arg(256)->Arg(32)->Arg(4096);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
