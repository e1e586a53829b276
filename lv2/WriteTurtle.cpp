// er-lv2-ttl OUT_DIR BINARY: writes the bundle's manifest.ttl and early_reflection.ttl. Run at build time, so
// that the description says what the built module and adapter really do: names, list entries and defaults are
// the module's pin texts, read through its exports; symbols, kinds and ranges come from the port table.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Adapter.h"
#include "ModuleExports.h"
#include "Ports.h"

namespace {

using namespace er_lv2;

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
    default: return "lv2:ControlPort , lv2:InputPort";
    }
}

const char* PortProperties(PortKind kind) {
    switch (kind) {
    case PortKind::Toggle: return "lv2:connectionOptional , lv2:toggled , lv2:integer";
    case PortKind::Choice: return "lv2:connectionOptional , lv2:integer , lv2:enumeration";
    case PortKind::Trigger: return "lv2:connectionOptional , pprops:trigger";
    case PortKind::Float: return "lv2:connectionOptional";
    default: return nullptr;
    }
}

void WritePort(std::ostream& out, std::int32_t index, const PortDescription& port) {
    out << "    [\n"
        << "        a " << PortClasses(port.row.kind) << " ;\n"
        << "        lv2:index " << index << " ;\n"
        << "        lv2:symbol " << Literal(port.row.symbol) << " ;\n"
        << "        lv2:name " << Literal(port.name);
    if (IsControl(port.row.kind)) {
        out << " ;\n        lv2:default " << Number(port.default_value) << " ;\n"
            << "        lv2:minimum " << Number(port.minimum) << " ;\n"
            << "        lv2:maximum " << Number(port.maximum) << " ;\n"
            << "        lv2:portProperty " << PortProperties(port.row.kind);
        for (std::size_t i = 0; i < port.entries.size(); ++i) {
            out << (i == 0 ? " ;\n        lv2:scalePoint " : " , ") << "[ rdfs:label "
                << Literal(port.entries[i].label) << " ; rdf:value " << port.entries[i].value << " ]";
        }
    }
    out << "\n    ]";
}

std::string Description(const std::vector<PortDescription>& ports) {
    SEModuleIdentity identity{};
    getModuleProperties(0, &identity);
    std::ostringstream out;
    out << "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
           "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix opts: <http://lv2plug.in/ns/ext/options#> .\n"
           "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
           "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
           "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
           "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
           "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n\n"
        << "<" << PLUGIN_URI << ">\n"
        << "    a lv2:Plugin , lv2:DelayPlugin ;\n"
        << "    doap:name " << Literal(identity.name ? identity.name : "") << " ;\n"
        << "    rdfs:comment " << Literal(identity.about ? identity.about : "") << " ;\n"
        << "    lv2:minorVersion 2 ;\n"
        << "    lv2:microVersion 90 ;\n"
        << "    lv2:optionalFeature lv2:hardRTCapable , work:schedule , opts:options , urid:map ;\n"
        << "    lv2:extensionData work:interface ;\n"
        << "    opts:supportedOption bufsz:maxBlockLength ;\n"
        << "    lv2:port\n";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        WritePort(out, static_cast<std::int32_t>(i), ports[i]);
        out << (i + 1 < ports.size() ? " ,\n" : " .\n");
    }
    return out.str();
}

std::string Manifest(const std::string& binary) {
    std::ostringstream out;
    out << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
        << "<" << PLUGIN_URI << ">\n"
        << "    a lv2:Plugin ;\n"
        << "    lv2:binary <" << binary << "> ;\n"
        << "    rdfs:seeAlso <early_reflection.ttl> .\n";
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
    if (argc != 3) {
        std::fprintf(stderr, "usage: er-lv2-ttl OUT_DIR BINARY\n");
        return 2;
    }
    const auto ports = PortDescriptions();
    if (ports.size() != static_cast<std::size_t>(PORT_COUNT)) {
        std::fprintf(stderr, "er-lv2-ttl: the module's pins are not the ones the port table describes\n");
        return 1;
    }
    const std::string dir = argv[1];
    return Write(dir + "/manifest.ttl", Manifest(argv[2])) && Write(dir + "/early_reflection.ttl", Description(ports))
               ? 0
               : 1;
}
