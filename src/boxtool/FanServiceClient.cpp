#include "boxtool/FanServiceClient.h"

#include <oleauto.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "bios/BiosInterface.h"
#include "boxtool/TOrbixBoxUsb.h"
#include "boxtool/TfrmObxTestMain.h"
#include "boxtool/ToolError.h"
#include "system/Handles.h"

namespace {

// Position of the user profile in a fan's profile list.
constexpr int kUserProfilePosition = 4;

// The system's text for a failure, as the error display shows it (no trailing line break or stop).
std::wstring SystemMessage(HRESULT hr) {
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
    if (text.empty()) {
        wchar_t code[32];
        swprintf(code, 32, L"OLE error %08X", static_cast<unsigned>(hr));
        text = code;
    }
    return text;
}

class Dispatch;

// A VARIANT owned by its holder.
class Variant {
public:
    Variant() { VariantInit(&v_); }
    ~Variant() { VariantClear(&v_); }
    Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant& operator=(Variant&&) = delete;

    static Variant Int(int32_t value) {
        Variant v;
        v.v_.vt = VT_I4;
        v.v_.lVal = value;
        return v;
    }
    static Variant UInt(uint32_t value) {
        Variant v;
        v.v_.vt = VT_UI4;
        v.v_.ulVal = value;
        return v;
    }
    static Variant Object(IDispatch* object) {
        Variant v;
        v.v_.vt = VT_DISPATCH;
        v.v_.pdispVal = object;
        if (object) object->AddRef();
        return v;
    }

    VARIANT* Raw() { return &v_; }
    int32_t AsInt() const { return Converted(VT_I4).v_.lVal; }
    uint32_t AsUInt() const { return Converted(VT_UI4).v_.ulVal; }
    std::wstring AsString() const {
        Variant s = Converted(VT_BSTR);
        return s.v_.bstrVal ? std::wstring(s.v_.bstrVal, SysStringLen(s.v_.bstrVal)) : std::wstring();
    }
    Dispatch AsObject() const;

private:
    Variant Converted(VARTYPE type) const {
        Variant out;
        HRESULT hr = VariantChangeType(&out.v_, const_cast<VARIANT*>(&v_), 0, type);
        if (FAILED(hr)) throw ToolError(SystemMessage(hr));
        return out;
    }

    VARIANT v_;
};

// An automation object whose members are looked up by name at every call.
class Dispatch {
public:
    explicit Dispatch(tolo::ComPtr<IDispatch> object) : object_(std::move(object)) {
        if (!object_) throw ToolError(SystemMessage(E_POINTER));
    }

    IDispatch* Interface() const { return object_.Get(); }
    Variant Property(const wchar_t* member) const { return Invoke(member, DISPATCH_PROPERTYGET, nullptr); }
    Variant Property(const wchar_t* member, Variant index) const {
        return Invoke(member, DISPATCH_PROPERTYGET, &index);
    }
    void SetProperty(const wchar_t* member, Variant value) const {
        Invoke(member, DISPATCH_PROPERTYPUT, &value);
    }
    void Call(const wchar_t* member, Variant argument) const { Invoke(member, DISPATCH_METHOD, &argument); }

private:
    Variant Invoke(const wchar_t* member, WORD flags, Variant* argument) const {
        DISPID id = DISPID_UNKNOWN;
        LPOLESTR name = const_cast<LPOLESTR>(member);
        HRESULT hr = object_->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        if (FAILED(hr)) throw ToolError(SystemMessage(hr));
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS params{};
        if (argument) {
            params.rgvarg = argument->Raw();
            params.cArgs = 1;
        }
        if (flags == DISPATCH_PROPERTYPUT) {
            params.rgdispidNamedArgs = &putId;
            params.cNamedArgs = 1;
        }
        Variant result;
        EXCEPINFO info{};
        UINT argumentError = 0;
        hr = object_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                             flags == DISPATCH_PROPERTYPUT ? nullptr : result.Raw(), &info, &argumentError);
        if (FAILED(hr)) throw ToolError(ErrorText(hr, info));
        return result;
    }

    // A server's own description of its error when it gave one, else the system's text.
    static std::wstring ErrorText(HRESULT hr, EXCEPINFO& info) {
        if (hr == DISP_E_EXCEPTION && info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
        tolo::Bstr description, source, help;
        description.Reset(info.bstrDescription);
        source.Reset(info.bstrSource);
        help.Reset(info.bstrHelpFile);
        if (hr == DISP_E_EXCEPTION && description.Get() && SysStringLen(description.Get()))
            return std::wstring(description.Get(), SysStringLen(description.Get()));
        if (hr == DISP_E_EXCEPTION && FAILED(info.scode)) return SystemMessage(info.scode);
        return SystemMessage(hr);
    }

    tolo::ComPtr<IDispatch> object_;
};

Dispatch Variant::AsObject() const {
    Variant d = Converted(VT_DISPATCH);
    if (d.v_.pdispVal) d.v_.pdispVal->AddRef();
    return Dispatch(tolo::ComPtr<IDispatch>(d.v_.pdispVal));
}

// The failures of an activation that reached a server on its way out: its last client let go a
// moment before, and it was already leaving as the request came. Asked again, COM starts a new one.
bool ServerWasEnding(HRESULT hr) {
    switch (hr) {
        case E_FAIL:  // Wine's answer when the class object went as it was asked
        case CO_E_SERVER_STOPPING:
        case CO_E_OBJNOTCONNECTED:
        case RPC_E_DISCONNECTED:
        case RPC_E_SERVER_DIED:
        case RPC_E_SERVER_DIED_DNE:
        case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED): return true;
        default: return false;
    }
}

// A new manager object: the service itself, or a server COM starts for it.
Dispatch CreateFanManager() {
    constexpr int kTries = 3;
    constexpr DWORD kPauseMs = 100;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(kFanServiceProgId, &clsid);
    tolo::ComPtr<IDispatch> manager;
    if (SUCCEEDED(hr)) {
        for (int tries = 1;; ++tries) {
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                  manager.PutVoid());
            if (SUCCEEDED(hr) || tries == kTries || !ServerWasEnding(hr)) break;
            Sleep(kPauseMs);
        }
    }
    if (FAILED(hr))
        throw ToolError(SystemMessage(hr) + L", ProgID: \"" + std::wstring(kFanServiceProgId) + L"\"");
    return Dispatch(std::move(manager));
}

// A single-threaded apartment for the life of the object.
class ComApartment {
public:
    ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~ComApartment() {
        if (initialised_) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_;
};

// Which box fans show a service fan: the first rule whose substrings are all in the lower-case name.
struct BoxFanRoute {
    const wchar_t* first;
    const wchar_t* second;  // null: the first alone decides
    std::vector<int> boxFans;
};

const std::vector<BoxFanRoute>& BoxFanRoutes() {
    static const std::vector<BoxFanRoute> routes = {
        {L"cpu", nullptr, {0, 1}},
        {L"cha", L"1", {2}},
        {L"cha", L"2", {3}},
        {L"cha", L"3", {4}},
    };
    return routes;
}

// The duty workers' turns, one queue per service fan: a worker applies while it holds its fan's
// turn, and only when its duty is still the last one forwarded for the fan. So the fan ends with
// the duty the box shows, whatever order the threads run in. Until the worker of the last duty is
// done, that duty is on its way: the box is shown it rather than the service's older one (a
// reconnect's push may read the service meanwhile).
struct FanTurn {
    std::mutex applying;   // held by the fan's worker that applies
    uint32_t latest = 0;   // order of the last duty forwarded for the fan
    uint32_t settled = 0;  // order of the last duty whose worker is done (applied or failed)
    int latestDuty = 0;    // box scale
};

// One instance for the life of the process, never destroyed: a duty worker that did not end in
// time may still take its turn and count itself off while the process's static objects go.
template <class T>
T& Lasting() {
    static T* instance = new T;
    return *instance;
}
struct FanTurns {
    std::mutex lock;
    std::map<int, FanTurn> byFan;  // nodes stay where they are: references to them hold
};
FanTurns& Turns() {
    return Lasting<FanTurns>();
}

// Numbers a duty forwarded for the fan; the window and listener threads wait for no worker here.
uint32_t ForwardedDuty(int fan, int duty) {
    std::lock_guard<std::mutex> lock(Turns().lock);
    FanTurn& turn = Turns().byFan[fan];
    turn.latestDuty = duty;
    return ++turn.latest;
}

// The worker of a duty is done with it: when it was the fan's last, no duty is on its way.
void Settled(int fan, uint32_t order) {
    std::lock_guard<std::mutex> lock(Turns().lock);
    auto turn = Turns().byFan.find(fan);
    if (turn != Turns().byFan.end() && turn->second.latest == order) turn->second.settled = order;
}

// Where the fan's duties stand: the last forwarded, its order and whether its worker is done.
struct DutyProgress {
    uint32_t latest = 0;
    bool onItsWay = false;
    int duty = 0;
};
DutyProgress ProgressOf(int fan) {
    std::lock_guard<std::mutex> lock(Turns().lock);
    auto turn = Turns().byFan.find(fan);
    if (turn == Turns().byFan.end()) return {};
    return {turn->second.latest, turn->second.settled != turn->second.latest, turn->second.latestDuty};
}

FanTurn& TurnOf(int fan) {
    std::lock_guard<std::mutex> lock(Turns().lock);
    return Turns().byFan[fan];
}

bool Superseded(int fan, uint32_t order) {
    std::lock_guard<std::mutex> lock(Turns().lock);
    return Turns().byFan[fan].latest != order;
}

// The duty workers still running. A worker in the middle of its calls holds a manager: were the
// tool to end then, the service would never see that reference go (Wine does not release what a
// client process held when it ended), and a server that COM started for the tool would never
// end. So the tool's end (and the session's) waits for them, and no worker sets a duty after that.
struct DutyWorkers {
    std::mutex lock;
    std::condition_variable done;  // the last one ended
    int running = 0;
    bool toolEnding = false;
};
DutyWorkers& Workers() {
    return Lasting<DutyWorkers>();
}

// One running worker, counted until this object goes; none is counted once the tool ends.
// FanSvc_SetDutyAsync counts its worker before the thread starts, so that an end that comes
// before the thread has run still waits for it; the thread adopts that count.
class RunningWorker {
public:
    explicit RunningWorker(bool adopt) {
        std::lock_guard<std::mutex> lock(Workers().lock);
        counted_ = adopt || !Workers().toolEnding;
        if (counted_ && !adopt) ++Workers().running;
    }
    ~RunningWorker() {
        if (!counted_) return;
        std::lock_guard<std::mutex> lock(Workers().lock);
        if (--Workers().running == 0) Workers().done.notify_all();
    }
    RunningWorker(const RunningWorker&) = delete;
    RunningWorker& operator=(const RunningWorker&) = delete;
    bool Counted() const { return counted_; }
    // The started thread counts itself off.
    void PassOn() { counted_ = false; }

private:
    bool counted_;
};

// Window-thread caches, for the life of the process.
int g_fanCount = 0;
std::map<int, std::wstring>& FanNames() {
    static std::map<int, std::wstring> names;
    return names;
}

// The fan's user curve made flat at the duty's speed, stored and made the fan's active profile.
// Every use of the fan object and of its profile collection is a fresh read.
void WriteFlatUserCurve(int fan, int duty) {
    Dispatch manager = CreateFanManager();
    Dispatch fans = manager.Property(L"Controls").AsObject();
    auto fanObject = [&] { return fans.Property(L"Item", Variant::Int(fan)).AsObject(); };
    auto profiles = [&] { return fanObject().Property(L"Profiles").AsObject(); };

    Dispatch curve = profiles()
                         .Property(L"Item", Variant::Int(kUserProfilePosition))
                         .AsObject()
                         .Property(L"FanCurve")
                         .AsObject();
    const uint32_t points = curve.Property(L"Count").AsUInt();
    const uint32_t speed = static_cast<uint32_t>(BoxDutyToServiceSpeed(duty));
    if (IsBiosItemPresent(kFanCurveDeviceItem)) fanObject().Call(L"EnableManualMode", Variant::Int(0));
    for (uint32_t i = 0; i < points; ++i)
        curve.Property(L"Item", Variant::UInt(i)).AsObject().SetProperty(L"Speed", Variant::UInt(speed));
    fanObject().Call(L"NormalizeFanCurve", Variant::Object(curve.Interface()));
    profiles().Call(L"SaveUserProfile", Variant::Object(curve.Interface()));
    const int count = profiles().Property(L"Count").AsInt();
    fanObject().Call(L"ApplyIndex", Variant::Int(count - 1));
}

}  // namespace

int BoxDutyToServiceSpeed(int duty) {
    // The box's scale ends at 10. A larger value (a knob byte or box register the firmware got
    // wrong) means full speed: past 255 the chip's 8-bit duty registers would wrap it to a slow one.
    return static_cast<int>(std::clamp(duty, 0, 10) * 255 * 0.1);
}

int ServiceDutyToBoxDuty(uint32_t duty) {
    return static_cast<int>((duty * (1.0 / 255) + 0.015) * 10);
}

int FanSvc_GetFanCount() {
    if (g_fanCount > 0) return g_fanCount;
    Dispatch manager = CreateFanManager();
    g_fanCount = manager.Property(L"Controls").AsObject().Property(L"Count").AsInt();
    return g_fanCount;
}

std::wstring FanSvc_GetFanName(int index) {
    auto cached = FanNames().find(index);
    if (cached != FanNames().end() && !cached->second.empty()) return cached->second;
    Dispatch manager = CreateFanManager();
    std::wstring name = manager.Property(L"Controls")
                            .AsObject()
                            .Property(L"Item", Variant::Int(index))
                            .AsObject()
                            .Property(L"Name")
                            .AsString();
    FanNames()[index] = name;
    return name;
}

int FanSvc_GetFanDuty(int index) {
    const DutyProgress before = ProgressOf(index);
    Dispatch manager = CreateFanManager();
    const uint32_t duty = manager.Property(L"Controls")
                              .AsObject()
                              .Property(L"Item", Variant::Int(index))
                              .AsObject()
                              .Property(L"DutyCycle")
                              .AsUInt();
    // A duty on its way when the read began, or forwarded since, is the one the fan is to run: the
    // service may have answered before its worker applied it.
    const DutyProgress after = ProgressOf(index);
    if (before.onItsWay || after.latest != before.latest) return after.duty;
    return ServiceDutyToBoxDuty(duty);
}

std::vector<int> BoxFansOfServiceFan(const std::wstring& name) {
    std::wstring lower = name;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    for (const BoxFanRoute& r : BoxFanRoutes())
        if (lower.find(r.first) != std::wstring::npos &&
            (!r.second || lower.find(r.second) != std::wstring::npos))
            return r.boxFans;
    return {};
}

void FanSvc_PushDutiesToBox() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the window thread's apartment from now on
    const int count = FanSvc_GetFanCount();
    for (int i = 0; i < count; ++i) {
        const int duty = FanSvc_GetFanDuty(i);
        for (int boxFan : BoxFansOfServiceFan(FanSvc_GetFanName(i)))
            if (g_orbixBoxUsb)
                g_orbixBoxUsb->SetFanDuty(static_cast<uint8_t>(kBoxFanDuty0 + boxFan),
                                          static_cast<uint8_t>(duty));
    }
}

void FanSvc_SetDutyAsync(int fan, int duty) {
    RunningWorker counted(false);
    if (!counted.Counted()) return;  // the tool ends: dropped before it is numbered
    auto* handOver = new (std::nothrow) DutyHandOver{fan, duty, 0, true};
    if (!handOver) return;
    try {
        handOver->order = ForwardedDuty(fan, duty);
    } catch (...) {
        delete handOver;  // no room to queue it: the duty is lost as a worker that fails
        return;
    }
    tolo::UniqueHandle worker(CreateThread(nullptr, 0, fan_SetDuty, handOver, 0, nullptr));
    if (worker) {
        counted.PassOn();
        return;
    }
    Settled(fan, handOver->order);  // lost as a worker that fails: nothing is on its way
    delete handOver;
}

bool FanSvc_EndDutyWorkers(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(Workers().lock);
    Workers().toolEnding = true;
    return Workers().done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [] { return Workers().running == 0; });
}

DWORD WINAPI fan_SetDuty(LPVOID param) {
    auto* given = static_cast<DutyHandOver*>(param);
    const RunningWorker running(given->counted);  // counted off last, after the apartment
    std::unique_ptr<DutyHandOver> handOver(given);
    try {
        std::lock_guard<std::mutex> turn(TurnOf(handOver->fan).applying);
        // Else a newer duty follows, or the tool ends.
        if (running.Counted() && !Superseded(handOver->fan, handOver->order)) {
            ComApartment apartment;
            WriteFlatUserCurve(handOver->fan, handOver->duty);
        }
    } catch (...) {
        // A worker ends quietly whatever failed: nobody waits for it to report.
    }
    try {
        Settled(handOver->fan, handOver->order);
    } catch (...) {
    }
    return 0;
}
