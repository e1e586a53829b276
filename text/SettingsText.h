// The settings file's syntax, shared by er-render (--settings, --preset, --set) and the LV2 bundle's presets:
// one `Name=value` per line, split at the last '=' (pin names contain '='), both sides trimmed; blank lines and
// lines whose first non-blank character is '#' are skipped, and so is a '#' after a blank and the rest of its line
// (a comment after an assignment); a UTF-8 byte-order mark at the start is ignored.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace er_text {

struct Assignment {
    std::string name;    // trimmed
    std::string value;   // trimmed
    std::string origin;  // where it was written, for messages: `--set "1 Time=25"` or `file.txt:3`
};

// A line that is no assignment; what() names its origin and the fault.
class SettingsSyntaxError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws SettingsSyntaxError when there is no '=' or no name.
Assignment ParseAssignment(std::string_view text, const std::string& origin);
// `file_name` names the origin of each line.
std::vector<Assignment> ParseSettingsText(std::string_view text, const std::string& file_name);

}  // namespace er_text
