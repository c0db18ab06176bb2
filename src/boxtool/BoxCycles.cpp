// The box bridge cycles in HID mode: every 5 s the machine's state goes to the box, every 2 s what
// the user set on the box comes back and is acted on once per change. Also the boss key, the
// audio-mode notice to the box driver's windows and the test panel's buttons.
#include <windows.h>
// After windows.h.
#include <shldisp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "CpuManager.h"
#include "FanServiceClient.h"
#include "Probesensor.h"
#include "QuilSysProcNotify.h"
#include "TOrbixBoxUsb.h"
#include "TfrmObxTestMain.h"
#include "Vistavolume.h"
#include "system/Handles.h"
#include "system/Input.h"
#include "system/Trace.h"

bool g_radiatorFlag = false;

namespace {

// A sensor's name as the routing rules see it: lower case, within its 32-byte field even when the
// library left no terminator.
std::string LowerName(const ProbeDataW& record) {
    std::string name(record.name, strnlen(record.name, sizeof(record.name)));
    for (char& c : name)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return name;
}

bool Has(const std::string& name, const char* part) {
    return name.find(part) != std::string::npos;
}

// One alternative of a routing rule: a name holding first (and second, when given) and not
// without (when given).
struct NameTerm {
    const char* first;
    const char* second;
    const char* without;
    bool Matches(const std::string& name) const {
        return first && Has(name, first) && (!second || Has(name, second)) &&
               (!without || !Has(name, without));
    }
};

// Fan sensors to the box's fan-speed registers: the first rule with a matching alternative wins.
struct FanSpeedRule {
    NameTerm alternatives[2];
    uint8_t reg;
};
constexpr FanSpeedRule kFanSpeedRules[] = {
    {{{"cpu", nullptr, "opt"}, {"rad1a", nullptr, nullptr}}, kBoxFanSpeed0 + 0},  // CPU1
    {{{"cpu", "opt", nullptr}, {"w_pump", "1", nullptr}}, kBoxFanSpeed0 + 1},     // CPU2
    {{{"cha", "1", nullptr}, {}}, kBoxFanSpeed0 + 2},                             // Chassis1
    {{{"cha", "2", nullptr}, {}}, kBoxFanSpeed0 + 3},                             // Chassis2
    {{{"cha", "3", nullptr}, {"rad2a", nullptr, nullptr}}, kBoxFanSpeed0 + 4},    // Chassis3
};

// The service fan behind each box fan. Without a radiator both CPU fans of the box show the one
// CPU header (service fan 0); with one, the second is the radiator's pump, service fan 4.
constexpr int kBoxFans = 5;
constexpr int kServiceFanOfBoxFan[2][kBoxFans] = {
    {0, 0, 1, 2, 3},  // no radiator
    {0, 4, 1, 2, 3},  // radiator
};

// Virtual keys of the boss key's two key strokes (left Alt + Tab, left Windows + D).
constexpr WORD kAltTab[] = {VK_LMENU, VK_TAB};
constexpr WORD kWinD[] = {VK_LWIN, 'D'};

// Presses the keys in order and lets them go in reverse order, in one SendInput call.
void SendKeyStroke(const WORD (&keys)[2]) {
    INPUT inputs[4] = {};
    for (int i = 0; i < 4; ++i) {
        inputs[i].type = INPUT_KEYBOARD;
        const bool up = i >= 2;
        inputs[i].ki.wVk = keys[up ? 3 - i : i];
        inputs[i].ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    }
    tolo::SendInputs(inputs, 4);
}

// The windows the last search found. Both the window thread and the notifier's listener search;
// each builds its list apart and only swaps it in here, so that no lock is held while it runs.
std::mutex g_windowListLock;
std::vector<HWND> g_windowList;

struct WindowSearch {
    const wchar_t* windowClass;
    const wchar_t* caption;
    std::vector<HWND> found;
    bool failed = false;
};

// A string value of the key, cut to what a search takes; empty when absent or not a string.
std::wstring ReadCriterion(HKEY key, const wchar_t* name) {
    // The value may grow between asking its size and reading it: ask again then.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD type = 0, bytes = 0;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return {};
        if (type != REG_SZ && type != REG_EXPAND_SZ) return {};
        // Room for a value stored without its terminator, and an odd byte count.
        std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 2, L'\0');
        DWORD size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
        LONG result =
            RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
        if (result == ERROR_MORE_DATA) continue;
        if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return {};
        std::wstring value(buffer.data(), wcsnlen(buffer.data(), size / sizeof(wchar_t)));
        if (value.size() > kBoxDriverCriterionChars) value.resize(kBoxDriverCriterionChars);
        return value;
    }
    return {};
}

// Steps shared by SetModeToAudio and the audio-mode pull: find the driver's windows and post the
// mode to each. The traces are SetModeToAudio's only.
void NotifyBoxDriver(TfrmObxTestMain& form, uint8_t mode, bool traced) {
    BoxDriverCriteria criteria;
    if (!ReadBoxDriverCriteria(&criteria)) return;
    if (traced) tolo::TraceA("OBXEX SetModeToAudio got Registry Value");
    if (criteria.windowClass.empty()) return;
    if (!form.FindAllWindow(criteria.windowClass.c_str(), criteria.caption.c_str())) return;
    if (traced) tolo::TraceA("OBXEX SetModeToAudio FindAllWindow!!");
    for (HWND window : BoxDriverWindows()) {
        if (traced)
            tolo::TraceF("OBXEX SetModeToAudio PostMessage: 0x%.8x, 0x%.8x",
                         static_cast<unsigned>(reinterpret_cast<UINT_PTR>(window)),
                         static_cast<unsigned>(mode));
        // A window that went away meanwhile just misses the notice.
        PostMessageW(window, BoxDriverAudioModeMessage::kMessage, BoxDriverAudioModeMessage::kWParam, mode);
    }
}

TOrbixBoxUsb& Box() {
    return *g_orbixBoxUsb;  // created by the form's constructor, before any timer or button
}

}  // namespace

bool ReadBoxDriverCriteria(BoxDriverCriteria* criteria) {
    tolo::RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kBoxDriverKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return false;
    criteria->windowClass = ReadCriterion(key.Get(), L"formClass");
    criteria->caption = ReadCriterion(key.Get(), L"formCaption");
    return true;
}

std::vector<HWND> BoxDriverWindows() {
    std::lock_guard<std::mutex> lock(g_windowListLock);
    return g_windowList;
}

// ---------------------------------------------------------------------------------------------
// The push: the machine's state to the box.

void TfrmObxTestMain::tmrSetToBoxTimer(void*) {
    Box().SetHostState(true);
    Box_SyncTime();
    Box_SetSensors();
    Box_SetCpuRatio();
    Box_SetVolume();
}

void TfrmObxTestMain::Box_SyncTime() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    Box().SetTime(kBoxTime, static_cast<uint8_t>(now.wHour), static_cast<uint8_t>(now.wMinute),
                  static_cast<uint8_t>(now.wSecond));
}

void TfrmObxTestMain::Box_SetSensors() {
    RefreshSensorData();
    // Every match is sent: the last one in the library's order stays on the box.
    const SensorPackage& temperatures = WindowSensorPackage(kTemperatureSensors);
    for (int i = 0; i < temperatures.count; ++i) {
        const std::string name = LowerName(temperatures.records[i]);
        const int16_t value = static_cast<int16_t>(temperatures.records[i].reading / 10);
        if (Has(name, "cpu"))
            Box().SetTemperature(kBoxCpuTemperature, value);
        else if (Has(name, "mb") || Has(name, "mother"))
            Box().SetTemperature(kBoxBoardTemperature, value);
    }
    const SensorPackage& fans = WindowSensorPackage(kFanSensors);
    for (int i = 0; i < fans.count; ++i) {
        const std::string name = LowerName(fans.records[i]);
        if (Has(name, "rad1a")) g_radiatorFlag = true;
        for (const FanSpeedRule& rule : kFanSpeedRules) {
            if (!rule.alternatives[0].Matches(name) && !rule.alternatives[1].Matches(name)) continue;
            Box().SetFanSpeed(rule.reg, static_cast<int16_t>(fans.records[i].reading & 0xFFFF));
            break;
        }
    }
    // In HID mode nothing is to come through the firmware's events: make sure no registration or
    // listener of the firmware channel is left over.
    g_quilSysProcNotify.Stop();
}

void TfrmObxTestMain::Box_SetCpuRatio() {
    float ratio = 0, maximum = 0, frequency = 0;
    CpuManager::Instance().GetCpuFrequency(&ratio, &maximum, &frequency);
    Box().SetCpuRatio(kBoxCpuRatio, static_cast<uint8_t>(static_cast<int>(ratio) & 0xFF));
    Box().SetBusClock(kBoxBusClock, static_cast<int16_t>(BusClockTenths(ratio, frequency) & 0xFFFF));
}

void TfrmObxTestMain::Box_SetVolume() {
    float volume = 0;
    // Without the audio library there is no volume to show: its 0 would undo the box's.
    if (!VistaGetMasterVolume(&volume)) return;
    const int percent = VolumePercent(volume);
    if (percent == boxCache.volume) return;
    tolo::TraceF("TfrmObxTestMain::Box_SetVolume - Volume: %d", percent);
    Box().SetVolume(static_cast<uint8_t>(percent));
    boxCache.volume = static_cast<uint8_t>(percent);
}

// ---------------------------------------------------------------------------------------------
// The pull: what the user set on the box, acted on once per change. Without a sender (the
// priming call after a connection) each step only records what the box holds. A register the box
// did not answer (it was unplugged, say) counts as unchanged: its 0 is nobody's setting.

void TfrmObxTestMain::tmrGetFromBoxTimer(void* sender) {
    const bool apply = sender != nullptr;
    Box_GetFanDuty(apply);
    Box_GetButtons(apply);
    Box_GetVolume(apply);
    Box_GetAudioMode(apply);
}

void TfrmObxTestMain::Box_GetFanDuty(bool apply) {
    uint8_t duties[kBoxFans] = {};
    bool read[kBoxFans] = {};
    for (int i = 0; i < kBoxFans; ++i)
        read[i] = Box().GetFanDuty(static_cast<uint8_t>(kBoxFanDuty0 + i), duties[i]);
    for (int i = 0; i < kBoxFans; ++i) {
        // A box that did not answer (unplugged, say) set nothing: its 0 would stop the fan.
        if (!read[i] || duties[i] == boxCache.duty[i]) continue;
        boxCache.duty[i] = duties[i];
        if (!apply) continue;
        FanSvc_SetDutyAsync(kServiceFanOfBoxFan[g_radiatorFlag ? 1 : 0][i], duties[i]);
        if (g_radiatorFlag || i > 1) continue;
        // Both CPU fans of the box stand for the one CPU header: turning either turns the other.
        // What the tool writes there is no change of the user's: the other register counts as
        // read and settled with it, so that the next pull does not send it back (and a change of
        // the other CPU fan within this pull gives way to this one).
        const int other = 1 - i;
        Box().SetFanDuty(static_cast<uint8_t>(kBoxFanDuty0 + other), duties[i]);
        boxCache.duty[other] = duties[other] = duties[i];
    }
}

void TfrmObxTestMain::Box_GetButtons(bool apply) {
    uint8_t status = 0;
    if (!Box().GetStatus(kBoxStatus, status)) return;
    const uint8_t bit = (status >> 1) & 1;
    if (bit == boxCache.bossKey) return;
    boxCache.bossKey = bit;
    // Pressing and releasing are both changes: each runs the boss key.
    if (apply) BossKey();
}

void TfrmObxTestMain::Box_GetVolume(bool apply) {
    uint8_t percent = 0;
    if (!Box().GetVolume(percent)) return;
    percent = std::min<uint8_t>(percent, 100);  // the box's scale ends at 100
    if (percent == boxCache.volume) return;
    tolo::TraceF("TfrmObxTestMain::Box_GetVolume - Volume: %d", percent);
    boxCache.volume = percent;
    if (!apply) return;
    VistaSetMasterVolume(PercentVolume(percent));
    VistaSetMute(false);
}

void TfrmObxTestMain::Box_GetAudioMode(bool apply) {
    uint8_t mode = 0;
    const bool read = Box().GetAudioMode(mode);
    // Traced on every call, what the box answered or the 0 of an unanswered query; only an
    // answer can change the cached mode.
    tolo::TraceF("Box_GetAudioMode - Mode: %d", mode);
    if (!read || mode == boxCache.audioMode) return;
    boxCache.audioMode = mode;
    if (apply) NotifyBoxDriver(*this, mode, false);
}

// ---------------------------------------------------------------------------------------------
// The boss key and the box driver's windows. Both also run on the notifier's listener thread.

void TfrmObxTestMain::BossKey() {
    VistaSetMute(true);
    SendAltTab();
    Sleep(100);
    SendWinD();
    Sleep(100);
    Shell_MinimizeAll();
}

void TfrmObxTestMain::SendAltTab() {
    SendKeyStroke(kAltTab);
}

void TfrmObxTestMain::SendWinD() {
    SendKeyStroke(kWinD);
}

void TfrmObxTestMain::Shell_MinimizeAll() {
    const HRESULT init = CoInitialize(nullptr);
    {
        static const CLSID kShellApplication = {
            0x13709620, 0xC279, 0x11CE, {0xA4, 0x9E, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
        tolo::ComPtr<IDispatch> shell;
        if (SUCCEEDED(CoCreateInstance(kShellApplication, nullptr,
                                       CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                       IID_IDispatch, shell.PutVoid())) &&
            shell)
            // The shell's automation object is an IShellDispatch: MinimizeAll straight through its
            // function table, no name lookup.
            static_cast<IShellDispatch*>(shell.Get())->MinimizeAll();
    }
    // A thread already in another apartment kind keeps it, and is not uninitialised.
    if (SUCCEEDED(init)) CoUninitialize();
}

void TfrmObxTestMain::SetModeToAudio(uint8_t mode) {
    tolo::TraceF("OBXEX SetModeToAudio mode: 0x%.8x", static_cast<unsigned>(mode));
    boxCache.audioMode = mode;  // the windows are told every time, changed or not
    NotifyBoxDriver(*this, mode, true);
}

bool TfrmObxTestMain::FindAllWindow(const wchar_t* windowClass, const wchar_t* caption) {
    WindowSearch search{windowClass ? windowClass : L"", caption ? caption : L"", {}};
    EnumWindows(&TfrmObxTestMain::EnumWindowsProc, reinterpret_cast<LPARAM>(&search));
    if (search.failed) search.found.clear();  // a search cut short finds nothing
    const bool found = !search.found.empty();
    std::lock_guard<std::mutex> lock(g_windowListLock);
    g_windowList.swap(search.found);
    return found;
}

std::atomic<WindowSearchProbe> g_windowSearchProbe{nullptr};

BOOL CALLBACK TfrmObxTestMain::EnumWindowsProc(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    // Nothing may unwind into the system's enumeration: whatever fails ends the search.
    try {
        if (WindowSearchProbe probe = g_windowSearchProbe) probe(window);
        wchar_t windowClass[64] = {};
        wchar_t caption[64] = {};
        GetClassNameW(window, windowClass, static_cast<int>(std::size(windowClass)));
        // The caption as the system keeps it: GetWindowText would ask a window of this process
        // by a message, and the notifier's listener searches while the window thread may be
        // waiting for it.
        InternalGetWindowText(window, caption, static_cast<int>(std::size(caption)));
        if (wcscmp(windowClass, search->windowClass) == 0 &&
            (!search->caption[0] || !caption[0] || wcscmp(caption, search->caption) == 0))
            search->found.push_back(window);
        return TRUE;  // every window is looked at
    } catch (...) {
        search->failed = true;
        return FALSE;
    }
}

// ---------------------------------------------------------------------------------------------
// The test panel: each button sends what its field holds, unchecked, with one register operation.

namespace {

using FieldSender = void (*)(int value);

struct PanelWrite {
    int field;
    FieldSender send;
};

constexpr PanelWrite kPanelWrites[] = {
    {1, [](int v) { Box().SetTemperature(kBoxCpuTemperature, static_cast<int16_t>(v)); }},    // Button1
    {2, [](int v) { Box().SetTemperature(kBoxBoardTemperature, static_cast<int16_t>(v)); }},  // Button2
    {5, [](int v) { Box().SetFanSpeed(kBoxFanSpeed0 + 0, static_cast<int16_t>(v)); }},        // Button3
    {0, nullptr},                                                                             // Button4
    {6, [](int v) { Box().SetFanSpeed(kBoxFanSpeed0 + 1, static_cast<int16_t>(v)); }},        // Button5
    {7, [](int v) { Box().SetFanSpeed(kBoxFanSpeed0 + 2, static_cast<int16_t>(v)); }},        // Button6
    {8, [](int v) { Box().SetFanSpeed(kBoxFanSpeed0 + 3, static_cast<int16_t>(v)); }},        // Button7
    {9, [](int v) { Box().SetFanSpeed(kBoxFanSpeed0 + 4, static_cast<int16_t>(v)); }},        // Button8
    {0, nullptr},                                                                             // Button9
    {10, [](int v) { Box().SetFanDuty(kBoxFanDuty0 + 0, static_cast<uint8_t>(v)); }},         // Button10
    {11, [](int v) { Box().SetFanDuty(kBoxFanDuty0 + 1, static_cast<uint8_t>(v)); }},         // Button11
    {12, [](int v) { Box().SetFanDuty(kBoxFanDuty0 + 2, static_cast<uint8_t>(v)); }},         // Button12
    {13, [](int v) { Box().SetFanDuty(kBoxFanDuty0 + 3, static_cast<uint8_t>(v)); }},         // Button13
    {14, [](int v) { Box().SetFanDuty(kBoxFanDuty0 + 4, static_cast<uint8_t>(v)); }},         // Button14
};

void PanelWriteOf(TfrmObxTestMain& form, int button) {
    const PanelWrite& write = kPanelWrites[button - 1];
    int value = 0;
    if (form.FieldValue(write.field, &value)) write.send(value);
}

}  // namespace

void TfrmObxTestMain::Button1Click(void*) {
    PanelWriteOf(*this, 1);
}
void TfrmObxTestMain::Button2Click(void*) {
    PanelWriteOf(*this, 2);
}
void TfrmObxTestMain::Button3Click(void*) {
    PanelWriteOf(*this, 3);
}
void TfrmObxTestMain::Button4Click(void*) {
    // Ratio and bus clock go together: neither is sent unless both fields hold numbers.
    int ratio = 0, busClock = 0;
    if (!FieldValue(3, &ratio) || !FieldValue(4, &busClock)) return;
    Box().SetCpuRatio(kBoxCpuRatio, static_cast<uint8_t>(ratio));
    Box().SetBusClock(kBoxBusClock, static_cast<int16_t>(busClock));
}
void TfrmObxTestMain::Button5Click(void*) {
    PanelWriteOf(*this, 5);
}
void TfrmObxTestMain::Button6Click(void*) {
    PanelWriteOf(*this, 6);
}
void TfrmObxTestMain::Button7Click(void*) {
    PanelWriteOf(*this, 7);
}
void TfrmObxTestMain::Button8Click(void*) {
    PanelWriteOf(*this, 8);
}
void TfrmObxTestMain::Button9Click(void*) {
    Box_SyncTime();
}
void TfrmObxTestMain::Button10Click(void*) {
    PanelWriteOf(*this, 10);
}
void TfrmObxTestMain::Button11Click(void*) {
    PanelWriteOf(*this, 11);
}
void TfrmObxTestMain::Button12Click(void*) {
    PanelWriteOf(*this, 12);
}
void TfrmObxTestMain::Button13Click(void*) {
    PanelWriteOf(*this, 13);
}
void TfrmObxTestMain::Button14Click(void*) {
    PanelWriteOf(*this, 14);
}
