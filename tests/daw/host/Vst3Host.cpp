// The VST3 side of the host, on VST3's interface as plain C ("travesty", as Debian's dpf-source ships it): the
// module's entry (ModuleEntry on Linux, InitDll on Windows), GetPluginFactory, and per instance the component, its
// audio processor and its edit controller (a plug-in without a separate controller answers for it itself). Parameter changes travel as points in
// the process call's parameter changes (normalised); while inactive, through the edit controller. State is the
// component's stream, handed to the controller too (set_component_state), as a host restoring a session does.
//
// The host's own objects (a stream, parameter changes and their queues) are COM-shaped records: a pointer to a
// table of functions first, so that the object's address is the `T**` the interface passes around. They live on the
// host's side for the length of a call, so their reference counts are not kept.
#include <cmath>
#include <cstring>
#include <filesystem>

#include "PluginHost.h"
#include "SharedLibrary.h"
#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"

namespace er_daw_host {
namespace {

constexpr std::size_t NAME_LENGTH = 128;

std::string Narrow(const int16_t* text, std::size_t length) {
    std::string narrow;
    for (std::size_t i = 0; i < length && text[i] != 0; ++i) {
        narrow += text[i] > 0 && text[i] < 128 ? static_cast<char>(text[i]) : '?';
    }
    return narrow;
}

template <class Object>
v3_result V3_API QueryOwn(void* self, const v3_tuid iid, void** object, const v3_tuid& own) {
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, own)) {
        *object = self;
        return V3_OK;
    }
    *object = nullptr;
    return V3_NO_INTERFACE;
}
uint32_t V3_API KeptByHost(void*) { return 1; }

// A state in memory, read back from its start.
struct MemoryStream {
    struct Table {
        v3_funknown unknown;
        v3_bstream stream;
    };
    const Table* table = &TABLE;
    std::vector<std::uint8_t> bytes;
    std::size_t at = 0;

    static MemoryStream* Self(void* self) { return static_cast<MemoryStream*>(self); }
    static v3_result V3_API Read(void* self, void* buffer, int32_t count, int32_t* done) {
        MemoryStream* stream = Self(self);
        const std::size_t n = std::min<std::size_t>(count < 0 ? 0 : count, stream->bytes.size() - stream->at);
        if (n > 0) std::memcpy(buffer, stream->bytes.data() + stream->at, n);  // an empty state has no bytes at all
        stream->at += n;
        if (done != nullptr) *done = static_cast<int32_t>(n);
        return V3_OK;
    }
    static v3_result V3_API Write(void* self, void* buffer, int32_t count, int32_t* done) {
        MemoryStream* stream = Self(self);
        if (count < 0) return V3_INVALID_ARG;
        const auto* data = static_cast<const std::uint8_t*>(buffer);
        stream->bytes.resize(std::max(stream->bytes.size(), stream->at + count));
        if (count > 0) std::memcpy(stream->bytes.data() + stream->at, data, static_cast<std::size_t>(count));
        stream->at += static_cast<std::size_t>(count);
        if (done != nullptr) *done = count;
        return V3_OK;
    }
    static v3_result V3_API Seek(void* self, int64_t position, int32_t mode, int64_t* result) {
        MemoryStream* stream = Self(self);
        const int64_t base = mode == V3_SEEK_SET ? 0
                             : mode == V3_SEEK_CUR ? static_cast<int64_t>(stream->at)
                                                   : static_cast<int64_t>(stream->bytes.size());
        const int64_t to = base + position;
        if (to < 0 || to > static_cast<int64_t>(stream->bytes.size())) return V3_INVALID_ARG;
        stream->at = static_cast<std::size_t>(to);
        if (result != nullptr) *result = to;
        return V3_OK;
    }
    static v3_result V3_API Tell(void* self, int64_t* position) {
        *position = static_cast<int64_t>(Self(self)->at);
        return V3_OK;
    }
    static v3_result V3_API Query(void* self, const v3_tuid iid, void** object) {
        return QueryOwn<MemoryStream>(self, iid, object, v3_bstream_iid);
    }
    static constexpr Table TABLE{{&Query, &KeptByHost, &KeptByHost}, {&Read, &Write, &Seek, &Tell}};
    v3_bstream** Interface() { return reinterpret_cast<v3_bstream**>(this); }
};

// One parameter's points within a block.
struct ParameterQueue {
    struct Table {
        v3_funknown unknown;
        v3_param_value_queue queue;
    };
    const Table* table = &TABLE;
    v3_param_id id = 0;
    std::vector<std::pair<int32_t, double>> points;  // sample offset, normalised value

    static ParameterQueue* Self(void* self) { return static_cast<ParameterQueue*>(self); }
    static v3_param_id V3_API Id(void* self) { return Self(self)->id; }
    static int32_t V3_API Count(void* self) { return static_cast<int32_t>(Self(self)->points.size()); }
    static v3_result V3_API Point(void* self, int32_t index, int32_t* offset, double* value) {
        const auto& points = Self(self)->points;
        if (index < 0 || index >= static_cast<int32_t>(points.size())) return V3_INVALID_ARG;
        *offset = points[index].first;
        *value = points[index].second;
        return V3_OK;
    }
    static v3_result V3_API Add(void* self, int32_t offset, double value, int32_t* index) {
        auto& points = Self(self)->points;
        points.emplace_back(offset, value);
        if (index != nullptr) *index = static_cast<int32_t>(points.size()) - 1;
        return V3_OK;
    }
    static v3_result V3_API Query(void* self, const v3_tuid iid, void** object) {
        return QueryOwn<ParameterQueue>(self, iid, object, v3_param_value_queue_iid);
    }
    static constexpr Table TABLE{{&Query, &KeptByHost, &KeptByHost}, {&Id, &Count, &Point, &Add}};
};

// The changes of one block, a queue per parameter; the plug-in adds its own to the output's.
struct ParameterChanges {
    struct Table {
        v3_funknown unknown;
        v3_param_changes changes;
    };
    const Table* table = &TABLE;
    std::vector<ParameterQueue> queues;

    explicit ParameterChanges(std::size_t room) { queues.reserve(room); }  // queues never move while lent out
    static ParameterChanges* Self(void* self) { return static_cast<ParameterChanges*>(self); }
    static int32_t V3_API Count(void* self) { return static_cast<int32_t>(Self(self)->queues.size()); }
    static v3_param_value_queue** V3_API Data(void* self, int32_t index) {
        auto& queues = Self(self)->queues;
        if (index < 0 || index >= static_cast<int32_t>(queues.size())) return nullptr;
        return reinterpret_cast<v3_param_value_queue**>(&queues[index]);
    }
    static v3_param_value_queue** V3_API AddData(void* self, v3_param_id* id, int32_t* index) {
        ParameterChanges* changes = Self(self);
        ParameterQueue* queue = changes->Queue(*id);
        if (queue == nullptr) return nullptr;
        if (index != nullptr) *index = static_cast<int32_t>(queue - changes->queues.data());
        return reinterpret_cast<v3_param_value_queue**>(queue);
    }
    static v3_result V3_API Query(void* self, const v3_tuid iid, void** object) {
        return QueryOwn<ParameterChanges>(self, iid, object, v3_param_changes_iid);
    }
    static constexpr Table TABLE{{&Query, &KeptByHost, &KeptByHost}, {&Count, &Data, &AddData}};

    // The queue of `id`, made if new; null when the room reserved is used up.
    ParameterQueue* Queue(v3_param_id id) {
        for (ParameterQueue& queue : queues) {
            if (queue.id == id) return &queue;
        }
        if (queues.size() == queues.capacity()) return nullptr;
        queues.emplace_back();
        queues.back().id = id;
        return &queues.back();
    }
    v3_param_changes** Interface() { return reinterpret_cast<v3_param_changes**>(this); }
};

class Vst3Instance final : public Instance {
public:
    ~Vst3Instance() override {
        if (m_component == nullptr) return;
        Deactivate();
        if (m_controller != nullptr) v3_cpp_obj_unref(m_controller);
        if (m_processor != nullptr) v3_cpp_obj_unref(m_processor);
        v3_cpp_obj_terminate(m_component);
        v3_cpp_obj_unref(m_component);
    }

    bool Open(v3_plugin_factory** factory, const v3_tuid class_id, std::string& error) {
        void* object = nullptr;
        if (v3_cpp_obj(factory)->create_instance(factory, class_id, v3_component_iid, &object) != V3_OK ||
            object == nullptr) {
            error = "the factory makes no component";
            return false;
        }
        m_component = static_cast<v3_component**>(object);
        if (v3_cpp_obj_initialize(m_component, nullptr) != V3_OK) {
            v3_cpp_obj_unref(m_component);
            m_component = nullptr;
            error = "the component refuses initialize";
            return false;
        }
        if (v3_cpp_obj_query_interface(m_component, v3_audio_processor_iid, &m_processor) != V3_OK ||
            m_processor == nullptr) {
            error = "the component has no audio processor";
            return false;
        }
        if (v3_cpp_obj_query_interface(m_component, v3_edit_controller_iid, &m_controller) != V3_OK ||
            m_controller == nullptr) {
            error = "the component is not its own edit controller (a separate controller is not supported here)";
            return false;
        }
        for (const int32_t direction : {V3_INPUT, V3_OUTPUT}) {
            auto& buses = direction == V3_INPUT ? m_inputs : m_outputs;
            for (int32_t bus = 0, count = v3_cpp_obj(m_component)->get_bus_count(m_component, V3_AUDIO, direction);
                 bus < count; ++bus) {
                v3_bus_info info{};
                if (v3_cpp_obj(m_component)->get_bus_info(m_component, V3_AUDIO, direction, bus, &info) != V3_OK) {
                    continue;
                }
                v3_cpp_obj(m_component)->activate_bus(m_component, V3_AUDIO, direction, bus, true);
                buses.push_back(static_cast<std::uint32_t>(info.channel_count));
            }
        }
        v3_edit_controller* controller = v3_cpp_obj(m_controller);
        for (int32_t i = 0, count = controller->get_parameter_count(m_controller); i < count; ++i) {
            v3_param_info info{};
            if (controller->get_parameter_info(m_controller, i, &info) != V3_OK) continue;
            Parameter parameter;
            parameter.id = info.param_id;
            parameter.name = Narrow(info.title, NAME_LENGTH);
            parameter.minimum = controller->normalised_parameter_to_plain(m_controller, info.param_id, 0.0);
            parameter.maximum = controller->normalised_parameter_to_plain(m_controller, info.param_id, 1.0);
            parameter.default_value =
                controller->normalised_parameter_to_plain(m_controller, info.param_id, info.default_normalised_value);
            parameter.stepped = info.step_count > 0;
            parameter.read_only = (info.flags & V3_PARAM_READ_ONLY) != 0;
            parameter.hidden = (info.flags & V3_PARAM_IS_HIDDEN) != 0;
            parameter.program_change = (info.flags & V3_PARAM_PROGRAM_CHANGE) != 0;
            m_parameters.push_back(parameter);
        }
        m_input_changes.queues.reserve(m_parameters.size());
        m_output_changes.queues.reserve(m_parameters.size());
        return true;
    }

    Format GetFormat() const override { return Format::Vst3; }
    const std::vector<Parameter>& Parameters() const override { return m_parameters; }
    std::uint32_t InputChannels() const override { return Channels(m_inputs); }
    std::uint32_t OutputChannels() const override { return Channels(m_outputs); }

    bool Activate(double rate, std::uint32_t max_block) override {
        if (m_active) return Fail("already active");
        v3_process_setup setup{V3_REALTIME, V3_SAMPLE_32, static_cast<int32_t>(max_block), rate};
        if (v3_cpp_obj(m_processor)->setup_processing(m_processor, &setup) != V3_OK) {
            return Fail("setup_processing refused");
        }
        if (v3_cpp_obj(m_component)->set_active(m_component, true) != V3_OK) return Fail("set_active refused");
        v3_cpp_obj(m_processor)->set_processing(m_processor, true);
        m_rate = rate;
        m_active = true;
        return true;
    }
    void Deactivate() override {
        if (!m_active) return;
        v3_cpp_obj(m_processor)->set_processing(m_processor, false);
        v3_cpp_obj(m_component)->set_active(m_component, false);
        m_active = false;
    }
    bool Active() const override { return m_active; }

    // A VST3 processor takes a value from the parameter changes of a process call (a plug-in that is its own
    // controller may also take what its controller is told while inactive), so a value set while inactive reaches
    // it at frame 0 of the first block, as from a VST3 host; the controller is told as well. A program is the
    // controller's alone: it loads the program's values at once.
    bool Set(std::uint32_t id, double value) override {
        const Parameter* parameter = ById(id);
        if (parameter == nullptr) return Fail("no parameter " + std::to_string(id));
        if (parameter->program_change || !m_active) {
            const double normalised = Normalised(*parameter, value);
            const v3_result result =
                v3_cpp_obj(m_controller)->set_parameter_normalised(m_controller, id, normalised);
            if (parameter->program_change) {
                return result == V3_OK ? true : Fail("set_parameter_normalised refused");
            }
        }
        m_pending.push_back({0, id, value});
        return true;
    }

    bool Process(const float* const* in, float* const* out, std::uint32_t frames,
                 std::span<const ParameterEvent> events) override {
        if (!m_active) return Fail("process while inactive");
        ParameterChanges& input = m_input_changes;
        ParameterChanges& output = m_output_changes;
        input.queues.clear();
        output.queues.clear();
        const auto add = [&](const ParameterEvent& event) {
            const Parameter* parameter = ById(event.id);
            ParameterQueue* queue = parameter != nullptr ? input.Queue(event.id) : nullptr;
            if (queue != nullptr) {
                queue->points.emplace_back(static_cast<int32_t>(event.frame), Normalised(*parameter, event.value));
            }
        };
        for (const ParameterEvent& event : m_pending) add(event);
        for (const ParameterEvent& event : events) add(event);
        m_pending.clear();
        std::vector<v3_audio_bus_buffers>& inputs = m_input_buffers;
        std::vector<v3_audio_bus_buffers>& outputs = m_output_buffers;
        Buffers(m_inputs, const_cast<float* const*>(in), inputs);
        Buffers(m_outputs, out, outputs);
        v3_process_context& context = m_context;
        context = {};
        context.sample_rate = m_rate;
        context.project_time_in_samples = m_position;
        context.continuous_time_in_samples = m_position;
        v3_process_data& data = m_data;
        data = {};
        data.process_mode = V3_REALTIME;
        data.symbolic_sample_size = V3_SAMPLE_32;
        data.nframes = static_cast<int32_t>(frames);
        data.num_input_buses = static_cast<int32_t>(inputs.size());
        data.num_output_buses = static_cast<int32_t>(outputs.size());
        data.inputs = inputs.data();
        data.outputs = outputs.data();
        data.input_params = input.Interface();
        data.output_params = output.Interface();
        data.ctx = &context;
        const v3_result result = v3_cpp_obj(m_processor)->process(m_processor, &data);
        m_position += frames;
        m_sent.clear();
        v3_edit_controller* controller = v3_cpp_obj(m_controller);
        for (const ParameterQueue& queue : output.queues) {
            for (const auto& [offset, normalised] : queue.points) {
                controller->set_parameter_normalised(m_controller, queue.id, normalised);
                m_sent.push_back({static_cast<std::uint32_t>(offset), queue.id,
                                  controller->normalised_parameter_to_plain(m_controller, queue.id, normalised)});
            }
        }
        return result == V3_OK ? true : Fail("process returned " + std::to_string(result));
    }
    bool Reset() override { return Fail("VST3 has no reset"); }
    bool PrepareRepeat(const float* const* in, float* const* out, std::uint32_t frames) override {
        if (!Process(in, out, frames, {})) return false;
        m_input_changes.queues.clear();
        return true;
    }
    void Repeat() override {
        // A plug-in that sends a reading leaves it in the output list: emptied only then.
        if (!m_output_changes.queues.empty()) m_output_changes.queues.clear();
        m_context.project_time_in_samples = m_context.continuous_time_in_samples = m_position;
        v3_cpp_obj(m_processor)->process(m_processor, &m_data);
        m_position += m_data.nframes;
    }

    std::optional<double> Get(std::uint32_t id) override {
        if (ById(id) == nullptr) return std::nullopt;
        v3_edit_controller* controller = v3_cpp_obj(m_controller);
        return controller->normalised_parameter_to_plain(m_controller, id,
                                                         controller->get_parameter_normalised(m_controller, id));
    }

    std::optional<std::string> TextFor(std::uint32_t id, double value) override {
        const Parameter* parameter = ById(id);
        if (parameter == nullptr) return std::nullopt;
        v3_str_128 text{};
        if (v3_cpp_obj(m_controller)->get_parameter_string_for_value(m_controller, id, Normalised(*parameter, value),
                                                                      text) != V3_OK) {
            return std::nullopt;
        }
        std::string narrow;
        for (std::size_t i = 0; i < 128 && text[i] != 0; ++i) narrow += static_cast<char>(text[i]);
        return narrow;
    }
    std::optional<double> ValueFor(std::uint32_t id, const std::string& text) override {
        if (ById(id) == nullptr || text.size() >= 128) return std::nullopt;
        v3_str_128 wide{};
        for (std::size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<int16_t>(static_cast<unsigned char>(text[i]));
        double normalised = 0.0;
        v3_edit_controller* controller = v3_cpp_obj(m_controller);
        if (controller->get_parameter_value_for_string(m_controller, id, wide, &normalised) != V3_OK) return std::nullopt;
        return controller->normalised_parameter_to_plain(m_controller, id, normalised);
    }

    std::optional<std::vector<std::uint8_t>> SaveState() override {
        MemoryStream stream;
        if (v3_cpp_obj(m_component)->get_state(m_component, stream.Interface()) != V3_OK) return std::nullopt;
        return std::move(stream.bytes);
    }
    bool LoadState(std::span<const std::uint8_t> state) override {
        MemoryStream stream;
        stream.bytes.assign(state.begin(), state.end());
        if (v3_cpp_obj(m_component)->set_state(m_component, stream.Interface()) != V3_OK) {
            return Fail("the component refuses the state");
        }
        stream.at = 0;
        if (v3_cpp_obj(m_controller)->set_component_state(m_controller, stream.Interface()) != V3_OK) {
            return Fail("the controller refuses the component's state");
        }
        return true;
    }
    bool SelectProgram(std::int32_t program) override {
        for (const Parameter& parameter : m_parameters) {
            if (parameter.program_change) return Set(parameter.id, program);
        }
        return Fail("no program-change parameter");
    }

    std::vector<std::string> ProgramNames() override {
        std::vector<std::string> names;
        for (const Parameter& parameter : m_parameters) {
            if (!parameter.program_change) continue;
            for (std::int32_t program = 0; program <= static_cast<std::int32_t>(parameter.maximum); ++program) {
                v3_str_128 text{};
                v3_cpp_obj(m_controller)->get_parameter_string_for_value(m_controller, parameter.id,
                                                                          Normalised(parameter, program), text);
                names.push_back(Narrow(text, NAME_LENGTH));
            }
        }
        return names;
    }

private:
    static std::uint32_t Channels(const std::vector<std::uint32_t>& buses) {
        std::uint32_t total = 0;
        for (const std::uint32_t channels : buses) total += channels;
        return total;
    }
    // What a host computes for a plain value, unclamped: a value beyond the range (or not finite) reaches the
    // plug-in as such, as from a host that does not check.
    static double Normalised(const Parameter& parameter, double plain) {
        const double span = parameter.maximum - parameter.minimum;
        return span != 0.0 ? (plain - parameter.minimum) / span : 0.0;
    }
    const Parameter* ById(std::uint32_t id) const {
        for (const Parameter& parameter : m_parameters) {
            if (parameter.id == id) return &parameter;
        }
        return nullptr;
    }
    static void Buffers(const std::vector<std::uint32_t>& buses, float* const* channels,
                        std::vector<v3_audio_bus_buffers>& buffers) {
        buffers.resize(buses.size());
        std::uint32_t next = 0;
        for (std::size_t i = 0; i < buses.size(); ++i) {
            buffers[i] = {};
            buffers[i].num_channels = static_cast<int32_t>(buses[i]);
            buffers[i].channel_buffers_32 = const_cast<float**>(channels + next);
            next += buses[i];
        }
    }

    v3_component** m_component = nullptr;
    v3_audio_processor** m_processor = nullptr;
    v3_edit_controller** m_controller = nullptr;
    std::vector<Parameter> m_parameters;
    std::vector<std::uint32_t> m_inputs, m_outputs;  // channels per bus
    std::vector<ParameterEvent> m_pending;
    // The records each process call lends the plug-in, kept so that a call allocates nothing once they are sized.
    ParameterChanges m_input_changes{0}, m_output_changes{0};
    std::vector<v3_audio_bus_buffers> m_input_buffers, m_output_buffers;
    double m_rate = 0.0;
    std::int64_t m_position = 0;
    v3_process_context m_context{};  // the last call, as Repeat hands it again
    v3_process_data m_data{};
    bool m_active = false;
};

#if defined(_WIN32)
using ModuleInit = bool (*)();
constexpr const char* MODULE_INIT = "InitDll";
constexpr const char* MODULE_EXIT = "ExitDll";
#else
using ModuleInit = bool (*)(void*);
constexpr const char* MODULE_INIT = "ModuleEntry";
constexpr const char* MODULE_EXIT = "ModuleExit";
#endif
using ModuleExit = bool (*)();
using FactoryEntry = const void* (*)();

class Vst3Binary final : public Binary {
public:
    Vst3Binary(const std::string& path, std::string& error) : m_library(path, error) {
        if (!m_library.IsOpen()) return;
        const auto init = reinterpret_cast<ModuleInit>(m_library.Symbol(MODULE_INIT));
        const auto factory = reinterpret_cast<FactoryEntry>(m_library.Symbol("GetPluginFactory"));
        if (init == nullptr || factory == nullptr) {
            error = path + " lacks " + MODULE_INIT + " or GetPluginFactory";
            return;
        }
#if defined(_WIN32)
        m_entered = init();
#else
        m_entered = init(nullptr);
#endif
        if (!m_entered) {
            error = path + ": " + MODULE_INIT + " refused";
            return;
        }
        m_factory = static_cast<v3_plugin_factory**>(const_cast<void*>(factory()));
        if (m_factory == nullptr) error = path + " gives no factory";
    }
    ~Vst3Binary() override {
        if (m_factory != nullptr) v3_cpp_obj_unref(m_factory);
        if (m_entered) {
            if (const auto exit = reinterpret_cast<ModuleExit>(m_library.Symbol(MODULE_EXIT))) exit();
        }
    }
    bool Usable() const { return m_factory != nullptr; }

    Format GetFormat() const override { return Format::Vst3; }
    std::vector<std::string> Plugins() const override {
        std::vector<std::string> names;
        for (const v3_class_info& info : Classes()) names.emplace_back(info.name);
        return names;
    }
    std::unique_ptr<Instance> Create(const std::string& plugin, std::string& error) override {
        for (const v3_class_info& info : Classes()) {
            if (plugin != info.name) continue;
            auto instance = std::make_unique<Vst3Instance>();
            if (!instance->Open(m_factory, info.class_id, error)) return nullptr;
            return instance;
        }
        error = "no audio module class named " + plugin;
        return nullptr;
    }

private:
    // The audio-module classes (a plug-in's processor; a separate controller's class is another category).
    std::vector<v3_class_info> Classes() const {
        std::vector<v3_class_info> classes;
        v3_plugin_factory* factory = v3_cpp_obj(m_factory);
        for (int32_t i = 0, count = factory->num_classes(m_factory); i < count; ++i) {
            v3_class_info info{};
            if (factory->get_class_info(m_factory, i, &info) == V3_OK &&
                std::strncmp(info.category, "Audio Module Class", sizeof info.category) == 0) {
                classes.push_back(info);
            }
        }
        return classes;
    }

    SharedLibrary m_library;
    bool m_entered = false;
    v3_plugin_factory** m_factory = nullptr;
};

}  // namespace

std::unique_ptr<Binary> LoadVst3(const std::string& path, std::string& error) {
    auto binary = std::make_unique<Vst3Binary>(Vst3BinaryPath(path), error);
    if (!binary->Usable()) return nullptr;
    return binary;
}

std::string Vst3BinaryPath(const std::string& bundle) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    if (!fs::is_directory(bundle, ignored)) return bundle;
    const std::string stem = fs::path(bundle).filename().replace_extension().string();
#if defined(_WIN32)
    return (fs::path(bundle) / "Contents" / "x86_64-win" / (stem + ".vst3")).string();
#else
    return (fs::path(bundle) / "Contents" / "x86_64-linux" / (stem + ".so")).string();
#endif
}

}  // namespace er_daw_host
