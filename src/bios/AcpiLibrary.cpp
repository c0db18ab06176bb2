#include "AcpiLibrary.h"

#ifndef QUIL_BIOS_TOOL_BUILD

// Imported from QuilAcpi.dll by ordinal (see the import library's .def).
extern "C" {
int __stdcall AcpiInit();
int __stdcall AcpiSetItem(uint32_t, int32_t, int32_t);
int __stdcall AcpiGetItem(uint32_t, int32_t*);
int __stdcall AcpiMbif(void*, DWORD*);
int __stdcall AcpiGGrp(uint32_t, void*, DWORD*);
void* __stdcall AcpiFirstArg(void*);
int __stdcall AcpiGetArgCount(void*);
void* __stdcall AcpiGetArgData(void*);
void* __stdcall AcpiNextArg(void*);
int __stdcall AcpiCallMethod(const void*, void*, DWORD*);
int __stdcall AcpiGetItemEx(uint32_t, int32_t, int32_t*);
int __stdcall AcpiGetItemBuffer(uint32_t, int32_t, void*, DWORD*);
int __stdcall AcpiSetItemBuffer(uint32_t, int32_t, const void*, DWORD*);
}

namespace acpi {
int Init() {
    return AcpiInit();
}
int SetItem(uint32_t id, int32_t first, int32_t second) {
    return AcpiSetItem(id, first, second);
}
int GetItem(uint32_t id, int32_t* value) {
    return AcpiGetItem(id, value);
}
int Mbif(void* buffer, DWORD* size) {
    return AcpiMbif(buffer, size);
}
int GGrp(uint32_t group, void* buffer, DWORD* size) {
    return AcpiGGrp(group, buffer, size);
}
void* FirstArg(void* package) {
    return AcpiFirstArg(package);
}
int GetArgCount(void* package) {
    return AcpiGetArgCount(package);
}
void* GetArgData(void* element) {
    return AcpiGetArgData(element);
}
void* NextArg(void* element) {
    return AcpiNextArg(element);
}
int CallMethod(const void* data, void* buffer, DWORD* size) {
    return AcpiCallMethod(data, buffer, size);
}
int GetItemEx(uint32_t id, int32_t parameter, int32_t* value) {
    return AcpiGetItemEx(id, parameter, value);
}
int GetItemBuffer(uint32_t id, int32_t flag, void* buffer, DWORD* size) {
    return AcpiGetItemBuffer(id, flag, buffer, size);
}
int SetItemBuffer(uint32_t id, int32_t flag, const void* buffer, DWORD* size) {
    return AcpiSetItemBuffer(id, flag, buffer, size);
}
}  // namespace acpi

#else

namespace acpi {
Binding g_binding{};

int Init() {
    return g_binding.Init ? g_binding.Init() : 0;
}
int SetItem(uint32_t id, int32_t first, int32_t second) {
    return g_binding.SetItem ? g_binding.SetItem(id, first, second) : 0;
}
int GetItem(uint32_t id, int32_t* value) {
    return g_binding.GetItem ? g_binding.GetItem(id, value) : 0;
}
int Mbif(void* buffer, DWORD* size) {
    return g_binding.Mbif ? g_binding.Mbif(buffer, size) : 0;
}
int GGrp(uint32_t group, void* buffer, DWORD* size) {
    return g_binding.GGrp ? g_binding.GGrp(group, buffer, size) : 0;
}
void* FirstArg(void* package) {
    return g_binding.FirstArg ? g_binding.FirstArg(package) : nullptr;
}
int GetArgCount(void* package) {
    return g_binding.GetArgCount ? g_binding.GetArgCount(package) : 0;
}
void* GetArgData(void* element) {
    return g_binding.GetArgData ? g_binding.GetArgData(element) : nullptr;
}
void* NextArg(void* element) {
    return g_binding.NextArg ? g_binding.NextArg(element) : nullptr;
}
int CallMethod(const void* data, void* buffer, DWORD* size) {
    return g_binding.CallMethod ? g_binding.CallMethod(data, buffer, size) : 0;
}
}  // namespace acpi

#endif
