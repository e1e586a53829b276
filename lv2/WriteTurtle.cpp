// er-lv2-ttl OUT_DIR BINARY PRESET_FILE...: writes the bundle's manifest.ttl, early_reflection.ttl (the mono
// and the stereo plug-in) and presets.ttl. Run at build time, so that the description says what the built
// module and adapter really do: names, list entries and defaults are the module's pin texts, read through its
// exports; symbols, kinds, ranges, comments and units come from the port table; the presets are er-render's
// settings files.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "EffectCore.h"
#include "ListText.h"
#include "ModuleExports.h"
#include "Room.h"
#include "RoomCore.h"
#include "Ports.h"
#include "Presets.h"
#include "SettingsText.h"
#include "Text.h"

namespace {

using namespace er_plugin;

constexpr const char* MAINTAINER = "urn:early-reflection:maintainer";
constexpr const char* LICENSE = "http://opensource.org/licenses/isc";
constexpr const char* PRESET_PREFIX = "urn:early-reflection:preset:";

constexpr const char* DESCRIPTION =
    "An early-reflection generator: one echo of the input, whose delay, level, feedback and damping you set, "
    "on a delay line whose length Max Delay chooses. With feedback the echo repeats, each repeat passing a "
    "one-pole low-pass (Damping); Damping/Feedback Mode says whether the tap or the output is fed back and "
    "whether the input is filtered too. The output is the echo alone: mix it with the dry signal in the host. "
    "Delay (samples) and Delay (ms) show the delay it plays; Smooth changes makes changes glide or fade instead "
    "of clicking, and off plays every change at once, exactly as the module alone does.";

// A Turtle string literal.
std::string Literal(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

// A decimal that reads back as the same float.
std::string Number(float value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    std::string out = text;
    if (out.find_first_of(".e") == std::string::npos) out += ".0";
    return out;
}

const char* PortClasses(PortKind kind) {
    switch (kind) {
    case PortKind::AudioIn: return "lv2:AudioPort , lv2:InputPort";
    case PortKind::AudioOut: return "lv2:AudioPort , lv2:OutputPort";
    case PortKind::Reading: return "lv2:ControlPort , lv2:OutputPort";
    default: return "lv2:ControlPort , lv2:InputPort";
    }
}

const char* PortProperties(std::int32_t index, PortKind kind) {
    if (index == PORT_MONO_MODE) return "lv2:connectionOptional , lv2:integer , lv2:enumeration , pprops:notOnGUI";
    switch (kind) {
    case PortKind::Toggle:
    case PortKind::Switch: return "lv2:connectionOptional , lv2:toggled , lv2:integer";
    case PortKind::Choice: return "lv2:connectionOptional , lv2:integer , lv2:enumeration";
    case PortKind::Trigger: return "lv2:connectionOptional , pprops:trigger";
    case PortKind::Float:
    case PortKind::Reading: return "lv2:connectionOptional";
    default: return nullptr;
    }
}

// "0.085 (4096sm)" -> "0.085 s (4096sm)": the "Max Delay(s)" entries are seconds.
std::string ChoiceLabel(std::int32_t index, const std::string& label) {
    if (index != PORT_MAX_DELAY) return label;
    const std::size_t end = label.find(' ');
    return end == std::string::npos ? label + " s" : label.substr(0, end) + " s" + label.substr(end);
}

struct Group {
    const char* symbol;
    const char* label;
    const char* kinds;  // the group's classes
};

std::string GroupUri(const Variant& variant, const char* symbol) { return std::string(variant.uri) + "#" + symbol; }

void WritePort(std::ostream& out, const Variant& variant, std::int32_t index, const PortDescription& port) {
    const bool audio = !IsControl(port.row.kind);
    std::string name = port.name;
    if (audio && variant.channels == 2) name += (index == PORT_AUDIO_IN_R || index == PORT_OUT_R) ? " R" : " L";
    out << "    [\n"
        << "        a " << PortClasses(port.row.kind) << " ;\n"
        << "        lv2:index " << index << " ;\n"
        << "        lv2:symbol " << Literal(port.row.symbol) << " ;\n"
        << "        lv2:name " << Literal(name) << " ;\n"
        << "        rdfs:comment " << Literal(port.row.comment);
    if (audio) {
        const bool input = port.row.kind == PortKind::AudioIn;
        const char* side = variant.channels == 1                               ? "pg:center"
                           : (index == PORT_AUDIO_IN_R || index == PORT_OUT_R) ? "pg:right"
                                                                               : "pg:left";
        out << " ;\n        pg:group <" << GroupUri(variant, input ? "in" : "out") << "> ;\n"
            << "        lv2:designation " << side;
    }
    if (index == PORT_ACTIVE) out << " ;\n        lv2:designation lv2:enabled";
    if (port.row.unit != nullptr) out << " ;\n        units:unit " << port.row.unit;
    if (IsControl(port.row.kind)) {
        out << " ;\n        lv2:default " << Number(port.default_value) << " ;\n"
            << "        lv2:minimum " << Number(port.minimum) << " ;\n"
            << "        lv2:maximum " << Number(port.maximum) << " ;\n"
            << "        lv2:portProperty " << PortProperties(index, port.row.kind);
        for (std::size_t i = 0; i < port.entries.size(); ++i) {
            out << (i == 0 ? " ;\n        lv2:scalePoint " : " , ") << "[ rdfs:label "
                << Literal(ChoiceLabel(index, port.entries[i].label)) << " ; rdf:value " << port.entries[i].value
                << " ]";
        }
    }
    out << "\n    ]";
}

constexpr const char* PREFIXES =
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix pg: <http://lv2plug.in/ns/ext/port-groups#> .\n"
    "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
    "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n\n";

constexpr const char* ROOM_DESCRIPTION =
    "The early reflections of a room, from a model of a shoebox room by the image-source method: every mirror "
    "image of the source up to three reflections is one echo at each ear, with its delay, its level (distance and "
    "the walls' absorption) and the dulling of its bounces. Each echo is one instance of the early-reflection "
    "module, as a user would wire them side by side in the modular host. Choose a room, then scale it (Size), "
    "spread the ears (Width), move the source (Source distance) and dull or brighten the walls (Brightness); "
    "Dry and Wet mix the direct sound and the reflections. Smooth changes makes a change of the room glide and "
    "fade instead of clicking.";

void WriteRoomPort(std::ostream& out, std::int32_t index) {
    const PortRow& row = ROOM_PORT_ROWS[index];
    const bool audio = !IsControl(row.kind);
    const std::string name = row.name;
    out << "    [\n"
        << "        a " << PortClasses(row.kind) << " ;\n"
        << "        lv2:index " << index << " ;\n"
        << "        lv2:symbol " << Literal(row.symbol) << " ;\n"
        << "        lv2:name " << Literal(name) << " ;\n"
        << "        rdfs:comment " << Literal(row.comment);
    if (audio) {
        const bool input = row.kind == PortKind::AudioIn;
        out << " ;\n        pg:group <" << ROOM_URI << (input ? "#in" : "#out") << "> ;\n"
            << "        lv2:designation " << (input ? "pg:center" : index == ROOM_OUT_L ? "pg:left"
                                                                                        : "pg:right");
    }
    if (row.unit != nullptr) out << " ;\n        units:unit " << row.unit;
    if (IsControl(row.kind)) {
        out << " ;\n        lv2:default " << Number(row.plugin_default) << " ;\n"
            << "        lv2:minimum " << Number(row.minimum) << " ;\n"
            << "        lv2:maximum " << Number(row.maximum) << " ;\n"
            << "        lv2:portProperty " << PortProperties(index == ROOM_PRESET ? -1 : index, row.kind);
    }
    if (index == ROOM_PRESET) {
        const auto& rooms = er_room::NamedRooms();
        for (std::size_t i = 0; i < rooms.size(); ++i) {
            out << (i == 0 ? " ;\n        lv2:scalePoint " : " , ") << "[ rdfs:label "
                << Literal(std::string(rooms[i].name)) << " ; rdf:value " << i << " ]";
        }
    }
    out << "\n    ]";
}

std::string RoomDescription() {
    std::ostringstream out;
    out << "\n<" << ROOM_URI << "#in>\n    a pg:MonoGroup , pg:InputGroup ;\n    lv2:symbol \"in\" ;\n"
        << "    rdfs:label \"Input\" .\n"
        << "\n<" << ROOM_URI << "#out>\n    a pg:StereoGroup , pg:OutputGroup ;\n    lv2:symbol \"out\" ;\n"
        << "    rdfs:label \"Output\" .\n"
        << "\n<" << ROOM_URI << ">\n"
        << "    a lv2:Plugin , lv2:ReverbPlugin , doap:Project ;\n"
        << "    doap:name " << Literal(ROOM_NAME) << " ;\n"
        << "    doap:license <" << LICENSE << "> ;\n"
        << "    doap:maintainer <" << MAINTAINER << "> ;\n"
        << "    rdfs:comment " << Literal(ROOM_DESCRIPTION) << " ;\n"
        << "    lv2:minorVersion 2 ;\n"
        << "    lv2:microVersion 90 ;\n"
        << "    pg:mainInput <" << ROOM_URI << "#in> ;\n"
        << "    pg:mainOutput <" << ROOM_URI << "#out> ;\n"
        << "    lv2:optionalFeature lv2:hardRTCapable , work:schedule , opts:options , urid:map ;\n"
        << "    lv2:extensionData work:interface ;\n"
        << "    opts:supportedOption bufsz:maxBlockLength ;\n"
        << "    lv2:port\n";
    for (std::int32_t i = 0; i < ROOM_PORT_COUNT; ++i) {
        WriteRoomPort(out, i);
        out << (i + 1 < ROOM_PORT_COUNT ? " ,\n" : " .\n");
    }
    return out.str();
}

std::string Description(const std::vector<PortDescription>& ports, const std::string& name) {
    std::ostringstream out;
    out << PREFIXES << "<" << MAINTAINER << ">\n    a foaf:Person ;\n    foaf:name \"early_reflection developers\" .\n";
    for (const Variant& variant : VARIANTS) {
        const char* group = variant.channels == 1 ? "pg:MonoGroup" : "pg:StereoGroup";
        for (const Group& g : {Group{"in", "Input", "pg:InputGroup"}, Group{"out", "Output", "pg:OutputGroup"}}) {
            out << "\n<" << GroupUri(variant, g.symbol) << ">\n    a " << group << " , " << g.kinds << " ;\n"
                << "    lv2:symbol " << Literal(g.symbol) << " ;\n    rdfs:label " << Literal(g.label) << " .\n";
        }
        out << "\n<" << variant.uri << ">\n"
            << "    a lv2:Plugin , lv2:DelayPlugin , doap:Project ;\n"
            << "    doap:name " << Literal(name + variant.name_suffix) << " ;\n"
            << "    doap:license <" << LICENSE << "> ;\n"
            << "    doap:maintainer <" << MAINTAINER << "> ;\n"
            << "    rdfs:comment " << Literal(DESCRIPTION) << " ;\n"
            << "    lv2:minorVersion 2 ;\n"
            << "    lv2:microVersion 90 ;\n"
            << "    pg:mainInput <" << GroupUri(variant, "in") << "> ;\n"
            << "    pg:mainOutput <" << GroupUri(variant, "out") << "> ;\n"
            << "    lv2:optionalFeature lv2:hardRTCapable , work:schedule , opts:options , urid:map ;\n"
            << "    lv2:extensionData work:interface ;\n"
            << "    opts:supportedOption bufsz:maxBlockLength ;\n"
            << "    lv2:port\n";
        for (std::int32_t i = 0; i < variant.ports; ++i) {
            WritePort(out, variant, i, ports[static_cast<std::size_t>(i)]);
            out << (i + 1 < variant.ports ? " ,\n" : " .\n");
        }
    }
    return out.str() + RoomDescription();
}

// A preset file's text, translated by the plug-ins' shared preset rule.
Preset ReadPreset(const std::string& path, const std::vector<PortDescription>& ports) {
    std::ifstream settings(path, std::ios::binary);
    std::ostringstream text;
    text << settings.rdbuf();
    if (!settings) throw std::runtime_error(path + ": cannot read the preset");
    return EffectPresetFromSettings(std::filesystem::path(path).stem().string(), text.str(), path, ports);
}

std::string PresetUri(const Variant& variant, const Preset& preset) {
    return PRESET_PREFIX + std::string(variant.channels == 1 ? "" : "stereo:") + preset.name;
}

// A preset of the room plug-in for each named room: the room, its shape as named (every factor 1, no window); the
// levels and smoothing stay the user's.
std::string RoomPresetUri(const er_room::NamedRoom& room) {
    return PRESET_PREFIX + std::string("room:") + std::string(room.name);
}

std::string RoomPresets() {
    std::ostringstream out;
    const auto& rooms = er_room::NamedRooms();
    for (std::size_t index = 0; index < rooms.size(); ++index) {
        const Preset preset = RoomPreset(index);
        out << "\n<" << RoomPresetUri(rooms[index]) << ">\n    a pset:Preset ;\n"
            << "    lv2:appliesTo <" << ROOM_URI << "> ;\n"
            << "    rdfs:label " << Literal(preset.name) << " ;\n"
            << "    rdfs:comment " << Literal(preset.comment) << " ;\n"
            << "    lv2:port";
        for (std::size_t i = 0; i < preset.values.size(); ++i) {
            const auto& [port, value] = preset.values[i];
            out << (i == 0 ? " " : " , ") << "[ lv2:symbol " << Literal(ROOM_PORT_ROWS[port].symbol) << " ; pset:value "
                << (port == ROOM_PRESET ? std::to_string(static_cast<int>(value)) : Number(value)) << " ]";
        }
        out << " .\n";
    }
    return out.str();
}

std::string Presets(const std::vector<Preset>& presets, const std::vector<PortDescription>& ports) {
    std::ostringstream out;
    out << PREFIXES << RoomPresets();
    for (const Variant& variant : VARIANTS) {
        for (const Preset& preset : presets) {
            out << "\n<" << PresetUri(variant, preset) << ">\n    a pset:Preset ;\n"
                << "    lv2:appliesTo <" << variant.uri << "> ;\n"
                << "    rdfs:label " << Literal(preset.name) << " ;\n"
                << "    rdfs:comment " << Literal(preset.comment) << " ;\n    lv2:port";
            for (std::size_t i = 0; i < preset.values.size(); ++i) {
                out << (i == 0 ? " " : " , ") << "[ lv2:symbol " << Literal(ports[preset.values[i].first].row.symbol)
                    << " ; pset:value " << Number(preset.values[i].second) << " ]";
            }
            out << " .\n";
        }
    }
    return out.str();
}

std::string Manifest(const std::string& binary, const std::vector<Preset>& presets) {
    std::ostringstream out;
    out << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n";
    for (const Variant& variant : VARIANTS) {
        out << "\n<" << variant.uri << ">\n"
            << "    a lv2:Plugin ;\n"
            << "    lv2:binary <" << binary << "> ;\n"
            << "    rdfs:seeAlso <early_reflection.ttl> .\n";
        for (const Preset& preset : presets) {
            out << "\n<" << PresetUri(variant, preset) << ">\n    a pset:Preset ;\n"
                << "    lv2:appliesTo <" << variant.uri << "> ;\n    rdfs:seeAlso <presets.ttl> .\n";
        }
    }
    out << "\n<" << ROOM_URI << ">\n    a lv2:Plugin ;\n    lv2:binary <" << binary << "> ;\n"
        << "    rdfs:seeAlso <early_reflection.ttl> .\n";
    for (const er_room::NamedRoom& room : er_room::NamedRooms()) {
        out << "\n<" << RoomPresetUri(room) << ">\n    a pset:Preset ;\n"
            << "    lv2:appliesTo <" << ROOM_URI << "> ;\n    rdfs:seeAlso <presets.ttl> .\n";
    }
    return out.str();
}

bool Write(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) std::fprintf(stderr, "er-lv2-ttl: cannot write %s\n", path.c_str());
    return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: er-lv2-ttl OUT_DIR BINARY PRESET_FILE...\n");
        return 2;
    }
    const auto ports = PortDescriptions();
    if (ports.size() != static_cast<std::size_t>(PORT_COUNT)) {
        std::fprintf(stderr, "er-lv2-ttl: the module's pins are not the ones the port table describes\n");
        return 1;
    }
    SEModuleIdentity identity{};
    getModuleProperties(0, &identity);
    std::vector<Preset> presets;
    try {
        for (int i = 3; i < argc; ++i) presets.push_back(ReadPreset(argv[i], ports));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "er-lv2-ttl: %s\n", error.what());
        return 1;
    }
    const std::string dir = argv[1];
    const bool written = Write(dir + "/manifest.ttl", Manifest(argv[2], presets)) &&
                         Write(dir + "/early_reflection.ttl", Description(ports, identity.name ? identity.name : "")) &&
                         Write(dir + "/presets.ttl", Presets(presets, ports));
    return written ? 0 : 1;
}
