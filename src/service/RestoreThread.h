// The restore thread of the service: it re-applies the saved fan settings at start-up and after
// the machine resumes, and raises g_restoreDone once its start-up step is over.
#pragma once

#include <windows.h>

// What the process start-up hands the restore thread; zeroed before the thread starts. The
// thread stores the handle of its hidden power window in the first word.
struct RestoreThreadRecord {
    HWND powerWindow;
    DWORD reserved[2];
};

// 0 until the restore thread has finished its start-up step, then 1 for the life of the process.
extern volatile LONG g_restoreDone;

unsigned __stdcall RestoreFanThreadProc(void* record);
