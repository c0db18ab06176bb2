// Another process that takes part in the Super I/O exclusion: it takes "Global\QUIL_SIO_MUTEX",
// sets the caller's ready event, and then either runs a register sequence of its own for a while
// and releases the lock, or holds it and never releases it.
//
//   LockHolder READY release HOLD_MS   hold, write monitor register 0x77 := 0xA5, set the lock
//   LockHolder READY never QUIT        hold until event QUIT is set; the lock is never set
//
// Exit codes: 0 done, 1 bad arguments, 2 the lock could not be taken, 3 no ready event.
#include <windows.h>

#include <cwchar>

#include "board/Board.h"
#include "system/Handles.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 1;
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
    tolo::UniqueHandle lock(CreateEventW(&sa, FALSE, TRUE, L"Global\\QUIL_SIO_MUTEX"));
    if (!lock || WaitForSingleObject(lock.Get(), 10000) != WAIT_OBJECT_0) return 2;

    tolo::UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]));
    if (!ready) return 3;
    SetEvent(ready.Get());

    if (std::wcscmp(argv[2], L"release") == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
        sim::MonitorWrite(sim::State()->sio.bank, 0x77, 0xA5, sim::WriteKind::Monitor);
        SetEvent(lock.Get());
        return 0;
    }
    tolo::UniqueHandle quit(OpenEventW(SYNCHRONIZE, FALSE, argv[3]));
    if (!quit) return 1;
    WaitForSingleObject(quit.Get(), 120000);
    return 0;
}
