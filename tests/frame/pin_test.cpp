// Pins: building them from the effect's descriptions at open, their storage, status changes, reading a stream
// at the current clock, reporting an output's status, and the patch-store rule on descriptions for the host.
#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FailingAllocation.h"
#include "FrameFixtures.h"

namespace frame_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* BASE = BASE_SOURCE;
constexpr const char* PIN = PIN_SOURCE;

class PinTest : public ObjectTest {
protected:
    std::int16_t variables[20] = {};

    // `count` plain DT_LIST descriptions, description i with variables[i].
    void Describe(std::int32_t count) {
        for (std::int32_t i = 0; i < count; ++i) effect->descriptions.push_back(Description(DT_LIST, &variables[i]));
    }
    void Open(std::int32_t host_pins) {
        host.pin_count = host_pins;
        Dispatch(record, OP_OPEN);
    }
    // A pin left as created: never set up by a description.
    void ExpectUnset(std::int32_t i) {
        const SEPin* pin = effect->GetPin(i);
        ASSERT_NE(pin, nullptr);
        EXPECT_EQ(pin->Index(), 0) << "pin " << i;
        EXPECT_EQ(pin->Variable(), nullptr) << "pin " << i;
        EXPECT_EQ(pin->Datatype(), 0) << "pin " << i;
    }
};

TEST_F(PinTest, OnePinPerDescriptionWhenTheHostHasAsManyPins) {
    Describe(14);
    effect->descriptions[3].datatype = DT_FSAMPLE;
    Open(14);
    ASSERT_EQ(effect->PinCount(), 14);
    EXPECT_TRUE(log.descriptions_cleared);
    for (std::int32_t i = 0; i < 14; ++i) {
        const SEPin* pin = effect->GetPin(i);
        EXPECT_EQ(pin->Index(), i);
        EXPECT_EQ(pin->Variable(), &variables[i]);
        EXPECT_EQ(pin->Datatype(), i == 3 ? DT_FSAMPLE : DT_LIST);
        EXPECT_EQ(pin->Status(), PS_STATIC);
    }
    // With a variable of its own a DT_FSAMPLE pin never asks the host for a buffer.
    EXPECT_THAT(host.CallsWith(HOST_GET_PIN_BUFFER), IsEmpty());
    EXPECT_EQ(host.CallsWith(HOST_GET_PIN_COUNT).size(), 1u);
}

TEST_F(PinTest, GuiOnlyDescriptionGetsNoPinAndTheNextTakesItsIndex) {
    Describe(4);
    effect->descriptions[1].flags = IO_UI_COMMUNICATION;
    effect->descriptions[2].flags = IO_UI_COMMUNICATION | IO_UI_AND_DSP;
    Open(3);
    EXPECT_EQ(effect->GetPin(0)->Variable(), &variables[0]);
    EXPECT_EQ(effect->GetPin(1)->Variable(), &variables[2]);
    EXPECT_EQ(effect->GetPin(1)->Index(), 1);
    EXPECT_EQ(effect->GetPin(2)->Variable(), &variables[3]);
    EXPECT_EQ(effect->GetPin(2)->Index(), 2);
}

TEST_F(PinTest, ExtraHostPinsRepeatTheLastDescriptionOnlyWhenItAsksForIt) {
    Describe(14);
    effect->descriptions[13].datatype = DT_FSAMPLE;
    effect->descriptions[13].flags = IO_REPEAT_LAST;
    float buffers[20][4] = {};
    for (std::int32_t i = 0; i < 20; ++i) host.pin_buffer[i] = buffers[i];
    Open(20);
    ASSERT_EQ(effect->PinCount(), 20);
    EXPECT_EQ(effect->GetPin(13)->Variable(), &variables[13]);
    for (std::int32_t i = 14; i < 20; ++i) {
        const SEPin* pin = effect->GetPin(i);
        EXPECT_EQ(pin->Index(), i);
        EXPECT_EQ(pin->Datatype(), DT_FSAMPLE);
        EXPECT_EQ(pin->Status(), PS_STATIC);
        // No variable: the pin keeps the buffer address the host gave for it.
        ASSERT_NE(pin->Variable(), nullptr);
        EXPECT_EQ(*static_cast<float* const*>(pin->Variable()), buffers[i]) << "pin " << i;
    }
    std::vector<std::int32_t> asked;
    for (const HostCall& c : host.CallsWith(HOST_GET_PIN_BUFFER)) asked.push_back(c.index);
    EXPECT_THAT(asked, ElementsAre(14, 15, 16, 17, 18, 19));
}

TEST_F(PinTest, ExtraHostPinsStayAsCreatedWithoutRepeatLast) {
    Describe(14);
    Open(20);
    ASSERT_EQ(effect->PinCount(), 20);
    for (std::int32_t i = 14; i < 20; ++i) ExpectUnset(i);

    // Such a pin has no owner to tell: a status event for it is reported, not followed.
    CheckRecorder checks;
    SendEvent(record, 0, EV_PIN_STATUS, PS_STREAMING, 0, 15);
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"m_module != 0", PIN}));
    EXPECT_THAT(log.calls, ElementsAre("Open"));
}

TEST_F(PinTest, RepeatLastOnAGuiOnlyLastDescriptionIsNotRepeated) {
    Describe(3);
    effect->descriptions[2].flags = IO_UI_COMMUNICATION | IO_REPEAT_LAST;
    Open(5);
    EXPECT_EQ(effect->GetPin(1)->Variable(), &variables[1]);
    for (std::int32_t i = 2; i < 5; ++i) ExpectUnset(i);
}

TEST_F(PinTest, FewerHostPinsThanDescriptionsBuildOnlyTheFirst) {
    Describe(14);
    effect->descriptions[4].flags = IO_UI_COMMUNICATION;  // not counted
    effect->descriptions[6].flags = IO_REPEAT_LAST;       // beyond the pins: never consulted
    Open(5);
    ASSERT_EQ(effect->PinCount(), 5);
    const std::int16_t* expected[] = {&variables[0], &variables[1], &variables[2], &variables[3], &variables[5]};
    for (std::int32_t i = 0; i < 5; ++i) EXPECT_EQ(effect->GetPin(i)->Variable(), expected[i]) << "pin " << i;
}

TEST_F(PinTest, NoHostPinsBuildsNothing) {
    Describe(3);
    for (std::int32_t count : {0, -3}) {
        Open(count);
        EXPECT_EQ(effect->PinCount(), 0);
        CheckRecorder checks;
        EXPECT_EQ(effect->GetPin(0), nullptr);
        EXPECT_THAT(checks.failures(), ElementsAre(Failure{"m_pins != 0", BASE}));
    }
}

TEST_F(PinTest, FailedPinArrayAllocationLeavesNoPins) {
    Describe(3);
    failing_allocation::FailNextNothrow();
    Open(3);
    EXPECT_FALSE(failing_allocation::Pending());
    EXPECT_EQ(effect->PinCount(), 0);
    CheckRecorder checks;
    SendEvent(record, 0, EV_PIN_STATUS, PS_CHANGED, 0, 0);
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"m_pins != 0", BASE}));
    EXPECT_THAT(log.calls, ElementsAre("Open"));
}

TEST_F(PinTest, OpeningAgainBuildsThePinsAfresh) {
    Describe(2);
    Open(2);
    effect->descriptions[1].variable = &variables[9];
    Open(4);
    EXPECT_EQ(effect->PinCount(), 4);
    EXPECT_EQ(effect->GetPin(1)->Variable(), &variables[9]);
}

// Storage of a pin whose description names no variable, by data type.
TEST_F(PinTest, PinWithoutAVariableKeepsItsOwnValueByDatatype) {
    float samples[4] = {};
    host.pin_buffer[5] = samples;
    for (std::int32_t datatype = 0; datatype <= 9; ++datatype) {
        effect->descriptions.push_back(Description(datatype, nullptr));
    }
    Open(10);
    const bool has_storage[] = {true, false, false, false, true, true, true, false, true, false};
    for (std::int32_t datatype = 0; datatype <= 9; ++datatype) {
        const SEPin* pin = effect->GetPin(datatype);
        EXPECT_EQ(pin->Variable() != nullptr, has_storage[datatype]) << "datatype " << datatype;
    }
    EXPECT_EQ(*static_cast<const std::int16_t*>(effect->GetPin(DT_LIST)->Variable()), 0);
    EXPECT_EQ(*static_cast<const std::uint8_t*>(effect->GetPin(4)->Variable()), 0);
    EXPECT_EQ(*static_cast<const std::int32_t*>(effect->GetPin(6)->Variable()), 0);
    EXPECT_EQ(*static_cast<const std::int32_t*>(effect->GetPin(8)->Variable()), 0);
    EXPECT_EQ(*static_cast<float* const*>(effect->GetPin(DT_FSAMPLE)->Variable()), samples);
    const std::vector<HostCall> asked = host.CallsWith(HOST_GET_PIN_BUFFER);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].index, 5);
}

TEST_F(PinTest, ChangedIsSeenInsideTheNotificationAndStaticAfterIt) {
    Describe(3);
    Open(3);
    host.sample_clock = 64;
    SendEvent(record, 64, EV_PIN_STATUS, PS_CHANGED, 0, 2);
    EXPECT_EQ(effect->GetPin(2)->Status(), PS_STATIC);
    SendEvent(record, 64, EV_PIN_STATUS, PS_STREAMING, 0, 1);
    EXPECT_EQ(effect->GetPin(1)->Status(), PS_STREAMING);
    SendEvent(record, 64, EV_PIN_STATUS, PS_STATIC, 0, 1);
    EXPECT_EQ(effect->GetPin(1)->Status(), PS_STATIC);
    EXPECT_THAT(log.status_inside, ElementsAre(PS_CHANGED, PS_STREAMING, PS_STATIC));
    EXPECT_THAT(log.pin_inside, ElementsAre(2, 1, 1));
}

TEST_F(PinTest, CurrentValueReadsTheElementAtTheSampleClock) {
    float* buffer = nullptr;
    effect->descriptions = {Description(DT_LIST, &variables[0]), Description(DT_FSAMPLE, &buffer)};
    Open(2);
    float samples[16];
    for (int i = 0; i < 16; ++i) samples[i] = static_cast<float>(i) * 0.125f;
    buffer = samples;  // the host writes the address before processing
    host.sample_clock = 1000;
    host.buffer_clock[1] = 990;
    EXPECT_EQ(effect->GetPin(1)->CurrentValue(), samples[10]);
    const std::vector<HostCall> clocks = host.CallsWith(HOST_GET_BUFFER_CLOCK);
    ASSERT_EQ(clocks.size(), 1u);
    EXPECT_EQ(clocks[0].index, 1);

    // The clock wraps: element 3 across the 32-bit boundary.
    host.sample_clock = INT32_MIN + 1;
    host.buffer_clock[1] = INT32_MAX - 1;
    EXPECT_EQ(effect->GetPin(1)->CurrentValue(), samples[3]);

    CheckRecorder checks;
    EXPECT_EQ(effect->GetPin(0)->CurrentValue(), 0.0f);
    EXPECT_THAT(checks.failures(), ElementsAre(Failure{"m_datatype == DT_FSAMPLE", PIN}));
}

TEST_F(PinTest, TransmitStatusChangeReportsThePinsStatusToTheHost) {
    Describe(6);
    Open(6);
    host.sample_clock = 777;
    host.set_pin_status_answer = 42;
    host.calls.clear();
    SEPin* pin = effect->GetPin(5);
    EXPECT_EQ(pin->TransmitStatusChange(effect->SampleClock(), PS_STREAMING), 42);
    const std::vector<HostCall> sent = host.CallsWith(HOST_SET_PIN_STATUS);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].index, 5);
    EXPECT_EQ(sent[0].value, PS_STREAMING);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(sent[0].ptr), 777);
    EXPECT_EQ(sent[0].opt, 0.0f);
    EXPECT_EQ(pin->Status(), PS_STATIC);  // the pin's own status is the host's to set
}

// The rule applies to every description the host receives; the description is handed over all the same.
struct PatchStoreCase {
    std::int32_t flags;
    std::int32_t direction;
    bool breaks_rule;
};

TEST_F(PinTest, PatchStoreRuleIsCheckedOnDescriptionsForTheHost) {
    const char* rule =
        "(((SEPinProperties*)ptr)->flags & IO_PATCH_STORE) == 0 || (((SEPinProperties*)ptr)->flags & IO_PRIVATE) "
        "!= 0 || ((SEPinProperties*)ptr)->direction == DR_OUT || ( ( (SEPinProperties*)ptr)->flags & "
        "IO_UI_COMMUNICATION) != 0";
    const PatchStoreCase cases[] = {
        {IO_PATCH_STORE, DR_IN, true},
        {IO_PATCH_STORE, DR_SETTING, true},
        {IO_PATCH_STORE | IO_REPEAT_LAST | IO_UI_AND_DSP, DR_IN, true},
        {IO_PATCH_STORE, DR_OUT, false},
        {IO_PATCH_STORE | IO_PRIVATE, DR_IN, false},
        {IO_PATCH_STORE | IO_UI_COMMUNICATION, DR_IN, false},
        {0, DR_IN, false},
        {IO_PRIVATE | IO_UI_COMMUNICATION, DR_SETTING, false},
    };
    for (const PatchStoreCase& c : cases) {
        effect->descriptions = {Description(DT_LIST, &variables[0], c.flags, c.direction)};
        SEPinProperties host_record{};
        CheckRecorder checks;
        EXPECT_EQ(Dispatch(record, OP_GET_PIN_PROPERTIES, 0, 0, &host_record), 1);
        EXPECT_EQ(host_record.flags, c.flags);
        if (c.breaks_rule) {
            EXPECT_THAT(checks.failures(), ElementsAre(Failure{rule, BASE})) << "flags " << c.flags;
        } else {
            EXPECT_THAT(checks.failures(), IsEmpty()) << "flags " << c.flags;
        }
    }
}

}  // namespace
}  // namespace frame_test
