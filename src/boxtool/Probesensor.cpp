#include "boxtool/Probesensor.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "system/Handles.h"

namespace {

using HmGetDataFn = int(__stdcall*)(int type, void* buffer);

// Named from the registry's root, as the suite's installer writes it.
constexpr wchar_t kHmKey[] = L"\\SOFTWARE\\QUIL\\Tessaro_II\\";
constexpr wchar_t kHmPathValue[] = L"HMDllPath";
constexpr wchar_t kHmLibraryName[] = L"qxHMLib.dll";

// The library and the reader. Never torn down: the reader thread waits on the event and calls into
// the library until the process ends.
struct HmLibrary {
    tolo::Module module;
    HmGetDataFn getData = nullptr;
    FARPROC setData = nullptr;
    FARPROC setDefault = nullptr;
    bool packagesAllocated = false;
    bool readerStarted = false;
    tolo::UniqueHandle wakeEvent;
    tolo::UniqueHandle readerThread;
};

HmLibrary& Hm() {
    static HmLibrary* library = new HmLibrary;
    return *library;
}

// Constructed at program start; the exchange packages' critical sections go at program end.
SensorPackage g_windowPackages[kSensorTypeCount];
SafeSensorPackage g_exchangePackages[kSensorTypeCount];

class PackageLock {
public:
    explicit PackageLock(SafeSensorPackage& p) : p_(p) { p_.Lock(); }
    ~PackageLock() { p_.Unlock(); }
    PackageLock(const PackageLock&) = delete;
    PackageLock& operator=(const PackageLock&) = delete;

private:
    SafeSensorPackage& p_;
};

std::wstring ReadRegistryString(HKEY key, const wchar_t* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return {};
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS)
        return {};
    text.resize(wcsnlen(text.c_str(), text.size()));  // stored without its zero, or with several
    return text;
}

std::wstring ExecutableDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring HmLibraryPath() {
    std::wstring subkey = kHmKey;
    subkey = subkey.substr(1, subkey.size() - 2);
    tolo::RegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_ALL_ACCESS, key.Put()) == ERROR_SUCCESS) {
        std::wstring path = ReadRegistryString(key.Get(), kHmPathValue);
        if (!path.empty()) return path;
    }
    return ExecutableDirectory() + kHmLibraryName;
}

int TypeIndex(int type) {
    return type - kFirstSensorType;
}

// Fetches a type's records and publishes at most as many as the package was sized for. The
// library writes every record it has now, which can be more than it had at start-up, so the
// buffer follows its present count rather than the package's.
void FetchInto(int type, SafeSensorPackage& target, std::vector<ProbeDataW>& buffer) {
    const int present = Hm().getData(type, nullptr);
    if (present <= 0) return;
    try {
        buffer.resize(static_cast<size_t>(present));
    } catch (const std::bad_alloc&) {
        return;
    }
    Hm().getData(type, buffer.data());
    const int n = std::min(present, target.count);
    if (n <= 0) return;
    PackageLock lock(target);
    std::memcpy(target.records, buffer.data(), n * sizeof(ProbeDataW));
}

}  // namespace

void SensorPackage::Allocate(int type) {
    const int n = Hm().getData ? Hm().getData(type, nullptr) : 0;
    count = 0;
    records = new (std::nothrow) ProbeDataW[std::max(n, 0)];
    display = new (std::nothrow) SensorDisplayRecord[std::max(n, 0)];
    if (records && display) count = std::max(n, 0);
}

void SensorPackage::Convert() {
    for (int i = 0; i < count; ++i) {
        SensorDisplayRecord& d = display[i];
        std::memcpy(d.values, records[i].values, sizeof d.values);
        // A name that fills all 32 bytes without its zero is cut to 31 characters.
        const size_t length = strnlen(records[i].name, sizeof d.name - 1);
        std::memset(d.name, 0, sizeof d.name);
        std::memcpy(d.name, records[i].name, length);
    }
}

SafeSensorPackage::SafeSensorPackage() {
    InitializeCriticalSection(&section_);
}

SafeSensorPackage::~SafeSensorPackage() {
    DeleteCriticalSection(&section_);
}

void SafeSensorPackage::Lock() {
    EnterCriticalSection(&section_);
}

void SafeSensorPackage::Unlock() {
    LeaveCriticalSection(&section_);
}

SensorPackage& WindowSensorPackage(int type) {
    static SensorPackage none;
    const int i = TypeIndex(type);
    return i >= 0 && i < kSensorTypeCount ? g_windowPackages[i] : none;
}

SafeSensorPackage& ExchangeSensorPackage(int type) {
    static SafeSensorPackage none;
    const int i = TypeIndex(type);
    return i >= 0 && i < kSensorTypeCount ? g_exchangePackages[i] : none;
}

void LoadHmLibrary() {
    HmLibrary& hm = Hm();
    if (hm.module) return;
    hm.module.Reset(LoadLibraryW(HmLibraryPath().c_str()));
    if (!hm.module) return;
    hm.getData = hm.module.Proc<HmGetDataFn>("HM_GetData");
    hm.setData = hm.module.Proc<FARPROC>("HM_SetData");
    hm.setDefault = hm.module.Proc<FARPROC>("HM_SetDefault");
    AllocateSensorPackages();
    RefreshSensorData();
    ConvertSensorPackages();
}

void AllocateSensorPackages() {
    HmLibrary& hm = Hm();
    if (hm.packagesAllocated || !hm.getData) return;
    for (int i = 0; i < kSensorTypeCount; ++i) g_exchangePackages[i].Allocate(kFirstSensorType + i);
    for (int i = 0; i < kSensorTypeCount; ++i) g_windowPackages[i].Allocate(kFirstSensorType + i);
    hm.packagesAllocated = true;
}

void RefreshSensorData() {
    HmLibrary& hm = Hm();
    if (!hm.packagesAllocated) return;
    if (!hm.readerStarted) {
        std::vector<ProbeDataW> buffer;
        for (int i = 0; i < kSensorTypeCount; ++i)
            FetchInto(kFirstSensorType + i, g_exchangePackages[i], buffer);
        hm.wakeEvent.Reset(CreateEventW(nullptr, FALSE, TRUE, nullptr));
        if (hm.wakeEvent)
            hm.readerThread.Reset(
                CreateThread(nullptr, 0, SensorReaderThread, hm.wakeEvent.Get(), 0, nullptr));
        hm.readerStarted = true;
    }
    for (int i = 0; i < kSensorTypeCount; ++i) {
        SafeSensorPackage& from = g_exchangePackages[i];
        SensorPackage& to = g_windowPackages[i];
        // The two were sized by separate counts, which a growing library can make differ.
        const int n = std::min(to.count, from.count);
        if (n <= 0) continue;
        PackageLock lock(from);
        std::memcpy(to.records, from.records, n * sizeof(ProbeDataW));
    }
    if (hm.wakeEvent) SetEvent(hm.wakeEvent.Get());
}

void ConvertSensorPackages() {
    for (SensorPackage& p : g_windowPackages) p.Convert();
}

DWORD WINAPI SensorReaderThread(LPVOID wakeEvent) {
    std::vector<ProbeDataW> buffer;
    while (WaitForSingleObject(static_cast<HANDLE>(wakeEvent), INFINITE) == WAIT_OBJECT_0) {
        for (int i = 0; i < kSensorTypeCount; ++i)
            FetchInto(kFirstSensorType + i, g_exchangePackages[i], buffer);
    }
    return 0;
}
