// The error the tool raises to its caller (the fan service unreachable, a member call refused):
// its text is what the error display shows.
#pragma once

#include <windows.h>

#include <exception>
#include <string>

class ToolError : public std::exception {
public:
    explicit ToolError(std::wstring text) : text_(std::move(text)) {
        int n = WideCharToMultiByte(CP_ACP, 0, text_.c_str(), -1, nullptr, 0, nullptr, nullptr);
        narrow_.resize(n > 0 ? n : 1);
        if (n > 0) WideCharToMultiByte(CP_ACP, 0, text_.c_str(), -1, narrow_.data(), n, nullptr, nullptr);
    }
    const std::wstring& Text() const { return text_; }
    // The text in the ANSI code page.
    const char* what() const noexcept override { return narrow_.c_str(); }

private:
    std::wstring text_;
    std::string narrow_;
};
