// The simulated box behind the tool's HID binding: device enumeration, open, the HID library and
// the box's answers to feature reports, all over the board's BoxState (sim/board/BoxState.h), so
// that the board description, the control tool and other processes see and steer the same box.
#pragma once

#include <cstdint>
#include <vector>

#include "board/BoxState.h"

namespace sim {

// Points this process's HID binding (g_hidBinding) at the simulated box. Call before the first
// TOrbixBoxUsb is created.
void InstallSimulatedBox();

// Device information sets handed out and not yet destroyed.
int OpenDeviceSets();
// Device handles handed out and not yet closed.
int OpenDeviceHandles();

// Reports the box accepted with a sequence number >= fromSeq, oldest first.
std::vector<BoxReport> BoxReports(uint32_t fromSeq = 0);
uint32_t NextBoxReportSeq();

}  // namespace sim
