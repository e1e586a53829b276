// The processing object's base as the host sees it: its record, every dispatcher opcode, events, routine
// changes and the checks on input outside the host's contract.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FrameFixtures.h"

namespace frame_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* BASE = BASE_SOURCE;

class ModuleBaseTest : public ObjectTest {
protected:
    // Opens the object with `count` plain DT_LIST pins, each with a variable of its own.
    void OpenWithPins(std::int32_t count) {
        variables.assign(static_cast<std::size_t>(count), 0);
        for (std::int16_t& v : variables) effect->descriptions.push_back(Description(DT_LIST, &v));
        host.pin_count = count;
        Dispatch(record, OP_OPEN);
        log.calls.clear();
    }
    std::vector<std::int16_t> variables;
};

TEST_F(ModuleBaseTest, NewRecordNamesItsObjectAndInstallsTheEmptyRoutine) {
    auto* other_host_data = reinterpret_cast<void*>(std::intptr_t{0x1234});
    EffectLog second_log;  // its own: closing it must not mark the fixture's object as destroyed
    TestEffect* second = new TestEffect(&FakeHost::Callback, other_host_data, &second_log);

    for (TestEffect* object : {effect, second}) {
        const SEModuleRecord* r = object->Record();
        EXPECT_EQ(r->magic, 0x008C9B8B);
        EXPECT_EQ(r->version, 1);
        EXPECT_EQ(r->object, static_cast<void*>(static_cast<SEModule_base*>(object)));
        EXPECT_NE(static_cast<const void*>(r), r->object);  // the record is a member, not the object itself
        EXPECT_NE(r->dispatch, nullptr);
        EXPECT_NE(r->event, nullptr);
        EXPECT_EQ(r->process, SEModule_base::EmptyRoutine().entry);
        EXPECT_EQ(r->reserved0, nullptr);
        for (void* reserved : r->reserved1) EXPECT_EQ(reserved, nullptr);
    }
    EXPECT_EQ(effect->Record()->host_data, &host);
    EXPECT_EQ(second->Record()->host_data, other_host_data);

    // The empty routine leaves every buffer alone.
    float buffer[16];
    for (int i = 0; i < 16; ++i) buffer[i] = static_cast<float>(i) + 0.5f;
    host.pin_buffer[0] = buffer;
    host.pin_count = 1;
    effect->descriptions = {Description(DT_FSAMPLE, nullptr, 0, DR_OUT)};
    Dispatch(record, OP_OPEN);
    record->process(record->object, 0, 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(buffer[i], static_cast<float>(i) + 0.5f);
    EXPECT_THAT(host.CallsWith(HOST_ROUTINE_CHANGED), IsEmpty());

    second->Record()->dispatch(second->Record(), OP_CLOSE, 0, 0, nullptr, 0.0f);
}

TEST_F(ModuleBaseTest, SampleRateAndBlockSizeDefaultUntilTheHostSetsThem) {
    EXPECT_EQ(effect->SampleRate(), 44100.0f);
    EXPECT_EQ(effect->BlockSize(), 1024);
    EXPECT_EQ(Dispatch(record, OP_SET_SAMPLE_RATE, 7, 9, nullptr, 48000.0f), 0);
    EXPECT_EQ(Dispatch(record, OP_SET_BLOCK_SIZE, 7, 512, nullptr, 3.0f), 0);
    EXPECT_EQ(effect->SampleRate(), 48000.0f);
    EXPECT_EQ(effect->BlockSize(), 512);
    EXPECT_THAT(log.calls, ElementsAre("SetSampleRate 48000.000000", "SetBlockSize 512"));
}

// Each opcode: its answer and the operations it reaches, in order.
struct OpcodeCase {
    std::int32_t opcode;
    std::int32_t index;
    std::int32_t value;
    std::intptr_t ptr;
    se_answer answer;
    std::vector<std::string> reached;
    std::vector<Failure> failures;
};

TEST_F(ModuleBaseTest, EveryOpcodeReachesItsOperationAndAnswersAsTheTableSays) {
    OpenWithPins(1);
    const std::vector<OpcodeCase> cases = {
        {OP_OPEN, 0, 0, 0, 0, {"Open"}, {}},
        {OP_SET_SAMPLE_RATE, 0, 0, 0, 0, {"SetSampleRate 0.000000"}, {}},
        {OP_SET_BLOCK_SIZE, 0, 256, 0, 0, {"SetBlockSize 256"}, {}},
        {OP_RESUME, 0, 0, 0, 0, {"OnResume"}, {}},
        {OP_RESUME, -5, 0, 0, 0, {"OnResume"}, {}},
        {OP_RESUME, 3, 0, 0, 0, {"OnResume", "OnResumeValue 3"}, {}},
        {OP_HOST_MESSAGE, 4, 5, 6, 0, {"OnHostMessage 5 4 6"}, {}},
        {7, 0, 0, 0, 0, {}, {{"false", BASE}}},
        {10, 0, 0, 0, 0, {}, {{"false", BASE}}},
        {4, 1, 2, 3, 0, {}, {}},
        {5, 1, 2, 3, 0, {}, {}},
        {9, 1, 2, 3, 0, {}, {}},
        {11, 1, 2, 3, 0, {}, {}},
        {14, 1, 2, 3, 0, {}, {}},
        {100, 1, 2, 3, 0, {}, {}},
        {-1, 1, 2, 3, 0, {}, {}},
    };
    for (const OpcodeCase& c : cases) {
        CheckRecorder checks;
        log.calls.clear();
        host.calls.clear();
        const float rate_before = effect->SampleRate();
        const std::int32_t block_before = effect->BlockSize();
        EXPECT_EQ(Dispatch(record, c.opcode, c.index, c.value, reinterpret_cast<void*>(c.ptr)), c.answer)
            << "opcode " << c.opcode;
        EXPECT_EQ(log.calls, c.reached) << "opcode " << c.opcode;
        EXPECT_EQ(checks.failures(), c.failures) << "opcode " << c.opcode;
        if (c.reached.empty()) {
            EXPECT_THAT(host.calls, IsEmpty()) << "opcode " << c.opcode;
            EXPECT_EQ(effect->SampleRate(), rate_before) << "opcode " << c.opcode;
            EXPECT_EQ(effect->BlockSize(), block_before) << "opcode " << c.opcode;
        }
    }
}

TEST_F(ModuleBaseTest, CloseCallsCloseThenDestroysTheObject) {
    EXPECT_EQ(Dispatch(record, OP_CLOSE), 1);
    EXPECT_TRUE(log.destroyed);
    EXPECT_THAT(log.calls, ElementsAre("Close"));
}

TEST_F(ModuleBaseTest, HostPinPropertiesRequestFillsTheHostsRecordInPlace) {
    std::int16_t variable = 0;
    effect->descriptions = {Description(DT_LIST, &variable)};
    SEPinProperties host_record{};
    host_record.reserved = 77;  // the effect never writes it, so the host's value stays

    EXPECT_EQ(Dispatch(record, OP_GET_PIN_PROPERTIES, 0, 0, &host_record), 1);
    EXPECT_EQ(host_record.variable, &variable);
    EXPECT_EQ(host_record.datatype, DT_LIST);
    EXPECT_EQ(host_record.reserved, 77);

    SEPinProperties untouched{};
    untouched.flags = IO_PRIVATE;
    EXPECT_EQ(Dispatch(record, OP_GET_PIN_PROPERTIES, 1, 0, &untouched), 0);
    EXPECT_EQ(Dispatch(record, OP_GET_PIN_PROPERTIES, -1, 0, &untouched), 0);
    EXPECT_EQ(untouched.flags, IO_PRIVATE);
    EXPECT_EQ(untouched.variable, nullptr);
    EXPECT_THAT(log.calls, ElementsAre("GetPinProperties 0", "GetPinProperties 1", "GetPinProperties -1"));
}

TEST_F(ModuleBaseTest, HostPinPropertiesRequestWithoutARecordIsReportedAndAnswersZero) {
    effect->descriptions = {Description(DT_LIST, nullptr)};
    CheckRecorder checks;
    EXPECT_EQ(Dispatch(record, OP_GET_PIN_PROPERTIES, 0, 0, nullptr), 0);
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"ptr != 0", BASE}));
    EXPECT_THAT(log.calls, IsEmpty());
}

TEST_F(ModuleBaseTest, HostIsToldOfARoutineChangeOnlyWhenTheRoutineChanges) {
    float buffer[8] = {};
    effect->target = buffer;
    const SERoutineRef fill = SEModule_base::Routine<TestEffect, &TestEffect::Fill>();
    const SERoutineRef mark = SEModule_base::Routine<TestEffect, &TestEffect::Mark>();

    effect->SetProcessRoutine(fill);
    effect->SetProcessRoutine(fill);
    EXPECT_EQ(host.CallsWith(HOST_ROUTINE_CHANGED).size(), 1u);
    EXPECT_EQ(record->process, fill.entry);
    record->process(record->object, 2, 3);
    EXPECT_THAT(buffer, ElementsAre(0, 0, 1, 1, 1, 0, 0, 0));

    effect->SetProcessRoutine(mark);
    EXPECT_EQ(host.CallsWith(HOST_ROUTINE_CHANGED).size(), 2u);
    record->process(record->object, 0, 1);
    EXPECT_EQ(buffer[0], 2.0f);

    // Reinstalling the empty routine is a change too, and the host is told with every other argument 0.
    effect->SetProcessRoutine(SEModule_base::EmptyRoutine());
    const std::vector<HostCall> changes = host.CallsWith(HOST_ROUTINE_CHANGED);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[2].index, 0);
    EXPECT_EQ(changes[2].value, 0);
    EXPECT_EQ(changes[2].ptr, nullptr);
    EXPECT_EQ(changes[2].opt, 0.0f);
    EXPECT_EQ(record->process, SEModule_base::EmptyRoutine().entry);

    // A reference that differs only in its trailing words is another routine.
    SERoutineRef variant = mark;
    variant.zero2 = 1;
    effect->SetProcessRoutine(mark);
    effect->SetProcessRoutine(variant);
    EXPECT_EQ(host.CallsWith(HOST_ROUTINE_CHANGED).size(), 5u);
}

TEST_F(ModuleBaseTest, InstalledVirtualRoutineReachesTheOverride) {
    EffectLog derived_log;
    auto* derived = new DerivedTestEffect(&FakeHost::Callback, &host, &derived_log);
    float buffer[2] = {};
    derived->target = buffer;
    derived->SetProcessRoutine(SEModule_base::Routine<TestEffect, &TestEffect::Mark>());
    SEModuleRecord* r = derived->Record();
    r->process(r->object, 1, 1);
    EXPECT_EQ(buffer[1], 3.0f);
    Dispatch(r, OP_CLOSE);
    EXPECT_TRUE(derived_log.destroyed);
}

TEST_F(ModuleBaseTest, RoutineInfoNamesTheAskingObjectsInstalledRoutine) {
    effect->SetProcessRoutine(SEModule_base::Routine<TestEffect, &TestEffect::Fill>());
    const auto* info = reinterpret_cast<const SERoutineInfo*>(Dispatch(record, OP_GET_ROUTINE_INFO));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->one, 1);
    EXPECT_EQ(info->ref_size, static_cast<std::int32_t>(sizeof(SERoutineRef)));
    EXPECT_EQ(info->zero, 0);
    ASSERT_NE(info->routine, nullptr);
    EXPECT_EQ(info->routine, &effect->InstalledRoutine());
    SEProcessEntry first_word;
    std::memcpy(&first_word, info->routine, sizeof first_word);
    EXPECT_EQ(first_word, record->process);

    // One record for the whole library: the last object to ask owns its content.
    EffectLog other_log;
    auto* other = new TestEffect(&FakeHost::Callback, &host, &other_log);
    const auto* other_info = reinterpret_cast<const SERoutineInfo*>(Dispatch(other->Record(), OP_GET_ROUTINE_INFO));
    EXPECT_EQ(other_info, info);
    EXPECT_EQ(info->routine, &other->InstalledRoutine());
    Dispatch(other->Record(), OP_CLOSE);
}

TEST_F(ModuleBaseTest, CallHostPassesTheRecordAndItsArgumentsAndReturnsTheAnswer) {
    host.sample_clock = 4321;
    EXPECT_EQ(effect->SampleClock(), 4321);
    int marker = 0;
    effect->CallHost(99, 1, 2, &marker, 0.25f);
    ASSERT_EQ(host.calls.size(), 2u);
    EXPECT_EQ(host.calls[0].opcode, HOST_GET_SAMPLE_CLOCK);
    EXPECT_EQ(host.calls[0].ptr, nullptr);
    const HostCall& c = host.calls[1];
    EXPECT_EQ(c.opcode, 99);
    EXPECT_EQ(c.index, 1);
    EXPECT_EQ(c.value, 2);
    EXPECT_EQ(c.ptr, &marker);
    EXPECT_EQ(c.opt, 0.25f);
}

TEST(ModuleBaseWithoutHost, EveryHostCallAnswersZeroAndNoPinsAreBuilt) {
    EffectLog log;
    auto* effect = new TestEffect(nullptr, nullptr, &log);
    effect->descriptions = {Description(DT_LIST, nullptr)};
    EXPECT_EQ(effect->CallHost(HOST_GET_PIN_COUNT), 0);
    EXPECT_EQ(effect->SampleClock(), 0);
    effect->SetProcessRoutine(SEModule_base::Routine<TestEffect, &TestEffect::Fill>());  // tells no one
    Dispatch(effect->Record(), OP_OPEN);
    EXPECT_EQ(effect->PinCount(), 0);
    {
        CheckRecorder checks;
        EXPECT_EQ(effect->GetPin(0), nullptr);
        EXPECT_THAT(checks.failures(), ElementsAre(Failure{"m_pins != 0", BASE}));
    }
    EXPECT_EQ(Dispatch(effect->Record(), OP_CLOSE), 1);
}

TEST_F(ModuleBaseTest, DataEventPassesOnlyTheLowSixteenBitsOfItsSecondValue) {
    host.sample_clock = 50;
    SendEvent(record, 50, EV_DATA, -7, 0x12348765, 0);
    SendEvent(record, 50, EV_DATA, 8, 0x7FFF0001, 0);
    EXPECT_THAT(log.calls, ElementsAre("OnDataEvent 50 -7 -30875", "OnDataEvent 50 8 1"));
}

int g_called_with_marker = 0;
void* g_called_object = nullptr;
void SE_CDECL CalledByEvent(void* object) {
    ++g_called_with_marker;
    g_called_object = object;
}

TEST_F(ModuleBaseTest, CallEventRunsItsRoutineOnTheObject) {
    SendEvent(record, 0, EV_CALL, 0, 0, reinterpret_cast<std::intptr_t>(&CalledByEvent));
    EXPECT_EQ(g_called_with_marker, 1);
    EXPECT_EQ(g_called_object, record->object);

    CheckRecorder checks;
    SendEvent(record, 0, EV_CALL, 0, 0, 0);
    EXPECT_EQ(g_called_with_marker, 1);
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"e.ptr != 0", BASE}));
}

TEST_F(ModuleBaseTest, EventOfAnUnknownTypeChangesNothing) {
    OpenWithPins(2);
    CheckRecorder checks;
    for (std::int32_t type : {1, 3, 20, 22, -1}) SendEvent(record, 0, type, PS_STREAMING, 0, 0);
    EXPECT_THAT(log.calls, IsEmpty());
    EXPECT_THAT(checks.failures(), IsEmpty());
    EXPECT_EQ(effect->GetPin(0)->Status(), PS_STATIC);
}

TEST_F(ModuleBaseTest, EventOffTheSampleClockIsReportedAndHandledAsUsual) {
    OpenWithPins(2);
    host.sample_clock = 100;
    CheckRecorder checks;
    SendEvent(record, 99, EV_PIN_STATUS, PS_STREAMING, 0, 1);
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"e->time_stamp == SampleClock()", BASE}));
    EXPECT_THAT(log.calls, ElementsAre("OnPinChange 1"));
    EXPECT_EQ(effect->GetPin(1)->Status(), PS_STREAMING);
}

TEST_F(ModuleBaseTest, PinOutsideThePinsBuiltIsReportedAndIgnored) {
    // Before Open there are no pins at all.
    {
        CheckRecorder checks;
        SendEvent(record, 0, EV_PIN_STATUS, PS_CHANGED, 0, 0);
        EXPECT_THAT(checks.failures(), ElementsAre(Failure{"m_pins != 0", BASE}));
    }
    OpenWithPins(3);
    const std::intptr_t outside[] = {3, 4, -1, INT32_MIN, INT32_MAX, std::intptr_t{INTPTR_MAX}};
    for (std::intptr_t index : outside) {
        CheckRecorder checks;
        SendEvent(record, 0, EV_PIN_STATUS, PS_CHANGED, 0, index);
        EXPECT_THAT(checks.failures(), ElementsAre(Failure{"index >= 0 && index < m_pin_count", BASE}))
            << "pin " << index;
    }
    for (std::int32_t index : {-1, 3, INT32_MIN}) {
        CheckRecorder checks;
        EXPECT_EQ(effect->GetPin(index), nullptr) << index;
        EXPECT_EQ(checks.failures().size(), 1u) << index;
    }
    EXPECT_THAT(log.calls, IsEmpty());
    EXPECT_NE(effect->GetPin(2), nullptr);
}

TEST_F(ModuleBaseTest, MissingEventIsReportedAndIgnored) {
    CheckRecorder checks;
    record->event(record->object, nullptr);
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"e != 0", BASE}));
}

TEST(CheckReporter, DefaultReportIsOneLineOnStderrNamingTheSourceAndExpression) {
    ::testing::internal::CaptureStderr();
    SEReportCheckFailure("m_pins != 0", BASE);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "se_sdk2/SEModule_base: check failed: m_pins != 0\n");
}

TEST(CheckReporter, InstallingNullRestoresTheDefault) {
    CheckRecorder checks;
    const SECheckReporter recorder = SESetCheckReporter(nullptr);
    ::testing::internal::CaptureStderr();
    SEReportCheckFailure("false", "se_sdk2/SEPin");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "se_sdk2/SEPin: check failed: false\n");
    SESetCheckReporter(recorder);
    SEReportCheckFailure("x", "y");
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"x", "y"}));
}

}  // namespace
}  // namespace frame_test
