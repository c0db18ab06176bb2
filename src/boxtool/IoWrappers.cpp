#include "IoWrappers.h"

#include <cpuid.h>
#include <mmsystem.h>
#include <x86intrin.h>

#include <mutex>
#include <string>

#include "system/Handles.h"

namespace {

void CpuidInstruction(uint32_t leaf, uint32_t subLeaf, uint32_t regs[4]) {
    __cpuid_count(leaf, subLeaf, regs[0], regs[1], regs[2], regs[3]);
}

uint64_t TscInstruction() {
    return __rdtsc();
}

DWORD SystemTime() {
    return ::timeGetTime();
}

void SystemSleep(DWORD ms) {
    ::Sleep(ms);
}

DWORD_PTR SystemAffinity(HANDLE thread, DWORD_PTR mask) {
    return ::SetThreadAffinityMask(thread, mask);
}

DWORD SystemProcessorCount() {
    SYSTEM_INFO info{};
    ::GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

HANDLE SystemThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, DWORD* id) {
    return ::CreateThread(nullptr, 0, start, parameter, flags, id);
}

using OpenFn = BOOL(__stdcall*)(const char* path);
using MsrFn = BOOL(__stdcall*)(DWORD index, void* value);
using OutPortDFn = void(__stdcall*)(WORD port, DWORD value);
using InPortDFn = DWORD(__stdcall*)(WORD port);
using MapPhysToLinFn = void*(__stdcall*)(DWORD address, DWORD length, HANDLE* handle, void* object);
using UnmapPhysicalMemoryFn = BOOL(__stdcall*)(HANDLE handle, void* view, DWORD low, DWORD high);
using MapMemFn = void*(__stdcall*)(DWORD address, DWORD length);
using UnmapMemFn = void(__stdcall*)(void* view, DWORD length);

// The library stays loaded for the life of the process; it is never closed.
struct IoBinding {
    tolo::Module module;
    OpenFn open = nullptr;
    MsrFn readMsr = nullptr;
    MsrFn writeMsr = nullptr;
    OutPortDFn outPortD = nullptr;
    InPortDFn inPortD = nullptr;
    MapPhysToLinFn mapPhysToLin = nullptr;
    UnmapPhysicalMemoryFn unmapPhysicalMemory = nullptr;
    MapMemFn mapMem = nullptr;
    UnmapMemFn unmapMem = nullptr;
};

IoBinding& Io() {
    static IoBinding* binding = new IoBinding;  // outlives every thread that still calls it
    return *binding;
}

std::mutex g_loadLock;

}  // namespace

CpuSources SystemCpuSources() {
    return {&CpuidInstruction, &TscInstruction,       &SystemTime,  &SystemSleep,
            &SystemAffinity,   &SystemProcessorCount, &SystemThread};
}

CpuSources g_cpuSources = SystemCpuSources();

void LoadIoLibrary() {
    std::lock_guard<std::mutex> lock(g_loadLock);
    IoBinding& io = Io();
    if (io.module) return;
    wchar_t dir[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    std::wstring path = std::wstring(dir) + L"\\QuilIO.dll";
    tolo::Module module(LoadLibraryW(path.c_str()));
    if (!module) return;
    io.open = module.Proc<OpenFn>("QUILIO_Open");
    io.readMsr = module.Proc<MsrFn>("QUILIO_ReadMSR");
    io.writeMsr = module.Proc<MsrFn>("QUILIO_WriteMSR");
    io.outPortD = module.Proc<OutPortDFn>("QUILIO_OutPortD");
    io.inPortD = module.Proc<InPortDFn>("QUILIO_InPortD");
    io.mapPhysToLin = module.Proc<MapPhysToLinFn>("MapPhysToLin");
    io.unmapPhysicalMemory = module.Proc<UnmapPhysicalMemoryFn>("UnmapPhysicalMemory");
    io.mapMem = module.Proc<MapMemFn>("QUILIO_MapMem");
    io.unmapMem = module.Proc<UnmapMemFn>("QUILIO_UnmapMem");
    io.module = std::move(module);
    if (io.open) io.open(nullptr);
}

bool IoLibraryLoaded() {
    std::lock_guard<std::mutex> lock(g_loadLock);
    return static_cast<bool>(Io().module);
}

int Io_Cpuid(uint32_t leaf, uint32_t regs[4], uint32_t subLeaf) {
    if (!regs) return 0;
    g_cpuSources.cpuid(leaf, subLeaf, regs);
    return 1;
}

void Io_ReadTsc(uint32_t* low, uint32_t* high) {
    uint64_t t = g_cpuSources.readTsc();
    *low = static_cast<uint32_t>(t);
    *high = static_cast<uint32_t>(t >> 32);
}

int Io_ReadMsr(uint32_t index, void* value) {
    return Io().readMsr ? Io().readMsr(index, value) : 0;
}

int Io_WriteMsr(uint32_t index, const void* value) {
    return Io().writeMsr ? Io().writeMsr(index, const_cast<void*>(value)) : 0;
}

void Io_OutPortD(uint16_t port, uint32_t value) {
    if (Io().outPortD) Io().outPortD(port, value);
}

uint32_t Io_InPortD(uint16_t port) {
    return Io().inPortD ? Io().inPortD(port) : 0;
}

void* Io_MapMem(uint32_t address, uint32_t length) {
    return Io().mapMem ? Io().mapMem(address, length) : nullptr;
}

void Io_UnmapMem(void* view, uint32_t length) {
    if (Io().unmapMem) Io().unmapMem(view, length);
}

void* Io_MapPhysToLin(uint32_t address, uint32_t length, HANDLE* handle, void* object) {
    return Io().mapPhysToLin ? Io().mapPhysToLin(address, length, handle, object) : nullptr;
}

void Io_UnmapPhysicalMemory(HANDLE handle, void* view, uint32_t objectLow, uint32_t objectHigh) {
    if (Io().unmapPhysicalMemory) Io().unmapPhysicalMemory(handle, view, objectLow, objectHigh);
}

uint64_t ReadTsc() {
    uint32_t low = 0, high = 0;
    Io_ReadTsc(&low, &high);
    return uint64_t(high) << 32 | low;
}

uint64_t ReadMsr(uint32_t index) {
    // The library's result says nothing reliable; an unread value stays 0.
    uint64_t value = 0;
    Io_ReadMsr(index, &value);
    return value;
}

void ClearMsr(uint32_t index) {
    const uint64_t zero = 0;
    Io_WriteMsr(index, &zero);
}

uint32_t ReadPciConfig(uint32_t bus, uint32_t device, uint32_t function, uint32_t reg) {
    const uint32_t address =
        0x80000000u | (bus & 0x7F) << 16 | (device & 0x1F) << 11 | (function & 7) << 8 | (reg & 0x3F) << 2;
    Io_OutPortD(0xCF8, address);
    return Io_InPortD(0xCFC);
}
