// The GUI object's record and its opcodes, driven through the record's dispatch entry.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SEGUI_base.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct GuiLog {
    std::vector<std::string> calls;
    SEGUI_base::Pair pair_seen{};
    bool destroyed = false;
};

std::string Ptr(const void* p) { return std::to_string(reinterpret_cast<std::intptr_t>(p)); }

// Logs each operation with the arguments it received.
class TestGui : public SEGUI_base {
public:
    TestGui(void* host_data, GuiLog* log) : SEGUI_base(nullptr, host_data), m_log(log) {}
    ~TestGui() override { m_log->destroyed = true; }

    std::uint8_t query_answer = 0;

    void OnOpen(bool flag) override { Log("OnOpen " + std::to_string(flag)); }
    void OnClose() override { Log("OnClose"); }
    void OnPinQuery(std::int32_t index, void* ptr) override { Log("OnPinQuery " + std::to_string(index) + " " + Ptr(ptr)); }
    void OnValue3(void* ptr, float opt, std::int32_t index, std::int32_t value) override {
        Log("OnValue3" + Values(ptr, opt, index, value));
    }
    void OnValue4(void* ptr, float opt, std::int32_t index, std::int32_t value) override {
        Log("OnValue4" + Values(ptr, opt, index, value));
    }
    void OnValue5(void* ptr, float opt, std::int32_t index, std::int32_t value) override {
        Log("OnValue5" + Values(ptr, opt, index, value));
    }
    void OnPointer8(void* ptr) override { Log("OnPointer8 " + Ptr(ptr)); }
    void OnPointer9(void* ptr) override { Log("OnPointer9 " + Ptr(ptr)); }
    std::uint8_t OnQuery() override {
        Log("OnQuery");
        return query_answer;
    }
    void OnIndex11(std::int32_t index) override { Log("OnIndex11 " + std::to_string(index)); }
    void OnIndex12(std::int32_t index) override { Log("OnIndex12 " + std::to_string(index)); }
    void OnMessage(std::int32_t value, std::int32_t index, void* ptr) override {
        Log("OnMessage " + std::to_string(value) + " " + std::to_string(index) + " " + Ptr(ptr));
    }
    void OnPair(Pair* pair) override {
        m_log->pair_seen = *pair;
        Log("OnPair " + std::to_string(pair->index));
    }

private:
    static std::string Values(void* ptr, float opt, std::int32_t index, std::int32_t value) {
        return " " + Ptr(ptr) + " " + std::to_string(opt) + " " + std::to_string(index) + " " + std::to_string(value);
    }
    void Log(std::string line) { m_log->calls.push_back(std::move(line)); }
    GuiLog* m_log;
};

se_answer Dispatch(SEGUIRecord* record, std::int32_t opcode, std::int32_t index, std::int32_t value,
                   std::intptr_t ptr, float opt) {
    return record->dispatch(record, opcode, index, value, reinterpret_cast<void*>(ptr), opt);
}

class GuiBaseTest : public ::testing::Test {
protected:
    GuiLog log;
    TestGui* gui = new TestGui(reinterpret_cast<void*>(std::intptr_t{0xABC}), &log);
    SEGUIRecord* record = gui->Record();
    ~GuiBaseTest() override {
        if (!log.destroyed) Dispatch(record, 1, 0, 0, 0, 0.0f);
    }
};

TEST_F(GuiBaseTest, NewRecordNamesItsObject) {
    EXPECT_EQ(record->magic, 0x5345504D);
    const unsigned char magic_bytes[] = {0x4D, 0x50, 0x45, 0x53};
    EXPECT_EQ(std::memcmp(record, magic_bytes, 4), 0);
    EXPECT_EQ(record->version, 1);
    EXPECT_NE(record->dispatch, nullptr);
    EXPECT_EQ(record->host_data, reinterpret_cast<void*>(std::intptr_t{0xABC}));
    EXPECT_EQ(record->object, static_cast<void*>(static_cast<SEGUI_base*>(gui)));
    for (void* reserved : record->reserved) EXPECT_EQ(reserved, nullptr);
}

struct GuiCase {
    std::int32_t opcode;
    std::int32_t index;
    std::vector<std::string> reached;
};

TEST_F(GuiBaseTest, EveryOpcodeReachesItsOperationWithItsArgumentsAndAnswersZero) {
    // value 7, ptr 9, opt 0.5 for every call
    const std::vector<GuiCase> cases = {
        {0, 1, {"OnOpen 1"}},
        {0, 2, {"OnOpen 0"}},
        {0, 0, {"OnOpen 0"}},
        {2, 3, {"OnPinQuery 3 9"}},
        {3, 3, {"OnValue3 9 0.500000 3 7"}},
        {4, 3, {"OnValue4 9 0.500000 3 7"}},
        {5, 3, {"OnValue5 9 0.500000 3 7"}},
        {6, 3, {"OnMessage 7 3 9"}},
        {7, 3, {"OnPair 3"}},
        {8, 3, {"OnPointer8 9"}},
        {9, 3, {"OnPointer9 9"}},
        {10, 3, {"OnQuery"}},
        {11, 3, {"OnIndex11 3"}},
        {12, 3, {"OnIndex12 3"}},
        {13, 3, {}},
        {100, 3, {}},
        {-1, 3, {}},
    };
    for (const GuiCase& c : cases) {
        log.calls.clear();
        EXPECT_EQ(Dispatch(record, c.opcode, c.index, 7, 9, 0.5f), 0) << "opcode " << c.opcode;
        EXPECT_EQ(log.calls, c.reached) << "opcode " << c.opcode;
    }
    EXPECT_EQ(log.pair_seen.index, 3);
    EXPECT_EQ(log.pair_seen.object, static_cast<SEGUI_base*>(gui));
    EXPECT_FALSE(log.destroyed);
}

TEST_F(GuiBaseTest, QueryOpcodeAnswersTheObjectsByte) {
    gui->query_answer = 200;
    EXPECT_EQ(Dispatch(record, 10, 0, 0, 0, 0.0f), 200);
}

TEST_F(GuiBaseTest, OpcodeOneClosesThenDestroysTheObject) {
    EXPECT_EQ(Dispatch(record, 1, 0, 0, 0, 0.0f), 1);
    EXPECT_TRUE(log.destroyed);
    EXPECT_THAT(log.calls, ElementsAre("OnClose"));
}

TEST(GuiBaseDefaults, EveryDefaultDoesNothingAndAnswersZero) {
    auto* gui = new SEGUI_base(nullptr, nullptr);
    SEGUIRecord* record = gui->Record();
    for (std::int32_t opcode : {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, -1}) {
        EXPECT_EQ(Dispatch(record, opcode, 1, 2, 3, 4.0f), 0) << "opcode " << opcode;
        EXPECT_EQ(record->magic, SE_GUI_MAGIC);
        EXPECT_EQ(record->object, static_cast<void*>(gui));
    }
    EXPECT_EQ(Dispatch(record, 1, 0, 0, 0, 0.0f), 1);
}

}  // namespace
