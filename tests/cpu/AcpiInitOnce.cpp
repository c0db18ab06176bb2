// The tool's ACPI library binding as the clock monitor's tests need it: quilacpiex.dll beside the
// test program, bound by name once.
#include <windows.h>

#include "bios/AcpiLibrary.h"

int AcpiInitOnce() {
    static const bool bound = [] {
        HMODULE m = LoadLibraryW(L"quilacpiex.dll");  // kept for the life of the process
        if (!m) return false;
        auto proc = [m](const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); };
        acpi::Binding& b = acpi::g_binding;
        b.Init = reinterpret_cast<acpi::InitFn>(proc("AcpiInit"));
        b.SetItem = reinterpret_cast<acpi::SetItemFn>(proc("AcpiSetItem"));
        b.GetItem = reinterpret_cast<acpi::GetItemFn>(proc("AcpiGetItem"));
        b.Mbif = reinterpret_cast<acpi::MbifFn>(proc("AcpiMbif"));
        b.GGrp = reinterpret_cast<acpi::GGrpFn>(proc("AcpiGGrp"));
        b.FirstArg = reinterpret_cast<acpi::FirstArgFn>(proc("AcpiFirstArg"));
        b.GetArgCount = reinterpret_cast<acpi::GetArgCountFn>(proc("AcpiGetArgCount"));
        b.GetArgType = reinterpret_cast<acpi::GetArgTypeFn>(proc("AcpiGetArgType"));
        b.GetArgData = reinterpret_cast<acpi::GetArgDataFn>(proc("AcpiGetArgData"));
        b.NextArg = reinterpret_cast<acpi::NextArgFn>(proc("AcpiNextArg"));
        b.CallMethod = reinterpret_cast<acpi::CallMethodFn>(proc("AcpiCallMethod"));
        return b.Init != nullptr;
    }();
    return bound ? acpi::Init() : 0;
}
