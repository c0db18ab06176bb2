// Every message box of the system goes through these two functions, so that tests can capture
// the text and caption instead of blocking on a window.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace tolo {

// Shows a message box without an owner window (production: MessageBoxA / MessageBoxW). In a
// process whose window station no user sees (a service's own) nobody could answer the box: with
// an unseen-message sink set, the text goes there instead and the call answers IDOK, as the box
// would once its OK button were pressed. The system's boxes all have that one button.
int ShowMessageBoxA(const char* text, const char* caption, UINT type = MB_OK);
int ShowMessageBoxW(const wchar_t* text, const wchar_t* caption, UINT type = MB_OK);

// Replaces the message box for this process; the hook gets the texts as wide strings (narrow
// ones converted from the ANSI code page) and returns what MessageBox would. An empty hook
// restores the real message box.
using MessageBoxHook = std::function<int(const std::wstring& text, const std::wstring& caption, UINT type)>;
void SetMessageBoxHook(MessageBoxHook hook);

// Where the messages of a process without a desktop anyone sees go (the fan service: its event
// log). Set it before any thread can show a message; an empty sink shows the box wherever the
// process runs.
using UnseenMessageSink = std::function<void(const std::wstring& text)>;
void SetUnseenMessageSink(UnseenMessageSink sink);

std::wstring AnsiToWide(const char* text);

}  // namespace tolo
