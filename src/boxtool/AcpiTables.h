// Firmware ACPI tables: through the system when it offers GetSystemFirmwareTable, else by walking
// the RSDP and RSDT in physical memory through the I/O library.
#pragma once

#include <windows.h>

#include <cstdint>

// A table's four letters as a little-endian number, first letter in the low byte.
constexpr uint32_t AcpiSignature(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

// Copies the table with the signature into buffer (at most size bytes). 0 only when kernel32
// cannot be loaded; a missing table still answers 1 and leaves the buffer as it was.
int GetAcpiTable(uint32_t signature, void* buffer, uint32_t size);
// Physical address of the first table the RSDT lists with the signature, 0 when there is none.
uint32_t FindAcpiTableAddress(uint32_t signature);
// Base of the PCI Express configuration space from the MCFG table; 0 until it is found.
uint32_t GetPciExpressBase();

// How GetAcpiTable reaches the system's firmware-table function: false when kernel32 cannot be
// loaded; *function null when the system has none. Tests replace it to take the memory walk.
using FirmwareTableFunction = UINT(WINAPI*)(DWORD provider, DWORD id, PVOID buffer, DWORD size);
extern bool (*g_firmwareTableLookup)(FirmwareTableFunction* function);
