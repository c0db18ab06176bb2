// The firmware box channel: on boards whose box is wired to the firmware, the tool drives the box
// through two BIOS items, a switch and a command channel taking 16-bit words (command << 8 | data).
// The channel's queries answer through the command item too.
#pragma once

#include <cstdint>

// Reads 1 when the firmware serves the box; 0xAA enables the channel, 0 disables it.
constexpr uint32_t kFbAcpiSwitchItem = 0x13060016;
constexpr uint32_t kFbAcpiCommandItem = 0x13060015;

// Query codes.
constexpr int kFbAcpiQueryAudioMode = 0x86;
constexpr int kFbAcpiQueryKnob = 0x91;

void FbAcpi_Enable();
void FbAcpi_Disable();
// The local hour, minute and second.
void FbAcpi_SyncTime();
// percent: 0 to 100.
void FbAcpi_SetVolume(int percent);
// fan: box fan 0 to 4; duty: the box's scale, 0 to 10.
void FbAcpi_SetFanDuty(int fan, int duty);
// busClock: the bus clock in tenths of MHz; ratio: the current ratio, truncated.
void FbAcpi_SetCpuRatio(uint16_t busClock, uint8_t ratio);
// The firmware's answer to a query, 0 when it gave none. Any thread: the query's two steps are
// never split by another thread's command word.
int FbAcpi_Query(int code);

// The notifier's callback in firmware mode, on its listener thread: the boss key, the audio mode
// and the knob, each as the firmware answers for it. Other event codes do nothing.
void OnNotifyEvent(uint32_t code, void* payload);

// The form's senders (FbAcpi_SendCpuRatio, FbAcpi_PushFanDuties, FbAcpi_PushVolume) and the knob's
// actions (Knob_Control, Knob_SetFanDuty, SetOsVol) are members of TfrmObxTestMain.
