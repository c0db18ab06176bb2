// Records of the embedded controller's ACPI devices and the firmware's fan-curve devices. Every
// record is a fixed buffer of little-endian 32-bit words (the BIOS curve record is bytes): a list
// longer than its record holds is cut to what fits.
#pragma once

#include <cstdint>
#include <vector>

#include "FanPoint.h"

// EC devices.
constexpr uint32_t kEcWeightsDevice = 0x04060020;
constexpr uint32_t kEcEnableDevice = 0x04070022;
constexpr uint32_t kEcCurveDevice = 0x04060021;
constexpr uint32_t kEcDutyDevice = 0x04060026;
constexpr uint32_t kEcRpmModeDevice = 0x04060027;
constexpr uint32_t kEcRpmDevice = 0x04060028;
constexpr uint32_t kEcStepDevice = 0x04060029;
constexpr uint32_t kEcStepDownDevice = 0x0406002A;
constexpr uint32_t kEcFanStopDevice = 0x04070025;

// Record sizes in bytes.
constexpr int kEcWeightsBytes = 192, kEcEnableBytes = 96, kEcSegmentBytes = 48, kEcPointListBytes = 64;

using EcRecord = std::vector<int32_t>;  // words, sized to the record

// The slope between two points in 1/256 duty per degree; 255 when the temperatures do not rise.
int EcSlope(const FanPoint& a, const FanPoint& b);

// Thermal weights: word 0, the weights as w * 255 / 100 (rotated left by two when `rotate`), -1, n.
EcRecord BuildEcWeightsRecord(int word0, const std::vector<int>& weights, bool rotate);
// One word per fan taking part: 1 when its EC mode is 1, else 0.
EcRecord BuildEcEnableRecord(const std::vector<int>& ecModes);
// One-segment curve from the first two points (fan code 2 chassis, 3 auxiliary).
EcRecord BuildEcSegmentRecord(int fanCode, const FanPoints& points);
// Two-segment curve: slopes from P0-P1 and P1-P2, duties and temperatures from Ps.. Ps+2.
EcRecord BuildEcTwoSegmentRecord(int fanIndex, const FanPoints& points, size_t s);
// Point list: up to three points.
EcRecord BuildEcPointListRecord(int fanIndex, const FanPoints& points);

// Writes a record to a device; the firmware's answer.
bool WriteEcRecord(uint32_t device, EcRecord record);
// Reads a device's answer into `words` (its size says how many); false when the read fails.
bool ReadEcRecord(uint32_t device, EcRecord* words);

void SendEcSegmentCurve(int fanCode, const FanPoints& points);

// BIOS fan-curve devices.
struct BiosFanCurveRecord {
    uint8_t bytes[18];
};
BiosFanCurveRecord BuildBiosFanCurveRecord(const FanPoints& first, const FanPoints& second);
BiosFanCurveRecord BuildBiosFanModeRecord(int mode);

// The fan-curve device of a fan type (0..5), or 0.
uint32_t BiosFanCurveDevice(int fanType);
void WriteBiosFanCurve(int fanType, const FanPoints& first, const FanPoints& second);
void WriteBiosFanMode(int fanType, int mode);
bool IsBiosFanCurveEnabled(int fanType);
bool IsBiosFanCurveDevicePresent(int fanType);
bool CanUseBiosFanCurve(int fanType);
bool IsBiosFanCurveAvailable();
