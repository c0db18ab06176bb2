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
    explicit StartedProgram(const std::wstring& commandLine);
    // A program built beside the test, started without arguments.
    static std::wstring Beside(const wchar_t* fileName) { return L"\"" + BuiltProgram(fileName) + L"\""; }
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;
    bool Started() const { return static_cast<bool>(process_); }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.Get(); }
    bool Running() const;
    // The exit code once it ended within timeoutMs; STILL_ACTIVE otherwise.
    DWORD WaitForExit(DWORD timeoutMs);

private:
    tolo::UniqueHandle process_;
    DWORD id_ = 0;
};

}  // namespace test
