#include "Trace.h"

#include <windows.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
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

void TraceError(const char* format, ...) {
    char buf[4096];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buf, 4094, format, args);
    va_end(args);
    if (n < 0 || n > 4093) {  // an overlong text keeps its first 4093 characters
        buf[4093] = 0;
        n = static_cast<int>(std::strlen(buf));
    }
    while (n > 0 && std::isspace(static_cast<unsigned char>(buf[n - 1]))) --n;
    buf[n++] = '\r';
    buf[n++] = '\n';
    buf[n] = 0;
    TraceA(buf);
}

void SetTraceHook(TraceHook hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_hook = std::move(hook);
}

}  // namespace tolo
