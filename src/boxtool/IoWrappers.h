// The tool's binding of the maker's I/O library (QuilIO.dll) and the machine operations the CPU
// clock monitor is built on. A missing library is tolerated: reads answer 0, writes do nothing.
#pragma once

#include <windows.h>

#include <cstdint>

// Where the monitor's view of the processor comes from. Production uses the instructions and the
// system calls; a test puts its own in place (before the first reader is created) so that every
// reader runs here whatever the real processor is.
struct CpuSources {
    // CPUID with EAX = leaf and ECX = subLeaf; regs receives EAX, EBX, ECX, EDX.
    void (*cpuid)(uint32_t leaf, uint32_t subLeaf, uint32_t regs[4]);
    uint64_t (*readTsc)();
    DWORD (*timeGetTime)();
    void (*sleep)(DWORD ms);
    DWORD_PTR (*setThreadAffinityMask)(HANDLE thread, DWORD_PTR mask);
    DWORD (*processorCount)();  // GetSystemInfo's dwNumberOfProcessors
    // CreateThread with default security and stack size: the measuring thread's start.
    HANDLE (*createThread)(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, DWORD* id);
};
extern CpuSources g_cpuSources;
// The production sources, for a test that replaces only some of them.
CpuSources SystemCpuSources();

// Loads "<system directory>\QuilIO.dll" by wide name and resolves its entry points, unless it is
// loaded already. A failed load is tried again on the next call.
void LoadIoLibrary();
bool IoLibraryLoaded();

// Wrappers of the library's entry points; each answers 0 (or does nothing) while the entry point
// is missing.
int Io_Cpuid(uint32_t leaf, uint32_t regs[4], uint32_t subLeaf);  // 0 with a null regs
void Io_ReadTsc(uint32_t* low, uint32_t* high);
int Io_ReadMsr(uint32_t index, void* value);  // value: 8 bytes, low dword first
int Io_WriteMsr(uint32_t index, const void* value);
void Io_OutPortD(uint16_t port, uint32_t value);
uint32_t Io_InPortD(uint16_t port);
void* Io_MapMem(uint32_t address, uint32_t length);
void Io_UnmapMem(void* view, uint32_t length);
void* Io_MapPhysToLin(uint32_t address, uint32_t length, HANDLE* handle, void* object);
void Io_UnmapPhysicalMemory(HANDLE handle, void* view, uint32_t objectLow, uint32_t objectHigh);

// Typed operations over the wrappers.
uint64_t ReadTsc();
uint64_t ReadMsr(uint32_t index);  // 0 when the read fails
void ClearMsr(uint32_t index);
// A configuration dword through ports 0xCF8/0xCFC; reg is a dword index (0x35 reads offset 0xD4).
uint32_t ReadPciConfig(uint32_t bus, uint32_t device, uint32_t function, uint32_t reg);
