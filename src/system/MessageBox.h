// Every message box of the system goes through these two functions, so that tests can capture
// the text and caption instead of blocking on a window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tolo {

// Shows a message box without an owner window (production: MessageBoxA / MessageBoxW).
int ShowMessageBoxA(const char* text, const char* caption, UINT type = MB_OK);
int ShowMessageBoxW(const wchar_t* text, const wchar_t* caption, UINT type = MB_OK);

// Replaces the message box for this process; the hook gets the texts as wide strings (narrow
// ones converted from the ANSI code page) and returns what MessageBox would. An empty hook
// restores the real message box.
using MessageBoxHook = std::function<int(const std::wstring& text, const std::wstring& caption, UINT type)>;
void SetMessageBoxHook(MessageBoxHook hook);

std::wstring AnsiToWide(const char* text);

}  // namespace tolo
