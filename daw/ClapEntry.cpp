// The CLAP entry the plug-ins export: DPF's own (compiled as dpf_clap_entry), with one repair. A CLAP host may
// hand a saved state back in pieces (clap_istream_t::read returns what it has), and DPF 1.6 reads a state right
// only in reads of the size it asks for: a shorter read that ends inside a field can end the field early, and the
// state then restores wrong values or none. This entry gathers the whole state first and lets DPF read it from
// memory. Everything else is DPF's, untouched.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "clap/entry.h"
#include "clap/ext/state.h"
#include "clap/plugin-factory.h"

extern "C" const clap_plugin_entry_t dpf_clap_entry;

namespace {

using GetExtension = const void*(CLAP_ABI*)(const clap_plugin_t*, const char*);

// DPF's: one factory and one kind of plug-in record per binary, so one of each for the process.
const clap_plugin_factory_t* g_dpf_factory = nullptr;
GetExtension g_dpf_get_extension = nullptr;
const clap_plugin_state_t* g_dpf_state = nullptr;

// A state held in memory, read back in reads as long as asked for.
struct MemoryStream {
    const std::vector<std::uint8_t>& bytes;
    std::size_t at = 0;
    clap_istream_t stream{this, &Read};
    static int64_t CLAP_ABI Read(const clap_istream_t* stream, void* buffer, uint64_t size) noexcept {
        auto* self = static_cast<MemoryStream*>(stream->ctx);
        const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(size, self->bytes.size() - self->at));
        if (count > 0) std::memcpy(buffer, self->bytes.data() + self->at, count);
        self->at += count;
        return static_cast<int64_t>(count);
    }
};

bool CLAP_ABI SaveState(const clap_plugin_t* plugin, const clap_ostream_t* stream) noexcept {
    return g_dpf_state->save(plugin, stream);
}

// Main thread, like every state call: gathering the state may allocate.
bool CLAP_ABI LoadState(const clap_plugin_t* plugin, const clap_istream_t* stream) noexcept {
    try {
        std::vector<std::uint8_t> bytes;
        std::uint8_t piece[4096];
        for (;;) {
            const int64_t count = stream->read(stream, piece, sizeof piece);
            if (count < 0) return false;
            if (count == 0) break;
            bytes.insert(bytes.end(), piece, piece + count);
        }
        MemoryStream whole{bytes};
        return g_dpf_state->load(plugin, &whole.stream);
    } catch (...) {
        return false;
    }
}

constexpr clap_plugin_state_t STATE = {&SaveState, &LoadState};

const void* CLAP_ABI PluginExtension(const clap_plugin_t* plugin, const char* id) noexcept {
    const void* extension = g_dpf_get_extension(plugin, id);
    if (extension == nullptr || std::strcmp(id, CLAP_EXT_STATE) != 0) return extension;
    g_dpf_state = static_cast<const clap_plugin_state_t*>(extension);
    return &STATE;
}

uint32_t CLAP_ABI PluginCount(const clap_plugin_factory_t*) noexcept { return g_dpf_factory->get_plugin_count(g_dpf_factory); }

const clap_plugin_descriptor_t* CLAP_ABI PluginDescriptor(const clap_plugin_factory_t*, uint32_t index) noexcept {
    return g_dpf_factory->get_plugin_descriptor(g_dpf_factory, index);
}

// DPF allocates each plug-in record itself (writable memory): its extension entry is replaced by the one above.
const clap_plugin_t* CLAP_ABI CreatePlugin(const clap_plugin_factory_t*, const clap_host_t* host,
                                           const char* id) noexcept {
    const clap_plugin_t* plugin = g_dpf_factory->create_plugin(g_dpf_factory, host, id);
    if (plugin == nullptr) return nullptr;
    g_dpf_get_extension = plugin->get_extension;
    const_cast<clap_plugin_t*>(plugin)->get_extension = &PluginExtension;
    return plugin;
}

constexpr clap_plugin_factory_t FACTORY = {&PluginCount, &PluginDescriptor, &CreatePlugin};

bool CLAP_ABI Init(const char* path) noexcept { return dpf_clap_entry.init(path); }
void CLAP_ABI Deinit() noexcept { dpf_clap_entry.deinit(); }

const void* CLAP_ABI Factory(const char* id) noexcept {
    const void* factory = dpf_clap_entry.get_factory(id);
    if (factory == nullptr || std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) != 0) return factory;
    g_dpf_factory = static_cast<const clap_plugin_factory_t*>(factory);
    return &FACTORY;
}

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {CLAP_VERSION, &Init, &Deinit, &Factory};
