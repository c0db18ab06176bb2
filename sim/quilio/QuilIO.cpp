// Stand-in for the maker's I/O library: port, PCI configuration, MSR and physical-memory access
// over the simulated board.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "../board/Board.h"

using sim::State;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH && (sim::LibraryFaults() & sim::FaultQuilIo)) return FALSE;
    return TRUE;
}

BOOL __stdcall QUILIO_Open(const char*) {
    sim::BoardLock lock;
    ++State()->quilIoOpenCalls;
    return TRUE;
}

BOOL __stdcall QUILIO_Close() {
    return TRUE;
}

BYTE __stdcall QUILIO_InPortB(WORD port) {
    return sim::SioPortRead(port);
}

void __stdcall QUILIO_OutPortB(WORD port, BYTE value) {
    sim::SioPortWrite(port, value);
}

DWORD __stdcall QUILIO_InPortD(WORD port) {
    if (port == 0xCFC) return sim::PciConfigRead(State()->pciAddress);
    if (port == 0xCF8) return State()->pciAddress;
    return 0xFFFFFFFFu;
}

void __stdcall QUILIO_OutPortD(WORD port, DWORD value) {
    if (port == 0xCF8)
        State()->pciAddress = value;
    else if (port == 0xCFC)
        sim::PciConfigWrite(State()->pciAddress, value);
}

void* __stdcall QUILIO_MapMem(DWORD address, DWORD length) {
    if (uint8_t* p = sim::PhysicalToView(address, length)) return p;
    return sim::PcieWindowView(address, length);
}

// Views point straight into the board's mapping: there is nothing to release.
void __stdcall QUILIO_UnmapMem(void*, DWORD) {}

BOOL __stdcall QUILIO_ReadMSR(DWORD index, void* value) {
    sim::MsrEntry* m = sim::FindMsr(index, false);
    uint64_t v = m ? m->value : 0;
    std::memcpy(value, &v, 8);
    return m != nullptr;
}

BOOL __stdcall QUILIO_WriteMSR(DWORD index, const void* value) {
    uint64_t v;
    std::memcpy(&v, value, 8);
    sim::LogWrite(sim::WriteKind::MsrWrite, index, static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32));
    sim::MsrEntry* m = sim::FindMsr(index, true);
    if (!m) return FALSE;
    m->value = v;
    return TRUE;
}

void* __stdcall MapPhysToLin(DWORD address, DWORD length, HANDLE* handle, void* object) {
    void* p = sim::PhysicalToView(address, length);
    if (handle) *handle = p ? reinterpret_cast<HANDLE>(1) : nullptr;
    if (object) std::memset(object, 0, 8);
    return p;
}

BOOL __stdcall UnmapPhysicalMemory(HANDLE, void*, DWORD, DWORD) {
    return TRUE;
}

}  // extern "C"
