#include "Text.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>

namespace er_text {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// from_chars takes no leading '+'; users write one.
std::string_view WithoutPlus(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+') text.remove_prefix(1);
    return text;
}
}  // namespace

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return true;
}

std::string ToLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = LowerAscii(c);
    return lower;
}

std::optional<double> ParseNumber(std::string_view text) {
    text = WithoutPlus(Trim(text));
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<long long> ParseInteger(std::string_view text) {
    text = WithoutPlus(Trim(text));
    if (text.empty()) return std::nullopt;
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string FormatNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.7g", value);
    return text;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string Utf8Escaped(std::string_view text) {
    // The smallest code point each sequence length may carry: anything below is an overlong form.
    constexpr std::uint32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
    std::string escaped;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        bool valid = length > 0 && at + length <= text.size();
        std::uint32_t code = lead & (0xFFu >> (length + 1));
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[at + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3Fu);
        }
        valid = valid && (length == 1 || code >= SMALLEST[length]) && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        if (valid) {
            escaped.append(text.substr(at, length));
            at += length;
        } else {
            escaped += Printf("\\x%02X", static_cast<unsigned>(lead));
            ++at;
        }
    }
    return escaped;
}

std::string ExtensionOf(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    return extension.empty() ? "" : ToLower(extension.substr(1));
}

}  // namespace er_text
