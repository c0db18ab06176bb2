// The board's product name through WMI, a narrow-to-wide conversion, and the registry wrappers of
// the "BIOS fan patch" value.
#pragma once

#include <windows.h>

#include <string>

// Copies the string property of the instance-th object of a WMI class (namespace ROOT\cimv2) into
// buffer (512 characters); the buffer stays untouched when there is no such object.
HRESULT QueryWmiProperty(const wchar_t* className, const wchar_t* propertyName, wchar_t* buffer,
                         int instance);
HRESULT GetBoardProductByWmi(wchar_t* buffer);

std::wstring NarrowToWide(const char* text);

bool RegCreateKeyHelper(HKEY* key, HKEY root, const char* subkey, REGSAM access);
bool RegOpenKeyHelper(HKEY* key, HKEY root, const char* subkey, REGSAM access);
// True only when the value exists and is a REG_DWORD.
bool RegReadDword(HKEY key, const char* name, DWORD* value);
bool RegWriteDword(HKEY key, const char* name, DWORD value);
