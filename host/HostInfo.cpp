// er-host-info: loads a module library as the host does and prints its identity and its pins.
// Usage: er-host-info [library]   (default: early_reflection beside this program)
#include <cstdio>
#include <string>

#include "Host.h"

namespace {

const char* DirectionName(std::int32_t direction) {
    switch (direction) {
    case DR_IN: return "in";
    case DR_OUT: return "out";
    case DR_SETTING: return "setting";
    default: return "?";
    }
}

const char* DatatypeName(std::int32_t datatype) {
    switch (datatype) {
    case DT_LIST: return "choice";
    case DT_FSAMPLE: return "float";
    default: return "other";
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : er_host::Library::DefaultModulePath();
    std::string error;
    std::unique_ptr<er_host::Library> library = er_host::Library::Load(path, error);
    if (!library) {
        std::fprintf(stderr, "er-host-info: %s\n", error.c_str());
        return 1;
    }

    SEModuleIdentity identity{};
    if (library->GetModuleProperties(0, &identity) != 1) {
        std::fprintf(stderr, "er-host-info: getModuleProperties(0) did not answer 1\n");
        return 1;
    }
    auto text = [](const char* s) { return s ? s : "(none)"; };
    std::printf("library:   %s\n", path.c_str());
    std::printf("unique id: %s\n", text(identity.unique_id));
    std::printf("name:      %s\n", text(identity.name));
    std::printf("flags:     %d (0x%X)\n", static_cast<int>(identity.flags), static_cast<unsigned>(identity.flags));
    std::printf("about:\n");
    std::string about = text(identity.about);
    for (std::size_t begin = 0; begin <= about.size();) {
        std::size_t end = about.find('\n', begin);
        if (end == std::string::npos) end = about.size();
        std::printf("  | %s\n", about.substr(begin, end - begin).c_str());
        begin = end + 1;
    }

    er_host::Instance instance(*library);
    if (!instance.Valid()) {
        std::fprintf(stderr, "er-host-info: makeModule(0, 1) gave no processing object\n");
        return 1;
    }
    std::printf("pins (%zu):\n", instance.Pins().size());
    for (const er_host::PinDescription& pin : instance.Pins()) {
        std::printf("  %2d  %-34s %-7s %-6s default %-8s %s\n", static_cast<int>(pin.index), pin.name.c_str(),
                    DirectionName(pin.direction), DatatypeName(pin.datatype),
                    pin.has_default ? ("\"" + pin.default_value + "\"").c_str() : "-",
                    pin.has_extra ? ("[" + pin.extra_text + "]").c_str() : "");
    }

    // One block with whatever routine the module has installed, to show the object runs.
    instance.Process(instance.Options().block_size);
    std::printf("ran %d samples in %lld process call(s); %zu host call(s)\n",
                static_cast<int>(instance.Options().block_size), static_cast<long long>(instance.ProcessCalls()),
                instance.Calls().size());
    instance.Close();
    return instance.Errors().empty() ? 0 : 1;
}
