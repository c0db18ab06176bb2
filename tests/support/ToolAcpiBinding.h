// What the box tool's loader does before it touches BIOS items: bind the ACPI library
// ("quilacpiex.dll", beside the programs) by export name. For tests of the tool's build.
#pragma once

#include <windows.h>

#include "bios/AcpiLibrary.h"
#include "system/Handles.h"

namespace test {

// True when the library loaded; it stays loaded for the process.
inline bool BindToolAcpiLibrary() {
    static tolo::Module dll(LoadLibraryW(L"quilacpiex.dll"));
    if (!dll) return false;
    acpi::g_binding = acpi::Binding{dll.Proc<acpi::InitFn>("AcpiInit"),
                                    dll.Proc<acpi::SetItemFn>("AcpiSetItem"),
                                    dll.Proc<acpi::GetItemFn>("AcpiGetItem"),
                                    dll.Proc<acpi::MbifFn>("AcpiMbif"),
                                    dll.Proc<acpi::GGrpFn>("AcpiGGrp"),
                                    dll.Proc<acpi::FirstArgFn>("AcpiFirstArg"),
                                    dll.Proc<acpi::GetArgCountFn>("AcpiGetArgCount"),
                                    dll.Proc<acpi::GetArgTypeFn>("AcpiGetArgType"),
                                    dll.Proc<acpi::GetArgDataFn>("AcpiGetArgData"),
                                    dll.Proc<acpi::NextArgFn>("AcpiNextArg"),
                                    dll.Proc<acpi::CallMethodFn>("AcpiCallMethod"),
                                    dll.Proc<acpi::GetItemExFn>("AcpiGetItemEx"),
                                    dll.Proc<acpi::GetItemBufferFn>("AcpiGetItemBuffer"),
                                    dll.Proc<acpi::SetItemBufferFn>("AcpiSetItemBuffer")};
    return true;
}

}  // namespace test
