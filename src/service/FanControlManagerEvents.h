// The manager's connection point for _IFanControlManagerEvents.
#pragma once

#include <ocidl.h>
#include <windows.h>

#include <vector>

#include "QuilFanControlService_i.h"
#include "system/Handles.h"

// Part of its container: it lives as long as the container and counts its references there.
class CProxy_IFanControlManagerEvents final : public IConnectionPoint {
public:
    explicit CProxy_IFanControlManagerEvents(IConnectionPointContainer* container) : container_(container) {}
    ~CProxy_IFanControlManagerEvents() = default;
    CProxy_IFanControlManagerEvents(const CProxy_IFanControlManagerEvents&) = delete;
    CProxy_IFanControlManagerEvents& operator=(const CProxy_IFanControlManagerEvents&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return container_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return container_->Release(); }

    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

    // OnFanSettingChange to every connected sink, in the order of the connections; a sink's
    // failure does not stop the others. The result is the last sink's.
    HRESULT Fire_OnFanSettingChange(LONG fanCtrlId);

    // The connected sinks in the order of their connections (a cookie is its position + 1); an
    // entry is empty once its sink has disconnected.
    const std::vector<tolo::ComPtr<IDispatch>>& Connections() const { return sinks_; }

private:
    IConnectionPointContainer* container_;
    std::vector<tolo::ComPtr<IDispatch>> sinks_;
};
