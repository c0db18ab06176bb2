// The maker's ACPI library as both programs call it. The fan service imports every entry point
// from QuilAcpi.dll by ordinal; the box tool's loader fills the binding table from
// "quilacpiex.dll" by export name. Callers use the acpi:: functions either way.
#pragma once

#include <windows.h>

#include <cstdint>

namespace acpi {

using InitFn = int(__stdcall*)();
using SetItemFn = int(__stdcall*)(uint32_t id, int32_t first, int32_t second);
using GetItemFn = int(__stdcall*)(uint32_t id, int32_t* value);
using MbifFn = int(__stdcall*)(void* buffer, DWORD* size);
using GGrpFn = int(__stdcall*)(uint32_t group, void* buffer, DWORD* size);
using FirstArgFn = void*(__stdcall*)(void* package);
using GetArgCountFn = int(__stdcall*)(void* package);
using GetArgTypeFn = int(__stdcall*)(void* element);
using GetArgDataFn = void*(__stdcall*)(void* element);
using NextArgFn = void*(__stdcall*)(void* element);
using CallMethodFn = int(__stdcall*)(const void* data, void* buffer, DWORD* size);
using GetItemExFn = int(__stdcall*)(uint32_t id, int32_t parameter, int32_t* value);
using GetItemBufferFn = int(__stdcall*)(uint32_t id, int32_t flag, void* buffer, DWORD* size);
using SetItemBufferFn = int(__stdcall*)(uint32_t id, int32_t flag, const void* buffer, DWORD* size);

// The entry points the tool binds by name; null until its loader has run (or when missing).
struct Binding {
    InitFn Init;
    SetItemFn SetItem;
    GetItemFn GetItem;
    MbifFn Mbif;
    GGrpFn GGrp;
    FirstArgFn FirstArg;
    GetArgCountFn GetArgCount;
    GetArgTypeFn GetArgType;
    GetArgDataFn GetArgData;
    NextArgFn NextArg;
    CallMethodFn CallMethod;
    // Bound with the others by the tool's loader; the tool never calls them.
    GetItemExFn GetItemEx;
    GetItemBufferFn GetItemBuffer;
    SetItemBufferFn SetItemBuffer;
};

#ifdef QUIL_BIOS_TOOL_BUILD
extern Binding g_binding;
#endif

// Each returns what the library returns; in the tool build a missing entry point answers 0 / null.
int Init();
int SetItem(uint32_t id, int32_t first, int32_t second);
int GetItem(uint32_t id, int32_t* value);
int Mbif(void* buffer, DWORD* size);
int GGrp(uint32_t group, void* buffer, DWORD* size);
void* FirstArg(void* package);
int GetArgCount(void* package);
void* GetArgData(void* element);
void* NextArg(void* element);
int CallMethod(const void* data, void* buffer, DWORD* size);
#ifndef QUIL_BIOS_TOOL_BUILD
// The service alone exchanges parameters and buffers with ACPI devices.
int GetItemEx(uint32_t id, int32_t parameter, int32_t* value);
int GetItemBuffer(uint32_t id, int32_t flag, void* buffer, DWORD* size);
int SetItemBuffer(uint32_t id, int32_t flag, const void* buffer, DWORD* size);
#endif

}  // namespace acpi
