// Stand-in bodies until the fan-service push and the firmware box channel land: each does nothing.
#include "PendingParts.h"

#include "TfrmObxTestMain.h"

QuilSysProcNotify g_quilSysProcNotify;

void FanSvc_PushDutiesToBox() {}
void FbAcpi_Enable() {}
void FbAcpi_Disable() {}
void FbAcpi_SyncTime() {}
void QuilSysProcNotify::Start(const wchar_t*, NotifyCallback) {}
void QuilSysProcNotify::Stop() {}
void OnNotifyEvent(uint32_t, void*) {}

void TfrmObxTestMain::FbAcpi_SendCpuRatio(void*) {}
void TfrmObxTestMain::FbAcpi_PushFanDuties() {}
void TfrmObxTestMain::FbAcpi_PushVolume() {}
