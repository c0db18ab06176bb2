#include "Text.h"

namespace tolo {

std::wstring WideFromNarrow(const std::string& text, UINT codePage) {
    const int length = static_cast<int>(text.size());
    const int n = length ? MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0) : 0;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (n) MultiByteToWideChar(codePage, 0, text.data(), length, wide.data(), n);
    return wide;
}

std::string NarrowFromWide(const wchar_t* text, size_t length, UINT codePage) {
    const int wide = static_cast<int>(length);
    const int n =
        text && wide ? WideCharToMultiByte(codePage, 0, text, wide, nullptr, 0, nullptr, nullptr) : 0;
    std::string narrow(static_cast<size_t>(n), '\0');
    if (n) WideCharToMultiByte(codePage, 0, text, wide, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

}  // namespace tolo
