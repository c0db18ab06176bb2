#include "FanProfiles.h"

#include "Enumerators.h"
#include "FanControlManager.h"
#include "RestoreThread.h"
#include "fancore/BoardReaders.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "system/Handles.h"

namespace {

// The fans of the standard list have five profiles; the last is the user profile.
constexpr int kFirstUserPosition = 4;

}  // namespace

namespace curves {

FanProfile* UserProfile(QuilFanControl* fan, int* position) {
    service::FanObjectsGuard guard;
    *position = fan->GetProfileCount() - 1;
    return *position >= kFirstUserPosition ? fan->GetProfile(*position) : nullptr;
}

FanPoints PointsOf(FanProfile* profile) {
    FanPoints points;
    if (profile) profile->GetPoints(&points);
    return points;
}

void WriteSecondCurve(FanProfile* user, const ClientCurve& curve) {
    if (!curve.dual || !user || !user->SecondProfile()) return;
    user->SecondProfile()->SetPolygonal(curve.second);
}

void FireFanSettingChange(long value) {
    // The sinks' results are not the caller's concern.
    if (g_pFanControlManager) g_pFanControlManager->Events().Fire_OnFanSettingChange(value);
}

void SetBiosFanPatch() {
    tolo::RegKey key;
    if (!RegCreateKeyHelper(key.Put(), HKEY_LOCAL_MACHINE, kBiosFanPatchKey, KEY_WRITE)) return;
    RegWriteDword(key.Get(), kBiosFanPatchValue, 1);
}

}  // namespace curves

HRESULT CIFanProfileImpl::get_Name(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    return service::FanWork([&] {
        const wchar_t* name = profile_ ? profile_->Name().c_str() : L"";
        *pVal = SysAllocString(name);
        return *pVal ? S_OK : E_OUTOFMEMORY;
    });
}

HRESULT CIFanProfileImpl::get_Type(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 0;
    return S_OK;
}

HRESULT CIFanProfileImpl::get_Id(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = id_;
    return S_OK;
}

HRESULT CIFanProfileImpl::get_FanCurve(IFanCurve** pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    return service::FanWork([&] {
        *pVal = BuildFanCurve(profile_).curve.Detach();
        return S_OK;
    });
}

CIFanProfileCollectionImpl::CIFanProfileCollectionImpl(QuilFanControl* fan) : fan_(fan) {
    int count = fan->GetProfileCount();
    for (int i = 0; i < count; ++i) {
        tolo::ComPtr<CIFanProfileImpl> profile(
            new CIFanProfileImpl(static_cast<ULONG>(i), fan->GetProfile(i)));
        profiles_.push_back(std::move(profile));
    }
}

CIFanProfileImpl* CIFanProfileCollectionImpl::At(long index) const {
    if (index < 0 || static_cast<size_t>(index) >= profiles_.size()) return nullptr;
    return profiles_[index].Get();
}

HRESULT CIFanProfileCollectionImpl::get__NewEnum(IUnknown** pVal) {
    return service::Guarded([&] { return service::NewDispatchEnum(profiles_, pVal); });
}

HRESULT CIFanProfileCollectionImpl::get_Count(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = static_cast<LONG>(profiles_.size());
    return S_OK;
}

HRESULT CIFanProfileCollectionImpl::get_Item(LONG index, IFanProfile** pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    CIFanProfileImpl* profile = At(index);
    if (!profile) return E_INVALIDARG;
    return service::HandOut(profile, pVal);
}

HRESULT CIFanProfileCollectionImpl::get_Current(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    return service::FanWork([&] {
        *pVal = static_cast<ULONG>(fan_->GetCurrentProfileIndex());
        return S_OK;
    });
}

HRESULT CIFanProfileCollectionImpl::SaveUserProfile(IFanCurve* FanCurve, ULONG* result) {
    if (!result) return E_POINTER;
    *result = 0;
    return service::Guarded([&] {
        int u;
        FanProfile* user = curves::UserProfile(fan_, &u);
        if (!user) return E_FAIL;
        // Outside the lock: the curve may be an object of the client's process.
        ClientCurve curve;
        HRESULT hr = ReadFanCurve(FanCurve, user->ChipPointCount(), &curve);
        if (FAILED(hr)) return hr;
        service::FanObjectsGuard guard;
        curves::WriteSecondCurve(user, curve);
        user->SetPolygonal(curve.points);
        // The result tells the client whether the curve is in FanStore.xml; the profile in memory
        // keeps it either way.
        const unsigned failedBefore = FanStoreFailedSaves();
        fan_->SaveProfile(u);
        *result = FanStoreFailedSaves() == failedBefore ? 1 : 0;
        return S_OK;
    });
}
