#include "FanControlManagerEvents.h"

#include <olectl.h>

#include "Enumerators.h"

HRESULT CProxy_IFanControlManagerEvents::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    // Marshaling the connection point to another process asks for IConnectionPoint itself.
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IConnectionPoint)) return E_NOINTERFACE;
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT CProxy_IFanControlManagerEvents::GetConnectionInterface(IID* iid) {
    if (!iid) return E_POINTER;
    *iid = DIID__IFanControlManagerEvents;
    return S_OK;
}

HRESULT CProxy_IFanControlManagerEvents::GetConnectionPointContainer(IConnectionPointContainer** out) {
    if (!out) return E_POINTER;
    *out = container_;
    container_->AddRef();
    return S_OK;
}

HRESULT CProxy_IFanControlManagerEvents::Advise(IUnknown* sink, DWORD* cookie) {
    if (!cookie) return E_POINTER;
    *cookie = 0;
    if (!sink) return E_POINTER;
    tolo::ComPtr<IDispatch> events;
    if (FAILED(sink->QueryInterface(DIID__IFanControlManagerEvents, events.PutVoid())))
        return CONNECT_E_CANNOTCONNECT;
    size_t slot = 0;
    while (slot < sinks_.size() && sinks_[slot]) ++slot;
    if (slot == sinks_.size()) {
        try {
            sinks_.emplace_back();
        } catch (...) {
            return E_OUTOFMEMORY;
        }
    }
    sinks_[slot] = std::move(events);
    *cookie = static_cast<DWORD>(slot + 1);
    return S_OK;
}

HRESULT CProxy_IFanControlManagerEvents::Unadvise(DWORD cookie) {
    if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) return CONNECT_E_NOCONNECTION;
    // Released outside the list: the sink's release may call back into this connection point.
    tolo::ComPtr<IDispatch> gone = std::move(sinks_[cookie - 1]);
    return S_OK;
}

HRESULT CProxy_IFanControlManagerEvents::EnumConnections(IEnumConnections** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::vector<CONNECTDATA> connections;
    try {
        for (size_t i = 0; i < sinks_.size(); ++i)
            if (sinks_[i]) connections.push_back({sinks_[i].Get(), static_cast<DWORD>(i + 1)});
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return service::SnapshotEnum<IEnumConnections, CONNECTDATA>::Create(connections, out);
}

HRESULT CProxy_IFanControlManagerEvents::Fire_OnFanSettingChange(LONG fanCtrlId) {
    // A sink called in another process may disconnect meanwhile: walk a copy of the list.
    std::vector<tolo::ComPtr<IDispatch>> sinks;
    try {
        sinks = sinks_;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    HRESULT hr = S_OK;
    for (const tolo::ComPtr<IDispatch>& sink : sinks) {
        if (!sink) continue;
        VARIANT argument;
        VariantInit(&argument);
        argument.vt = VT_I4;
        argument.lVal = fanCtrlId;
        DISPPARAMS params{&argument, nullptr, 1, 0};
        VARIANT result;
        VariantInit(&result);
        hr = sink->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr,
                          nullptr);
        VariantClear(&result);
    }
    return hr;
}
