#include "ProcessWindow.h"

#include <cwchar>

namespace test {

namespace {

struct Owned {
    DWORD pid;
    HWINSTA station;
    std::vector<HWND>* windows;
};

BOOL CALLBACK CollectOwned(HWND window, LPARAM param) {
    auto* s = reinterpret_cast<Owned*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == s->pid) s->windows->push_back(window);
    return TRUE;
}

// A desktop is opened by name within the process's window station: the test's is the other one's
// for that moment.
BOOL CALLBACK SearchDesktop(LPWSTR name, LPARAM param) {
    auto* s = reinterpret_cast<Owned*>(param);
    HWINSTA own = GetProcessWindowStation();
    if (!SetProcessWindowStation(s->station)) return TRUE;
    if (HDESK desktop = OpenDesktopW(name, 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE)) {
        EnumDesktopWindows(desktop, CollectOwned, param);
        CloseDesktop(desktop);
    }
    SetProcessWindowStation(own);
    return TRUE;
}

BOOL CALLBACK SearchStation(LPWSTR name, LPARAM param) {
    auto* s = reinterpret_cast<Owned*>(param);
    if (HWINSTA station = OpenWindowStationW(name, FALSE, WINSTA_ENUMDESKTOPS | WINSTA_ENUMERATE)) {
        Owned search{s->pid, station, s->windows};
        EnumDesktopsW(station, SearchDesktop, reinterpret_cast<LPARAM>(&search));
        CloseWindowStation(station);
    }
    return TRUE;
}

bool Matches(HWND window, const wchar_t* cls, const wchar_t* caption) {
    wchar_t text[256] = {};
    GetClassNameW(window, text, 256);
    if (std::wcscmp(text, cls) != 0) return false;
    if (!caption) return true;
    text[0] = 0;
    GetWindowTextW(window, text, 256);
    return std::wcscmp(text, caption) == 0;
}

}  // namespace

std::vector<HWND> WindowsOfProcess(DWORD pid) {
    std::vector<HWND> windows;
    Owned search{pid, nullptr, &windows};
    EnumWindowStationsW(SearchStation, reinterpret_cast<LPARAM>(&search));
    return windows;
}

HWND FindProcessWindow(DWORD pid, const wchar_t* cls, DWORD waitMs, const wchar_t* caption) {
    const DWORD start = GetTickCount();
    for (;;) {
        for (HWND window : WindowsOfProcess(pid))
            if (Matches(window, cls, caption)) return window;
        if (GetTickCount() - start >= waitMs) return nullptr;
        Sleep(50);
    }
}

}  // namespace test
