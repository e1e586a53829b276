// Test doubles for the frame: a fake host behind the host callback, a small effect that records every virtual
// call it receives, and a recorder of failed checks. Tests drive objects through their records only, as a
// host does.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "SEAbi.h"
#include "SECheck.h"
#include "SEModule_base.h"
#include "SEPin.h"

namespace frame_test {

// One host callback as the object made it.
struct HostCall {
    std::int32_t opcode;
    std::int32_t index;
    std::int32_t value;
    void* ptr;
    float opt;
};

// Answers the host-callback opcodes the frame uses and records every call. Found through the record's
// host_data, as a real host would find its own state.
struct FakeHost {
    std::int32_t pin_count = 0;
    std::int32_t sample_clock = 0;
    std::map<std::int32_t, std::int32_t> buffer_clock;  // by pin
    std::map<std::int32_t, float*> pin_buffer;          // by pin
    se_answer set_pin_status_answer = 0;
    std::vector<HostCall> calls;

    std::vector<HostCall> CallsWith(std::int32_t opcode) const;

    static se_answer SE_CDECL Callback(void* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                                       void* ptr, float opt);
};

// Captures failed checks for the life of the object, restoring the previous reporter afterwards.
class CheckRecorder {
public:
    struct Failure {
        std::string expression;
        std::string source;
        bool operator==(const Failure&) const = default;
    };

    CheckRecorder();
    ~CheckRecorder();
    CheckRecorder(const CheckRecorder&) = delete;
    CheckRecorder& operator=(const CheckRecorder&) = delete;

    const std::vector<Failure>& failures() const;

private:
    SECheckReporter m_previous;
};

// What a TestEffect saw; outlives the effect, so that OP_CLOSE's destruction can be observed.
struct EffectLog {
    std::vector<std::string> calls;           // one line per virtual call, e.g. "OnResumeValue 3"
    std::vector<std::int32_t> status_inside;  // each OnPinChange: the pin's status during the call
    std::vector<std::int32_t> pin_inside;     // each OnPinChange: the pin's index
    bool descriptions_cleared = true;         // every record the frame handed to GetPinProperties read 0
    bool destroyed = false;
};

// An effect derived from the frame's base that logs each virtual call and answers pin descriptions from a
// table that the test sets.
class TestEffect : public SEModule_base {
public:
    TestEffect(SEHostCallback host_callback, void* host_data, EffectLog* log)
        : SEModule_base(host_callback, host_data), m_log(log) {}
    ~TestEffect() override;

    std::vector<SEPinProperties> descriptions;  // GetPinProperties answers index i from element i
    bool clear_check_enabled = true;            // during Open only: the frame's records must read 0

    void OnPinChange(SEPin* pin) override;
    std::int32_t Open() override;
    void Close() override;
    void SetSampleRate(float rate) override;
    void SetBlockSize(std::int32_t samples) override;
    bool GetPinProperties(std::int32_t index, SEPinProperties* properties) override;
    void OnResume() override;
    void OnResumeValue(std::int32_t value) override;
    void OnDataEvent(std::int32_t time_stamp, std::int32_t value, std::int16_t value2) override;
    void OnHostMessage(std::int32_t value, std::int32_t index, void* ptr) override;

    // Two processing routines, one of them virtual, writing their name's mark into a buffer.
    float* target = nullptr;
    void Fill(std::int32_t start, std::int32_t count);
    virtual void Mark(std::int32_t start, std::int32_t count);

    void Log(std::string line) { m_log->calls.push_back(std::move(line)); }

private:
    EffectLog* m_log;
    bool m_opening = false;
};

// Overrides the virtual routine, to show that the installed entry reaches the override.
class DerivedTestEffect : public TestEffect {
public:
    using TestEffect::TestEffect;
    void Mark(std::int32_t start, std::int32_t count) override;
};

using Failure = CheckRecorder::Failure;
inline constexpr const char* BASE_SOURCE = "se_sdk2/SEModule_base";
inline constexpr const char* PIN_SOURCE = "se_sdk2/SEPin";

// One TestEffect made the way makeModule makes it and reached through its record, as a host does; closed
// at the end unless the test closed it.
class ObjectTest : public ::testing::Test {
protected:
    FakeHost host;
    EffectLog log;
    TestEffect* effect = new TestEffect(&FakeHost::Callback, &host, &log);
    SEModuleRecord* record = effect->Record();

    ~ObjectTest() override;
};

// A plain description of one pin.
SEPinProperties Description(std::int32_t datatype, void* variable, std::int32_t flags = 0,
                            std::int32_t direction = DR_IN);

// The record's own entries, as the host calls them.
se_answer Dispatch(SEModuleRecord* record, std::int32_t opcode, std::int32_t index = 0, std::int32_t value = 0,
                   void* ptr = nullptr, float opt = 0.0f);
void SendEvent(SEModuleRecord* record, std::int32_t time_stamp, std::int32_t type, std::int32_t value,
               std::int32_t value2, std::intptr_t ptr);

}  // namespace frame_test
