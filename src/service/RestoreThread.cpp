// The restore thread: the start-up restore, then the hidden window "Fan Service" whose power
// broadcasts drive the resume restore.
#include "RestoreThread.h"

#include <objbase.h>

#include <cstdlib>
#include <cwchar>

#include "OsVersion.h"
#include "fancore/FanStore.h"
#include "system/Trace.h"

volatile LONG g_restoreDone = 0;
uint8_t g_powerSuspended = 0;

namespace {

constexpr wchar_t kPowerWindowName[] = L"Fan Service";

void RunRestore(int resume) {
    tolo::TraceA("QuilFanControlService Restore Fan");
    // Without the user's settings (FanStore.xml held by another program) the fans keep what the
    // firmware set: a restore would send the profiles' seeds in place of the saved curves.
    if (ShouldRestoreFans(resume) && FanStore::Instance().IsUsable()) RestoreFanSettings();
    tolo::TraceA("\nRestore Done\n");
}

bool IsResume(WPARAM event) {
    return event == PBT_APMRESUMECRITICAL || event == PBT_APMRESUMESUSPEND || event == PBT_APMRESUMEAUTOMATIC;
}

void OnPowerBroadcast(WPARAM event) {
    tolo::TraceA("*** WM_POWERBROADCAST  ***");
    if (g_powerSuspended && IsResume(event)) {
        wchar_t text[50];
        swprintf(text, 50, L"*** wParam = 0x%8X ***", static_cast<unsigned>(event));
        tolo::TraceW(text);
        RunRestore(1);
        g_powerSuspended = 0;
    } else if (event == PBT_APMSUSPEND) {
        g_powerSuspended = 1;
    }
}

}  // namespace

tolo::UniqueHandle StartRestoreThread(ThreadStarter start) {
    tolo::UniqueHandle thread;
    if (void* record = std::calloc(1, sizeof(RestoreThreadRecord))) {
        thread.Reset(reinterpret_cast<HANDLE>(start(nullptr, 0, RestoreFanThreadProc, record, 0, nullptr)));
        if (!thread) std::free(record);
    }
    if (!thread) InterlockedExchange(&g_restoreDone, 1);
    return thread;
}

unsigned __stdcall RestoreFanThreadProc(void* record) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // The firmware items the restore relies on are only served from Vista on. A restore that
    // throws (out of memory) may not end the thread: clients wait for the flag, and resumes for
    // the window.
    if (IsVistaOrLater()) {
        try {
            RunRestore(0);
        } catch (...) {
        }
    }
    InterlockedExchange(&g_restoreDone, 1);
    CreatePowerWindow(static_cast<RestoreThreadRecord*>(record));
    PowerWindowMessageLoop();
    CoUninitialize();
    return 0;
}

HWND CreatePowerWindow(RestoreThreadRecord* record) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = PowerWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszClassName = kPowerWindowName;
    // A second registration in the process fails harmlessly: the class is already there.
    RegisterClassExW(&wc);
    HWND window = CreateWindowW(kPowerWindowName, kPowerWindowName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (record) record->powerWindow = window;
    if (window) {
        ShowWindow(window, SW_HIDE);
        UpdateWindow(window);
    }
    return window;
}

void PowerWindowMessageLoop() {
    MSG msg;
    // GetMessage answers -1 on failure; looping on it would spin.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

LRESULT CALLBACK PowerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY: PostQuitMessage(0); return 0;
        case WM_POWERBROADCAST:
            // Nothing thrown may reach the system's frames, which the 32-bit unwinder cannot
            // cross: a restore that failed (out of memory) leaves the fans as they are, and the
            // window waits for the next suspend.
            try {
                OnPowerBroadcast(wParam);
            } catch (...) {
                g_powerSuspended = 0;
            }
            break;
        default: break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
