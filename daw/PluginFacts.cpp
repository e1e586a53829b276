#include "PluginFacts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string_view>

#include "EffectCore.h"
#include "ModuleExports.h"
#include "Room.h"
#include "RoomCore.h"

namespace er_daw {

using er_plugin::PortDescription;
using er_plugin::PortKind;

namespace {

struct UnitName {
    const char* lv2;
    const char* host;
};
constexpr UnitName UNIT_NAMES[] = {
    {"units:ms", "ms"}, {"units:s", "s"}, {"units:db", "dB"}, {"units:pc", "%"}, {"units:hz", "Hz"},
};

// The effect's name as the module states it, and the variant's suffix.
std::string EffectName(const er_plugin::Variant& variant) {
    SEModuleIdentity identity{};
    getModuleProperties(0, &identity);
    return std::string(identity.name != nullptr ? identity.name : "") + variant.name_suffix;
}

ParameterFacts Parameter(std::int32_t port, const PortDescription& description) {
    const PortKind kind = description.row.kind;
    const bool toggle = kind == PortKind::Toggle || kind == PortKind::Switch;
    return {port,
            description.name,
            description.row.symbol,
            HostUnit(description.row.unit),
            description.minimum,
            description.maximum,
            description.default_value,
            er_plugin::IsReading(kind),
            toggle,
            er_plugin::IsChoice(kind) || toggle,
            kind == PortKind::Choice ? description.entries : std::vector<er_plugin::ChoiceEntry>{}};
}

std::vector<er_plugin::Preset> EffectPrograms(const std::vector<PortDescription>& ports,
                                              const std::vector<PresetText>& presets,
                                              std::vector<std::string>* refused) {
    std::vector<er_plugin::Preset> programs{er_plugin::DefaultEffectPreset(ports)};
    for (const PresetText& text : presets) {
        const std::string_view settings(reinterpret_cast<const char*>(text.bytes), text.size);
        try {
            programs.push_back(er_plugin::EffectPresetFromSettings(text.name, settings, text.name, ports));
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& error) {
            if (refused != nullptr) refused->push_back(error.what());
        }
    }
    return programs;
}

std::vector<er_plugin::Preset> RoomPrograms() {
    const std::size_t default_room = er_room::NamedRoomIndex(er_room::DEFAULT_ROOM);
    std::vector<er_plugin::Preset> programs{er_plugin::RoomPreset(default_room)};
    programs.front().name = "Default";
    for (std::size_t room = 0; room < er_room::NamedRooms().size(); ++room) programs.push_back(er_plugin::RoomPreset(room));
    return programs;
}

}  // namespace

std::optional<float> TakenValue(const PluginFacts& facts, std::int32_t port, float value) {
    if (facts.kind == Kind::Room) return er_plugin::RoomControlFor(port, value);
    if (port < 0 || static_cast<std::size_t>(port) >= facts.ports.size()) return std::nullopt;
    return er_plugin::ControlFor(facts.ports[static_cast<std::size_t>(port)], value);
}

std::optional<std::pair<std::int32_t, float>> SavedValue(const PluginFacts& facts, std::string_view symbol, float value) {
    for (const ParameterFacts& parameter : facts.parameters) {
        if (parameter.output || parameter.symbol != symbol) continue;
        const std::optional<float> taken = TakenValue(facts, parameter.port, value);
        if (!taken) return std::nullopt;
        return std::pair{parameter.port, *taken};
    }
    return std::nullopt;
}

std::string HostUnit(const char* lv2_unit) {
    if (lv2_unit == nullptr) return {};
    for (const UnitName& unit : UNIT_NAMES) {
        if (std::strcmp(unit.lv2, lv2_unit) == 0) return unit.host;
    }
    const std::string_view name(lv2_unit);
    return std::string(name.substr(name.find(':') == std::string_view::npos ? 0 : name.find(':') + 1));
}

bool ValueText(const ParameterFacts& parameter, double value, bool with_unit, char* text, std::size_t size) noexcept {
    if (text == nullptr || size == 0) return false;
    int written = 0;
    const auto entry = std::find_if(parameter.entries.begin(), parameter.entries.end(), [&](const auto& e) {
        return std::isfinite(value) && std::abs(value) < 1e9 && e.value == std::lround(value);
    });
    if (entry != parameter.entries.end()) {
        written = std::snprintf(text, size, "%s", entry->label.c_str());
    } else if (parameter.toggle) {
        written = std::snprintf(text, size, "%s", value > 0.0 ? "on" : "off");
    } else if (with_unit && !parameter.unit.empty()) {
        written = std::snprintf(text, size, "%.6g %s", value, parameter.unit.c_str());
    } else {
        written = std::snprintf(text, size, "%.6g", value);
    }
    return written >= 0;  // a text cut to the host's room is still the right one
}

std::optional<double> ValueFromText(const ParameterFacts& parameter, const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    for (const er_plugin::ChoiceEntry& entry : parameter.entries) {
        if (entry.label == text) return entry.value;
    }
    if (parameter.toggle && (std::strcmp(text, "on") == 0 || std::strcmp(text, "off") == 0)) {
        return text[1] == 'n' ? 1.0 : 0.0;
    }
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text || !std::isfinite(number)) return std::nullopt;
    return number;
}

PluginFacts MakeFacts(Kind kind, const std::vector<PresetText>& presets, std::vector<std::string>* refused) {
    PluginFacts facts{kind, {}, {}, {}, {}, {}, {}, {}};
    if (kind == Kind::Room) {
        facts.name = er_plugin::ROOM_NAME;
        facts.ports = er_plugin::RoomPortDescriptions();
        facts.inputs = {er_plugin::ROOM_IN};
        facts.outputs = {er_plugin::ROOM_OUT_L, er_plugin::ROOM_OUT_R};
        facts.programs = RoomPrograms();
    } else {
        const er_plugin::Variant& variant = er_plugin::VARIANTS[kind == Kind::Mono ? 0 : 1];
        facts.name = EffectName(variant);
        facts.ports = er_plugin::PortDescriptions();
        if (facts.ports.empty()) return facts;
        facts.ports.resize(static_cast<std::size_t>(variant.ports));
        for (std::int32_t channel = 0; channel < variant.channels; ++channel) {
            facts.inputs.push_back(er_plugin::CHANNEL_IN[channel]);
            facts.outputs.push_back(er_plugin::CHANNEL_OUT[channel]);
        }
        facts.programs = EffectPrograms(facts.ports, presets, refused);
    }
    if (facts.ports.size() > MAX_PORTS) facts.ports.clear();
    for (std::size_t port = 0; port < facts.ports.size(); ++port) {
        const PortDescription& description = facts.ports[port];
        const bool control = er_plugin::IsControl(description.row.kind);
        facts.defaults.push_back(control && !er_plugin::IsReading(description.row.kind) ? description.default_value
                                                                                        : 0.0f);
        if (control) facts.parameters.push_back(Parameter(static_cast<std::int32_t>(port), description));
    }
    return facts;
}

}  // namespace er_daw
