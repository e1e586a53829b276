#include "SettingsText.h"

#include "Text.h"

namespace er_text {

Assignment ParseAssignment(std::string_view text, const std::string& origin) {
    const std::size_t equals = text.rfind('=');
    if (equals == std::string_view::npos) throw SettingsSyntaxError(origin + ": expected Name=value");
    Assignment assignment{std::string(Trim(text.substr(0, equals))), std::string(Trim(text.substr(equals + 1))),
                          origin};
    if (assignment.name.empty()) throw SettingsSyntaxError(origin + ": no pin name before '='");
    return assignment;
}

namespace {

// The line without a comment that follows its assignment after a blank ("1 Time=20  # the slap").
std::string_view WithoutTrailingComment(std::string_view line) {
    for (std::size_t at = line.find('#'); at != std::string_view::npos; at = line.find('#', at + 1)) {
        if (at > 0 && (line[at - 1] == ' ' || line[at - 1] == '\t')) return Trim(line.substr(0, at));
    }
    return line;
}

}  // namespace

std::vector<Assignment> ParseSettingsText(std::string_view text, const std::string& file_name) {
    constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";
    if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
    std::vector<Assignment> assignments;
    std::size_t begin = 0;
    for (int line_number = 1; begin <= text.size(); ++line_number) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = Trim(text.substr(begin, end - begin));
        if (!line.empty() && line.front() != '#') {
            assignments.push_back(ParseAssignment(WithoutTrailingComment(line), file_name + ":" + std::to_string(line_number)));
        }
        begin = end + 1;
    }
    return assignments;
}

}  // namespace er_text
