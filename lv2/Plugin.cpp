// The plug-ins' face: LV2's descriptors and the worker interface, forwarding to an Adapter (the delays) or a
// RoomAdapter (the room). Nothing here may throw: every entry is noexcept and the adapters allocate with nothrow.
#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>

#include <cstring>

#include "Adapter.h"
#include "RoomAdapter.h"

namespace {

using er_lv2::Adapter;
using er_lv2::RoomAdapter;

// The worker hands the modules back through the adapters' own flags; there is no response to deliver.
LV2_Worker_Status WorkResponse(LV2_Handle, uint32_t, const void*) noexcept { return LV2_WORKER_SUCCESS; }

// The entries every plug-in of the bundle has, on its adapter T.
template <class T>
struct Entries {
    static T* Of(LV2_Handle instance) { return static_cast<T*>(instance); }
    static void ConnectPort(LV2_Handle instance, uint32_t port, void* data) noexcept {
        Of(instance)->ConnectPort(port, data);
    }
    static void Activate(LV2_Handle instance) noexcept { Of(instance)->Activate(); }
    static void Run(LV2_Handle instance, uint32_t frames) noexcept { Of(instance)->Run(frames); }
    static void Deactivate(LV2_Handle instance) noexcept { Of(instance)->Deactivate(); }
    static void Cleanup(LV2_Handle instance) noexcept { delete Of(instance); }
    static LV2_Worker_Status Work(LV2_Handle instance, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle,
                                  uint32_t size, const void* data) noexcept {
        return Of(instance)->Work(size, data);
    }
    static constexpr LV2_Worker_Interface WORKER = {&Work, &WorkResponse, nullptr};
    static const void* ExtensionData(const char* uri) noexcept {
        return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &WORKER : nullptr;
    }
    static constexpr LV2_Descriptor Descriptor(const char* uri, decltype(LV2_Descriptor::instantiate) instantiate) {
        return {uri, instantiate, &ConnectPort, &Activate, &Run, &Deactivate, &Cleanup, &ExtensionData};
    }
};

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features) noexcept {
    for (const er_lv2::Variant& variant : er_lv2::VARIANTS) {
        if (descriptor != nullptr && std::strcmp(descriptor->URI, variant.uri) == 0) {
            return Adapter::Create(variant, rate, features);
        }
    }
    return nullptr;
}

LV2_Handle InstantiateRoom(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) noexcept {
    return RoomAdapter::Create(rate, features);
}

// One descriptor per variant, in the order of VARIANTS, then the room's.
const LV2_Descriptor DESCRIPTORS[er_lv2::VARIANT_COUNT + 1] = {
    Entries<Adapter>::Descriptor(er_lv2::VARIANTS[0].uri, &Instantiate),
    Entries<Adapter>::Descriptor(er_lv2::VARIANTS[1].uri, &Instantiate),
    Entries<RoomAdapter>::Descriptor(er_lv2::ROOM_URI, &InstantiateRoom),
};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < static_cast<uint32_t>(er_lv2::VARIANT_COUNT + 1) ? &DESCRIPTORS[index] : nullptr;
}
