// Captures the system's message boxes, debugger traces and synthesised key strokes for the life of
// the object.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace test {

struct CapturedBox {
    std::wstring text, caption;
    UINT type;
};

class MessageBoxCapture {
public:
    explicit MessageBoxCapture(int answer = IDOK);
    ~MessageBoxCapture();
    std::vector<CapturedBox> Boxes() const;
    size_t Count() const { return Boxes().size(); }

private:
    mutable std::mutex lock_;
    std::vector<CapturedBox> boxes_;
};

class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::wstring> Lines() const;
    bool Contains(const std::wstring& text) const;

private:
    mutable std::mutex lock_;
    std::vector<std::wstring> lines_;
};

// One key of a SendInput call: its virtual key and whether it goes up.
struct KeyInput {
    WORD vk;
    bool up;
    bool operator==(const KeyInput&) const = default;
};

class InputCapture {
public:
    InputCapture();
    ~InputCapture();
    // Each SendInput call of the process, its keyboard inputs in order.
    std::vector<std::vector<KeyInput>> Calls() const;

private:
    mutable std::mutex lock_;
    std::vector<std::vector<KeyInput>> calls_;
};

}  // namespace test
