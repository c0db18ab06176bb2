// A stand-in for the box driver: a hidden top-level window of a given class and caption, run by a
// thread of its own, that records the audio-mode messages (0x465) it receives. And the box driver
// key of the current user that names the driver's windows.
#pragma once

#include <windows.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system/Handles.h"

namespace test {

struct DriverMessage {
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const DriverMessage&) const = default;
};

class BoxDriverWindow {
public:
    BoxDriverWindow(const std::wstring& windowClass, const std::wstring& caption);
    ~BoxDriverWindow();
    BoxDriverWindow(const BoxDriverWindow&) = delete;
    BoxDriverWindow& operator=(const BoxDriverWindow&) = delete;

    HWND Handle() const { return window_; }
    std::vector<DriverMessage> Messages() const;
    // How often the window was asked for its text (WM_GETTEXT).
    size_t TextRequests() const;
    // Waits for at least count messages, for at most about ten seconds, running the calling
    // thread's messages meanwhile, so that nothing another thread asks of this thread's windows
    // waits on the test.
    bool WaitForMessages(size_t count) const;

    // A window class of this process that no other process uses.
    static std::wstring UniqueClass();

private:
    static DWORD WINAPI ThreadProc(LPVOID self);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::wstring class_, caption_;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
    tolo::UniqueHandle ready_;
    tolo::UniqueHandle thread_;
    mutable std::mutex lock_;
    std::vector<DriverMessage> messages_;
    size_t textRequests_ = 0;
};

// HKCU "SOFTWARE\QUIL\Orbix Box Driver" for the life of the object: absent, or present with these
// values (nullopt: value absent). The key as it was comes back afterwards, unless it named a
// stand-in's class (UniqueClass): a test killed half way left that one.
class BoxDriverKey {
public:
    BoxDriverKey();
    BoxDriverKey(std::optional<std::wstring> windowClass, std::optional<std::wstring> caption);
    ~BoxDriverKey();
    BoxDriverKey(const BoxDriverKey&) = delete;
    BoxDriverKey& operator=(const BoxDriverKey&) = delete;

    // A value of any type, bytes as given.
    static void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes);

private:
    bool existed_ = false;
    std::optional<std::wstring> previousClass_, previousCaption_;
};

}  // namespace test
