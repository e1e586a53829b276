// The CLAP side of the host: clap_entry, the plug-in factory, and per instance the params, state and audio-ports
// extensions. Parameter changes travel as CLAP_EVENT_PARAM_VALUE events in the process call's input list (inactive:
// through params.flush); values are plain.
#include <algorithm>
#include <cstring>

#include "PluginHost.h"
#include "SharedLibrary.h"
#include "clap/entry.h"
#include "clap/ext/audio-ports.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/plugin-factory.h"

namespace er_daw_host {
namespace {

// The events of one call, sorted by frame as CLAP requires.
struct InputEvents {
    std::vector<clap_event_param_value_t> events;
    clap_input_events_t list{this, &Size, &Get};

    static uint32_t CLAP_ABI Size(const clap_input_events_t* list) {
        return static_cast<uint32_t>(static_cast<const InputEvents*>(list->ctx)->events.size());
    }
    static const clap_event_header_t* CLAP_ABI Get(const clap_input_events_t* list, uint32_t index) {
        const auto& events = static_cast<const InputEvents*>(list->ctx)->events;
        return index < events.size() ? &events[index].header : nullptr;
    }
    void Add(std::uint32_t frame, clap_id id, double value) {
        clap_event_param_value_t event{};
        event.header = {sizeof event, frame, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        event.param_id = id;
        event.note_id = -1;
        event.port_index = event.channel = event.key = -1;
        event.value = value;
        events.push_back(event);
    }
    void Sort() {
        if (events.size() > 1) std::stable_sort(events.begin(), events.end(),
                         [](const auto& a, const auto& b) { return a.header.time < b.header.time; });
    }
};

// What the plug-in sends back (its readings): the parameter values, into the instance's list.
struct OutputEvents {
    std::vector<ParameterEvent>* sent = nullptr;
    clap_output_events_t list{this, &TryPush};
    static bool CLAP_ABI TryPush(const clap_output_events_t* list, const clap_event_header_t* header) {
        auto* self = static_cast<OutputEvents*>(list->ctx);
        if (self->sent != nullptr && header->space_id == CLAP_CORE_EVENT_SPACE_ID && header->type == CLAP_EVENT_PARAM_VALUE) {
            const auto* event = reinterpret_cast<const clap_event_param_value_t*>(header);
            self->sent->push_back({header->time, event->param_id, event->value});
        }
        return true;
    }
};

struct OutputStream {
    std::vector<std::uint8_t> bytes;
    clap_ostream_t stream{this, &Write};
    static int64_t CLAP_ABI Write(const clap_ostream_t* stream, const void* buffer, uint64_t size) {
        auto& bytes = static_cast<OutputStream*>(stream->ctx)->bytes;
        const auto* data = static_cast<const std::uint8_t*>(buffer);
        bytes.insert(bytes.end(), data, data + size);
        return static_cast<int64_t>(size);
    }
};

// Hands the state back in pieces of at most 100 bytes, as a host reading from a file might: a plug-in must not
// assume one read gives everything.
struct InputStream {
    std::span<const std::uint8_t> bytes;
    std::size_t at = 0;
    clap_istream_t stream{this, &Read};
    static int64_t CLAP_ABI Read(const clap_istream_t* stream, void* buffer, uint64_t size) {
        auto* self = static_cast<InputStream*>(stream->ctx);
        const std::size_t count = std::min<std::size_t>({size, self->bytes.size() - self->at, 100});
        if (count > 0) std::memcpy(buffer, self->bytes.data() + self->at, count);  // an empty state has no bytes at all
        self->at += count;
        return static_cast<int64_t>(count);
    }
};

class ClapInstance final : public Instance {
public:
    ClapInstance() {
        m_host.clap_version = CLAP_VERSION;
        m_host.host_data = this;
        m_host.name = "er-daw-host";
        m_host.vendor = "early_reflection tests";
        m_host.url = "";
        m_host.version = "1";
        m_host.get_extension = [](const clap_host_t*, const char*) -> const void* { return nullptr; };
        m_host.request_restart = [](const clap_host_t*) {};
        m_host.request_process = [](const clap_host_t*) {};
        m_host.request_callback = [](const clap_host_t*) {};
    }
    ~ClapInstance() override {
        if (m_plugin == nullptr) return;
        Deactivate();
        m_plugin->destroy(m_plugin);
    }

    bool Open(const clap_plugin_factory_t* factory, const std::string& id, std::string& error) {
        m_plugin = factory->create_plugin(factory, &m_host, id.c_str());
        if (m_plugin == nullptr) {
            error = "the factory makes no plug-in " + id;
            return false;
        }
        if (!m_plugin->init(m_plugin)) {
            m_plugin->destroy(m_plugin);
            m_plugin = nullptr;
            error = "plug-in " + id + " refuses init";
            return false;
        }
        m_params = static_cast<const clap_plugin_params_t*>(m_plugin->get_extension(m_plugin, CLAP_EXT_PARAMS));
        m_state = static_cast<const clap_plugin_state_t*>(m_plugin->get_extension(m_plugin, CLAP_EXT_STATE));
        m_ports =
            static_cast<const clap_plugin_audio_ports_t*>(m_plugin->get_extension(m_plugin, CLAP_EXT_AUDIO_PORTS));
        if (m_params == nullptr || m_ports == nullptr) {
            error = "plug-in " + id + " lacks params or audio-ports";
            return false;
        }
        for (std::uint32_t i = 0, count = m_params->count(m_plugin); i < count; ++i) {
            clap_param_info_t info{};
            if (!m_params->get_info(m_plugin, i, &info)) continue;
            Parameter parameter;
            parameter.id = info.id;
            parameter.name = info.name;
            const std::string module = info.module;
            parameter.symbol = module.substr(module.find_last_of('/') + 1);
            parameter.minimum = info.min_value;
            parameter.maximum = info.max_value;
            parameter.default_value = info.default_value;
            parameter.stepped = (info.flags & CLAP_PARAM_IS_STEPPED) != 0;
            parameter.read_only = (info.flags & CLAP_PARAM_IS_READONLY) != 0;
            parameter.hidden = (info.flags & CLAP_PARAM_IS_HIDDEN) != 0;
            m_parameters.push_back(parameter);
        }
        for (const bool input : {true, false}) {
            auto& ports = input ? m_inputs : m_outputs;
            for (std::uint32_t i = 0, count = m_ports->count(m_plugin, input); i < count; ++i) {
                clap_audio_port_info_t info{};
                if (m_ports->get(m_plugin, i, input, &info)) ports.push_back(info.channel_count);
            }
        }
        return true;
    }

    Format GetFormat() const override { return Format::Clap; }
    const std::vector<Parameter>& Parameters() const override { return m_parameters; }
    std::uint32_t InputChannels() const override { return Channels(m_inputs); }
    std::uint32_t OutputChannels() const override { return Channels(m_outputs); }

    bool Activate(double rate, std::uint32_t max_block) override {
        if (m_active) return Fail("already active");
        if (!m_plugin->activate(m_plugin, rate, 1, max_block)) return Fail("activate refused");
        if (!m_plugin->start_processing(m_plugin)) {
            m_plugin->deactivate(m_plugin);
            return Fail("start_processing refused");
        }
        m_active = true;
        return true;
    }
    void Deactivate() override {
        if (!m_active) return;
        m_plugin->stop_processing(m_plugin);
        m_plugin->deactivate(m_plugin);
        m_active = false;
    }
    bool Active() const override { return m_active; }

    bool Set(std::uint32_t id, double value) override {
        if (m_active) {
            m_pending.push_back({0, id, value});
            return true;
        }
        InputEvents in;
        in.Add(0, id, value);
        OutputEvents out;
        m_params->flush(m_plugin, &in.list, &out.list);
        return true;
    }

    // Allocation-free once the first call has sized the buffers' records, so that a benchmark measures the plug-in.
    bool Process(const float* const* in, float* const* out, std::uint32_t frames,
                 std::span<const ParameterEvent> events) override {
        if (!m_active) return Fail("process while inactive");
        m_events.events.clear();
        for (const ParameterEvent& event : m_pending) m_events.Add(event.frame, event.id, event.value);
        for (const ParameterEvent& event : events) m_events.Add(event.frame, event.id, event.value);
        m_events.Sort();
        m_pending.clear();
        Buffers(m_inputs, const_cast<float* const*>(in), m_input_buffers);
        Buffers(m_outputs, out, m_output_buffers);
        clap_process_t& process = m_process;
        process = {};
        process.steady_time = m_steady_time;
        process.frames_count = frames;
        process.audio_inputs = m_input_buffers.data();
        process.audio_outputs = m_output_buffers.data();
        process.audio_inputs_count = static_cast<uint32_t>(m_input_buffers.size());
        process.audio_outputs_count = static_cast<uint32_t>(m_output_buffers.size());
        process.in_events = &m_events.list;
        m_sent.clear();
        m_output_events.sent = &m_sent;
        process.out_events = &m_output_events.list;
        const clap_process_status status = m_plugin->process(m_plugin, &process);
        m_steady_time += frames;
        return status == CLAP_PROCESS_ERROR ? Fail("process returned CLAP_PROCESS_ERROR") : true;
    }
    bool Reset() override {
        if (!m_active) return Fail("reset while inactive");
        m_plugin->reset(m_plugin);
        return true;
    }
    bool PrepareRepeat(const float* const* in, float* const* out, std::uint32_t frames) override {
        if (!Process(in, out, frames, {})) return false;
        m_events.events.clear();
        return true;
    }
    void Repeat() override {
        m_process.steady_time = m_steady_time;
        m_plugin->process(m_plugin, &m_process);
        m_steady_time += m_process.frames_count;
    }

    std::optional<double> Get(std::uint32_t id) override {
        double value = 0.0;
        if (!m_params->get_value(m_plugin, id, &value)) return std::nullopt;
        return value;
    }

    std::optional<std::string> TextFor(std::uint32_t id, double value) override {
        char text[256] = {};
        if (!m_params->value_to_text(m_plugin, id, value, text, sizeof text)) return std::nullopt;
        return std::string(text);
    }
    std::optional<double> ValueFor(std::uint32_t id, const std::string& text) override {
        double value = 0.0;
        if (!m_params->text_to_value(m_plugin, id, text.c_str(), &value)) return std::nullopt;
        return value;
    }

    std::optional<std::vector<std::uint8_t>> SaveState() override {
        if (m_state == nullptr) return Fail("no state extension"), std::nullopt;
        OutputStream stream;
        if (!m_state->save(m_plugin, &stream.stream)) return Fail("state save refused"), std::nullopt;
        return std::move(stream.bytes);
    }
    bool LoadState(std::span<const std::uint8_t> state) override {
        if (m_state == nullptr) return Fail("no state extension");
        InputStream stream;
        stream.bytes = state;
        return m_state->load(m_plugin, &stream.stream) ? true : Fail("state load refused");
    }
    bool SelectProgram(std::int32_t) override { return Fail("CLAP has no program selection"); }
    std::vector<std::string> ProgramNames() override { return {}; }

private:
    static std::uint32_t Channels(const std::vector<std::uint32_t>& ports) {
        std::uint32_t total = 0;
        for (const std::uint32_t channels : ports) total += channels;
        return total;
    }
    // One buffer record per port, its channels taken in order from `channels`.
    static void Buffers(const std::vector<std::uint32_t>& ports, float* const* channels,
                        std::vector<clap_audio_buffer_t>& buffers) {
        buffers.resize(ports.size());
        std::uint32_t next = 0;
        for (std::size_t i = 0; i < ports.size(); ++i) {
            buffers[i] = {};
            buffers[i].data32 = const_cast<float**>(channels + next);
            buffers[i].channel_count = ports[i];
            next += ports[i];
        }
    }

    clap_host_t m_host{};
    const clap_plugin_t* m_plugin = nullptr;
    const clap_plugin_params_t* m_params = nullptr;
    const clap_plugin_state_t* m_state = nullptr;
    const clap_plugin_audio_ports_t* m_ports = nullptr;
    std::vector<Parameter> m_parameters;
    std::vector<std::uint32_t> m_inputs, m_outputs;  // channels per port
    std::vector<ParameterEvent> m_pending;
    InputEvents m_events;
    OutputEvents m_output_events;
    std::vector<clap_audio_buffer_t> m_input_buffers, m_output_buffers;
    clap_process_t m_process{};  // the last call, as Repeat hands it again
    std::int64_t m_steady_time = 0;
    bool m_active = false;
};

class ClapBinary final : public Binary {
public:
    ClapBinary(const std::string& path, std::string& error) : m_library(path, error) {
        if (!m_library.IsOpen()) return;
        m_entry = static_cast<const clap_plugin_entry_t*>(m_library.Symbol("clap_entry"));
        if (m_entry == nullptr) {
            error = path + " exports no clap_entry";
            return;
        }
        if (!m_entry->init(path.c_str())) {
            m_entry = nullptr;
            error = path + ": clap_entry.init refused";
            return;
        }
        m_factory = static_cast<const clap_plugin_factory_t*>(m_entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
        if (m_factory == nullptr) error = path + " has no plug-in factory";
    }
    ~ClapBinary() override {
        if (m_entry != nullptr) m_entry->deinit();
    }
    bool Usable() const { return m_factory != nullptr; }

    Format GetFormat() const override { return Format::Clap; }
    std::vector<std::string> Plugins() const override {
        std::vector<std::string> ids;
        for (std::uint32_t i = 0, count = m_factory->get_plugin_count(m_factory); i < count; ++i) {
            if (const clap_plugin_descriptor_t* descriptor = m_factory->get_plugin_descriptor(m_factory, i)) {
                ids.emplace_back(descriptor->id);
            }
        }
        return ids;
    }
    std::unique_ptr<Instance> Create(const std::string& plugin, std::string& error) override {
        auto instance = std::make_unique<ClapInstance>();
        if (!instance->Open(m_factory, plugin, error)) return nullptr;
        return instance;
    }

private:
    SharedLibrary m_library;
    const clap_plugin_entry_t* m_entry = nullptr;
    const clap_plugin_factory_t* m_factory = nullptr;
};

}  // namespace

std::unique_ptr<Binary> LoadClap(const std::string& path, std::string& error) {
    auto binary = std::make_unique<ClapBinary>(path, error);
    if (!binary->Usable()) return nullptr;
    return binary;
}

}  // namespace er_daw_host
