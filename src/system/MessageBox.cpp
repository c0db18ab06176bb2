#include "MessageBox.h"

#include <mutex>

namespace tolo {

namespace {
std::mutex g_hookLock;
MessageBoxHook g_hook;

MessageBoxHook CurrentHook() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_hook;
}
}  // namespace

std::wstring AnsiToWide(const char* text) {
    if (!text || !*text) return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

int ShowMessageBoxA(const char* text, const char* caption, UINT type) {
    if (MessageBoxHook hook = CurrentHook()) return hook(AnsiToWide(text), AnsiToWide(caption), type);
    return MessageBoxA(nullptr, text, caption, type);
}

int ShowMessageBoxW(const wchar_t* text, const wchar_t* caption, UINT type) {
    if (MessageBoxHook hook = CurrentHook()) return hook(text ? text : L"", caption ? caption : L"", type);
    return MessageBoxW(nullptr, text, caption, type);
}

void SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_hook = std::move(hook);
}

}  // namespace tolo
