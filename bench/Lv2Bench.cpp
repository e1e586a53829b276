// The plug-in's cost: the bundle loaded and run through lilv as an LV2 host runs it (lv2/), against the shipped
// module with the same settings, the same input and the same block size, driven by the substitute host (host/)
// and called straight through its record (direct/). The difference to direct/ is what the adapter adds per
// sample. peers/: the plug-in and the delay plug-ins in Debian a user would pick instead, run by the same code
// on the same job (peers that are not installed report an error and are left out of the table).
// Run: scripts/bench-lv2 (the fastest of 9, the tables) or er_lv2_bench [--benchmark_filter=...]; docs/performance.md
// has the figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include "AudioBuffers.h"
#include "Host.h"
#include "LilvHost.h"
#include "PinFacts.h"

namespace {

using er_bench::AudioBuffers;
using er_bench::Noise;
using er_bench::Urids;

constexpr float RATE = 48000.0f;
constexpr std::int32_t PORTS = 14;
constexpr std::int32_t AUDIO_IN = 0;
constexpr std::int32_t OUT = 5;
// The LV2 defaults; each setting changes some.
constexpr float DEFAULTS[PORTS] = {0, 1, 0, 0, 1, 0, 0, 1, 100, 10, 8, 0, 0, 0};
constexpr bool IS_CHOICE[PORTS] = {false, true, false, false, true, false, true, true,
                                   false, false, true, true, true, false};

struct Setting {
    std::string name;
    std::vector<std::pair<std::int32_t, float>> controls;  // port, LV2 value
    bool every_block = false;                              // also at blocks 32 and 4096 (else 256 alone)
};
const char* const SYMBOLS[PORTS] = {"audio_in", "active", "feedback", "damping", "routing_mode", "out",
                                    "time_accuracy", "time_mode", "time", "volume", "max_delay", "volume_mode",
                                    "mono_mode", "gate"};
// One setting for each of the fifteen routines: each "Time Accuracy" with no feedback (Plain) and with each
// "Damping/Feedback Mode" fed back. Three of them (the cheapest routine, where a fixed cost per block weighs most;
// a damped loop; an interpolated output loop) at every block size.
std::vector<Setting> MakeSettings() {
    const char* const accuracies[] = {"Sample", "FractionEcon", "FractionFull"};
    const char* const variants[] = {"TapFeedback", "InputTapFeedback", "OutputFeedback", "InputOutputFeedback"};
    std::vector<Setting> settings;
    for (std::int32_t accuracy = 0; accuracy < 3; ++accuracy) {
        const float time = accuracy == 0 ? 25.0f : 12.375f;
        settings.push_back({std::string(accuracies[accuracy]) + "Plain", {{8, time}, {6, accuracy}, {4, 0}}});
        for (std::int32_t mode = 0; mode < 4; ++mode) {
            settings.push_back({std::string(accuracies[accuracy]) + variants[mode],
                                {{8, time}, {6, accuracy}, {4, mode}, {2, 4}, {3, 3}}});
        }
    }
    for (Setting& setting : settings) {
        setting.every_block = setting.name == "SamplePlain" || setting.name == "SampleInputTapFeedback" ||
                              setting.name == "FractionEconOutputFeedback";
    }
    return settings;
}
const std::vector<Setting> SETTINGS = MakeSettings();

std::vector<float> Controls(const Setting& setting) {
    std::vector<float> controls(DEFAULTS, DEFAULTS + PORTS);
    for (const auto& [port, value] : setting.controls) controls[port] = value;
    return controls;
}

// ---- the plug-in through lilv, with the features a real-time host gives ---------------------------------------

// A plug-in as an LV2 host runs it: every control input at the given value or its default, audio "in" and "out"
// on the benchmark's buffers, every other port on a buffer of its own (silence in; atom ports an empty sequence).
struct Contender {
    std::string uri;
    std::vector<std::pair<std::string, float>> controls;  // symbol, value
    std::string in, out;                                  // the audio ports' symbols
};

// `smooth`: the plug-in's "Smooth changes" (on by default; off is the bit-exact setting).
Contender Ours(const Setting& setting, bool smooth = true) {
    Contender ours{"urn:early-reflection:ZV_1x_ER_Gen", {}, "audio_in", "out"};
    const std::vector<float> controls = Controls(setting);
    for (std::int32_t port = 0; port < PORTS; ++port) {
        if (port != AUDIO_IN && port != OUT) ours.controls.emplace_back(SYMBOLS[port], controls[port]);
    }
    ours.controls.emplace_back("smooth", smooth ? 1.0f : 0.0f);
    return ours;
}

void Plugin(benchmark::State& state, const Contender& contender) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);  // the peers, where the system has them
    LilvNode* bundle = lilv_new_file_uri(world, nullptr, ER_LV2_BUNDLE "/");
    lilv_world_load_bundle(world, bundle);
    LilvNode* uri = lilv_new_uri(world, contender.uri.c_str());
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    LilvInstance* instance = nullptr;
    Urids urids;
    std::int32_t max_block = block;
    const LV2_Options_Option options[] = {
        {LV2_OPTIONS_INSTANCE, 0, urids.map.map(urids.map.handle, LV2_BUF_SIZE__maxBlockLength), sizeof max_block,
         urids.map.map(urids.map.handle, LV2_ATOM__Int), &max_block},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    const LV2_Feature map_feature{LV2_URID__map, &urids.map};
    const LV2_Feature options_feature{LV2_OPTIONS__options, const_cast<LV2_Options_Option*>(options)};
    const LV2_Feature* features[] = {&map_feature, &options_feature, nullptr};
    if (plugin != nullptr) instance = lilv_plugin_instantiate(plugin, RATE, features);
    if (instance == nullptr) {
        state.SkipWithError(("cannot load " + contender.uri).c_str());
    } else {
        const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
        std::vector<float> defaults(ports);
        lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
        std::vector<float> controls(ports, 0.0f);
        const AudioBuffers buffers(block);
        std::vector<std::vector<float>> scratch(ports, std::vector<float>(static_cast<std::size_t>(block), 0.0f));
        std::vector<std::vector<std::uint64_t>> atoms(ports, std::vector<std::uint64_t>(512, 0));
        LilvNode* audio = lilv_new_uri(world, LV2_CORE__AudioPort);
        LilvNode* control = lilv_new_uri(world, LV2_CORE__ControlPort);
        LilvNode* atom = lilv_new_uri(world, LV2_ATOM__AtomPort);
        LilvNode* input = lilv_new_uri(world, LV2_CORE__InputPort);
        for (std::uint32_t index = 0; index < ports; ++index) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, index);
            const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
            void* where = scratch[index].data();
            if (lilv_port_is_a(plugin, port, audio) && symbol == contender.in) {
                where = const_cast<float*>(buffers.in());
            } else if (lilv_port_is_a(plugin, port, audio) && symbol == contender.out) {
                where = buffers.out();
            } else if (lilv_port_is_a(plugin, port, control)) {
                controls[index] = std::isnan(defaults[index]) ? 0.0f : defaults[index];
                for (const auto& [name, value] : contender.controls) {
                    if (name == symbol) controls[index] = value;
                }
                where = &controls[index];
            } else if (lilv_port_is_a(plugin, port, atom)) {
                // An empty sequence in; out, the room a host offers.
                auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(atoms[index].data());
                sequence->atom.type = urids.map.map(urids.map.handle, LV2_ATOM__Sequence);
                sequence->atom.size = lilv_port_is_a(plugin, port, input)
                                          ? sizeof(LV2_Atom_Sequence_Body)
                                          : static_cast<std::uint32_t>(atoms[index].size() * 8 - sizeof(LV2_Atom));
                where = sequence;
            }
            lilv_instance_connect_port(instance, index, where);
        }
        lilv_node_free(input);
        lilv_node_free(atom);
        lilv_node_free(control);
        lilv_node_free(audio);
        lilv_instance_activate(instance);
        for (auto _ : state) {
            lilv_instance_run(instance, static_cast<std::uint32_t>(block));
            benchmark::DoNotOptimize(buffers.out());
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * block);
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }
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
    for (const effect_pins::Pin pin : effect_pins::ANNOUNCE_ORDER) {
        const std::int32_t port = effect_pins::Index(pin);
        if (IS_CHOICE[port]) {
            host.PostChoice(port, static_cast<std::int16_t>(controls[port]));
        } else {
            host.PostFloat(port, static_cast<float>(static_cast<double>(controls[port]) / 10.0));
        }
    }
    const AudioBuffers buffers(block);
    std::copy(buffers.in(), buffers.in() + block, host.Buffer(AUDIO_IN));
    host.Process(block);  // delivers the announcement and writes the buffer addresses
    SEModuleRecord* record = host.Record();
    if (direct) {
        // The module reads and writes the same buffers as in the plug-in case (see AudioBuffers).
        const float* in_address = buffers.in();
        float* out_address = buffers.out();
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

// The jobs a user would compare with the peers in Debian, at 48 kHz: a plain delay of 25 ms (x42's delay line,
// 1200 samples; LSP's compensation delay in time mode), and 25 ms fed back at 0.4 (Calf's vintage delay: a beat
// of 100 ms in quarters, plain medium, wet alone).
const Setting PLAIN_25MS{"Plain25ms", {{8, 25}, {4, 0}}};
const Setting FEEDBACK_25MS{"Feedback25ms", {{8, 25}, {4, 0}, {2, 4}}};
const std::pair<const char*, Contender> PEERS[] = {
    {"Plain25ms", {"http://gareus.org/oss/lv2/nodelay", {{"delay", 1200}, {"report_latency", 0}}, "in", "out"}},
    {"Plain25ms",
     {"http://lsp-plug.in/plugins/lv2/comp_delay_mono", {{"mode", 2}, {"time", 25}, {"dry", 0}, {"wet", 1}}, "in", "out"}},
    {"Feedback25ms",
     {"http://calf.sourceforge.net/plugins/VintageDelay",
      {{"timing", 1}, {"ms", 100}, {"subdiv", 4}, {"time_l", 1}, {"time_r", 1}, {"feedback", 0.4f}, {"amount", 1}, {"dry", 0}, {"medium", 0}, {"mix_mode", 0}},
      "in_l",
      "out_l"}},
};
const char* PeerName(const std::string& uri) {
    if (uri.find("gareus") != std::string::npos) return "x42-delay";
    if (uri.find("lsp-plug") != std::string::npos) return "lsp-comp-delay";
    return "calf-vintage-delay";
}

const bool REGISTERED = [] {
    for (const Setting& setting : SETTINGS) {
        const auto blocks = [&](benchmark::internal::Benchmark* b) {
            b->Arg(256);
            if (setting.every_block) b->Arg(32)->Arg(4096);
        };
        blocks(benchmark::RegisterBenchmark(("lv2/" + setting.name).c_str(), Plugin, Ours(setting)));
        blocks(benchmark::RegisterBenchmark(("host/" + setting.name).c_str(), Module, setting, false));
        blocks(benchmark::RegisterBenchmark(("direct/" + setting.name).c_str(), Module, setting, true));
    }
    for (const Setting& job : {PLAIN_25MS, FEEDBACK_25MS}) {
        benchmark::RegisterBenchmark(("peers/ours/" + job.name).c_str(), Plugin, Ours(job))
            ->Arg(64)
            ->Arg(256)
            ->Arg(1024);
        benchmark::RegisterBenchmark(("peers/ours-smoothing-off/" + job.name).c_str(), Plugin, Ours(job, false))
            ->Arg(64)
            ->Arg(256)
            ->Arg(1024);
        // The floor: the module's routine alone on the same job, called straight through its record.
        benchmark::RegisterBenchmark(("peers/module-direct/" + job.name).c_str(), Module, job, true)
            ->Arg(64)
            ->Arg(256)
            ->Arg(1024);
    }
    for (const auto& [job, peer] : PEERS) {
        benchmark::RegisterBenchmark(("peers/" + std::string(PeerName(peer.uri)) + "/" + job).c_str(), Plugin, peer)
            ->Arg(64)
            ->Arg(256)
            ->Arg(1024);
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
