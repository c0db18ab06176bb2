// Captures the system's message boxes and debugger traces for the life of the object.
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

}  // namespace test
