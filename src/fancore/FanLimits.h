// What a fan setting may hold: the automation members refuse anything else from a client, and the
// store takes anything else in FanStore.xml for a value it does not hold. One check per setting,
// shared by both, so that the file cannot give a fan what no client could.
#pragma once

#include <cstdint>

// The largest step time and temperature tolerance a client may give a fan; the manager reports
// them.
constexpr int kMaxStepTime = 50;
constexpr int kMaxTolerance = 3;

inline bool IsStepTime(int64_t value) {
    return value >= 0 && value <= kMaxStepTime;
}

// The temperature tolerance; the RPM tolerance fills a register byte.
inline bool IsTempTolerance(int64_t value) {
    return value >= 0 && value <= kMaxTolerance;
}

// Step unit, T1 delay and RPM tolerance fill a register byte (or an EC record's byte) each.
inline bool FitsRegister(int64_t value) {
    return value >= 0 && value <= 0xFF;
}

// A thermal weight is a share of the sensor's reading, in percent.
inline bool IsThermalWeight(int64_t value) {
    return value >= 0 && value <= 100;
}

// An RPM target: the older EC takes the speed itself, the newer one a duty it counts in units of
// 50 RPM; neither fan turns faster than a 16-bit speed count holds.
constexpr int kMaxRpmTarget = 0xFFFF;
inline bool IsRpmTarget(int64_t value) {
    return value >= 0 && value <= kMaxRpmTarget;
}
