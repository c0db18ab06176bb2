#include "ServiceModule.h"

#include <objbase.h>
#include <process.h>

#include <cstdio>
#include <cwchar>

#include "ClassFactory.h"
#include "CommandLine.h"
#include "QuilFanControlService_i.h"
#include "Registrar.h"
#include "ServiceIdentity.h"
#include "system/MessageBox.h"

// Declared by the platform's documentation (oleauto.h of the SDK); mingw's headers lack them.
extern "C" HRESULT WINAPI RegisterTypeLibForUser(ITypeLib* library, OLECHAR* path, OLECHAR* helpDir);
extern "C" HRESULT WINAPI UnRegisterTypeLibForUser(REFGUID libid, WORD major, WORD minor, LCID lcid,
                                                   SYSKIND syskind);

CQuilFanControlServiceModule g_module;
tolo::UniqueHandle g_hServiceEvent;

namespace {

using service::Command;

constexpr wchar_t kLocalService[] = L"LocalService";

// The executable's full path; false when it cannot be read or does not fit.
bool ModulePath(std::wstring* path) {
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    path->assign(buffer, n);
    return true;
}

service::Registrar MakeRegistrar(bool perUser, const std::wstring& path) {
    service::Registrar registrar = perUser ? service::Registrar(HKEY_CURRENT_USER, L"Software\\Classes")
                                           : service::Registrar(HKEY_CLASSES_ROOT, L"");
    registrar.AddReplacement(L"APPID", service::kAppId);
    registrar.AddReplacement(L"MODULE", L"\"" + path + L"\"");
    return registrar;
}

// The type library's entry for the neutral locale, beside the one for its own locale (0x409).
// Wine's typelib marshaler looks only there for the file of a library, and without it no client
// in another process can call the dual interfaces early bound or connect an event sink.
// The library is registered for the platform of the program's own build.
#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
constexpr const wchar_t* kPlatformKey = L"\\win64";
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
constexpr const wchar_t* kPlatformKey = L"\\win32";
#endif

std::wstring NeutralLocaleKey(bool perUser) {
    return std::wstring(perUser ? L"Software\\Classes\\" : L"") +
           L"TypeLib\\{2F9C7B34-85DE-4A16-B05F-63E1D8A42C97}\\1.0\\0";
}

HRESULT RegisterTypeLibrary(bool perUser, const std::wstring& path) {
    tolo::ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.Put());
    if (FAILED(hr)) return hr;
    auto* file = const_cast<wchar_t*>(path.c_str());
    hr = perUser ? RegisterTypeLibForUser(library.Get(), file, nullptr)
                 : RegisterTypeLib(library.Get(), file, nullptr);
    if (FAILED(hr)) return hr;
    tolo::RegKey key;
    LONG e = RegCreateKeyExW(perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT,
                             (NeutralLocaleKey(perUser) + kPlatformKey).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                             nullptr, key.Put(), nullptr);
    if (!e)
        e = RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(e);
}

HRESULT UnregisterTypeLibrary(bool perUser) {
    LONG e =
        RegDeleteTreeW(perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT, NeutralLocaleKey(perUser).c_str());
    if (e && e != ERROR_FILE_NOT_FOUND) return HRESULT_FROM_WIN32(e);
    HRESULT hr = perUser ? UnRegisterTypeLibForUser(LIBID_QuilFanControlServiceLib, 1, 0, 0x409, kSysKind)
                         : UnRegisterTypeLib(LIBID_QuilFanControlServiceLib, 1, 0, 0x409, kSysKind);
    // Removing what is not there succeeds, so that unregistering twice still removes the rest.
    if (hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED) return S_OK;
    return hr;
}

// An event source, deregistered when it goes.
class EventSource {
public:
    explicit EventSource(const wchar_t* name) : h_(RegisterEventSourceW(nullptr, name)) {}
    ~EventSource() {
        if (h_) DeregisterEventSource(h_);
    }
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;
    HANDLE Get() const { return h_; }

private:
    HANDLE h_;
};

}  // namespace

CQuilFanControlServiceModule::CQuilFanControlServiceModule() : status_{} {
    if (LoadStringW(GetModuleHandleW(nullptr), service::kServiceNameString, serviceName_, 256) <= 0)
        wcscpy(serviceName_, service::kDefaultServiceName);
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = SERVICE_STOPPED;
    status_.dwControlsAccepted = SERVICE_ACCEPT_STOP;
}

int CQuilFanControlServiceModule::Run(const wchar_t* commandLine) {
    threadId_ = GetCurrentThreadId();
    switch (service::ParseCommand(commandLine)) {
        case Command::UnregServer: return UnregisterServer(false);
        case Command::RegServer: return RegisterServer(false, false);
        case Command::UnregServerPerUser: return UnregisterServer(true);
        case Command::RegServerPerUser: return RegisterServer(true, false);
        case Command::Service: return RegisterServer(false, true);
        case Command::Run: break;
    }
    return Start();
}

LONG CQuilFanControlServiceModule::Lock() {
    return InterlockedIncrement(&locks_);
}

LONG CQuilFanControlServiceModule::Unlock() {
    LONG n = InterlockedDecrement(&locks_);
    if (n == 0 && delayShutdown_ && shutdownEvent_) SetEvent(shutdownEvent_.Get());
    return n;
}

void CQuilFanControlServiceModule::LogEvent(const wchar_t* text) const {
    wchar_t message[256];
    wcsncpy(message, text, 255);
    message[255] = L'\0';
    EventSource source(serviceName_);
    if (source.Get()) {
        const wchar_t* strings[1] = {message};
        ReportEventW(source.Get(), EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
    }
    if (!serviceMode_) {
        std::fwprintf(stdout, L"%ls\n", message);
        std::fflush(stdout);
    }
}

// Registration -----------------------------------------------------------------------------------

HRESULT CQuilFanControlServiceModule::SetLocalService(bool perUser, const wchar_t* value) {
    std::wstring path = std::wstring(perUser ? L"Software\\Classes\\" : L"") + L"AppID\\" + service::kAppId;
    tolo::RegKey key;
    LONG e = RegOpenKeyExW(perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_SET_VALUE,
                           key.Put());
    if (e == ERROR_FILE_NOT_FOUND && !value) return S_OK;
    if (e) return HRESULT_FROM_WIN32(e);
    if (value)
        e = RegSetValueExW(key.Get(), kLocalService, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    else if ((e = RegDeleteValueW(key.Get(), kLocalService)) == ERROR_FILE_NOT_FOUND)
        e = ERROR_SUCCESS;
    return HRESULT_FROM_WIN32(e);
}

HRESULT CQuilFanControlServiceModule::RegisterServer(bool perUser, bool asService) {
    std::wstring path;
    if (!ModulePath(&path)) return E_FAIL;
    HMODULE self = GetModuleHandleW(nullptr);
    service::Registrar registrar = MakeRegistrar(perUser, path);
    HRESULT hr = registrar.RegisterResource(self, service::kAppIdScript);
    if (FAILED(hr)) return hr;
    if (asService) {
        if (FAILED(hr = SetLocalService(perUser, serviceName_))) return hr;
        if (!Install()) return E_FAIL;
    } else if (FAILED(hr = SetLocalService(perUser, nullptr))) {
        return hr;
    }
    if (FAILED(hr = registrar.RegisterResource(self, service::kClassScript))) return hr;
    return RegisterTypeLibrary(perUser, path);
}

HRESULT CQuilFanControlServiceModule::UnregisterServer(bool perUser) {
    std::wstring path;
    if (!ModulePath(&path)) return E_FAIL;
    HMODULE self = GetModuleHandleW(nullptr);
    service::Registrar registrar = MakeRegistrar(perUser, path);
    HRESULT hr = registrar.UnregisterResource(self, service::kClassScript);
    if (FAILED(hr)) return hr;
    if (FAILED(hr = UnregisterTypeLibrary(perUser))) return hr;
    if (!Uninstall()) return E_FAIL;
    if (FAILED(hr = SetLocalService(perUser, nullptr))) return hr;
    return registrar.UnregisterResource(self, service::kAppIdScript);
}

// Installation -----------------------------------------------------------------------------------

void CQuilFanControlServiceModule::ShowServiceMessage(UINT id, const wchar_t* fallback) const {
    wchar_t text[256];
    if (LoadStringW(GetModuleHandleW(nullptr), id, text, 256) <= 0) wcscpy(text, fallback);
    tolo::ShowMessageBoxW(text, serviceName_, MB_OK);
}

bool CQuilFanControlServiceModule::Install() {
    std::wstring path;
    if (!ModulePath(&path)) return false;
    std::wstring command = L"\"" + path + L"\"";
    tolo::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ShowServiceMessage(service::kFirstServiceMessageString, L"Could not open Service Manager");
        return false;
    }
    static const wchar_t kDependencies[] = L"RPCSS\0";
    tolo::ServiceHandle installed(CreateServiceW(manager.Get(), serviceName_, serviceName_,
                                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                                 SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                                 nullptr, nullptr, kDependencies, nullptr, nullptr));
    if (!installed && GetLastError() == ERROR_SERVICE_EXISTS) {
        // An existing service gets this configuration; its account and password stay.
        installed.Reset(OpenServiceW(manager.Get(), serviceName_, SERVICE_CHANGE_CONFIG));
        if (installed && !ChangeServiceConfigW(installed.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, command.c_str(), L"", nullptr,
                                               kDependencies, nullptr, nullptr, serviceName_))
            installed.Reset();
    }
    if (!installed) {
        ShowServiceMessage(service::kFirstServiceMessageString + 1, L"Could not start service");
        return false;
    }
    return true;
}

bool CQuilFanControlServiceModule::Uninstall() {
    tolo::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        ShowServiceMessage(service::kFirstServiceMessageString, L"Could not open Service Manager");
        return false;
    }
    tolo::ServiceHandle installed(OpenServiceW(manager.Get(), serviceName_, SERVICE_STOP | DELETE));
    if (!installed) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        ShowServiceMessage(service::kFirstServiceMessageString + 2, L"Could not open service");
        return false;
    }
    SERVICE_STATUS status;
    if (!ControlService(installed.Get(), SERVICE_CONTROL_STOP, &status)) {
        DWORD e = GetLastError();
        if (e != ERROR_SERVICE_NOT_ACTIVE && e != ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
            ShowServiceMessage(service::kFirstServiceMessageString + 3, L"Could not stop service");
    }
    if (!DeleteService(installed.Get())) {
        ShowServiceMessage(service::kFirstServiceMessageString + 4, L"Could not delete service");
        return false;
    }
    return true;
}

// Running ----------------------------------------------------------------------------------------

LONG CQuilFanControlServiceModule::ReadStartMode(bool* service) const {
    tolo::RegKey appIds, appId;
    LONG e = RegOpenKeyExW(HKEY_CLASSES_ROOT, L"AppID", 0, KEY_READ, appIds.Put());
    if (e) return e;
    if ((e = RegOpenKeyExW(appIds.Get(), service::kAppId, 0, KEY_READ, appId.Put()))) return e;
    wchar_t localService[260];
    DWORD size = sizeof(localService);
    DWORD type = 0;
    *service = RegQueryValueExW(appId.Get(), kLocalService, nullptr, &type,
                                reinterpret_cast<BYTE*>(localService), &size) == ERROR_SUCCESS &&
               type == REG_SZ;
    return ERROR_SUCCESS;
}

bool CQuilFanControlServiceModule::AwaitServerTurn(const wchar_t* commandLine) {
    bool service = false;
    if (service::ParseCommand(commandLine) != Command::Run || ReadStartMode(&service) || service) return true;
    // Without the mutex the process serves as it did before there was one.
    turn_.Reset(CreateMutexW(nullptr, FALSE, service::kServerTurnName));
    if (!turn_) return true;
    HANDLE turn = turn_.Get();
    for (;;) {
        // An earlier server that ended without letting go leaves the mutex abandoned: ours now.
        const DWORD wait = MsgWaitForMultipleObjects(1, &turn, FALSE, INFINITE, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0) return true;
        if (wait != WAIT_OBJECT_0 + 1) {
            turn_.Reset();
            return true;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            if (msg.message == WM_QUIT) {
                turn_.Reset();
                return false;
            }
    }
}

HRESULT CQuilFanControlServiceModule::Start() {
    bool service = false;
    if (LONG e = ReadStartMode(&service)) return e;
    serviceMode_ = service;
    if (!serviceMode_) return RunServer();
    SERVICE_TABLE_ENTRYW table[] = {{serviceName_, ServiceMainEntry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) status_.dwWin32ExitCode = GetLastError();
    return status_.dwWin32ExitCode;
}

HRESULT CQuilFanControlServiceModule::RegisterClassObject(CSingletonClassFactory* factory, DWORD flags) {
    factory->SetRegistering(true);
    HRESULT hr = CoRegisterClassObject(CLSID_FanControlManager, static_cast<IClassFactory*>(factory),
                                       CLSCTX_LOCAL_SERVER, flags, &cookie_);
    factory->SetRegistering(false);
    if (FAILED(hr)) cookie_ = 0;
    return hr;
}

void CQuilFanControlServiceModule::RevokeClassObject(CSingletonClassFactory* factory) {
    if (!cookie_) return;
    factory->SetRegistering(true);
    CoRevokeClassObject(cookie_);
    factory->SetRegistering(false);
    cookie_ = 0;
}

HRESULT CQuilFanControlServiceModule::RunServer() {
    if (serviceMode_)
        // Fails when the process security was already set (WMI does so); the earlier one stays.
        CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    tolo::ComPtr<CSingletonClassFactory> factory(new (std::nothrow) CSingletonClassFactory);
    if (!factory) return E_OUTOFMEMORY;
    HRESULT hr = RegisterClassObject(factory.Get(), REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED);
    if (FAILED(hr)) return hr;
    if (delayShutdown_ && !StartMonitor()) {
        RevokeClassObject(factory.Get());
        return E_FAIL;
    }
    if (serviceMode_ && status_.dwCurrentState == SERVICE_START_PENDING) {
        LogEvent(L"Service started/resumed");
        SetServiceState(SERVICE_RUNNING);
    }
    if (FAILED(hr = CoResumeClassObjects())) {
        monitorEnds_ = true;
        if (shutdownEvent_) SetEvent(shutdownEvent_.Get());
        if (monitor_) WaitForSingleObject(monitor_.Get(), timeOut_ * 2);
        RevokeClassObject(factory.Get());
        return hr;
    }
    for (;;) {
        MSG msg{};
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        // A quit that did not come from the monitor ends the server whatever clients hold.
        const bool asked = msg.message != WM_QUIT || msg.wParam != kLastClientGone;
        // A client that took the server after the monitor's last look keeps it. Client references
        // come and go only here, on this thread, as its calls are served: nothing comes in between
        // this look and the revocation.
        if (delayShutdown_ && !asked && locks_ != 0) continue;
        RevokeClassObject(factory.Get());
        if (!delayShutdown_) return S_OK;
        if (asked) {
            ServeFor(pause_);
            break;
        }
        // COM may have handed the class object to a client just before it was revoked: the client's
        // calls arrive in the pause, and the class object goes back before the first is served, so
        // that COM finds it there. Any other client that came meanwhile has a new server started,
        // which waits for this one to end.
        if (!CallComesWithin(pause_)) break;
        if (FAILED(RegisterClassObject(factory.Get(), REGCLS_MULTIPLEUSE))) {
            ServeFor(pause_);
            break;
        }
    }
    // Nothing of this process serves or writes any more: the next server may start.
    if (turn_) ReleaseMutex(turn_.Get());
    return S_OK;
}

bool CQuilFanControlServiceModule::ServeFor(DWORD ms) {
    bool asked = false;
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < ms; elapsed = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
        MSG msg;
        // The monitor's quit is dropped: the caller looks at the count.
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message != WM_QUIT)
                DispatchMessageW(&msg);
            else if (msg.wParam != kLastClientGone)
                asked = true;
        }
    }
    return asked;
}

bool CQuilFanControlServiceModule::CallComesWithin(DWORD ms) {
    const DWORD start = GetTickCount();
    for (DWORD elapsed = 0; elapsed < ms; elapsed = GetTickCount() - start) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (msg.message != WM_QUIT) return true;
            PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
            if (msg.wParam != kLastClientGone) return false;
        }
    }
    return false;
}

bool CQuilFanControlServiceModule::StartMonitor() {
    shutdownEvent_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!shutdownEvent_) return false;
    monitor_.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, MonitorEntry, this, 0, nullptr)));
    return static_cast<bool>(monitor_);
}

unsigned __stdcall CQuilFanControlServiceModule::MonitorEntry(void* module) {
    static_cast<CQuilFanControlServiceModule*>(module)->MonitorShutdown();
    return 0;
}

void CQuilFanControlServiceModule::MonitorShutdown() {
    // The server ends when no client has held it through the pause after the last one let go, or
    // through a whole time-out, and never within the time-out from its start: COM may start one
    // for a client that never reaches it, and the client that COM started it for comes to fetch
    // the class object only a second later, after others may have had the server meanwhile.
    // Until then the class object stays registered: a client that comes is served here and not
    // by a new process. A server that got a client after the quit serves on.
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD age = GetTickCount() - start;
        DWORD wait = WaitForSingleObject(shutdownEvent_.Get(), age < timeOut_ ? timeOut_ - age : timeOut_);
        if (wait == WAIT_OBJECT_0)
            while ((wait = WaitForSingleObject(shutdownEvent_.Get(), pause_)) == WAIT_OBJECT_0) {
            }
        if (wait != WAIT_TIMEOUT) return;
        if (locks_ != 0 || GetTickCount() - start < timeOut_) continue;
        PostThreadMessageW(threadId_, WM_QUIT, kLastClientGone, 0);
        if (monitorEnds_) return;
    }
}

// Service mode -----------------------------------------------------------------------------------

void WINAPI CQuilFanControlServiceModule::ServiceMainEntry(DWORD, LPWSTR*) {
    g_module.ServiceMain();
}

void WINAPI CQuilFanControlServiceModule::HandlerEntry(DWORD code) {
    g_module.Handler(code);
}

void CQuilFanControlServiceModule::SetServiceState(DWORD state) {
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&status_.dwCurrentState), static_cast<LONG>(state));
    ::SetServiceStatus(statusHandle_, &status_);
}

void CQuilFanControlServiceModule::ServiceMain() {
    status_.dwCurrentState = SERVICE_START_PENDING;
    threadId_ = GetCurrentThreadId();
    statusHandle_ = RegisterServiceCtrlHandlerW(serviceName_, HandlerEntry);
    if (!statusHandle_) {
        LogEvent(L"Handler not installed");
        return;
    }
    SetServiceState(SERVICE_START_PENDING);
    status_.dwWin32ExitCode = S_OK;
    status_.dwCheckPoint = 0;
    status_.dwWaitHint = 0;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) {
        // Reported, so that the service control manager does not wait for a start that never comes.
        status_.dwWin32ExitCode = hr;
        SetServiceState(SERVICE_STOPPED);
        return;
    }
    delayShutdown_ = false;
    status_.dwWin32ExitCode = RunServer();
    CoUninitialize();
    SetServiceState(SERVICE_STOPPED);
    LogEvent(L"Service stopped");
}

void CQuilFanControlServiceModule::Handler(DWORD code) {
    switch (code) {
        case SERVICE_CONTROL_STOP:
            SetServiceState(SERVICE_STOP_PENDING);
            PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
        case SERVICE_CONTROL_INTERROGATE:
        case SERVICE_CONTROL_SHUTDOWN: break;
        default: LogEvent(L"Bad service request");
    }
}
