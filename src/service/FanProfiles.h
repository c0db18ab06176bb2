// The profiles of a fan as automation objects, and the steps the curve members share.
#pragma once

#include <vector>

#include "AutomationObject.h"
#include "FanCurves.h"
#include "QuilFanControlService_i.h"

class FanProfile;
class QuilFanControl;

class CIFanProfileImpl final : public service::AutomationObject<IFanProfile> {
public:
    // profile: not owned; may be null for a position the fan does not fill.
    CIFanProfileImpl(ULONG id, FanProfile* profile) : id_(id), profile_(profile) {}

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override;
    HRESULT STDMETHODCALLTYPE get_Type(LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_Id(ULONG* pVal) override;
    // A new curve object on every request.
    HRESULT STDMETHODCALLTYPE get_FanCurve(IFanCurve** pVal) override;

    FanProfile* Profile() const { return profile_; }

private:
    ULONG id_;
    FanProfile* profile_;
};

class CIFanProfileCollectionImpl final : public service::AutomationObject<IFanProfileCollection> {
public:
    // One profile object per profile of the fan, in the fan's order.
    explicit CIFanProfileCollectionImpl(QuilFanControl* fan);

    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** pVal) override;
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, IFanProfile** pVal) override;
    HRESULT STDMETHODCALLTYPE get_Current(ULONG* pVal) override;
    // Stores the curve as the user profile, in memory and in the settings store; nothing is applied.
    HRESULT STDMETHODCALLTYPE SaveUserProfile(IFanCurve* FanCurve, ULONG* result) override;

    // The profile object at a position, or null.
    CIFanProfileImpl* At(long index) const;

private:
    QuilFanControl* fan_;  // not owned
    std::vector<tolo::ComPtr<CIFanProfileImpl>> profiles_;
};

// Steps shared by the curve members of the fan and of its profile collection.
namespace curves {

// The fan's user profile and its position in the fan's list, read under the fan-objects lock; null
// when the fan has fewer than five profiles (a fan without a user profile takes no client curve).
FanProfile* UserProfile(QuilFanControl* fan, int* position);
FanPoints PointsOf(FanProfile* profile);
// A dual-mode client curve's inner points go to the user profile's second curve.
void WriteSecondCurve(FanProfile* user, const ClientCurve& curve);
// OnFanSettingChange with the value, to every connected client of the manager.
void FireFanSettingChange(long value);
// "BIOS fan patch" = 1: the restore re-applies the fans' settings at the next start.
void SetBiosFanPatch();

}  // namespace curves
