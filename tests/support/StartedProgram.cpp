#include "StartedProgram.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <cstdio>

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

std::vector<DWORD> ProcessesNamed(const wchar_t* fileName) {
    std::vector<DWORD> ids;
    tolo::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry))
        if (_wcsicmp(entry.szExeFile, fileName) == 0) ids.push_back(entry.th32ProcessID);
    return ids;
}

bool WaitUntilNoProcessNamed(const wchar_t* fileName, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!ProcessesNamed(fileName).empty()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(100);
    }
    return true;
}

bool QuitThreadsOf(DWORD processId) {
    bool taken = false;
    tolo::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return false;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
        if (entry.th32OwnerProcessID == processId && PostThreadMessageW(entry.th32ThreadID, WM_QUIT, 0, 0))
            taken = true;
    return taken;
}

size_t EndLeftoverPrograms() {
    // The tool first: it may hold the server, which goes last.
    static const wchar_t* const kPrograms[] = {L"ObxTT.exe", L"QuilSysCtl.exe", L"QuilFanControlService.exe"};
    size_t ended = 0;
    for (const wchar_t* name : kPrograms)
        for (DWORD id : ProcessesNamed(name)) {
            tolo::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
            if (!process || WaitForSingleObject(process.Get(), 0) != WAIT_TIMEOUT) continue;
            const bool asked = QuitThreadsOf(id);
            const bool quit = asked && WaitForSingleObject(process.Get(), 10000) == WAIT_OBJECT_0;
            if (!quit) {
                TerminateProcess(process.Get(), 0xDEAD);
                WaitForSingleObject(process.Get(), 5000);
            }
            std::printf("[ LEFTOVER ] %ls (process %lu), left running by an earlier test, %s\n", name,
                        static_cast<unsigned long>(id), quit ? "quit when asked" : "killed");
            std::fflush(stdout);
            ++ended;
        }
    return ended;
}

bool ForgetClassOfKilledServer(REFCLSID clsid) {
    IUnknown* factory = nullptr;
    const HRESULT hr = CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IUnknown,
                                        reinterpret_cast<void**>(&factory));
    if (factory) factory->Release();
    if (hr == REGDB_E_CLASSNOTREG) return false;
    for (DWORD id : ProcessesNamed(L"rpcss.exe")) {
        tolo::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (process && TerminateProcess(process.Get(), 0xDEAD)) WaitForSingleObject(process.Get(), 5000);
    }
    std::printf(
        "[ LEFTOVER ] the class of a server that was killed, still registered (%08lx): "
        "rpcss.exe ended to forget it\n",
        static_cast<unsigned long>(hr));
    std::fflush(stdout);
    return true;
}

}  // namespace test
