#include "FrameFixtures.h"

#include <cstring>

namespace frame_test {

namespace {
std::vector<CheckRecorder::Failure> g_failures;

void Record(const char* expression, const char* source) { g_failures.push_back({expression, source}); }

bool AllZero(const SEPinProperties& p) {
    static const SEPinProperties zero{};
    return std::memcmp(&p, &zero, sizeof p) == 0;
}
}  // namespace

std::vector<HostCall> FakeHost::CallsWith(std::int32_t opcode) const {
    std::vector<HostCall> found;
    for (const HostCall& call : calls) {
        if (call.opcode == opcode) found.push_back(call);
    }
    return found;
}

se_answer SE_CDECL FakeHost::Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                      void* ptr, float opt) {
    auto* host = static_cast<FakeHost*>(static_cast<SEModuleRecord*>(record)->host_data);
    host->calls.push_back({opcode, index, value, ptr, opt});
    switch (opcode) {
    case HOST_SET_PIN_STATUS:
        return host->set_pin_status_answer;
    case HOST_GET_SAMPLE_CLOCK:
        return host->sample_clock;
    case HOST_GET_PIN_BUFFER:
        return reinterpret_cast<se_answer>(host->pin_buffer[index]);
    case HOST_GET_BUFFER_CLOCK:
        return host->buffer_clock[index];
    case HOST_GET_PIN_COUNT:
        return host->pin_count;
    default:
        return 0;
    }
}

CheckRecorder::CheckRecorder() : m_previous(SESetCheckReporter(&Record)) { g_failures.clear(); }

CheckRecorder::~CheckRecorder() { SESetCheckReporter(m_previous); }

const std::vector<CheckRecorder::Failure>& CheckRecorder::failures() const { return g_failures; }

TestEffect::~TestEffect() { m_log->destroyed = true; }

void TestEffect::OnPinChange(SEPin* pin) {
    m_log->status_inside.push_back(pin->Status());
    m_log->pin_inside.push_back(pin->Index());
    Log("OnPinChange " + std::to_string(pin->Index()));
}

std::int32_t TestEffect::Open() {
    m_opening = true;
    const std::int32_t answer = SEModule_base::Open();
    m_opening = false;
    Log("Open");
    return answer;
}

void TestEffect::Close() { Log("Close"); }

void TestEffect::SetSampleRate(float rate) {
    SEModule_base::SetSampleRate(rate);
    Log("SetSampleRate " + std::to_string(rate));
}

void TestEffect::SetBlockSize(std::int32_t samples) {
    SEModule_base::SetBlockSize(samples);
    Log("SetBlockSize " + std::to_string(samples));
}

bool TestEffect::GetPinProperties(std::int32_t index, SEPinProperties* properties) {
    if (m_opening && clear_check_enabled && !AllZero(*properties)) m_log->descriptions_cleared = false;
    if (!m_opening) Log("GetPinProperties " + std::to_string(index));
    if (index < 0 || index >= static_cast<std::int32_t>(descriptions.size())) return false;
    // Like a real effect: write the fields it describes, leave the reserved one alone.
    const SEPinProperties& d = descriptions[static_cast<std::size_t>(index)];
    properties->variable = d.variable;
    properties->direction = d.direction;
    properties->datatype = d.datatype;
    properties->name = d.name;
    properties->default_value = d.default_value;
    properties->extra_text = d.extra_text;
    properties->flags = d.flags;
    return true;
}

void TestEffect::OnResume() { Log("OnResume"); }

void TestEffect::OnResumeValue(std::int32_t value) { Log("OnResumeValue " + std::to_string(value)); }

void TestEffect::OnDataEvent(std::int32_t time_stamp, std::int32_t value, std::int16_t value2) {
    Log("OnDataEvent " + std::to_string(time_stamp) + " " + std::to_string(value) + " " + std::to_string(value2));
}

void TestEffect::OnHostMessage(std::int32_t value, std::int32_t index, void* ptr) {
    Log("OnHostMessage " + std::to_string(value) + " " + std::to_string(index) + " " +
        std::to_string(reinterpret_cast<std::intptr_t>(ptr)));
}

void TestEffect::Fill(std::int32_t start, std::int32_t count) {
    for (std::int32_t i = start; i < start + count; ++i) target[i] = 1.0f;
}

void TestEffect::Mark(std::int32_t start, std::int32_t count) {
    for (std::int32_t i = start; i < start + count; ++i) target[i] = 2.0f;
}

void DerivedTestEffect::Mark(std::int32_t start, std::int32_t count) {
    for (std::int32_t i = start; i < start + count; ++i) target[i] = 3.0f;
}

ObjectTest::~ObjectTest() {
    if (!log.destroyed) Dispatch(record, OP_CLOSE);
}

SEPinProperties Description(std::int32_t datatype, void* variable, std::int32_t flags, std::int32_t direction) {
    SEPinProperties p{};
    p.variable = variable;
    p.direction = direction;
    p.datatype = datatype;
    p.name = "pin";
    p.flags = flags;
    return p;
}

se_answer Dispatch(SEModuleRecord* record, std::int32_t opcode, std::int32_t index, std::int32_t value, void* ptr,
                   float opt) {
    return record->dispatch(record, opcode, index, value, ptr, opt);
}

void SendEvent(SEModuleRecord* record, std::int32_t time_stamp, std::int32_t type, std::int32_t value,
               std::int32_t value2, std::intptr_t ptr) {
    SETimedEvent e{time_stamp, type, value, value2, ptr};
    record->event(record->object, &e);
}

}  // namespace frame_test
