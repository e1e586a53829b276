// The DAW plug-ins' cost against the LV2 plug-in on the same job: the CLAP and VST3 bundles run by the test host
// (tests/daw/host/PluginHost.h, the same call handed again with nothing of the host's around it, as lilv's run is
// for LV2: the time is the plug-in's own), the LV2 bundle through lilv
// as an LV2 host runs it; the same controls, the same noise, the same block, one instance each. Every plug-in is
// reached through its binary's public face alone. Run: scripts/bench-daw (the fastest of 9, the ratio table) or
// er_daw_bench [--benchmark_filter=...]; the performance doc has the figures.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AudioBuffers.h"
#include "LilvHost.h"
#include "PluginHost.h"

namespace {

using er_bench::AudioBuffers;
using er_bench::Lv2Run;
using er_daw_host::Format;

constexpr float RATE = 48000.0f;
constexpr std::int32_t BLOCKS[] = {64, 256, 1024};
constexpr std::uint32_t NO_PARAMETER = 0xFFFFFFFFu;

// A job: one plug-in and the controls it plays with (by symbol, in the plug-in's units); the rest at their
// defaults, smoothing on as it comes.
struct Job {
    const char* name;
    const char* uri;    // the LV2 plug-in and the CLAP id
    const char* stem;   // the CLAP and VST3 bundles' name
    int inputs, outputs;
    std::vector<std::pair<std::string, float>> controls;
};
const Job JOBS[] = {
    {"mono_plain25ms", "urn:early-reflection:ZV_1x_ER_Gen", "early_reflection", 1, 1, {{"time", 25}, {"routing_mode", 0}}},
    {"mono_feedback25ms", "urn:early-reflection:ZV_1x_ER_Gen", "early_reflection", 1, 1,
     {{"time", 25}, {"routing_mode", 0}, {"feedback", 4}}},
    {"stereo_feedback25ms", "urn:early-reflection:ZV_1x_ER_Gen_stereo", "early_reflection_stereo", 2, 2,
     {{"time", 25}, {"routing_mode", 0}, {"feedback", 4}}},
    {"room_studio", "urn:early-reflection:ZV_1x_ER_Gen_room", "early_reflection_room", 1, 2, {}},
};

void Lv2(benchmark::State& state, const Job& job) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    const AudioBuffers buffers(block, job.inputs, job.outputs);
    Lv2Run run(ER_DAW_PLUGIN_DIR "/lv2/early_reflection.lv2", job.uri, RATE, block, buffers.ins(), job.controls,
               buffers.outs());
    if (!run.Ready()) {
        state.SkipWithError("cannot load the LV2 plug-in");
        return;
    }
    for (auto _ : state) {
        run.Run(static_cast<std::uint32_t>(block));
        benchmark::DoNotOptimize(buffers.out());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
}

std::string Bundle(Format format, const Job& job) {
    return std::string(ER_DAW_PLUGIN_DIR) + (format == Format::Clap ? "/clap/" : "/vst3/") + job.stem +
           (format == Format::Clap ? ".clap" : ".vst3");
}

// The ids of the job's controls in `instance`. A CLAP parameter carries its symbol; a VST3 parameter only its
// title, so a VST3 one is found by its place: the same plug-in's CLAP parameters in order, matched with the VST3
// ones that do not select a program (both formats number the parameters in one order, PluginFacts').
std::vector<std::uint32_t> ParameterIds(const er_daw_host::Instance& instance, const Job& job, std::string& error) {
    std::vector<std::string> symbols;
    std::unique_ptr<er_daw_host::Binary> clap;
    std::unique_ptr<er_daw_host::Instance> named;
    if (instance.GetFormat() == Format::Clap) {
        for (const auto& parameter : instance.Parameters()) symbols.push_back(parameter.symbol);
    } else {
        clap = er_daw_host::Binary::Load(Format::Clap, Bundle(Format::Clap, job), error);
        if (clap) named = clap->Create(job.uri, error);
        if (!named) return {};
        for (const auto& parameter : named->Parameters()) symbols.push_back(parameter.symbol);
    }
    std::vector<std::uint32_t> ordered;
    for (const auto& parameter : instance.Parameters()) {
        if (!parameter.program_change) ordered.push_back(parameter.id);
    }
    std::vector<std::uint32_t> ids;
    for (const auto& [symbol, value] : job.controls) {
        ids.push_back(NO_PARAMETER);
        for (std::size_t i = 0; i < symbols.size() && i < ordered.size(); ++i) {
            if (symbols[i] == symbol) ids.back() = ordered[i];
        }
    }
    return ids;
}

void Daw(benchmark::State& state, Format format, const Job& job) {
    const auto block = static_cast<std::int32_t>(state.range(0));
    const std::string bundle = Bundle(format, job);
    std::string error;
    const auto binary = er_daw_host::Binary::Load(format, bundle, error);
    std::unique_ptr<er_daw_host::Instance> instance;
    if (binary && binary->Plugins().size() == 1) instance = binary->Create(binary->Plugins()[0], error);
    if (!instance) {
        state.SkipWithError(("cannot load " + bundle + ": " + error).c_str());
        return;
    }
    const std::vector<std::uint32_t> ids = ParameterIds(*instance, job, error);
    for (std::size_t i = 0; i < job.controls.size(); ++i) {
        const auto& [symbol, value] = job.controls[i];
        if (i >= ids.size() || ids[i] == NO_PARAMETER || !instance->Set(ids[i], value)) {
            state.SkipWithError(("cannot set " + symbol).c_str());
            return;
        }
    }
    const AudioBuffers buffers(block, static_cast<std::int32_t>(instance->InputChannels()),
                               static_cast<std::int32_t>(instance->OutputChannels()));
    if (!instance->Activate(RATE, static_cast<std::uint32_t>(block))) {
        state.SkipWithError(instance->LastError().c_str());
        return;
    }
    if (!instance->PrepareRepeat(buffers.ins().data(), buffers.outs().data(), static_cast<std::uint32_t>(block))) {
        state.SkipWithError(instance->LastError().c_str());
        return;
    }
    for (auto _ : state) {
        instance->Repeat();
        benchmark::DoNotOptimize(buffers.out());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * block);
    instance->Deactivate();
}

const bool REGISTERED = [] {
    for (const Job& job : JOBS) {
        auto* lv2 = benchmark::RegisterBenchmark(("lv2/" + std::string(job.name)).c_str(), Lv2, job);
        auto* clap = benchmark::RegisterBenchmark(("clap/" + std::string(job.name)).c_str(), Daw, Format::Clap, job);
        auto* vst3 = benchmark::RegisterBenchmark(("vst3/" + std::string(job.name)).c_str(), Daw, Format::Vst3, job);
        for (const std::int32_t block : BLOCKS) {
            lv2->Arg(block);
            clap->Arg(block);
            vst3->Arg(block);
        }
    }
    return true;
}();

}  // namespace

BENCHMARK_MAIN();
