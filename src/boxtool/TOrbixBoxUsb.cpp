#include "TOrbixBoxUsb.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>

#include "HidBinding.h"
#include "system/Trace.h"

namespace {

// The sizes the HID class and SetupAPI expect in a 32-bit process (a 64-bit one packs the detail
// header to 8).
static_assert(sizeof(HIDD_ATTRIBUTES) == 12);
static_assert(sizeof(HIDP_CAPS) == 64);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 4 ? 6 : 8));

constexpr uint8_t kReportId = 1;
constexpr uint8_t kOpQuery = 1;
constexpr uint8_t kOpSet = 2;
constexpr int kTries = 500;
constexpr DWORD kRetryPauseMs = 5;
constexpr ULONG kInputBuffers = 513;
constexpr int kMaxSendBytes = kBoxPayloadSize - 1;

constexpr size_t kBoxPathChars = 262;
constexpr size_t kFoundPathChars = 260;

// Process-wide, as every exchange of the one transport shares them.
wchar_t g_boxPath[kBoxPathChars];      // fixed once the box was found
wchar_t g_foundPath[kFoundPathChars];  // the last match of a device search
PHIDP_PREPARSED_DATA g_preparsed = nullptr;
uint8_t g_queryRequest[kBoxReportSize], g_queryAnswer[kBoxReportSize];
uint8_t g_setRequest[kBoxReportSize], g_setAnswer[kBoxReportSize];
uint8_t g_queryBytePayload[kBoxPayloadSize], g_sendWordPayload[kBoxPayloadSize];
uint8_t g_sendBytePayload[kBoxPayloadSize], g_sendBytesPayload[kBoxPayloadSize];

// A device information set of the enumeration, destroyed through the same binding.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~DeviceInfoSet() {
        if (Valid()) g_hidBinding.DestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet&) = delete;
    DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
    HDEVINFO Get() const { return set_; }
    bool Valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }

private:
    HDEVINFO set_;
};

// One exchange: write the request, read the answer; a failed try flushes the input queue and
// pauses before the next.
bool Exchange(HANDLE device, uint8_t operation, const uint8_t* payload, uint8_t* request, uint8_t* answer) {
    request[0] = kReportId;
    request[1] = operation;
    std::memcpy(request + 2, payload, kBoxPayloadSize);
    answer[0] = kReportId;
    answer[1] = 1;
    for (int i = 0; i < kTries; ++i) {
        if (Hid_SetFeature(device, request, kBoxReportSize) && Hid_GetFeature(device, answer, kBoxReportSize))
            return true;
        // An unplugged box never answers through this handle again: retrying would only hold the
        // window thread for seconds per register. The reconnect after the device change opens it anew.
        if (GetLastError() == ERROR_DEVICE_NOT_CONNECTED) return false;
        Hid_FlushQueue(device);
        Sleep(kRetryPauseMs);
    }
    return false;
}

uint8_t* StartPayload(uint8_t* payload, uint8_t reg) {
    std::memset(payload, 0, kBoxPayloadSize);
    payload[0] = reg;
    return payload;
}

}  // namespace

TOrbixBoxUsb::TOrbixBoxUsb() {
    LoadHidLibrary();
}

TOrbixBoxUsb::~TOrbixBoxUsb() = default;

bool TOrbixBoxUsb::ConnectToBox() {
    // Without the whole HID library there is no box to talk to.
    if (!HidLibraryBound()) return false;
    if (g_boxPath[0] == 0) {
        paths_.clear();
        GUID hidGuid;
        Hid_GetHidGuid(&hidGuid);
        EnumerateDevices(hidGuid);
        const wchar_t* found = FindDevice(kBoxVendorId, kBoxProductId);
        // The found-path buffer is shorter than the box path, so the copy always fits.
        std::wcsncpy(g_boxPath, found, kBoxPathChars - 1);
        tolo::TraceW(g_boxPath);
    }
    if (g_boxPath[0] == 0) return false;
    if (!OpenDevice(g_boxPath)) return false;
    tolo::TraceA("TOrbixBoxUsb::ConnectToBox");
    return true;
}

bool TOrbixBoxUsb::EnumerateDevices(const GUID& classGuid) {
    paths_.clear();
    DeviceInfoSet set(
        g_hidBinding.GetClassDevsW(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.Valid()) return false;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (DWORD device = 0; g_hidBinding.EnumDeviceInfo(set.Get(), device, &info); ++device) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        for (DWORD index = 0; g_hidBinding.EnumDeviceInterfaces(set.Get(), &info, &classGuid, index, &data);
             ++index) {
            DWORD needed = 0;
            g_hidBinding.GetDeviceInterfaceDetailW(set.Get(), &data, nullptr, 0, &needed, nullptr);
            if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) break;
            std::vector<DWORD> buffer((needed + sizeof(DWORD) - 1) / sizeof(DWORD));
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!g_hidBinding.GetDeviceInterfaceDetailW(set.Get(), &data, detail, needed, nullptr, nullptr))
                break;  // on with the next device
            size_t room = (needed - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
            paths_.emplace_back(detail->DevicePath, wcsnlen(detail->DevicePath, room));
        }
    }
    return true;
}

const wchar_t* TOrbixBoxUsb::FindDevice(uint16_t vendorId, uint16_t productId) {
    for (const std::wstring& path : paths_) {
        // A path the buffers cannot hold whole is of no use: cut short it would name another device.
        if (path.size() >= kFoundPathChars) continue;
        tolo::UniqueHandle device(g_hidBinding.CreateFileW(path.c_str(), GENERIC_READ,
                                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                           OPEN_EXISTING, 0, nullptr));
        if (!device) continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof(attributes);
        if (Hid_GetAttributes(device.Get(), &attributes) && attributes.VendorID == vendorId &&
            attributes.ProductID == productId) {
            std::wmemcpy(g_foundPath, path.c_str(), path.size() + 1);
            break;
        }
    }
    return g_foundPath;
}

bool TOrbixBoxUsb::OpenDevice(const wchar_t* path) {
    device_.Reset();
    if (!HidLibraryBound()) return false;
    device_.Reset(g_hidBinding.CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                           nullptr));
    if (device_.Get() == INVALID_HANDLE_VALUE) return false;
    if (g_preparsed) {
        Hid_FreePreparsedData(g_preparsed);
        g_preparsed = nullptr;
    }
    if (!Hid_GetPreparsedData(device_.Get(), &g_preparsed)) {
        g_preparsed = nullptr;
        return false;
    }
    HIDP_CAPS caps{};
    Hid_GetCaps(g_preparsed, &caps);
    Hid_SetNumInputBuffers(device_.Get(), kInputBuffers);
    return true;
}

bool TOrbixBoxUsb::QueryReport(uint8_t payload[kBoxPayloadSize]) {
    std::memset(g_queryRequest, 0, sizeof(g_queryRequest));
    std::memset(g_queryAnswer, 0, sizeof(g_queryAnswer));
    if (!device_.Get()) return false;
    if (!Exchange(device_.Get(), kOpQuery, payload, g_queryRequest, g_queryAnswer)) return false;
    std::memcpy(payload, g_queryAnswer + 2, kBoxPayloadSize);
    return true;
}

bool TOrbixBoxUsb::SetReport(uint8_t payload[kBoxPayloadSize], uint8_t& status) {
    std::memset(g_setRequest, 0, sizeof(g_setRequest));
    std::memset(g_setAnswer, 0, sizeof(g_setAnswer));
    if (!device_.Get()) return false;
    if (!Exchange(device_.Get(), kOpSet, payload, g_setRequest, g_setAnswer)) return false;
    status = g_setAnswer[7];
    return true;
}

bool TOrbixBoxUsb::QueryByte(uint8_t reg, uint8_t& value) {
    uint8_t* payload = StartPayload(g_queryBytePayload, reg);
    const bool answered = QueryReport(payload);
    value = payload[1];
    return answered;
}

bool TOrbixBoxUsb::SendWord(uint8_t reg, int16_t value) {
    uint8_t* payload = StartPayload(g_sendWordPayload, reg);
    uint16_t bits = static_cast<uint16_t>(value);
    payload[1] = static_cast<uint8_t>(bits >> 8);
    payload[2] = static_cast<uint8_t>(bits & 0xFF);
    uint8_t status = 0;
    return SetReport(payload, status);
}

bool TOrbixBoxUsb::SendByte(uint8_t reg, uint8_t value) {
    uint8_t* payload = StartPayload(g_sendBytePayload, reg);
    payload[1] = value;
    uint8_t status = 0;
    return SetReport(payload, status);
}

bool TOrbixBoxUsb::SendBytes(uint8_t reg, const uint8_t* bytes, int count) {
    uint8_t* payload = StartPayload(g_sendBytesPayload, reg);
    if (bytes && count > 0) std::memcpy(payload + 1, bytes, std::min(count, kMaxSendBytes));
    uint8_t status = 0;
    return SetReport(payload, status);
}

bool TOrbixBoxUsb::SetHostState(bool running) {
    return SendByte(kBoxHostState, running ? 0xAA : 0x00);
}
bool TOrbixBoxUsb::GetStatus(uint8_t reg, uint8_t& value) {
    return QueryByte(reg, value);
}
bool TOrbixBoxUsb::SetTemperature(uint8_t reg, int16_t value) {
    return SendWord(reg, value);
}
bool TOrbixBoxUsb::SetCpuRatio(uint8_t reg, uint8_t value) {
    return SendByte(reg, value);
}
bool TOrbixBoxUsb::SetBusClock(uint8_t reg, int16_t value) {
    return SendWord(reg, value);
}
bool TOrbixBoxUsb::SetFanSpeed(uint8_t reg, int16_t value) {
    return SendWord(reg, value);
}
bool TOrbixBoxUsb::SetFanDuty(uint8_t reg, uint8_t value) {
    return SendByte(reg, value);
}
bool TOrbixBoxUsb::GetFanDuty(uint8_t reg, uint8_t& value) {
    return QueryByte(reg, value);
}

bool TOrbixBoxUsb::SetTime(uint8_t reg, uint8_t hour, uint8_t minute, uint8_t second) {
    const uint8_t bytes[] = {hour, minute, second};
    return SendBytes(reg, bytes, 3);
}

bool TOrbixBoxUsb::GetAudioMode(uint8_t& value) {
    return QueryByte(kBoxAudioMode, value);
}
bool TOrbixBoxUsb::SetVolume(uint8_t value) {
    return SendByte(kBoxVolume, value);
}
bool TOrbixBoxUsb::GetVolume(uint8_t& value) {
    return QueryByte(kBoxVolume, value);
}
