// The library's two exports: its identity and the objects it makes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SEAbi.h"
#include "FailingAllocation.h"

extern "C" {
std::int32_t SE_CDECL getModuleProperties(std::int32_t index, SEModuleIdentity* identity);
void* SE_CDECL makeModule(std::int32_t index, std::int32_t kind, SEHostCallback host_callback, void* host_data);
}

namespace {

// A record the host filled with its own values before asking.
SEModuleIdentity Prefilled() {
    SEModuleIdentity identity;
    std::memset(&identity, 0xA5, sizeof identity);
    return identity;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type begin = 0;
    for (;;) {
        const std::string::size_type end = text.find('\n', begin);
        lines.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos) return lines;
        begin = end + 1;
    }
}

TEST(Identity, OtherIndexesAnswerZeroAndLeaveTheRecordAlone) {
    for (std::int32_t index : {1, -1, 2, INT32_MIN, INT32_MAX}) {
        SEModuleIdentity identity = Prefilled();
        const SEModuleIdentity before = identity;
        EXPECT_EQ(getModuleProperties(index, &identity), 0) << index;
        EXPECT_EQ(std::memcmp(&identity, &before, sizeof identity), 0) << index;
    }
}

TEST(Identity, IndexZeroWritesTheIdentityAndLeavesTheHostsFieldsAlone) {
    SEModuleIdentity identity = Prefilled();
    void* const host_field_1 = identity.reserved1;
    void* const host_field_2 = identity.reserved2;
    EXPECT_EQ(getModuleProperties(0, &identity), 1);
    EXPECT_STREQ(identity.unique_id, "ZV_1x_ER_Gen");
    EXPECT_STREQ(identity.name, "1x_Early_Reflection_ZV2005");
    EXPECT_EQ(identity.flags, 2240);
    EXPECT_EQ(identity.reserved1, host_field_1);
    EXPECT_EQ(identity.reserved2, host_field_2);

    // Always the same answer, the same constant texts.
    SEModuleIdentity again = Prefilled();
    EXPECT_EQ(getModuleProperties(0, &again), 1);
    EXPECT_EQ(again.unique_id, identity.unique_id);
    EXPECT_EQ(again.about, identity.about);
}

TEST(Identity, AboutTextHasItsLinesInOrder) {
    SEModuleIdentity identity{};
    ASSERT_EQ(getModuleProperties(0, &identity), 1);
    const std::string about = identity.about;
    const std::vector<std::string> lines = Lines(about);
    const std::vector<std::string> fixed = {
        "Dedicated Early Reflection Generator",
        "",  // the version line, checked below
        "",
        "Because of the nature of this function/effect most controls only respond to Block Rate Modulation",
        "",
        "The minimum Tap/Delay time allowed with this unit is 1 sample",
        "",
        "Features:",
        "Volume Modes:",
        "   Linear: +/- multiplication (*for dB control use ZV_dB_to_Level)",
        "   Analogue: Exponential (Exp of -ve Vol = +ve)",
        "Time Mode: Time specified in (s), (ms) or Samples",
        "Time Accuracy:-",
        "   Sample: Most common usage and Lowest CPU (Recommended)",
        "   Fractional(econ): Fractional delay times(Interpolated) with only Block Rate Modulation",
        "   Fractional(full): Fractional delay times(Interpolated) with Realtime Modulation *High CPU when modulated",
        "Activity ON/OFF switch",
        "Variable Max Delay Time",
        "Supports Sample Rates to 384Khz",
        "Gate(Poly Reset): Link if used in a Polyphonic chain",
        "",
    };
    ASSERT_GT(lines.size(), fixed.size()) << about;
    for (std::size_t i = 0; i < fixed.size(); ++i) {
        if (i == 1) continue;
        EXPECT_EQ(lines[i], fixed[i]) << "line " << i + 1;
    }
    EXPECT_EQ(lines[1].rfind("Ver:2.90", 0), 0u) << lines[1];
    // The closing terms of use: text on every line, no line feed after the last, no carriage returns.
    for (std::size_t i = fixed.size(); i < lines.size(); ++i) EXPECT_FALSE(lines[i].empty()) << "line " << i + 1;
    EXPECT_NE(about.back(), '\n');
    EXPECT_EQ(about.find('\r'), std::string::npos);
}

TEST(MakeModule, UnknownKindsAndIndexesAnswerNull) {
    EXPECT_EQ(makeModule(0, 0, nullptr, nullptr), nullptr);
    EXPECT_EQ(makeModule(0, 3, nullptr, nullptr), nullptr);
    EXPECT_EQ(makeModule(0, -1, nullptr, nullptr), nullptr);
    EXPECT_EQ(makeModule(1, 1, nullptr, nullptr), nullptr);
    EXPECT_EQ(makeModule(-1, 1, nullptr, nullptr), nullptr);
    EXPECT_EQ(makeModule(1, 2, nullptr, nullptr), nullptr);
}

TEST(MakeModule, EachProcessingObjectHasItsOwnRecord) {
    int host_a = 0;
    int host_b = 0;
    auto* a = static_cast<SEModuleRecord*>(makeModule(0, 1, nullptr, &host_a));
    auto* b = static_cast<SEModuleRecord*>(makeModule(0, 1, nullptr, &host_b));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_NE(a->object, b->object);
    for (SEModuleRecord* r : {a, b}) {
        EXPECT_EQ(r->magic, SE_MODULE_MAGIC);
        EXPECT_EQ(r->version, 1);
        EXPECT_NE(r->object, static_cast<void*>(r));
        // The record lies inside its object.
        const auto offset = reinterpret_cast<std::uintptr_t>(r) - reinterpret_cast<std::uintptr_t>(r->object);
        EXPECT_LT(offset, 64u);
    }
    EXPECT_EQ(a->host_data, &host_a);
    EXPECT_EQ(b->host_data, &host_b);
    EXPECT_EQ(a->dispatch(a, OP_CLOSE, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(b->dispatch(b, OP_CLOSE, 0, 0, nullptr, 0.0f), 1);
}

TEST(MakeModule, GuiObjectHasAGuiRecordAndClosesOnOpcodeOne) {
    int host = 0;
    auto* gui = static_cast<SEGUIRecord*>(makeModule(0, 2, nullptr, &host));
    ASSERT_NE(gui, nullptr);
    EXPECT_EQ(gui->magic, SE_GUI_MAGIC);
    EXPECT_EQ(gui->version, 1);
    EXPECT_EQ(gui->host_data, &host);
    EXPECT_NE(gui->object, nullptr);
    for (std::int32_t opcode : {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 100, -1}) {
        EXPECT_EQ(gui->dispatch(gui, opcode, 1, 2, &host, 0.5f), 0) << "opcode " << opcode;
    }
    EXPECT_EQ(gui->dispatch(gui, 1, 0, 0, nullptr, 0.0f), 1);
}

TEST(MakeModule, FailedAllocationAnswersNull) {
    for (std::int32_t kind : {1, 2}) {
        failing_allocation::FailNextNothrow();
        EXPECT_EQ(makeModule(0, kind, nullptr, nullptr), nullptr) << "kind " << kind;
        EXPECT_FALSE(failing_allocation::Pending());
    }
}

}  // namespace
