// ObxTT: the box tool's program entry. One instance per session; the form stays hidden unless
// the command line asks for it.
#include <windows.h>

#include "FanServiceClient.h"
#include "TfrmObxTestMain.h"
#include "system/Handles.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    // Owned for the life of the process; the system releases it when the process ends.
    tolo::UniqueHandle mutex(CreateMutexW(nullptr, TRUE, L"ORBIX_BOX_TT_3835"));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        mutex.Reset();
        Application.Terminate();
        return 0;
    }
    mutex.Release();
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
    // A worker ended half way would leave its manager held in the service for good: the duties
    // on their way are applied first (a service that does not answer holds the tool 10 s at most).
    FanSvc_EndDutyWorkers(10000);
    return 0;
}
