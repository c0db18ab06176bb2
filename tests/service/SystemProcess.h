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

// An installed service as the service control manager reports it: its current state, 0 when it
// is not installed.
DWORD ServiceStateOf(const wchar_t* service);
// Waits for the state the service sets: the manager reports it a moment after "net start" or
// "net stop" has returned. The state reached, or the last one seen after 20 seconds.
DWORD WaitForServiceState(const wchar_t* service, DWORD state);
// "net start" or "net stop" of a service.
ProgramResult Net(const wchar_t* verb, const wchar_t* service);

// Processes of the prefix whose executable has this file name.
// Registry probes.
bool KeyExists(HKEY root, const std::wstring& path);
// The string value (name null: the default value); false when missing or not a string.
bool ReadString(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* value);

}  // namespace test
