#include "FanProfile.h"

#include <algorithm>
#include <string>

#include "EcRecords.h"
#include "FanStore.h"
#include "FintekFanEngine.h"
#include "SmartFanFourEngine.h"
#include "system/MessageBox.h"

FanProfile::~FanProfile() = default;

void FanProfile::ShowNotSupported(const wchar_t* method) {
    const std::wstring text = std::wstring(L"The method \"") + method + L"\" is not supported";
    tolo::ShowMessageBoxW(text.c_str(), L"FanProfile", MB_OK);
}

void FanProfile::SetPolygonal(const FanPoints&) {
    ShowNotSupported(L"SetPolygonal");
}

void FanProfile::Normalize(FanPoints*) {
    ShowNotSupported(L"Normalize");
}

void FanProfile::Refresh() {
    ShowNotSupported(L"Refresh");
}

// Fintek.

bool FintekFanProfile::Apply() {
    if (points.size() < 3) return false;  // a curve the chip cannot take
    const FanPoints& p = points;
    // While the automation interface sets a fixed duty, the chip gets the curve as that duty.
    FintekFanEngineFacade::Instance().WriteCurve(p[0].temperature, p[0].duty, p[1].temperature, p[1].duty,
                                                 p[2].temperature, p[2].duty, fanNumber,
                                                 g_applyingFanDuty ? 0 : 1);
    return true;
}

int FintekUserProfile::StoreFanType(int fanNumber) {
    switch (fanNumber) {
        case 1: return 2;
        case 2: return 4;
        default: return 0;
    }
}

void FintekUserProfile::SetPolygonal(const FanPoints& list) {
    points = list;
    PointsChanged();
}

void FintekUserProfile::Normalize(FanPoints* list) {
    points = *list;
    PointsChanged();
}

void FintekUserProfile::Refresh() {
    FanPoints stored = points;
    FanStore::Instance().ReadCurve(StoreFanType(fanNumber), &stored, false);
    // A stored curve the curve members would refuse (a hand edit) is not the user's.
    if (IsRunnableCurve(stored, ChipPointCount())) points = stored;
}

bool FintekUserProfile::Save() {
    FanStore::Instance().WriteCurve(StoreFanType(fanNumber), points, false);
    return true;
}

// Winbond and Nuvoton.

int WinbondStoreKey(int fanType) {
    return fanType >= 224 ? fanType - 124 : fanType * 2;
}

bool WinbondFanProfile::Apply() {
    if (!points.empty() && CanUseBiosFanCurve(fanType) && points.back().temperature < 255) {
        FanPoints extra;
        if (const FanProfile* second = SecondProfile()) second->GetPoints(&extra);
        FanStore& store = FanStore::Instance();
        const int key = WinbondStoreKey(fanType);
        if (!extra.empty() && extra.back().duty >= 0 && extra.front().duty < 255) {
            // The extra curve is in use: the firmware drives the fan with both curves.
            if (points.size() == 3) points.push_back({points.back().temperature, 255});
            store.SetManualMode(key, -1);
            WriteBiosFanMode(fanType, 1);
            WriteBiosFanCurve(fanType, points, extra);
            return true;
        }
        store.SetManualMode(key, 1);
        WriteBiosFanMode(fanType, 1);
    }
    SmartFanFourFacade::Instance().WriteCurvePoints(points, engineFanType);
    return true;
}

void WinbondUserProfile::SetPolygonal(const FanPoints& list) {
    points = list;
    PointsChanged();
}

void WinbondUserProfile::Normalize(FanPoints* list) {
    points = *list;
    PointsChanged();
}

void WinbondUserProfile::ReadStoredPoints(int storeType) {
    // The chip runs every point of a four-point curve: a stored fourth point comes back with the
    // others. Otherwise the stored points fill the profile's own, as many as it has (at most three).
    const size_t own = points.size();
    FanPoints stored = points;
    if (stored.size() < ChipPointCount()) stored.resize(ChipPointCount());
    const size_t filled = FanStore::Instance().ReadCurve(storeType, &stored, false);
    if (filled == 0) return;
    if (filled < ChipPointCount()) stored.resize(std::min(own, kThreePoints));
    // A stored curve the curve members would refuse (a hand edit) is not the user's.
    if (IsRunnableCurve(stored, ChipPointCount())) points = stored;
}

void WinbondUserProfile::Refresh() {
    FanStore& store = FanStore::Instance();
    if (fanType >= 100) {
        ReadStoredPoints(fanType);
        return;
    }
    ReadStoredPoints(fanType * 2);
    FanProfile* second = SecondProfile();
    if (second && CanUseBiosFanCurve(fanType)) {
        FanPoints extra(4);
        store.ReadCurve(fanType * 2, &extra, true);
        if (IsRunnableCurve(extra, kMaxCurvePoints)) second->SetPolygonal(extra);
    }
}

bool WinbondUserProfile::Save() {
    FanStore& store = FanStore::Instance();
    if (fanType >= 100) {
        store.WriteCurve(fanType, points, false);
        return true;
    }
    const FanProfile* second = SecondProfile();
    if (second && CanUseBiosFanCurve(fanType)) {
        FanPoints extra;
        second->GetPoints(&extra);
        store.WriteCurve(fanType * 2, extra, true);
    }
    store.WriteCurve(fanType * 2, points, false);
    return true;
}
