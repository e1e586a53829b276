#include "PluginHost.h"

namespace er_daw_host {

std::unique_ptr<Binary> LoadClap(const std::string& path, std::string& error);
std::unique_ptr<Binary> LoadVst3(const std::string& path, std::string& error);

const char* FormatName(Format format) { return format == Format::Clap ? "CLAP" : "VST3"; }

const Parameter* Instance::Find(const std::string& key) const {
    for (const Parameter& parameter : Parameters()) {
        if (parameter.symbol == key || parameter.name == key) return &parameter;
    }
    return nullptr;
}

std::unique_ptr<Binary> Binary::Load(Format format, const std::string& path, std::string& error) {
    return format == Format::Clap ? LoadClap(path, error) : LoadVst3(path, error);
}

}  // namespace er_daw_host
