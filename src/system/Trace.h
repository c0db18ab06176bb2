// Debugger traces of the system (OutputDebugString), through one function that tests can capture.
#pragma once

#include <functional>
#include <string>

namespace tolo {

void TraceA(const char* text);
void TraceW(const wchar_t* text);
// printf-style narrow trace.
void TraceF(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The utility library's error trace: printf-style, at most 4093 characters, trailing white space
// replaced by one CR LF.
void TraceError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Receives every trace of this process (narrow ones converted from the ANSI code page) instead of
// the debugger; an empty hook restores OutputDebugString.
using TraceHook = std::function<void(const std::wstring& text)>;
void SetTraceHook(TraceHook hook);

}  // namespace tolo
