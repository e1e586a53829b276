// A fuzz target that reads its input as a host session script and plays it against the module, linked into the
// program so that the sanitizers see the module's code: objects made and closed, any dispatcher opcode with any
// arguments, events naming any pin with any status and any type, pin values of every kind, blocks of any length
// and `process` calls with any start and count within the buffers. Every pointer the script hands the module is
// a valid one, as the host's contract requires; everything else is the script's choice.
//
// Besides what the sanitizers catch (memory errors, leaks, undefined behaviour), every call is checked: the
// floating-point control state comes back as the host had it, "Out" is written only within the stretch, no
// output sample is subnormal, and the module never breaks the host callback's contract.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "FloatEnvironment.h"
#include "Host.h"
#include "Module.h"
#include "SECheck.h"
#include "StretchWatch.h"

extern "C" std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity);
extern "C" void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback,
                                     void* host_data);

namespace {

using er_validate::FloatControl;

// The script: bytes read in order; past the end every read answers 0.
class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_position >= m_size; }
    std::uint8_t Byte() { return m_position < m_size ? m_data[m_position++] : 0; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
    std::uint32_t U32() { return U16() | (static_cast<std::uint32_t>(U16()) << 16); }
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    // Mostly a small number from `low` to `low + span - 1`, now and then any 32-bit number.
    std::int32_t Number(std::int32_t span, std::int32_t low = 0) {
        const std::uint8_t selector = Byte();
        return selector < 240 ? low + static_cast<std::int32_t>(selector % span) : I32();
    }
    // The values worth trying first, or any bit pattern.
    float Value() {
        static constexpr std::array<float, 16> VALUES{0.0f, 1.0f, -1.0f, 0.5f, 0.1f, 10.0f, 0.999f, 1e-40f,
                                                      1e30f, -1e30f, 3e9f, -2.5f, 1e-5f, 100.0f, 0.25f, 2.0f};
        const std::uint8_t selector = Byte();
        if (selector < 160) return VALUES[selector % VALUES.size()];
        if (selector < 176) return std::numeric_limits<float>::quiet_NaN();
        if (selector < 192) return selector & 1 ? std::numeric_limits<float>::infinity()
                                                : -std::numeric_limits<float>::infinity();
        const std::uint32_t bits = U32();
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

[[noreturn]] void Finding(const char* what, const std::string& detail) {
    std::fprintf(stderr, "er-fuzz finding: %s: %s\n", what, detail.c_str());
    std::abort();
}

// The delay line's memory, through the module's test seam: the script may make the next allocations fail.
int g_failing_allocations = 0;
float* ScriptedAllocation(std::size_t samples) {
    if (g_failing_allocations > 0) {
        --g_failing_allocations;
        return nullptr;
    }
    return AllocateZeroedLine(samples);
}

// A routine an EV_CALL event may name: the host's own, harmless.
void SE_CDECL HostRoutine(void*) {}

// The frame reports a failed contract check and goes on; here that is expected and silent.
void QuietCheck(const char*, const char*) {}

constexpr std::size_t SLOTS = 3;

struct Slot {
    std::unique_ptr<er_host::Instance> instance;
    std::unique_ptr<er_validate::StretchWatch> watch;
    std::int32_t out_pin = -1;
    bool raw_event_armed = false;  // deliver `raw_event` straight to the object before the next stretch
    SETimedEvent raw_event{};
};

class Player {
public:
    Player(const std::uint8_t* data, std::size_t size) : m_script(data, size) {}
    void Play();

private:
    void Make(Slot& slot);
    void Check(Slot& slot, const char* after);
    void Dispatch(Slot& slot);
    void Post(Slot& slot, std::uint8_t op);
    void DirectProcess(Slot& slot);
    void Gui();
    void Exports();
    std::int32_t Offset(const Slot& slot) { return m_script.Number(slot.instance->Options().block_size + 1); }
    std::int32_t Count(const Slot& slot) { return m_script.Number(slot.instance->Options().block_size, 1); }

    Script m_script;
    std::unique_ptr<er_host::Library> m_library =
        er_host::Library::FromEntries(&getModuleProperties, &makeModule);
    std::array<Slot, SLOTS> m_slots;
    FloatControl m_environment;
    std::array<std::uint8_t, 256> m_scratch{};
};

void Player::Make(Slot& slot) {
    static constexpr std::array<float, 8> RATES{44100.0f, 48000.0f, 48001.0f, 96000.0f, 192001.0f, 384000.0f,
                                                8000.0f, 0.0f};
    er_host::InstanceOptions options;
    const std::uint8_t rate = m_script.Byte();
    options.sample_rate = rate < 224 ? RATES[rate % RATES.size()] : m_script.Value();
    options.block_size = 1 + m_script.U16() % 1024;
    const std::uint8_t pins = m_script.Byte();
    options.pin_count = pins < 200 ? -1 : pins % 24;  // mostly as described; sometimes fewer or more
    options.open = m_script.Byte() < 230;
    options.record_calls = false;
    options.echo_errors = false;
    options.start_clock = m_script.Byte() < 16 ? m_script.I32() : 0;
    slot.watch.reset();
    slot.instance = std::make_unique<er_host::Instance>(*m_library, options);
    slot.raw_event_armed = false;
    if (!slot.instance->Valid()) Finding("makeModule", "no usable record for kind 1");
    slot.out_pin = slot.instance->FindPin("Out");
    if (slot.out_pin >= 0) {
        slot.watch = std::make_unique<er_validate::StretchWatch>(*slot.instance, slot.out_pin, m_environment);
        slot.instance->before_process = [&slot](std::int32_t start, std::int32_t count) {
            if (slot.raw_event_armed) {
                // An event straight to the object in the middle of a block, with the script's own time stamp.
                slot.raw_event_armed = false;
                SETimedEvent event = slot.raw_event;
                slot.instance->Record()->event(slot.instance->Record()->object, &event);
            }
            slot.watch->Before(start, count);
        };
        slot.instance->after_process = [&slot](std::int32_t start, std::int32_t count) {
            slot.watch->After(start, count);
            const float* out = slot.instance->Buffer(slot.out_pin);
            for (std::int32_t i = start; i < start + count; ++i) {
                if (std::fpclassify(out[i]) == FP_SUBNORMAL) Finding("output", "a subnormal sample");
            }
        };
    }
    Check(slot, "making an object");
}

// After every call: the floating-point control state, the stretch watch, and the host callback's contract.
void Player::Check(Slot& slot, const char* after) {
    if (er_validate::ReadFloatControl() != m_environment) {
        Finding(after, "returned with " + er_validate::Describe(er_validate::ReadFloatControl()));
    }
    if (slot.watch && !slot.watch->Fault().empty()) Finding(after, slot.watch->Fault());
    if (!slot.instance) return;
    for (const std::string& error : slot.instance->Errors()) {
        // Faults of the script's own making (a pin the host does not have, an offset past a block) are the
        // host's to refuse; faults in the module's calls into the host are findings.
        if (error.rfind("HOST_", 0) == 0 || error.find("another object's record") != std::string::npos) {
            Finding(after, "the module broke the host callback's contract: " + error);
        }
    }
}

void Player::Dispatch(Slot& slot) {
    std::int32_t opcode = m_script.Number(16, -1);  // -1 .. 14, or any
    const std::int32_t index = m_script.Number(20, -3);
    const std::int32_t value = m_script.Number(4100);
    const float opt = m_script.Value();
    void* ptr = m_scratch.data();
    SEPinProperties properties;
    if (opcode == OP_GET_PIN_PROPERTIES) {
        // The host's record, with its own leftovers in every field.
        for (std::uint8_t& byte : m_scratch) byte = m_script.Byte();
        std::memcpy(&properties, m_scratch.data(), sizeof properties);
        ptr = &properties;
    }
    if (opcode == OP_CLOSE && m_script.Byte() < 128) opcode = OP_OPEN;  // opening again is the likelier quirk
    slot.instance->Dispatch(opcode, index, value, ptr, opt);
    Check(slot, "dispatch");
    if (opcode == OP_CLOSE) {
        slot.watch.reset();
        slot.instance.reset();
    }
}

void Player::Post(Slot& slot, std::uint8_t op) {
    er_host::Instance& instance = *slot.instance;
    const std::int32_t pins = static_cast<std::int32_t>(instance.Pins().size());
    const std::int32_t pin = m_script.Number(pins + 2);
    const std::int32_t offset = Offset(slot);
    switch (op) {
    case 0: instance.PostStatus(pin, m_script.Number(4), offset); break;
    case 1: instance.PostChoice(pin, static_cast<std::int16_t>(m_script.Number(14, -1)), offset, m_script.Number(4)); break;
    case 2: instance.PostFloat(pin, m_script.Value(), offset); break;
    case 3: {
        // Any event type, any value; a pin index from anywhere; a call names a routine the host owns.
        const std::uint8_t kind = m_script.Byte();
        const std::int32_t type = kind < 100 ? EV_PIN_STATUS : kind < 150 ? EV_DATA
                                                           : kind < 200   ? EV_CALL
                                                                          : m_script.I32();
        const std::int32_t value = m_script.Number(4);
        const std::int32_t value2 = m_script.I32();
        const std::intptr_t ptr = type == EV_CALL ? reinterpret_cast<std::intptr_t>(&HostRoutine)
                                                  : static_cast<std::intptr_t>(m_script.Number(pins + 8, -2));
        instance.PostEvent(type, value, value2, ptr, offset);
        break;
    }
    case 4: {
        // Samples of any kind into a float pin's buffer, from anywhere to anywhere in the block.
        float* buffer = instance.Buffer(pin);
        if (!buffer) break;
        const std::int32_t size = instance.Options().block_size;
        const std::int64_t from = m_script.Number(size);
        const std::int64_t end = std::min<std::int64_t>(size, from + m_script.Number(size));
        const float a = m_script.Value(), b = m_script.Value();
        for (std::int64_t i = std::max<std::int64_t>(from, 0); i < end; ++i) buffer[i] = (i & 1) ? a : b;
        break;
    }
    default: {
        // The next stretch is preceded by an event delivered straight to the object, with a time stamp that
        // may disagree with the sample clock.
        slot.raw_event_armed = true;
        slot.raw_event.time_stamp = m_script.Byte() < 128 ? instance.SampleClock() : m_script.I32();
        slot.raw_event.event_type = (m_script.Byte() % 3) * 2;  // status, data, or an unknown type
        slot.raw_event.value = m_script.Number(4);
        slot.raw_event.value2 = m_script.I32();
        slot.raw_event.ptr = m_script.Number(pins + 8, -2);
        break;
    }
    }
    Check(slot, "posting an event");
}

// A `process` call straight through the record, with any stretch inside the buffers.
void Player::DirectProcess(Slot& slot) {
    er_host::Instance& instance = *slot.instance;
    const std::int32_t size = instance.Options().block_size;
    const std::int32_t start = m_script.Number(size);
    if (start < 0 || start >= size) return;
    const std::int32_t count = m_script.Number(size - start, 1);
    if (count < 1 || count > size - start || !slot.watch) return;
    SEModuleRecord* record = instance.Record();
    slot.watch->Before(start, count);
    record->process(record->object, start, count);
    slot.watch->After(start, count);
    Check(slot, "a direct process call");
}

void Player::Gui() {
    void* made = m_library->MakeModule(0, SE_KIND_GUI, nullptr, m_scratch.data());
    if (!made) Finding("makeModule", "no record for kind 2");
    auto* record = static_cast<SEGUIRecord*>(made);
    for (int calls = m_script.Byte() % 8; calls > 0; --calls) {
        const std::int32_t opcode = m_script.Number(16, -1);
        if (opcode == 1) continue;
        record->dispatch(record, opcode, m_script.I32(), m_script.I32(), m_scratch.data(), m_script.Value());
    }
    record->dispatch(record, 1, 0, 0, nullptr, 0.0f);
}

void Player::Exports() {
    SEModuleIdentity identity{};
    getModuleProperties(m_script.Number(3, -1), &identity);
    const std::int32_t index = m_script.Number(3, -1);
    const std::int32_t kind = m_script.Number(4);
    void* made = makeModule(index, kind, nullptr, nullptr);
    if (!made) return;
    // Every object made is closed through its own record: opcode 1 for either kind.
    if (kind == SE_KIND_DSP) {
        auto* record = static_cast<SEModuleRecord*>(made);
        record->dispatch(record, OP_CLOSE, 0, 0, nullptr, 0.0f);
    } else {
        auto* record = static_cast<SEGUIRecord*>(made);
        record->dispatch(record, 1, 0, 0, nullptr, 0.0f);
    }
}

void Player::Play() {
    const FloatControl host_environment = er_validate::ReadFloatControl();
    m_environment = host_environment;
    if (m_script.Byte() & 1) m_environment.mxcsr |= er_validate::MXCSR_FTZ | er_validate::MXCSR_DAZ;
    er_validate::WriteFloatControl(m_environment);
    m_environment = er_validate::ReadFloatControl();  // what the processor took
    g_buffer_allocator = &ScriptedAllocation;
    g_failing_allocations = 0;
    for (int ops = 0; ops < 4000 && !m_script.Done(); ++ops) {
        const std::uint8_t op = m_script.Byte();
        Slot& slot = m_slots[(op >> 5) % SLOTS];
        const std::uint8_t action = op & 31;
        if (action == 0 || !slot.instance) {
            Make(slot);
            continue;
        }
        if (action < 3) {
            slot.instance->Process(Count(slot));
            Check(slot, "a block");
        } else if (action < 5) {
            Dispatch(slot);
        } else if (action < 16) {
            Post(slot, static_cast<std::uint8_t>((action - 5) % 6));
        } else if (action < 20) {
            DirectProcess(slot);
        } else if (action == 20) {
            slot.watch.reset();
            slot.instance.reset();  // closes
            if (er_validate::ReadFloatControl() != m_environment) Finding("closing", "floating-point control changed");
        } else if (action == 21) {
            Gui();
        } else if (action == 22) {
            Exports();
        } else if (action == 23) {
            g_failing_allocations = m_script.Byte() % 3;  // the next one or two delay lines cannot be had
        } else {
            slot.instance->Process(slot.instance->Options().block_size);
            Check(slot, "a block");
        }
    }
    for (Slot& slot : m_slots) {
        slot.watch.reset();
        slot.instance.reset();
    }
    g_failing_allocations = 0;
    er_validate::WriteFloatControl(host_environment);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const SECheckReporter previous = SESetCheckReporter(&QuietCheck);
    (void)previous;
    Player player(data, size);
    player.Play();
    return 0;
}
