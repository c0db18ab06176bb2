// Sensors that the stand-in hardware-monitor library answers, in board order.
#pragma once

#include <cstdint>

namespace sim {

constexpr int kMaxSensors = 64;

struct SensorRecord {
    int32_t type;        // hardware-monitor type: 2, 3 (temperatures) or 4 (fans)
    int32_t reading;     // temperatures ten times the value shown, fans in rpm
    uint32_t values[3];  // the three values a record carries beside the reading
    char name[32];       // zero-terminated within the 32 bytes, unless a name fills them all
};

struct SensorState {
    uint32_t count;
    SensorRecord records[kMaxSensors];
    uint32_t countCalls;   // HM_GetData with a null buffer
    uint32_t fillCalls;    // HM_GetData with a buffer, started
    uint32_t fillsDone;    // ... and finished
    uint32_t stallFills;   // while non-zero, a fill waits inside the library before it writes
    uint32_t fillDelayMs;  // pause after each record a fill writes (a slow library)
    uint32_t setDataCalls, setDefaultCalls;
};

}  // namespace sim
