// The simulated box. Every HID interface of the board is one device of the enumeration, with one
// interface each. Interfaces with the box's ids answer feature reports: a request is remembered
// and the next read answers it (report id, operation, register, then the register's value bytes;
// a set answers its status in byte 7). A set stores its value bytes in the register.
#include "SimBox.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <string>

#include "board/Board.h"
#include "boxtool/HidBinding.h"

namespace sim {

namespace {

constexpr GUID kHidGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr uint16_t kBoxVendor = 0x2F3A;
constexpr uint16_t kBoxProduct = 0x5C71;
constexpr uint8_t kReportId = 1;
constexpr ULONG kReportSize = 8;

struct DeviceSet {
    std::vector<int> interfaces;  // indices into BoxState::interfaces, in enumeration order
};

struct OpenDevice {
    int iface;
    uint32_t generation;
    std::wstring name;  // of the event behind the handle: it exists while any handle to it is open
};

struct Preparsed {
    int iface;
};

// Process-local bookkeeping of what this process was handed.
std::set<DeviceSet*> g_sets;
std::map<HANDLE, OpenDevice> g_handles;
std::set<Preparsed*> g_preparsed;
uint32_t g_handleSeq = 0;
const char g_moduleTag = 0;  // its address is the simulated "hid.dll" module handle

BoxState& Box() {
    return State()->box;
}

HMODULE HidModule() {
    return reinterpret_cast<HMODULE>(const_cast<char*>(&g_moduleTag));
}

bool IsBox(const HidInterface& i) {
    return i.vendorId == kBoxVendor && i.productId == kBoxProduct;
}

// The interface behind a handle while its device is still plugged in since the open.
HidInterface* Live(HANDLE h, int* index = nullptr) {
    auto it = g_handles.find(h);
    if (it == g_handles.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HidInterface& i = Box().interfaces[it->second.iface];
    if (!(i.flags & HidPresent) || i.generation != it->second.generation) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    if (index) *index = it->second.iface;
    return &i;
}

DeviceSet* FindSet(HDEVINFO set) {
    auto* s = static_cast<DeviceSet*>(set);
    if (!g_sets.count(s)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return s;
}

// --- SetupAPI -------------------------------------------------------------------------------

HDEVINFO WINAPI GetClassDevs(const GUID* guid, PCWSTR, HWND, DWORD flags) {
    BoardLock lock;
    auto* set = new DeviceSet;
    if (guid && IsEqualGUID(*guid, kHidGuid) && (flags & DIGCF_DEVICEINTERFACE)) {
        for (uint32_t i = 0; i < Box().interfaceCount && i < kHidInterfaces; ++i)
            if ((Box().interfaces[i].flags & HidPresent) || !(flags & DIGCF_PRESENT))
                set->interfaces.push_back(static_cast<int>(i));
    }
    g_sets.insert(set);
    return set;
}

BOOL WINAPI EnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA info) {
    DeviceSet* set = FindSet(handle);
    if (!set) return FALSE;
    if (!info || info->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= set->interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    info->ClassGuid = kHidGuid;
    info->DevInst = index + 1;
    info->Reserved = index;
    return TRUE;
}

BOOL WINAPI EnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    DeviceSet* set = FindSet(handle);
    if (!set) return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (info && info->cbSize != sizeof(*info))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    // One interface per device: asked about one device, only index 0 exists.
    size_t position = info ? (index == 0 ? info->Reserved : set->interfaces.size()) : index;
    if (!guid || !IsEqualGUID(*guid, kHidGuid) || position >= set->interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = kHidGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = position;
    return TRUE;
}

BOOL WINAPI GetDeviceInterfaceDetail(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size, PDWORD required,
                                     PSP_DEVINFO_DATA) {
    DeviceSet* set = FindSet(handle);
    if (!set) return FALSE;
    if (!data || data->Reserved >= set->interfaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BoardLock lock;
    const wchar_t* path = Box().interfaces[set->interfaces[data->Reserved]].path;
    size_t chars = wcsnlen(path, kHidPathChars - 1);
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                    (chars + 1) * sizeof(WCHAR));
    if (required) *required = need;
    if (!detail) {
        SetLastError(size ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::wmemcpy(detail->DevicePath, path, chars);
    detail->DevicePath[chars] = 0;
    return TRUE;
}

BOOL WINAPI DestroyDeviceInfoList(HDEVINFO handle) {
    DeviceSet* set = FindSet(handle);
    if (!set) return FALSE;
    g_sets.erase(set);
    delete set;
    return TRUE;
}

// --- opening a device -------------------------------------------------------------------------

HANDLE WINAPI CreateFile(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                         HANDLE) {
    BoardLock lock;
    BoxState& box = Box();
    for (uint32_t i = 0; path && i < box.interfaceCount && i < kHidInterfaces; ++i) {
        HidInterface& hid = box.interfaces[i];
        if (!(hid.flags & HidPresent) || _wcsicmp(hid.path, path) != 0) continue;
        if (disposition != OPEN_EXISTING) break;
        if ((hid.flags & HidNoOpen) || ((hid.flags & HidReadOnly) && (access & GENERIC_WRITE))) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        // A real kernel object, so that the tool's handle owners close it as any other handle.
        std::wstring name = L"Local\\QuilSimHid." + std::to_wstring(GetCurrentProcessId()) + L"." +
                            std::to_wstring(++g_handleSeq);
        HANDLE h = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
        if (!h) return INVALID_HANDLE_VALUE;
        g_handles[h] = {static_cast<int>(i), hid.generation, name};
        ++hid.opens;
        return h;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// --- the HID library ------------------------------------------------------------------------

void NTAPI GetHidGuid(LPGUID guid) {
    *guid = kHidGuid;
}

BOOLEAN NTAPI GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) {
    BoardLock lock;
    HidInterface* hid = Live(h);
    if (!hid || !attributes) return FALSE;
    attributes->VendorID = hid->vendorId;
    attributes->ProductID = hid->productId;
    attributes->VersionNumber = 0x0100;
    return TRUE;
}

BOOLEAN NTAPI GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) {
    BoardLock lock;
    int index = 0;
    HidInterface* hid = Live(h, &index);
    if (!hid || !data) return FALSE;
    if (hid->flags & HidNoPreparsed) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    auto* p = new Preparsed{index};
    g_preparsed.insert(p);
    ++Box().preparsedHeld;
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(p);
    return TRUE;
}

BOOLEAN NTAPI FreePreparsedData(PHIDP_PREPARSED_DATA data) {
    BoardLock lock;
    auto* p = reinterpret_cast<Preparsed*>(data);
    if (!g_preparsed.erase(p)) return FALSE;
    delete p;
    --Box().preparsedHeld;
    return TRUE;
}

NTSTATUS NTAPI GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
    if (!g_preparsed.count(reinterpret_cast<Preparsed*>(data))) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    std::memset(caps, 0, sizeof *caps);
    caps->UsagePage = 0xFF00;  // vendor-defined
    caps->Usage = 1;
    caps->FeatureReportByteLength = kReportSize;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN NTAPI SetNumInputBuffers(HANDLE h, ULONG count) {
    BoardLock lock;
    if (!Live(h)) return FALSE;
    Box().inputBuffers = count;
    return TRUE;
}

bool FeatureReportAccepted(HidInterface* hid, PVOID report, ULONG length) {
    if (!hid) return false;
    if (!IsBox(*hid) || !report || length != kReportSize || static_cast<uint8_t*>(report)[0] != kReportId) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

BOOLEAN NTAPI SetFeature(HANDLE h, PVOID report, ULONG length) {
    BoardLock lock;
    BoxState& box = Box();
    ++box.setCalls;
    if (box.failSets) {
        --box.failSets;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    int index = 0;
    HidInterface* hid = Live(h, &index);
    if (!FeatureReportAccepted(hid, report, length)) return FALSE;
    const auto* bytes = static_cast<const uint8_t*>(report);
    BoxReport& r = box.reports[box.reportCount % kBoxReports];
    r.seq = box.reportCount++;
    r.iface = static_cast<uint32_t>(index);
    std::memcpy(r.bytes, bytes, kReportSize);
    std::memcpy(hid->pending, bytes, kReportSize);
    if (bytes[1] == 2) std::memcpy(box.regs[bytes[2]], bytes + 3, kBoxValueBytes);
    return TRUE;
}

BOOLEAN NTAPI GetFeature(HANDLE h, PVOID report, ULONG length) {
    BoardLock lock;
    BoxState& box = Box();
    ++box.getCalls;
    if (box.failGets) {
        --box.failGets;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    HidInterface* hid = Live(h);
    if (!FeatureReportAccepted(hid, report, length)) return FALSE;
    auto* answer = static_cast<uint8_t*>(report);
    const uint8_t* request = hid->pending;
    std::memset(answer + 1, 0, kReportSize - 1);
    if (request[1] == 1 || request[1] == 2) {
        answer[1] = request[1];
        answer[2] = request[2];
        std::memcpy(answer + 3, box.regs[request[2]], kBoxValueBytes);
        if (request[1] == 2) answer[7] = box.setStatus;
    }
    return TRUE;
}

BOOLEAN NTAPI FlushQueue(HANDLE h) {
    BoardLock lock;
    ++Box().flushCalls;
    return Live(h) ? TRUE : FALSE;
}

template <typename Fn>
FARPROC Proc(Fn fn) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(fn));
}

HMODULE WINAPI LoadLibrary(LPCSTR name) {
    BoardLock lock;
    BoxState& box = Box();
    ++box.loadCalls;
    std::strncpy(box.loadedName, name ? name : "", sizeof(box.loadedName) - 1);
    if (box.libraryAbsent || !name || _stricmp(name, "hid.dll") != 0) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return HidModule();
}

FARPROC WINAPI GetProcAddr(HMODULE module, LPCSTR name) {
    static const std::map<std::string, FARPROC> exports = {
        {"HidD_GetHidGuid", Proc(&GetHidGuid)},
        {"HidD_GetAttributes", Proc(&GetAttributes)},
        {"HidD_GetPreparsedData", Proc(&GetPreparsedData)},
        {"HidD_FreePreparsedData", Proc(&FreePreparsedData)},
        {"HidP_GetCaps", Proc(&GetCaps)},
        {"HidD_SetNumInputBuffers", Proc(&SetNumInputBuffers)},
        {"HidD_GetFeature", Proc(&GetFeature)},
        {"HidD_SetFeature", Proc(&SetFeature)},
        {"HidD_FlushQueue", Proc(&FlushQueue)},
    };
    // Names only: an ordinal has a zero high word.
    if (module != HidModule() || !name || (reinterpret_cast<uintptr_t>(name) >> 16) == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    BoardLock lock;
    auto it = exports.find(name);
    if (it == exports.end() ||
        std::strncmp(Box().missingFunction, name, sizeof(Box().missingFunction)) == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return it->second;
}

}  // namespace

void InstallSimulatedBox() {
    g_hidBinding = {&GetClassDevs,          &EnumDeviceInfo, &EnumDeviceInterfaces, &GetDeviceInterfaceDetail,
                    &DestroyDeviceInfoList, &CreateFile,     &LoadLibrary,          &GetProcAddr};
}

int OpenDeviceSets() {
    return static_cast<int>(g_sets.size());
}

int OpenDeviceHandles() {
    int open = 0;
    for (auto it = g_handles.begin(); it != g_handles.end();) {
        HANDLE probe = OpenEventW(SYNCHRONIZE, FALSE, it->second.name.c_str());
        if (probe) {
            CloseHandle(probe);
            ++open;
            ++it;
        } else {
            it = g_handles.erase(it);
        }
    }
    return open;
}

std::vector<BoxReport> BoxReports(uint32_t fromSeq) {
    BoardLock lock;
    const BoxState& box = Box();
    std::vector<BoxReport> out;
    uint32_t first = box.reportCount > kBoxReports ? box.reportCount - kBoxReports : 0;
    for (uint32_t seq = std::max(first, fromSeq); seq < box.reportCount; ++seq)
        out.push_back(box.reports[seq % kBoxReports]);
    return out;
}

uint32_t NextBoxReportSeq() {
    BoardLock lock;
    return Box().reportCount;
}

}  // namespace sim
