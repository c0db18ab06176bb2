// The programs built beside the test program, and starting one of them from a test.
#pragma once

#include <windows.h>

#include <string>

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

}  // namespace test
