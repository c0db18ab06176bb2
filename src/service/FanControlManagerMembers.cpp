// The members of IFanControlManager.
#include "FanControlManager.h"

HRESULT CFanControlManager::get_Controls(IFanControlCollection** pVal) {
    if (pVal) *pVal = nullptr;
    return E_NOTIMPL;
}

HRESULT CFanControlManager::get_ConstraintType(short*) {
    return E_NOTIMPL;
}

HRESULT CFanControlManager::get_MaxStepTime(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 50;
    return S_OK;
}

HRESULT CFanControlManager::get_MaxTolerance(ULONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = 3;
    return S_OK;
}

HRESULT CFanControlManager::get_IsSIOSupportedRPM(VARIANT_BOOL*) {
    return E_NOTIMPL;
}

HRESULT CFanControlManager::get_RpmPerstep(ULONG*) {
    return E_NOTIMPL;
}

HRESULT CFanControlManager::get_RpmSmoothFreq(ULONG*) {
    return E_NOTIMPL;
}

HRESULT CFanControlManager::get_OneSencitiveSupported(VARIANT_BOOL*) {
    return E_NOTIMPL;
}

HRESULT CFanControlManager::get_IsSupportFanStop(VARIANT_BOOL*) {
    return E_NOTIMPL;
}
