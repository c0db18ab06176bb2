#include "ServiceState.h"

#include <fstream>
#include <iterator>

#include "StartedProgram.h"

namespace test {

namespace {
const wchar_t kServiceKey[] = L"Software\\Quil\\QuilFanService";
}

std::wstring FanStorePath() {
    return BuiltProgram(L"FanStore.xml");
}

std::string ReadTextFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

void DeletePatchValue() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kServiceKey, L"BIOS fan patch");
}

void ForgetServiceState() {
    DeleteFileW(FanStorePath().c_str());
    DeletePatchValue();
}

}  // namespace test
