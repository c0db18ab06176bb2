#include "Trace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "MessageBox.h"

namespace tolo {

namespace {
std::mutex g_hookLock;
TraceHook g_hook;

TraceHook CurrentHook() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_hook;
}
}  // namespace

void TraceA(const char* text) {
    if (TraceHook hook = CurrentHook()) return hook(AnsiToWide(text));
    OutputDebugStringA(text);
}

void TraceW(const wchar_t* text) {
    if (TraceHook hook = CurrentHook()) return hook(text ? text : L"");
    OutputDebugStringW(text);
}

void TraceF(const char* format, ...) {
    char buf[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    TraceA(buf);
}

void SetTraceHook(TraceHook hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_hook = std::move(hook);
}

}  // namespace tolo
