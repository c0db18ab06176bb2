// SMBIOS reader: the structure table, reached through the firmware-table API or by scanning the
// physical memory below 1 MiB, and a walk over its structures.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

namespace tolo {

using DmiMapFn = void* (*)(uint32_t physical, uint32_t length);
using DmiUnmapFn = void (*)(void* view);

class DmiHelp {
public:
    DmiHelp(DmiMapFn map, DmiUnmapFn unmap) : m_map(map), m_unmap(unmap) {}
    virtual ~DmiHelp() = default;
    DmiHelp(const DmiHelp&) = delete;
    DmiHelp& operator=(const DmiHelp&) = delete;

    bool Open();
    bool IsEnd() const;
    void Next();
    uint8_t GetType() const { return m_current[0]; }
    const uint8_t* GetHeader() const { return m_current; }
    // The n-th string (from 1) of the current structure; empty for n <= 0 or past its last string.
    std::string GetString(int n) const;

protected:
    // The first structure and the length of the structure data, or null.
    virtual const uint8_t* GetTable(uint32_t* length) = 0;
    virtual void Release() {}

    DmiMapFn m_map;
    DmiUnmapFn m_unmap;
    const uint8_t* m_start = nullptr;
    const uint8_t* m_current = nullptr;
    uint32_t m_length = 0;
};

// The table as GetSystemFirmwareTable('RSMB') builds it.
class DmiHelpByAPI : public DmiHelp {
public:
    using DmiHelp::DmiHelp;
    ~DmiHelpByAPI() override { Release(); }

protected:
    const uint8_t* GetTable(uint32_t* length) override;
    void Release() override;

private:
    std::unique_ptr<uint8_t[]> m_buffer;
};

// The entry point found in the 0xF0000 window, the table mapped where it points.
class DmiHelpByScanMem : public DmiHelp {
public:
    using DmiHelp::DmiHelp;
    ~DmiHelpByScanMem() override { Release(); }

protected:
    const uint8_t* GetTable(uint32_t* length) override;
    void Release() override;

private:
    void* m_anchorWindow = nullptr;
    void* m_tableWindow = nullptr;
};

using GetSystemFirmwareTableFn = UINT(WINAPI*)(DWORD provider, DWORD id, void* buffer, DWORD size);
// Kernel32's GetSystemFirmwareTable, resolved once when the process starts; null where the system
// has none. Tests may clear it to take the memory path.
extern GetSystemFirmwareTableFn g_pGetSystemFirmwareTable;
GetSystemFirmwareTableFn ResolveGetSystemFirmwareTable();

}  // namespace tolo

// Owns the reader that suits the system: the firmware-table API when present, else the scan.
class DmiHelpHolder {
public:
    DmiHelpHolder(tolo::DmiMapFn map, tolo::DmiUnmapFn unmap);
    tolo::DmiHelp* operator->() const { return m_help.get(); }
    tolo::DmiHelp& Get() const { return *m_help; }

private:
    std::unique_ptr<tolo::DmiHelp> m_help;
};
