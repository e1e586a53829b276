// The text helpers below er-render and the LV2 plug-in (text/): choice-list texts, stray bytes escaped for UTF-8,
// and the settings files' syntax.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ExpectedPins.h"
#include "ListText.h"
#include "SettingsText.h"
#include "Text.h"

namespace {

using namespace er_text;

// "Max Delay(s)"'s list, as the module describes it.
const char* const MAX_DELAY_TEXT = expected_pins::PINS[10].extra;

TEST(ListText, ValuesCountOnFromAnExplicitValue) {
    struct Case {
        const char* text;
        std::vector<std::pair<std::string, std::int32_t>> entries;
    };
    const Case cases[] = {
        {"Time(s)=0, Time(ms),Samples", {{"Time(s)", 0}, {"Time(ms)", 1}, {"Samples", 2}}},
        {"On=1,Off=0", {{"On", 1}, {"Off", 0}}},
        {"A=5,B,C=2,D", {{"A", 5}, {"B", 6}, {"C", 2}, {"D", 3}}},
        {"x=y,z", {{"x=y", 0}, {"z", 1}}},  // only a number after '=' is a value
        {"", {}},
    };
    for (const Case& c : cases) {
        const auto entries = ParseListText(c.text);
        ASSERT_EQ(entries.size(), c.entries.size()) << c.text;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].text, c.entries[i].first) << c.text;
            EXPECT_EQ(entries[i].value, c.entries[i].second) << c.text;
        }
    }
    const auto max_delay = ParseListText(MAX_DELAY_TEXT);
    ASSERT_EQ(max_delay.size(), 12u);
    EXPECT_EQ(max_delay[7].text, "0.085 (4096sm)");
    EXPECT_EQ(max_delay[11].value, 11);
}

// Valid UTF-8 passes whole; every byte of a broken, overlong, surrogate or too large sequence is escaped alone.
TEST(Text, StrayBytesAreEscapedForUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain.wav", "plain.wav"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"a\xFF.wav", "a\\xFF.wav"},
        {"\xC0\xAF", "\\xC0\\xAF"},                    // "/" written overlong
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
        {"x\xE2\x82", "x\\xE2\\x82"},                  // cut short at the end
        {"\xE2\x82x", "\\xE2\\x82x"},                  // cut short before an ASCII byte
        {"\x80\xC3\xA9", "\\x80\xC3\xA9"},             // a stray continuation byte
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(Utf8Escaped(text), escaped) << escaped;
}

TEST(ListText, ChoiceByTextFirstThenByValue) {
    const auto accuracy = ParseListText("Sample,Fraction(Econ),Fraction(Full)");
    ASSERT_NE(FindChoice(accuracy, "  fraction(FULL) "), nullptr);
    EXPECT_EQ(FindChoice(accuracy, "  fraction(FULL) ")->value, 2);
    EXPECT_EQ(FindChoice(accuracy, "1")->text, "Fraction(Econ)");
    EXPECT_EQ(FindChoice(accuracy, "3"), nullptr);
    EXPECT_EQ(FindChoice(accuracy, "Fraction"), nullptr);
    // A number means the entry's value, not its place.
    EXPECT_EQ(FindChoice(ParseListText("On=1,Off=0"), "0")->text, "Off");
    // An entry whose text is a number wins over another entry's value.
    EXPECT_EQ(FindChoice(ParseListText("5,0"), "0")->value, 1);
    // A number that is no entry's value means the entry whose text starts with it.
    const auto max_delay = ParseListText(MAX_DELAY_TEXT);
    EXPECT_EQ(FindChoice(max_delay, "5.46")->value, 1);
    EXPECT_EQ(FindChoice(max_delay, "0.17")->value, 6);
    EXPECT_EQ(FindChoice(max_delay, "0.0850")->value, 7);
    EXPECT_EQ(FindChoice(max_delay, "10")->value, 10) << "a whole number is a value first";
    EXPECT_EQ(FindChoice(max_delay, "0.3"), nullptr);
}

// ---- the settings files' syntax ---------------------------------------------------------------------------------

TEST(SettingsText, AssignmentValueFollowsTheLastEquals) {
    const Assignment volume = ParseAssignment(" 1 Volume 10=100% = 5 ", "--set");
    EXPECT_EQ(volume.name, "1 Volume 10=100%");
    EXPECT_EQ(volume.value, "5");
    EXPECT_THROW(ParseAssignment("1 Time 25", "--set x"), SettingsSyntaxError);
    EXPECT_THROW(ParseAssignment(" =25", "--set x"), SettingsSyntaxError);
}

TEST(SettingsText, FileSkipsBlankLinesAndCommentsAndNamesLines) {
    const auto assignments =
        ParseSettingsText(
            "\xEF\xBB\xBF# slap-back\r\n\n  1 Time = 90 # the slap\r\n   # indented comment\n"
            "Time Mode=Time(ms)\t# ms\nDamping/Feedback Mode=Tap1#2",
            "slap.txt");
    ASSERT_EQ(assignments.size(), 3u);
    EXPECT_EQ(assignments[0].name, "1 Time");
    EXPECT_EQ(assignments[0].value, "90");
    EXPECT_EQ(assignments[0].origin, "slap.txt:3");
    EXPECT_EQ(assignments[1].value, "Time(ms)");
    EXPECT_EQ(assignments[1].origin, "slap.txt:5");
    EXPECT_EQ(assignments[2].value, "Tap1#2") << "a '#' within a value is no comment";
    try {
        ParseSettingsText("1 Time=9\nnonsense\n", "bad.txt");
        ADD_FAILURE() << "a line without '=' was taken";
    } catch (const SettingsSyntaxError& error) {
        EXPECT_NE(std::string(error.what()).find("bad.txt:2"), std::string::npos) << error.what();
    }
}

}  // namespace
