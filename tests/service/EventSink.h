// A client's sink for _IFanControlManagerEvents, counting its references and the events it got.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <vector>

#include "QuilFanControlService_i.h"

namespace test {

class EventSink final : public IDispatch {
public:
    // answerEvents false: the sink does not offer the event interface.
    explicit EventSink(bool answerEvents = true) : answerEvents_(answerEvents) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
            (answerEvents_ && IsEqualIID(iid, DIID__IFanControlManagerEvents)))
            *out = static_cast<IDispatch*>(this);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    // Lives on the test's stack: the count is only observed.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        if (id == 1 && params && params->cArgs == 1 && params->rgvarg[0].vt == VT_I4)
            events.push_back(params->rgvarg[0].lVal);
        return S_OK;
    }

    ULONG References() const { return refs_; }
    std::vector<long> events;

private:
    bool answerEvents_;
    ULONG refs_ = 0;
};

}  // namespace test
