#include "Adapter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include <emmintrin.h>

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include "ModuleExports.h"

namespace er_lv2 {

namespace {

constexpr std::uint32_t STATUS_FLAGS = 0x3F;  // sticky exception flags: not part of the settings

// The module runs under MODULE_MXCSR; the host's thread gets its own settings back. Status flags raised
// meanwhile are kept: they are the host's business, as they are after any function call. The module leaves the
// settings it recorded at open, MODULE_MXCSR, so a host that runs under them already costs nothing here: reading
// and loading MXCSR cost a noticeable part of a short block of the cheapest routine.
class FloatScope {
public:
    FloatScope() : m_host(_mm_getcsr()) {
        if ((m_host & ~STATUS_FLAGS) != MODULE_MXCSR) _mm_setcsr(MODULE_MXCSR | (m_host & STATUS_FLAGS));
    }
    ~FloatScope() {
        if ((m_host & ~STATUS_FLAGS) != MODULE_MXCSR) _mm_setcsr((m_host & ~STATUS_FLAGS) | (_mm_getcsr() & STATUS_FLAGS));
    }
    FloatScope(const FloatScope&) = delete;
    FloatScope& operator=(const FloatScope&) = delete;

private:
    const std::uint32_t m_host;
};

const void* FindFeature(const LV2_Feature* const* features, const char* uri) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (std::strcmp((*features)->URI, uri) == 0) return (*features)->data;
    }
    return nullptr;
}

// bufsz:maxBlockLength from the options, when the host gives both options and a URID map; else the default.
std::int32_t MaxBlock(const LV2_Feature* const* features) {
    const auto* map = static_cast<const LV2_URID_Map*>(FindFeature(features, LV2_URID__map));
    const auto* options = static_cast<const LV2_Options_Option*>(FindFeature(features, LV2_OPTIONS__options));
    if (map == nullptr || options == nullptr) return DEFAULT_MAX_BLOCK;
    const LV2_URID max_length = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID atom_int = map->map(map->handle, LV2_ATOM__Int);
    for (; options->key != 0 || options->value != nullptr; ++options) {
        if (options->key != max_length || options->type != atom_int || options->size != sizeof(std::int32_t) ||
            options->value == nullptr) {
            continue;
        }
        std::int32_t length = 0;
        std::memcpy(&length, options->value, sizeof length);
        return length >= 1 ? std::min(length, LARGEST_MAX_BLOCK) : DEFAULT_MAX_BLOCK;
    }
    return DEFAULT_MAX_BLOCK;
}

std::uint32_t Bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// True when the two buffers of `frames` samples share memory (the host processes in place).
bool Overlap(const float* a, const float* b, std::uint32_t frames) {
    const auto x = reinterpret_cast<std::uintptr_t>(a);
    const auto y = reinterpret_cast<std::uintptr_t>(b);
    const std::uintptr_t bytes = std::uintptr_t{frames} * sizeof(float);
    return x < y + bytes && y < x + bytes;
}

// Announcement order (effect_pins::kAnnounceOrder): every pin the adapter sets, in pin order, "Active" last, so
// that the delay line is sized for the final "Max Delay(s)" (as er-render announces).
constexpr auto ANNOUNCE_ORDER = [] {
    std::array<std::int32_t, effect_pins::kAnnounceOrder.size()> order{};
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = effect_pins::Index(effect_pins::kAnnounceOrder[i]);
    return order;
}();

constexpr float LOWEST_RATE = 1.0f;
constexpr float HIGHEST_RATE = 10.0e6f;

}  // namespace

// ---- instantiation class ------------------------------------------------------------------------------------

Adapter* Adapter::Create(double rate, const LV2_Feature* const* features) {
    if (!(rate >= LOWEST_RATE && rate <= HIGHEST_RATE)) return nullptr;
    std::vector<PortDescription> ports = PortDescriptions();
    if (ports.size() != PORT_COUNT) return nullptr;
    const auto* schedule = static_cast<const LV2_Worker_Schedule*>(FindFeature(features, LV2_WORKER__schedule));
    // The module object itself is made at each activation, opened at this instance's rate.
    return new (std::nothrow) Adapter(static_cast<float>(rate), MaxBlock(features), schedule, std::move(ports));
}

Adapter::Adapter(float rate, std::int32_t max_block, const LV2_Worker_Schedule* schedule,
                 std::vector<PortDescription> ports)
    : m_rate(rate), m_max_block(max_block), m_schedule(schedule), m_ports(std::move(ports)) {
    for (std::int32_t pin = 0; pin < PORT_COUNT; ++pin) {
        if (!IsChoice(m_ports[pin].row.kind)) m_buffers[pin].assign(static_cast<std::size_t>(m_max_block), 0.0f);
        m_defaults[pin] = m_ports[pin].default_value;
        ConnectPort(static_cast<std::uint32_t>(pin), nullptr);
    }
}

Adapter::~Adapter() { CloseModule(); }

bool Adapter::OpenModule() {
    auto* record = static_cast<SEModuleRecord*>(makeModule(0, SE_KIND_DSP, &Callback, this));
    if (record == nullptr) return false;
    if (record->magic != SE_MODULE_MAGIC || record->version != SE_RECORD_VERSION || record->dispatch == nullptr ||
        record->event == nullptr) {
        return false;  // nothing in it can be trusted, not even its close
    }
    m_record = record;
    for (std::int32_t pin = 0; pin < PORT_COUNT; ++pin) {
        SEPinProperties properties{};
        record->dispatch(record, OP_GET_PIN_PROPERTIES, pin, 0, &properties, 0.0f);
        m_variables[pin] = properties.variable;
        if (m_variables[pin] == nullptr) {
            CloseModule();
            return false;
        }
        if (!m_buffers[pin].empty()) {
            float* address = m_buffers[pin].data();
            std::memcpy(m_variables[pin], &address, sizeof address);
        }
    }
    m_clock = 0;
    m_buffer_clock = 0;
    m_sleeping = false;
    m_routine_changed = false;
    {
        FloatScope scope;
        record->dispatch(record, OP_SET_SAMPLE_RATE, 0, 0, nullptr, m_rate);
        record->dispatch(record, OP_SET_BLOCK_SIZE, 0, m_max_block, nullptr, 0.0f);
        record->dispatch(record, OP_OPEN, 0, 0, nullptr, 0.0f);
    }
    m_process = record->process;
    return true;
}

void Adapter::CloseModule() {
    if (m_record != nullptr) m_record->dispatch(m_record, OP_CLOSE, 0, 0, nullptr, 0.0f);
    m_record = nullptr;
    m_process = nullptr;
}

void Adapter::Activate() {
    // A request still queued for the object this replaces is dropped when it reaches Work.
    m_epoch.fetch_add(1, std::memory_order_relaxed);
    m_worker_owns.store(false, std::memory_order_relaxed);
    // A new object each time: no history survives, and it is opened at this instance's rate even if another
    // instance opened the module at another rate since.
    CloseModule();
    if (!OpenModule()) return;  // no memory: Run stays silent until the next Activate
    FloatScope scope;
    Announce();
}

void Adapter::Deactivate() { CloseModule(); }

void Adapter::Announce() {
    m_buffer_clock = m_clock;
    Notify(PORT_AUDIO_IN, PS_STREAMING);
    for (const std::int32_t pin : ANNOUNCE_ORDER) {
        const PortDescription& port = m_ports[pin];
        m_seen[pin] = Bits(PortValue(pin));
        if (IsChoice(port.row.kind)) {
            const auto choice = ChoiceFor(port, PortValue(pin));
            SendChoice(pin, choice ? *choice : *ChoiceFor(port, port.default_value));
        } else {
            SendFloat(pin, PinFloat(PortValue(pin)));
        }
    }
}

// ---- audio class ----------------------------------------------------------------------------------------------

void Adapter::ConnectPort(std::uint32_t port, void* data) {
    if (port >= static_cast<std::uint32_t>(PORT_COUNT)) return;
    m_connections[port] = static_cast<float*>(data);
    // An unconnected control port reads its default.
    if (data == nullptr && IsControl(m_ports[port].row.kind)) m_connections[port] = &m_defaults[port];
}

float Adapter::PortValue(std::int32_t pin) const { return *m_connections[pin]; }

bool Adapter::Allocates(std::int32_t pin) const {
    return pin == PORT_ACTIVE || (pin == PORT_MAX_DELAY && m_sent_choice[PORT_ACTIVE] != 0);
}

void Adapter::Run(std::uint32_t frames) {
    float* out = m_connections[PORT_OUT];
    if (frames == 0) return;
    if (m_record == nullptr || m_worker_owns.load(std::memory_order_acquire)) {
        if (out != nullptr) std::fill(out, out + frames, 0.0f);
        return;
    }
    FloatScope scope;
    SendChanges();
    // A worker that ran at once (an offline host) has handed the module back already: the change is exact.
    if (m_worker_owns.load(std::memory_order_acquire)) {
        if (out != nullptr) std::fill(out, out + frames, 0.0f);
        return;
    }
    Process(frames);
}

void Adapter::SendChanges() {
    // Most runs change nothing: one pass over the ports without a branch.
    std::uint32_t changed = 0;
    for (const std::int32_t pin : ANNOUNCE_ORDER) changed |= Bits(PortValue(pin)) ^ m_seen[pin];
    if (changed == 0) return;
    m_buffer_clock = m_clock;
    WorkRequest request{m_epoch.load(std::memory_order_relaxed), 0, {}, {}};
    for (const std::int32_t pin : ANNOUNCE_ORDER) {
        const std::uint32_t raw = Bits(PortValue(pin));
        if (raw == m_seen[pin]) continue;
        const PortDescription& port = m_ports[pin];
        if (!IsChoice(port.row.kind)) {
            const float value = PinFloat(PortValue(pin));
            if (Bits(value) != m_sent_float[pin]) SendFloat(pin, value);
            m_seen[pin] = raw;
            continue;
        }
        const auto choice = ChoiceFor(port, PortValue(pin));
        if (!choice || *choice == m_sent_choice[pin] || !Allocates(pin)) {
            if (choice && *choice != m_sent_choice[pin]) SendChoice(pin, *choice);
            m_seen[pin] = raw;
            continue;
        }
        request.pins[request.count] = pin;  // seen once the worker has it; until then looked at every run
        request.values[request.count] = *choice;
        ++request.count;
    }
    if (request.count == 0 || m_schedule == nullptr) return;
    // Marked as sent before the worker may start: from here to the handing back only the worker writes.
    std::int16_t before[2] = {};
    for (std::int32_t i = 0; i < request.count; ++i) {
        before[i] = m_sent_choice[request.pins[i]];
        m_sent_choice[request.pins[i]] = request.values[i];
    }
    m_worker_owns.store(true, std::memory_order_release);
    if (m_schedule->schedule_work(m_schedule->handle, sizeof request, &request) != LV2_WORKER_SUCCESS) {
        m_worker_owns.store(false, std::memory_order_relaxed);  // nothing was queued: tried again next run
        for (std::int32_t i = 0; i < request.count; ++i) m_sent_choice[request.pins[i]] = before[i];
        return;
    }
    for (std::int32_t i = 0; i < request.count; ++i) m_seen[request.pins[i]] = Bits(PortValue(request.pins[i]));
}

void Adapter::SendChoice(std::int32_t pin, std::int16_t value) {
    std::memcpy(m_variables[pin], &value, sizeof value);
    m_sent_choice[pin] = value;
    Notify(pin, PS_CHANGED);
}

void Adapter::SendFloat(std::int32_t pin, float value) {
    std::fill(m_buffers[pin].begin(), m_buffers[pin].end(), value);
    m_sent_float[pin] = Bits(value);
    // Each gate is a new voice, as in er-render: the resume arms the reset the gate performs in "Mono Mode".
    if (pin == PORT_GATE && value > 0.0f) m_record->dispatch(m_record, OP_RESUME, 0, 0, nullptr, 0.0f);
    Notify(pin, PS_CHANGED);
}

void Adapter::Notify(std::int32_t pin, std::int32_t status) {
    m_sleeping = false;  // an event wakes a sleeping module
    SETimedEvent event{static_cast<std::int32_t>(m_clock), EV_PIN_STATUS, status, 0, pin};
    m_record->event(m_record->object, &event);
}

void Adapter::Process(std::uint32_t frames) {
    const float* in = m_connections[PORT_AUDIO_IN];
    float* out = m_connections[PORT_OUT];
    const bool in_place = in != nullptr && out != nullptr && Overlap(in, out, frames);
    float* const own_in = m_buffers[PORT_AUDIO_IN].data();
    float* const own_out = m_buffers[PORT_OUT].data();
    for (std::uint32_t done = 0; done < frames;) {
        const auto count = static_cast<std::int32_t>(std::min<std::uint32_t>(frames - done, m_max_block));
        // The module reads the host's input and writes the host's output where it can; the adapter's own
        // buffers stand in for an unconnected port and for an input the output overwrites.
        const float* chunk_in = own_in;
        if (in == nullptr) {
            std::fill(own_in, own_in + count, 0.0f);
        } else if (in_place) {
            std::copy(in + done, in + done + count, own_in);
        } else {
            chunk_in = in + done;
        }
        float* chunk_out = out != nullptr ? out + done : own_out;
        std::memcpy(m_variables[PORT_AUDIO_IN], &chunk_in, sizeof chunk_in);
        std::memcpy(m_variables[PORT_OUT], &chunk_out, sizeof chunk_out);
        m_buffer_clock = m_clock;
        if (m_sleeping) {
            std::fill(chunk_out, chunk_out + count, 0.0f);
        } else {
            if (m_routine_changed) {
                m_process = m_record->process;
                m_routine_changed = false;
            }
            if (m_process != nullptr) m_process(m_record->object, 0, count);
        }
        m_clock += static_cast<std::uint32_t>(count);
        done += static_cast<std::uint32_t>(count);
    }
}

// ---- worker ---------------------------------------------------------------------------------------------------

LV2_Worker_Status Adapter::Work(std::uint32_t size, const void* data) {
    WorkRequest request{};
    if (size != sizeof request || data == nullptr) return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&request, data, sizeof request);
    if (request.epoch != m_epoch.load(std::memory_order_relaxed) || m_record == nullptr) return LV2_WORKER_SUCCESS;
    {
        FloatScope scope;
        for (std::int32_t i = 0; i < request.count && i < 2; ++i) SendChoice(request.pins[i], request.values[i]);
    }
    m_worker_owns.store(false, std::memory_order_release);
    return LV2_WORKER_SUCCESS;
}

// ---- the module's calls -----------------------------------------------------------------------------------------

se_answer SE_CDECL Adapter::Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t,
                                     void*, float) {
    if (record == nullptr) return 0;
    auto* adapter = static_cast<Adapter*>(static_cast<SEModuleRecord*>(record)->host_data);
    if (adapter == nullptr) return 0;
    const bool pin = index >= 0 && index < PORT_COUNT;
    switch (opcode) {
    case HOST_GET_PIN_COUNT: return PORT_COUNT;
    case HOST_GET_SAMPLE_CLOCK: return static_cast<std::int32_t>(adapter->m_clock);
    case HOST_GET_BUFFER_CLOCK: return static_cast<std::int32_t>(adapter->m_buffer_clock);
    case HOST_GET_PIN_BUFFER:
        return pin && !adapter->m_buffers[index].empty()
                   ? reinterpret_cast<se_answer>(adapter->m_buffers[index].data())
                   : 0;
    case HOST_SLEEP: adapter->m_sleeping = true; return 0;
    case HOST_ROUTINE_CHANGED: adapter->m_routine_changed = true; return 0;
    default: return 0;  // HOST_SET_PIN_STATUS: LV2 has no use for the output's status
    }
}

}  // namespace er_lv2
