// The substitute host. It plays the modular host's part of the binary interface and nothing more: everything it
// knows about a module comes from the two exports, the records and the callback opcodes.
#include "Host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace er_host {
namespace {

#if defined(_WIN32)
constexpr const char* MODULE_FILE_NAME = "early_reflection.dll";
#else
constexpr const char* MODULE_FILE_NAME = "early_reflection.so";
#endif

// Offsets of queued events stay far from the int32 limit, so that adding a block length never overflows.
constexpr std::int32_t MAX_OFFSET = std::numeric_limits<std::int32_t>::max() / 2;

// The sample clock wraps around like the host's 32-bit counter.
std::int32_t ClockAt(std::int32_t base, std::int32_t offset) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(offset));
}

std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

template <class Entry>
Entry Resolve(void* handle, const char* name) {
#if defined(_WIN32)
    FARPROC address = GetProcAddress(static_cast<HMODULE>(handle), name);
    return reinterpret_cast<Entry>(reinterpret_cast<void*>(address));
#else
    return reinterpret_cast<Entry>(dlsym(handle, name));
#endif
}

void Unload(void* handle) {
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

// The directory of the running executable, with its trailing separator; empty if it cannot be found.
std::string ExecutableDirectory() {
    std::string path;
#if defined(_WIN32)
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) {
            path.assign(buffer.data(), length);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
#else
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            path.assign(buffer.data(), static_cast<std::size_t>(length));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
#endif
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

// ---- Library ----------------------------------------------------------------------------------------------------

std::unique_ptr<Library> Library::Load(const std::string& path, std::string& error) {
#if defined(_WIN32)
    void* handle = LoadLibraryA(path.c_str());
    if (!handle) {
        error = "cannot load " + path + " (Windows error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
#else
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = "cannot load " + path + ": " + Text(dlerror());
        return nullptr;
    }
#endif
    std::unique_ptr<Library> library(new Library());
    library->m_handle = handle;
    library->m_get_properties = Resolve<SEGetModulePropertiesEntry>(handle, "getModuleProperties");
    library->m_make_module = Resolve<SEMakeModuleEntry>(handle, "makeModule");
    if (!library->m_get_properties || !library->m_make_module) {
        error = path + " does not export both getModuleProperties and makeModule";
        return nullptr;  // the destructor unloads it
    }
    return library;
}

std::unique_ptr<Library> Library::FromEntries(SEGetModulePropertiesEntry get_properties,
                                              SEMakeModuleEntry make_module) {
    std::unique_ptr<Library> library(new Library());
    library->m_get_properties = get_properties;
    library->m_make_module = make_module;
    return library;
}

std::string Library::DefaultModulePath() { return ExecutableDirectory() + MODULE_FILE_NAME; }

Library::~Library() {
    if (m_handle) Unload(m_handle);
}

std::int32_t Library::GetModuleProperties(std::int32_t index, SEModuleIdentity* identity) const {
    return m_get_properties ? m_get_properties(index, identity) : 0;
}

void* Library::MakeModule(std::int32_t index, std::int32_t kind, SEHostCallback callback, void* host_data) const {
    return m_make_module ? m_make_module(index, kind, callback, host_data) : nullptr;
}

// ---- Instance: creation and opcodes -----------------------------------------------------------------------------

namespace {

// A module whose library has no makeModule entry makes nothing.
void* SE_CDECL MakeNothing(std::int32_t, std::int32_t, SEHostCallback, void*) { return nullptr; }

const char* OpcodeName(std::int32_t opcode) {
    switch (opcode) {
    case HOST_SET_PIN_STATUS: return "HOST_SET_PIN_STATUS";
    case HOST_GET_PIN_BUFFER: return "HOST_GET_PIN_BUFFER";
    case HOST_GET_BUFFER_CLOCK: return "HOST_GET_BUFFER_CLOCK";
    default: return "host call";
    }
}

}  // namespace

Instance::Instance(const Library& library, const InstanceOptions& options) : m_library(library), m_options(options) {
    if (m_options.block_size < 1) {
        Error("block size " + std::to_string(m_options.block_size) + " is below 1; using 1");
        m_options.block_size = 1;
    }
    m_clock = m_options.start_clock;
    m_block_clock = m_clock;
    m_module.SetClocks(m_clock, m_block_clock);
    const SEMakeModuleEntry make = m_library.MakeModuleEntry() ? m_library.MakeModuleEntry() : &MakeNothing;
    switch (m_module.Make(make, this)) {
    case host_core::Made::NoRecord:
        Error("makeModule(0, 1) returned no record");
        return;
    case host_core::Made::BadRecord:
        // Nothing in it can be trusted, not even its dispatch entry: the object is abandoned.
        Error("makeModule(0, 1) returned a record with a wrong magic, version or dispatch entry");
        return;
    case host_core::Made::Ok:
        break;
    }
    m_module.SetClocks(m_clock, m_block_clock);
    Describe();
    if (m_options.open) Open();
}

Instance::~Instance() { m_module.Close(); }

se_answer Instance::Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, float opt) {
    if (!m_module.Valid()) {
        Error("dispatch opcode " + std::to_string(opcode) + " to a module that is closed or was never made");
        return 0;
    }
    return m_module.Dispatch(opcode, index, value, ptr, opt);
}

void Instance::Open() {
    Dispatch(OP_SET_SAMPLE_RATE, 0, 0, nullptr, m_options.sample_rate);
    Dispatch(OP_SET_BLOCK_SIZE, 0, m_options.block_size);
    Dispatch(OP_OPEN);
}

void Instance::Close() { Dispatch(OP_CLOSE); }

// Host pins are numbered as the frame numbers them: one per description visible on the processing side; extra
// pins the host built repeat the last description when it asks for that.
void Instance::Describe() {
    struct Walk {
        std::vector<PinDescription>* pins;
        SEPinProperties last{};
        bool walked = false;
    } walk{&m_pins};
    m_module.Describe(
        [](void* context, const SEPinProperties& properties, bool visible) {
            auto& w = *static_cast<Walk*>(context);
            w.last = properties;
            w.walked = true;
            if (!visible || w.pins->size() == static_cast<std::size_t>(host_core::MAX_PINS)) return;
            PinDescription pin;
            pin.index = static_cast<std::int32_t>(w.pins->size());
            pin.name = Text(properties.name);
            pin.direction = properties.direction;
            pin.datatype = properties.datatype;
            pin.has_default = properties.default_value != nullptr;
            pin.default_value = Text(properties.default_value);
            pin.has_extra = properties.extra_text != nullptr;
            pin.extra_text = Text(properties.extra_text);
            pin.flags = properties.flags;
            pin.variable = properties.variable;
            w.pins->push_back(pin);
        },
        &walk);
    std::int32_t answer = static_cast<std::int32_t>(m_pins.size());
    if (m_options.pin_count >= 0) {
        answer = m_options.pin_count;
        auto built = std::min<std::size_t>(static_cast<std::size_t>(m_options.pin_count), host_core::MAX_PINS);
        if (built < m_pins.size()) m_pins.resize(built);
        const bool repeat = walk.walked && VisibleToDsp(walk.last) && (walk.last.flags & IO_REPEAT_LAST) != 0;
        if (repeat) {
            while (m_pins.size() < built) {
                PinDescription pin = m_pins.empty() ? PinDescription{} : m_pins.back();
                pin.index = static_cast<std::int32_t>(m_pins.size());
                pin.variable = nullptr;
                m_pins.push_back(pin);
            }
        }
    }
    m_module.SetPins(static_cast<std::int32_t>(m_pins.size()), true, answer);
    m_buffers.resize(m_pins.size());
    m_held.resize(m_pins.size());
    m_stale.assign(m_pins.size(), 0);
    for (std::size_t i = 0; i < m_pins.size(); ++i) {
        if (m_pins[i].datatype != DT_FSAMPLE) continue;
        m_buffers[i].assign(static_cast<std::size_t>(m_options.block_size), 0.0f);
        m_module.SetBuffer(static_cast<std::int32_t>(i), m_buffers[i].data());
    }
    m_module.WriteBufferAddresses();
}

// ---- what the module told the host --------------------------------------------------------------------------

void Instance::Called(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr, std::int32_t clock) {
    if (m_options.record_calls) {
        m_calls.push_back(HostCall{opcode, index, value, reinterpret_cast<std::intptr_t>(ptr), clock});
    }
}

void Instance::StatusReported(std::int32_t pin, std::int32_t status, std::int32_t clock) {
    m_status_reports.push_back(StatusReport{pin, status, clock});
}

void Instance::Noticed(host_core::Fault fault, std::int32_t opcode, std::int32_t index, std::int32_t clock) {
    using host_core::Fault;
    const std::string pin = std::to_string(index);
    switch (fault) {
    case Fault::NoSuchPin:
        Error(std::string(OpcodeName(opcode)) + ": pin " + pin + " does not exist (" + std::to_string(m_pins.size()) +
              " pins)");
        return;
    case Fault::NotAFloatPin:
        Error(std::string(OpcodeName(opcode)) + ": pin " + pin + " is not a float pin");
        return;
    case Fault::StatusInThePast:
        Error("HOST_SET_PIN_STATUS for pin " + pin + " at clock " + std::to_string(clock) +
              ", before the current clock " + std::to_string(m_module.Clock()));
        return;
    case Fault::NoProcessEntry:
        Error("the module's record has no process entry; stretch left unprocessed");
        return;
    case Fault::NoEventEntry:
        Error("the module's record has no event entry; event dropped");
        return;
    case Fault::ForeignRecord:
        Error("host call " + std::to_string(opcode) + " names another object's record");
        return;
    }
}

void Instance::BeforeProcess(std::int32_t start, std::int32_t count) {
    if (before_process) before_process(start, count);
}

void Instance::AfterProcess(std::int32_t start, std::int32_t count) {
    ++m_process_calls;
    if (after_process) after_process(start, count);
}

// ---- pins ----------------------------------------------------------------------------------------------------

std::int32_t Instance::FindPin(const std::string& name) const {
    for (const PinDescription& pin : m_pins) {
        if (pin.name == name) return pin.index;
    }
    return -1;
}

float* Instance::Buffer(std::int32_t pin) {
    float* buffer = const_cast<float*>(static_cast<const Instance*>(this)->Buffer(pin));
    if (buffer) m_stale[pin] = 1;  // the caller may write into it
    return buffer;
}

const float* Instance::Buffer(std::int32_t pin) const {
    if (pin < 0 || static_cast<std::size_t>(pin) >= m_buffers.size() || m_buffers[pin].empty()) return nullptr;
    return m_buffers[pin].data();
}

void Instance::Fill(std::int32_t pin, float value, std::int32_t from) {
    if (!Buffer(pin)) {
        Error("Fill: pin " + std::to_string(pin) + " has no sample buffer");
        return;
    }
    if (from < 0 || from > m_options.block_size) {
        Error("Fill: start " + std::to_string(from) + " outside the block of " +
              std::to_string(m_options.block_size));
        return;
    }
    m_held[pin].reset();
    FillFrom(pin, value, from);
}

void Instance::FillFrom(std::int32_t pin, float value, std::int32_t from) {
    std::fill(m_buffers[pin].begin() + std::min(from, m_options.block_size), m_buffers[pin].end(), value);
    if (from > 0 || m_pins[pin].direction == DR_OUT) m_stale[pin] = 1;
}

std::int32_t Instance::LastStatus(std::int32_t pin) const {
    for (auto report = m_status_reports.rbegin(); report != m_status_reports.rend(); ++report) {
        if (report->pin == pin) return report->status;
    }
    return -1;
}

std::int32_t Instance::CountCalls(std::int32_t opcode) const {
    return static_cast<std::int32_t>(
        std::count_if(m_calls.begin(), m_calls.end(), [opcode](const HostCall& call) { return call.opcode == opcode; }));
}

bool Instance::CheckPin(const char* where, std::int32_t pin) {
    if (pin >= 0 && static_cast<std::size_t>(pin) < m_pins.size()) return true;
    Error(std::string(where) + ": pin " + std::to_string(pin) + " does not exist (" + std::to_string(m_pins.size()) +
          " pins)");
    return false;
}

void Instance::Error(const std::string& message) {
    m_errors.push_back(message);
    if (m_options.echo_errors) std::fprintf(stderr, "er_host: %s\n", message.c_str());
}

// ---- events ----------------------------------------------------------------------------------------------------

void Instance::Queue(Pending pending) {
    if (!m_module.Valid()) {
        Error("event for a module that is closed or was never made; event dropped");
        return;
    }
    if (pending.offset < 0 || pending.offset > MAX_OFFSET) {
        Error("event offset " + std::to_string(pending.offset) + " is out of range; event dropped");
        return;
    }
    pending.order = m_order++;
    m_pending.push_back(pending);
}

void Instance::PostStatus(std::int32_t pin, std::int32_t status, std::int32_t offset) {
    if (!CheckPin("PostStatus", pin)) return;
    m_held[pin].reset();
    Pending pending{offset, 0, SETimedEvent{0, EV_PIN_STATUS, status, 0, pin}, false, 0};
    pending.pin = pin;
    Queue(pending);
}

void Instance::PostChoice(std::int32_t pin, std::int16_t value, std::int32_t offset, std::int32_t status) {
    if (!CheckPin("PostChoice", pin)) return;
    if (m_pins[pin].datatype != DT_LIST) {
        Error("PostChoice: pin " + std::to_string(pin) + " is not a choice pin");
        return;
    }
    Pending pending{offset, 0, SETimedEvent{0, EV_PIN_STATUS, status, 0, pin}, true, value};
    pending.pin = pin;
    Queue(pending);
}

void Instance::PostFloat(std::int32_t pin, float value, std::int32_t offset) {
    if (!CheckPin("PostFloat", pin)) return;
    if (!static_cast<const Instance*>(this)->Buffer(pin)) {
        Error("PostFloat: pin " + std::to_string(pin) + " is not a float pin");
        return;
    }
    if (offset < 0 || offset > MAX_OFFSET) {
        Error("PostFloat: offset " + std::to_string(offset) + " is out of range; event dropped");
        return;
    }
    FillFrom(pin, value, offset);
    Pending pending{offset, 0, SETimedEvent{0, EV_PIN_STATUS, PS_CHANGED, 0, pin}, false, 0};
    pending.pin = pin;
    pending.fill = true;
    pending.fill_value = value;
    Queue(pending);
}

void Instance::PostEvent(std::int32_t event_type, std::int32_t value, std::int32_t value2, std::intptr_t ptr,
                         std::int32_t offset) {
    Queue(Pending{offset, 0, SETimedEvent{0, event_type, value, value2, ptr}, false, 0});
}

void Instance::Deliver(Pending& pending) {
    m_clock = ClockAt(m_block_clock, pending.offset);
    m_module.SetClocks(m_clock, m_block_clock);
    if (pending.write_choice) m_module.WriteChoice(pending.pin, pending.choice);
    if (pending.fill) {
        FillFrom(pending.pin, pending.fill_value, pending.offset);
        m_held[pending.pin] = pending.fill_value;
    }
    m_module.Deliver(pending.event);
}

// ---- processing --------------------------------------------------------------------------------------------------

void Instance::RunStretch(std::int32_t start, std::int32_t count) {
    m_clock = ClockAt(m_block_clock, start);
    m_module.Process(start, count);
}

void Instance::Process(std::int32_t count) {
    if (!m_module.Valid()) {
        Error("Process on a module that is closed or was never made");
        return;
    }
    if (count < 1 || count > m_options.block_size) {
        Error("Process: count " + std::to_string(count) + " outside 1.." + std::to_string(m_options.block_size));
        return;
    }
    // Events posted while this block runs (by an observer) belong to the next one.
    m_due.clear();
    m_due.swap(m_pending);
    std::sort(m_due.begin(), m_due.end(), [](const Pending& a, const Pending& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.order < b.order;
    });
    m_block_clock = m_clock;
    m_module.SetClocks(m_clock, m_block_clock);
    for (std::size_t pin = 0; pin < m_held.size(); ++pin) {
        if (!m_held[pin] || !m_stale[pin]) continue;
        m_stale[pin] = 0;
        FillFrom(static_cast<std::int32_t>(pin), *m_held[pin], 0);
    }
    std::size_t next = 0;
    std::int32_t position = 0;
    while (m_module.Valid()) {
        while (next < m_due.size() && m_due[next].offset == position && position < count && m_module.Valid()) {
            Deliver(m_due[next++]);
        }
        if (position == count || !m_module.Valid()) break;
        std::int32_t end = next < m_due.size() ? std::min(m_due[next].offset, count) : count;
        RunStretch(position, end - position);
        position = end;
    }
    if (!m_module.Valid()) {  // an observer closed the module: nothing is left to deliver to
        m_pending.clear();
        return;
    }
    m_clock = ClockAt(m_block_clock, count);
    m_module.SetClocks(m_clock, m_block_clock);
    for (; next < m_due.size(); ++next) {
        m_due[next].offset -= count;
        m_pending.push_back(m_due[next]);
    }
}

}  // namespace er_host
