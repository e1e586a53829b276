#include "SavedState.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace er_daw::SavedState {
namespace {

constexpr std::string_view PROGRAM = "__dpf_program__";
constexpr std::string_view BEGIN = "__dpf_parameters_begin__";
constexpr std::string_view END = "__dpf_parameters_end__";
constexpr char FIELD_END = '\0';
constexpr char STATE_END = '\xFE';

// A field as a number: all of it, and finite.
bool Number(std::string_view field, double& number) {
    if (field.empty() || field.size() > 64) return false;
    const std::string text(field);
    char* end = nullptr;
    errno = 0;
    number = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && errno == 0 && std::isfinite(number);
}

}  // namespace

std::string Write(const PluginFacts& facts, std::int32_t program, const float* values) {
    std::string bytes;
    const auto field = [&](std::string_view text) {
        bytes += text;
        bytes += FIELD_END;
    };
    char number[32];
    field(PROGRAM);
    std::snprintf(number, sizeof number, "%d", static_cast<int>(program));
    field(number);
    field(BEGIN);
    for (const ParameterFacts& parameter : facts.parameters) {
        if (parameter.output) continue;
        field(parameter.symbol);
        std::snprintf(number, sizeof number, "%.9g", static_cast<double>(values[parameter.port]));
        field(number);
    }
    field(END);
    bytes += STATE_END;
    return bytes;
}

bool Read(const PluginFacts& facts, std::string_view bytes, std::int32_t& program, float* values) {
    if (bytes.size() > LARGEST) return false;
    std::vector<std::string_view> fields;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find(FIELD_END, at);
        if (end == std::string_view::npos) break;  // what follows the last field: the end mark, or a cut
        fields.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    double chosen = 0.0;
    if (fields.size() < 4 || fields[0] != PROGRAM || !Number(fields[1], chosen) || fields[2] != BEGIN) return false;
    if (chosen < 0 || chosen >= static_cast<double>(facts.programs.size()) || chosen != static_cast<std::int32_t>(chosen)) {
        return false;
    }
    // Every pair read before anything is taken: a state cut before its end mark changes nothing.
    std::size_t end = 3;
    while (end < fields.size() && fields[end] != END) end += 2;
    if (end >= fields.size()) return false;
    std::vector<float> taken(values, values + facts.ports.size());
    for (std::size_t f = 3; f < end; f += 2) {
        double value = 0.0;
        if (!Number(fields[f + 1], value)) return false;
        const auto saved = SavedValue(facts, fields[f], static_cast<float>(std::clamp(value, -3.0e38, 3.0e38)));
        if (saved) taken[static_cast<std::size_t>(saved->first)] = saved->second;
    }
    std::copy(taken.begin(), taken.end(), values);
    program = static_cast<std::int32_t>(chosen);
    return true;
}

}  // namespace er_daw::SavedState
