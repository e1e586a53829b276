// What the CLAP and VST3 plug-ins show a host: one parameter per control port of the core, numbered in port order
// and named, ranged and defaulted as the LV2 plug-in's ports (the LV2 symbol as the parameter's symbol, a reading
// as an output), the same numbering in mono and stereo; the programs (the defaults, the presets, the named rooms);
// and the built bundles' identity as a host reads it (CLAP id and name, VST3 class name and category).
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <tuple>
#include <stdexcept>
#include <string>
#include <vector>

#include "PluginFacts.h"
#include "PresetTexts.h"
#include "SavedState.h"
#include "Room.h"
#include "RoomCore.h"
#include "clap/entry.h"
#include "clap/plugin-factory.h"
#include "travesty/component.h"
#include "travesty/factory.h"
#include "travesty/unit.h"

namespace {

using er_daw::Kind;
using er_daw::PluginFacts;

PluginFacts Facts(Kind kind) { return er_daw::MakeFacts(kind, {std::begin(er_daw::PRESET_TEXTS), std::end(er_daw::PRESET_TEXTS)}); }

TEST(PluginFacts, EveryControlPortIsAParameterInPortOrderWithTheLv2PortsFacts) {
    for (const Kind kind : {Kind::Mono, Kind::Stereo, Kind::Room}) {
        const PluginFacts facts = Facts(kind);
        ASSERT_FALSE(facts.ports.empty());
        std::size_t next = 0;
        for (std::size_t port = 0; port < facts.ports.size(); ++port) {
            const er_plugin::PortDescription& description = facts.ports[port];
            if (!er_plugin::IsControl(description.row.kind)) continue;
            ASSERT_LT(next, facts.parameters.size());
            const er_daw::ParameterFacts& parameter = facts.parameters[next++];
            SCOPED_TRACE(description.row.symbol);
            EXPECT_EQ(parameter.port, static_cast<std::int32_t>(port));
            EXPECT_EQ(parameter.symbol, description.row.symbol);
            EXPECT_EQ(parameter.name, description.name);
            EXPECT_EQ(parameter.minimum, description.minimum);
            EXPECT_EQ(parameter.maximum, description.maximum);
            EXPECT_EQ(parameter.default_value, description.default_value);
            EXPECT_LE(parameter.minimum, parameter.default_value);
            EXPECT_LE(parameter.default_value, parameter.maximum);
            EXPECT_EQ(parameter.output, er_plugin::IsReading(description.row.kind));
            EXPECT_EQ(parameter.integer, er_plugin::IsChoice(description.row.kind) ||
                                             description.row.kind == er_plugin::PortKind::Switch);
            EXPECT_EQ(facts.defaults[port], parameter.output ? 0.0f : description.default_value);
            if (description.row.kind == er_plugin::PortKind::Choice) {
                ASSERT_EQ(parameter.entries.size(), description.entries.size());
                for (std::size_t i = 0; i < parameter.entries.size(); ++i) {
                    EXPECT_EQ(parameter.entries[i].label, description.entries[i].label);
                    EXPECT_EQ(parameter.entries[i].value, description.entries[i].value);
                }
            }
        }
        EXPECT_EQ(next, facts.parameters.size());
    }
}

TEST(PluginFacts, TheStereoEffectNumbersItsParametersAsTheMonoOneAndAddsOnlyAudio) {
    const PluginFacts mono = Facts(Kind::Mono), stereo = Facts(Kind::Stereo);
    ASSERT_EQ(mono.parameters.size(), stereo.parameters.size());
    for (std::size_t i = 0; i < mono.parameters.size(); ++i) {
        EXPECT_EQ(mono.parameters[i].symbol, stereo.parameters[i].symbol) << "parameter " << i;
    }
    EXPECT_EQ(mono.inputs, (std::vector<std::int32_t>{er_plugin::PORT_AUDIO_IN}));
    EXPECT_EQ(mono.outputs, (std::vector<std::int32_t>{er_plugin::PORT_OUT}));
    EXPECT_EQ(stereo.inputs, (std::vector<std::int32_t>{er_plugin::PORT_AUDIO_IN, er_plugin::PORT_AUDIO_IN_R}));
    EXPECT_EQ(stereo.outputs, (std::vector<std::int32_t>{er_plugin::PORT_OUT, er_plugin::PORT_OUT_R}));
    const PluginFacts room = Facts(Kind::Room);
    EXPECT_EQ(room.inputs, (std::vector<std::int32_t>{er_plugin::ROOM_IN}));
    EXPECT_EQ(room.outputs, (std::vector<std::int32_t>{er_plugin::ROOM_OUT_L, er_plugin::ROOM_OUT_R}));
}

TEST(PluginFacts, UnitsAreShownAsHostsShowThem) {
    EXPECT_EQ(er_daw::HostUnit("units:ms"), "ms");
    EXPECT_EQ(er_daw::HostUnit("units:db"), "dB");
    EXPECT_EQ(er_daw::HostUnit("units:pc"), "%");
    EXPECT_EQ(er_daw::HostUnit("units:hz"), "Hz");
    EXPECT_EQ(er_daw::HostUnit(nullptr), "");
    for (const Kind kind : {Kind::Mono, Kind::Room}) {
        for (const er_daw::ParameterFacts& parameter : Facts(kind).parameters) {
            EXPECT_EQ(parameter.unit.find(':'), std::string::npos) << parameter.symbol << ": " << parameter.unit;
        }
    }
    // The realised delay in milliseconds, and the room's levels in decibels.
    for (const auto& [kind, symbol, unit] : {std::tuple{Kind::Mono, "delay_ms", "ms"}, std::tuple{Kind::Room, "wet", "dB"}}) {
        bool found = false;
        for (const er_daw::ParameterFacts& parameter : Facts(kind).parameters) {
            if (parameter.symbol != symbol) continue;
            EXPECT_EQ(parameter.unit, unit) << symbol;
            found = true;
        }
        EXPECT_TRUE(found) << symbol;
    }
}

TEST(PluginFacts, ProgramsAreTheDefaultsThenThePresetsOrTheNamedRooms) {
    const PluginFacts mono = Facts(Kind::Mono);
    std::vector<std::string> names;
    for (const er_plugin::Preset& program : mono.programs) names.push_back(program.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Default", "damped-loop", "room", "slapback", "sweep"}));
    EXPECT_EQ(mono.programs.front().values, er_plugin::DefaultEffectPreset(mono.ports).values);

    const PluginFacts room = Facts(Kind::Room);
    const auto& rooms = er_room::NamedRooms();
    ASSERT_EQ(room.programs.size(), rooms.size() + 1);
    EXPECT_EQ(room.programs[0].name, "Default");
    EXPECT_EQ(room.programs[0].values, er_plugin::RoomPreset(er_room::NamedRoomIndex(er_room::DEFAULT_ROOM)).values);
    for (std::size_t i = 0; i < rooms.size(); ++i) EXPECT_EQ(room.programs[i + 1].name, rooms[i].name);
}

TEST(PluginFacts, APresetTextThatDoesNotTranslateIsLeftOutAndNamed) {
    static constexpr unsigned char good[] = "1 Time=25\n";
    static constexpr unsigned char bad[] = "Volume Knob=11\n";
    std::vector<std::string> refused;
    const PluginFacts facts = er_daw::MakeFacts(
        Kind::Stereo, {{"good", good, sizeof good - 1}, {"bad", bad, sizeof bad - 1}}, &refused);
    ASSERT_EQ(facts.programs.size(), 2u);
    EXPECT_EQ(facts.programs[1].name, "good");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("bad"), std::string::npos) << refused[0];
}

// ---- value texts and the VST3 state, as both formats use them ----------------------------------------------------

const er_daw::ParameterFacts& BySymbol(const PluginFacts& facts, const std::string& symbol) {
    for (const auto& parameter : facts.parameters) {
        if (parameter.symbol == symbol) return parameter;
    }
    throw std::invalid_argument("no parameter " + symbol);
}

// A value's text and back: a choice's entry, a toggle's on/off, a number with its unit where asked for; a text that
// means nothing is refused.
TEST(PluginFacts, ValueTextsReadBackAsTheirValues) {
    const PluginFacts mono = Facts(Kind::Mono);
    struct Case {
        const char* symbol;
        double value;
        bool with_unit;
        const char* text;
    };
    const Case CASES[] = {
        {"routing_mode", 1, false, "Input+Tap1"}, {"routing_mode", 3, true, "Input+Output"},   {"active", 1, false, "on"},
        {"active", 0, true, "off"},              {"delay", 12.5, true, "12.5 ms"},    {"delay", 12.5, false, "12.5"},
        {"mix", 100, true, "100 %"},             {"feedback", -2.25, true, "-2.25"},
    };
    for (const Case& c : CASES) {
        const er_daw::ParameterFacts& parameter = BySymbol(mono, c.symbol);
        char text[64];
        ASSERT_TRUE(er_daw::ValueText(parameter, c.value, c.with_unit, text, sizeof text)) << c.symbol;
        EXPECT_STREQ(text, c.text) << c.symbol << " " << c.value;
        EXPECT_EQ(er_daw::ValueFromText(parameter, text), c.value) << c.text;
    }
    EXPECT_FALSE(er_daw::ValueFromText(BySymbol(mono, "time"), "soon"));
    EXPECT_FALSE(er_daw::ValueFromText(BySymbol(mono, "time"), "nan"));
    char tiny[4];
    ASSERT_TRUE(er_daw::ValueText(BySymbol(mono, "routing_mode"), 1, false, tiny, sizeof tiny));
    EXPECT_STREQ(tiny, "Inp");  // cut to the host's room, ended
}

// The VST3 state: every input parameter and the program come back; a state from another version (a symbol the
// plug-in does not know, one left out) is taken as far as it goes; anything else is refused and changes nothing.
TEST(SavedState, RoundTripsEveryValueAndRefusesWhatIsNotAState) {
    for (const Kind kind : {Kind::Mono, Kind::Room}) {
        const PluginFacts facts = Facts(kind);
        std::vector<float> values(facts.defaults);
        for (const auto& parameter : facts.parameters) {
            if (!parameter.output) values[parameter.port] = parameter.integer ? parameter.maximum : 0.3f * parameter.maximum + 0.7f * parameter.minimum;
        }
        const std::string bytes = er_daw::SavedState::Write(facts, 2, values.data());
        std::vector<float> read(facts.defaults);
        std::int32_t program = 0;
        ASSERT_TRUE(er_daw::SavedState::Read(facts, bytes, program, read.data()));
        EXPECT_EQ(program, 2);
        for (const auto& parameter : facts.parameters) {
            if (!parameter.output) {
                EXPECT_EQ(read[parameter.port], values[parameter.port]) << parameter.symbol;
            }
        }
    }
    const PluginFacts mono = Facts(Kind::Mono);
    using namespace std::string_literals;
    const std::string other = "__dpf_program__\0"s + "1\0__dpf_parameters_begin__\0volume\0"s + "2.5\0echo\0"s +
                              "7\0__dpf_parameters_end__\0\xFE"s;
    std::vector<float> read(mono.defaults);
    std::int32_t program = 0;
    ASSERT_TRUE(er_daw::SavedState::Read(mono, other, program, read.data()));
    EXPECT_EQ(program, 1);
    EXPECT_EQ(read[BySymbol(mono, "volume").port], 2.5f);
    EXPECT_EQ(read[BySymbol(mono, "time").port], mono.defaults[BySymbol(mono, "time").port]);
    const std::string good = er_daw::SavedState::Write(mono, 1, mono.defaults.data());
    const std::string REFUSED[] = {
        "",
        "symbol value\n",
        good.substr(0, good.size() / 2),
        good.substr(0, good.size() - 2),  // the end mark's own end cut
        "__dpf_program__\0"s + "9\0__dpf_parameters_begin__\0__dpf_parameters_end__\0"s,  // no such program
        "__dpf_program__\0"s + "0\0__dpf_parameters_begin__\0volume\0loud\0__dpf_parameters_end__\0"s,
        "__dpf_program__\0"s + "0\0__dpf_parameters_begin__\0volume\0nan\0__dpf_parameters_end__\0"s,
    };
    for (const std::string& bytes : REFUSED) {
        std::vector<float> untouched(mono.defaults.size(), 1234.0f);
        program = 77;
        EXPECT_FALSE(er_daw::SavedState::Read(mono, bytes, program, untouched.data())) << bytes.size() << " bytes";
        EXPECT_EQ(program, 77);
        EXPECT_EQ(untouched, std::vector<float>(mono.defaults.size(), 1234.0f));
    }
}

// ---- the built bundles, as a host reads them -------------------------------------------------------------------

// The VST3 class ids are the ones saved sessions hold (the plug-ins' first VST3 builds made them): they never change.
struct Bundle {
    Kind kind;
    const char* clap;
    const char* vst3;
    const char* id;
    const char* vst3_categories;
    unsigned char vst3_class[16];
};
const Bundle BUNDLES[] = {
    {Kind::Mono, ER_CLAP_MONO, ER_VST3_MONO, "urn:early-reflection:ZV_1x_ER_Gen", "Fx|Delay",
     {0x20, 0x46, 0x50, 0x44, 0x73, 0x61, 0x6c, 0x63, 0x6f, 0x6d, 0x52, 0x45, 0, 0, 0, 0}},
    {Kind::Stereo, ER_CLAP_STEREO, ER_VST3_STEREO, "urn:early-reflection:ZV_1x_ER_Gen_stereo", "Fx|Delay",
     {0x20, 0x46, 0x50, 0x44, 0x73, 0x61, 0x6c, 0x63, 0x74, 0x73, 0x52, 0x45, 0, 0, 0, 0}},
    {Kind::Room, ER_CLAP_ROOM, ER_VST3_ROOM, "urn:early-reflection:ZV_1x_ER_Gen_room", "Fx|Reverb",
     {0x20, 0x46, 0x50, 0x44, 0x73, 0x61, 0x6c, 0x63, 0x6d, 0x72, 0x52, 0x45, 0, 0, 0, 0}},
};

TEST(Bundles, EachClapBundleHoldsOnePluginWithTheLv2UriAsIdAndTheCoresName) {
    for (const Bundle& bundle : BUNDLES) {
        SCOPED_TRACE(bundle.clap);
        void* library = dlopen(bundle.clap, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        const auto* entry = static_cast<const clap_plugin_entry_t*>(dlsym(library, "clap_entry"));
        ASSERT_NE(entry, nullptr);
        ASSERT_TRUE(entry->init(bundle.clap));
        const auto* factory = static_cast<const clap_plugin_factory_t*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
        ASSERT_NE(factory, nullptr);
        ASSERT_EQ(factory->get_plugin_count(factory), 1u);
        const clap_plugin_descriptor_t* descriptor = factory->get_plugin_descriptor(factory, 0);
        EXPECT_STREQ(descriptor->id, bundle.id);
        EXPECT_EQ(descriptor->name, Facts(bundle.kind).name);
        entry->deinit();
        dlclose(library);
    }
}

TEST(Bundles, EachVst3BundleOffersItsPluginUnderTheCoresNameAsAnEffect) {
    for (const Bundle& bundle : BUNDLES) {
        SCOPED_TRACE(bundle.vst3);
        void* library = dlopen(bundle.vst3, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << dlerror();
        const auto module_entry = reinterpret_cast<bool (*)(void*)>(dlsym(library, "ModuleEntry"));
        const auto module_exit = reinterpret_cast<bool (*)()>(dlsym(library, "ModuleExit"));
        const auto get_factory = reinterpret_cast<void* (*)()>(dlsym(library, "GetPluginFactory"));
        ASSERT_TRUE(module_entry != nullptr && module_exit != nullptr && get_factory != nullptr);
        ASSERT_TRUE(module_entry(library));
        auto** factory = static_cast<v3_plugin_factory_cpp**>(get_factory());
        ASSERT_NE(factory, nullptr);
        ASSERT_GE((*factory)->v1.num_classes(factory), 1);
        v3_class_info info{};
        ASSERT_EQ((*factory)->v1.get_class_info(factory, 0, &info), V3_OK);
        EXPECT_STREQ(info.category, "Audio Module Class");
        EXPECT_EQ(info.name, Facts(bundle.kind).name);
        EXPECT_EQ(std::memcmp(info.class_id, bundle.vst3_class, sizeof info.class_id), 0);
        v3_class_info_2 info2{};
        ASSERT_EQ((*factory)->v2.get_class_info_2(factory, 0, &info2), V3_OK);
        EXPECT_STREQ(info2.sub_categories, bundle.vst3_categories);
        EXPECT_EQ(std::memcmp(info2.class_id, bundle.vst3_class, sizeof info2.class_id), 0);
        // The program list a host's menu shows: the root unit's, through the instance's unit information.
        void* object = nullptr;
        ASSERT_EQ((*factory)->v1.create_instance(factory, info.class_id, v3_component_iid, &object), V3_OK);
        auto** component = static_cast<v3_component**>(object);
        v3_unit_information** units = nullptr;
        ASSERT_EQ(v3_cpp_obj_query_interface(component, v3_unit_information_iid, &units), V3_OK);
        v3_unit_info root{};
        ASSERT_EQ(v3_cpp_obj(units)->get_unit_info(units, 0, &root), V3_OK);
        v3_program_list_info list{};
        ASSERT_EQ(v3_cpp_obj(units)->get_program_list_info(units, 0, &list), V3_OK);
        EXPECT_EQ(root.program_list_id, list.id);
        const PluginFacts facts = Facts(bundle.kind);
        ASSERT_EQ(list.programCount, static_cast<int32_t>(facts.programs.size()));
        for (int32_t p = 0; p < list.programCount; ++p) {
            v3_str_128 name{};
            ASSERT_EQ(v3_cpp_obj(units)->get_program_name(units, list.id, p, name), V3_OK);
            std::string narrow;
            for (const int16_t c : name) {
                if (c == 0) break;
                narrow += static_cast<char>(c);
            }
            EXPECT_EQ(narrow, facts.programs[static_cast<std::size_t>(p)].name) << "program " << p;
        }
        v3_cpp_obj_unref(units);
        v3_cpp_obj_unref(component);
        (*factory)->unref(factory);
        module_exit();
        dlclose(library);
    }
}

}  // namespace
