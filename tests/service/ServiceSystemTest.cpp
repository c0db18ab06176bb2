// The real QuilFanControlService.exe under Wine: registration, the local server that COM starts,
// the installed service, and what late-bound clients (C++ and VBScript) see.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <thread>

#include "AutomationClient.h"
#include "EventSink.h"
#include "QuilFanControlService_i.h"
#include "ServerFixture.h"
#include "SystemProcess.h"
#include "board/Board.h"
#include "support/BoardTest.h"
#include "support/IteBoards.h"
#include "support/ProcessWindow.h"
#include "system/Handles.h"

namespace {

const wchar_t* const kExe = test::kServiceExe;
const wchar_t kService[] = L"QuilFanControlService";
const std::wstring kAppIdKey = L"AppID\\{58D3A1F0-E26B-4C97-9D41-B7A0C3E8F16A}";
const std::wstring kClassKey = L"CLSID\\{6A2E41D7-3C95-4B80-A1F6-2D7C09E5B318}";
const std::wstring kTypeLibKey = L"TypeLib\\{2F9C7B34-85DE-4A16-B05F-63E1D8A42C97}";

using test::CreateManager;
using test::RunService;
using test::ServerTest;

struct ExpectedValue {
    std::wstring key;
    const wchar_t* name;  // null: the default value
    std::wstring value;
};

// Every key and value the registration writes under the classes root (without the type library's).
std::vector<ExpectedValue> RegisteredValues(const std::wstring& exePath) {
    const std::wstring clsid = L"{6A2E41D7-3C95-4B80-A1F6-2D7C09E5B318}";
    const std::wstring appId = L"{58D3A1F0-E26B-4C97-9D41-B7A0C3E8F16A}";
    return {
        {kAppIdKey, nullptr, L"QuilFanControlService"},
        {L"AppID\\QuilFanControlService.EXE", L"AppID", appId},
        {L"QuilFanControlService.FanControlManag.1", nullptr, L"FanControlManager Class"},
        {L"QuilFanControlService.FanControlManag.1\\CLSID", nullptr, clsid},
        {L"QuilFanControlService.FanControlManager", nullptr, L"FanControlManager Class"},
        {L"QuilFanControlService.FanControlManager\\CLSID", nullptr, clsid},
        {L"QuilFanControlService.FanControlManager\\CurVer", nullptr,
         L"QuilFanControlService.FanControlManag.1"},
        {kClassKey, nullptr, L"FanControlManager Class"},
        {kClassKey, L"AppID", appId},
        {kClassKey + L"\\ProgID", nullptr, L"QuilFanControlService.FanControlManag.1"},
        {kClassKey + L"\\VersionIndependentProgID", nullptr, L"QuilFanControlService.FanControlManager"},
        {kClassKey + L"\\LocalServer32", nullptr, L"\"" + exePath + L"\""},
        {kClassKey + L"\\TypeLib", nullptr, L"{2F9C7B34-85DE-4A16-B05F-63E1D8A42C97}"},
    };
}

std::vector<std::wstring> RegisteredKeys() {
    return {kAppIdKey,
            L"AppID\\QuilFanControlService.EXE",
            L"QuilFanControlService.FanControlManag.1",
            L"QuilFanControlService.FanControlManager",
            kClassKey,
            kClassKey + L"\\Programmable",
            kTypeLibKey,
            kTypeLibKey + (sizeof(void*) == 8 ? L"\\1.0\\0\\win64" : L"\\1.0\\0\\win32"),
            L"Interface\\{0A8E3D5C-7B14-4F62-9C3B-E5D82F4A91C7}",
            L"Interface\\{E81C4F6A-2B97-4D03-9C5E-16A8F3B07D92}",
            L"Interface\\{6D29F5B3-E047-4C1A-B85D-93F1A2C7E068}",
            L"Interface\\{9B41E2C7-5A30-4F8D-A6E2-71C0D49B3E05}"};
}

std::string Narrow(const std::wstring& w) {
    return std::string(w.begin(), w.end());
}

// The fan at a position of the manager's collection; null (and a failed expectation) when there is none.
tolo::ComPtr<IDispatch> FanOf(IDispatch* manager, long position) {
    tolo::ComPtr<IDispatch> fans = test::Object(manager, L"Controls");
    return fans ? test::Object(fans.Get(), L"Item", {test::I4(position)}) : nullptr;
}

std::string DisplayName(IDispatch* fan) {
    return fan ? Narrow(test::Text(fan, L"DisplayName")) : "(failed)";
}

HRESULT SetDisplayName(IDispatch* fan, const wchar_t* name) {
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(name);
    HRESULT hr = test::Put(fan, L"DisplayName", v);
    VariantClear(&v);
    return hr;
}

TEST_F(ServerTest, RegServerWritesTheEntriesAndUnregServerRemovesEachOfThem) {
    // A stale subkey of the class and a stale "LocalService" must not survive the registration.
    HKEY stray;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, (kClassKey + L"\\Stale").c_str(), 0, nullptr,
                                             0, KEY_WRITE, nullptr, &stray, nullptr));
    RegCloseKey(stray);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, kAppIdKey.c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &stray, nullptr));
    RegSetValueExW(stray, L"LocalService", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
    RegCloseKey(stray);

    test::ProgramResult reg = RunService(L"/RegServer");
    ASSERT_TRUE(reg.finished);
    EXPECT_EQ(0u, reg.exitCode);
    for (const ExpectedValue& e : RegisteredValues(test::BuiltProgram(kExe))) {
        std::wstring value;
        EXPECT_TRUE(test::ReadString(HKEY_CLASSES_ROOT, e.key, e.name, &value))
            << Narrow(e.key) << " " << (e.name ? Narrow(e.name) : "(default)");
        EXPECT_EQ(Narrow(e.value), Narrow(value)) << Narrow(e.key);
    }
    for (const std::wstring& key : RegisteredKeys())
        EXPECT_TRUE(test::KeyExists(HKEY_CLASSES_ROOT, key)) << Narrow(key);
    EXPECT_FALSE(test::KeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\Stale"));
    std::wstring localService;
    EXPECT_FALSE(test::ReadString(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService", &localService));

    test::ProgramResult unreg = RunService(L"/UnregServer");
    ASSERT_TRUE(unreg.finished);
    EXPECT_EQ(0u, unreg.exitCode);
    for (const std::wstring& key : RegisteredKeys())
        EXPECT_FALSE(test::KeyExists(HKEY_CLASSES_ROOT, key)) << Narrow(key) << " survived";
    EXPECT_TRUE(test::KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_TRUE(test::KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
}

TEST_F(ServerTest, PerUserRegistrationWritesUnderTheUsersClassesOnly) {
    test::ProgramResult reg = RunService(L"-regserverperuser");
    ASSERT_TRUE(reg.finished);
    EXPECT_EQ(0u, reg.exitCode);
    const std::wstring user = L"Software\\Classes\\";
    std::wstring server;
    EXPECT_TRUE(test::ReadString(HKEY_CURRENT_USER, user + kClassKey + L"\\LocalServer32", nullptr, &server));
    EXPECT_EQ("\"" + Narrow(test::BuiltProgram(kExe)) + "\"", Narrow(server));
    EXPECT_TRUE(test::KeyExists(HKEY_CURRENT_USER, user + kAppIdKey));
    EXPECT_TRUE(
        test::KeyExists(HKEY_CURRENT_USER, user + L"QuilFanControlService.FanControlManager\\CurVer"));
    // Not taken for "RegServer": nothing under the machine's classes.
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + kClassKey));
    EXPECT_FALSE(test::KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + kAppIdKey));

    test::ProgramResult unreg = RunService(L"/UnregServerPerUser");
    ASSERT_TRUE(unreg.finished);
    EXPECT_EQ(0u, unreg.exitCode);
    for (const std::wstring& key : {kAppIdKey, std::wstring(L"AppID\\QuilFanControlService.EXE"), kClassKey,
                                    std::wstring(L"QuilFanControlService.FanControlManager"),
                                    std::wstring(L"QuilFanControlService.FanControlManag.1")})
        EXPECT_FALSE(test::KeyExists(HKEY_CURRENT_USER, user + key)) << Narrow(key) << " survived";
}

TEST_F(ServerTest, UnregisteredExecutableEndsWithTheRegistryErrorAndShowsNothing) {
    test::ProgramResult r = RunService(L"");
    ASSERT_TRUE(r.finished) << "still running: a message box or a server";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), r.exitCode);
    EXPECT_EQ("", r.output);
}

TEST_F(ServerTest, ComStartsOneLocalServerForEveryClientAndItEndsAfterTheLastRelease) {
    ASSERT_EQ(0u, RunService(L"/RegServer").exitCode);
    uint32_t initCallsBefore = Board()->acpi.initCalls;
    ASSERT_TRUE(test::ProcessesNamed(kExe).empty());

    tolo::ComPtr<IDispatch> first, second;
    ASSERT_EQ(S_OK, CreateManager(first.Put()));
    std::vector<DWORD> servers = test::ProcessesNamed(kExe);
    ASSERT_EQ(1u, servers.size());
    tolo::UniqueHandle server(OpenProcess(SYNCHRONIZE, FALSE, servers[0]));
    ASSERT_TRUE(server);
    EXPECT_GT(Board()->acpi.initCalls, initCallsBefore) << "the server did not initialise the ACPI library";

    EXPECT_EQ(50, test::Long(first.Get(), L"MaxStepTime"));
    EXPECT_EQ(3, test::Long(first.Get(), L"MaxTolerance"));

    // The second client receives the very same object.
    ASSERT_EQ(S_OK, CreateManager(second.Put()));
    tolo::ComPtr<IUnknown> a, b;
    ASSERT_EQ(S_OK, first->QueryInterface(IID_IUnknown, a.PutVoid()));
    ASSERT_EQ(S_OK, second->QueryInterface(IID_IUnknown, b.PutVoid()));
    EXPECT_EQ(a.Get(), b.Get());

    // A VBScript client in another process reaches the same server.
    test::ProgramResult script = RunScript(
        "Set m = CreateObject(\"QuilFanControlService.FanControlManager\")\r\n"
        "WScript.Echo TypeName(m) & \" \" & m.MaxStepTime & \" \" & m.MaxTolerance\r\n");
    ASSERT_TRUE(script.finished);
    EXPECT_EQ(0u, script.exitCode) << script.output;
    EXPECT_NE(std::string::npos, script.output.find("IFanControlManager 50 3")) << script.output;
    EXPECT_EQ(servers, test::ProcessesNamed(kExe));

    // While a client holds it, the server stays.
    first.Reset();
    a.Reset();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(server.Get(), 2500));
    b.Reset();
    second.Reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.Get(), 20000)) << "the server did not end";
}

TEST_F(ServerTest, ALocalServerThatNoClientReachesEndsAfterItsTimeOutAndPause) {
    // Started as COM starts it for a client, on a registered build, and then never reached.
    ASSERT_EQ(0u, RunService(L"/RegServer").exitCode);
    test::StartedProgram server(L"\"" + test::BuiltProgram(kExe) + L"\" -Embedding");
    ASSERT_TRUE(server.Started());
    // The time-out (5 s) and the pause (1 s), with room for a loaded machine.
    EXPECT_EQ(0u, server.WaitForExit(30000)) << "the server waits for a client that never comes";
    if (server.Running() && test::QuitThreadsOf(server.Id())) server.WaitForExit(10000);
}

TEST_F(ServerTest, AClientThatHoldsTheClassObjectKeepsTheServerAndGetsTheOneManager) {
    ASSERT_EQ(0u, RunService(L"/RegServer").exitCode);
    tolo::ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_FanControlManager, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                     factory.PutVoid()));
    const std::vector<DWORD> servers = test::ProcessesNamed(kExe);
    ASSERT_EQ(1u, servers.size());
    tolo::UniqueHandle server(OpenProcess(SYNCHRONIZE, FALSE, servers[0]));
    ASSERT_TRUE(server);
    // Longer than the time-out and the pause of a server that no client holds.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(server.Get(), 10000)) << "the server ended under its client";

    tolo::ComPtr<IDispatch> mine, other;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, mine.PutVoid()));
    ASSERT_EQ(S_OK, CreateManager(other.Put()));
    tolo::ComPtr<IUnknown> a, b;
    ASSERT_EQ(S_OK, mine->QueryInterface(IID_IUnknown, a.PutVoid()));
    ASSERT_EQ(S_OK, other->QueryInterface(IID_IUnknown, b.PutVoid()));
    EXPECT_EQ(a.Get(), b.Get());
    EXPECT_EQ(50, test::Long(mine.Get(), L"MaxStepTime"));
    EXPECT_EQ(servers, test::ProcessesNamed(kExe));

    a.Reset(), b.Reset(), mine.Reset(), other.Reset(), factory.Reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.Get(), 20000)) << "the server did not end";
}

// The service registered on a board with two fans, from no settings.
class TwoFanServerTest : public test::RegisteredServiceTest {
protected:
    std::string BoardText() const override { return test::TwoFanIteBoard({"QX-H61 SERVER"}); }
};

TEST_F(TwoFanServerTest, ClientsThatComeAsAnotherLetsGoShareOneServerAndEveryoneSettingsAreKept) {
    // The first client holds the class object and lets go of its manager; 200 ms later it takes
    // one again, and a second client comes meanwhile and reads its fans (their store with them).
    tolo::ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_FanControlManager, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory,
                                     factory.PutVoid()));
    tolo::ComPtr<IDispatch> first;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, first.PutVoid()));
    first.Reset();
    Sleep(200);
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, first.PutVoid()));
    tolo::UniqueHandle holding(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    tolo::UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HRESULT created = E_FAIL, named = E_FAIL, timed = E_FAIL;
    std::string fanZeroSeen;
    std::thread second([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            tolo::ComPtr<IDispatch> manager;
            created = CreateManager(manager.Put());
            tolo::ComPtr<IDispatch> fan = manager ? FanOf(manager.Get(), 1) : nullptr;
            SetEvent(holding.Get());
            WaitForSingleObject(go.Get(), 60000);
            if (fan) {
                named = SetDisplayName(fan.Get(), L"second");
                timed = test::Put(fan.Get(), L"StepUpTime", test::I4(7));
                fanZeroSeen = DisplayName(FanOf(manager.Get(), 0).Get());
            }
        }
        CoUninitialize();
    });
    WaitForSingleObject(holding.Get(), 60000);
    tolo::ComPtr<IDispatch> fan = FanOf(first.Get(), 0);
    EXPECT_EQ(S_OK, SetDisplayName(fan.Get(), L"first"));
    EXPECT_EQ("first", DisplayName(fan.Get()));
    EXPECT_EQ(1u, test::ProcessesNamed(kExe).size()) << "two servers, each with a store of its own";
    SetEvent(go.Get());
    second.join();
    EXPECT_EQ(S_OK, created);
    EXPECT_EQ(S_OK, named);
    EXPECT_EQ(S_OK, timed);
    EXPECT_EQ("first", fanZeroSeen);
    EXPECT_EQ("second", DisplayName(FanOf(first.Get(), 1).Get())) << "the clients see different fans";
    fan.Reset(), first.Reset(), factory.Reset();
    ASSERT_TRUE(test::WaitUntilNoProcessNamed(kExe, 20000)) << "the server did not end";

    // The next server reads them back.
    const std::string store = test::ReadTextFile(test::FanStorePath());
    EXPECT_NE(std::string::npos, store.find("first")) << store;
    EXPECT_NE(std::string::npos, store.find("second")) << store;
    tolo::ComPtr<IDispatch> again;
    ASSERT_EQ(S_OK, CreateManager(again.Put()));
    EXPECT_EQ("first", DisplayName(FanOf(again.Get(), 0).Get()));
    tolo::ComPtr<IDispatch> fanOne = FanOf(again.Get(), 1);
    ASSERT_TRUE(fanOne);
    EXPECT_EQ("second", DisplayName(fanOne.Get()));
    EXPECT_EQ(7, test::Long(fanOne.Get(), L"StepUpTime"));
}

TEST_F(TwoFanServerTest, AServerStartedWhileAnotherServesWaitsForItsEndBeforeItReadsTheStore) {
    test::SetPatchValue(1);  // the start-up restore reads the store
    tolo::ComPtr<IDispatch> manager;
    ASSERT_EQ(S_OK, CreateManager(manager.Put()));
    tolo::ComPtr<IDispatch> fan = FanOf(manager.Get(), 0);
    ASSERT_EQ(S_OK, SetDisplayName(fan.Get(), L"early"));
    const std::vector<DWORD> servers = test::ProcessesNamed(kExe);
    ASSERT_EQ(1u, servers.size());
    tolo::UniqueHandle first(OpenProcess(SYNCHRONIZE, FALSE, servers[0]));
    // As COM starts one for a client that found no class object registered.
    test::StartedProgram late(L"\"" + test::BuiltProgram(kExe) + L"\" -Embedding");
    ASSERT_TRUE(late.Started());
    // The service's hidden window, which a server creates once it has read the store at its start.
    EXPECT_EQ(nullptr, test::FindProcessWindow(late.Id(), L"Fan Service", 3000))
        << "a second server read the store while the first served";
    ASSERT_EQ(S_OK, SetDisplayName(fan.Get(), L"late"));
    fan.Reset(), manager.Reset();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.Get(), 20000)) << "the first server did not end";

    ASSERT_EQ(S_OK, CreateManager(manager.Put()));
    EXPECT_EQ("late", DisplayName(FanOf(manager.Get(), 0).Get()));
    manager.Reset();
    EXPECT_EQ(0u, late.WaitForExit(30000)) << "the waiting server did not end";
}

TEST_F(ServerTest, ALeftoverServerFailsTheTestThatLeftItAndNotTheOneAfterIt) {
    // Two tests in one program: the first leaves its server held by a thread that never lets go.
    const test::ProgramResult probe =
        test::RunProgram(L"\"" + test::BuiltProgram(L"leftover_probe.exe") + L"\"", 100000);
    ASSERT_TRUE(probe.finished) << probe.output;
    EXPECT_EQ(1u, probe.exitCode) << probe.output;
    const auto has = [&probe](const char* text) { return probe.output.find(text) != std::string::npos; };
    EXPECT_TRUE(has("[  FAILED  ] LeftoverProbe.LeavesItsServerHeld")) << probe.output;
    EXPECT_TRUE(has("a server outlived its test")) << probe.output;
    // The next test's set-up ended it by its process id, said so, and the test passed.
    EXPECT_TRUE(has("[ LEFTOVER ] QuilFanControlService.exe (process ")) << probe.output;
    EXPECT_TRUE(has("[       OK ] LeftoverProbe.FindsOnlyItsOwnServer")) << probe.output;
}

TEST_F(ServerTest, ClientsConnectToTheEventPointAcrossProcesses) {
    ASSERT_EQ(0u, RunService(L"/RegServer").exitCode);
    tolo::ComPtr<IDispatch> manager;
    ASSERT_EQ(S_OK, CreateManager(manager.Put()));
    tolo::ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, manager->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()));
    tolo::ComPtr<IConnectionPoint> point, same;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IFanControlManagerEvents, point.Put()));
    ASSERT_EQ(S_OK, point->QueryInterface(IID_IConnectionPoint, same.PutVoid()));
    IID iid;
    ASSERT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(DIID__IFanControlManagerEvents, iid));

    test::EventSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
    EXPECT_NE(0u, cookie);
    EXPECT_GT(sink.References(), 0u) << "the server holds no reference to the sink";

    // A second client's connection point is the same one: it knows the first client's cookie.
    // (Its enumerator is checked in-process: Wine's IEnumConnections proxy hands back nothing.)
    tolo::ComPtr<IDispatch> other;
    ASSERT_EQ(S_OK, CreateManager(other.Put()));
    tolo::ComPtr<IConnectionPointContainer> otherContainer;
    ASSERT_EQ(S_OK, other->QueryInterface(IID_IConnectionPointContainer, otherContainer.PutVoid()));
    tolo::ComPtr<IConnectionPoint> otherPoint;
    ASSERT_EQ(S_OK, otherContainer->FindConnectionPoint(DIID__IFanControlManagerEvents, otherPoint.Put()));
    EXPECT_EQ(point.Get(), otherPoint.Get());

    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
    EXPECT_EQ(0u, sink.References()) << "the server kept a reference to a disconnected sink";
}

// The installed service, started and stopped by the service control manager.
class InstalledServiceTest : public ServerTest {
protected:
    struct Config {
        DWORD type = 0, start = 0, errorControl = 0;
        std::wstring path, group, dependencies, account, displayName;
    };
    static bool ReadConfig(Config* c) {
        tolo::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        tolo::ServiceHandle service(OpenServiceW(manager.Get(), kService, SERVICE_QUERY_CONFIG));
        if (!service) return false;
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* q = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (!QueryServiceConfigW(service.Get(), q, static_cast<DWORD>(buffer.size()), &needed)) return false;
        c->type = q->dwServiceType;
        c->start = q->dwStartType;
        c->errorControl = q->dwErrorControl;
        c->path = q->lpBinaryPathName ? q->lpBinaryPathName : L"";
        c->group = q->lpLoadOrderGroup ? q->lpLoadOrderGroup : L"";
        // Wine does not report the dependencies; its service database keeps them as Windows does.
        wchar_t depends[256] = {};
        DWORD size = sizeof(depends) - 2 * sizeof(wchar_t);
        RegGetValueW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\QuilFanControlService",
                     L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, depends, &size);
        for (const wchar_t* d = depends; *d; d += wcslen(d) + 1) c->dependencies += d + std::wstring(L";");
        c->account = q->lpServiceStartName ? q->lpServiceStartName : L"";
        c->displayName = q->lpDisplayName ? q->lpDisplayName : L"";
        return true;
    }
    static DWORD State() { return test::ServiceStateOf(kService); }
    static DWORD WaitForState(DWORD state) { return test::WaitForServiceState(kService, state); }
    static bool Installed() {
        tolo::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        tolo::ServiceHandle service(OpenServiceW(manager.Get(), kService, SERVICE_QUERY_STATUS));
        return static_cast<bool>(service);
    }
    static test::ProgramResult Net(const wchar_t* verb) { return test::Net(verb, kService); }
};

TEST_F(InstalledServiceTest, InstallsStartsServesStopsReconfiguresAndRemoves) {
    test::ProgramResult install = RunService(L"-sErViCe");
    ASSERT_TRUE(install.finished) << "installation showed a message box";
    ASSERT_EQ(0u, install.exitCode);
    Config config;
    ASSERT_TRUE(ReadConfig(&config));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), config.type & ~SERVICE_INTERACTIVE_PROCESS);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.start);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config.errorControl);
    const std::string quoted = "\"" + Narrow(test::BuiltProgram(kExe)) + "\"";
    EXPECT_EQ(quoted, Narrow(config.path));
    EXPECT_EQ("RPCSS;", Narrow(config.dependencies));
    EXPECT_EQ("", Narrow(config.group));
    EXPECT_EQ("LocalSystem", Narrow(config.account));
    EXPECT_EQ("QuilFanControlService", Narrow(config.displayName));
    std::wstring localService;
    ASSERT_TRUE(test::ReadString(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService", &localService));
    EXPECT_EQ("QuilFanControlService", Narrow(localService));
    EXPECT_TRUE(test::KeyExists(HKEY_CLASSES_ROOT, kClassKey + L"\\LocalServer32"));

    test::ProgramResult start = Net(L"start");
    ASSERT_TRUE(start.finished);
    ASSERT_EQ(0u, start.exitCode) << start.output;
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), WaitForState(SERVICE_RUNNING));
    {
        tolo::ComPtr<IDispatch> manager;
        ASSERT_EQ(S_OK, CreateManager(manager.Put()));
        EXPECT_EQ(50, test::Long(manager.Get(), L"MaxStepTime"));
    }
    // The last client's release does not end a service.
    Sleep(2000);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State());

    test::ProgramResult stop = Net(L"stop");
    ASSERT_TRUE(stop.finished);
    EXPECT_EQ(0u, stop.exitCode) << stop.output;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), WaitForState(SERVICE_STOPPED));

    // Installing over an existing service puts its configuration right.
    {
        tolo::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        tolo::ServiceHandle service(OpenServiceW(manager.Get(), kService, SERVICE_CHANGE_CONFIG));
        ASSERT_TRUE(ChangeServiceConfigW(service.Get(), SERVICE_NO_CHANGE, SERVICE_DEMAND_START,
                                         SERVICE_NO_CHANGE, L"C:\\elsewhere.exe", nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr));
    }
    install = RunService(L"/Service");
    ASSERT_TRUE(install.finished);
    EXPECT_EQ(0u, install.exitCode);
    ASSERT_TRUE(ReadConfig(&config));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config.start);
    EXPECT_EQ(quoted, Narrow(config.path));

    // Removing the stopped service shows no "Could not stop service" and deletes it.
    test::ProgramResult remove = RunService(L"/UnregServer");
    ASSERT_TRUE(remove.finished) << "removal showed a message box";
    EXPECT_EQ(0u, remove.exitCode);
    EXPECT_FALSE(Installed());
    EXPECT_FALSE(test::KeyExists(HKEY_CLASSES_ROOT, kAppIdKey));
}

}  // namespace
