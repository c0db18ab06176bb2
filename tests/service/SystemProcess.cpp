#include "SystemProcess.h"

#include "system/Handles.h"

namespace test {

ProgramResult RunProgram(const std::wstring& commandLine, DWORD timeoutMs) {
    ProgramResult result;
    // The output goes to a file rather than a pipe: a server that COM starts may inherit it and
    // outlive the program.
    wchar_t dir[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"out", 0, file);
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    tolo::UniqueHandle out(CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out.Get();
    startup.hStdError = out.Get();
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        DeleteFileW(file);
        result.output = "CreateProcess failed: " + std::to_string(GetLastError());
        return result;
    }
    tolo::UniqueHandle process(info.hProcess), thread(info.hThread);
    out.Reset();
    if (WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0) {
        result.finished = true;
        GetExitCodeProcess(process.Get(), &result.exitCode);
    } else {
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), 5000);
    }
    tolo::UniqueHandle in(CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD n = 0;
    while (in && ReadFile(in.Get(), buffer, sizeof(buffer), &n, nullptr) && n > 0)
        result.output.append(buffer, n);
    in.Reset();
    DeleteFileW(file);
    return result;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    tolo::RegKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* value) {
    tolo::RegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return false;
    wchar_t buffer[1024];
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    buffer[size / sizeof(wchar_t)] = L'\0';
    *value = buffer;
    return true;
}

}  // namespace test
