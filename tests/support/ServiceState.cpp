#include "ServiceState.h"

#include "StartedProgram.h"
#include "system/Handles.h"

namespace test {

namespace {
const wchar_t kServiceKey[] = L"Software\\Quil\\QuilFanService";
}

std::wstring FanStorePath() {
    return BuiltProgram(L"FanStore.xml");
}

std::string ReadTextFile(const std::wstring& path) {
    // Shared for delete, so that the reader never stands in the way of the service replacing the
    // file; Wine's replace itself keeps others out for an instant, so an open is tried again.
    tolo::UniqueHandle file;
    for (int tries = 0; tries < 100; ++tries) {
        file.Reset(CreateFileW(path.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.Valid() || GetLastError() != ERROR_SHARING_VIOLATION) break;
        Sleep(10);
    }
    std::string text;
    if (!file.Valid()) return text;
    char chunk[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) text.append(chunk, read);
    return text;
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool ReadPatchValue(DWORD* value) {
    DWORD size = sizeof(*value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"BIOS fan patch", RRF_RT_REG_DWORD, nullptr, value,
                        &size) == ERROR_SUCCESS;
}

void SetPatchValue(DWORD value) {
    tolo::RegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(),
                        nullptr) == ERROR_SUCCESS)
        RegSetValueExW(key.Get(), L"BIOS fan patch", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
}

void DeletePatchValue() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"BIOS fan patch");
}

void ForgetServiceState() {
    DeleteFileW(FanStorePath().c_str());
    DeletePatchValue();
}

}  // namespace test
