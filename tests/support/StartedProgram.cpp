#include "StartedProgram.h"

namespace test {

std::wstring BuiltProgram(const wchar_t* fileName) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + fileName;
}

StartedProgram::StartedProgram(const std::wstring& commandLine) {
    std::wstring line = commandLine;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    tolo::UniqueHandle thread(pi.hThread);
    process_.Reset(pi.hProcess);
    id_ = pi.dwProcessId;
}

StartedProgram::~StartedProgram() {
    if (Running()) {
        TerminateProcess(process_.Get(), 1);
        WaitForSingleObject(process_.Get(), 5000);
    }
}

bool StartedProgram::Running() const {
    return process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

DWORD StartedProgram::WaitForExit(DWORD timeoutMs) {
    if (!process_ || WaitForSingleObject(process_.Get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.Get(), &code);
    return code;
}

}  // namespace test
