#include "DmiHelp.h"

#include <cstring>

#include "MessageBox.h"

namespace tolo {

GetSystemFirmwareTableFn ResolveGetSystemFirmwareTable() {
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    return kernel ? reinterpret_cast<GetSystemFirmwareTableFn>(
                        reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemFirmwareTable")))
                  : nullptr;
}

GetSystemFirmwareTableFn g_pGetSystemFirmwareTable = ResolveGetSystemFirmwareTable();

namespace {
constexpr DWORD kRsmb = 0x52534D42;  // 'RSMB'
constexpr uint32_t kScanBase = 0xF0000, kScanLength = 0xFFFE;
}  // namespace

bool DmiHelp::Open() {
    m_start = GetTable(&m_length);
    if (!m_start) {
        Release();
        return false;
    }
    m_current = m_start;
    return true;
}

bool DmiHelp::IsEnd() const {
    // A formatted area must fit before its type and length can be trusted.
    if (!m_current || m_current + 2 > m_start + m_length) return true;
    return m_current[0] == 127;
}

void DmiHelp::Next() {
    const uint8_t* end = m_start + m_length;
    const uint8_t* p = m_current + m_current[1];
    // The string set ends with two NULs (directly after the formatted area when it has no strings).
    while (p + 1 < end && !(p[0] == 0 && p[1] == 0)) ++p;
    m_current = p + 2 <= end ? p + 2 : end;
}

std::string DmiHelp::GetString(int n) const {
    if (n <= 0 || IsEnd()) return {};
    const uint8_t* end = m_start + m_length;
    const char* s = reinterpret_cast<const char*>(m_current + m_current[1]);
    for (int i = 1; reinterpret_cast<const uint8_t*>(s) < end && *s; ++i) {
        size_t left = static_cast<size_t>(end - reinterpret_cast<const uint8_t*>(s));
        size_t len = strnlen(s, left);
        if (i == n) return std::string(s, len);
        s += len + 1;
    }
    return {};
}

const uint8_t* DmiHelpByAPI::GetTable(uint32_t* length) {
    if (!g_pGetSystemFirmwareTable) return nullptr;
    UINT size = g_pGetSystemFirmwareTable(kRsmb, 0, nullptr, 0);
    if (size < 8) return nullptr;
    m_buffer.reset(new uint8_t[size]);
    if (g_pGetSystemFirmwareTable(kRsmb, 0, m_buffer.get(), size) < 8) return nullptr;
    uint32_t data;
    std::memcpy(&data, m_buffer.get() + 4, 4);
    *length = data <= size - 8 ? data : size - 8;
    return m_buffer.get() + 8;
}

void DmiHelpByAPI::Release() {
    m_buffer.reset();
}

const uint8_t* DmiHelpByScanMem::GetTable(uint32_t* length) {
    auto* window = static_cast<uint8_t*>(m_map ? m_map(kScanBase, kScanLength) : nullptr);
    const uint8_t* anchor = nullptr;
    if (window) {
        for (uint32_t off = 0; off + 0x1C <= kScanLength; off += 16)
            if (std::memcmp(window + off, "_SM_", 4) == 0) {
                anchor = window + off;
                break;
            }
    }
    if (!anchor) {
        if (window) m_unmap(window);
        ShowMessageBoxA("Can not find SMBIOS Header", "DmiHelp", MB_OK);
        return nullptr;
    }
    m_anchorWindow = window;
    uint16_t tableLength;
    uint32_t address;
    std::memcpy(&tableLength, anchor + 0x16, 2);
    std::memcpy(&address, anchor + 0x18, 4);
    *length = tableLength;
    const uint32_t low = address & 0xFFFF;
    if (void* p = m_map(address - low, tableLength + low)) {
        m_tableWindow = p;
        return static_cast<uint8_t*>(p) + low;
    }
    if (void* p = m_map(address, tableLength)) {
        m_tableWindow = p;
        return static_cast<uint8_t*>(p);
    }
    ShowMessageBoxA("Can not map DMI header", "DmiHelp", MB_OK);
    return nullptr;
}

void DmiHelpByScanMem::Release() {
    if (m_anchorWindow) m_unmap(m_anchorWindow);
    if (m_tableWindow) m_unmap(m_tableWindow);
    m_anchorWindow = m_tableWindow = nullptr;
}

}  // namespace tolo

DmiHelpHolder::DmiHelpHolder(tolo::DmiMapFn map, tolo::DmiUnmapFn unmap) {
    if (tolo::g_pGetSystemFirmwareTable)
        m_help = std::make_unique<tolo::DmiHelpByAPI>(map, unmap);
    else
        m_help = std::make_unique<tolo::DmiHelpByScanMem>(map, unmap);
}
