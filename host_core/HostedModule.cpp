#include "HostedModule.h"

namespace host_core {

Made HostedModule::Make(SEMakeModuleEntry make_module, Listener* listener) {
    Close();
    m_listener = listener;
    m_process = nullptr;
    m_routine_changed = false;
    m_sleeping = false;
    m_rewrite = true;
    m_needs_preparation = true;
    m_pin_count = 0;
    m_pin_count_answer = 0;
    m_float_pin_count = 0;
    for (PinSlot& pin : m_pins) pin = PinSlot{};
    auto* record = static_cast<SEModuleRecord*>(make_module(0, SE_KIND_DSP, &Callback, this));
    if (record == nullptr) return Made::NoRecord;
    if (record->magic != SE_MODULE_MAGIC || record->version != SE_RECORD_VERSION || record->dispatch == nullptr) {
        return Made::BadRecord;  // abandoned: even its close could not be trusted
    }
    m_record = record;
    m_process = record->process;
    UpdateNeedsPreparation();
    return Made::Ok;
}

se_answer HostedModule::Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                 float opt) {
    if (m_record == nullptr) return 0;
    const se_answer answer = m_record->dispatch(m_record, opcode, index, value, ptr, opt);
    if (opcode == OP_CLOSE) {
        m_record = nullptr;
        m_process = nullptr;
        for (PinSlot& pin : m_pins) pin.variable = nullptr;  // they lived in the object
        m_float_pin_count = 0;
        UpdateNeedsPreparation();
    }
    return answer;
}

void HostedModule::Open(float sample_rate, std::int32_t block_size) {
    Dispatch(OP_SET_SAMPLE_RATE, 0, 0, nullptr, sample_rate);
    Dispatch(OP_SET_BLOCK_SIZE, 0, block_size);
    Dispatch(OP_OPEN);
}

std::int32_t HostedModule::Describe(Visit visit, void* context) {
    m_pin_count = 0;
    for (std::int32_t j = 0; j < MAX_DESCRIPTIONS && m_record != nullptr; ++j) {
        SEPinProperties properties{};
        if (Dispatch(OP_GET_PIN_PROPERTIES, j, 0, &properties) == 0) break;
        const bool visible = VisibleToDsp(properties);
        if (visit != nullptr) visit(context, properties, visible);
        if (!visible || m_pin_count == MAX_PINS) continue;
        m_pins[m_pin_count++] = PinSlot{properties.variable, nullptr, properties.direction, properties.datatype};
    }
    m_pin_count_answer = m_pin_count;
    ListFloatPins();
    return m_pin_count;
}

void HostedModule::ListFloatPins() {
    m_float_pin_count = 0;
    for (std::int32_t pin = 0; pin < m_pin_count; ++pin) {
        if (m_pins[pin].datatype == DT_FSAMPLE && m_pins[pin].variable != nullptr) m_float_pins[m_float_pin_count++] = pin;
    }
}

void HostedModule::SetPins(std::int32_t count, bool repeat_last, std::int32_t answer) {
    count = count < 0 ? 0 : (count > MAX_PINS ? MAX_PINS : count);
    if (count > m_pin_count && !repeat_last) count = m_pin_count;
    for (std::int32_t pin = m_pin_count; pin < count; ++pin) {
        m_pins[pin] = m_pin_count > 0 ? m_pins[m_pin_count - 1] : PinSlot{};
        m_pins[pin].variable = nullptr;
        m_pins[pin].buffer = nullptr;
    }
    m_pin_count = count;
    m_pin_count_answer = answer;
    ListFloatPins();
}

// Processing with everything a call may need first: silence while asleep, the new routine, the addresses, the
// listener around the call.
bool HostedModule::PrepareAndProcess(std::int32_t start, std::int32_t count) {
    if (m_sleeping) {
        Silence(start, count);
        return false;
    }
    if (m_routine_changed) {
        m_process = m_record->process;
        m_routine_changed = false;
        UpdateNeedsPreparation();
    }
    if (m_process == nullptr) {
        Notice(Fault::NoProcessEntry, 0, 0);
        return false;
    }
    if (m_rewrite) WriteBufferAddresses();
    if (m_listener != nullptr) {
        m_listener->BeforeProcess(start, count);
        if (m_record == nullptr) return false;  // an observer closed the module
    }
    m_process(m_record->object, start, count);
    if (m_listener != nullptr) m_listener->AfterProcess(start, count);
    return true;
}

bool HostedModule::Deliver(SETimedEvent event) {
    if (m_record == nullptr) return false;
    m_sleeping = false;
    UpdateNeedsPreparation();
    WriteBufferAddresses();
    if (m_record->event == nullptr) {
        Notice(Fault::NoEventEntry, 0, 0);
        return false;
    }
    event.time_stamp = m_clock;
    m_record->event(m_record->object, &event);
    return true;
}

void HostedModule::Silence(std::int32_t start, std::int32_t count) {
    for (std::int32_t pin = 0; pin < m_pin_count; ++pin) {
        if (m_pins[pin].direction != DR_OUT || m_pins[pin].buffer == nullptr) continue;
        std::memset(m_pins[pin].buffer + start, 0, static_cast<std::size_t>(count) * sizeof(float));
    }
}

bool HostedModule::CheckPin(std::int32_t opcode, std::int32_t pin) {
    if (pin >= 0 && pin < m_pin_count) return true;
    Notice(Fault::NoSuchPin, opcode, pin);
    return false;
}

se_answer SE_CDECL HostedModule::Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                          void* ptr, float /*opt*/) {
    if (record == nullptr) return 0;
    auto* self = static_cast<HostedModule*>(static_cast<SEModuleRecord*>(record)->host_data);
    if (self == nullptr) return 0;
    if (self->m_record != nullptr && self->m_record != record) {
        self->Notice(Fault::ForeignRecord, opcode, index);
        return 0;
    }
    if (self->m_listener != nullptr) self->m_listener->Called(opcode, index, value, ptr, self->m_clock);
    return self->Answer(opcode, index, value, ptr);
}

se_answer HostedModule::Answer(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr) {
    switch (opcode) {
    case HOST_SET_PIN_STATUS: {
        if (!CheckPin(opcode, index)) return 0;
        const auto clock = static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(ptr));
        // Clocks wrap at 32 bits: "before" is a negative distance.
        if (static_cast<std::int32_t>(static_cast<std::uint32_t>(clock) - static_cast<std::uint32_t>(m_clock)) < 0) {
            Notice(Fault::StatusInThePast, opcode, index, clock);
        }
        if (m_listener != nullptr) m_listener->StatusReported(index, value, clock);
        return 0;
    }
    case HOST_GET_SAMPLE_CLOCK:
        return m_clock;
    case HOST_GET_PIN_BUFFER:
        if (!CheckPin(opcode, index)) return 0;
        if (m_pins[index].buffer == nullptr) Notice(Fault::NotAFloatPin, opcode, index);
        return reinterpret_cast<se_answer>(m_pins[index].buffer);
    case HOST_GET_BUFFER_CLOCK:
        return CheckPin(opcode, index) ? m_buffer_clock : 0;  // every buffer starts at the same sample
    case HOST_SLEEP:
        m_sleeping = true;
        m_needs_preparation = true;
        return 0;
    case HOST_GET_PIN_COUNT:
        return m_pin_count_answer;
    case HOST_ROUTINE_CHANGED:
        m_routine_changed = true;
        m_needs_preparation = true;
        return 0;
    default:
        return 0;
    }
}

}  // namespace host_core
