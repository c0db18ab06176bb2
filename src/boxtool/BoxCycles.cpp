// The box bridge cycles, the boss key, the audio-mode notice to the box driver's windows and the
// test panel's buttons: not written yet, each does nothing.
#include "TfrmObxTestMain.h"

void TfrmObxTestMain::tmrSetToBoxTimer(void*) {}
void TfrmObxTestMain::tmrGetFromBoxTimer(void*) {}
void TfrmObxTestMain::Box_SyncTime() {}
void TfrmObxTestMain::Box_SetSensors() {}
void TfrmObxTestMain::Box_SetCpuRatio() {}
void TfrmObxTestMain::Box_SetVolume() {}
void TfrmObxTestMain::Box_GetFanDuty(bool) {}
void TfrmObxTestMain::Box_GetButtons(bool) {}
void TfrmObxTestMain::Box_GetVolume(bool) {}
void TfrmObxTestMain::Box_GetAudioMode(bool) {}
void TfrmObxTestMain::BossKey() {}
void TfrmObxTestMain::SetModeToAudio(uint8_t) {}
bool TfrmObxTestMain::FindAllWindow(const wchar_t*, const wchar_t*) {
    return false;
}
BOOL CALLBACK TfrmObxTestMain::EnumWindowsProc(HWND, LPARAM) {
    return TRUE;
}
void TfrmObxTestMain::SendAltTab() {}
void TfrmObxTestMain::SendWinD() {}
void TfrmObxTestMain::Shell_MinimizeAll() {}
void TfrmObxTestMain::Button1Click(void*) {}
void TfrmObxTestMain::Button2Click(void*) {}
void TfrmObxTestMain::Button3Click(void*) {}
void TfrmObxTestMain::Button4Click(void*) {}
void TfrmObxTestMain::Button5Click(void*) {}
void TfrmObxTestMain::Button6Click(void*) {}
void TfrmObxTestMain::Button7Click(void*) {}
void TfrmObxTestMain::Button8Click(void*) {}
void TfrmObxTestMain::Button9Click(void*) {}
void TfrmObxTestMain::Button10Click(void*) {}
void TfrmObxTestMain::Button11Click(void*) {}
void TfrmObxTestMain::Button12Click(void*) {}
void TfrmObxTestMain::Button13Click(void*) {}
void TfrmObxTestMain::Button14Click(void*) {}
