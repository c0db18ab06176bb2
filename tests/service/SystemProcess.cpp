#include "SystemProcess.h"

#include "system/Handles.h"

namespace test {

ProgramResult RunProgram(const std::wstring& commandLine, DWORD timeoutMs) {
    ProgramResult result;
    StartedProgram program(commandLine, {.output = true});
    if (!program.Started()) {
        result.output = "CreateProcess failed: " + std::to_string(program.StartError());
        return result;
    }
    result.exitCode = program.WaitForExit(timeoutMs);
    result.finished = !program.Running();
    if (!result.finished) result.exitCode = 0;
    program.End(0xDEAD);
    result.output = program.Output();
    return result;
}

DWORD ServiceStateOf(const wchar_t* service) {
    tolo::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    tolo::ServiceHandle installed(manager ? OpenServiceW(manager.Get(), service, SERVICE_QUERY_STATUS)
                                          : nullptr);
    SERVICE_STATUS status{};
    if (!installed || !QueryServiceStatus(installed.Get(), &status)) return 0;
    return status.dwCurrentState;
}

DWORD WaitForServiceState(const wchar_t* service, DWORD state) {
    DWORD now = ServiceStateOf(service);
    for (int i = 0; i < 200 && now != state; ++i, now = ServiceStateOf(service)) Sleep(100);
    return now;
}

ProgramResult Net(const wchar_t* verb, const wchar_t* service) {
    return RunProgram(std::wstring(L"net.exe ") + verb + L" " + service, 60000);
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
