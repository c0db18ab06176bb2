#include "Capture.h"

#include "system/Input.h"
#include "system/MessageBox.h"
#include "system/Trace.h"

namespace test {

MessageBoxCapture::MessageBoxCapture(int answer) {
    tolo::SetMessageBoxHook([this, answer](const std::wstring& text, const std::wstring& caption, UINT type) {
        std::lock_guard<std::mutex> l(lock_);
        boxes_.push_back({text, caption, type});
        return answer;
    });
}

MessageBoxCapture::~MessageBoxCapture() {
    tolo::SetMessageBoxHook(nullptr);
}

std::vector<CapturedBox> MessageBoxCapture::Boxes() const {
    std::lock_guard<std::mutex> l(lock_);
    return boxes_;
}

TraceCapture::TraceCapture() {
    tolo::SetTraceHook([this](const std::wstring& text) {
        std::lock_guard<std::mutex> l(lock_);
        lines_.push_back(text);
    });
}

TraceCapture::~TraceCapture() {
    tolo::SetTraceHook(nullptr);
}

std::vector<std::wstring> TraceCapture::Lines() const {
    std::lock_guard<std::mutex> l(lock_);
    return lines_;
}

bool TraceCapture::Contains(const std::wstring& text) const {
    for (const auto& l : Lines())
        if (l.find(text) != std::wstring::npos) return true;
    return false;
}

InputCapture::InputCapture() {
    tolo::SetInputHook([this](const std::vector<INPUT>& inputs) {
        std::vector<KeyInput> keys;
        for (const INPUT& in : inputs)
            if (in.type == INPUT_KEYBOARD)
                keys.push_back({in.ki.wVk, (in.ki.dwFlags & KEYEVENTF_KEYUP) != 0});
        std::lock_guard<std::mutex> l(lock_);
        calls_.push_back(keys);
    });
}

InputCapture::~InputCapture() {
    tolo::SetInputHook(nullptr);
}

std::vector<std::vector<KeyInput>> InputCapture::Calls() const {
    std::lock_guard<std::mutex> l(lock_);
    return calls_;
}

}  // namespace test
