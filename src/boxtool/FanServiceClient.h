// The tool's side of the fan service's automation interface: fan count, names and duties read on
// the window thread, duty changes written as flat user curves by one worker thread each. Every
// operation creates its own manager object and calls its members late-bound, by name.
//
// On the window thread (inside the apartment that FanSvc_PushDutiesToBox or the firmware channel
// initialised) the getters raise ToolError when the service cannot be reached or refuses a call;
// workers swallow every error.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

constexpr wchar_t kFanServiceProgId[] = L"QuilFanControlService.FanControlManager";
// The firmware's fan-curve device: a fan it drives has to leave its automatic mode first.
constexpr uint32_t kFanCurveDeviceItem = 0x040D007D;

// The service's fan count, kept once it was positive.
int FanSvc_GetFanCount();
// A fan's name, kept once it was non-empty.
std::wstring FanSvc_GetFanName(int index);
// A fan's duty on the box's scale, 0 to 10: the service's present one, or, while a duty forwarded
// for the fan (FanSvc_SetDutyAsync) is on its way, that one. The service is read either way.
int FanSvc_GetFanDuty(int index);
// What a worker is given, fixed when it starts.
struct DutyHandOver {
    int fan;               // the service's fan index
    int duty;              // box scale, not range-checked
    uint32_t order = 0;    // of the duties forwarded for the fan (FanSvc_SetDutyAsync numbers them)
    bool counted = false;  // FanSvc_SetDutyAsync counted the worker among those an end waits for
};

// Starts one worker (fan_SetDuty) that sets a fan (service index) to a box duty (0 to 10) and
// returns at once. The workers of one fan apply one at a time, in the order of these calls; a
// worker whose duty a later call for the fan has replaced applies nothing.
void FanSvc_SetDutyAsync(int fan, int duty);
// The worker: takes ownership of its DutyHandOver (allocated with new); always returns 0.
DWORD WINAPI fan_SetDuty(LPVOID handOver);
// The tool's end, or the session's: from now on no worker starts (such a duty is dropped), and the
// workers started before are waited for, at most timeoutMs; false when one still ran then.
bool FanSvc_EndDutyWorkers(DWORD timeoutMs);

// The service's duties to the box (HID mode, the form's g_orbixBoxUsb): every fan's duty is read,
// and a fan whose name routes to box fans (BoxFansOfServiceFan) sets their duty registers, in fan
// order. Initialises COM on the calling (window) thread as a single-threaded apartment, for good.
void FanSvc_PushDutiesToBox();

// The box fans (0 CPU1, 1 CPU2, 2 to 4 chassis 1 to 3) that show a service fan, by the first rule
// its lower-case name matches: "cpu" both CPU fans; "cha" with "1", "2" or "3" that chassis fan;
// none of them no fan.
std::vector<int> BoxFansOfServiceFan(const std::wstring& name);

// Box duty (0 to 10; beyond that, the nearest end) to the speed the service's curves take (0 to
// 255), and back.
int BoxDutyToServiceSpeed(int duty);
int ServiceDutyToBoxDuty(uint32_t duty);
