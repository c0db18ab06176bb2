// A client of the fan service that another process kills: it takes the manager and, below the
// first fan, the objects a client edits with, and then either waits with them (pumping its
// apartment's messages, as a live client does) or makes a call that the service cannot finish
// soon.
//
//   survival_client READY hold   edit the user curve without saving it, connect an event sink,
//                                set READY and wait for the end
//   survival_client READY call   set READY, then save and apply the user profile (and wait for
//                                the end when that returns)
//   survival_client READY sink   connect an event sink that, called, sets the event READY-insink
//                                and never returns; set READY and wait for the end
//   survival_client READY stall  connect an event sink that, called, sets READY-insink and then
//                                takes no message until READY-release is set (90 s at most); set
//                                READY, apply the user profile and end when that call returns
//
// Exit codes: 0 done, 1 bad arguments, 2 no READY event, 3 a call failed.
#include <ocidl.h>
#include <windows.h>

#include <cwchar>
#include <initializer_list>
#include <string>

#include "LateBound.h"
#include "QuilFanControlService_i.h"
#include "system/Handles.h"

namespace {

using tolo::ComPtr;

// A sink that takes the events: it does nothing with them, or (with a name) sets the named event
// and never returns, as a client stuck in its handler, or until the release event is set, as a
// handler busy for a while that takes no message meanwhile.
class ClientSink final : public IDispatch {
public:
    explicit ClientSink(const wchar_t* stuckEvent = nullptr, const wchar_t* releaseEvent = nullptr)
        : stuckEvent_(stuckEvent), releaseEvent_(releaseEvent) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
            !IsEqualIID(iid, DIID__IFanControlManagerEvents))
            return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        return S_OK;
    }
    // Lives until the process dies.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        if (stuckEvent_) {
            tolo::UniqueHandle called(OpenEventW(EVENT_MODIFY_STATE, FALSE, stuckEvent_));
            if (called) SetEvent(called.Get());
            if (!releaseEvent_) Sleep(INFINITE);
            tolo::UniqueHandle release(OpenEventW(SYNCHRONIZE, FALSE, releaseEvent_));
            if (release) WaitForSingleObject(release.Get(), 90000);
        }
        return S_OK;
    }

private:
    const wchar_t* stuckEvent_;
    const wchar_t* releaseEvent_;
};

ComPtr<IDispatch> Object(IDispatch* object, const wchar_t* name, std::initializer_list<VARIANT> args = {}) {
    VARIANT v;
    if (!object || FAILED(test::Get(object, name, &v, args)) || v.vt != VT_DISPATCH) return {};
    return ComPtr<IDispatch>(v.pdispVal);
}

VARIANT Dispatch(IDispatch* object) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = object;
    return v;
}

[[noreturn]] void PumpUntilKilled() {
    for (;;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 1;
    const bool hold = std::wcscmp(argv[2], L"hold") == 0;
    const bool sink = std::wcscmp(argv[2], L"sink") == 0;
    const bool stall = std::wcscmp(argv[2], L"stall") == 0;
    if (!hold && !sink && !stall && std::wcscmp(argv[2], L"call") != 0) return 1;
    tolo::UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]));
    if (!ready) return 2;
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 3;

    CLSID clsid;
    ComPtr<IDispatch> manager;
    if (FAILED(CLSIDFromProgID(L"QuilFanControlService.FanControlManager", &clsid)) ||
        FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, manager.PutVoid())))
        return 3;
    ComPtr<IDispatch> controls = Object(manager.Get(), L"Controls");
    ComPtr<IDispatch> fan = Object(controls.Get(), L"Item", {test::I4(0)});
    ComPtr<IDispatch> profiles = Object(fan.Get(), L"Profiles");
    ComPtr<IDispatch> user = Object(profiles.Get(), L"Item", {test::I4(4)});
    ComPtr<IDispatch> curve = Object(user.Get(), L"FanCurve");
    ComPtr<IDispatch> current = Object(fan.Get(), L"CurrentFanCurve");
    ComPtr<IDispatch> weights = Object(fan.Get(), L"ThermalWeights");
    if (!curve || !current || !weights) return 3;

    if (hold || sink || stall) {
        if (hold) {
            // Half an edit: the first points of the curve object get new speeds, nothing is saved.
            for (long i = 0; i < 2; ++i)
                if (ComPtr<IDispatch> point = Object(curve.Get(), L"Item", {test::I4(i)}))
                    test::Put(point.Get(), L"Speed", test::I4(7));
        }
        static const std::wstring stuckEvent = std::wstring(argv[1]) + L"-insink";
        static const std::wstring releaseEvent = std::wstring(argv[1]) + L"-release";
        static ClientSink events(sink || stall ? stuckEvent.c_str() : nullptr,
                                 stall ? releaseEvent.c_str() : nullptr);
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        if (FAILED(manager->QueryInterface(IID_IConnectionPointContainer, container.PutVoid())) ||
            FAILED(container->FindConnectionPoint(DIID__IFanControlManagerEvents, point.Put())) ||
            FAILED(point->Advise(&events, &cookie)))
            return 3;
        SetEvent(ready.Get());
        if (!stall) PumpUntilKilled();
        // The service calls the sink back from inside this call.
        return SUCCEEDED(test::Call(fan.Get(), L"ApplyIndex", DISPATCH_METHOD, {test::I4(4)}, nullptr)) ? 0
                                                                                                        : 3;
    }

    SetEvent(ready.Get());
    VARIANT saved;
    if (FAILED(test::Call(profiles.Get(), L"SaveUserProfile", DISPATCH_METHOD, {Dispatch(curve.Get())},
                          &saved)) ||
        FAILED(test::Call(fan.Get(), L"ApplyIndex", DISPATCH_METHOD, {test::I4(4)}, nullptr)))
        return 3;
    PumpUntilKilled();
}
