#include "StartedProgram.h"

namespace test {

std::wstring BuiltProgram(const wchar_t* fileName) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + fileName;
}

StartedProgram::StartedProgram(const std::wstring& commandLine, const Options& options) {
    std::wstring line = commandLine;
    std::wstring desktop = options.desktop ? options.desktop : L"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    if (options.desktop) si.lpDesktop = desktop.data();
    tolo::UniqueHandle out;
    if (options.output) {
        wchar_t dir[MAX_PATH], file[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        GetTempFileNameW(dir, L"out", 0, file);
        outputFile_ = file;
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        out.Reset(CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out.Get();
        si.hStdError = out.Get();
    }
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, options.output, 0, nullptr, nullptr, &si,
                        &pi)) {
        startError_ = GetLastError();
        return;
    }
    tolo::UniqueHandle thread(pi.hThread);
    process_.Reset(pi.hProcess);
    id_ = pi.dwProcessId;
    threadId_ = pi.dwThreadId;
}

StartedProgram::~StartedProgram() {
    End(1);
    if (!outputFile_.empty()) DeleteFileW(outputFile_.c_str());
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

void StartedProgram::End(UINT exitCode) {
    if (Running()) {
        TerminateProcess(process_.Get(), exitCode);
        WaitForSingleObject(process_.Get(), 5000);
    }
}

std::string StartedProgram::Output() const {
    std::string text;
    if (outputFile_.empty()) return text;
    tolo::UniqueHandle in(CreateFileW(outputFile_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    char buffer[4096];
    DWORD n = 0;
    while (in && ReadFile(in.Get(), buffer, sizeof(buffer), &n, nullptr) && n > 0) text.append(buffer, n);
    return text;
}

}  // namespace test
