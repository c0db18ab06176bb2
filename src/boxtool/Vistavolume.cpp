#include "boxtool/Vistavolume.h"

#include <windows.h>

#include <algorithm>
#include <cmath>

#include "system/Handles.h"

namespace {

// Each export takes one argument (a DWORD, a float or a pointer) by the standard call convention;
// its result means nothing to the tool. False when the library or the export is missing.
template <typename Arg>
bool CallAudioLibrary(const char* exportName, Arg argument) {
    static_assert(sizeof(Arg) <= sizeof(void*), "one register-sized argument");
    tolo::Module library(LoadLibraryW(L"vvc2.dll"));
    auto entry = library.Proc<BOOL(__stdcall*)(Arg)>(exportName);
    if (!entry) return false;
    entry(argument);
    return true;
}

}  // namespace

void VistaSetMute(uint8_t mute) {
    CallAudioLibrary<DWORD>("VISTA_SetMute", mute);
}

bool VistaGetMasterVolume(float* volume) {
    return CallAudioLibrary<float*>("VISTA_GetMasterVolume", volume);
}

void VistaSetMasterVolume(float volume) {
    CallAudioLibrary<float>("VISTA_SetMasterVolume", volume);
}

int VolumePercent(float volume) {
    if (!(volume > 0.0f)) return 0;  // not a number too
    if (volume >= 1.0f) return 100;
    // A float times 100 is exact in double, so the percent is the true nearest one: single
    // precision would put 0.53f and 0.59f (and x87 rounding many more) just below the whole percent.
    return static_cast<int>(std::floor(static_cast<double>(volume) * 100.0 + 0.5));
}

float PercentVolume(int percent) {
    return static_cast<float>(static_cast<double>(std::clamp(percent, 0, 100)) / 100.0);
}
