// The tool's one way to the HID class: device enumeration (SetupAPI), opening a device
// (CreateFileW) and the library that carries the HID functions, loaded by name at run time.
// Production binds the system's functions; a host without a real box (the tests) puts a simulated
// one behind the same table before the transport is created.
#pragma once

#include <windows.h>
// SetupAPI needs the base types first.
#include <setupapi.h>

// mingw's HID headers have no C linkage of their own.
extern "C" {
#include <hidsdi.h>
}

struct HidBinding {
    HDEVINFO(WINAPI* GetClassDevsW)(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* EnumDeviceInfo)(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* EnumDeviceInterfaces)
    (HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* classGuid, DWORD index, PSP_DEVICE_INTERFACE_DATA data);
    BOOL(WINAPI* GetDeviceInterfaceDetailW)
    (HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
     PDWORD required, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* DestroyDeviceInfoList)(HDEVINFO set);
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
     HANDLE templateFile);
    HMODULE(WINAPI* LoadLibraryA)(LPCSTR name);
    FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR name);
};

// The system's functions until a host replaces them.
extern HidBinding g_hidBinding;

// Loads "hid.dll" on the first call and resolves its nine functions by name on every call. True
// when all nine were found; with any of them missing there is no box to talk to.
bool LoadHidLibrary();
bool HidLibraryBound();

// Forwarders through the resolved table. A function that was not found answers failure (and
// Hid_GetHidGuid a null GUID), so a missing library never crashes the tool.
void Hid_GetHidGuid(GUID* guid);
BOOLEAN Hid_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
BOOLEAN Hid_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
BOOLEAN Hid_FreePreparsedData(PHIDP_PREPARSED_DATA data);
NTSTATUS Hid_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);
BOOLEAN Hid_SetNumInputBuffers(HANDLE device, ULONG count);
BOOLEAN Hid_GetFeature(HANDLE device, PVOID report, ULONG length);
BOOLEAN Hid_SetFeature(HANDLE device, PVOID report, ULONG length);
BOOLEAN Hid_FlushQueue(HANDLE device);
