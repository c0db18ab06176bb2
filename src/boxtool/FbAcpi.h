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

// Senders of the form. The ratio goes out every 5 s in firmware mode.
void FbAcpi_SendCpuRatio();
// The fan service's duties and the master volume, once at the start of firmware mode.
void FbAcpi_PushFanDuties();
void FbAcpi_PushVolume();
