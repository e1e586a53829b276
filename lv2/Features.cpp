#include "Features.h"

#include <cstring>

#include <sys/uio.h>
#include <unistd.h>

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

namespace er_lv2 {

namespace {

// True when `uri` reads as `wanted`. The host's text is copied through the kernel, which answers an unreadable
// address with an error instead of a fault: lv2file ends its list with an entry whose URI is null or whatever
// its stack held, before the terminating null, and a plug-in that looks for a feature lv2file does not give
// (the worker) meets that entry.
bool SameUri(const char* uri, const char* wanted) {
    if (uri == nullptr) return false;
    char copy[128];
    const std::size_t length = std::strlen(wanted) + 1;
    if (length > sizeof copy) return false;
    iovec local{copy, length};
    iovec remote{const_cast<char*>(uri), length};
    const ssize_t read = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    return read == static_cast<ssize_t>(length) && std::memcmp(copy, wanted, length) == 0;
}

}  // namespace

const void* Feature(const LV2_Feature* const* features, const char* uri) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (SameUri((*features)->URI, uri)) return (*features)->data;
    }
    return nullptr;
}

// bufsz:maxBlockLength from the options, when the host gives both options and a URID map; else the default.
std::int32_t MaxBlockLength(const LV2_Feature* const* features) {
    const auto* map = static_cast<const LV2_URID_Map*>(Feature(features, LV2_URID__map));
    const auto* options = static_cast<const LV2_Options_Option*>(Feature(features, LV2_OPTIONS__options));
    if (map == nullptr || options == nullptr) return DEFAULT_MAX_BLOCK;
    const LV2_URID max_length = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID atom_int = map->map(map->handle, LV2_ATOM__Int);
    for (; options->key != 0 || options->value != nullptr; ++options) {
        if (options->key != max_length || options->type != atom_int || options->size != sizeof(std::int32_t) ||
            options->value == nullptr) {
            continue;
        }
        std::int32_t length = 0;
        std::memcpy(&length, options->value, sizeof length);
        return length >= 1 ? length : DEFAULT_MAX_BLOCK;
    }
    return DEFAULT_MAX_BLOCK;
}

}  // namespace er_lv2
