// What the CLAP and VST3 plug-ins show a host, format-free: for each of the three plug-ins (the mono and stereo
// effects, the room) its name, its audio ports, one parameter per control port of the core and its programs. The
// CLAP and VST3 plug-ins (ClapPlugin.cpp, Vst3Plugin.cpp) only copy these into their formats' records, so the rules
// live here, testable without a host.
//
// A parameter is the core's control port as the LV2 plug-in shows it: the same symbol (its id in saved sessions),
// display name, range, default, entries and unit; a reading is an output parameter. Parameters are numbered by
// their port's rank among the control ports, in port order: ports are only ever appended, so a parameter keeps
// its number (CLAP's param id) when new controls come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Ports.h"
#include "Presets.h"

namespace er_daw {

enum class Kind { Mono, Stereo, Room };

// What a format must know of a plug-in before any instance exists; each plug-in's folder has its own
// (PluginIdentity.h), and the build compiles each binary against one. The name is the one hosts list (the core's);
// the CLAP id is the LV2 plug-in's URI; the VST3 class id is made from `vst3_id`, as the plug-ins' first VST3
// builds made it, so that saved sessions find the plug-in.
struct PluginIdentity {
    Kind kind;
    const char* name;
    const char* clap_id;
    const char** clap_features;        // null-terminated (CLAP 1.1 as DPF ships it asks for them not const)
    const char* vst3_categories;       // the class's subcategories ("Fx|Delay")
    std::uint32_t vst3_id;             // four characters, the first in the high byte
};
constexpr std::uint32_t FourCharacters(const char (&text)[5]) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[0])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(text[3]));
}

// The most ports a plug-in may have: the wrapper keeps a fixed array of this many values.
inline constexpr std::size_t MAX_PORTS = 64;

struct ParameterFacts {
    std::int32_t port;        // the core's port
    std::string name;         // display name
    std::string symbol;       // the LV2 symbol
    std::string unit;         // as a host shows it ("ms", "dB", "%"), or empty
    float minimum, maximum, default_value;
    bool output;              // a reading the core writes
    bool toggle;              // off and on
    bool integer;             // whole values only (toggles and choices)
    std::vector<er_plugin::ChoiceEntry> entries;  // a choice's entries, in list order
};

// An embedded settings text: a preset file of presets/, read into the binary when the build is configured.
struct PresetText {
    const char* name;  // the file's stem
    const unsigned char* bytes;
    std::size_t size;
};

struct PluginFacts {
    Kind kind;
    std::string name;                                  // as hosts list it
    std::vector<er_plugin::PortDescription> ports;     // every port of the core, by port number
    std::vector<std::int32_t> inputs, outputs;         // the audio ports, in channel order
    std::vector<ParameterFacts> parameters;            // in parameter order
    std::vector<er_plugin::Preset> programs;           // "Default" first, then the presets (the named rooms)
    std::vector<float> defaults;                       // each port's starting value (0 for audio ports)
};

// A control port's value as the plug-in's core takes it, which a format reads back to its host: the room's rule or
// the effects' (er_plugin::RoomControlFor, er_plugin::ControlFor); none for a value the core ignores.
std::optional<float> TakenValue(const PluginFacts& facts, std::int32_t port, float value);

// A saved value of the input parameter named `symbol`: its port and the value as the core takes it; none for a
// symbol no input parameter has (a state from another version), or a value the core ignores.
std::optional<std::pair<std::int32_t, float>> SavedValue(const PluginFacts& facts, std::string_view symbol, float value);

// The unit a host shows for an LV2 unit name ("units:ms" -> "ms"); empty for none.
std::string HostUnit(const char* lv2_unit);

// A parameter's value as a host shows it: a choice's entry, "on"/"off" for a toggle, else the number (followed by
// the unit when `with_unit`: CLAP hosts show the text alone, VST3 hosts add the unit they were told themselves).
// Cut to `size` when longer.
bool ValueText(const ParameterFacts& parameter, double value, bool with_unit, char* text, std::size_t size) noexcept;

// What a host's text means for a parameter: an entry's label, else a finite number; none for anything else.
std::optional<double> ValueFromText(const ParameterFacts& parameter, const char* text) noexcept;

// The facts of `kind`; the effects' programs come from `presets` (a text that does not translate is left out and
// named in `refused`, when given). Allocates; throws std::bad_alloc. Empty ports when the module's pins are not
// the ones the core describes, or when there are more than MAX_PORTS.
PluginFacts MakeFacts(Kind kind, const std::vector<PresetText>& presets, std::vector<std::string>* refused = nullptr);

}  // namespace er_daw
