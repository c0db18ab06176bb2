// The curve members of IFanControl: a client's curve normalised, applied with or without keeping
// it, or used as the fan's duty, and the selection of a profile by its position.
#include "FanControl.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/FintekFanEngine.h"
#include "fancore/QuilFanControl.h"
#include "system/Trace.h"

namespace {

// Raised while a client's curve is applied as the fan's duty (the Fintek profile's apply reads it).
class ApplyingFanDuty {
public:
    ApplyingFanDuty() { g_applyingFanDuty = 1; }
    ~ApplyingFanDuty() { g_applyingFanDuty = 0; }
    ApplyingFanDuty(const ApplyingFanDuty&) = delete;
    ApplyingFanDuty& operator=(const ApplyingFanDuty&) = delete;
};

}  // namespace

HRESULT CIFanControlImpl::ReadUserCurve(IFanCurve* curve, int* position, FanProfile** user,
                                        ClientCurve* points) {
    *user = curves::UserProfile(fan_, position);
    if (!*user) return E_FAIL;
    // Outside the lock: the curve may be an object of the client's process.
    return ReadFanCurve(curve, (*user)->ChipPointCount(), points);
}

HRESULT CIFanControlImpl::UseCurve(IFanCurve* curve, ULONG* retVal, CurveUse use) {
    if (!retVal) return E_POINTER;
    *retVal = 0;
    return service::StoringWork([&] {
        int u;
        FanProfile* user;
        ClientCurve points;
        HRESULT hr = ReadUserCurve(curve, &u, &user, &points);
        if (FAILED(hr)) return hr;
        {
            service::FanObjectsGuard guard;
            curves::WriteSecondCurve(user, points);
            FanPoints old = curves::PointsOf(user);
            user->SetPolygonal(points.points);
            if (use == CurveUse::FanDuty) {
                ApplyingFanDuty flag;
                fan_->SelectProfileKeepBios(u);
            } else {
                fan_->SelectProfileKeepBios(u);
            }
            // The fan runs the new curve; the profile keeps its points unless the client asked
            // for them in memory.
            if (use != CurveUse::ApplyNotSaved) user->SetPolygonal(old);
        }
        *retVal = 1;
        curves::FireFanSettingChange(u);
        if (use == CurveUse::FanDuty) curves::SetBiosFanPatch();
        return S_OK;
    });
}

HRESULT CIFanControlImpl::ApplyFanCurve(IFanCurve* FanCurve, ULONG* retVal) {
    return UseCurve(FanCurve, retVal, CurveUse::Apply);
}

HRESULT CIFanControlImpl::ApplyFanCurveButNotSave(IFanCurve* FanCurve, ULONG* retVal) {
    return UseCurve(FanCurve, retVal, CurveUse::ApplyNotSaved);
}

HRESULT CIFanControlImpl::SetFanDuty(IFanCurve* FanCurve, ULONG* retVal) {
    return UseCurve(FanCurve, retVal, CurveUse::FanDuty);
}

HRESULT CIFanControlImpl::NormalizeFanCurve(IFanCurve* FanCurve, ULONG* retVal) {
    if (!retVal) return E_POINTER;
    *retVal = 0;
    return service::Guarded([&] {
        int u;
        FanProfile* user;
        ClientCurve points;
        HRESULT hr = ReadUserCurve(FanCurve, &u, &user, &points);
        if (FAILED(hr)) return hr;
        {
            // Normalising goes through the user profile, which may take the points it normalises:
            // both curves are put back as they were before anything was normalised.
            service::FanObjectsGuard guard;
            FanPoints old = curves::PointsOf(user);
            if (points.dual) {
                FanProfile* second = user->SecondProfile();
                FanPoints oldSecond = curves::PointsOf(second);
                fan_->NormalizeFanCurve(&points.second);
                if (second) second->SetPolygonal(oldSecond);
            }
            fan_->NormalizeFanCurve(&points.points);
            user->SetPolygonal(old);
        }
        if (points.dual) WriteFanCurve(points.dualCurve->Inner(), points.second);
        WriteFanCurve(FanCurve, points.points);
        *retVal = 1;
        return S_OK;
    });
}

HRESULT CIFanControlImpl::ApplyIndex(LONG index) {
    return service::StoringWork([&] {
        {
            service::FanObjectsGuard guard;
            if (index < 0 || index >= fan_->GetProfileCount()) return E_FAIL;
            fan_->SelectProfile(static_cast<int>(index));
        }
        tolo::TraceA("ApplyIndex");
        curves::FireFanSettingChange(index);
        curves::SetBiosFanPatch();
        return S_OK;
    });
}
