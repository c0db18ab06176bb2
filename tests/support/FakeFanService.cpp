#include "FakeFanService.h"

#include <oleauto.h>

#include <atomic>
#include <chrono>
#include <set>

#include "system/Handles.h"

namespace test {

namespace {

// The fan service's ProgID, as its clients create it.
constexpr wchar_t kFanServiceProgId[] = L"QuilFanControlService.FanControlManager";
std::wstring ProgIdKey() {
    return std::wstring(kFanServiceProgId) + L"\\CLSID";
}

// A class id of this fake alone, which the ProgID points at while the fake lives. The prefix's COM
// keeps a class object registered by a process that was killed, and hands it to the next client of
// that class id: a fixed id would fail every later fake in the prefix after one killed test.
CLSID NewFakeClassId() {
    CLSID clsid{};
    CoCreateGuid(&clsid);
    return clsid;
}

std::wstring Text(const CLSID& clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return text;
}

// Whether a server is registered for the class id text: a ProgID that names a class nobody
// registered is an override left by a test that was killed before it could put the ProgID back.
bool ClassHasServer(const std::wstring& clsid) {
    for (const wchar_t* server : {L"\\LocalServer32", L"\\InprocServer32"}) {
        tolo::RegKey key;
        if (RegOpenKeyExW(HKEY_CLASSES_ROOT, (L"CLSID\\" + clsid + server).c_str(), 0, KEY_READ, key.Put()) ==
            ERROR_SUCCESS)
            return true;
    }
    return false;
}

enum class Kind { Manager, Fans, Fan, Profiles, Profile, Curve, Point };
enum class Access { Get, Method, Put };

struct Member {
    const wchar_t* name;
    Access access;
};

const std::map<Kind, std::vector<Member>>& Members() {
    static const std::map<Kind, std::vector<Member>> members = {
        {Kind::Manager, {{L"Controls", Access::Get}}},
        {Kind::Fans, {{L"Count", Access::Get}, {L"Item", Access::Get}}},
        {Kind::Fan,
         {{L"Name", Access::Get},
          {L"DutyCycle", Access::Get},
          {L"Profiles", Access::Get},
          {L"EnableManualMode", Access::Method},
          {L"NormalizeFanCurve", Access::Method},
          {L"ApplyIndex", Access::Method}}},
        {Kind::Profiles,
         {{L"Item", Access::Get}, {L"Count", Access::Get}, {L"SaveUserProfile", Access::Method}}},
        {Kind::Profile, {{L"FanCurve", Access::Get}}},
        {Kind::Curve, {{L"Count", Access::Get}, {L"Item", Access::Get}}},
        {Kind::Point, {{L"Speed", Access::Put}}},
    };
    return members;
}

std::string Narrow(const std::wstring& w) {
    return std::string(w.begin(), w.end());
}

}  // namespace

struct FakeFanService::State {
    std::mutex lock;
    std::vector<FakeFan> fans;
    std::vector<std::vector<uint32_t>> working;  // curve objects' points before SaveUserProfile
    std::vector<FakeCall> calls;
    std::map<std::string, std::wstring> failures;
    std::map<IDispatch*, std::string> live;  // names of the fake's objects, for arguments
    int managers = 0;
    std::string hold;  // the member whose next call waits
    bool held = false, released = false;
    std::condition_variable holdChanged;
    int creationsToFail = 0;
    HRESULT creationFailure = S_OK;
};

namespace {

using StatePtr = std::shared_ptr<FakeFanService::State>;

class FakeObject : public IDispatch {
public:
    FakeObject(StatePtr state, Kind kind, int manager, int fan = 0, int index = 0)
        : state_(std::move(state)), kind_(kind), manager_(manager), fan_(fan), index_(index) {
        std::lock_guard<std::mutex> g(state_->lock);
        state_->live[this] = Name();
    }
    virtual ~FakeObject() {
        std::lock_guard<std::mutex> g(state_->lock);
        state_->live.erase(this);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }

    // Names match exactly: a client that spells a member differently is caught here.
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        const auto& members = Members().at(kind_);
        for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
        for (size_t m = 0; m < members.size(); ++m)
            if (count >= 1 && wcscmp(names[0], members[m].name) == 0) {
                ids[0] = static_cast<DISPID>(m + 1);
                return S_OK;
            }
        std::lock_guard<std::mutex> g(state_->lock);
        state_->calls.push_back({manager_, Name() + " " + Narrow(names[0]) + " unknown"});
        return DISP_E_UNKNOWNNAME;
    }

    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* info, UINT*) override {
        const auto& members = Members().at(kind_);
        if (id < 1 || static_cast<size_t>(id) > members.size()) return DISP_E_MEMBERNOTFOUND;
        const Member& member = members[id - 1];
        std::string text = Name() + " " + Narrow(member.name) + " " + FlagsText(flags);
        std::vector<VARIANT*> args;
        for (UINT i = params ? params->cArgs : 0; i > 0; --i) args.push_back(&params->rgvarg[i - 1]);
        std::unique_lock<std::mutex> g(state_->lock);
        for (VARIANT* a : args) text += " " + ArgText(*a);
        state_->calls.push_back({manager_, text});
        if (!state_->hold.empty() && state_->hold == Name() + " " + Narrow(member.name)) {
            state_->hold.clear();
            state_->held = true;
            state_->holdChanged.notify_all();
            state_->holdChanged.wait(g, [this] { return state_->released; });
        }

        auto failure = state_->failures.find(Name() + " " + Narrow(member.name));
        if (failure == state_->failures.end())
            failure = state_->failures.find(BaseName() + " " + Narrow(member.name));
        if (failure != state_->failures.end()) {
            if (failure->second.empty()) return E_FAIL;
            if (info) {
                *info = EXCEPINFO{};
                info->bstrDescription = SysAllocString(failure->second.c_str());
                info->scode = E_FAIL;
            }
            return DISP_E_EXCEPTION;
        }
        const bool rightFlags = member.access == Access::Get ? (flags & DISPATCH_PROPERTYGET) != 0
                                : member.access == Access::Method
                                    ? (flags & DISPATCH_METHOD) != 0
                                    : (flags & DISPATCH_PROPERTYPUT) && params && params->cNamedArgs == 1 &&
                                          params->rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
        if (!rightFlags) return DISP_E_MEMBERNOTFOUND;
        int32_t arg = 0;
        if (!args.empty() && args[0]->vt != VT_DISPATCH) {
            VARIANT v;
            VariantInit(&v);
            if (SUCCEEDED(VariantChangeType(&v, args[0], 0, VT_I4))) arg = v.lVal;
            VariantClear(&v);
        }
        return Answer(Narrow(member.name), arg, result, g);
    }

private:
    std::string Name() const {
        switch (kind_) {
            case Kind::Manager: return "manager";
            case Kind::Fans: return "fans";
            case Kind::Fan: return "fan" + std::to_string(fan_);
            case Kind::Profiles: return "profiles" + std::to_string(fan_);
            case Kind::Profile: return "profile" + std::to_string(fan_) + "/" + std::to_string(index_);
            case Kind::Curve: return "curve" + std::to_string(fan_);
            case Kind::Point: return "point" + std::to_string(fan_) + "/" + std::to_string(index_);
        }
        return "?";
    }
    // The kind of object without its indices, for failures of every object of a kind.
    std::string BaseName() const {
        std::string n = Name();
        return n.substr(0, n.find_first_of("0123456789"));
    }

    static std::string FlagsText(WORD flags) {
        std::string t;
        if (flags & DISPATCH_METHOD) t += "call";
        if (flags & DISPATCH_PROPERTYGET) t += t.empty() ? "get" : "|get";
        if (flags & DISPATCH_PROPERTYPUT) t += t.empty() ? "put" : "|put";
        if (flags & DISPATCH_PROPERTYPUTREF) t += t.empty() ? "putref" : "|putref";
        return t;
    }

    std::string ArgText(const VARIANT& v) const {
        switch (v.vt) {
            case VT_I4: return "I4:" + std::to_string(v.lVal);
            case VT_UI4: return "UI4:" + std::to_string(v.ulVal);
            case VT_DISPATCH: {
                auto it = state_->live.find(v.pdispVal);
                return it == state_->live.end() ? std::string("foreign") : it->second;
            }
            default: return "VT" + std::to_string(v.vt);
        }
    }

    static void Set(VARIANT* result, VARTYPE type, int64_t value) {
        if (!result) return;
        VariantInit(result);
        result->vt = type;
        switch (type) {
            case VT_I4: result->lVal = static_cast<LONG>(value); break;
            case VT_UI4: result->ulVal = static_cast<ULONG>(value); break;
            case VT_UI1: result->bVal = static_cast<BYTE>(value); break;
            default: break;
        }
    }

    HRESULT Give(VARIANT* result, Kind kind, int fan, int index, std::unique_lock<std::mutex>& g) {
        g.unlock();  // the new object registers its name under the lock
        auto* object = new FakeObject(state_, kind, manager_, fan, index);
        if (!result) {
            object->Release();
            return S_OK;
        }
        VariantInit(result);
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
        return S_OK;
    }

    HRESULT Answer(const std::string& member, int32_t arg, VARIANT* result, std::unique_lock<std::mutex>& g) {
        FakeFanService::State& s = *state_;
        const bool fanOk = fan_ >= 0 && static_cast<size_t>(fan_) < s.fans.size();
        switch (kind_) {
            case Kind::Manager: return Give(result, Kind::Fans, 0, 0, g);
            case Kind::Fans:
                if (member == "Count") {
                    Set(result, VT_I4, static_cast<int64_t>(s.fans.size()));
                    return S_OK;
                }
                if (arg < 0 || static_cast<size_t>(arg) >= s.fans.size()) return DISP_E_BADINDEX;
                return Give(result, Kind::Fan, arg, 0, g);
            case Kind::Fan:
                if (!fanOk) return E_FAIL;
                if (member == "Name") {
                    if (result) {
                        VariantInit(result);
                        result->vt = VT_BSTR;
                        result->bstrVal = SysAllocString(s.fans[fan_].name.c_str());
                    }
                    return S_OK;
                }
                if (member == "DutyCycle") {
                    Set(result, VT_UI1, s.fans[fan_].duty);  // the service's type: unsigned char
                    return S_OK;
                }
                if (member == "Profiles") return Give(result, Kind::Profiles, fan_, 0, g);
                if (member == "ApplyIndex") {
                    FakeFan& f = s.fans[fan_];
                    f.appliedIndex = arg;
                    // The user profile runs its curve: with no temperature here, at its first point.
                    if (arg == f.profileCount - 1 && !f.userCurve.empty()) f.duty = f.userCurve.front();
                }
                Set(result, VT_I4, 1);
                return S_OK;
            case Kind::Profiles:
                if (!fanOk) return E_FAIL;
                if (member == "Count") {
                    Set(result, VT_I4, s.fans[fan_].profileCount);
                    return S_OK;
                }
                if (member == "SaveUserProfile") {
                    s.fans[fan_].userCurve = s.working[fan_];
                    Set(result, VT_I4, 1);
                    return S_OK;
                }
                return Give(result, Kind::Profile, fan_, arg, g);
            case Kind::Profile:
                if (!fanOk) return E_FAIL;
                s.working[fan_] = s.fans[fan_].userCurve;
                return Give(result, Kind::Curve, fan_, 0, g);
            case Kind::Curve:
                if (!fanOk) return E_FAIL;
                if (member == "Count") {
                    Set(result, VT_UI4, s.working[fan_].size());
                    return S_OK;
                }
                if (arg < 0 || static_cast<size_t>(arg) >= s.working[fan_].size()) return DISP_E_BADINDEX;
                return Give(result, Kind::Point, fan_, arg, g);
            case Kind::Point:
                if (!fanOk || static_cast<size_t>(index_) >= s.working[fan_].size()) return E_FAIL;
                s.working[fan_][index_] = static_cast<uint32_t>(arg);
                return S_OK;
        }
        return E_FAIL;
    }

    StatePtr state_;
    Kind kind_;
    int manager_, fan_, index_;
    std::atomic<ULONG> refs_{1};
};

class FakeFactory : public IClassFactory {
public:
    explicit FakeFactory(StatePtr state) : state_(std::move(state)) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *out = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        int id;
        {
            std::lock_guard<std::mutex> g(state_->lock);
            if (state_->creationsToFail > 0) {
                --state_->creationsToFail;
                return state_->creationFailure;
            }
            id = ++state_->managers;
        }
        auto* manager = new FakeObject(state_, Kind::Manager, id);
        HRESULT hr = manager->QueryInterface(riid, out);
        manager->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    virtual ~FakeFactory() = default;
    StatePtr state_;
    std::atomic<ULONG> refs_{1};
};

struct ServerStart {
    StatePtr state;
    CLSID clsid;
    HANDLE ready;
    HANDLE stop;
    HRESULT result;
};

// The fake lives in the process's multithreaded apartment, so that calls from the test's thread and
// from the tool's workers reach it without anyone pumping messages.
DWORD WINAPI ServerThread(LPVOID param) {
    auto* start = static_cast<ServerStart*>(param);
    HANDLE stop = start->stop;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    auto* factory = new FakeFactory(start->state);
    DWORD cookie = 0;
    start->result =
        CoRegisterClassObject(start->clsid, factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie);
    factory->Release();
    const bool registered = SUCCEEDED(start->result);
    SetEvent(start->ready);  // start is gone after this
    if (registered) {
        WaitForSingleObject(stop, INFINITE);
        CoRevokeClassObject(cookie);
    }
    CoUninitialize();
    return 0;
}

}  // namespace

ProgIdOverride::ProgIdOverride(const wchar_t* clsid) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, ProgIdKey().c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        wchar_t value[64] = {};
        LONG size = sizeof value - sizeof(wchar_t);
        existed_ = RegQueryValueW(key, nullptr, value, &size) == ERROR_SUCCESS && ClassHasServer(value);
        previous_ = value;
        RegCloseKey(key);
    }
    if (clsid)
        RegSetValueW(HKEY_CLASSES_ROOT, ProgIdKey().c_str(), REG_SZ, clsid, 0);
    else
        RegDeleteKeyW(HKEY_CLASSES_ROOT, ProgIdKey().c_str());
}

ProgIdOverride::~ProgIdOverride() {
    if (existed_) {
        RegSetValueW(HKEY_CLASSES_ROOT, ProgIdKey().c_str(), REG_SZ, previous_.c_str(), 0);
    } else {
        RegDeleteKeyW(HKEY_CLASSES_ROOT, ProgIdKey().c_str());
        RegDeleteKeyW(HKEY_CLASSES_ROOT, kFanServiceProgId);  // only when nothing else is below it
    }
}

FakeFanService::FakeFanService(std::vector<FakeFan> fans) : state_(std::make_shared<State>()) {
    state_->working.resize(fans.size());
    state_->fans = std::move(fans);
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const CLSID clsid = NewFakeClassId();
    ServerStart start{state_, clsid, CreateEventW(nullptr, TRUE, FALSE, nullptr), stop_, E_FAIL};
    thread_ = CreateThread(nullptr, 0, ServerThread, &start, 0, nullptr);
    WaitForSingleObject(start.ready, INFINITE);
    CloseHandle(start.ready);
    override_ = std::make_unique<ProgIdOverride>(Text(clsid).c_str());
    registered_ = SUCCEEDED(start.result);
}

FakeFanService::~FakeFanService() {
    override_.reset();
    SetEvent(stop_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(stop_);
}

std::vector<FakeCall> FakeFanService::Calls() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->calls;
}

std::vector<std::string> FakeFanService::CallsOf(int manager) const {
    std::vector<std::string> out;
    for (const FakeCall& c : Calls())
        if (c.manager == manager) out.push_back(c.text);
    return out;
}

int FakeFanService::ManagersCreated() const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->managers;
}

FakeFan FakeFanService::Fan(int index) const {
    std::lock_guard<std::mutex> g(state_->lock);
    return state_->fans.at(index);
}

void FakeFanService::SetFan(int index, const FakeFan& fan) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->fans.at(index) = fan;
}

void FakeFanService::SetFanCount(size_t count) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->fans.resize(count);
    state_->working.resize(count);
}

void FakeFanService::FailCreations(int count, HRESULT hr) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->creationsToFail = count;
    state_->creationFailure = hr;
}

void FakeFanService::HoldMember(const std::string& objectMember) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->hold = objectMember;
    state_->held = state_->released = false;
}

bool FakeFanService::WaitHeld(DWORD timeoutMs) {
    std::unique_lock<std::mutex> g(state_->lock);
    return state_->holdChanged.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                        [this] { return state_->held; });
}

void FakeFanService::ReleaseHeld() {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->released = true;
    state_->holdChanged.notify_all();
}

void FakeFanService::FailMember(const std::string& objectMember, const std::wstring& description) {
    std::lock_guard<std::mutex> g(state_->lock);
    state_->failures[objectMember] = description;
}

}  // namespace test
