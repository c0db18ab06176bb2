// Firmware tables of the board: the RSDP in the BIOS area, the RSDT and the tables it lists
// (MCFG among them), and the PCI Express configuration window the MCFG table points at.
#include <cstring>
#include <vector>

#include "Board.h"
#include "BoardStatements.h"

namespace sim {

namespace {

constexpr uint32_t kBiosArea = 0xF0000, kBiosAreaSize = 0x10000;
constexpr uint32_t kHeaderSize = 36;
constexpr uint32_t kRsdtRoom = kHeaderSize + 4 * 256;  // what the tool maps of an RSDT
constexpr uint32_t kMcfgRoom = 0xFFFF;                 // what the tool copies of a table
constexpr uint32_t kTableRoom = 0x1000;                // other tables: a page
constexpr uint32_t kWindowSize = 1 << 20;              // bus 0

void Put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    if (b->size() < at + 4) b->resize(at + 4);
    std::memcpy(b->data() + at, &v, 4);
}

// A table header with the signature and the length; checksums are not kept.
std::vector<uint8_t> Header(const std::string& signature, uint32_t length) {
    std::vector<uint8_t> t(kHeaderSize, 0);
    std::memcpy(t.data(), signature.data(), signature.size() < 4 ? signature.size() : 4);
    Put32(&t, 4, length);
    t[8] = 1;  // revision
    std::memcpy(t.data() + 10, "QUILSM", 6);
    return t;
}

// The BIOS area as one region, holding whatever smaller regions the board put there before.
uint8_t* BiosArea() {
    if (uint8_t* p = PhysicalToView(kBiosArea, kBiosAreaSize)) return p;
    std::vector<uint8_t> area(kBiosAreaSize, 0);
    for (const MemRegion& r : State()->mem)
        if (r.used && r.base >= kBiosArea && r.base + r.length <= kBiosArea + kBiosAreaSize)
            std::memcpy(area.data() + (r.base - kBiosArea), State()->memory + r.offset, r.length);
    AddMemory(kBiosArea, area);
    return PhysicalToView(kBiosArea, kBiosAreaSize);
}

uint32_t FunctionOffset(uint32_t device, uint32_t function) {
    return (device & 0x1F) << 15 | (function & 7) << 12;
}

bool Address(const Args& a, size_t i, uint32_t* v, std::string* err) {
    long long n;
    if (!Num(a, i, &n, err)) return false;
    *v = static_cast<uint32_t>(n);
    return true;
}

}  // namespace

uint8_t* PcieWindowView(uint32_t address, uint32_t length) {
    const uint32_t base = State()->pcieBase;
    if (!base || address < base || uint64_t(address) + length > uint64_t(base) + kWindowSize) return nullptr;
    // Conventional registers from the PCI devices of bus 0, extended ones from memory regions
    // inside the window (pcie-config).
    static std::vector<uint8_t> window;
    window.assign(kWindowSize, 0xFF);
    for (const PciDevice& d : State()->pci)
        if (d.used && d.bus == 0)
            std::memcpy(window.data() + FunctionOffset(d.device, d.function), d.cfg, sizeof d.cfg);
    for (const MemRegion& r : State()->mem)
        if (r.used && r.base >= base && uint64_t(r.base) + r.length <= uint64_t(base) + kWindowSize)
            std::memcpy(window.data() + (r.base - base), State()->memory + r.offset, r.length);
    return window.data() + (address - base);
}

StatementTable AcpiTableStatements() {
    return {
        {"acpi-rsdp",
         [](const Args& a, std::string* err) {
             uint32_t at, rsdt;
             if (!Address(a, 0, &at, err) || !Address(a, 1, &rsdt, err)) return false;
             if (at < kBiosArea || at + 20 > kBiosArea + kBiosAreaSize) {
                 *err = "the RSDP lies in 0xF0000-0xFFFFF";
                 return false;
             }
             std::vector<uint8_t> rsdp(20, 0);
             std::memcpy(rsdp.data(), "RSD PTR ", 8);
             std::memcpy(rsdp.data() + 9, "QUILSM", 6);
             Put32(&rsdp, 16, rsdt);
             std::memcpy(BiosArea() + (at - kBiosArea), rsdp.data(), rsdp.size());
             return true;
         }},
        {"acpi-rsdt",
         [](const Args& a, std::string* err) {
             uint32_t at;
             if (!Address(a, 0, &at, err)) return false;
             size_t i = 1;
             long long length = -1;
             if (a.size() > 2 && a[1].text == "length") {
                 if (!Num(a, 2, &length, err)) return false;
                 i = 3;
             }
             std::vector<uint32_t> entries;
             for (; i < a.size(); ++i) {  // ADDRESS or ADDRESS*COUNT
                 const std::string& w = a[i].text;
                 const size_t star = w.find('*');
                 long long entry, count = 1;
                 if (!Number({w.substr(0, star), false}, &entry) ||
                     (star != std::string::npos && !Number({w.substr(star + 1), false}, &count))) {
                     *err = "bad RSDT entry " + w;
                     return false;
                 }
                 entries.insert(entries.end(), static_cast<size_t>(count), static_cast<uint32_t>(entry));
             }
             const uint32_t actual = kHeaderSize + 4 * static_cast<uint32_t>(entries.size());
             std::vector<uint8_t> t = Header("RSDT", length < 0 ? actual : static_cast<uint32_t>(length));
             for (size_t e = 0; e < entries.size(); ++e) Put32(&t, kHeaderSize + 4 * e, entries[e]);
             if (t.size() < kRsdtRoom) t.resize(kRsdtRoom, 0);
             AddMemory(at, t);
             return true;
         }},
        {"acpi-table",
         [](const Args& a, std::string* err) {
             uint32_t at;
             std::vector<uint8_t> body;
             if (!Address(a, 0, &at, err)) return false;
             if (a.size() < 2 || !a[1].quoted || a[1].text.size() != 4) {
                 *err = "expected a four-letter signature";
                 return false;
             }
             if (!ParseBytes(a, 2, &body, err)) return false;
             std::vector<uint8_t> t = Header(a[1].text, kHeaderSize + static_cast<uint32_t>(body.size()));
             t.insert(t.end(), body.begin(), body.end());
             if (t.size() < kTableRoom) t.resize(kTableRoom, 0);
             AddMemory(at, t);
             return true;
         }},
        {"acpi-mcfg",
         [](const Args& a, std::string* err) {
             uint32_t at, base;
             if (!Address(a, 0, &at, err) || !Address(a, 1, &base, err)) return false;
             // Header, 8 reserved bytes, one allocation: base (64-bit), segment 0, buses 0-255.
             std::vector<uint8_t> t = Header("MCFG", kHeaderSize + 8 + 16);
             Put32(&t, 44, base);
             Put32(&t, 48, 0);
             Put32(&t, 52, 0xFF000000u);
             Put32(&t, 56, 0);
             t.resize(kMcfgRoom, 0);
             AddMemory(at, t);
             return true;
         }},
        {"pcie-window",
         [](const Args& a, std::string* err) { return Address(a, 0, &State()->pcieBase, err); }},
        {"pcie-config",
         [](const Args& a, std::string* err) {
             uint32_t device, function, reg, value;
             if (!Address(a, 0, &device, err) || !Address(a, 1, &function, err) ||
                 !Address(a, 2, &reg, err) || !Address(a, 3, &value, err))
                 return false;
             if (!State()->pcieBase) {
                 *err = "pcie-window first";
                 return false;
             }
             std::vector<uint8_t> dword(4);
             std::memcpy(dword.data(), &value, 4);
             AddMemory(State()->pcieBase + FunctionOffset(device, function) + (reg & 0xFFC), dword);
             return true;
         }},
    };
}

}  // namespace sim
