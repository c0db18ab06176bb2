#include "boxtool/Vistavolume.h"

#include <windows.h>

#include "system/Handles.h"

namespace {

// Each export takes one argument (a DWORD, a float or a pointer) by the standard call convention;
// its result means nothing to the tool.
template <typename Arg>
void CallAudioLibrary(const char* exportName, Arg argument) {
    static_assert(sizeof(Arg) <= sizeof(void*), "one register-sized argument");
    tolo::Module library(LoadLibraryW(L"vvc2.dll"));
    if (auto entry = library.Proc<BOOL(__stdcall*)(Arg)>(exportName)) entry(argument);
}

}  // namespace

void VistaSetMute(uint8_t mute) {
    CallAudioLibrary<DWORD>("VISTA_SetMute", mute);
}

void VistaGetMasterVolume(float* volume) {
    CallAudioLibrary<float*>("VISTA_GetMasterVolume", volume);
}

void VistaSetMasterVolume(float volume) {
    CallAudioLibrary<float>("VISTA_SetMasterVolume", volume);
}

int VolumePercent(float volume) {
    return static_cast<int>(volume * 100);
}
