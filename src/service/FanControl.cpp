// The members of IFanControl that forward to the fan object, and the fan collection.
#include "FanControl.h"

#include <algorithm>
#include <string>

#include "Enumerators.h"
#include "fancore/EcFanControlManager.h"
#include "fancore/FanControlImp.h"
#include "fancore/QuilFanControl.h"
#include "system/Text.h"

namespace {

// A fan's narrow name as a new BSTR: the firmware's names are in the thread's ANSI code page, the
// display names (the store's texts) in UTF-8.
HRESULT NameToBstr(const std::string& name, UINT codePage, BSTR* out) {
    *out = nullptr;
    const std::wstring wide = tolo::WideFromNarrow(name, codePage);
    BSTR text = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!text) return E_OUTOFMEMORY;
    *out = text;
    return S_OK;
}

// A client's display name in UTF-8, whatever characters it holds; a null text is the empty text.
std::string BstrToDisplayName(BSTR text) {
    return tolo::NarrowFromWide(text, text ? SysStringLen(text) : 0, CP_UTF8);
}

// The store keeps a name as text, which ends at a NUL: a name holding one cannot be kept whole.
bool IsDisplayName(BSTR text) {
    const UINT length = text ? SysStringLen(text) : 0;
    return std::find(text, text + length, L'\0') == text + length;
}

// A VARIANT_BOOL argument is true only as VARIANT_TRUE.
bool IsTrue(VARIANT_BOOL value) {
    return value == VARIANT_TRUE;
}

// The convention of most Boolean properties of the model: 1 for true.
VARIANT_BOOL AsOneOrZero(bool value) {
    return value ? 1 : 0;
}

// The getters and setters below only convert: the fan's results pass through.
template <class Out, class Get>
HRESULT Read(Out* out, Get&& get) {
    return service::GuardedGet(out, [&] {
        service::FanObjectsGuard guard;
        return get();
    });
}

// The put sides and methods: what they store must reach the file, or the client is told.
template <class Do>
HRESULT Run(Do&& action) {
    return service::StoringFanWork([&] {
        action();
        return S_OK;
    });
}

// A client's value that the chip or the firmware cannot take whole is refused before it reaches
// the fan: a register would keep only its low bits, and the store would keep it for every boot.
template <class Do>
HRESULT RunIf(bool accepted, Do&& action) {
    return accepted ? Run(action) : E_INVALIDARG;
}

}  // namespace

CIFanControlImpl::CIFanControlImpl(int position, QuilFanControl* fan)
    : position_(position),
      fan_(fan),
      weights_(new CIThermalWeightsImpl(fan)),
      sources_(new CIMultiFanSourceImpl(fan)) {}

HRESULT CIFanControlImpl::get_Id(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetId(); });
}

HRESULT CIFanControlImpl::get_Name(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    return service::FanWork([&] {
        std::string name;
        fan_->GetName(&name);
        return NameToBstr(name, CP_THREAD_ACP, pVal);
    });
}

HRESULT CIFanControlImpl::get_DisplayName(BSTR* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    return service::FanWork([&] {
        std::string name;
        fan_->GetDisplayName(&name);
        return NameToBstr(name, CP_UTF8, pVal);
    });
}

HRESULT CIFanControlImpl::put_DisplayName(BSTR newVal) {
    return RunIf(IsDisplayName(newVal), [&] { fan_->SetDisplayName(BstrToDisplayName(newVal)); });
}

HRESULT CIFanControlImpl::get_DutyCycle(unsigned char* pVal) {
    return Read(pVal, [&] { return fan_->GetCurrentDuty(); });
}

HRESULT CIFanControlImpl::put_DutyCycle(unsigned char newVal) {
    return Run([&] { fan_->SetDutyCycle(newVal); });
}

void CIFanControlImpl::EnsureProfiles() {
    if (profiles_) return;
    tolo::ComPtr<CIFanProfileCollectionImpl> profiles(new CIFanProfileCollectionImpl(fan_));
    // A current position outside the list leaves an empty curve to refill.
    CIFanProfileImpl* current = profiles->At(fan_->GetCurrentProfileIndex());
    FanCurveHandle curve = BuildFanCurve(current ? current->Profile() : nullptr);
    profiles_ = std::move(profiles);
    currentCurve_ = std::move(curve);
}

HRESULT CIFanControlImpl::get_Profiles(IFanProfileCollection** pVal) {
    return service::FanWork([&] {
        EnsureProfiles();
        // Without a place for the result nothing is returned and nothing fails.
        if (!pVal) return S_OK;
        return service::HandOut(profiles_.Get(), pVal);
    });
}

HRESULT CIFanControlImpl::get_CurrentFanCurve(IFanCurve** pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    return service::FanWork([&] {
        FanPoints points = ClientPoints(fan_->GetFanCurve(), 255);
        EnsureProfiles();
        currentCurve_.points->Overwrite(points);
        return service::HandOut(currentCurve_.curve.Get(), pVal);
    });
}

HRESULT CIFanControlImpl::get_StartupProfileIndex(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetCurrentProfileIndex(); });
}

HRESULT CIFanControlImpl::put_StartupProfileIndex(ULONG newVal) {
    // Saved as the start-up profile; the running profile stays.
    return Run([&] { fan_->SaveProfile(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::get_CalculatedDuty(unsigned char Temperature, unsigned char* pVal) {
    return Read(pVal, [&] { return fan_->GetDutyForTemperature(Temperature); });
}

HRESULT CIFanControlImpl::get_MinimalDuty(unsigned char* pVal) {
    return Read(pVal, [&] { return fan_->GetMinimalDuty(); });
}

HRESULT CIFanControlImpl::get_EcMode(LONG* pVal) {
    return Read(pVal, [&] { return fan_->GetEcMode(); });
}

HRESULT CIFanControlImpl::put_EcMode(LONG newVal) {
    return RunIf(newVal == 0 || newVal == 1, [&] { fan_->SetEcMode(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::get_ThermalWeights(IThermalWeights** pVal) {
    return service::HandOut(weights_.Get(), pVal);
}

HRESULT CIFanControlImpl::put_ThermalWeights(IThermalWeights*) {
    // The weights change only through the weights object itself.
    return S_OK;
}

HRESULT CIFanControlImpl::get_MultiFanSource(IMultiFanSource** pVal) {
    return service::HandOut(sources_.Get(), pVal);
}

HRESULT CIFanControlImpl::get_StepUpTime(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetStepUpTime(); });
}

HRESULT CIFanControlImpl::put_StepUpTime(ULONG newVal) {
    return RunIf(IsStepTime(newVal), [&] { fan_->SetStepUpTime(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::get_StepDownTime(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetStepDownTime(); });
}

HRESULT CIFanControlImpl::put_StepDownTime(ULONG newVal) {
    return RunIf(IsStepTime(newVal), [&] { fan_->SetStepDownTime(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::get_TempTolerance(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetTempTolerance(); });
}

HRESULT CIFanControlImpl::put_TempTolerance(ULONG newVal) {
    return RunIf(IsTempTolerance(newVal), [&] { fan_->SetTempTolerance(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::EnableRpmMode(VARIANT_BOOL value) {
    return Run([&] { fan_->EnableRpmMode(IsTrue(value)); });
}

HRESULT CIFanControlImpl::get_IsRpmMode(VARIANT_BOOL* pVal) {
    // The one Boolean of the fan given as VARIANT_TRUE.
    return Read(pVal, [&] { return fan_->IsRpmMode() ? VARIANT_TRUE : VARIANT_FALSE; });
}

HRESULT CIFanControlImpl::get_RpmTolerance(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetRpmTolerance(); });
}

HRESULT CIFanControlImpl::put_RpmTolerance(ULONG newVal) {
    return RunIf(FitsRegister(newVal), [&] { fan_->SetRpmTolerance(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::get_EcFanStop(VARIANT_BOOL* pVal) {
    return Read(pVal, [&] { return AsOneOrZero(fan_->GetEcFanOff()); });
}

HRESULT CIFanControlImpl::put_EcFanStop(VARIANT_BOOL newVal) {
    return Run([&] { fan_->SetEcFanStop(IsTrue(newVal)); });
}

HRESULT CIFanControlImpl::get_StepUnit(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetStepUnit(); });
}

HRESULT CIFanControlImpl::put_StepUnit(ULONG newVal) {
    return RunIf(FitsRegister(newVal), [&] { fan_->SetStepUnit(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::get_T1DelayTime(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetT1DelayTime(); });
}

HRESULT CIFanControlImpl::put_T1DelayTime(ULONG newVal) {
    return RunIf(FitsRegister(newVal), [&] { fan_->SetT1DelayTime(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::get_StepUnitSupported(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->IsStepUnitSupported() ? 1 : 0; });
}

HRESULT CIFanControlImpl::get_WeightsSupported(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->IsWeightsSupported() ? 1 : 0; });
}

HRESULT CIFanControlImpl::get_IsSencitiveSupported(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->IsSencitiveSupported() ? 1 : 0; });
}

HRESULT CIFanControlImpl::put_StepUnitButNotSave(ULONG newVal) {
    return RunIf(FitsRegister(newVal), [&] { fan_->SetStepUnitButNotSave(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::put_StepUpTimeButNotSave(ULONG newVal) {
    return RunIf(IsStepTime(newVal), [&] { fan_->SetStepUpTimeButNotSave(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::put_StepDownTimeButNotSave(ULONG newVal) {
    return RunIf(IsStepTime(newVal), [&] { fan_->SetStepDownTimeButNotSave(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::put_T1DelayTimeButNotSave(ULONG newVal) {
    return RunIf(FitsRegister(newVal), [&] { fan_->SetT1DelayTimeButNotSave(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::put_RpmToleranceButNotSave(ULONG newVal) {
    return RunIf(FitsRegister(newVal), [&] { fan_->SetRpmToleranceButNotSave(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::EnableRpmModeButNotSave(VARIANT_BOOL value) {
    return Run([&] { fan_->EnableRpmModeButNotSave(IsTrue(value)); });
}

HRESULT CIFanControlImpl::RefreshFanCurve(ULONG* retVal) {
    if (!retVal) return E_POINTER;
    return service::FanWork([&] {
        fan_->RefreshFanCurve(kUserProfileIndex);
        *retVal = 1;
        return S_OK;
    });
}

HRESULT CIFanControlImpl::EnableManualMode(VARIANT_BOOL value) {
    return Run([&] { fan_->EnableManualMode(position_, IsTrue(value)); });
}

HRESULT CIFanControlImpl::get_FanSourceIndex(ULONG* pVal) {
    return Read(pVal, [&] { return fan_->GetFanSourceIndex(); });
}

HRESULT CIFanControlImpl::put_FanSourceIndex(ULONG newVal) {
    return Run([&] { fan_->SetFanSourceIndex(static_cast<int>(newVal)); });
}

HRESULT CIFanControlImpl::SaveRpmTargetDuty(unsigned char duty) {
    return Run([&] { fan_->SaveRpmTargetDuty(duty); });
}

CIFanControlCollectionImpl::CIFanControlCollectionImpl() {
    EcFanControlManager* manager = EcFanControlManager::Instance();
    if (!manager) return;
    // Each fan object copies the fan's weights, which a resume restore may be writing.
    service::FanObjectsGuard guard;
    const std::vector<QuilFanControl*>& fans = manager->Fans();
    for (size_t i = 0; i < fans.size(); ++i) {
        tolo::ComPtr<CIFanControlImpl> fan(new CIFanControlImpl(static_cast<int>(i), fans[i]));
        fans_.push_back(std::move(fan));
    }
}

HRESULT CIFanControlCollectionImpl::get__NewEnum(IUnknown** pVal) {
    return service::Guarded([&] { return service::NewDispatchEnum(fans_, pVal); });
}

HRESULT CIFanControlCollectionImpl::get_Count(LONG* pVal) {
    return Read(pVal, [] {
        EcFanControlManager* manager = EcFanControlManager::Instance();
        return manager ? manager->Fans().size() : 0;
    });
}

HRESULT CIFanControlCollectionImpl::get_Item(LONG index, IFanControl** pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= fans_.size()) return E_INVALIDARG;
    return service::HandOut(fans_[index].Get(), pVal);
}
