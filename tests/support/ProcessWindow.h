// Finding a program's windows from a test: the top-level windows that one process owns, on any
// desktop (an installed service's are on a desktop of its own window station, which the test's
// own desktop does not show).
#pragma once

#include <windows.h>

#include <vector>

namespace test {

// The first top-level window of class cls (and, when given, with that caption) that process pid
// owns; polls for it up to waitMs, since a program creates its windows some time after it starts.
// Null when there is none by then.
HWND FindProcessWindow(DWORD pid, const wchar_t* cls, DWORD waitMs = 0, const wchar_t* caption = nullptr);

// Every top-level window that process pid owns, on any desktop of any window station.
std::vector<HWND> WindowsOfProcess(DWORD pid);

}  // namespace test
