#include "AcpiTables.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "IoWrappers.h"

namespace {

constexpr DWORD kAcpiProvider = 0x41435049;  // 'ACPI'
constexpr uint32_t kHeaderSize = 36;
constexpr uint32_t kMaxRsdtEntries = 256;
constexpr uint32_t kBiosArea = 0xF0000, kBiosAreaSize = 0x10000;
constexpr uint32_t kRsdpRsdtOffset = 16;
constexpr uint32_t kRsdpSignatureSize = 7;  // "RSD PTR", without the trailing blank

bool SystemFirmwareTableLookup(FirmwareTableFunction* function) {
    HMODULE kernel = LoadLibraryW(L"kernel32.dll");  // kept loaded for the life of the process
    if (!kernel) return false;
    *function = reinterpret_cast<FirmwareTableFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetSystemFirmwareTable")));
    return true;
}

uint32_t g_rsdtAddress = 0;
uint32_t g_pciExpressBase = 0;
uint8_t g_mcfg[0xFFFF];

uint32_t Dword(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// A physical range mapped through the I/O library for the life of the object.
class PhysicalView {
public:
    PhysicalView(uint32_t address, uint32_t length) {
        view_ = static_cast<uint8_t*>(Io_MapPhysToLin(address, length, &handle_, object_));
    }
    ~PhysicalView() {
        if (view_) Io_UnmapPhysicalMemory(handle_, view_, object_[0], object_[1]);
    }
    PhysicalView(const PhysicalView&) = delete;
    PhysicalView& operator=(const PhysicalView&) = delete;
    const uint8_t* Get() const { return view_; }

private:
    HANDLE handle_ = nullptr;
    uint32_t object_[2] = {0, 0};
    uint8_t* view_ = nullptr;
};

// The signature is kept as a wide text; its characters' low bytes are what the firmware holds.
bool FindWideSignature(const uint8_t* data, uint32_t size, const wchar_t* text, uint32_t* offset) {
    const uint32_t n = static_cast<uint32_t>(std::wcslen(text));
    for (uint32_t o = 0; o + n <= size; ++o) {
        uint32_t i = 0;
        while (i < n && data[o + i] == static_cast<uint8_t>(text[i])) ++i;
        if (i == n) {
            *offset = o;
            return true;
        }
    }
    return false;
}

uint32_t FindRsdtAddress() {
    PhysicalView area(kBiosArea, kBiosAreaSize);
    if (!area.Get()) return 0;
    // The pointer is searched at every byte offset; a match too close to the end of the area
    // to hold the RSDT address is not one.
    const uint32_t searched = kBiosAreaSize - (kRsdpRsdtOffset + 4) + kRsdpSignatureSize;
    uint32_t offset = 0;
    if (!FindWideSignature(area.Get(), searched, L"RSD PTR", &offset)) return 0;
    return Dword(area.Get() + offset + kRsdpRsdtOffset);
}

}  // namespace

bool (*g_firmwareTableLookup)(FirmwareTableFunction* function) = &SystemFirmwareTableLookup;

int GetAcpiTable(uint32_t signature, void* buffer, uint32_t size) {
    FirmwareTableFunction function = nullptr;
    if (!g_firmwareTableLookup(&function)) return 0;
    if (function) {
        function(kAcpiProvider, signature, buffer, size);
        return 1;
    }
    const uint32_t address = FindAcpiTableAddress(signature);
    if (!address) return 1;
    PhysicalView table(address, size);
    if (table.Get()) std::memcpy(buffer, table.Get(), std::min(Dword(table.Get() + 4), size));
    return 1;
}

uint32_t FindAcpiTableAddress(uint32_t signature) {
    if (!g_rsdtAddress) {
        g_rsdtAddress = FindRsdtAddress();
        if (!g_rsdtAddress) return 0;
    }
    PhysicalView rsdt(g_rsdtAddress, kHeaderSize + 4 * kMaxRsdtEntries);
    if (!rsdt.Get()) return 0;
    const uint32_t n = std::min((Dword(rsdt.Get() + 4) - kHeaderSize) / 4, kMaxRsdtEntries);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t entry = Dword(rsdt.Get() + kHeaderSize + 4 * i);
        PhysicalView header(entry, kHeaderSize);
        if (!header.Get()) return 0;
        if (Dword(header.Get()) == signature) return entry;
    }
    return 0;
}

uint32_t GetPciExpressBase() {
    if (!g_pciExpressBase && GetAcpiTable(AcpiSignature("MCFG"), g_mcfg, sizeof g_mcfg))
        g_pciExpressBase = Dword(g_mcfg + 44);
    return g_pciExpressBase;
}
