// The tool's binding of the maker's ACPI library: "quilacpiex.dll" from the tool's own directory,
// bound by export name into acpi::g_binding, which the tool's BIOS item library calls through.
#pragma once

#include <string>

// The running executable's path up to and including its last backslash; worked out on the first
// call and kept for the process.
const std::wstring& ExecutableDirectory();

// Loads the library and binds its exports; false (after telling the user) when the library or an
// export is missing. The library stays loaded for the process.
bool LoadAcpiLibrary();

// Binds the library when that has not been done and initialises it: the result of AcpiInit, 0
// when the library is unavailable.
int AcpiInitOnce();
