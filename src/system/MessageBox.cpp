#include "MessageBox.h"

#include <mutex>

namespace tolo {

namespace {
std::mutex g_hookLock;
MessageBoxHook g_hook;
UnseenMessageSink g_unseenSink;

MessageBoxHook CurrentHook() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_hook;
}

UnseenMessageSink CurrentUnseenSink() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_unseenSink;
}

// Only an interactive window station (WinSta0) is visible to a user; a service that does not
// interact with the desktop runs in one of its own. When the question cannot be answered the
// box is shown, as it always was.
bool DesktopSeen() {
    USEROBJECTFLAGS flags{};
    HWINSTA station = GetProcessWindowStation();
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), nullptr))
        return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The sink that takes the message, or an empty one when the box is to be shown.
UnseenMessageSink SinkForUnseenDesktop() {
    UnseenMessageSink sink = CurrentUnseenSink();
    if (sink && DesktopSeen()) sink = nullptr;
    return sink;
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
    if (UnseenMessageSink sink = SinkForUnseenDesktop()) {
        sink(AnsiToWide(text));
        return IDOK;
    }
    return MessageBoxA(nullptr, text, caption, type);
}

int ShowMessageBoxW(const wchar_t* text, const wchar_t* caption, UINT type) {
    if (MessageBoxHook hook = CurrentHook()) return hook(text ? text : L"", caption ? caption : L"", type);
    if (UnseenMessageSink sink = SinkForUnseenDesktop()) {
        sink(text ? text : L"");
        return IDOK;
    }
    return MessageBoxW(nullptr, text, caption, type);
}

void SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_hook = std::move(hook);
}

void SetUnseenMessageSink(UnseenMessageSink sink) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_unseenSink = std::move(sink);
}

}  // namespace tolo
