#include "FbAcpi.h"

#include <windows.h>

#include <initializer_list>
#include <mutex>
#include <string>

#include "CpuManager.h"
#include "FanServiceClient.h"
#include "QuilSysProcNotify.h"
#include "TfrmObxTestMain.h"
#include "Vistavolume.h"
#include "bios/BiosInterface.h"

namespace {

// Orders every use of the command item: the window thread's command words and the listener's
// queries, whose write and read must stay together.
std::mutex g_commandLock;

void SendWords(std::initializer_list<int> words) {
    std::lock_guard<std::mutex> lock(g_commandLock);
    // The firmware acknowledges nothing the tool could act on.
    for (int word : words) SetBiosItemValue(kFbAcpiCommandItem, word);
}

}  // namespace

void FbAcpi_Enable() {
    SetBiosItemValue(kFbAcpiSwitchItem, 0xAA);
}

void FbAcpi_Disable() {
    SetBiosItemValue(kFbAcpiSwitchItem, 0);
}

void FbAcpi_SyncTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    SendWords({0x0800 | now.wHour, 0x0900 | now.wMinute, 0x0A00 | now.wSecond});
}

void FbAcpi_SetVolume(int percent) {
    SendWords({0x0100 | (percent & 0xFF)});
}

void FbAcpi_SetFanDuty(int fan, int duty) {
    SendWords({((fan + 2) << 8) | (duty & 0xFF)});
}

void FbAcpi_SetCpuRatio(uint16_t busClock, uint8_t ratio) {
    SendWords({0x0B00 | ratio, 0x0C00 | (busClock & 0xFF), 0x0D00 | ((busClock >> 8) & 0xFF)});
}

int FbAcpi_Query(int code) {
    std::lock_guard<std::mutex> lock(g_commandLock);
    SetBiosItemParam(kFbAcpiCommandItem, code, 0);
    int value = 0;
    GetBiosItemValue(kFbAcpiCommandItem, &value);
    return value;
}

void TfrmObxTestMain::FbAcpi_SendCpuRatio(void* sender) {
    // The timer's push also registers the notifier once the system-control service is there.
    if (sender) g_quilSysProcNotify.RetryRegistration();
    float ratio = 0, maximum = 0, frequency = 0;
    CpuManager::Instance().GetCpuFrequency(&ratio, &maximum, &frequency);
    FbAcpi_SetCpuRatio(static_cast<uint16_t>(BusClockTenths(ratio, frequency)),
                       static_cast<uint8_t>(static_cast<int>(ratio) & 0xFF));
}

void TfrmObxTestMain::FbAcpi_PushFanDuties() {
    // The service's getters need an apartment on the window thread; it stays for the tool's life.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int count = FanSvc_GetFanCount();
    for (int i = 0; i < count; ++i) {
        const int duty = FanSvc_GetFanDuty(i);
        // Both CPU fans of the box show the one CPU header.
        for (int boxFan : BoxFansOfServiceFan(FanSvc_GetFanName(i))) FbAcpi_SetFanDuty(boxFan, duty);
    }
}

void TfrmObxTestMain::FbAcpi_PushVolume() {
    float volume = 0;
    // Without the audio library there is no volume to show: its 0 would reset the box.
    if (!VistaGetMasterVolume(&volume)) return;
    const int percent = VolumePercent(volume);
    FbAcpi_SetVolume(percent);
    // What the box shows now: a knob turned to another percent is a change, even to 0.
    boxCache.volume = static_cast<uint8_t>(percent);
}
