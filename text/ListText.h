// The choice list of a DT_LIST pin, as the module writes it: comma-separated entries numbered from 0, where
// "=n" after an entry gives it the value n and the entries after it count on from there. So
// "Time(s)=0, Time(ms),Samples" is Time(s) 0, Time(ms) 1, Samples 2, and "On=1,Off=0" is On 1, Off 0.
// The value is what the host writes into the pin's 16-bit variable; the module's default texts are values too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace er_text {

struct ListEntry {
    std::string text;    // trimmed, as shown to the user
    std::int32_t value;  // what the host writes into the pin's variable
};

std::vector<ListEntry> ParseListText(std::string_view list_text);

// The entry the user means: first by its text (trimmed, without regard to case), then by its value written as
// a whole number ("8" is the entry whose value is 8), then by the number its text starts with ("5.46" is the
// entry "5.460", "0.17" the entry "0.170"). Null if none matches.
const ListEntry* FindChoice(const std::vector<ListEntry>& entries, std::string_view wanted);

// "OFF, ON" style listing for messages and --list-pins: "0 OFF, 1 ON".
std::string DescribeChoices(const std::vector<ListEntry>& entries);

}  // namespace er_text
