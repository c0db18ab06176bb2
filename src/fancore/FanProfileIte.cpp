// The ITE profiles: the register image is what the chip is given; the points show what it does.
#include <algorithm>

#include "FanProfile.h"
#include "FanStore.h"
#include "IteFanEngine.h"

bool IteFanProfile::Apply() {
    const IteRegisterImage& r = registers;
    IteFanEngineFacade& engine = IteFanEngineFacade::Instance();
    if (simpleMode)
        engine.WriteSimpleCurve(chipFanNumber, r.startTemp, r.startPwm, r.slope, r.fullTemp, flatStart);
    else
        engine.WriteCurve(chipFanNumber, r.startTemp, r.startPwm, r.slope, r.fullTemp, r.temp2, r.slope2,
                          flatStart, selector);
    return true;
}

void IteFanProfile::CopyFrom(const IteFanProfile& other) {
    registers = other.registers;
    points = other.points;
}

void IteFanUserProfile::TakePoints(const FanPoints& list) {
    if (list.size() < points.size()) return;
    std::copy_n(list.begin(), points.size(), points.begin());
    ConvertPoints();
}

void IteFanUserProfile::ConvertPoints() {
    if (!converter) return;
    if (points.size() >= 3 && std::all_of(points.begin(), points.begin() + 3,
                                          [](const FanPoint& p) { return p.temperature == 255; })) {
        // A curve that was never set: spread it over the usual range.
        points[0].temperature = 0;
        points[1].temperature = 50;
        points[2].temperature = 100;
    }
    converter->PointsToRegisters(points, &registers);
    converter->RegistersToPoints(registers, &points);
}

void IteFanUserProfile::SetPolygonal(const FanPoints& list) {
    TakePoints(list);
}

void IteFanUserProfile::Normalize(FanPoints* list) {
    FanPoints& caller = *list;
    const size_t n = points.size();
    // In simple mode the chip runs at full duty from the last segment's start on.
    if (simpleMode && caller.size() >= 2) caller.back() = {caller[caller.size() - 2].temperature, 255};
    // A longer list starts with the point below the curve: when it shares the curve's start
    // temperature the fan starts flat.
    const bool longer = caller.size() > n;
    if (longer) {
        flatStart = caller[0].temperature == caller[1].temperature;
        std::copy_n(caller.begin() + 1, n, points.begin());
    } else if (caller.size() == n) {
        points = caller;
    } else {
        return;
    }
    ConvertPoints();
    if (longer)
        std::copy(points.begin(), points.end(), caller.begin() + 1);
    else
        caller = points;
}

void IteFanUserProfile::Refresh() {
    FanStore& store = FanStore::Instance();
    if (!store.HasCurve(storeKey)) return;
    FanPoints stored = points;
    store.ReadCurve(storeKey, &stored, false);
    // A stored curve the curve members would refuse (a hand edit) is not the user's.
    if (IsRunnableCurve(stored, ChipPointCount())) TakePoints(stored);
}

bool IteFanUserProfile::Save() {
    FanStore::Instance().WriteCurve(storeKey, points, false);
    return true;
}
