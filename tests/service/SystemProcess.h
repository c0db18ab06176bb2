// Helpers of the system tests: running the real programs of the prefix and watching them.
#pragma once

#include <windows.h>

#include <string>

#include "support/StartedProgram.h"

namespace test {

struct ProgramResult {
    bool finished = false;  // false: still running after the time-out, and killed
    DWORD exitCode = 0;
    std::string output;  // standard output and error
};

// Runs a command line (the program found as CreateProcess finds it) and waits at most timeoutMs.
// A program that shows a message box never finishes here: nobody is there to close it.
ProgramResult RunProgram(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// Registry probes.
bool KeyExists(HKEY root, const std::wstring& path);
// The string value (name null: the default value); false when missing or not a string.
bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* value);

}  // namespace test
