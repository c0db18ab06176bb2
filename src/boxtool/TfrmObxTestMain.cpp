#include "TfrmObxTestMain.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstring>
#include <cwctype>
#include <exception>
#include <string>

#include "AcpiLoader.h"
#include "CpuManager.h"
#include "FanServiceClient.h"
#include "FbAcpi.h"
#include "HidBinding.h"
#include "Probesensor.h"
#include "QuilSysProcNotify.h"
#include "TOrbixBoxUsb.h"
#include "ToolError.h"
#include "bios/BiosInterface.h"
#include "system/MessageBox.h"
#include "system/Trace.h"

TApplication Application;
TfrmObxTestMain* frmObxTestMain = nullptr;
TOrbixBoxUsb* g_orbixBoxUsb = nullptr;

namespace {

constexpr wchar_t kApplicationTitle[] = L"ObxTT";

// The test panel as the form's resource describes it. A field's label carries its number.
struct TestField {
    int row;
    const wchar_t* label;
    const wchar_t* text;  // the default
    int minimum, maximum;
};
constexpr TestField kTestFieldTable[kTestFields] = {
    {0, L"CPU Temperature", L"50", 0, 100},      // Edit1
    {1, L"MB Temperature", L"45", 0, 100},       // Edit2
    {2, L"Ratio", L"12", 0, 100},                // Edit3
    {3, L"BCLK", L"200", 50, 4000},              // Edit4
    {4, L"CPU1 FAN RPM", L"800", 0, 10000},      // Edit5
    {5, L"CPU2 FAN RPM", L"800", 0, 10000},      // Edit6
    {6, L"Chassis1 FAN RPM", L"800", 0, 10000},  // Edit7
    {7, L"Chassis2 FAN RPM", L"800", 0, 10000},  // Edit8
    {8, L"Chassis3 FAN RPM", L"800", 0, 10000},  // Edit9
    {10, L"CPU1 FAN Duty", L"5", 0, 100},        // Edit10
    {11, L"CPU2 FAN Duty", L"8", 0, 100},        // Edit11
    {12, L"Chassis1 FAN Duty", L"7", 0, 100},    // Edit12
    {13, L"Chassis2 FAN Duty", L"5", 0, 100},    // Edit13
    {14, L"Chassis3 FAN Duty", L"3", 0, 100},    // Edit14
};

struct TestButton {
    int row;
    const wchar_t* caption;
    TNotifyEvent onClick;  // null: no action
};
const TestButton kTestButtonTable[kTestButtons] = {
    {0, L"Write", &TfrmObxTestMain::Button1Click},
    {1, L"Write", &TfrmObxTestMain::Button2Click},
    {4, L"Write", &TfrmObxTestMain::Button3Click},
    {3, L"Write", &TfrmObxTestMain::Button4Click},
    {5, L"Write", &TfrmObxTestMain::Button5Click},
    {6, L"Write", &TfrmObxTestMain::Button6Click},
    {7, L"Write", &TfrmObxTestMain::Button7Click},
    {8, L"Write", &TfrmObxTestMain::Button8Click},
    {9, L"Sync Time", &TfrmObxTestMain::Button9Click},
    {10, L"Write", &TfrmObxTestMain::Button10Click},
    {11, L"Write", &TfrmObxTestMain::Button11Click},
    {12, L"Write", &TfrmObxTestMain::Button12Click},
    {13, L"Write", &TfrmObxTestMain::Button13Click},
    {14, L"Write", &TfrmObxTestMain::Button14Click},
    {15, L"Mute Switch", nullptr},
};

// Layout of the panel, in pixels.
constexpr int kRowHeight = 26;
constexpr int kMargin = 8;
constexpr int kLabelWidth = 130;
constexpr int kEditWidth = 80;
constexpr int kButtonWidth = 90;
constexpr int kControlHeight = 22;
constexpr int kRows = 16;

constexpr UINT_PTR kSetToBoxTimerId = 1;
constexpr UINT_PTR kGetFromBoxTimerId = 2;
constexpr UINT_PTR kDealWMTimerId = 3;

// How long the session's end waits for the duty workers: well inside the five seconds after which
// the system offers to end a program that holds up the end.
constexpr DWORD kSessionEndWorkersMs = 3000;

TfrmObxTestMain* FormOf(HWND window) {
    return reinterpret_cast<TfrmObxTestMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

HINSTANCE ModuleInstance() {
    return GetModuleHandleW(nullptr);
}

void RegisterFormClass(WNDPROC proc) {
    static const bool registered = [proc] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = proc;
        wc.hInstance = ModuleInstance();
        wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // the arrow
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        wc.lpszClassName = kFormClassName;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;  // a failure shows as the window's creation failing
}

HWND CreateChild(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle, int x,
                 int y, int width, int id) {
    HWND child =
        CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, width, kControlHeight,
                        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ModuleInstance(), nullptr);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    return child;
}

// A whole number as the framework reads one: optional blanks, an optional sign, digits, nothing
// after them.
bool ParseWholeNumber(const std::wstring& text, int* value) {
    size_t i = 0;
    while (i < text.size() && text[i] == L' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+')) negative = text[i++] == L'-';
    if (i == text.size()) return false;
    long long n = 0;
    for (; i < text.size(); ++i) {
        if (!iswdigit(text[i])) return false;
        n = n * 10 + (text[i] - L'0');
        if (n > 0x80000000LL) return false;
    }
    if (negative) n = -n;
    if (n > 0x7FFFFFFFLL) return false;
    *value = static_cast<int>(n);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TTimer

TTimer::TTimer(TfrmObxTestMain* form, UINT_PTR id, UINT interval, TNotifyEvent handler)
    : form_(form), id_(id), interval_(interval), handler_(handler) {}

TTimer::~TTimer() {
    if (running_ && form_->Handle()) KillTimer(form_->Handle(), id_);
}

void TTimer::SetEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    Update();
}

void TTimer::SetInterval(UINT interval) {
    if (interval == interval_) return;
    interval_ = interval;
    Update();
}

void TTimer::SetOnTimer(TNotifyEvent handler) {
    handler_ = handler;
    Update();
}

void TTimer::Tick() {
    if (handler_) Application.Dispatch(form_, handler_, this);
}

void TTimer::Update() {
    HWND window = form_->Handle();
    if (running_ && window) KillTimer(window, id_);
    running_ = enabled_ && interval_ != 0 && handler_ && window && SetTimer(window, id_, interval_, nullptr);
}

// ---------------------------------------------------------------------------------------------
// TApplication

bool HasDebugSwitch(const char* commandLine) {
    return commandLine && std::strstr(commandLine, "swdebug") != nullptr;
}

TfrmObxTestMain* TApplication::CreateForm() {
    auto* form = new TfrmObxTestMain(nullptr);  // the main form lives as long as the process
    Dispatch(form, &TfrmObxTestMain::FormCreate, form);
    return form;
}

void TApplication::Run() {
    if (ShowMainForm && frmObxTestMain && frmObxTestMain->Handle())
        ShowWindow(frmObxTestMain->Handle(), SW_SHOWNORMAL);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void TApplication::Terminate() {
    PostQuitMessage(0);
}

void TApplication::HandleException() {
    try {
        throw;
    } catch (const ToolError& e) {
        ShowException(e.Text().c_str());
    } catch (const std::exception& e) {
        ShowException(tolo::AnsiToWide(e.what()).c_str());
    } catch (...) {
        ShowException(L"");
    }
}

void TApplication::ShowException(const wchar_t* text) {
    tolo::ShowMessageBoxW(text, kApplicationTitle, MB_OK | MB_ICONSTOP);
}

void TApplication::Dispatch(TfrmObxTestMain* form, TNotifyEvent handler, void* sender) {
    // Nothing may unwind through the window procedure: every handler ends here.
    try {
        (form->*handler)(sender);
    } catch (...) {
        HandleException();
    }
}

// ---------------------------------------------------------------------------------------------
// TfrmObxTestMain

TfrmObxTestMain::TfrmObxTestMain(HWND owner)
    : tmrSetToBox(this, kSetToBoxTimerId, 5000, &TfrmObxTestMain::tmrSetToBoxTimer),
      tmrGetFromBox(this, kGetFromBoxTimerId, 2000, &TfrmObxTestMain::tmrGetFromBoxTimer),
      tmrDealWM(this, kDealWMTimerId, 200, &TfrmObxTestMain::tmrDealWMTimer) {
    frmObxTestMain = this;
    try {
        // The form as its resource describes it: hidden, the timers disabled.
        RegisterFormClass(&TfrmObxTestMain::FormWindowProc);
        RECT frame{0, 0, 2 * kMargin + kLabelWidth + kEditWidth + kButtonWidth + 2 * kMargin,
                   2 * kMargin + kRows * kRowHeight};
        const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        const DWORD exStyle = Application.MainFormOnTaskBar ? WS_EX_APPWINDOW : WS_EX_TOOLWINDOW;
        AdjustWindowRectEx(&frame, style, FALSE, exStyle);
        window_.Reset(CreateWindowExW(exStyle, kFormClassName, kFormCaption, style, CW_USEDEFAULT,
                                      CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top,
                                      owner, nullptr, ModuleInstance(), this));
        CreateTestPanel();

        tolo::TraceA("OBXEX Startup");
        ExecutableDirectory();
        AcpiInitOnce();
        for (uint8_t& duty : boxCache.duty) duty = 0;
        LoadHmLibrary();
        if (window_)
            ownProc_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
                window_.Get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TfrmObxTestMain::WinProcThunk)));
        CpuManager::Instance().Init();
        if (!g_orbixBoxUsb) g_orbixBoxUsb = new TOrbixBoxUsb();  // loads the HID library
        RegisterHidNotification();
        bool connected = g_orbixBoxUsb->ConnectToBox();
        EnableBoxTimers(connected);
    } catch (...) {
        // The form's creation failed: its window goes without calling back into it.
        if (window_) SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, 0);
        frmObxTestMain = nullptr;
        throw;
    }
}

TfrmObxTestMain::~TfrmObxTestMain() {
    if (window_) SetWindowLongPtrW(window_.Get(), GWLP_USERDATA, 0);
    if (frmObxTestMain == this) frmObxTestMain = nullptr;
}

void TfrmObxTestMain::CreateTestPanel() {
    HWND form = window_.Get();
    if (!form) return;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_UPDOWN_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    const int editX = kMargin + kLabelWidth;
    const int buttonX = editX + kEditWidth + kMargin;
    for (int i = 0; i < kTestFields; ++i) {
        const TestField& f = kTestFieldTable[i];
        int y = kMargin + f.row * kRowHeight;
        labels_[i] = CreateChild(form, L"STATIC", f.label, SS_LEFT, 0, kMargin, y + 3, kLabelWidth - kMargin,
                                 kLabelId + i + 1);
        edits_[i] = CreateChild(form, L"EDIT", f.text, WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL,
                                WS_EX_CLIENTEDGE, editX, y, kEditWidth, kEditId + i + 1);
        upDowns_[i] = CreateChild(form, UPDOWN_CLASSW, nullptr,
                                  UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS | UDS_NOTHOUSANDS, 0, 0, 0,
                                  0, kUpDownId + i + 1);
        SendMessageW(upDowns_[i], UDM_SETBUDDY, reinterpret_cast<WPARAM>(edits_[i]), 0);
        SendMessageW(upDowns_[i], UDM_SETRANGE32, static_cast<WPARAM>(f.minimum),
                     static_cast<LPARAM>(f.maximum));
        SendMessageW(upDowns_[i], UDM_SETPOS32, 0, static_cast<LPARAM>(_wtoi(f.text)));
    }
    for (int i = 0; i < kTestButtons; ++i) {
        const TestButton& b = kTestButtonTable[i];
        int y = kMargin + b.row * kRowHeight;
        // The buttons without a field of their own sit at the field column's start.
        int x = b.row == 9 || b.row == 15 ? editX : buttonX;
        buttons_[i] = CreateChild(form, L"BUTTON", b.caption, WS_TABSTOP | BS_PUSHBUTTON, 0, x, y,
                                  kButtonWidth, kButtonId + i + 1);
    }
}

void TfrmObxTestMain::FormCreate(void*) {
    tmrSetToBox.SetInterval(5000);
    tmrGetFromBox.SetInterval(2000);
    if (!IsFbAcpiMode()) return;  // HID mode: the constructor has set the timers
    FbAcpi_Enable();
    FbAcpi_SyncTime();
    FbAcpi_PushFanDuties();
    FbAcpi_PushVolume();
    g_quilSysProcNotify.Start(L"TfrmObxTestMain", &OnNotifyEvent);
    FbAcpi_SendCpuRatio(nullptr);
    tmrSetToBox.SetOnTimer(&TfrmObxTestMain::FbAcpi_SendCpuRatio);
    tmrSetToBox.SetEnabled(true);
}

void TfrmObxTestMain::FormClose(void*, TCloseAction&) {
    if (IsFbAcpiMode())
        FbAcpi_Disable();
    else
        g_orbixBoxUsb->SetHostState(false);
}

void TfrmObxTestMain::EnableBoxTimers(bool on) {
    if (on) {
        FanSvc_PushDutiesToBox();
        tmrSetToBoxTimer(nullptr);
        tmrGetFromBoxTimer(nullptr);  // records what the box holds without acting on it
    }
    tmrSetToBox.SetEnabled(on);
    tmrGetFromBox.SetEnabled(on);
}

bool TfrmObxTestMain::IsFbAcpiMode() {
    // Opening the box again on every test is what notices a box plugged in meanwhile.
    if (g_orbixBoxUsb && g_orbixBoxUsb->ConnectToBox()) return false;
    int value = 0;
    GetBiosItemValue(kFirmwareBoxSwitchItem, &value);
    return value == 1;
}

LRESULT TfrmObxTestMain::WinProcCallback(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_POWERBROADCAST) {
        if (IsFbAcpiMode()) {
            if (wParam == PBT_APMSUSPEND) {
                FbAcpi_Disable();
                tmrSetToBox.SetEnabled(false);
            } else if (wParam == PBT_APMRESUMESUSPEND) {
                FbAcpi_Enable();
                tmrSetToBox.SetOnTimer(&TfrmObxTestMain::FbAcpi_SendCpuRatio);
                tmrSetToBox.SetEnabled(true);
            }
        }
    } else if (message == WM_DEVICECHANGE) {
        if (!IsFbAcpiMode() && lParam != 0 &&
            (wParam == DBT_DEVNODES_CHANGED || wParam == DBT_DEVICEARRIVAL ||
             wParam == DBT_DEVICEREMOVECOMPLETE)) {
            EnableBoxTimers(false);
            tmrDealWM.SetEnabled(true);
        }
    }
    return CallWindowProcW(ownProc_, window_.Get(), message, wParam, lParam);
}

void TfrmObxTestMain::tmrDealWMTimer(void*) {
    tmrDealWM.SetEnabled(false);  // once per device change
    if (g_orbixBoxUsb->ConnectToBox()) EnableBoxTimers(true);
}

void TfrmObxTestMain::RegisterHidNotification() {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    static_assert(sizeof(filter) == 32, "the filter's size as the system expects it");
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    Hid_GetHidGuid(&filter.dbcc_classguid);
    // Unnoticed when it fails: the tool then never reconnects after an unplug.
    hidNotification_ = RegisterDeviceNotificationW(window_.Get(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

bool TfrmObxTestMain::FieldValue(int field, int* value) {
    HWND edit = Edit(field);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
    if (ParseWholeNumber(text, value)) return true;
    Application.ShowException((L"'" + text + L"' is not a valid integer value").c_str());
    return false;
}

LRESULT TfrmObxTestMain::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = window_.Get();
    switch (message) {
        case WM_TIMER:
            for (TTimer* t : {&tmrSetToBox, &tmrGetFromBox, &tmrDealWM})
                if (t->Id() == wParam) t->Tick();
            return 0;
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                int n = LOWORD(wParam) - kButtonId;
                if (n >= 1 && n <= kTestButtons && kTestButtonTable[n - 1].onClick)
                    Application.Dispatch(this, kTestButtonTable[n - 1].onClick, buttons_[n - 1]);
                return 0;
            }
            break;
        case WM_CLOSE: {
            TCloseAction action = caHide;
            try {
                FormClose(this, action);
            } catch (...) {
                Application.HandleException();
            }
            if (action != caNone) DestroyWindow(window);
            return 0;
        }
        case WM_ENDSESSION:
            // The session ends (log-off, shut-down): the process may be ended as soon as this
            // returns, without another message or its exit's clean-up, so the close happens here:
            // the box is told the host is gone, no later tick tells it otherwise, the notifier
            // unregisters (a knob it is acting on has started its worker by then), and the duties
            // on their way reach the service: a worker ended half way loses its duty and leaves its
            // manager held in the service.
            if (wParam) {
                try {
                    TCloseAction action = caHide;
                    FormClose(this, action);
                    for (TTimer* t : {&tmrSetToBox, &tmrGetFromBox, &tmrDealWM}) t->SetEnabled(false);
                    g_quilSysProcNotify.Stop();
                } catch (...) {
                    Application.HandleException();
                }
                FanSvc_EndDutyWorkers(kSessionEndWorkersMs);
            }
            return 0;
        case WM_DESTROY:
            if (frmObxTestMain == this) Application.Terminate();  // the main form closes the program
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            ReleaseWindow();
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK TfrmObxTestMain::FormWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    TfrmObxTestMain* form = FormOf(window);
    // Until CreateWindowExW has returned, the form does not know its window yet.
    if (!form || form->window_.Get() != window) return DefWindowProcW(window, message, wParam, lParam);
    return form->WndProc(message, wParam, lParam);
}

LRESULT CALLBACK TfrmObxTestMain::WinProcThunk(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TfrmObxTestMain* form = FormOf(window);
    if (!form) return CallWindowProcW(&TfrmObxTestMain::FormWindowProc, window, message, wParam, lParam);
    LRESULT result = 0;
    try {
        result = form->WinProcCallback(message, wParam, lParam);
    } catch (...) {
        Application.HandleException();
    }
    return result;
}
