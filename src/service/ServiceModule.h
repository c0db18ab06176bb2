// CQuilFanControlServiceModule: the process around the fan control core. It registers and
// installs the server, and runs it as a Windows service or as a local server that COM starts.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <atomic>
#include <string>

#include "system/Handles.h"

class CSingletonClassFactory;

class CQuilFanControlServiceModule {
public:
    CQuilFanControlServiceModule();
    CQuilFanControlServiceModule(const CQuilFanControlServiceModule&) = delete;
    CQuilFanControlServiceModule& operator=(const CQuilFanControlServiceModule&) = delete;

    // Acts on the command line's switch, or runs the server; gives the process's exit code.
    int Run(const wchar_t* commandLine);

    // A local server's turn to serve, before anything of the process reads the fans or the store:
    // one server process at a time serves, and one that COM starts while another still does waits
    // until that one has revoked its class object and ends. Returns at once for the switches and
    // the service; false when the process was asked to quit while it waited.
    bool AwaitServerTurn(const wchar_t* commandLine);

    // References that clients hold on the server. In local-server mode the server ends once the
    // count falls back to zero, or has stayed zero through the shutdown time-out (no client came).
    LONG Lock();
    LONG Unlock();

    const wchar_t* ServiceName() const { return serviceName_; }
    bool IsServiceMode() const { return serviceMode_; }

    // One information event under the service's event source (and, in local-server mode, a line
    // on the standard output); texts longer than 255 characters are cut.
    void LogEvent(const wchar_t* text) const;

private:
    HRESULT RegisterServer(bool perUser, bool asService);
    HRESULT UnregisterServer(bool perUser);
    bool Install();
    bool Uninstall();
    // Sets or deletes the AppID's value "LocalService".
    HRESULT SetLocalService(bool perUser, const wchar_t* value);
    // Message box of installation and removal: string resource id, else fallback.
    void ShowServiceMessage(UINT id, const wchar_t* fallback) const;

    // With no switch: service mode when the AppID names a local service, else local-server mode.
    HRESULT Start();
    // The start decision: the registry error when the server is not registered.
    LONG ReadStartMode(bool* service) const;
    HRESULT RunServer();
    HRESULT RegisterClassObject(CSingletonClassFactory* factory, DWORD flags);
    void RevokeClassObject(CSingletonClassFactory* factory);
    // Serves the apartment's calls for ms milliseconds outside the message loop; true when a quit
    // other than the monitor's came meanwhile.
    bool ServeFor(DWORD ms);
    // Waits up to ms for a call, taking none: true when one waits to be served. The monitor's
    // quits are dropped; another quit ends the wait (false).
    bool CallComesWithin(DWORD ms);
    // The exit code of the monitor's quit message: no client held the server through the pause
    // after the last one let go, or through the time-out.
    static constexpr WPARAM kLastClientGone = 1;
    bool StartMonitor();
    void MonitorShutdown();

    void ServiceMain();
    void Handler(DWORD code);
    void SetServiceState(DWORD state);
    static void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv);
    static void WINAPI HandlerEntry(DWORD code);
    static unsigned __stdcall MonitorEntry(void* module);

    wchar_t serviceName_[256];
    SERVICE_STATUS status_;
    SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
    // Read by the restore thread's messages, which may come before the start decision.
    std::atomic<bool> serviceMode_{false};
    bool delayShutdown_ = true;
    DWORD threadId_ = 0;
    tolo::UniqueHandle shutdownEvent_;
    tolo::UniqueHandle monitor_;
    DWORD timeOut_ = 5000;
    DWORD pause_ = 1000;
    volatile LONG locks_ = 0;
    volatile bool monitorEnds_ = false;
    DWORD cookie_ = 0;
    // The named mutex held while this process may serve (local-server mode).
    tolo::UniqueHandle turn_;
};

extern CQuilFanControlServiceModule g_module;

// The named event "QuilFanControlServiceEvent", held for the life of the process.
extern tolo::UniqueHandle g_hServiceEvent;
