// The restore of the fan settings: once when the service process starts and each time the machine
// resumes from sleep, as the registry value "BIOS fan patch" directs. The restore thread runs the
// start-up step, raises g_restoreDone, and then serves the hidden window "Fan Service" that receives
// the power broadcasts.
#pragma once

#include <process.h>
#include <windows.h>

#include <cstdint>

#include "system/Handles.h"

// What the process start-up hands the restore thread; zeroed before the thread starts. The
// thread stores the handle of its hidden power window in the first word.
struct RestoreThreadRecord {
    HWND powerWindow;
    DWORD reserved[2];
};

// 0 until the restore thread has finished its start-up step, then 1 for the life of the process.
extern volatile LONG g_restoreDone;
// Set when the machine announces suspend, cleared by the resume restore; restore thread only.
extern uint8_t g_powerSuspended;

// Where the service keeps "BIOS fan patch" (HKEY_LOCAL_MACHINE).
inline constexpr char kBiosFanPatchKey[] = "Software\\Quil\\QuilFanService\\";
inline constexpr char kBiosFanPatchValue[] = "BIOS fan patch";
// Firmware settings compared with what the store remembers of them.
inline constexpr uint32_t kBiosGpio34Item = 0x04060018;
inline constexpr uint32_t kBiosIsChangeFanItem = 0x0406001F;

// How the process starts a thread: the runtime library's _beginthreadex.
using ThreadStarter = decltype(&_beginthreadex);

// Start-up of the restore thread with a zeroed record that the thread then owns. When the record
// cannot be allocated or the thread cannot be started, g_restoreDone is raised here: nobody else
// would, and clients are served with what the store and the chip hold.
tolo::UniqueHandle StartRestoreThread(ThreadStarter start);

// The restore thread; `record` is a RestoreThreadRecord. Returns only if its window's message loop
// ends, which the service never causes.
unsigned __stdcall RestoreFanThreadProc(void* record);

// The hidden window "Fan Service" of the calling thread; its handle also goes into the record.
HWND CreatePowerWindow(RestoreThreadRecord* record);
// Dispatches the calling thread's messages until the quit message.
void PowerWindowMessageLoop();
LRESULT CALLBACK PowerWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// resume: 0 at start-up, 1 on resume. True when the full restore is to run; at start-up with the
// value 0 it runs the by-pass itself.
bool ShouldRestoreFans(int resume);
// 1, 0, or -1 when the key exists without a DWORD value.
int ReadBiosFanPatchFlag();
// True when a firmware setting differed from the stored one (then the value is set to 0).
bool SyncBiosFanItems();
// Each fan's user profile takes the curve now in the chip; nothing is written to the chip.
void BypassApplyProfiles();
// Each fan's stored settings go back into the chip and the firmware.
void RestoreFanSettings();
