#include "BoxDriverWindow.h"

#include "boxtool/TfrmObxTestMain.h"

namespace test {

namespace {

const wchar_t kStandInClass[] = L"QuilBoxDriverStandIn";

std::optional<std::wstring> ReadValue(HKEY key, const wchar_t* name) {
    wchar_t text[1024] = {};
    DWORD type = 0, bytes = sizeof(text) - sizeof(wchar_t);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return std::nullopt;
    return std::wstring(text);
}

void WriteValue(HKEY key, const wchar_t* name, const std::optional<std::wstring>& value) {
    if (!value) {
        RegDeleteValueW(key, name);
        return;
    }
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                   static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
}

}  // namespace

BoxDriverWindow::BoxDriverWindow(const std::wstring& windowClass, const std::wstring& caption)
    : class_(windowClass), caption_(caption), ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    thread_.Reset(CreateThread(nullptr, 0, &BoxDriverWindow::ThreadProc, this, 0, &threadId_));
    if (thread_) WaitForSingleObject(ready_.Get(), 10000);
}

BoxDriverWindow::~BoxDriverWindow() {
    if (!thread_) return;
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
    PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_.Get(), 10000);
}

std::wstring BoxDriverWindow::UniqueClass() {
    return kStandInClass + std::to_wstring(GetCurrentProcessId());
}

std::vector<DriverMessage> BoxDriverWindow::Messages() const {
    std::lock_guard<std::mutex> l(lock_);
    return messages_;
}

size_t BoxDriverWindow::TextRequests() const {
    std::lock_guard<std::mutex> l(lock_);
    return textRequests_;
}

bool BoxDriverWindow::WaitForMessages(size_t count) const {
    for (int i = 0; i < 1000 && Messages().size() < count; ++i) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    return Messages().size() >= count;
}

DWORD WINAPI BoxDriverWindow::ThreadProc(LPVOID param) {
    auto* self = static_cast<BoxDriverWindow*>(param);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &BoxDriverWindow::WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = self->class_.c_str();
    RegisterClassExW(&wc);  // several stand-ins may share a class
    // Hidden, but top-level: a search walks the top-level windows.
    self->window_ = CreateWindowExW(0, self->class_.c_str(), self->caption_.c_str(), WS_OVERLAPPED, 0, 0, 10,
                                    10, nullptr, nullptr, wc.hInstance, nullptr);
    if (self->window_) SetWindowLongPtrW(self->window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    SetEvent(self->ready_.Get());
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    if (self->window_ && IsWindow(self->window_)) DestroyWindow(self->window_);
    return 0;
}

LRESULT CALLBACK BoxDriverWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<BoxDriverWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == BoxDriverAudioModeMessage::kMessage && self) {
        std::lock_guard<std::mutex> l(self->lock_);
        self->messages_.push_back({wParam, lParam});
        return 0;
    }
    if (message == WM_GETTEXT && self) {
        std::lock_guard<std::mutex> l(self->lock_);
        ++self->textRequests_;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

BoxDriverKey::BoxDriverKey() {
    tolo::RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kBoxDriverKey, 0, KEY_READ, key.Put()) == ERROR_SUCCESS) {
        previousClass_ = ReadValue(key.Get(), L"formClass");
        previousCaption_ = ReadValue(key.Get(), L"formCaption");
        // A key naming a stand-in's class was left by a test killed half way: not put back.
        existed_ = !previousClass_ || previousClass_->rfind(kStandInClass, 0) != 0;
        key.Reset();
        RegDeleteKeyW(HKEY_CURRENT_USER, kBoxDriverKey);
    }
}

BoxDriverKey::BoxDriverKey(std::optional<std::wstring> windowClass, std::optional<std::wstring> caption)
    : BoxDriverKey() {
    tolo::RegKey key;
    RegCreateKeyExW(HKEY_CURRENT_USER, kBoxDriverKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                    nullptr);
    WriteValue(key.Get(), L"formClass", windowClass);
    WriteValue(key.Get(), L"formCaption", caption);
}

BoxDriverKey::~BoxDriverKey() {
    RegDeleteKeyW(HKEY_CURRENT_USER, kBoxDriverKey);
    if (!existed_) return;
    tolo::RegKey key;
    RegCreateKeyExW(HKEY_CURRENT_USER, kBoxDriverKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                    nullptr);
    WriteValue(key.Get(), L"formClass", previousClass_);
    WriteValue(key.Get(), L"formCaption", previousCaption_);
}

void BoxDriverKey::SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    tolo::RegKey key;
    RegCreateKeyExW(HKEY_CURRENT_USER, kBoxDriverKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                    nullptr);
    RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
}

}  // namespace test
