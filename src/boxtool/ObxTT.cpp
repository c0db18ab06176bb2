// ObxTT: the box tool's program entry. One instance per session; the form stays hidden unless
// the command line asks for it.
#include <windows.h>

#include "FanServiceClient.h"
#include "QuilSysProcNotify.h"
#include "TfrmObxTestMain.h"
#include "system/Handles.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    // Owned until the message loop ends.
    tolo::UniqueHandle mutex(CreateMutexW(nullptr, TRUE, L"ORBIX_BOX_TT_3835"));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        mutex.Reset();
        Application.Terminate();
        return 0;
    }
    try {
        Application.ShowMainForm = false;
        Application.MainFormOnTaskBar = false;
        if (HasDebugSwitch(commandLine)) {
            Application.ShowMainForm = true;
            Application.MainFormOnTaskBar = true;
        }
        Application.CreateForm();
        Application.Run();
    } catch (...) {
        Application.HandleException();
    }
    // The instance ends with its message loop: its notifier gives up the mailslot and its
    // registration, which the next instance takes under the same name, and the guard goes, so a
    // tool started now runs while this one only finishes its duty workers.
    g_quilSysProcNotify.Stop();
    ReleaseMutex(mutex.Get());
    mutex.Reset();
    // A worker ended half way would leave its manager held in the service for good: the duties
    // on their way are applied first (a service that does not answer holds the tool 10 s at most).
    FanSvc_EndDutyWorkers(10000);
    return 0;
}
