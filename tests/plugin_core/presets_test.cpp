// The presets every plug-in format offers: er-render's settings files translated into the effect's control values
// (each file's settings by name, entries by their text, a ramp by its start, everything else at the plug-in's
// default, never "Active", the gate or smoothing), the refusals a broken file gets, and the named rooms' presets.
// The expected values are written out here from the files' texts and the module's lists, not computed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Ports.h"
#include "Presets.h"
#include "Room.h"

namespace {

using namespace er_plugin;

const std::vector<PortDescription>& Ports() {
    static const auto ports = PortDescriptions();
    return ports;
}

std::int32_t PortOf(const std::string& symbol) {
    for (std::size_t port = 0; port < Ports().size(); ++port) {
        if (symbol == Ports()[port].row.symbol) return static_cast<std::int32_t>(port);
    }
    ADD_FAILURE() << "no port " << symbol;
    return -1;
}

std::map<std::int32_t, float> Values(const Preset& preset) {
    std::map<std::int32_t, float> values;
    for (const auto& [port, value] : preset.values) EXPECT_TRUE(values.emplace(port, value).second) << "port " << port << " twice";
    return values;
}

std::string FileText(const std::string& stem) {
    std::ifstream file(std::filesystem::path(ER_PRESETS_DIR) / (stem + ".settings"), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

struct ShippedCase {
    const char* stem;
    std::map<std::string, float> set;  // symbol -> value the file gives; every other held control at its default
    const char* comment_start;
};

// Entries: Time Mode Time(ms) is 1; Damping/Feedback Mode Tap1 0, Input+Tap1 1, Output 2; Max Delay "0.170" is 6;
// Time Accuracy Fraction(Full) is 2.
const ShippedCase SHIPPED[] = {
    {"damped-loop",
     {{"time_mode", 1}, {"time", 45}, {"routing_mode", 2}, {"feedback", 6}, {"damping", 5}, {"max_delay", 6}},
     "A damped feedback loop"},
    {"room",
     {{"time_mode", 1}, {"time", 25}, {"volume", 8}, {"routing_mode", 1}, {"feedback", 4}, {"damping", 3},
      {"max_delay", 6}},
     "Early reflections of a small room"},
    {"slapback", {{"time_mode", 1}, {"time", 110}, {"volume", 7}, {"routing_mode", 0}, {"feedback", 0}, {"max_delay", 6}},
     "Slap-back echo"},
    {"sweep", {{"time_mode", 1}, {"time_accuracy", 2}, {"time", 5}, {"routing_mode", 0}, {"feedback", 3}},
     "A time sweep"},
};

TEST(Presets, ShippedSettingsFilesBecomeTheControlsTheySetAndDefaultsElsewhere) {
    ASSERT_FALSE(Ports().empty());
    for (const ShippedCase& shipped : SHIPPED) {
        SCOPED_TRACE(shipped.stem);
        const Preset preset = EffectPresetFromSettings(shipped.stem, FileText(shipped.stem), shipped.stem, Ports());
        EXPECT_EQ(preset.name, shipped.stem);
        EXPECT_EQ(preset.comment.rfind(shipped.comment_start, 0), 0u) << preset.comment;
        EXPECT_EQ(preset.comment.find('#'), std::string::npos) << "comment marks are not part of the text";
        const auto values = Values(preset);
        for (std::size_t port = 0; port < static_cast<std::size_t>(MONO_PORTS); ++port) {
            const PortDescription& description = Ports()[port];
            const bool held = IsControl(description.row.kind) && !IsReading(description.row.kind) &&
                              port != static_cast<std::size_t>(PORT_ACTIVE) && port != static_cast<std::size_t>(PORT_GATE) &&
                              port != static_cast<std::size_t>(PORT_SMOOTH);
            const auto found = values.find(static_cast<std::int32_t>(port));
            ASSERT_EQ(found != values.end(), held) << description.row.symbol;
            if (!held) continue;
            const auto set = shipped.set.find(description.row.symbol);
            EXPECT_EQ(found->second, set != shipped.set.end() ? set->second : description.default_value)
                << description.row.symbol;
        }
    }
}

TEST(Presets, TheDefaultPresetHoldsEveryControlAPresetMaySetAtItsDefault) {
    const auto values = Values(DefaultEffectPreset(Ports()));
    EXPECT_EQ(values.count(PORT_ACTIVE) + values.count(PORT_GATE) + values.count(PORT_SMOOTH), 0u);
    EXPECT_EQ(values.at(PortOf("max_delay")), 6.0f) << "the plug-in's own default line, not the module's";
    for (const auto& [port, value] : values) EXPECT_EQ(value, Ports()[static_cast<std::size_t>(port)].default_value);
}

TEST(Presets, BrokenSettingsAreRefusedWithTheirOrigin) {
    const struct {
        const char* text;
        const char* reason;
    } broken[] = {
        {"Nonsense=3\n", "no such control"},
        {"Active=OFF\n", "no such control"},  // the user's, not a preset's
        {"Midi_to_CV:Gate(Poly Reset)=1\n", "no such control"},
        {"Time Mode=Fortnights\n", "no such entry"},
        {"1 Time=soon\n", "not a number"},
        {"1 Time\n", "test.settings:1"},  // no '=': a syntax error, named by its line
    };
    for (const auto& [text, reason] : broken) {
        try {
            EffectPresetFromSettings("test", text, "test.settings", Ports());
            ADD_FAILURE() << text << " was taken";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
        }
    }
}

TEST(Presets, AnEntryIsFoundByItsTextOrValueAndAFloatTakesARampsStart) {
    const auto values = Values(EffectPresetFromSettings(
        "t", "# one\n  # two \n\nTime Mode=samples\nMax Delay(s)=11\n1 Time=7.5..90 # later\n", "t", Ports()));
    EXPECT_EQ(values.at(PortOf("time_mode")), 2.0f);
    EXPECT_EQ(values.at(PortOf("max_delay")), 11.0f) << "the shortest line, by its value";
    EXPECT_EQ(values.at(PortOf("time")), 7.5f);
    EXPECT_EQ(EffectPresetFromSettings("t", "# one\n  # two \n\n# not leading\n", "t", Ports()).comment, "one two");
}

TEST(Presets, EachNamedRoomIsAPresetOfTheRoomAndItsShapeAsNamed) {
    const auto& rooms = er_room::NamedRooms();
    ASSERT_GE(rooms.size(), 2u);
    for (std::size_t index = 0; index < rooms.size(); ++index) {
        const Preset preset = RoomPreset(index);
        EXPECT_EQ(preset.name, rooms[index].name);
        EXPECT_EQ(preset.comment, rooms[index].description);
        const auto values = Values(preset);
        const std::map<std::int32_t, float> expected = {{ROOM_PRESET, static_cast<float>(index)},
                                                        {ROOM_SIZE, 1.0f},
                                                        {ROOM_WIDTH, 1.0f},
                                                        {ROOM_DISTANCE, 1.0f},
                                                        {ROOM_BRIGHTNESS, 1.0f},
                                                        {ROOM_WINDOW, 0.0f}};
        EXPECT_EQ(values, expected) << rooms[index].name << ": the levels and smoothing stay the user's";
    }
}

}  // namespace
