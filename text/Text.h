// Small text helpers shared by the parsers of pin names, values, list texts and settings files, in er-render and
// the LV2 plug-in.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace er_text {

// Without leading and trailing blanks (spaces, tabs, carriage returns, line feeds).
std::string_view Trim(std::string_view text);
// Equal when compared letter by letter without regard to ASCII case.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
std::string ToLower(std::string_view text);
// The whole (trimmed) text as a finite decimal number: "2.5", "-10", "+1e3". Anything else, "inf" and "nan"
// included, gives nothing.
std::optional<double> ParseNumber(std::string_view text);
// The whole (trimmed) text as a decimal integer within the range of long long.
std::optional<long long> ParseInteger(std::string_view text);
// A number as the user would write it: "25", "0.5", "-10", "1.2345679e+09" (7 significant digits).
std::string FormatNumber(double value);
// printf into a string, for the short lines of summaries and messages (at most 255 characters).
template <class... Values>
std::string Printf(const char* format, Values... values) {
    char text[256];
    std::snprintf(text, sizeof(text), format, values...);
    return text;
}
// `text` in double quotes, for messages.
std::string Quoted(std::string_view text);
// `text` with every byte that is no part of a valid UTF-8 sequence written as "\xHH" (a file name on Linux is
// bytes; JSON and other UTF-8 text cannot carry the stray ones).
std::string Utf8Escaped(std::string_view text);
// The extension of the file `path` names, in lower case and without its dot: "svg" for "out/Fig.SVG"; empty
// when the name has none.
std::string ExtensionOf(const std::string& path);

}  // namespace er_text
