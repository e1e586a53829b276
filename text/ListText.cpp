#include "ListText.h"

#include "Text.h"

namespace er_text {

std::vector<ListEntry> ParseListText(std::string_view list_text) {
    std::vector<ListEntry> entries;
    if (Trim(list_text).empty()) return entries;
    std::int32_t next_value = 0;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = list_text.find(',', begin);
        std::string_view item = list_text.substr(begin, comma == std::string_view::npos ? comma : comma - begin);
        // Only a whole number after the last '=' is a value; any other '=' belongs to the entry's text.
        const std::size_t equals = item.rfind('=');
        if (equals != std::string_view::npos) {
            const auto value = ParseInteger(item.substr(equals + 1));
            if (value && *value >= INT16_MIN && *value <= INT16_MAX) {
                next_value = static_cast<std::int32_t>(*value);
                item = item.substr(0, equals);
            }
        }
        entries.push_back({std::string(Trim(item)), next_value});
        ++next_value;
        if (comma == std::string_view::npos) break;
        begin = comma + 1;
    }
    return entries;
}

const ListEntry* FindChoice(const std::vector<ListEntry>& entries, std::string_view wanted) {
    wanted = Trim(wanted);
    for (const ListEntry& entry : entries) {
        if (EqualsIgnoreCase(entry.text, wanted)) return &entry;
    }
    if (const auto number = ParseInteger(wanted)) {
        for (const ListEntry& entry : entries) {
            if (entry.value == *number) return &entry;
        }
    }
    // "5.46" means the entry "5.460", and "0.17" the entry "0.170": the number an entry's text starts with.
    if (const auto number = ParseNumber(wanted)) {
        for (const ListEntry& entry : entries) {
            const std::string_view text = entry.text;
            if (ParseNumber(text.substr(0, text.find(' '))) == number) return &entry;
        }
    }
    return nullptr;
}

std::string DescribeChoices(const std::vector<ListEntry>& entries) {
    std::string text;
    for (const ListEntry& entry : entries) {
        if (!text.empty()) text += ", ";
        text += std::to_string(entry.value) + " " + entry.text;
    }
    return text;
}

}  // namespace er_text
