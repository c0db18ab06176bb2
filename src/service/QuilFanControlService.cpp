// Entry of QuilFanControlService.exe.
#include <objbase.h>
#include <process.h>
#include <windows.h>

#include "OsVersion.h"
#include "RestoreThread.h"
#include "ServiceIdentity.h"
#include "ServiceModule.h"
#include "bios/AcpiLibrary.h"
#include "system/MessageBox.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    // Run as a service, the process has no desktop anyone sees: a message box there would wait for
    // ever (the start-up restore's with it), so its messages go to the event log. Set before the
    // restore thread starts, which may give one before the mode is known.
    tolo::SetUnseenMessageSink([](const std::wstring& text) { g_module.LogEvent(text.c_str()); });
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (IsVistaOrLater()) acpi::Init();

    // The fan manager waits for this event before it creates itself; nothing resets it.
    g_hServiceEvent.Reset(CreateEventW(nullptr, TRUE, TRUE, service::kEventName));
    if (!g_hServiceEvent) {
        tolo::ShowMessageBoxW(L"CreateEvent failed", L"QuilFanControlService", MB_OK);
        return 1;
    }

    // A local server that COM starts while another still serves waits for it here: the start-up
    // restore and the store that this process keeps must not be read before the other has ended.
    if (!g_module.AwaitServerTurn(commandLine)) {
        CoUninitialize();
        return 0;
    }

    // The restore thread owns its record and runs for the life of the process.
    tolo::UniqueHandle restoreThread = StartRestoreThread(_beginthreadex);

    int result = g_module.Run(commandLine);
    CoUninitialize();
    return result;
}
