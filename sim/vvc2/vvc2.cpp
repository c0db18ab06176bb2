// Stand-in for the audio helper library over the board's master volume and mute.
#include <windows.h>

#include "../board/Board.h"

using sim::State;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    if (State()->libraryFaults & sim::FaultVvc2) return FALSE;
    sim::BoardLock lock;
    ++State()->audio.loads;
    return TRUE;
}

BOOL __stdcall VISTA_SetMute(BOOL mute) {
    sim::BoardLock lock;
    ++State()->audio.setMuteCalls;
    State()->audio.mute = mute != 0;
    return TRUE;
}

BOOL __stdcall VISTA_GetMasterVolume(float* volume) {
    sim::BoardLock lock;
    ++State()->audio.getVolumeCalls;
    if (!volume) return FALSE;
    *volume = State()->audio.volume;
    return TRUE;
}

// As the system's endpoint volume does, a level outside 0.0 to 1.0 is refused.
BOOL __stdcall VISTA_SetMasterVolume(float volume) {
    sim::BoardLock lock;
    ++State()->audio.setVolumeCalls;
    if (!(volume >= 0.0f && volume <= 1.0f)) return FALSE;
    State()->audio.volume = volume;
    return TRUE;
}

}  // extern "C"
