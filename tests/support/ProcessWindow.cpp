#include "ProcessWindow.h"

#include <cwchar>

namespace test {

namespace {

struct Search {
    DWORD pid;
    const wchar_t* cls;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK Match(HWND window, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != s->pid) return TRUE;
    wchar_t text[256] = {};
    GetClassNameW(window, text, 256);
    if (std::wcscmp(text, s->cls) != 0) return TRUE;
    if (s->caption) {
        text[0] = 0;
        GetWindowTextW(window, text, 256);
        if (std::wcscmp(text, s->caption) != 0) return TRUE;
    }
    s->found = window;
    return FALSE;
}

}  // namespace

HWND FindProcessWindow(DWORD pid, const wchar_t* cls, DWORD waitMs, const wchar_t* caption) {
    const DWORD start = GetTickCount();
    for (;;) {
        Search s{pid, cls, caption, nullptr};
        EnumWindows(Match, reinterpret_cast<LPARAM>(&s));
        if (s.found || GetTickCount() - start >= waitMs) return s.found;
        Sleep(50);
    }
}

}  // namespace test
