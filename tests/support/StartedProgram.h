// The programs built beside the test program, starting one of them from a test, and the
// processes of the prefix.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "system/Handles.h"

namespace test {

// The full path of a file built beside the test program.
std::wstring BuiltProgram(const wchar_t* fileName);

// A program started by the test; ended by force when the object goes should it still run.
class StartedProgram {
public:
    struct Options {
        // Standard output and error into a file that Output() reads while the program runs (a pipe
        // would be inherited by a server that COM starts for the program, and outlive it).
        bool output = false;
        // "station\desktop" to start it on, instead of the test's own.
        const wchar_t* desktop = nullptr;
    };
    explicit StartedProgram(const std::wstring& commandLine) : StartedProgram(commandLine, Options{}) {}
    StartedProgram(const std::wstring& commandLine, const Options& options);
    // A program built beside the test, started without arguments.
    static std::wstring Beside(const wchar_t* fileName) { return L"\"" + BuiltProgram(fileName) + L"\""; }
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;
    bool Started() const { return static_cast<bool>(process_); }
    // CreateProcess's error when it did not start.
    DWORD StartError() const { return startError_; }
    DWORD Id() const { return id_; }
    // The program's first thread (the one that runs its entry).
    DWORD MainThreadId() const { return threadId_; }
    HANDLE Handle() const { return process_.Get(); }
    bool Running() const;
    // The exit code once it ended within timeoutMs; STILL_ACTIVE otherwise.
    DWORD WaitForExit(DWORD timeoutMs);
    // Ends it by force with this exit code, should it still run.
    void End(UINT exitCode);
    // What it wrote so far (with Options::output).
    std::string Output() const;

private:
    tolo::UniqueHandle process_;
    DWORD id_ = 0, threadId_ = 0, startError_ = 0;
    std::wstring outputFile_;
};

// Processes of the prefix whose executable has this file name.
std::vector<DWORD> ProcessesNamed(const wchar_t* fileName);
// Waits until none is left; false when one still runs after timeoutMs.
bool WaitUntilNoProcessNamed(const wchar_t* fileName, DWORD timeoutMs);

// Posts a quit message to every thread of the process, as a service's stop does to its message
// loop; false when no thread of it takes messages.
bool QuitThreadsOf(DWORD processId);

// Ends each process of the system's programs (the fan service, the box tool, the stand-in
// system-control service) that an earlier test left running, by its process id, and names it on
// the standard output. Each is asked to quit first, so that a server revokes its class object (one
// killed with the class registered leaves every later activation in the prefix failing), and is
// killed when it has not ended within 10 seconds. For the set-up of the tests that run one at a
// time: no other test's programs run then. Answers how many it ended.
size_t EndLeftoverPrograms();

// Wine's COM keeps the class object of a server that was killed registered, and hands it to every
// later client of the class: they fail with RPC_S_SERVER_UNAVAILABLE until the prefix's COM service
// (rpcss.exe) starts afresh. For a class that no server should serve now (its registration removed,
// none of its servers running): when COM still hands one out, ends rpcss.exe, which the service
// manager starts again at the next call, and names it on the standard output. Answers whether it
// had to.
bool ForgetClassOfKilledServer(REFCLSID clsid);

}  // namespace test
