#include "Capture.h"

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

}  // namespace test
