// Base of the service's automation objects: reference counting, QueryInterface and IDispatch
// through the type library for one dual interface.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <new>

#include "FanObjectsLock.h"
#include "QuilFanControlService_i.h"
#include "TypeLibrary.h"
#include "fancore/FanStore.h"
#include "system/Handles.h"

namespace service {

template <class Interface>
class AutomationObject : public Interface {
public:
    AutomationObject(const AutomationObject&) = delete;
    AutomationObject& operator=(const AutomationObject&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            IsEqualIID(iid, __uuidof(Interface)))
            *out = static_cast<Interface*>(this);
        else
            *out = QueryOther(iid);
        if (!*out) return E_NOINTERFACE;
        static_cast<IUnknown*>(*out)->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs_);
        if (n == 0) delete this;
        return n;
    }

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return GetServiceTypeInfo(__uuidof(Interface), info);
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        tolo::ComPtr<ITypeInfo> info;
        HRESULT hr = GetServiceTypeInfo(__uuidof(Interface), info.Put());
        if (FAILED(hr)) return hr;
        return DispGetIDsOfNames(info.Get(), names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* badArgument) override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        tolo::ComPtr<ITypeInfo> info;
        HRESULT hr = GetServiceTypeInfo(__uuidof(Interface), info.Put());
        if (FAILED(hr)) return hr;
        return DispInvoke(static_cast<Interface*>(this), info.Get(), id, flags, params, result, exception,
                          badArgument);
    }

protected:
    // Created with one reference, which the creator owns.
    AutomationObject() = default;
    virtual ~AutomationObject() = default;

    // Other interfaces of the object (a base interface, a connection-point container); null for
    // none. The caller adds the reference.
    virtual void* QueryOther(REFIID) { return nullptr; }

private:
    volatile LONG refs_ = 1;
};

// Runs a member's body and turns anything it throws into a result: no exception leaves a COM call.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// A getter's body: the value `get` answers, converted to the out parameter's type.
template <class Out, class Get>
HRESULT GuardedGet(Out* out, Get&& get) noexcept {
    if (!out) return E_POINTER;
    return Guarded([&] {
        *out = static_cast<Out>(get());
        return S_OK;
    });
}

// A member's work on the fan objects: guarded, and under the fan-objects lock for the whole body.
// The body makes no call out of the process (a client's curve is read before, events are fired
// and a client's curve written after), so a stalled client cannot hold up the resume restore.
template <class Body>
HRESULT FanWork(Body&& body) noexcept {
    return Guarded([&] {
        FanObjectsGuard guard;
        return body();
    });
}

// The work of a member that stores what it changes: STG_E_CANTSAVE when a save made during the
// body did not reach FanStore.xml (the change stands on the chip and in memory, but would not
// survive a restart, and the client must not take it for saved).
template <class Body>
HRESULT StoringWork(Body&& body) noexcept {
    return Guarded([&] {
        const unsigned failedBefore = FanStoreFailedSaves();
        const HRESULT hr = body();
        return SUCCEEDED(hr) && FanStoreFailedSaves() != failedBefore ? STG_E_CANTSAVE : hr;
    });
}

// A storing member whose whole body works on the fan objects: StoringWork under the fan-objects
// lock, as FanWork is.
template <class Body>
HRESULT StoringFanWork(Body&& body) noexcept {
    return StoringWork([&] {
        FanObjectsGuard guard;
        return body();
    });
}

// Hands out one more reference to an object of the service, as an out parameter.
template <class Interface, class Object>
HRESULT HandOut(Object* object, Interface** out) {
    if (!out) return E_POINTER;
    *out = object;
    if (object) object->AddRef();
    return S_OK;
}

}  // namespace service
