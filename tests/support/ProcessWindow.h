// Finding a program's windows from a test: the top-level window of a class that one process owns.
#pragma once

#include <windows.h>

namespace test {

// The first top-level window of class cls (and, when given, with that caption) that process pid
// owns; polls for it up to waitMs, since a program creates its windows some time after it starts.
// Null when there is none by then.
HWND FindProcessWindow(DWORD pid, const wchar_t* cls, DWORD waitMs = 0, const wchar_t* caption = nullptr);

}  // namespace test
