// What the main form calls of the fan-service client and the firmware box channel, declared here
// until those land; each of them replaces its part of this header and of PendingParts.cpp with
// its own.
#pragma once

#include <cstdint>

// Fan-service client: the service's duties to the box registers (HID mode).
void FanSvc_PushDutiesToBox();

// Firmware box channel: the switch item := 0xAA / 0, and the local time as command words.
void FbAcpi_Enable();
void FbAcpi_Disable();
void FbAcpi_SyncTime();

// The system-control notifier: registers a mailslot and hands each event it receives to the
// callback on a listener thread.
using NotifyCallback = void (*)(uint32_t code, void* payload);
class QuilSysProcNotify {
public:
    void Start(const wchar_t* mailslotName, NotifyCallback callback);
    void Stop();
};
extern QuilSysProcNotify g_quilSysProcNotify;
// The tool's callback of the notifier.
void OnNotifyEvent(uint32_t code, void* payload);
