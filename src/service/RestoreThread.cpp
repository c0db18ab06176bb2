#include "RestoreThread.h"

#include <objbase.h>

volatile LONG g_restoreDone = 0;

unsigned __stdcall RestoreFanThreadProc(void* /*record*/) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // Nothing is restored yet: clients waiting for the start-up step may go on at once.
    InterlockedExchange(&g_restoreDone, 1);
    CoUninitialize();
    return 0;
}
