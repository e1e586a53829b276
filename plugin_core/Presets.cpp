#include "Presets.h"

#include <stdexcept>

#include "ListText.h"
#include "Room.h"
#include "SettingsText.h"
#include "Text.h"

namespace er_plugin {

bool EffectPresetHolds(std::int32_t port) { return port != PORT_ACTIVE && port != PORT_GATE && port != PORT_SMOOTH; }

Preset DefaultEffectPreset(const std::vector<PortDescription>& ports) {
    Preset preset{"Default", "Every control at the plug-in's default.", {}};
    for (std::int32_t port = 0; port < MONO_PORTS; ++port) {
        const PortKind kind = ports[static_cast<std::size_t>(port)].row.kind;
        if (IsControl(kind) && !IsReading(kind) && EffectPresetHolds(port)) {
            preset.values.emplace_back(port, ports[static_cast<std::size_t>(port)].default_value);
        }
    }
    return preset;
}

namespace {

// The leading comment lines of a settings text, joined by blanks.
std::string LeadingComment(std::string_view text) {
    std::string comment;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = er_text::Trim(text.substr(0, end));
        if (line.empty() || line[0] != '#') break;
        comment += (comment.empty() ? "" : " ") + std::string(er_text::Trim(line.substr(1)));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return comment;
}

// The value an assignment gives a control port: a choice's entry value, or a float (a ramp's start).
float AssignedValue(const PortDescription& port, const er_text::Assignment& assignment) {
    if (IsChoice(port.row.kind)) {
        std::vector<er_text::ListEntry> entries;
        for (const ChoiceEntry& entry : port.entries) entries.push_back({entry.label, entry.value});
        const er_text::ListEntry* chosen = er_text::FindChoice(entries, assignment.value);
        if (chosen == nullptr) throw std::runtime_error(assignment.origin + ": no such entry");
        return static_cast<float>(chosen->value);
    }
    const auto number = er_text::ParseNumber(assignment.value.substr(0, assignment.value.find("..")));
    if (!number) throw std::runtime_error(assignment.origin + ": not a number the plug-in takes");
    return static_cast<float>(*number);
}

}  // namespace

Preset EffectPresetFromSettings(const std::string& name, std::string_view text, const std::string& origin,
                                const std::vector<PortDescription>& ports) {
    Preset preset = DefaultEffectPreset(ports);
    preset.name = name;
    preset.comment = LeadingComment(text);
    for (const er_text::Assignment& assignment : er_text::ParseSettingsText(text, origin)) {
        std::int32_t port = 0;
        while (port < PIN_PORTS && ports[static_cast<std::size_t>(port)].pin_name != assignment.name) ++port;
        if (port == PIN_PORTS || !EffectPresetHolds(port)) {
            throw std::runtime_error(assignment.origin + ": no such control");
        }
        const float value = AssignedValue(ports[static_cast<std::size_t>(port)], assignment);
        for (auto& [index, setting] : preset.values) {
            if (index == port) setting = value;
        }
    }
    return preset;
}

Preset RoomPreset(std::size_t index) {
    const er_room::NamedRoom& room = er_room::NamedRooms()[index];
    Preset preset{std::string(room.name), std::string(room.description), {}};
    preset.values.emplace_back(ROOM_PRESET, static_cast<float>(index));
    for (const std::int32_t port : ROOM_SHAPE_PORTS) preset.values.emplace_back(port, ROOM_PORT_ROWS[port].plugin_default);
    return preset;
}

}  // namespace er_plugin
