// What the fan service keeps beyond its own process, as system tests read it: its settings file
// on the disk and the "BIOS fan patch" value that directs its start-up restore.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace test {

// The service's settings file beside its executable (built beside the test program).
std::wstring FanStorePath();

// A file's bytes; empty when it cannot be read.
std::string ReadTextFile(const std::wstring& path);
// How often what occurs in text.
size_t CountOf(const std::string& text, const std::string& what);

// "BIOS fan patch" under HKEY_LOCAL_MACHINE: false when it is missing or not a DWORD.
bool ReadPatchValue(DWORD* value);
// Sets the DWORD value, creating the key when needed.
void SetPatchValue(DWORD value);
void DeletePatchValue();

// Deletes what a service leaves for the next one to start from: its settings file and "BIOS fan
// patch".
void ForgetServiceState();

}  // namespace test
