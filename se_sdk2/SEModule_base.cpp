#include "SEModule_base.h"

#include <climits>
#include <iterator>
#include <new>

#include "SECheck.h"
#include "SEPin.h"

namespace {

constexpr const char* SOURCE = "se_sdk2/SEModule_base";

// The host reaches the object only through these two plain functions and the installed routine's entry.
se_answer SE_CDECL DispatchForwarder(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                     void* ptr, float opt) {
    auto* object = static_cast<SEModule_base*>(static_cast<SEModuleRecord*>(record)->object);
    return object->Dispatch(opcode, index, value, ptr, opt);
}

void SE_CDECL EventForwarder(void* object, SETimedEvent* e) {
    static_cast<SEModule_base*>(object)->HandleEvent(e);
}

void SE_CDECL EmptyRoutineEntry(void*, std::int32_t, std::int32_t) {}

// Shared by every object of the library; rewritten for the asking object by each OP_GET_ROUTINE_INFO.
SERoutineInfo g_routine_info{1, static_cast<std::int32_t>(sizeof(SERoutineRef)), nullptr, 0};

}  // namespace

// Turns opcodes and events into virtual operations. Each table row is the whole translation of one code.
struct SEModule_base::Translation {
    using OpcodeHandler = se_answer (*)(SEModule_base& object, std::int32_t index, std::int32_t value, void* ptr,
                                        float opt);
    using EventHandler = void (*)(SEModule_base& object, const SETimedEvent& e);

    static se_answer Open(SEModule_base& object, std::int32_t, std::int32_t, void*, float) {
        object.Open();
        return 0;
    }
    // The object is gone when this returns: nothing may touch it afterwards.
    static se_answer Close(SEModule_base& object, std::int32_t, std::int32_t, void*, float) {
        object.Close();
        delete &object;
        return 1;
    }
    static se_answer SetSampleRate(SEModule_base& object, std::int32_t, std::int32_t, void*, float opt) {
        object.SetSampleRate(opt);
        return 0;
    }
    static se_answer SetBlockSize(SEModule_base& object, std::int32_t, std::int32_t value, void*, float) {
        object.SetBlockSize(value);
        return 0;
    }
    // The host's own record is filled in place: fields the effect leaves alone keep the host's values.
    static se_answer GetPinProperties(SEModule_base& object, std::int32_t index, std::int32_t, void* ptr, float) {
        if (!SE_CHECK(ptr != 0, SOURCE)) return 0;
        const bool described = object.GetPinProperties(index, static_cast<SEPinProperties*>(ptr));
        // The patch-store rule: a stored value must belong to a private, output or UI-communication pin. The odd
        // casts and spaces are on purpose: a failed check reports this text, fixed to the character.
        // The condition's text, spacing included, is what a failed check reports: kept as it stands.
        // clang-format off
        SE_CHECK((((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 ||
                     (((SEPinProperties*)ptr)->flags & IO_PRIVATE) != 0 ||
                     ((SEPinProperties*)ptr)->direction == DR_OUT ||
                     ( ( (SEPinProperties*)ptr)->flags & IO_UI_COMMUNICATION) != 0,
                 SOURCE);
        // clang-format on
        return described ? 1 : 0;
    }
    // Opcodes that only a GUI object accepts.
    static se_answer Rejected(SEModule_base&, std::int32_t, std::int32_t, void*, float) {
        SE_CHECK(false, SOURCE);
        return 0;
    }
    static se_answer Resume(SEModule_base& object, std::int32_t index, std::int32_t, void*, float) {
        object.OnResume();
        if (index > 0) object.OnResumeValue(index);
        return 0;
    }
    static se_answer HostMessage(SEModule_base& object, std::int32_t index, std::int32_t value, void* ptr, float) {
        object.OnHostMessage(value, index, ptr);
        return 0;
    }
    static se_answer GetRoutineInfo(SEModule_base& object, std::int32_t, std::int32_t, void*, float) {
        g_routine_info = SERoutineInfo{1, static_cast<std::int32_t>(sizeof(SERoutineRef)), &object.m_routine, 0};
        return reinterpret_cast<se_answer>(&g_routine_info);
    }

    // Indexed by opcode; a null row answers 0 and does nothing.
    static constexpr OpcodeHandler OPCODES[] = {
        &Open,              // 0  OP_OPEN
        &Close,             // 1  OP_CLOSE
        &SetSampleRate,     // 2  OP_SET_SAMPLE_RATE
        &SetBlockSize,      // 3  OP_SET_BLOCK_SIZE
        nullptr,            // 4
        nullptr,            // 5
        &GetPinProperties,  // 6  OP_GET_PIN_PROPERTIES
        &Rejected,          // 7  OP_GUI_PAIR
        &Resume,            // 8  OP_RESUME
        nullptr,            // 9
        &Rejected,          // 10 OP_GUI_QUERY
        nullptr,            // 11
        &HostMessage,       // 12 OP_HOST_MESSAGE
        &GetRoutineInfo,    // 13 OP_GET_ROUTINE_INFO
    };

    static void PinStatus(SEModule_base& object, const SETimedEvent& e) {
        // The pin index travels in a pointer-sized field; anything outside int32 is no pin at all.
        const std::int32_t index = e.ptr >= 0 && e.ptr <= INT32_MAX ? static_cast<std::int32_t>(e.ptr) : -1;
        if (SEPin* pin = object.GetPin(index)) pin->OnStatusChange(e.value);
    }
    static void Data(SEModule_base& object, const SETimedEvent& e) {
        object.OnDataEvent(e.time_stamp, e.value, static_cast<std::int16_t>(e.value2 & 0xFFFF));
    }
    static void Call(SEModule_base& object, const SETimedEvent& e) {
        if (!SE_CHECK(e.ptr != 0, SOURCE)) return;
        reinterpret_cast<SECallEntry>(e.ptr)(static_cast<void*>(&object));
    }

    struct EventRow {
        std::int32_t type;
        EventHandler handler;
    };
    // Event types not listed are ignored.
    static constexpr EventRow EVENTS[] = {
        {EV_PIN_STATUS, &PinStatus},
        {EV_DATA, &Data},
        {EV_CALL, &Call},
    };
};

SEModule_base::SEModule_base(SEHostCallback host_callback, void* host_data)
    : m_host_callback(host_callback),
      m_record{},
      m_sample_rate(44100.0f),
      m_host_block_size(1024),
      m_pins(nullptr),
      m_pin_count(0),
      m_routine(EmptyRoutine()) {
    m_record.magic = SE_MODULE_MAGIC;
    m_record.version = SE_RECORD_VERSION;
    m_record.host_data = host_data;
    m_record.object = static_cast<void*>(this);
    m_record.dispatch = &DispatchForwarder;
    m_record.process = m_routine.entry;
    m_record.event = &EventForwarder;
}

SEModule_base::~SEModule_base() { ReleasePins(); }

SERoutineRef SEModule_base::EmptyRoutine() { return SERoutineRef{&EmptyRoutineEntry, 0, 0}; }

void SEModule_base::OnPinChange(SEPin*) {}

void SEModule_base::HandleEvent(SETimedEvent* e) {
    if (!SE_CHECK(e != 0, SOURCE)) return;
    // Reported only: the host's clock is its own affair, and the event is handled as usual.
    SE_CHECK(e->time_stamp == SampleClock(), SOURCE);
    for (const Translation::EventRow& row : Translation::EVENTS) {
        if (row.type == e->event_type) {
            row.handler(*this, *e);
            return;
        }
    }
}

se_answer SEModule_base::Dispatch(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                  float opt) {
    constexpr std::int32_t count = static_cast<std::int32_t>(std::size(Translation::OPCODES));
    if (opcode < 0 || opcode >= count || Translation::OPCODES[opcode] == nullptr) return 0;
    // OP_CLOSE destroys this object inside the handler: return its answer without touching a member.
    return Translation::OPCODES[opcode](*this, index, value, ptr, opt);
}

std::int32_t SEModule_base::Open() {
    BuildPins();
    return 0;
}

void SEModule_base::Close() {}

void SEModule_base::SetSampleRate(float rate) { m_sample_rate = rate; }

void SEModule_base::SetBlockSize(std::int32_t samples) { m_host_block_size = samples; }

float SEModule_base::SampleRate() { return m_sample_rate; }

std::int32_t SEModule_base::BlockSize() { return m_host_block_size; }

bool SEModule_base::GetPinProperties(std::int32_t, SEPinProperties*) { return false; }

void SEModule_base::OnResume() {}

void SEModule_base::OnResumeValue(std::int32_t) {}

void SEModule_base::OnDataEvent(std::int32_t, std::int32_t, std::int16_t) {}

void SEModule_base::OnHostMessage(std::int32_t, std::int32_t, void*) {}

se_answer SEModule_base::CallHost(std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                                  float opt) {
    if (m_host_callback == nullptr) return 0;
    return m_host_callback(&m_record, opcode, index, value, ptr, opt);
}

std::int32_t SEModule_base::SampleClock() { return static_cast<std::int32_t>(CallHost(HOST_GET_SAMPLE_CLOCK)); }

SEPin* SEModule_base::GetPin(std::int32_t index) {
    if (!SE_CHECK(m_pins != 0, SOURCE)) return nullptr;
    if (!SE_CHECK(index >= 0 && index < m_pin_count, SOURCE)) return nullptr;
    return &m_pins[index];
}

void SEModule_base::SetProcessRoutine(const SERoutineRef& ref) {
    if (ref == m_routine) return;
    m_routine = ref;
    m_record.process = m_routine.entry;
    CallHost(HOST_ROUTINE_CHANGED);
}

// Host pin numbers count the DSP-visible descriptions in order. A host with more pins than descriptions gets
// the last description repeated when it asks for that (IO_REPEAT_LAST); otherwise the extra pins stay empty.
void SEModule_base::BuildPins() {
    ReleasePins();  // a second OP_OPEN builds afresh instead of leaking the first array

    const se_answer reported = CallHost(HOST_GET_PIN_COUNT);
    const std::int32_t n = reported > 0 ? static_cast<std::int32_t>(reported > INT32_MAX ? INT32_MAX : reported) : 0;
    if (n > 0) {
        m_pins = new (std::nothrow) SEPin[static_cast<std::size_t>(n)];
        // Without memory the object simply has no pins; GetPin then reports and answers null.
        m_pin_count = m_pins != nullptr ? n : 0;
    }

    std::int32_t i = 0;
    std::int32_t j = 0;
    for (; j < INT32_MAX; ++j) {
        SEPinProperties p{};
        if (!GetPinProperties(j, &p) || i >= m_pin_count) break;
        if (VisibleToDsp(p)) {
            m_pins[i].Init(this, i, p.datatype, p.variable);
            ++i;
        }
    }
    if (j == 0) return;

    SEPinProperties last{};
    GetPinProperties(j - 1, &last);
    if (!VisibleToDsp(last) || (last.flags & IO_REPEAT_LAST) == 0) return;
    for (; i < m_pin_count; ++i) m_pins[i].Init(this, i, last.datatype, nullptr);
}

void SEModule_base::ReleasePins() {
    delete[] m_pins;
    m_pins = nullptr;
    m_pin_count = 0;
}
