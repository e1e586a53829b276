// The CLAP plug-ins, written on CLAP's own interface around the plug-in core: one binary per plug-in (its folder's
// PluginIdentity.h says which, as for the VST3 builds). DPF's CLAP wrapper costs a few hundred instructions a
// process call whatever the block (it walks every parameter after each call): at blocks of 64 that is up to twice
// what the cheapest job costs in LV2. Here a call costs what the format needs: the parameter events of the call, the
// audio buffers connected, the core's run, and an output event only where a reading changed.
//
// Parameters are the core's control ports (PluginFacts): id = the port's rank among them, values in the plug-in's
// own units, the readings read-only. A parameter event takes effect at its frame: the call is cut there. A value
// a host should not send (not finite, beyond the range, no such entry) is taken as the core takes it, and read
// back so. State: one line a parameter, "symbol value". Threads as CLAP has them: the main thread makes, activates
// and restores; the audio thread processes (and takes parameter events); the core's allocating work goes to a
// thread of the instance's own. Nothing here throws across the host boundary.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "BuiltPlugin.h"
#include "EffectCore.h"
#include "PluginIdentity.h"
#include "RoomCore.h"
#include "ThreadWorkQueue.h"
#include "clap/entry.h"
#include "clap/ext/audio-ports.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/plugin-factory.h"

namespace er_daw {
namespace {

constexpr Kind KIND = IDENTITY.kind;
using Core = CoreOf<KIND>;
// The plug-in's channels each way, known when it is compiled, so that the usual call checks them in a few compares
// (the facts' audio ports must agree, or the plug-in refuses to start).
constexpr uint32_t IN_CHANNELS = InChannels(KIND);
constexpr uint32_t OUT_CHANNELS = OutChannels(KIND);

const PluginFacts& Facts() noexcept { return BuiltFacts<KIND>(); }

const clap_plugin_descriptor_t DESCRIPTOR = {
    CLAP_VERSION_INIT,
    IDENTITY.clap_id,
    IDENTITY.name,
    "early_reflection",
    "",
    "",
    "",
    "2.90",
    "Dedicated early-reflection generator: the module in a CLAP plug-in.",
    IDENTITY.clap_features,
};

class Instance {
public:
    Instance() : m_facts(Facts()) {
        m_plugin = {&DESCRIPTOR, this, &Init, &Destroy, &Activate, &Deactivate, &StartProcessing, &StopProcessing,
                    &Reset, &Process, &GetExtension, &OnMainThread};
        std::copy(m_facts.defaults.begin(), m_facts.defaults.end(), m_values);
        for (std::size_t id = 0; id < m_facts.parameters.size() && m_readings < std::size(m_reading_ids); ++id) {
            if (!m_facts.parameters[id].output) continue;
            m_reading_ids[m_readings] = static_cast<clap_id>(id);
            m_reading_ports[m_readings++] = m_facts.parameters[id].port;
        }
        if (m_facts.inputs.size() != IN_CHANNELS || m_facts.outputs.size() != OUT_CHANNELS) return;  // refused at Init
        std::copy(m_facts.inputs.begin(), m_facts.inputs.end(), m_in_ports);
        std::copy(m_facts.outputs.begin(), m_facts.outputs.end(), m_out_ports);
    }
    const clap_plugin_t* Plugin() const { return &m_plugin; }

private:
    static Instance* Of(const clap_plugin_t* plugin) { return static_cast<Instance*>(plugin->plugin_data); }

    // ---- the plug-in ------------------------------------------------------------------------------------------

    static bool CLAP_ABI Init(const clap_plugin_t* plugin) noexcept {
        Instance* self = Of(plugin);
        const PluginFacts& facts = self->m_facts;
        if (facts.ports.empty() || facts.inputs.size() != IN_CHANNELS || facts.outputs.size() != OUT_CHANNELS) {
            return false;
        }
        try {
            self->m_queue = std::make_unique<er_plugin::ThreadWorkQueue>(&WorkOn, self);
        } catch (...) {
            // No thread to be had: the core runs without a worker (a line change waits for the next activation).
        }
        return true;
    }
    static void CLAP_ABI Destroy(const clap_plugin_t* plugin) noexcept {
        Instance* self = Of(plugin);
        self->m_queue.reset();  // its thread may be working on the core: stopped first
        delete self;
    }
    static bool CLAP_ABI Activate(const clap_plugin_t* plugin, double rate, uint32_t, uint32_t max_frames) noexcept {
        Instance* self = Of(plugin);
        if (self->m_queue) self->m_queue->Drain();  // the old core's work done before it goes
        self->m_core.reset();
        const auto block = static_cast<std::int32_t>(std::min<uint32_t>(std::max<uint32_t>(max_frames, 1), INT32_MAX));
        er_plugin::WorkQueue* queue = self->m_queue.get();
        self->m_core.reset(MakeCore<KIND>(rate, block, queue));
        if (self->m_core == nullptr) return false;
        for (const ParameterFacts& parameter : self->m_facts.parameters) {
            self->m_core->ConnectPort(static_cast<std::uint32_t>(parameter.port), &self->m_values[parameter.port]);
        }
        self->m_core->Activate();
        std::fill(std::begin(self->m_reported_bits), std::end(self->m_reported_bits), NOT_REPORTED);
        std::fill(std::begin(self->m_connected_in), std::end(self->m_connected_in), nullptr);
        std::fill(std::begin(self->m_connected_out), std::end(self->m_connected_out), nullptr);
        self->m_connected = false;
        self->m_untouched = false;
        self->m_active = true;
        return true;
    }
    static void CLAP_ABI Deactivate(const clap_plugin_t* plugin) noexcept {
        Instance* self = Of(plugin);
        self->m_connected = false;
        self->m_active = false;
        self->TakeLoaded();  // a state loaded since the last call: no call will take it now
        // The worker may be inside the core's Work on the module objects Deactivate frees: it finishes first.
        if (self->m_queue) self->m_queue->Drain();
        if (self->m_core != nullptr) self->m_core->Deactivate();
    }
    static bool CLAP_ABI StartProcessing(const clap_plugin_t*) noexcept { return true; }
    static void CLAP_ABI StopProcessing(const clap_plugin_t*) noexcept {}
    // A fresh start at the same rate: new module objects (the core's activation, which allocates), once the
    // worker is done with the old ones.
    static void CLAP_ABI Reset(const clap_plugin_t* plugin) noexcept {
        Instance* self = Of(plugin);
        if (self->m_queue) self->m_queue->Drain();
        if (self->m_core != nullptr) self->m_core->Activate();
        self->m_untouched = false;
    }
    static void CLAP_ABI OnMainThread(const clap_plugin_t*) noexcept {}

    static clap_process_status CLAP_ABI Process(const clap_plugin_t* plugin, const clap_process_t* process) noexcept {
        Instance* self = Of(plugin);
        if (self->m_loaded_pending.load(std::memory_order_acquire)) self->TakeLoaded();
        return self->RunUsual(*process) ? CLAP_PROCESS_CONTINUE : self->Run(*process);
    }

    // The usual call: no event, one port each way holding every channel, on the buffers the core is connected to
    // already (most hosts hand the same ones every call). It costs little more than the core's run, which matters
    // at short blocks of a cheap job; anything else is the general call's.
    bool RunUsual(const clap_process_t& process) noexcept {
        if (!m_connected || process.audio_inputs_count != 1 || process.audio_outputs_count != 1) return false;
        const clap_audio_buffer_t& in = process.audio_inputs[0];
        const clap_audio_buffer_t& out = process.audio_outputs[0];
        if (in.channel_count != IN_CHANNELS || out.channel_count != OUT_CHANNELS || in.data32 == nullptr ||
            out.data32 == nullptr) {
            return false;
        }
        for (uint32_t c = 0; c < IN_CHANNELS; ++c) {
            if (in.data32[c] != m_connected_in[c]) return false;
        }
        for (uint32_t c = 0; c < OUT_CHANNELS; ++c) {
            if (out.data32[c] != m_connected_out[c]) return false;
        }
        const clap_input_events_t* events = process.in_events;
        if (events != nullptr && events->size(events) != 0) return false;
        RunCore(process.frames_count);
        ReportReadings(process.out_events);
        return true;
    }

    // The call cut at each parameter event's frame, so that a change is heard from the frame it was meant for. Kept
    // out of line: the usual call stays small.
    [[gnu::noinline]] clap_process_status Run(const clap_process_t& process) noexcept {
        if (m_core == nullptr || !ConnectAudio(process)) return CLAP_PROCESS_ERROR;
        const clap_input_events_t* events = process.in_events;
        const uint32_t count = events != nullptr ? events->size(events) : 0;
        uint32_t done = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const clap_event_header_t* header = events->get(events, i);
            if (header == nullptr || header->space_id != CLAP_CORE_EVENT_SPACE_ID || header->type != CLAP_EVENT_PARAM_VALUE) {
                continue;
            }
            const uint32_t at = std::min(header->time, process.frames_count);
            if (at > done) {
                RunFrom(done, at - done);
                done = at;
            }
            Take(*reinterpret_cast<const clap_event_param_value_t*>(header));
        }
        if (process.frames_count > done) RunFrom(done, process.frames_count - done);
        ReportReadings(process.out_events);
        return CLAP_PROCESS_CONTINUE;
    }

    // The core's audio ports on the host's buffers, channel by channel across the host's ports.
    bool ConnectAudio(const clap_process_t& process) noexcept {
        return ConnectSide(process.audio_inputs, process.audio_inputs_count, m_facts.inputs, m_in) &&
               ConnectSide(process.audio_outputs, process.audio_outputs_count, m_facts.outputs, m_out);
    }
    static bool ConnectSide(const clap_audio_buffer_t* buffers, uint32_t count, const std::vector<std::int32_t>& ports,
                            float** channels) noexcept {
        std::size_t channel = 0;
        for (uint32_t b = 0; b < count && channel < ports.size(); ++b) {
            if (buffers[b].channel_count == 0) continue;
            if (buffers[b].data32 == nullptr) return false;
            for (uint32_t c = 0; c < buffers[b].channel_count && channel < ports.size(); ++c) {
                if (buffers[b].data32[c] == nullptr) return false;
                channels[channel++] = buffers[b].data32[c];
            }
        }
        return channel == ports.size();
    }

    // The core's audio ports connected again only where a buffer moved: most hosts hand the same ones every call.
    void RunFrom(uint32_t from, uint32_t frames) noexcept {
        for (uint32_t c = 0; c < IN_CHANNELS; ++c) Connect(m_in_ports[c], m_in[c] + from, m_connected_in[c]);
        for (uint32_t c = 0; c < OUT_CHANNELS; ++c) Connect(m_out_ports[c], m_out[c] + from, m_connected_out[c]);
        m_connected = true;
        RunCore(frames);
    }
    // The core's run; while no value was written since the last one, without its look at the controls (CLAP's
    // values change only through this instance's Take and a loaded state).
    void RunCore(uint32_t frames) noexcept { er_daw::RunCore(*m_core, m_untouched, frames); }
    void Connect(std::int32_t port, float* buffer, float*& connected) noexcept {
        if (buffer == connected) return;
        m_core->ConnectPort(static_cast<std::uint32_t>(port), buffer);
        connected = buffer;
    }

    // A parameter event: the value as the core takes it (a value it ignores leaves the last one).
    void Take(const clap_event_param_value_t& event) noexcept {
        if (event.param_id >= m_facts.parameters.size()) return;
        const ParameterFacts& parameter = m_facts.parameters[event.param_id];
        if (parameter.output) return;
        const auto value = TakenValue(m_facts, parameter.port, static_cast<float>(event.value));
        if (value) {
            m_values[parameter.port] = *value;
            m_untouched = false;
        }
    }

    // A state loaded while the plug-in is active, handed to the audio thread: taken at its next call when the lock
    // is free at once (the main thread holds it only to fill in the values), else at the call after.
    void TakeLoaded() noexcept {
        const std::unique_lock lock(m_loaded_lock, std::try_to_lock);
        if (!lock.owns_lock()) return;
        for (std::size_t port = 0; port < MAX_PORTS; ++port) {
            if (!m_loaded_has[port]) continue;
            m_values[port] = m_loaded[port];
            m_loaded_has[port] = false;
            m_untouched = false;
        }
        m_loaded_pending.store(false, std::memory_order_relaxed);
    }

    // The readings (the delay played) go to the host as parameter values when they change.
    void ReportReadings(const clap_output_events_t* out) noexcept {
        if (out == nullptr) return;
        for (std::size_t r = 0; r < m_readings; ++r) {
            const float value = m_values[m_reading_ports[r]];
            std::uint32_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            if (bits == m_reported_bits[r]) continue;
            clap_event_param_value_t event{};
            event.header = {sizeof event, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
            event.param_id = m_reading_ids[r];
            event.note_id = -1;
            event.port_index = -1;
            event.channel = -1;
            event.key = -1;
            event.value = value;
            if (out->try_push(out, &event.header)) m_reported_bits[r] = bits;
        }
    }

    // A loaded state's values (port, value): the audio thread's to take, all at one call, while active; written
    // at once while it cannot be running.
    void Load(const std::vector<std::pair<std::int32_t, float>>& loaded) {
        if (!m_active) {
            for (const auto& [port, value] : loaded) m_values[port] = value;
            m_untouched = false;
            return;
        }
        const std::lock_guard lock(m_loaded_lock);
        for (const auto& [port, value] : loaded) {
            m_loaded[port] = value;
            m_loaded_has[port] = true;
        }
        m_loaded_pending.store(true, std::memory_order_release);
    }

    static void WorkOn(void* context, std::uint32_t size, const void* data) noexcept {
        auto* self = static_cast<Instance*>(context);
        if (self->m_core != nullptr) self->m_core->Work(size, data);
    }

    // ---- extensions -------------------------------------------------------------------------------------------

    static const void* CLAP_ABI GetExtension(const clap_plugin_t*, const char* id) noexcept {
        if (id == nullptr) return nullptr;
        if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &PARAMS;
        if (std::strcmp(id, CLAP_EXT_AUDIO_PORTS) == 0) return &AUDIO_PORTS;
        if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &STATE;
        return nullptr;
    }

    // Audio ports: one main port each way, as many channels as the core has on that side.
    static uint32_t CLAP_ABI AudioPortCount(const clap_plugin_t*, bool) noexcept { return 1; }
    static bool CLAP_ABI AudioPortGet(const clap_plugin_t* plugin, uint32_t index, bool input,
                                      clap_audio_port_info_t* info) noexcept {
        const PluginFacts& facts = Of(plugin)->m_facts;
        if (index != 0 || info == nullptr) return false;
        const auto channels = static_cast<uint32_t>((input ? facts.inputs : facts.outputs).size());
        info->id = input ? 0u : 1u;
        std::snprintf(info->name, sizeof info->name, "%s", input ? "Input" : "Output");
        info->flags = CLAP_AUDIO_PORT_IS_MAIN;
        info->channel_count = channels;
        info->port_type = channels == 1 ? CLAP_PORT_MONO : channels == 2 ? CLAP_PORT_STEREO : nullptr;
        // In place only where the channels match: the room's one input cannot share its two outputs' buffers.
        info->in_place_pair = facts.inputs.size() == facts.outputs.size() ? (input ? 1u : 0u) : clap_id{CLAP_INVALID_ID};
        return true;
    }
    static constexpr clap_plugin_audio_ports_t AUDIO_PORTS = {&AudioPortCount, &AudioPortGet};

    // Parameters.
    static uint32_t CLAP_ABI ParamCount(const clap_plugin_t* plugin) noexcept {
        return static_cast<uint32_t>(Of(plugin)->m_facts.parameters.size());
    }
    static bool CLAP_ABI ParamInfo(const clap_plugin_t* plugin, uint32_t index, clap_param_info_t* info) noexcept {
        const PluginFacts& facts = Of(plugin)->m_facts;
        if (index >= facts.parameters.size() || info == nullptr) return false;
        const ParameterFacts& parameter = facts.parameters[index];
        *info = {};
        info->id = index;
        const clap_param_info_flags readonly = CLAP_PARAM_IS_READONLY, automatable = CLAP_PARAM_IS_AUTOMATABLE,
                                    stepped = CLAP_PARAM_IS_STEPPED;
        info->flags = parameter.output ? readonly : automatable | (parameter.integer ? stepped : 0u);
        std::snprintf(info->name, sizeof info->name, "%s", parameter.name.c_str());
        std::snprintf(info->module, sizeof info->module, "%s", parameter.symbol.c_str());  // the stable name
        info->min_value = parameter.minimum;
        info->max_value = parameter.maximum;
        info->default_value = parameter.default_value;
        return true;
    }
    static bool CLAP_ABI ParamValue(const clap_plugin_t* plugin, clap_id id, double* value) noexcept {
        const Instance* self = Of(plugin);
        if (id >= self->m_facts.parameters.size() || value == nullptr) return false;
        *value = self->m_values[self->m_facts.parameters[id].port];
        return true;
    }
    static bool CLAP_ABI ValueToText(const clap_plugin_t* plugin, clap_id id, double value, char* text,
                                     uint32_t size) noexcept {
        const PluginFacts& facts = Of(plugin)->m_facts;
        if (id >= facts.parameters.size() || text == nullptr || size == 0) return false;
        return ValueText(facts.parameters[id], value, true, text, size);
    }
    static bool CLAP_ABI TextToValue(const clap_plugin_t* plugin, clap_id id, const char* text, double* value) noexcept {
        const PluginFacts& facts = Of(plugin)->m_facts;
        if (id >= facts.parameters.size() || text == nullptr || value == nullptr) return false;
        const std::optional<double> number = ValueFromText(facts.parameters[id], text);
        if (number) *value = *number;
        return number.has_value();
    }
    // Events while the plug-in does not process: taken at once.
    static void CLAP_ABI ParamFlush(const clap_plugin_t* plugin, const clap_input_events_t* in,
                                    const clap_output_events_t*) noexcept {
        Instance* self = Of(plugin);
        const uint32_t count = in != nullptr ? in->size(in) : 0;
        for (uint32_t i = 0; i < count; ++i) {
            const clap_event_header_t* header = in->get(in, i);
            if (header != nullptr && header->space_id == CLAP_CORE_EVENT_SPACE_ID && header->type == CLAP_EVENT_PARAM_VALUE) {
                self->Take(*reinterpret_cast<const clap_event_param_value_t*>(header));
            }
        }
    }
    static constexpr clap_plugin_params_t PARAMS = {&ParamCount, &ParamInfo,   &ParamValue,
                                                    &ValueToText, &TextToValue, &ParamFlush};

    // State: "symbol value" a line, every input parameter; a symbol the plug-in does not know is passed over, and a
    // parameter the state leaves out keeps its value.
    static bool CLAP_ABI StateSave(const clap_plugin_t* plugin, const clap_ostream_t* stream) noexcept {
        const Instance* self = Of(plugin);
        try {
            std::string text;
            char line[160];
            for (const ParameterFacts& parameter : self->m_facts.parameters) {
                if (parameter.output) continue;
                std::snprintf(line, sizeof line, "%s %.9g\n", parameter.symbol.c_str(),
                              static_cast<double>(self->m_values[parameter.port]));
                text += line;
            }
            for (std::size_t at = 0; at < text.size();) {
                const int64_t written = stream->write(stream, text.data() + at, text.size() - at);
                if (written <= 0) return false;
                at += static_cast<std::size_t>(written);
            }
            return true;
        } catch (...) {
            return false;
        }
    }
    static bool CLAP_ABI StateLoad(const clap_plugin_t* plugin, const clap_istream_t* stream) noexcept {
        Instance* self = Of(plugin);
        try {
            std::string text;
            std::vector<std::pair<std::int32_t, float>> loaded;
            char piece[4096];
            for (;;) {
                const int64_t count = stream->read(stream, piece, sizeof piece);
                if (count < 0) return false;
                if (count == 0) break;
                text.append(piece, static_cast<std::size_t>(count));
            }
            for (std::size_t at = 0; at < text.size();) {
                std::size_t end = text.find('\n', at);
                if (end == std::string::npos) end = text.size();
                const std::string line = text.substr(at, end - at);
                at = end + 1;
                const std::size_t space = line.find(' ');
                if (space == std::string::npos) continue;
                const std::string symbol = line.substr(0, space);
                char* stop = nullptr;
                const float value = std::strtof(line.c_str() + space + 1, &stop);
                if (const auto saved = SavedValue(self->m_facts, symbol, value)) loaded.push_back(*saved);
            }
            self->Load(loaded);
            return true;
        } catch (...) {
            return false;
        }
    }
    static constexpr clap_plugin_state_t STATE = {&StateSave, &StateLoad};

    const PluginFacts& m_facts;
    clap_plugin_t m_plugin{};
    float m_values[MAX_PORTS] = {};    // one per port: the controls the core reads, the readings it writes
    // The core's audio ports, by channel; this call's channels; what the ports are connected to now.
    std::int32_t m_in_ports[IN_CHANNELS] = {}, m_out_ports[OUT_CHANNELS] = {};
    float* m_in[IN_CHANNELS] = {};
    float* m_out[OUT_CHANNELS] = {};
    float* m_connected_in[IN_CHANNELS] = {};
    float* m_connected_out[OUT_CHANNELS] = {};
    bool m_connected = false;          // the core has run on the connected buffers since its activation
    bool m_untouched = false;          // no value written since the core's last run
    bool m_active = false;             // between activate and deactivate (the main thread's)
    // A state loaded while active, for the audio thread (TakeLoaded).
    std::mutex m_loaded_lock;
    float m_loaded[MAX_PORTS] = {};
    bool m_loaded_has[MAX_PORTS] = {};
    std::atomic<bool> m_loaded_pending{false};
    // The read-only parameters (the delay played): their ids, ports, and the bits last sent to the host.
    static constexpr std::uint32_t NOT_REPORTED = 0xFFFFFFFFu;  // a NaN no reading ever is
    clap_id m_reading_ids[4] = {};
    std::int32_t m_reading_ports[4] = {};
    std::uint32_t m_reported_bits[4] = {NOT_REPORTED, NOT_REPORTED, NOT_REPORTED, NOT_REPORTED};
    std::size_t m_readings = 0;
    std::unique_ptr<Core> m_core;      // while active
    std::unique_ptr<er_plugin::ThreadWorkQueue> m_queue;  // declared last: stopped before the core goes
};

// ---- factory and entry -------------------------------------------------------------------------------------------

uint32_t CLAP_ABI FactoryCount(const clap_plugin_factory_t*) noexcept { return 1; }
const clap_plugin_descriptor_t* CLAP_ABI FactoryDescriptor(const clap_plugin_factory_t*, uint32_t index) noexcept {
    return index == 0 ? &DESCRIPTOR : nullptr;
}
const clap_plugin_t* CLAP_ABI FactoryCreate(const clap_plugin_factory_t*, const clap_host_t* host,
                                            const char* id) noexcept {
    if (id == nullptr || host == nullptr || std::strcmp(id, DESCRIPTOR.id) != 0 ||
        !clap_version_is_compatible(host->clap_version)) {
        return nullptr;
    }
    auto* instance = new (std::nothrow) Instance();
    return instance != nullptr ? instance->Plugin() : nullptr;
}
const clap_plugin_factory_t FACTORY = {&FactoryCount, &FactoryDescriptor, &FactoryCreate};

bool CLAP_ABI EntryInit(const char*) noexcept { return true; }
void CLAP_ABI EntryDeinit() noexcept {}
const void* CLAP_ABI EntryFactory(const char* id) noexcept {
    return id != nullptr && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &FACTORY : nullptr;
}

}  // namespace
}  // namespace er_daw

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, &er_daw::EntryInit,
                                                               &er_daw::EntryDeinit, &er_daw::EntryFactory};
