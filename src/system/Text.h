// Conversions between the system's narrow texts and UTF-16. The code page says what the narrow side
// is: the ANSI code page for names the firmware gives, UTF-8 for the texts of FanStore.xml.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace tolo {

std::wstring WideFromNarrow(const std::string& text, UINT codePage);
std::string NarrowFromWide(const wchar_t* text, size_t length, UINT codePage);

}  // namespace tolo
