// The built early_reflection library, loaded from beside this program exactly as the host loads it: by file, by
// export name, through the records alone. In the Windows build this is the DLL, under wine.
#include <gtest/gtest.h>

#include <string>

#include "Host.h"
#include "PinCheck.h"

namespace {

using er_host::Instance;
using er_host::InstanceOptions;
using er_host::Library;

class LoadedLibrary : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        library = Library::Load(Library::DefaultModulePath(), error).release();
        load_error = error;
    }
    static void TearDownTestSuite() {
        delete library;
        library = nullptr;
    }
    void SetUp() override { ASSERT_NE(library, nullptr) << load_error; }

    static Library* library;
    static std::string load_error;
};

Library* LoadedLibrary::library = nullptr;
std::string LoadedLibrary::load_error;

TEST_F(LoadedLibrary, IdentityIsReadThroughTheExport) {
    SEModuleIdentity identity{};
    ASSERT_EQ(library->GetModuleProperties(0, &identity), 1);
    ASSERT_NE(identity.unique_id, nullptr);
    ASSERT_NE(identity.name, nullptr);
    ASSERT_NE(identity.about, nullptr);
    EXPECT_STREQ(identity.unique_id, "ZV_1x_ER_Gen");
    EXPECT_STREQ(identity.name, "1x_Early_Reflection_ZV2005");
    EXPECT_EQ(std::string(identity.about).rfind("Dedicated Early Reflection Generator\nVer:2.90", 0), 0u);
    EXPECT_EQ(identity.flags, 2240);

    SEModuleIdentity untouched{};
    EXPECT_EQ(library->GetModuleProperties(1, &untouched), 0);
    EXPECT_EQ(untouched.name, nullptr);
}

TEST_F(LoadedLibrary, ProcessingObjectOpensRunsAndCloses) {
    InstanceOptions options;
    options.block_size = 64;
    Instance host(*library, options);
    ASSERT_TRUE(host.Valid());
    EXPECT_EQ(host.Record()->magic, SE_MODULE_MAGIC);
    EXPECT_EQ(host.Record()->host_data, host.HostData());
    EXPECT_NE(host.Record()->object, nullptr);
    // Open ran: rate, block size and OP_OPEN, during which the frame asked for the pin count.
    EXPECT_GE(host.CountCalls(HOST_GET_PIN_COUNT), 1);

    for (std::int32_t count : {64, 1, 17, 64}) host.Process(count);
    EXPECT_EQ(host.SampleClock(), 146);
    EXPECT_GE(host.ProcessCalls(), 4);
    host.Close();
    EXPECT_FALSE(host.Valid());
    EXPECT_TRUE(host.Errors().empty()) << host.Errors().front();
}

int g_gui_calls = 0;
se_answer SE_CDECL CountingCallback(void*, std::int32_t, std::int32_t, std::int32_t, void*, float) {
    ++g_gui_calls;
    return 0;
}

TEST_F(LoadedLibrary, GuiObjectHasAWellFormedRecordAndCloses) {
    int host_value = 0;
    auto* record = static_cast<SEGUIRecord*>(library->MakeModule(0, SE_KIND_GUI, &CountingCallback, &host_value));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->magic, SE_GUI_MAGIC);
    EXPECT_EQ(record->version, SE_RECORD_VERSION);
    EXPECT_EQ(record->host_data, &host_value);
    EXPECT_NE(record->object, nullptr);
    ASSERT_NE(record->dispatch, nullptr);
    EXPECT_EQ(record->dispatch(record, 0, 1, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(record->dispatch(record, 1, 0, 0, nullptr, 0.0f), 1);  // destroys it
    EXPECT_EQ(g_gui_calls, 0);
}

TEST_F(LoadedLibrary, UnknownKindsAndIndexesMakeNothing) {
    EXPECT_EQ(library->MakeModule(0, 3, &CountingCallback, nullptr), nullptr);
    EXPECT_EQ(library->MakeModule(1, SE_KIND_DSP, &CountingCallback, nullptr), nullptr);
}

// The pin facts the tools, benchmarks and tests drive the module by agree with the loaded module, and the check
// notices a module whose pins differ from them.
TEST_F(LoadedLibrary, PinFactsAgreeWithTheModuleAndDifferencesAreReported) {
    Instance instance(*library, InstanceOptions{});
    ASSERT_TRUE(instance.Valid());
    er_host::PinIndexes found;
    EXPECT_EQ(er_host::CheckPins(instance.Pins(), found), "");
    for (std::int32_t i = 0; i < effect_pins::PIN_COUNT; ++i) EXPECT_EQ(found.index[static_cast<std::size_t>(i)], i);

    struct Change {
        const char* pin;
        void (*change)(er_host::PinDescription& pin);
        const char* reported;
    };
    const Change changes[] = {
        {"1 Time", [](er_host::PinDescription& pin) { pin.name = "1 Time "; }, "no pin \"1 Time\""},
        {"Max Delay(s)", [](er_host::PinDescription& pin) { pin.extra_text += ",0.002"; }, "lists 13 entries"},
        {"Active", [](er_host::PinDescription& pin) { pin.has_extra = false; }, "lists 0 entries"},
        {"Out", [](er_host::PinDescription& pin) { pin.direction = DR_IN; }, "\"Out\" has direction"},
    };
    for (const Change& change : changes) {
        std::vector<er_host::PinDescription> pins = instance.Pins();
        const std::int32_t index = instance.FindPin(change.pin);
        change.change(pins[static_cast<std::size_t>(index)]);
        const std::string reported = er_host::CheckPins(pins, found);
        EXPECT_NE(reported.find(change.reported), std::string::npos) << change.pin << ": " << reported;
        EXPECT_EQ(found.index[static_cast<std::size_t>(index)], -1) << change.pin;
        EXPECT_EQ(found[effect_pins::Pin::AudioIn], 0) << "the other pins are still found";
    }
}

}  // namespace
