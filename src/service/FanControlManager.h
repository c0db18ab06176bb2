// CFanControlManager: the object behind FanControlManager, the root of the automation model. One
// per process; the singleton class factory hands every client the same one.
#pragma once

#include <ocidl.h>

#include "AutomationObject.h"
#include "FanControlManagerEvents.h"
#include "QuilFanControlService_i.h"

class CIFanControlCollectionImpl;

class CFanControlManager final : public service::AutomationObject<IFanControlManager>,
                                 public IConnectionPointContainer {
public:
    // Created with the factory's reference, which holds no server lock.
    CFanControlManager();
    // The factory lets go of its reference.
    void ReleaseFactoryReference() { AutomationObject::Release(); }

    // IUnknown. Every reference but the factory's is a client's and holds the server
    // (local-server mode ends when the last client lets go).
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return AutomationObject::QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IFanControlManager (FanControlManagerMembers.cpp)
    HRESULT STDMETHODCALLTYPE get_Controls(IFanControlCollection** pVal) override;
    HRESULT STDMETHODCALLTYPE get_ConstraintType(short* pVal) override;
    HRESULT STDMETHODCALLTYPE get_MaxStepTime(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_MaxTolerance(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_IsSIOSupportedRPM(VARIANT_BOOL* pVal) override;
    HRESULT STDMETHODCALLTYPE get_RpmPerstep(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_RpmSmoothFreq(ULONG* pVal) override;
    HRESULT STDMETHODCALLTYPE get_OneSencitiveSupported(VARIANT_BOOL* pVal) override;
    HRESULT STDMETHODCALLTYPE get_IsSupportFanStop(VARIANT_BOOL* pVal) override;

    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

    CProxy_IFanControlManagerEvents& Events() { return events_; }

private:
    ~CFanControlManager() override;
    void* QueryOther(REFIID iid) override;

    CProxy_IFanControlManagerEvents events_;
    // Made at the first Controls request and held until the manager goes.
    tolo::ComPtr<CIFanControlCollectionImpl> controls_;
};

// The live manager, or null.
extern CFanControlManager* g_pFanControlManager;
