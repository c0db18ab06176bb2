#include "AcpiLoader.h"

#include <windows.h>

#include "bios/AcpiLibrary.h"
#include "system/MessageBox.h"
#include "system/Trace.h"

namespace {

constexpr wchar_t kAcpiLibraryName[] = L"quilacpiex.dll";

// One export and the binding slot it fills, in the order the loader resolves them.
struct AcpiExport {
    const char* name;
    void** slot;
};

template <typename Fn>
void** Slot(Fn& fn) {
    return reinterpret_cast<void**>(&fn);
}

}  // namespace

const std::wstring& ExecutableDirectory() {
    static const std::wstring directory = [] {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            if (n == 0) return std::wstring();
            if (n < path.size()) {
                path.resize(n);
                break;
            }
            path.resize(path.size() * 2);  // cut: ask again with room
        }
        return path.substr(0, path.find_last_of(L'\\') + 1);
    }();
    return directory;
}

namespace {

bool BindAcpiLibrary() {
    acpi::Binding& b = acpi::g_binding;
    const AcpiExport exports[] = {
        {"AcpiInit", Slot(b.Init)},
        {"AcpiGetItem", Slot(b.GetItem)},
        {"AcpiGetItemEx", Slot(b.GetItemEx)},
        {"AcpiGetItemBuffer", Slot(b.GetItemBuffer)},
        {"AcpiSetItemBuffer", Slot(b.SetItemBuffer)},
        {"AcpiSetItem", Slot(b.SetItem)},
        {"AcpiMbif", Slot(b.Mbif)},
        {"AcpiGGrp", Slot(b.GGrp)},
        {"AcpiCallMethod", Slot(b.CallMethod)},
        {"AcpiFirstArg", Slot(b.FirstArg)},
        {"AcpiGetArgCount", Slot(b.GetArgCount)},
        {"AcpiNextArg", Slot(b.NextArg)},
        {"AcpiGetArgType", Slot(b.GetArgType)},
        {"AcpiGetArgData", Slot(b.GetArgData)},
    };
    std::wstring path = ExecutableDirectory() + kAcpiLibraryName;
    HMODULE library = LoadLibraryW(path.c_str());  // kept for the life of the process
    tolo::TraceW(path.c_str());
    bool complete = library != nullptr;
    for (const AcpiExport& e : exports) {
        if (!complete) break;
        *e.slot = reinterpret_cast<void*>(GetProcAddress(library, e.name));
        complete = *e.slot != nullptr;
    }
    if (!complete) {
        // Half a binding would let some items answer and others not: all or nothing.
        b = acpi::Binding{};
        tolo::ShowMessageBoxW(L"Can not load quilacpi.dll", L"", MB_OK);
    }
    return complete;
}

}  // namespace

bool LoadAcpiLibrary() {
    // Tried once: the clock monitor asks again on every reading, and a missing library must not
    // bring the message back each time.
    static const bool bound = BindAcpiLibrary();
    return bound;
}

int AcpiInitOnce() {
    if (acpi::g_binding.Init || LoadAcpiLibrary()) return acpi::Init();
    return 0;
}
