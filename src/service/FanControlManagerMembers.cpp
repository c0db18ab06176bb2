// The members of IFanControlManager: the fan collection and the chip's capabilities.
#include "FanControl.h"
#include "FanControlManager.h"
#include "RestoreThread.h"
#include "fancore/SioAccessor.h"

namespace {

// The automation convention of this interface: 1 for true, not VARIANT_TRUE.
VARIANT_BOOL AsOneOrZero(bool value) {
    return value ? 1 : 0;
}

}  // namespace

HRESULT CFanControlManager::get_Controls(IFanControlCollection** pVal) {
    if (!pVal) return E_POINTER;
    *pVal = nullptr;
    return service::Guarded([&] {
        if (!controls_) {
            // No client sees a fan before the start-up restore is over.
            while (InterlockedCompareExchange(&g_restoreDone, 0, 0) != 1) Sleep(100);
            controls_ = tolo::ComPtr<CIFanControlCollectionImpl>(new CIFanControlCollectionImpl);
        }
        return service::HandOut(controls_.Get(), pVal);
    });
}

HRESULT CFanControlManager::get_ConstraintType(short* pVal) {
    return service::GuardedGet(pVal, [] { return SioAccessor::Instance().GetConstraintType(); });
}

HRESULT CFanControlManager::get_MaxStepTime(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = kMaxStepTime;
    return S_OK;
}

HRESULT CFanControlManager::get_MaxTolerance(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = kMaxTolerance;
    return S_OK;
}

HRESULT CFanControlManager::get_IsSIOSupportedRPM(VARIANT_BOOL* pVal) {
    return service::GuardedGet(pVal,
                               [] { return AsOneOrZero(SioAccessor::Instance().HasExtendedFanControl()); });
}

HRESULT CFanControlManager::get_RpmPerstep(ULONG* pVal) {
    return service::GuardedGet(pVal, [] { return SioAccessor::Instance().GetRpmPerstep(); });
}

HRESULT CFanControlManager::get_RpmSmoothFreq(ULONG* pVal) {
    return service::GuardedGet(pVal, [] { return SioAccessor::Instance().GetRpmSmoothFreq(); });
}

HRESULT CFanControlManager::get_OneSencitiveSupported(VARIANT_BOOL* pVal) {
    return service::GuardedGet(pVal,
                               [] { return AsOneOrZero(SioAccessor::Instance().IsOneSencitiveSupported()); });
}

HRESULT CFanControlManager::get_IsSupportFanStop(VARIANT_BOOL* pVal) {
    return service::GuardedGet(pVal, [] { return AsOneOrZero(SioAccessor::Instance().IsSupportFanStop()); });
}
