// Stand-in for the maker's ACPI library over the simulated board: BIOS items with their group and
// description packages, values, device buffers and the board-information package. Item
// 0x11060009 reaches the Super I/O hardware monitor: its parameter is bank << 8 | register. Items
// the board gives query answers read the answer after a set with a parameter (a query).
// Built twice: QuilAcpi.dll (exports by ordinal) and quilacpiex.dll (the same, by name).
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "../board/AcpiPackage.h"
#include "../board/Board.h"
#include "../board/FirmwareBox.h"

using sim::ArgHeader;
using sim::BiosItem;
using sim::State;

namespace {

constexpr uint32_t kSioRegisterItem = 0x11060009;

bool IsSioRegisterItem(uint32_t id) {
    return (id & 0xFF00FFFF) == (kSioRegisterItem & 0xFF00FFFF);
}

// Copies an encoded package into a caller's buffer; false when it does not fit.
bool Deliver(const std::vector<uint8_t>& package, void* buffer, DWORD* size) {
    if (!buffer || !size || package.size() > *size) return false;
    std::memcpy(buffer, package.data(), package.size());
    *size = static_cast<DWORD>(package.size());
    return true;
}

BiosItem* Readable(uint32_t id) {
    BiosItem* it = sim::FindItem(id);
    return (it && !(it->flags & sim::ItemFailGet)) ? it : nullptr;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH && (sim::LibraryFaults() & sim::FaultQuilAcpi)) return FALSE;
    return TRUE;
}

int __stdcall AcpiInit() {
    sim::BoardLock lock;
    ++State()->acpi.initCalls;
    return 1;
}

int __stdcall AcpiSetItem(uint32_t id, int32_t first, int32_t second) {
    sim::LogWrite(sim::WriteKind::ItemSet, id, static_cast<uint32_t>(first), static_cast<uint32_t>(second));
    if (IsSioRegisterItem(id) && sim::FindItem(id)) {
        sim::MonitorWrite((first >> 8) & 0xFF, first & 0xFF, static_cast<uint8_t>(second),
                          sim::WriteKind::MonitorBios);
        return 1;
    }
    sim::BoardLock lock;
    BiosItem* it = sim::FindItem(id);
    if (!it) return 0;
    ++it->setCalls;
    if (it->flags & sim::ItemFailSet) return 0;
    int32_t answer;
    if (second != 1 && sim::FindQueryAnswer(id, first, &answer)) {  // a query the firmware answers
        it->lastParam = first;
        it->value = answer;
        it->flags |= sim::ItemHasValue;
        return 1;
    }
    if (it->flags & sim::ItemCommand) return 1;  // the firmware acts on it; reads answer as before
    if (second == 1) {                           // a plain set: value, 1
        it->value = first;
    } else {  // a set with a parameter: parameter, value
        it->lastParam = first;
        it->value = second;
    }
    it->flags |= sim::ItemHasValue;
    return 1;
}

int __stdcall AcpiGetItem(uint32_t id, int32_t* value) {
    sim::BoardLock lock;
    BiosItem* it = Readable(id);
    if (!it || !(it->flags & sim::ItemHasValue) || !value) return 0;
    ++it->getCalls;
    *value = it->value;
    return 1;
}

int __stdcall AcpiGetItemEx(uint32_t id, int32_t parameter, int32_t* value) {
    if (IsSioRegisterItem(id) && sim::FindItem(id)) {
        if (value) *value = sim::MonitorRead((parameter >> 8) & 0xFF, parameter & 0xFF);
        return 1;
    }
    sim::BoardLock lock;
    BiosItem* it = Readable(id);
    if (!it || !(it->flags & sim::ItemHasValue) || !value) return 0;
    ++it->getCalls;
    it->lastParam = parameter;
    *value = it->value;
    return 1;
}

int __stdcall AcpiMbif(void* buffer, DWORD* size) {
    sim::BoardLock lock;
    sim::AcpiState& a = State()->acpi;
    ++a.mbifCalls;
    if (a.mbifCount < 0) return 0;
    sim::PackageBuilder p;
    for (int i = 0; i < a.mbifCount; ++i) p.Int(a.mbif[i]);
    return Deliver(p.Build(), buffer, size) ? a.mbifResult : 0;
}

int __stdcall AcpiGGrp(uint32_t group, void* buffer, DWORD* size) {
    sim::BoardLock lock;
    sim::AcpiState& a = State()->acpi;
    group &= 0xFF;
    ++a.ggrpCalls[group];
    if (a.groupFlags[group] & sim::GroupRefused) return 0;
    sim::PackageBuilder p;
    for (uint32_t i = 0; i < a.itemCount; ++i) {
        const BiosItem& it = a.items[i];
        if ((it.flags & sim::ItemListed) && (it.id >> 24) == group) p.Int(static_cast<int32_t>(it.id));
    }
    return Deliver(p.Build(), buffer, size) ? 1 : 0;
}

void* __stdcall AcpiFirstArg(void* package) {
    return package ? static_cast<uint8_t*>(package) + sizeof(uint32_t) : nullptr;
}

int __stdcall AcpiGetArgCount(void* package) {
    if (!package) return 0;
    uint32_t n;
    std::memcpy(&n, package, sizeof n);
    return static_cast<int>(n);
}

int __stdcall AcpiGetArgType(void* element) {
    return element ? static_cast<int>(static_cast<ArgHeader*>(element)->type) : 0;
}

void* __stdcall AcpiGetArgData(void* element) {
    return element ? static_cast<ArgHeader*>(element) + 1 : nullptr;
}

void* __stdcall AcpiNextArg(void* element) {
    if (!element) return nullptr;
    auto* h = static_cast<ArgHeader*>(element);
    return reinterpret_cast<uint8_t*>(h) + sim::ArgStride(h);
}

// The element data of a group package is the item id; the answer is its description package.
int __stdcall AcpiCallMethod(const void* data, void* buffer, DWORD* size) {
    sim::BoardLock lock;
    ++State()->acpi.callMethodCalls;
    if (!data) return 0;
    uint32_t id;
    std::memcpy(&id, data, sizeof id);
    BiosItem* it = sim::FindItem(id);
    if (!it || !(it->flags & sim::ItemListed)) return 0;
    const uint8_t* d = sim::Blob(it->descOffset);
    return Deliver(std::vector<uint8_t>(d, d + it->descLength), buffer, size) ? 1 : 0;
}

int __stdcall AcpiGetItemBuffer(uint32_t id, int32_t, void* buffer, DWORD* size) {
    sim::BoardLock lock;
    BiosItem* it = Readable(id);
    if (!it || !it->bufCapacity || !buffer || !size) return 0;
    ++it->bufReads;
    DWORD n = it->bufLength < *size ? it->bufLength : *size;
    std::memcpy(buffer, sim::Blob(it->bufOffset), n);
    *size = n;
    return 1;
}

int __stdcall AcpiSetItemBuffer(uint32_t id, int32_t, const void* buffer, DWORD* size) {
    if (!buffer || !size) return 0;
    sim::WaitWhileItemWriteHeld(id);
    sim::LogWrite(sim::WriteKind::BufferSet, id, *size, 0);
    sim::BoardLock lock;
    BiosItem* it = sim::FindItem(id);
    if (!it) return 0;
    ++it->bufWrites;
    if (it->flags & sim::ItemFailSet) return 0;
    const auto* b = static_cast<const uint8_t*>(buffer);
    sim::SetItemBuffer(id, std::vector<uint8_t>(b, b + *size));
    return 1;
}

}  // extern "C"
