// The fan level of the automation model: one CIFanControlImpl per fan header, whose members
// forward one by one to the fan object of the core, and the collection of them in the fan
// manager's order.
#pragma once

#include <vector>

#include "AutomationObject.h"
#include "FanCurves.h"
#include "FanProfiles.h"
#include "FanValueLists.h"
#include "QuilFanControlService_i.h"
#include "fancore/FanLimits.h"

class QuilFanControl;

class CIFanControlImpl final : public service::AutomationObject<IFanControl> {
public:
    // position: the fan's index in the fan manager's list; fan: not owned. The thermal weights
    // and multi-fan sources objects copy the fan's lists now (see FanValueList).
    CIFanControlImpl(int position, QuilFanControl* fan);

    HRESULT STDMETHODCALLTYPE get_Id(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* pVal) override;
    HRESULT STDMETHODCALLTYPE get_DutyCycle(unsigned char* pVal) override;
    HRESULT STDMETHODCALLTYPE put_DutyCycle(unsigned char newVal) override;
    HRESULT STDMETHODCALLTYPE get_Profiles(IFanProfileCollection** pVal) override;
    HRESULT STDMETHODCALLTYPE ApplyFanCurve(IFanCurve* FanCurve, ULONG* retVal) override;
    HRESULT STDMETHODCALLTYPE NormalizeFanCurve(IFanCurve* FanCurve, ULONG* retVal) override;
    HRESULT STDMETHODCALLTYPE get_StartupProfileIndex(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_StartupProfileIndex(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE ApplyIndex(LONG index) override;
    HRESULT STDMETHODCALLTYPE get_CalculatedDuty(unsigned char Temperature, unsigned char* pVal) override;
    HRESULT STDMETHODCALLTYPE get_MinimalDuty(unsigned char* pVal) override;
    HRESULT STDMETHODCALLTYPE get_EcMode(LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_EcMode(LONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_ThermalWeights(IThermalWeights** pVal) override;
    HRESULT STDMETHODCALLTYPE put_ThermalWeights(IThermalWeights* newVal) override;
    HRESULT STDMETHODCALLTYPE get_CurrentFanCurve(IFanCurve** pVal) override;
    HRESULT STDMETHODCALLTYPE get_DisplayName(BSTR* pVal) override;
    HRESULT STDMETHODCALLTYPE put_DisplayName(BSTR newVal) override;
    HRESULT STDMETHODCALLTYPE get_StepUpTime(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_StepUpTime(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_StepDownTime(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_StepDownTime(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_TempTolerance(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_TempTolerance(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE EnableRpmMode(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE get_IsRpmMode(VARIANT_BOOL* pVal) override;
    HRESULT STDMETHODCALLTYPE get_RpmTolerance(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_RpmTolerance(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_EcFanStop(VARIANT_BOOL* pVal) override;
    HRESULT STDMETHODCALLTYPE put_EcFanStop(VARIANT_BOOL newVal) override;
    HRESULT STDMETHODCALLTYPE get_StepUnit(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_StepUnit(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_T1DelayTime(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_T1DelayTime(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_StepUnitSupported(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_WeightsSupported(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_StepUnitButNotSave(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE put_StepUpTimeButNotSave(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE put_StepDownTimeButNotSave(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE put_T1DelayTimeButNotSave(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE put_RpmToleranceButNotSave(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE EnableRpmModeButNotSave(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE ApplyFanCurveButNotSave(IFanCurve* FanCurve, ULONG* retVal) override;
    HRESULT STDMETHODCALLTYPE get_IsSencitiveSupported(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE SetFanDuty(IFanCurve* FanCurve, ULONG* retVal) override;
    HRESULT STDMETHODCALLTYPE RefreshFanCurve(ULONG* retVal) override;
    HRESULT STDMETHODCALLTYPE EnableManualMode(VARIANT_BOOL value) override;
    HRESULT STDMETHODCALLTYPE get_FanSourceIndex(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_FanSourceIndex(ULONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_MultiFanSource(IMultiFanSource** pVal) override;
    HRESULT STDMETHODCALLTYPE SaveRpmTargetDuty(unsigned char duty) override;

    QuilFanControl* Fan() const { return fan_; }
    int Position() const { return position_; }

private:
    // The profile collection and the current-curve object, made at the first request.
    void EnsureProfiles();
    // How a client curve reaches the user profile u: the steps of ApplyFanCurve, of which
    // restoreOld and duty vary.
    enum class CurveUse { Apply, ApplyNotSaved, FanDuty };
    HRESULT UseCurve(IFanCurve* curve, ULONG* retVal, CurveUse use);
    // The fan's user profile (E_FAIL without one) and the client's curve.
    HRESULT ReadUserCurve(IFanCurve* curve, int* position, FanProfile** user, ClientCurve* points);

    int position_;
    QuilFanControl* fan_;
    tolo::ComPtr<CIFanProfileCollectionImpl> profiles_;
    tolo::ComPtr<CIThermalWeightsImpl> weights_;
    tolo::ComPtr<CIMultiFanSourceImpl> sources_;
    FanCurveHandle currentCurve_;
};

class CIFanControlCollectionImpl final : public service::AutomationObject<IFanControlCollection> {
public:
    // The fans of the fan manager's list, in its order; none when there is no manager.
    CIFanControlCollectionImpl();

    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** pVal) override;
    // Asked of the fan manager afresh.
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, IFanControl** pVal) override;

private:
    std::vector<tolo::ComPtr<CIFanControlImpl>> fans_;
};
