// The VST3 plug-ins, written on VST3's own interface (the C headers DPF ships, "travesty") around the plug-in core:
// one binary per plug-in (its folder's PluginIdentity.h says which). A process call costs what the format needs:
// the parameter points of the call, the audio buffers connected, the core's run, and an output point only where a
// reading changed.
//
// One object is the component, its audio processor, its edit controller and its unit information (the program
// list): a single-component plug-in, which Ardour and every VST3 host take (they ask the component for its
// controller first). Each face is a record whose first field points to its table of functions, as the interface
// passes `T**` around; the faces share one reference count.
//
// Parameters: id 0 is the program (as hosts expect a program-change parameter), ids 1.. are the core's control
// ports in PluginFacts order (the ids the plug-ins have always had). A point takes effect at its sample offset:
// the call is cut there. The processor's values are the core's ports; the controller keeps what it shows apart,
// as VST3 has them on two sides. While the plug-in is inactive the controller's values reach the processor at
// once, so that the first block starts from what the host set; while active a host sends them in process calls,
// and what only the controller is told (a program chosen from its menu, a restored state) goes to the audio thread
// through a mailbox taken at the start of the next call. Nothing here throws across the host boundary.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "BuiltPlugin.h"
#include "EffectCore.h"
#include "PluginIdentity.h"
#include "RoomCore.h"
#include "SavedState.h"
#include "ThreadWorkQueue.h"
#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"
#include "travesty/unit.h"

#if defined(_WIN32)
#define ER_VST3_EXPORT extern "C" __declspec(dllexport)
#else
#define ER_VST3_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace er_daw {
namespace {

constexpr Kind KIND = IDENTITY.kind;
using Core = CoreOf<KIND>;

const PluginFacts& Facts() noexcept { return BuiltFacts<KIND>(); }

// The audio channels each way, known here, so that the usual call's loops unroll.
constexpr uint32_t IN_CHANNELS = InChannels(KIND);
constexpr uint32_t OUT_CHANNELS = OutChannels(KIND);

constexpr const char* VENDOR = "early_reflection developers";
constexpr const char* VERSION = "2.90.0";
constexpr v3_param_id PROGRAM_ID = 0;       // the program-change parameter
constexpr v3_param_id FIRST_CONTROL_ID = 1;  // the core's first control port
constexpr int32_t ROOT_UNIT = 0;
constexpr int32_t PROGRAM_LIST = 1;

// The class id: the bytes the plug-ins' first VST3 builds had, the plug-in's four characters among them.
constexpr std::uint32_t ID = IDENTITY.vst3_id;
constexpr v3_tuid CLASS_ID = {0x20, 0x46, 0x50, 0x44, 0x73, 0x61, 0x6c, 0x63, ID & 0xFF, (ID >> 8) & 0xFF, (ID >> 16) & 0xFF,
                              ID >> 24, 0, 0, 0, 0};

void Copy(const char* from, char* to, std::size_t size) { std::snprintf(to, size, "%s", from); }
void Widen(const char* from, int16_t* to, std::size_t size) {
    std::size_t i = 0;
    for (; from[i] != 0 && i + 1 < size; ++i) to[i] = static_cast<int16_t>(static_cast<unsigned char>(from[i]));
    to[i] = 0;
}
// A VST3 string (at most 128 units) as ASCII, anything else '?', into a buffer of the caller's: nothing here may
// allocate, so nothing can throw into the host.
void Narrow(const int16_t* from, char (&to)[129]) {
    std::size_t i = 0;
    for (; i < 128 && from[i] != 0; ++i) to[i] = from[i] > 0 && from[i] < 128 ? static_cast<char>(from[i]) : '?';
    to[i] = 0;
}


// ---- values: plain (the plug-in's units) and normalised (what VST3 carries) -------------------------------------

// A whole-number parameter's normalised value lands on the nearest whole number; a normalised value beyond 0..1
// is taken at its end, a NaN stays one (the core ignores it).
double Plain(const ParameterFacts& parameter, double normalised) {
    if (!std::isnan(normalised)) normalised = std::clamp(normalised, 0.0, 1.0);
    const double plain = parameter.minimum + normalised * (static_cast<double>(parameter.maximum) - parameter.minimum);
    return parameter.integer ? std::round(plain) : plain;
}
double Normalised(const ParameterFacts& parameter, double plain) {
    const double span = static_cast<double>(parameter.maximum) - parameter.minimum;
    if (span <= 0.0 || std::isnan(plain)) return 0.0;
    return std::clamp((plain - parameter.minimum) / span, 0.0, 1.0);
}
std::int32_t ProgramOf(double normalised, std::size_t programs) {
    if (std::isnan(normalised) || programs == 0) return 0;
    return static_cast<std::int32_t>(std::lround(std::clamp(normalised, 0.0, 1.0) * static_cast<double>(programs - 1)));
}
double ProgramNormalised(std::int32_t program, std::size_t programs) {
    return programs > 1 ? static_cast<double>(program) / static_cast<double>(programs - 1) : 0.0;
}

// ---- the host's stream ------------------------------------------------------------------------------------------

bool WriteAll(v3_bstream** stream, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        int32_t written = 0;
        const auto count = static_cast<int32_t>(std::min<std::size_t>(bytes.size() - at, INT32_MAX));
        if (v3_cpp_obj(stream)->write(stream, const_cast<char*>(bytes.data() + at), count, &written) != V3_OK ||
            written <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(written);
    }
    return true;
}
// The stream to its end; none when it fails. Allocates; throws std::bad_alloc.
std::optional<std::string> ReadAll(v3_bstream** stream) {
    std::string bytes;
    char piece[4096];
    for (;;) {
        int32_t read = 0;
        if (v3_cpp_obj(stream)->read(stream, piece, sizeof piece, &read) != V3_OK) return std::nullopt;
        if (read <= 0) return bytes;
        bytes.append(piece, static_cast<std::size_t>(std::min<int32_t>(read, sizeof piece)));
        if (bytes.size() > SavedState::LARGEST) return std::nullopt;
    }
}

class Plugin;

// A face: its table (the interface's functions, v3_funknown's first) and the object behind it.
struct Face {
    const void* table;
    Plugin* plugin;
};

class Plugin {
public:
    Plugin() : m_facts(Facts()) {
        std::copy(m_facts.defaults.begin(), m_facts.defaults.end(), m_values);
        std::copy(m_facts.defaults.begin(), m_facts.defaults.end(), m_shown);
        for (std::size_t index = 0; index < m_facts.parameters.size() && m_readings < READINGS; ++index) {
            if (!m_facts.parameters[index].output) continue;
            m_reading_ids[m_readings] = static_cast<v3_param_id>(index) + FIRST_CONTROL_ID;
            m_reading_ports[m_readings++] = m_facts.parameters[index].port;
        }
        if (m_facts.inputs.size() != IN_CHANNELS || m_facts.outputs.size() != OUT_CHANNELS) return;  // refused at Initialize
        std::copy(m_facts.inputs.begin(), m_facts.inputs.end(), m_in_ports);
        std::copy(m_facts.outputs.begin(), m_facts.outputs.end(), m_out_ports);
    }
    ~Plugin() {
        m_queue.reset();  // its thread may be working on the core: stopped first
        if (m_handler != nullptr) v3_cpp_obj_unref(m_handler);
    }

    // The interface `iid` of a new instance, which the caller then holds; refused (and the instance gone) when
    // the instance has no such interface.
    v3_result Open(const v3_tuid iid, void** object) {
        const v3_result result = Query(&m_component, iid, object);
        Unref(&m_component);  // the instance's own first reference
        return result;
    }

private:
    static Plugin* Of(void* self) { return static_cast<Face*>(self)->plugin; }

    // A program and every port's value (the readings' are not taken): a state, a program chosen.
    struct Values {
        std::int32_t program = 0;
        float values[MAX_PORTS] = {};
    };

    // ---- reference counting and interfaces (every face) -------------------------------------------------------

    static v3_result V3_API Query(void* self, const v3_tuid iid, void** object) {
        Plugin* plugin = Of(self);
        void* face = nullptr;
        if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_base_iid) ||
            v3_tuid_match(iid, v3_component_iid)) {
            face = &plugin->m_component;
        } else if (v3_tuid_match(iid, v3_audio_processor_iid)) {
            face = &plugin->m_processor;
        } else if (v3_tuid_match(iid, v3_edit_controller_iid)) {
            face = &plugin->m_controller;
        } else if (v3_tuid_match(iid, v3_unit_information_iid)) {
            face = &plugin->m_units;
        }
        if (object != nullptr) *object = face;
        if (face == nullptr) return V3_NO_INTERFACE;
        plugin->m_references.fetch_add(1, std::memory_order_relaxed);
        return V3_OK;
    }
    static uint32_t V3_API Ref(void* self) { return Of(self)->m_references.fetch_add(1, std::memory_order_relaxed) + 1; }
    static uint32_t V3_API Unref(void* self) {
        Plugin* plugin = Of(self);
        const uint32_t left = plugin->m_references.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete plugin;
        return left;
    }

    // ---- the plug-in's life (component and controller alike) --------------------------------------------------

    static v3_result V3_API Initialize(void* self, v3_funknown**) {
        Plugin* plugin = Of(self);
        const PluginFacts& facts = plugin->m_facts;
        if (facts.ports.empty() || facts.inputs.size() != IN_CHANNELS || facts.outputs.size() != OUT_CHANNELS ||
            plugin->m_readings != READINGS) {
            return V3_INTERNAL_ERR;
        }
        if (plugin->m_queue == nullptr) {
            try {
                plugin->m_queue = std::make_unique<er_plugin::ThreadWorkQueue>(&WorkOn, plugin);
            } catch (...) {
                // No thread to be had: the core runs without a worker (a line change waits for the next activation).
            }
        }
        return V3_OK;
    }
    static v3_result V3_API Terminate(void* self) {
        Plugin* plugin = Of(self);
        plugin->Stop();
        plugin->m_core.reset();
        return V3_OK;
    }
    static void WorkOn(void* context, std::uint32_t size, const void* data) noexcept {
        auto* plugin = static_cast<Plugin*>(context);
        if (plugin->m_core != nullptr) plugin->m_core->Work(size, data);
    }

    // ---- component ----------------------------------------------------------------------------------------------

    // The controller is this object: there is no class of its own to make.
    static v3_result V3_API ControllerClassId(void*, v3_tuid) { return V3_NOT_IMPLEMENTED; }
    static v3_result V3_API SetIoMode(void*, int32_t) { return V3_OK; }
    static int32_t V3_API BusCount(void*, int32_t media, int32_t) { return media == V3_AUDIO ? 1 : 0; }
    static v3_result V3_API BusInfo(void* self, int32_t media, int32_t direction, int32_t index, v3_bus_info* info) {
        if (media != V3_AUDIO || index != 0 || info == nullptr) return V3_INVALID_ARG;
        const PluginFacts& facts = Of(self)->m_facts;
        *info = {};
        info->media_type = V3_AUDIO;
        info->direction = direction;
        info->channel_count = static_cast<int32_t>((direction == V3_INPUT ? facts.inputs : facts.outputs).size());
        Widen(direction == V3_INPUT ? "Audio Input" : "Audio Output", info->bus_name, 128);
        info->bus_type = V3_MAIN;
        info->flags = V3_DEFAULT_ACTIVE;
        return V3_OK;
    }
    static v3_result V3_API RoutingInfo(void*, v3_routing_info*, v3_routing_info*) { return V3_NOT_IMPLEMENTED; }
    static v3_result V3_API ActivateBus(void*, int32_t media, int32_t, int32_t index, v3_bool) {
        return media == V3_AUDIO && index == 0 ? V3_OK : V3_INVALID_ARG;
    }

    // Active: the core made at setup_processing starts afresh (its activation allocates: main thread).
    static v3_result V3_API SetActive(void* self, v3_bool state) {
        Plugin* plugin = Of(self);
        if (!state) {
            plugin->Stop();
            return V3_OK;
        }
        if (plugin->m_core == nullptr) return V3_NOT_INITIALIZED;
        if (plugin->m_active) return V3_OK;
        plugin->m_core->Activate();
        plugin->m_untouched = false;
        std::fill(std::begin(plugin->m_reported_bits), std::end(plugin->m_reported_bits), NOT_REPORTED);
        std::fill(std::begin(plugin->m_connected_in), std::end(plugin->m_connected_in), nullptr);
        std::fill(std::begin(plugin->m_connected_out), std::end(plugin->m_connected_out), nullptr);
        plugin->m_active = true;
        return V3_OK;
    }
    // Inactive again: the values the audio thread has not taken yet are taken here, the worker finishes the work
    // it has (on the module objects the core's deactivation frees), then the core stops.
    void Stop() {
        if (!m_active) return;
        m_active = false;
        TakeMail();
        if (m_queue) m_queue->Drain();
        if (m_core != nullptr) m_core->Deactivate();
    }

    // State: the program and every input parameter by symbol (SavedState); a stream that is not such a state, or
    // is cut short, is refused and changes nothing.
    static v3_result V3_API GetState(void* self, v3_bstream** stream) {
        Plugin* plugin = Of(self);
        if (stream == nullptr) return V3_INVALID_ARG;
        try {
            float values[MAX_PORTS];
            for (std::size_t port = 0; port < plugin->m_facts.ports.size(); ++port) {
                values[port] = std::atomic_ref<float>(plugin->m_values[port]).load(std::memory_order_relaxed);
            }
            const std::string bytes =
                SavedState::Write(plugin->m_facts, plugin->m_program.load(std::memory_order_relaxed), values);
            return WriteAll(stream, bytes) ? V3_OK : V3_INTERNAL_ERR;
        } catch (...) {
            return V3_NOMEM;
        }
    }
    static v3_result V3_API SetState(void* self, v3_bstream** stream) {
        Plugin* plugin = Of(self);
        Values values;
        for (std::size_t port = 0; port < plugin->m_facts.ports.size(); ++port) {
            values.values[port] = std::atomic_ref<float>(plugin->m_values[port]).load(std::memory_order_relaxed);
        }
        const v3_result result = plugin->ReadState(stream, values);
        if (result == V3_OK) plugin->Deliver(values);
        return result;
    }
    // A state from the host's stream over `values` (a value the state leaves out stays); `values` is left as it
    // was when the stream is no state.
    v3_result ReadState(v3_bstream** stream, Values& values) noexcept {
        if (stream == nullptr) return V3_INVALID_ARG;
        try {
            const std::optional<std::string> bytes = ReadAll(stream);
            return bytes && SavedState::Read(m_facts, *bytes, values.program, values.values) ? V3_OK : V3_INVALID_ARG;
        } catch (...) {
            return V3_NOMEM;
        }
    }

    // ---- audio processor ----------------------------------------------------------------------------------------

    // One bus each way with the plug-in's channels (mono 1:1, stereo 2:2, the room 1:2), whatever speakers.
    static v3_result V3_API SetBusArrangements(void* self, v3_speaker_arrangement* inputs, int32_t input_count,
                                               v3_speaker_arrangement* outputs, int32_t output_count) {
        const PluginFacts& facts = Of(self)->m_facts;
        const auto channels = [](v3_speaker_arrangement speakers) { return static_cast<std::size_t>(std::popcount(speakers)); };
        const bool ours = input_count == 1 && output_count == 1 && inputs != nullptr && outputs != nullptr &&
                          channels(inputs[0]) == facts.inputs.size() && channels(outputs[0]) == facts.outputs.size();
        return ours ? V3_OK : V3_FALSE;
    }
    static v3_result V3_API BusArrangement(void* self, int32_t direction, int32_t index, v3_speaker_arrangement* speakers) {
        if (index != 0 || speakers == nullptr) return V3_INVALID_ARG;
        const PluginFacts& facts = Of(self)->m_facts;
        const std::size_t channels = (direction == V3_INPUT ? facts.inputs : facts.outputs).size();
        *speakers = channels == 1 ? V3_SPEAKER_M : V3_SPEAKER_L | V3_SPEAKER_R;
        return V3_OK;
    }
    static v3_result V3_API CanProcessSampleSize(void*, int32_t size) { return size == V3_SAMPLE_32 ? V3_OK : V3_FALSE; }
    static uint32_t V3_API Latency(void*) { return 0; }
    // Feedback may ring on: a host must not stop calling while the input is silent.
    static uint32_t V3_API Tail(void*) { return UINT32_MAX; }

    // The core for the rate and the longest block; refused where the core refuses (the rate) or the block is none.
    static v3_result V3_API SetupProcessing(void* self, v3_process_setup* setup) {
        Plugin* plugin = Of(self);
        if (setup == nullptr || setup->symbolic_sample_size != V3_SAMPLE_32 || setup->max_block_size < 1 ||
            plugin->m_active) {
            return V3_FALSE;
        }
        if (plugin->m_queue) plugin->m_queue->Drain();  // the old core's work done before it goes
        plugin->m_core.reset(MakeCore<KIND>(setup->sample_rate, setup->max_block_size, plugin->m_queue.get()));
        if (plugin->m_core == nullptr) return V3_FALSE;
        for (const ParameterFacts& parameter : plugin->m_facts.parameters) {
            plugin->m_core->ConnectPort(static_cast<std::uint32_t>(parameter.port), &plugin->m_values[parameter.port]);
        }
        return V3_OK;
    }
    static v3_result V3_API SetProcessing(void*, v3_bool) { return V3_OK; }

    static v3_result V3_API Process(void* self, v3_process_data* data) { return Of(self)->Run(data); }

    // The call cut at each point's sample offset, so that a change is heard from the sample it was meant for.
    v3_result Run(v3_process_data* data) noexcept {
        if (!m_active || data == nullptr) return V3_NOT_INITIALIZED;
        if (data->symbolic_sample_size != V3_SAMPLE_32) return V3_INVALID_ARG;
        if (m_mail.load(std::memory_order_acquire) == READY) TakeMail();
        v3_param_changes** changes = data->input_params;
        const int32_t queues = changes != nullptr ? v3_cpp_obj(changes)->get_param_count(changes) : 0;
        // The usual call: no change, one bus each way holding every channel. It costs little more than the core's
        // run, which matters at short blocks of a cheap job.
        if (queues <= 0 && data->nframes > 0 && data->num_input_buses == 1 && data->num_output_buses == 1 &&
            data->inputs[0].num_channels == static_cast<int32_t>(IN_CHANNELS) &&
            data->outputs[0].num_channels == static_cast<int32_t>(OUT_CHANNELS) &&
            data->inputs[0].channel_buffers_32 != nullptr && data->outputs[0].channel_buffers_32 != nullptr) {
            float* const* in = data->inputs[0].channel_buffers_32;
            float* const* out = data->outputs[0].channel_buffers_32;
            for (uint32_t c = 0; c < IN_CHANNELS; ++c) Connect(m_in_ports[c], in[c], m_connected_in[c]);
            for (uint32_t c = 0; c < OUT_CHANNELS; ++c) Connect(m_out_ports[c], out[c], m_connected_out[c]);
            RunCore(static_cast<uint32_t>(data->nframes));
            ReportReadings(data->output_params);
            return V3_OK;
        }
        return RunCut(*data, changes, queues, static_cast<uint32_t>(std::max(data->nframes, 0)));
    }

    // Any other call: the buses' channels gathered, the call cut at the points' offsets. Kept out of the usual
    // call's way (its cursors alone would cost that call more than the rest of it).
    [[gnu::noinline]] v3_result RunCut(v3_process_data& data, v3_param_changes** changes, int32_t queues,
                                       uint32_t frames) noexcept {
        // No audio (a call of 0 samples flushes parameters): the points are taken, nothing runs.
        const bool audio = frames > 0 && ConnectAudio(data);
        if (frames > 0 && !audio) return V3_INVALID_ARG;
        // Each queue's points in offset order (the interface's promise); the queues merged by offset.
        int32_t next[MAX_QUEUES] = {};
        const int32_t used = std::min<int32_t>(std::max(queues, 0), MAX_QUEUES);
        uint32_t done = 0;
        for (;;) {
            int32_t at = INT32_MAX;
            for (int32_t q = 0; q < used; ++q) {
                v3_param_value_queue** queue = v3_cpp_obj(changes)->get_param_data(changes, q);
                if (queue == nullptr || next[q] >= v3_cpp_obj(queue)->get_point_count(queue)) continue;
                int32_t offset = 0;
                double value = 0.0;
                if (v3_cpp_obj(queue)->get_point(queue, next[q], &offset, &value) != V3_OK) {
                    next[q] = INT32_MAX;
                    continue;
                }
                at = std::min(at, std::max(offset, 0));
            }
            if (at == INT32_MAX) break;
            const uint32_t frame = std::min(static_cast<uint32_t>(at), frames);
            if (audio && frame > done) {
                RunCore(done, frame - done);
                done = frame;
            }
            for (int32_t q = 0; q < used; ++q) {
                v3_param_value_queue** queue = v3_cpp_obj(changes)->get_param_data(changes, q);
                if (queue == nullptr) continue;
                const v3_param_id id = v3_cpp_obj(queue)->get_param_id(queue);
                const int32_t count = v3_cpp_obj(queue)->get_point_count(queue);
                for (; next[q] < count; ++next[q]) {
                    int32_t offset = 0;
                    double value = 0.0;
                    if (v3_cpp_obj(queue)->get_point(queue, next[q], &offset, &value) != V3_OK) break;
                    if (std::max(offset, 0) != at) break;
                    Take(id, value);
                }
            }
        }
        if (audio && frames > done) RunCore(done, frames - done);
        ReportReadings(data.output_params);
        return V3_OK;
    }

    // The core's audio ports on the host's buffers, channel by channel across the host's buses.
    bool ConnectAudio(const v3_process_data& data) noexcept {
        return ConnectSide(data.inputs, data.num_input_buses, IN_CHANNELS, m_in) &&
               ConnectSide(data.outputs, data.num_output_buses, OUT_CHANNELS, m_out);
    }
    static bool ConnectSide(const v3_audio_bus_buffers* buses, int32_t count, uint32_t wanted, float** channels) noexcept {
        uint32_t channel = 0;
        for (int32_t b = 0; buses != nullptr && b < count && channel < wanted; ++b) {
            if (buses[b].num_channels <= 0) continue;
            if (buses[b].channel_buffers_32 == nullptr) return false;
            for (int32_t c = 0; c < buses[b].num_channels && channel < wanted; ++c) {
                channels[channel++] = buses[b].channel_buffers_32[c];
            }
        }
        return channel == wanted;
    }
    // The core's audio ports connected again only where a buffer moved: most hosts hand the same ones every call.
    void RunCore(uint32_t from, uint32_t frames) noexcept {
        for (uint32_t c = 0; c < IN_CHANNELS; ++c) Connect(m_in_ports[c], m_in[c] + from, m_connected_in[c]);
        for (uint32_t c = 0; c < OUT_CHANNELS; ++c) Connect(m_out_ports[c], m_out[c] + from, m_connected_out[c]);
        RunCore(frames);
    }
    // The core's run; while no control was written since the last one, without its look at the controls (the
    // processor's values change only through points, the mailbox and, inactive, the controller).
    void RunCore(uint32_t frames) noexcept { er_daw::RunCore(*m_core, m_untouched, frames); }
    void Connect(std::int32_t port, float* buffer, float*& connected) noexcept {
        if (buffer != connected) [[unlikely]] Reconnect(port, buffer, connected);
    }
    [[gnu::noinline]] void Reconnect(std::int32_t port, float* buffer, float*& connected) noexcept {
        m_core->ConnectPort(static_cast<std::uint32_t>(port), buffer);
        connected = buffer;
    }

    // A point (audio thread): the value as the core takes it (a value it ignores leaves the last one); a program
    // sets every value it holds.
    void Take(v3_param_id id, double normalised) noexcept {
        if (id == PROGRAM_ID) {
            const std::int32_t program = ProgramOf(normalised, m_facts.programs.size());
            if (static_cast<std::size_t>(program) >= m_facts.programs.size()) return;
            for (const auto& [port, value] : m_facts.programs[static_cast<std::size_t>(program)].values) {
                std::atomic_ref<float>(m_values[port]).store(value, std::memory_order_relaxed);
            }
            m_program.store(program, std::memory_order_relaxed);
            m_untouched = false;
            return;
        }
        const std::size_t index = id - FIRST_CONTROL_ID;
        if (id < FIRST_CONTROL_ID || index >= m_facts.parameters.size() || m_facts.parameters[index].output) return;
        const ParameterFacts& parameter = m_facts.parameters[index];
        const auto value = TakenValue(m_facts, parameter.port, static_cast<float>(Plain(parameter, normalised)));
        if (!value) return;
        std::atomic_ref<float>(m_values[parameter.port]).store(*value, std::memory_order_relaxed);
        m_untouched = false;
    }

    // The readings (the delay played) go to the host as output points when they change.
    void ReportReadings(v3_param_changes** out) noexcept {
        for (std::size_t r = 0; r < READINGS; ++r) {
            const float value = m_values[m_reading_ports[r]];
            std::uint32_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            if (bits != m_reported_bits[r]) [[unlikely]] Report(out, r, value, bits);
        }
    }
    [[gnu::noinline]] void Report(v3_param_changes** out, std::size_t r, float value, std::uint32_t bits) noexcept {
        if (out == nullptr) return;
        v3_param_id id = m_reading_ids[r];
        int32_t index = 0;
        v3_param_value_queue** queue = v3_cpp_obj(out)->add_param_data(out, &id, &index);
        if (queue == nullptr) return;
        const double normalised = Normalised(m_facts.parameters[id - FIRST_CONTROL_ID], value);
        if (v3_cpp_obj(queue)->add_point(queue, 0, normalised, &index) == V3_OK) m_reported_bits[r] = bits;
    }

    // ---- the mailbox: values for the audio thread from the main thread, while active ----------------------------

    // What the processor is to play: at once while inactive, else at the start of the next process call. The
    // controller shows it from now.
    void Deliver(const Values& values) noexcept {
        std::copy(std::begin(values.values), std::end(values.values), m_shown);
        m_shown_program = values.program;
        if (!m_active) {
            Apply(values);
            return;
        }
        // The audio thread only holds the mailbox for a copy of a few hundred bytes.
        for (;;) {
            std::uint32_t expected = FREE;
            if (m_mail.compare_exchange_weak(expected, WRITING, std::memory_order_acquire)) break;
            expected = READY;
            if (m_mail.compare_exchange_weak(expected, WRITING, std::memory_order_acquire)) break;
            std::this_thread::yield();
        }
        m_letter = values;
        m_mail.store(READY, std::memory_order_release);
    }
    void TakeMail() noexcept {
        std::uint32_t expected = READY;
        if (!m_mail.compare_exchange_strong(expected, READING, std::memory_order_acquire)) return;
        Apply(m_letter);
        m_mail.store(FREE, std::memory_order_release);
    }
    void Apply(const Values& values) noexcept {
        for (const ParameterFacts& parameter : m_facts.parameters) {
            if (parameter.output) continue;
            std::atomic_ref<float>(m_values[parameter.port]).store(values.values[parameter.port], std::memory_order_relaxed);
        }
        m_program.store(values.program, std::memory_order_relaxed);
        m_untouched = false;
    }

    // ---- edit controller ----------------------------------------------------------------------------------------

    const ParameterFacts* ById(v3_param_id id) const {
        const std::size_t index = id - FIRST_CONTROL_ID;
        return id >= FIRST_CONTROL_ID && index < m_facts.parameters.size() ? &m_facts.parameters[index] : nullptr;
    }

    static v3_result V3_API SetComponentState(void* self, v3_bstream** stream) {
        Plugin* plugin = Of(self);
        Values values;
        values.program = plugin->m_shown_program;
        std::copy(std::begin(plugin->m_shown), std::end(plugin->m_shown), values.values);
        const v3_result result = plugin->ReadState(stream, values);
        if (result != V3_OK) return result;
        std::copy(std::begin(values.values), std::end(values.values), plugin->m_shown);
        plugin->m_shown_program = values.program;
        return V3_OK;
    }
    // The controller has no state of its own: everything is the component's.
    static v3_result V3_API SetControllerState(void*, v3_bstream**) { return V3_OK; }
    static v3_result V3_API GetControllerState(void*, v3_bstream**) { return V3_OK; }

    static int32_t V3_API ParameterCount(void* self) {
        return static_cast<int32_t>(Of(self)->m_facts.parameters.size() + FIRST_CONTROL_ID);
    }
    static v3_result V3_API ParameterInfo(void* self, int32_t index, v3_param_info* info) {
        const PluginFacts& facts = Of(self)->m_facts;
        if (info == nullptr || index < 0 || static_cast<std::size_t>(index) >= facts.parameters.size() + FIRST_CONTROL_ID) {
            return V3_INVALID_ARG;
        }
        *info = {};
        info->param_id = static_cast<v3_param_id>(index);
        info->unit_id = ROOT_UNIT;
        if (info->param_id == PROGRAM_ID) {
            Widen("Current Program", info->title, 128);
            Widen("Program", info->short_title, 128);
            info->step_count = static_cast<int32_t>(facts.programs.size()) - 1;
            info->flags = V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_LIST | V3_PARAM_IS_HIDDEN | V3_PARAM_PROGRAM_CHANGE;
            return V3_OK;
        }
        const ParameterFacts& parameter = facts.parameters[static_cast<std::size_t>(index) - FIRST_CONTROL_ID];
        Widen(parameter.name.c_str(), info->title, 128);
        Widen(parameter.unit.c_str(), info->units, 128);
        info->step_count = parameter.integer ? static_cast<int32_t>(parameter.maximum - parameter.minimum) : 0;
        info->default_normalised_value = Normalised(parameter, parameter.default_value);
        info->flags = parameter.output            ? V3_PARAM_READ_ONLY
                      : parameter.entries.empty() ? V3_PARAM_CAN_AUTOMATE
                                                  : V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_LIST;
        return V3_OK;
    }
    static v3_result V3_API StringForValue(void* self, v3_param_id id, double normalised, v3_str_128 text) {
        Plugin* plugin = Of(self);
        if (text == nullptr) return V3_INVALID_ARG;
        if (id == PROGRAM_ID) {
            const auto program = static_cast<std::size_t>(ProgramOf(normalised, plugin->m_facts.programs.size()));
            if (program >= plugin->m_facts.programs.size()) return V3_INVALID_ARG;
            Widen(plugin->m_facts.programs[program].name.c_str(), text, 128);
            return V3_OK;
        }
        const ParameterFacts* parameter = plugin->ById(id);
        char narrow[128];
        if (parameter == nullptr || !ValueText(*parameter, Plain(*parameter, normalised), false, narrow, sizeof narrow)) {
            return V3_INVALID_ARG;
        }
        Widen(narrow, text, 128);
        return V3_OK;
    }
    static v3_result V3_API ValueForString(void* self, v3_param_id id, int16_t* text, double* normalised) {
        Plugin* plugin = Of(self);
        if (text == nullptr || normalised == nullptr) return V3_INVALID_ARG;
        char narrow[129];
        Narrow(text, narrow);
        if (id == PROGRAM_ID) {
            const auto& programs = plugin->m_facts.programs;
            for (std::size_t p = 0; p < programs.size(); ++p) {
                if (programs[p].name != std::string_view(narrow)) continue;
                *normalised = ProgramNormalised(static_cast<std::int32_t>(p), programs.size());
                return V3_OK;
            }
            return V3_INVALID_ARG;
        }
        const ParameterFacts* parameter = plugin->ById(id);
        const std::optional<double> plain = parameter != nullptr ? ValueFromText(*parameter, narrow) : std::nullopt;
        if (!plain) return V3_INVALID_ARG;
        *normalised = Normalised(*parameter, *plain);
        return V3_OK;
    }
    static double V3_API ToPlain(void* self, v3_param_id id, double normalised) {
        Plugin* plugin = Of(self);
        if (id == PROGRAM_ID) return ProgramOf(normalised, plugin->m_facts.programs.size());
        const ParameterFacts* parameter = plugin->ById(id);
        return parameter != nullptr ? Plain(*parameter, normalised) : 0.0;
    }
    static double V3_API ToNormalised(void* self, v3_param_id id, double plain) {
        Plugin* plugin = Of(self);
        if (id == PROGRAM_ID) {
            const auto programs = plugin->m_facts.programs.size();
            return ProgramNormalised(ProgramOf(plain / std::max<double>(static_cast<double>(programs) - 1, 1), programs), programs);
        }
        const ParameterFacts* parameter = plugin->ById(id);
        return parameter != nullptr ? Normalised(*parameter, plain) : 0.0;
    }
    static double V3_API GetNormalised(void* self, v3_param_id id) {
        Plugin* plugin = Of(self);
        if (id == PROGRAM_ID) return ProgramNormalised(plugin->m_shown_program, plugin->m_facts.programs.size());
        const ParameterFacts* parameter = plugin->ById(id);
        return parameter != nullptr ? Normalised(*parameter, plugin->m_shown[parameter->port]) : 0.0;
    }
    // What the controller shows: the value as the core takes it (a value it ignores leaves the last), a reading
    // as the host passes it on. A program chosen here is played too (the host has nothing to send for it), and
    // the host is told that every value may have changed.
    static v3_result V3_API SetNormalised(void* self, v3_param_id id, double normalised) {
        Plugin* plugin = Of(self);
        if (id == PROGRAM_ID) {
            const std::int32_t program = ProgramOf(normalised, plugin->m_facts.programs.size());
            if (static_cast<std::size_t>(program) >= plugin->m_facts.programs.size()) return V3_INVALID_ARG;
            Values values;
            values.program = program;
            std::copy(std::begin(plugin->m_shown), std::end(plugin->m_shown), values.values);
            for (const auto& [port, value] : plugin->m_facts.programs[static_cast<std::size_t>(program)].values) {
                values.values[port] = value;
            }
            plugin->Deliver(values);
            if (plugin->m_handler != nullptr) {
                v3_cpp_obj(plugin->m_handler)->restart_component(plugin->m_handler, V3_RESTART_PARAM_VALUES_CHANGED);
            }
            return V3_OK;
        }
        const ParameterFacts* parameter = plugin->ById(id);
        if (parameter == nullptr) return V3_INVALID_ARG;
        const float plain = static_cast<float>(Plain(*parameter, normalised));
        const std::optional<float> shown =
            parameter->output ? std::optional<float>(plain) : TakenValue(plugin->m_facts, parameter->port, plain);
        if (!shown) return V3_OK;
        plugin->m_shown[parameter->port] = *shown;
        // Inactive, no process call can carry it yet: the processor takes it now, and its first block starts from it.
        if (!plugin->m_active && !parameter->output) {
            plugin->m_values[parameter->port] = *shown;
            plugin->m_untouched = false;
        }
        return V3_OK;
    }
    static v3_result V3_API SetComponentHandler(void* self, v3_component_handler** handler) {
        Plugin* plugin = Of(self);
        if (handler != nullptr) v3_cpp_obj_ref(handler);
        if (plugin->m_handler != nullptr) v3_cpp_obj_unref(plugin->m_handler);
        plugin->m_handler = handler;
        return V3_OK;
    }
    static v3_plugin_view** V3_API CreateView(void*, const char*) { return nullptr; }

    // ---- unit information: one unit, with the program list ----------------------------------------------------

    static int32_t V3_API UnitCount(void*) { return 1; }
    static v3_result V3_API UnitInfo(void*, int32_t index, v3_unit_info* info) {
        if (index != 0 || info == nullptr) return V3_INVALID_ARG;
        *info = {};
        info->id = ROOT_UNIT;
        info->parent_unit_id = -1;
        Widen("Root", info->name, 128);
        info->program_list_id = PROGRAM_LIST;
        return V3_OK;
    }
    static int32_t V3_API ProgramListCount(void*) { return 1; }
    static v3_result V3_API ProgramListInfo(void* self, int32_t index, v3_program_list_info* info) {
        if (index != 0 || info == nullptr) return V3_INVALID_ARG;
        *info = {};
        info->id = PROGRAM_LIST;
        Widen("Programs", info->name, 128);
        info->programCount = static_cast<int32_t>(Of(self)->m_facts.programs.size());
        return V3_OK;
    }
    static v3_result V3_API ProgramName(void* self, int32_t list, int32_t index, v3_str_128 name) {
        const auto& programs = Of(self)->m_facts.programs;
        if (list != PROGRAM_LIST || index < 0 || static_cast<std::size_t>(index) >= programs.size() || name == nullptr) {
            return V3_INVALID_ARG;
        }
        Widen(programs[static_cast<std::size_t>(index)].name.c_str(), name, 128);
        return V3_OK;
    }
    static v3_result V3_API ProgramInfo(void*, int32_t, int32_t, const char*, v3_str_128) { return V3_NOT_IMPLEMENTED; }
    static v3_result V3_API HasPitchNames(void*, int32_t, int32_t) { return V3_FALSE; }
    static v3_result V3_API PitchName(void*, int32_t, int32_t, int16_t, v3_str_128) { return V3_NOT_IMPLEMENTED; }
    static int32_t V3_API SelectedUnit(void*) { return ROOT_UNIT; }
    static v3_result V3_API SelectUnit(void*, int32_t unit) { return unit == ROOT_UNIT ? V3_OK : V3_INVALID_ARG; }
    static v3_result V3_API UnitByBus(void*, int32_t, int32_t, int32_t, int32_t, int32_t* unit) {
        if (unit == nullptr) return V3_INVALID_ARG;
        *unit = ROOT_UNIT;
        return V3_OK;
    }
    static v3_result V3_API SetProgramData(void*, int32_t, int32_t, v3_bstream**) { return V3_NOT_IMPLEMENTED; }

    // ---- the faces' tables ------------------------------------------------------------------------------------

    struct ComponentTable {
        v3_funknown unknown;
        v3_plugin_base base;
        v3_component component;
    };
    struct ProcessorTable {
        v3_funknown unknown;
        v3_audio_processor processor;
    };
    struct ControllerTable {
        v3_funknown unknown;
        v3_plugin_base base;
        v3_edit_controller controller;
    };
    struct UnitTable {
        v3_funknown unknown;
        v3_unit_information units;
    };
    static constexpr v3_funknown UNKNOWN = {&Query, &Ref, &Unref};
    static constexpr v3_plugin_base BASE = {&Initialize, &Terminate};
    static constexpr ComponentTable COMPONENT = {
        UNKNOWN, BASE,
        {&ControllerClassId, &SetIoMode, &BusCount, &BusInfo, &RoutingInfo, &ActivateBus, &SetActive, &SetState, &GetState}};
    static constexpr ProcessorTable PROCESSOR = {
        UNKNOWN,
        {&SetBusArrangements, &BusArrangement, &CanProcessSampleSize, &Latency, &SetupProcessing, &SetProcessing, &Process,
         &Tail}};
    static constexpr ControllerTable CONTROLLER = {
        UNKNOWN, BASE,
        {&SetComponentState, &SetControllerState, &GetControllerState, &ParameterCount, &ParameterInfo, &StringForValue,
         &ValueForString, &ToPlain, &ToNormalised, &GetNormalised, &SetNormalised, &SetComponentHandler, &CreateView}};
    static constexpr UnitTable UNITS = {
        UNKNOWN,
        {&UnitCount, &UnitInfo, &ProgramListCount, &ProgramListInfo, &ProgramName, &ProgramInfo, &HasPitchNames,
         &PitchName, &SelectedUnit, &SelectUnit, &UnitByBus, &SetProgramData}};

    Face m_component{&COMPONENT, this};
    Face m_processor{&PROCESSOR, this};
    Face m_controller{&CONTROLLER, this};
    Face m_units{&UNITS, this};
    std::atomic<std::uint32_t> m_references{1};

    const PluginFacts& m_facts;
    // The processor's side: one value per port (the controls the core reads, the readings it writes; written by
    // the audio thread while active, read by the main thread for the state) and the program last chosen.
    float m_values[MAX_PORTS] = {};
    std::atomic<std::int32_t> m_program{0};
    // The controller's side (main thread): what it shows.
    float m_shown[MAX_PORTS] = {};
    std::int32_t m_shown_program = 0;
    v3_component_handler** m_handler = nullptr;
    // The mailbox: FREE, WRITING (main thread), READY, READING (audio thread).
    static constexpr std::uint32_t FREE = 0, WRITING = 1, READY = 2, READING = 3;
    std::atomic<std::uint32_t> m_mail{FREE};
    Values m_letter;
    bool m_active = false;  // main thread: between set_active(true) and set_active(false)
    bool m_untouched = false;  // no control written since the core's last run
    // The core's audio ports, by channel; this call's channels; what the ports are connected to now.
    static constexpr uint32_t MAX_CHANNELS = 2;
    static constexpr int32_t MAX_QUEUES = static_cast<int32_t>(MAX_PORTS) + 1;
    std::int32_t m_in_ports[MAX_CHANNELS] = {}, m_out_ports[MAX_CHANNELS] = {};
    float* m_in[MAX_CHANNELS] = {};
    float* m_out[MAX_CHANNELS] = {};
    float* m_connected_in[MAX_CHANNELS] = {};
    float* m_connected_out[MAX_CHANNELS] = {};
    // The read-only parameters (the delay played): their ids, ports, and the bits last sent to the host.
    static constexpr std::size_t READINGS = ReadingCount(KIND);
    static constexpr std::uint32_t NOT_REPORTED = 0xFFFFFFFFu;  // a NaN no reading ever is
    v3_param_id m_reading_ids[std::max<std::size_t>(READINGS, 1)] = {};
    std::int32_t m_reading_ports[std::max<std::size_t>(READINGS, 1)] = {};
    std::uint32_t m_reported_bits[std::max<std::size_t>(READINGS, 1)] = {};
    std::size_t m_readings = 0;  // found in the facts: READINGS, or the plug-in refuses to start
    std::unique_ptr<Core> m_core;  // from setup_processing; started by set_active
    std::unique_ptr<er_plugin::ThreadWorkQueue> m_queue;  // declared last: stopped before the core goes
};

// ---- factory ----------------------------------------------------------------------------------------------------

struct Factory {
    struct Table {
        v3_funknown unknown;
        v3_plugin_factory v1;
        v3_plugin_factory_2 v2;
        v3_plugin_factory_3 v3;
    };
    const Table* table;

    // The factory lives as long as the binary: its references are not counted.
    static v3_result V3_API Query(void* self, const v3_tuid iid, void** object) {
        const bool ours = v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_factory_iid) ||
                          v3_tuid_match(iid, v3_plugin_factory_2_iid) || v3_tuid_match(iid, v3_plugin_factory_3_iid);
        if (object != nullptr) *object = ours ? self : nullptr;
        return ours ? V3_OK : V3_NO_INTERFACE;
    }
    static uint32_t V3_API Kept(void*) { return 1; }

    static v3_result V3_API Info(void*, v3_factory_info* info) {
        if (info == nullptr) return V3_INVALID_ARG;
        *info = {};
        Copy(VENDOR, info->vendor, sizeof info->vendor);
        info->flags = 0x10;  // texts in UTF-16
        return V3_OK;
    }
    static int32_t V3_API Count(void*) { return 1; }
    template <class Info>
    static void Common(Info& info) {
        info = {};
        std::memcpy(info.class_id, CLASS_ID, sizeof(v3_tuid));
        info.cardinality = 0x7FFFFFFF;
        Copy("Audio Module Class", info.category, sizeof info.category);
    }
    static v3_result V3_API ClassInfo(void*, int32_t index, v3_class_info* info) {
        if (index != 0 || info == nullptr) return V3_INVALID_ARG;
        Common(*info);
        Copy(Facts().name.c_str(), info->name, sizeof info->name);
        return V3_OK;
    }
    static v3_result V3_API ClassInfo2(void*, int32_t index, v3_class_info_2* info) {
        if (index != 0 || info == nullptr) return V3_INVALID_ARG;
        Common(*info);
        Copy(Facts().name.c_str(), info->name, sizeof info->name);
        info->class_flags = V3_DISTRIBUTABLE;
        Copy(IDENTITY.vst3_categories, info->sub_categories, sizeof info->sub_categories);
        Copy(VENDOR, info->vendor, sizeof info->vendor);
        Copy(VERSION, info->version, sizeof info->version);
        Copy("VST 3.7.4", info->sdk_version, sizeof info->sdk_version);
        return V3_OK;
    }
    static v3_result V3_API ClassInfo3(void*, int32_t index, v3_class_info_3* info) {
        if (index != 0 || info == nullptr) return V3_INVALID_ARG;
        Common(*info);
        Widen(Facts().name.c_str(), info->name, std::size(info->name));
        info->class_flags = V3_DISTRIBUTABLE;
        Copy(IDENTITY.vst3_categories, info->sub_categories, sizeof info->sub_categories);
        Widen(VENDOR, info->vendor, std::size(info->vendor));
        Widen(VERSION, info->version, std::size(info->version));
        Widen("VST 3.7.4", info->sdk_version, std::size(info->sdk_version));
        return V3_OK;
    }
    // An instance, asked for by any of its interfaces.
    static v3_result V3_API Create(void*, const v3_tuid class_id, const v3_tuid iid, void** instance) {
        if (instance == nullptr) return V3_INVALID_ARG;
        *instance = nullptr;
        if (!v3_tuid_match(class_id, CLASS_ID) || Facts().ports.empty()) return V3_NO_INTERFACE;
        auto* plugin = new (std::nothrow) Plugin();
        if (plugin == nullptr) return V3_NOMEM;
        return plugin->Open(iid, instance);
    }
    static v3_result V3_API SetHostContext(void*, v3_funknown**) { return V3_OK; }

    static constexpr Table TABLE = {{&Query, &Kept, &Kept},
                                    {&Info, &Count, &ClassInfo, &Create},
                                    {&ClassInfo2},
                                    {&ClassInfo3, &SetHostContext}};
};
Factory FACTORY{&Factory::TABLE};

}  // namespace
}  // namespace er_daw

// ---- the module's entry points ----------------------------------------------------------------------------------

ER_VST3_EXPORT const void* GetPluginFactory() { return &er_daw::FACTORY; }

// What a host calls after loading the binary and before unloading it: nothing to do here (the facts are worked out
// when first asked for).
#if defined(_WIN32)
ER_VST3_EXPORT bool InitDll() { return true; }
ER_VST3_EXPORT bool ExitDll() { return true; }
#else
ER_VST3_EXPORT bool ModuleEntry(void*) { return true; }
ER_VST3_EXPORT bool ModuleExit() { return true; }
#endif
