#include "HidBinding.h"

HidBinding g_hidBinding = {
    &::SetupDiGetClassDevsW,
    &::SetupDiEnumDeviceInfo,
    &::SetupDiEnumDeviceInterfaces,
    &::SetupDiGetDeviceInterfaceDetailW,
    &::SetupDiDestroyDeviceInfoList,
    &::CreateFileW,
    &::LoadLibraryA,
    &::GetProcAddress,
};

namespace {

using GetHidGuidFn = void(NTAPI*)(LPGUID);
using GetAttributesFn = BOOLEAN(NTAPI*)(HANDLE, PHIDD_ATTRIBUTES);
using GetPreparsedDataFn = BOOLEAN(NTAPI*)(HANDLE, PHIDP_PREPARSED_DATA*);
using FreePreparsedDataFn = BOOLEAN(NTAPI*)(PHIDP_PREPARSED_DATA);
using GetCapsFn = NTSTATUS(NTAPI*)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);
using SetNumInputBuffersFn = BOOLEAN(NTAPI*)(HANDLE, ULONG);
using FeatureFn = BOOLEAN(NTAPI*)(HANDLE, PVOID, ULONG);
using FlushQueueFn = BOOLEAN(NTAPI*)(HANDLE);

struct HidFunctions {
    GetHidGuidFn getHidGuid;
    GetAttributesFn getAttributes;
    GetPreparsedDataFn getPreparsedData;
    FreePreparsedDataFn freePreparsedData;
    GetCapsFn getCaps;
    SetNumInputBuffersFn setNumInputBuffers;
    FeatureFn getFeature;
    FeatureFn setFeature;
    FlushQueueFn flushQueue;
};

HidFunctions g_hid;
int g_loadCount = 0;
// Loaded once and kept for the life of the process, as every exchange needs it.
HMODULE g_hidModule = nullptr;

template <typename Fn>
void Resolve(Fn* fn, const char* name) {
    *fn = g_hidModule
              ? reinterpret_cast<Fn>(reinterpret_cast<void*>(g_hidBinding.GetProcAddress(g_hidModule, name)))
              : nullptr;
}

}  // namespace

bool LoadHidLibrary() {
    if (g_loadCount++ == 0) g_hidModule = g_hidBinding.LoadLibraryA("hid.dll");
    Resolve(&g_hid.getHidGuid, "HidD_GetHidGuid");
    Resolve(&g_hid.getAttributes, "HidD_GetAttributes");
    Resolve(&g_hid.getPreparsedData, "HidD_GetPreparsedData");
    Resolve(&g_hid.freePreparsedData, "HidD_FreePreparsedData");
    Resolve(&g_hid.getCaps, "HidP_GetCaps");
    Resolve(&g_hid.setNumInputBuffers, "HidD_SetNumInputBuffers");
    Resolve(&g_hid.getFeature, "HidD_GetFeature");
    Resolve(&g_hid.setFeature, "HidD_SetFeature");
    Resolve(&g_hid.flushQueue, "HidD_FlushQueue");
    return HidLibraryBound();
}

bool HidLibraryBound() {
    return g_hid.getHidGuid && g_hid.getAttributes && g_hid.getPreparsedData && g_hid.freePreparsedData &&
           g_hid.getCaps && g_hid.setNumInputBuffers && g_hid.getFeature && g_hid.setFeature &&
           g_hid.flushQueue;
}

void Hid_GetHidGuid(GUID* guid) {
    if (g_hid.getHidGuid)
        g_hid.getHidGuid(guid);
    else
        *guid = GUID{};
}

BOOLEAN Hid_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
    return g_hid.getAttributes ? g_hid.getAttributes(device, attributes) : FALSE;
}

BOOLEAN Hid_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
    return g_hid.getPreparsedData ? g_hid.getPreparsedData(device, data) : FALSE;
}

BOOLEAN Hid_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    return g_hid.freePreparsedData ? g_hid.freePreparsedData(data) : FALSE;
}

NTSTATUS Hid_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    return g_hid.getCaps ? g_hid.getCaps(data, caps) : HIDP_STATUS_INVALID_PREPARSED_DATA;
}

BOOLEAN Hid_SetNumInputBuffers(HANDLE device, ULONG count) {
    return g_hid.setNumInputBuffers ? g_hid.setNumInputBuffers(device, count) : FALSE;
}

BOOLEAN Hid_GetFeature(HANDLE device, PVOID report, ULONG length) {
    return g_hid.getFeature ? g_hid.getFeature(device, report, length) : FALSE;
}

BOOLEAN Hid_SetFeature(HANDLE device, PVOID report, ULONG length) {
    return g_hid.setFeature ? g_hid.setFeature(device, report, length) : FALSE;
}

BOOLEAN Hid_FlushQueue(HANDLE device) {
    return g_hid.flushQueue ? g_hid.flushQueue(device) : FALSE;
}
