#include "EcRecords.h"

#include <algorithm>

#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"

namespace {

constexpr uint32_t kBiosCurveDevices[] = {0x040D001D, 0x040D007D, 0x040D006D,
                                          0x040D005D, 0x040D004D, 0x040D003D};
constexpr uint32_t kBiosCurveModeItem0 = 0x04060018;

uint8_t Low(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}

// The firmware's own curve is in use on a fan type when its mode item holds this value.
bool ItemValueIs(uint32_t id, int wanted) {
    BiosItemW* item = BiosItemManager::Instance().GetItem(id);
    int value = 0;
    return item && item->Get(&value) && value == wanted;
}

uint32_t BiosModeItem(int fanType) {
    switch (fanType) {
        case 1: return 0x04070078;
        case 2: return 0x04070068;
        case 3: return 0x04070058;
        case 4: return 0x04070048;
        case 5: return IsBiosItemPresent(0x040700D8) ? 0x040700D8 : 0x04070038;
        case 6: return 0x040700C8;
        case 7: return 0x040700B8;
        case 8: return 0x04070008;
        default: return 0;
    }
}

bool WriteBiosRecord(uint32_t device, BiosFanCurveRecord record) {
    uint32_t length = sizeof record.bytes;
    return WriteBiosItemBuffer(device, record.bytes, &length);
}

}  // namespace

int EcSlope(const FanPoint& a, const FanPoint& b) {
    const int dx = b.temperature - a.temperature;
    if (dx <= 0) return 255;
    return static_cast<int>(static_cast<double>(b.duty - a.duty) / dx * 256);
}

EcRecord BuildEcWeightsRecord(int word0, const std::vector<int>& weights, bool rotate) {
    EcRecord r(kEcWeightsBytes / 4, 0);
    // Word 0, the weights, -1 and the count must fit in the record.
    const size_t n = std::min(weights.size(), r.size() - 3);
    r[0] = word0;
    for (size_t i = 0; i < n; ++i) {
        // Rotated left by two; with fewer than two weights that is no rotation at all.
        const size_t slot = rotate ? (i + n - (2 % n)) % n : i;
        r[1 + slot] = static_cast<int32_t>(static_cast<unsigned>(weights[i]) * 255u / 100u);
    }
    r[1 + n] = -1;
    r[2 + n] = static_cast<int32_t>(n);
    return r;
}

EcRecord BuildEcEnableRecord(const std::vector<int>& ecModes) {
    EcRecord r(kEcEnableBytes / 4, 0);
    for (size_t i = 0; i < ecModes.size() && i < r.size(); ++i) r[i] = ecModes[i] == 1 ? 1 : 0;
    return r;
}

EcRecord BuildEcSegmentRecord(int fanCode, const FanPoints& p) {
    EcRecord r(kEcSegmentBytes / 4, 0);
    if (p.size() < 2) return r;
    r[0] = fanCode;
    r[1] = EcSlope(p[0], p[1]);
    r[2] = p[0].duty, r[3] = p[1].duty;
    r[4] = p[0].temperature, r[5] = p[1].temperature;
    return r;
}

EcRecord BuildEcTwoSegmentRecord(int fanIndex, const FanPoints& p, size_t s) {
    EcRecord r(kEcSegmentBytes / 4, 0);
    if (p.size() < 3 || s + 2 >= p.size()) return r;
    r[0] = fanIndex + 1;
    r[1] = EcSlope(p[0], p[1]);
    r[2] = p[s].duty, r[3] = p[s + 1].duty;
    r[4] = p[s].temperature, r[5] = p[s + 1].temperature;
    r[6] = EcSlope(p[1], p[2]);
    r[7] = p[s + 1].duty, r[8] = p[s + 2].duty;
    r[9] = p[s + 1].temperature, r[10] = p[s + 2].temperature;
    return r;
}

EcRecord BuildEcPointListRecord(int fanIndex, const FanPoints& p) {
    EcRecord r(kEcPointListBytes / 4, 0);
    const size_t k = std::min<size_t>(p.size(), 3);
    r[0] = fanIndex;
    r[1] = static_cast<int32_t>(k);
    for (size_t i = 0; i < k; ++i) r[2 + i] = p[i].duty, r[5 + i] = p[i].temperature;
    return r;
}

bool WriteEcRecord(uint32_t device, EcRecord record) {
    uint32_t length = static_cast<uint32_t>(record.size() * sizeof(int32_t));
    return WriteBiosItemBuffer(device, record.data(), &length);
}

bool ReadEcRecord(uint32_t device, EcRecord* words) {
    DWORD length = static_cast<DWORD>(words->size() * sizeof(int32_t));
    return (acpi::GetItemBuffer(device, 1, words->data(), &length) & 1) != 0;
}

void SendEcSegmentCurve(int fanCode, const FanPoints& points) {
    WriteEcRecord(kEcCurveDevice, BuildEcSegmentRecord(fanCode, points));
}

BiosFanCurveRecord BuildBiosFanCurveRecord(const FanPoints& first, const FanPoints& second) {
    BiosFanCurveRecord r{};
    r.bytes[0] = 1;
    for (size_t i = 0; i < 4; ++i) {
        if (i < first.size()) r.bytes[2 + i] = Low(first[i].temperature), r.bytes[6 + i] = Low(first[i].duty);
        if (i < second.size())
            r.bytes[10 + i] = Low(second[i].temperature), r.bytes[14 + i] = Low(second[i].duty);
    }
    return r;
}

BiosFanCurveRecord BuildBiosFanModeRecord(int mode) {
    BiosFanCurveRecord r{};
    r.bytes[1] = mode == 1 ? 1 : 0;
    return r;
}

uint32_t BiosFanCurveDevice(int fanType) {
    return fanType >= 0 && fanType <= 5 ? kBiosCurveDevices[fanType] : 0;
}

bool IsBiosFanCurveEnabled(int fanType) {
    if (fanType == 0) return ItemValueIs(kBiosCurveModeItem0, 1);
    const uint32_t item = BiosModeItem(fanType);
    return item && ItemValueIs(item, 2);
}

bool IsBiosFanCurveDevicePresent(int fanType) {
    return fanType >= 1 && fanType <= 5 && IsBiosItemPresent(BiosFanCurveDevice(fanType));
}

bool CanUseBiosFanCurve(int fanType) {
    if (!IsBiosFanCurveEnabled(fanType)) return false;
    return fanType == 0 ? IsBiosItemPresent(BiosFanCurveDevice(0)) : IsBiosFanCurveDevicePresent(fanType);
}

bool IsBiosFanCurveAvailable() {
    return IsBiosItemPresent(BiosFanCurveDevice(0));
}

void WriteBiosFanCurve(int fanType, const FanPoints& first, const FanPoints& second) {
    const uint32_t device = BiosFanCurveDevice(fanType);
    if (!device || !IsBiosFanCurveEnabled(fanType) || !IsBiosItemPresent(device)) return;
    FanPoints curve = first;
    if (curve.size() == 3) curve.push_back({curve[2].temperature, 255});
    WriteBiosRecord(device, BuildBiosFanCurveRecord(curve, second));
}

void WriteBiosFanMode(int fanType, int mode) {
    const uint32_t device = BiosFanCurveDevice(fanType);
    if (!device || !IsBiosFanCurveEnabled(fanType) || !IsBiosItemPresent(device)) return;
    WriteBiosRecord(device, BuildBiosFanModeRecord(mode));
}
