// The plug-in's face: LV2's descriptor and the worker interface, forwarding to the Adapter. Nothing here may
// throw: every entry is noexcept and the Adapter allocates with nothrow.
#include <lv2/core/lv2.h>
#include <lv2/worker/worker.h>

#include <cstring>

#include "Adapter.h"
#include "RoomAdapter.h"

namespace {

using er_lv2::Adapter;

Adapter* Of(LV2_Handle instance) { return static_cast<Adapter*>(instance); }

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features) noexcept {
    for (const er_lv2::Variant& variant : er_lv2::VARIANTS) {
        if (descriptor != nullptr && std::strcmp(descriptor->URI, variant.uri) == 0) {
            return Adapter::Create(variant, rate, features);
        }
    }
    return nullptr;
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) noexcept { Of(instance)->ConnectPort(port, data); }
void Activate(LV2_Handle instance) noexcept { Of(instance)->Activate(); }
void Run(LV2_Handle instance, uint32_t frames) noexcept { Of(instance)->Run(frames); }
void Deactivate(LV2_Handle instance) noexcept { Of(instance)->Deactivate(); }
void Cleanup(LV2_Handle instance) noexcept { delete Of(instance); }

LV2_Worker_Status Work(LV2_Handle instance, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle, uint32_t size,
                       const void* data) noexcept {
    return Of(instance)->Work(size, data);
}

// The worker hands the module back through the adapter's own flag; there is no response to deliver.
LV2_Worker_Status WorkResponse(LV2_Handle, uint32_t, const void*) noexcept { return LV2_WORKER_SUCCESS; }

const LV2_Worker_Interface WORKER = {&Work, &WorkResponse, nullptr};

const void* ExtensionData(const char* uri) noexcept {
    return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &WORKER : nullptr;
}

// The room plug-in: the same entries on its own adapter.
using er_lv2::RoomAdapter;

RoomAdapter* Room(LV2_Handle instance) { return static_cast<RoomAdapter*>(instance); }

LV2_Handle InstantiateRoom(const LV2_Descriptor*, double rate, const char*, const LV2_Feature* const* features) noexcept {
    return RoomAdapter::Create(rate, features);
}
void ConnectRoomPort(LV2_Handle instance, uint32_t port, void* data) noexcept { Room(instance)->ConnectPort(port, data); }
void ActivateRoom(LV2_Handle instance) noexcept { Room(instance)->Activate(); }
void RunRoom(LV2_Handle instance, uint32_t frames) noexcept { Room(instance)->Run(frames); }
void DeactivateRoom(LV2_Handle instance) noexcept { Room(instance)->Deactivate(); }
void CleanupRoom(LV2_Handle instance) noexcept { delete Room(instance); }
LV2_Worker_Status WorkRoom(LV2_Handle instance, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle, uint32_t size,
                           const void* data) noexcept {
    return Room(instance)->Work(size, data);
}
const LV2_Worker_Interface ROOM_WORKER = {&WorkRoom, &WorkResponse, nullptr};
const void* RoomExtensionData(const char* uri) noexcept {
    return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &ROOM_WORKER : nullptr;
}

// One descriptor per variant, in the order of VARIANTS, then the room's.
const LV2_Descriptor DESCRIPTORS[er_lv2::VARIANT_COUNT + 1] = {
    {er_lv2::VARIANTS[0].uri, &Instantiate, &ConnectPort, &Activate, &Run, &Deactivate, &Cleanup, &ExtensionData},
    {er_lv2::VARIANTS[1].uri, &Instantiate, &ConnectPort, &Activate, &Run, &Deactivate, &Cleanup, &ExtensionData},
    {er_lv2::ROOM_URI, &InstantiateRoom, &ConnectRoomPort, &ActivateRoom, &RunRoom, &DeactivateRoom, &CleanupRoom,
     &RoomExtensionData},
};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < static_cast<uint32_t>(er_lv2::VARIANT_COUNT + 1) ? &DESCRIPTORS[index] : nullptr;
}
