// The box tool's only form. It is normally never shown: it owns the three timers that drive the
// box bridge, reacts to device arrival and removal and to suspend and resume in its window
// procedure, chooses between the USB box (HID mode) and the firmware box channel (firmware mode),
// and carries the test panel.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "system/Handles.h"

class TfrmObxTestMain;
class TOrbixBoxUsb;

// Handler of a timer or a button: sender is the control, null for a direct call.
using TNotifyEvent = void (TfrmObxTestMain::*)(void* sender);

enum TCloseAction { caNone, caHide, caFree, caMinimize };

// A timer of the form: a window timer on the form's window that runs its handler on the window
// thread. It runs while it is enabled, has a handler and a non-zero interval.
class TTimer {
public:
    TTimer(TfrmObxTestMain* form, UINT_PTR id, UINT interval, TNotifyEvent handler);
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on);
    UINT Interval() const { return interval_; }
    void SetInterval(UINT interval);
    TNotifyEvent OnTimer() const { return handler_; }
    void SetOnTimer(TNotifyEvent handler);
    UINT_PTR Id() const { return id_; }
    // One tick: runs the handler with this timer as sender.
    void Tick();

private:
    void Update();

    TfrmObxTestMain* form_;
    UINT_PTR id_;
    UINT interval_;
    TNotifyEvent handler_;
    bool enabled_ = false;
    bool running_ = false;
};

// The process's settings of the windowing: set by the program entry before the form is created.
class TApplication {
public:
    bool ShowMainForm = true;
    // Without it the form has no taskbar button of its own.
    bool MainFormOnTaskBar = true;

    // Constructs the main form, runs its creation handler and shows it when ShowMainForm.
    TfrmObxTestMain* CreateForm();
    // The message loop, until the main form is gone or Terminate.
    void Run();
    void Terminate();
    // The standard error display for the error being handled (call inside a catch block): a
    // message box with the error's text, an empty text for a thrown value that is no error.
    void HandleException();
    void ShowException(const wchar_t* text);
    // Runs a handler of the form; an error that leaves it goes to the standard error display.
    void Dispatch(TfrmObxTestMain* form, TNotifyEvent handler, void* sender);
};

extern TApplication Application;

// The command-line word that shows the form (case-sensitive, anywhere in the line).
bool HasDebugSwitch(const char* commandLine);

// Controls of the test panel, by number: LabelN, EditN, UpDownN (N 1..14), ButtonN (N 1..15).
constexpr int kTestFields = 14;
constexpr int kTestButtons = 15;
constexpr int kLabelId = 100;   // control id of Label1 - 1
constexpr int kEditId = 200;    // of Edit1 - 1
constexpr int kUpDownId = 300;  // of UpDown1 - 1
constexpr int kButtonId = 400;  // of Button1 - 1

// The box state cache: the box's last-known values, so that each is sent or applied only when it
// differs. The notifier's thread writes the audio mode and volume too, without a lock.
struct BoxStateCache {
    uint8_t duty[5];  // box fans 0..4: CPU1, CPU2, Chassis1, Chassis2, Chassis3
    uint8_t bossKey;  // the boss-key button bit
    uint8_t audioMode;
    uint8_t volume;  // percent
};

constexpr wchar_t kFormClassName[] = L"TfrmObxTestMain";
constexpr wchar_t kFormCaption[] = L"Orbix Box Test Form";
// The firmware box switch: reads 1 when the board's box is served by the firmware.
constexpr uint32_t kFirmwareBoxSwitchItem = 0x13060016;

// The box driver: its windows are named by class and caption under this key of HKEY_CURRENT_USER
// (string values formClass and formCaption) and are told the audio mode with this message, the
// mode in lParam.
constexpr wchar_t kBoxDriverKey[] = L"SOFTWARE\\QUIL\\Orbix Box Driver";
struct BoxDriverAudioModeMessage {
    static constexpr UINT kMessage = 0x465;
    static constexpr WPARAM kWParam = 0x935;
};
// What a search for the driver's windows takes of each value; longer values are cut.
constexpr size_t kBoxDriverCriterionChars = 254;
struct BoxDriverCriteria {
    std::wstring windowClass;  // matched exactly
    std::wstring caption;      // empty matches every caption
};
// Reads the criteria from the box driver key (absent values: empty); false when the key does not
// open.
bool ReadBoxDriverCriteria(BoxDriverCriteria* criteria);
// The windows the last FindAllWindow found, in the order the system listed them.
std::vector<HWND> BoxDriverWindows();
// Shown every window a search for the driver's windows meets, before the window is matched; none
// in the program. Tests hold a search here, or make it fail.
using WindowSearchProbe = void (*)(HWND window);
extern std::atomic<WindowSearchProbe> g_windowSearchProbe;

// Set for good the first time a fan sensor named "rad1a" is seen: the board cools the CPU with a
// radiator, whose two pumps are two service fans instead of one CPU header shown twice.
extern bool g_radiatorFlag;

class TfrmObxTestMain {
public:
    explicit TfrmObxTestMain(HWND owner);
    ~TfrmObxTestMain();
    TfrmObxTestMain(const TfrmObxTestMain&) = delete;
    TfrmObxTestMain& operator=(const TfrmObxTestMain&) = delete;

    HWND Handle() const { return window_.Get(); }

    void FormCreate(void* sender);
    void FormClose(void* sender, TCloseAction& action);
    void EnableBoxTimers(bool on);
    bool IsFbAcpiMode();
    LRESULT WinProcCallback(UINT message, WPARAM wParam, LPARAM lParam);
    void tmrDealWMTimer(void* sender);
    void RegisterHidNotification();

    // The box bridge cycles: the 5-second push and the 2-second pull with their steps.
    void tmrSetToBoxTimer(void* sender);
    void tmrGetFromBoxTimer(void* sender);
    void Box_SyncTime();
    void Box_SetSensors();
    void Box_SetCpuRatio();
    void Box_SetVolume();
    void Box_GetFanDuty(bool apply);
    void Box_GetButtons(bool apply);
    void Box_GetVolume(bool apply);
    void Box_GetAudioMode(bool apply);
    void BossKey();
    void SetModeToAudio(uint8_t mode);
    bool FindAllWindow(const wchar_t* windowClass, const wchar_t* caption);
    static BOOL CALLBACK EnumWindowsProc(HWND window, LPARAM param);
    void SendAltTab();
    void SendWinD();
    void Shell_MinimizeAll();
    // The test panel's buttons (Button15 has no action).
    void Button1Click(void* sender);
    void Button2Click(void* sender);
    void Button3Click(void* sender);
    void Button4Click(void* sender);
    void Button5Click(void* sender);
    void Button6Click(void* sender);
    void Button7Click(void* sender);
    void Button8Click(void* sender);
    void Button9Click(void* sender);
    void Button10Click(void* sender);
    void Button11Click(void* sender);
    void Button12Click(void* sender);
    void Button13Click(void* sender);
    void Button14Click(void* sender);

    // The firmware box channel's senders: the ratio (also the push timer's handler in firmware
    // mode), the fan service's duties and the master volume.
    void FbAcpi_SendCpuRatio(void* sender);
    void FbAcpi_PushFanDuties();
    void FbAcpi_PushVolume();
    // The knob as the firmware reports it: word = control << 8 | value. Control 1 sets the master
    // volume, controls 2 to 6 the duty of box fan control - 2.
    void Knob_Control(int word);
    // Box fan 0 to 4 to a box duty 0 to 10, on the service's fan behind it.
    void Knob_SetFanDuty(int fan, int duty);
    // The master volume in percent, unless the box state cache already holds it.
    void SetOsVol(int percent);

    // The number in an edit field of the test panel (1..14); false after the standard error box
    // when the field holds no whole number.
    bool FieldValue(int field, int* value);

    HWND Label(int n) const { return labels_[n - 1]; }
    HWND Edit(int n) const { return edits_[n - 1]; }
    HWND UpDown(int n) const { return upDowns_[n - 1]; }
    HWND Button(int n) const { return buttons_[n - 1]; }
    HDEVNOTIFY HidNotification() const { return hidNotification_; }

    // The form's own window procedure, which WinProcCallback passes every message on to.
    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    void CreateTestPanel();
    void ReleaseWindow() { window_.Release(); }
    static LRESULT CALLBACK FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK WinProcThunk(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    tolo::UniqueWindow window_;
    WNDPROC ownProc_ = nullptr;
    HWND labels_[kTestFields] = {};
    HWND edits_[kTestFields] = {};
    HWND upDowns_[kTestFields] = {};
    HWND buttons_[kTestButtons] = {};
    HDEVNOTIFY hidNotification_ = nullptr;  // kept for the life of the form, never unregistered

public:
    TTimer tmrSetToBox;
    TTimer tmrGetFromBox;
    TTimer tmrDealWM;
    BoxStateCache boxCache{};
};

// The form object, from the start of its construction on.
extern TfrmObxTestMain* frmObxTestMain;
// The box transport, created by the form's constructor and never deleted.
extern TOrbixBoxUsb* g_orbixBoxUsb;
