// The real QuilFanControlService.exe, started by COM, against what users and their machines do to
// it: clients that are killed while they hold its objects or wait in a call, a settings file that
// is damaged or cannot be written, and another process that holds the Super I/O lock. After each,
// a client still gets the fans, and what it applies reaches the chip and FanStore.xml (or the
// client is told that the file did not take it).
#include <gtest/gtest.h>
#include <ocidl.h>
#include <tinyxml.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "AutomationClient.h"
#include "EventSink.h"
#include "QuilFanControlService_i.h"
#include "ServerFixture.h"
#include "fancore/FanStore.h"
#include "support/ChipLog.h"
#include "support/ProcessWindow.h"

namespace {

using test::I4;
using tolo::ComPtr;
using tolo::UniqueHandle;

constexpr long kUserPosition = 4;
constexpr DWORD kStartMs = 30000;

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::string FileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The store keys of the two fans: their BIOS mode items taken as store fan types.
const int kCpuFanKey = FanStoreKeyFromFanType(0x04070010);
const int kSystemFanKey = FanStoreKeyFromFanType(0x04070070);

// The user curve stored for the fan element with this key; empty when there is none (or the file
// does not load).
FanPoints StoredCurve(int key) {
    FanPoints points;
    TiXmlDocument doc;
    if (!doc.LoadFile(Narrow(test::FanStorePath()).c_str())) return points;
    for (const TiXmlElement* fan = doc.RootElement() ? doc.RootElement()->FirstChildElement("fan") : nullptr;
         fan; fan = fan->NextSiblingElement("fan")) {
        const char* k = fan->Attribute("key");
        const TiXmlElement* curve = fan->FirstChildElement("curvedata");
        if (!k || std::atoi(k) != key || !curve) continue;
        for (const TiXmlElement* p = curve->FirstChildElement("point"); p;
             p = p->NextSiblingElement("point")) {
            const TiXmlElement* x = p->FirstChildElement("x");
            const TiXmlElement* y = p->FirstChildElement("y");
            points.push_back({x && x->GetText() ? std::atoi(x->GetText()) : 0,
                              y && y->GetText() ? std::atoi(y->GetText()) : 0});
        }
        break;
    }
    return points;
}

// A store as the service writes one, holding a user curve for the system fan.
const FanPoints kSystemFanCurve = {{30, 90}, {60, 150}, {80, 255}};
std::string StoreWithSystemFanCurve() {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n<root>\n"
        "    <fan key=\"" +
        std::to_string(kSystemFanKey) + "\">\n        <curvedata>\n";
    for (size_t i = 0; i < kSystemFanCurve.size(); ++i)
        text += "            <point key=\"" + std::to_string(i) + "\">\n                <x>" +
                std::to_string(kSystemFanCurve[i].temperature) + "</x>\n                <y>" +
                std::to_string(kSystemFanCurve[i].duty) + "</y>\n            </point>\n";
    text += "        </curvedata>\n    </fan>\n";
    return text;
}

// A process of the test's own making, killed or ended with the test.
struct ChildProcess {
    UniqueHandle process;
    DWORD id = 0;
    ~ChildProcess() { Kill(); }
    void Kill() {
        if (!process) return;
        TerminateProcess(process.Get(), 0xDEAD);
        WaitForSingleObject(process.Get(), 10000);
        process.Reset();
    }
    bool Running() const { return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT; }
};

std::wstring UniqueName(const wchar_t* what) {
    static int n = 0;
    return std::wstring(L"quil-survival-") + what + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++n);
}

// Starts a program built beside the test; it sets the event `ready` once it got where it should.
bool Start(const std::wstring& arguments, ChildProcess* child) {
    std::wstring line = arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    child->process.Reset(info.hProcess);
    child->id = info.dwProcessId;
    return true;
}

// Waits for `ready` (pumping this apartment's messages meanwhile) or for the child to end.
bool WaitReady(HANDLE ready, const ChildProcess& child, DWORD timeoutMs) {
    HANDLE both[] = {ready, child.process.Get()};
    const DWORD start = GetTickCount();
    for (;;) {
        DWORD left = timeoutMs - (GetTickCount() - start);
        if (GetTickCount() - start >= timeoutMs) return false;
        DWORD r = MsgWaitForMultipleObjects(2, both, FALSE, left, QS_ALLINPUT);
        if (r == WAIT_OBJECT_0) return true;
        if (r != WAIT_OBJECT_0 + 2) return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
}

class ServiceSurvivalTest : public test::ServerTest {
protected:
    std::string BoardText() const override { return test::kTwoFanIteBoard; }

    // What FanStore.xml holds when the service starts; nothing: no file.
    virtual std::string StoreAtStart() const { return {}; }

    void SetUp() override {
        test::ServerTest::SetUp();
        if (HasFatalFailure()) return;
        RemoveStoreFiles();
        if (!StoreAtStart().empty()) WriteBytes(test::FanStorePath(), StoreAtStart());
        test::DeletePatchValue();
        test::InstallSuite(false);
        ASSERT_EQ(0u, test::RunService(L"/RegServer").exitCode);
    }
    void TearDown() override {
        sink_.Reset();
        controls_.Reset();
        manager_.Reset();
        // A server whose clients died never sees its last reference go under Wine. It is ended as
        // the service's stop ends it, with a quit message to its message loop, so that it revokes
        // its class object: a server killed with the class still registered leaves every later
        // activation in the prefix failing with RPC_S_SERVER_UNAVAILABLE.
        for (DWORD id : test::ProcessesNamed(test::kServiceExe)) {
            UniqueHandle server(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
            if (!server || WaitForSingleObject(server.Get(), 5000) != WAIT_TIMEOUT) continue;
            test::QuitThreadsOf(id);
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.Get(), 20000)) << "the server did not quit";
        }
        test::DeletePatchValue();
        test::ServerTest::TearDown();
        RemoveStoreFiles();
    }

    static void RemoveStoreFiles() {
        const std::wstring store = test::FanStorePath();
        for (const std::wstring& path : {store, store + L".tmp", store + L".bad"}) {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
    }

    // The manager and its fan collection, as a new client gets them.
    void Connect() {
        ASSERT_EQ(S_OK, test::CreateManager(manager_.Put()));
        controls_ = test::Object(manager_.Get(), L"Controls");
        ASSERT_TRUE(controls_);
        ASSERT_EQ(2, test::Long(controls_.Get(), L"Count"));
    }

    // The CPU fan, late-bound and through its interface (for the HRESULTs themselves).
    void ConnectToCpuFan(ComPtr<IDispatch>* cpu, ComPtr<IFanControl>* early) {
        ASSERT_NO_FATAL_FAILURE(Connect());
        *cpu = Fan(0);
        ASSERT_TRUE(*cpu);
        ASSERT_EQ(S_OK, (*cpu)->QueryInterface(IID_IFanControl, early->PutVoid()));
    }

    ComPtr<IDispatch> Fan(long position) { return test::Object(controls_.Get(), L"Item", {I4(position)}); }

    // A client's edit of a fan's user curve: new speeds, normalised by the service, then saved.
    // Returns the points saved; `saved` receives SaveUserProfile's result.
    FanPoints SaveUserCurve(IDispatch* fan, const std::vector<long>& speeds, long* saved) {
        ComPtr<IDispatch> profiles = test::Object(fan, L"Profiles");
        ComPtr<IDispatch> user = test::Object(profiles.Get(), L"Item", {I4(kUserPosition)});
        ComPtr<IDispatch> curve = test::Object(user.Get(), L"FanCurve");
        if (!curve) return {};
        test::SetSpeeds(curve.Get(), speeds);
        EXPECT_EQ(1, test::CallWith(fan, L"NormalizeFanCurve", curve.Get()));
        FanPoints points = test::CurvePoints(curve.Get());
        *saved = test::CallWith(profiles.Get(), L"SaveUserProfile", curve.Get());
        return points;
    }
    HRESULT ApplyUser(IDispatch* fan) {
        return test::Call(fan, L"ApplyIndex", DISPATCH_METHOD, {I4(kUserPosition)}, nullptr);
    }

    // The event sink of this client.
    void Advise() {
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, manager_->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()));
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IFanControlManagerEvents, sink_.Put()));
        ASSERT_EQ(S_OK, sink_->Advise(&events_, &cookie_));
    }

    // A client process (survival_client.exe) in `mode`, started and at its ready point; `inSink`
    // receives the event its stuck sink sets when the service calls it, `release` is the event
    // that lets a stalled sink return.
    void StartClient(const wchar_t* mode, ChildProcess* client, UniqueHandle* inSink = nullptr,
                     UniqueHandle* release = nullptr) {
        const std::wstring name = UniqueName(L"client");
        UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        ASSERT_TRUE(ready);
        if (inSink) {
            inSink->Reset(CreateEventW(nullptr, TRUE, FALSE, (name + L"-insink").c_str()));
            ASSERT_TRUE(*inSink);
        }
        if (release) {
            release->Reset(CreateEventW(nullptr, TRUE, FALSE, (name + L"-release").c_str()));
            ASSERT_TRUE(*release);
        }
        ASSERT_TRUE(
            Start(L"\"" + test::BuiltProgram(L"survival_client.exe") + L"\" " + name + L" " + mode, client));
        ASSERT_TRUE(WaitReady(ready.Get(), *client, 60000)) << "the client process did not get its objects";
    }

    ComPtr<IDispatch> manager_, controls_;
    ComPtr<IConnectionPoint> sink_;
    test::EventSink events_;
    DWORD cookie_ = 0;
};

// --- clients that die ---------------------------------------------------------------------------

// A client process that holds the manager, a fan, its profiles, a half-edited curve and an event
// connection is killed; the server it started goes on serving the next client, whose curve
// reaches the chip and the store, and whose event still arrives past the dead client's sink. A
// client killed inside its event handler does not keep the service's call waiting either.
TEST_F(ServiceSurvivalTest, ClientKilledHoldingObjectsLeavesTheServiceServing) {
    ChildProcess client;
    ASSERT_NO_FATAL_FAILURE(StartClient(L"hold", &client));
    std::vector<DWORD> servers = test::ProcessesNamed(test::kServiceExe);
    ASSERT_EQ(1u, servers.size()) << "the client's request started no server";
    client.Kill();

    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(servers, test::ProcessesNamed(test::kServiceExe))
        << "the client's server did not serve the next";
    ComPtr<IDispatch> cpu = Fan(0);
    ASSERT_TRUE(cpu);
    // The dead client's unsaved edit was its own curve object's, never the profile's.
    ComPtr<IDispatch> profiles = test::Object(cpu.Get(), L"Profiles");
    ComPtr<IDispatch> user = test::Object(profiles.Get(), L"Item", {I4(kUserPosition)});
    FanPoints before = test::CurvePoints(test::Object(user.Get(), L"FanCurve").Get());
    ASSERT_EQ(3u, before.size());
    EXPECT_NE(7, before[0].duty);

    ASSERT_NO_FATAL_FAILURE(Advise());
    long saved = 0;
    FanPoints curve = SaveUserCurve(cpu.Get(), {102, 178, 255}, &saved);
    EXPECT_EQ(1, saved);
    EXPECT_EQ(curve, StoredCurve(kCpuFanKey));
    uint32_t from = sim::NextWriteSeq();
    EXPECT_EQ(S_OK, ApplyUser(cpu.Get()));
    test::ExpectSameCurve(test::ExpectedChipCurve(curve), test::ChipCurve(test::kCpuFanBlock));
    EXPECT_TRUE(test::AllWritesLocked(from));
    EXPECT_EQ(std::vector<long>{kUserPosition}, events_.events)
        << "the event stopped at the dead client's sink";

    // A client stuck in its event handler is killed there: the service's call into it ends, the
    // member that fired returns, and the next call is served.
    ChildProcess stuck;
    UniqueHandle inSink;
    ASSERT_NO_FATAL_FAILURE(StartClient(L"sink", &stuck, &inSink));
    events_.events.clear();
    bool called = false;
    std::thread killer([&] {
        called = WaitForSingleObject(inSink.Get(), 60000) == WAIT_OBJECT_0;
        stuck.Kill();
    });
    EXPECT_EQ(S_OK, ApplyUser(cpu.Get()));
    killer.join();
    EXPECT_TRUE(called) << "the service did not call the stuck client's sink";
    EXPECT_EQ(S_OK, ApplyUser(cpu.Get()));
    EXPECT_EQ((std::vector<long>{kUserPosition, kUserPosition}), events_.events);
    test::ExpectSameCurve(test::ExpectedChipCurve(curve), test::ChipCurve(test::kCpuFanBlock));

    // The dead client's references keep the server: Wine never runs them down, and Windows does
    // so only after minutes of missed pings, so the server does not end when the last live client
    // lets go. It stays the one server, and the next client reaches it and sees the last curve.
    sink_->Unadvise(cookie_);
    sink_.Reset();
    user.Reset();
    profiles.Reset();
    cpu.Reset();
    controls_.Reset();
    manager_.Reset();
    Sleep(3000);
    EXPECT_EQ(servers, test::ProcessesNamed(test::kServiceExe));
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(servers, test::ProcessesNamed(test::kServiceExe));
    EXPECT_EQ(curve,
              test::CurvePoints(test::Object(test::Object(test::Object(Fan(0).Get(), L"Profiles").Get(),
                                                          L"Item", {I4(kUserPosition)})
                                                 .Get(),
                                             L"FanCurve")
                                    .Get()));
}

// A client whose event handler stops taking messages (a script busy in OnFanSettingChange) while
// the machine sleeps and wakes: the resume restore does not wait for it, and the client's own call
// still completes once its handler returns.
TEST_F(ServiceSurvivalTest, ClientStalledInItsEventHandlerDoesNotHoldUpTheResumeRestore) {
    ComPtr<IDispatch> cpu;
    ASSERT_NO_FATAL_FAILURE(Connect());
    cpu = Fan(0);
    ASSERT_TRUE(cpu);
    long saved = 0;
    FanPoints curve = SaveUserCurve(cpu.Get(), {102, 178, 255}, &saved);
    ASSERT_EQ(1, saved);
    ASSERT_EQ(S_OK, ApplyUser(cpu.Get()));
    const IteRegisterImage applied = test::ExpectedChipCurve(curve);
    test::ExpectSameCurve(applied, test::ChipCurve(test::kCpuFanBlock));
    std::vector<DWORD> servers = test::ProcessesNamed(test::kServiceExe);
    ASSERT_EQ(1u, servers.size());
    HWND power = test::FindProcessWindow(servers[0], L"Fan Service", 30000);
    ASSERT_NE(nullptr, power) << "the service shows no \"Fan Service\" window";

    ChildProcess client;
    UniqueHandle inSink, release;
    ASSERT_NO_FATAL_FAILURE(StartClient(L"stall", &client, &inSink, &release));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inSink.Get(), 60000)) << "the service did not call the sink";

    // Sleep cleared the CPU fan's curve registers.
    for (uint8_t reg = 1; reg <= 4; ++reg)
        sim::MonitorWrite(0, test::kCpuFanBlock + reg, 0, sim::WriteKind::Monitor);
    ASSERT_TRUE(PostMessageW(power, WM_POWERBROADCAST, PBT_APMSUSPEND, 0));
    ASSERT_TRUE(PostMessageW(power, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0));
    bool restored = false;
    for (DWORD start = GetTickCount(); !restored && GetTickCount() - start < 5000; Sleep(100)) {
        IteRegisterImage now = test::ChipCurve(test::kCpuFanBlock);
        restored = now.startTemp == applied.startTemp && now.startPwm == applied.startPwm &&
                   now.slope == applied.slope && now.fullTemp == applied.fullTemp;
    }
    SetEvent(release.Get());
    EXPECT_TRUE(restored) << "the resume restore waited for the stalled client";

    // The handler returned: the call that fired the event ends, and so does the client's own call.
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.process.Get(), 30000))
        << "the client's call never ended";
    DWORD code = 0;
    GetExitCodeProcess(client.process.Get(), &code);
    EXPECT_EQ(0u, code) << "the client's ApplyIndex failed";
    client.process.Reset();
    EXPECT_EQ(S_OK, ApplyUser(cpu.Get()));
}

// A client process killed while its call waits in the service (for the Super I/O lock, which a
// third process holds): the service finishes that call, then serves the next client without
// waiting for the holder. Once a holder lets go in time, the service's sequence runs after the
// holder's, under the lock.
TEST_F(ServiceSurvivalTest, CallsWhileAnotherProcessHoldsTheSuperIoLockEndAndReachTheChip) {
    ComPtr<IDispatch> cpu;
    ComPtr<IFanControl> early;
    ASSERT_NO_FATAL_FAILURE(ConnectToCpuFan(&cpu, &early));

    // A holder that never lets go.
    const std::wstring readyName = UniqueName(L"ready"), quitName = UniqueName(L"quit");
    UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    UniqueHandle quit(CreateEventW(nullptr, TRUE, FALSE, quitName.c_str()));
    ChildProcess holder;
    const std::wstring holderExe = L"\"" + test::BuiltProgram(L"sio_lock_holder.exe") + L"\" ";
    ASSERT_TRUE(Start(holderExe + readyName + L" never " + quitName, &holder));
    ASSERT_TRUE(WaitReady(ready.Get(), holder, 30000)) << "the holder did not take the lock";

    // A client process calls ApplyIndex, which waits for the lock in the service, and dies.
    ChildProcess client;
    ASSERT_NO_FATAL_FAILURE(StartClient(L"call", &client));
    Sleep(1500);
    client.Kill();

    // This client's save and apply queue behind the dead client's call; both end although the
    // holder never let go: a lock wait that times out lets the sequence run and then sets the lock.
    long saved = 0;
    FanPoints held = SaveUserCurve(cpu.Get(), {90, 160, 230}, &saved);
    EXPECT_EQ(1, saved);
    EXPECT_EQ(S_OK, early->ApplyIndex(kUserPosition));
    EXPECT_TRUE(holder.Running()) << "the call waited for the holder to end";
    test::ExpectSameCurve(test::ExpectedChipCurve(held), test::ChipCurve(test::kCpuFanBlock));
    EXPECT_EQ(held, StoredCurve(kCpuFanKey));
    EXPECT_FALSE(sim::SioLockHeld()) << "the timed-out sequence left the lock taken";
    SetEvent(quit.Get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder.process.Get(), 30000));

    // A holder that runs a sequence of its own for a while and lets go.
    ResetEvent(ready.Get());
    ChildProcess brief;
    FanPoints next = SaveUserCurve(cpu.Get(), {60, 120, 200}, &saved);
    EXPECT_EQ(1, saved);
    uint32_t from = sim::NextWriteSeq();
    ASSERT_TRUE(Start(holderExe + readyName + L" release 2000", &brief));
    ASSERT_TRUE(WaitReady(ready.Get(), brief, 30000));
    EXPECT_EQ(S_OK, early->ApplyIndex(kUserPosition));
    test::ExpectSameCurve(test::ExpectedChipCurve(next), test::ChipCurve(test::kCpuFanBlock));
    std::vector<test::RegWrite> writes = test::MonitorWrites(from);
    ASSERT_GT(writes.size(), 1u);
    EXPECT_EQ((test::RegWrite{0, 0x77, 0xA5}), writes[0])
        << "the service wrote before the holder let go:" << test::Describe(writes);
    EXPECT_TRUE(test::AllWritesLocked(from));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(brief.process.Get(), 30000));
}

// --- the settings file --------------------------------------------------------------------------

// Display names in any script and of any spacing, as a client passes them: stored in UTF-8, as the
// file declares, and after a restart read back exactly, with the settings stored after them. A
// name the file cannot hold whole (one holding a NUL) is refused.
TEST_F(ServiceSurvivalTest, DisplayNamesComeBackExactlyAfterARestart) {
    const std::wstring names[][2] = {
        {L"Caf\u00E9", L"\u0412\u0435\u043D\u0442 \u98A8\u6247 \U0001F300"},
        {L"  lead  double   trail  ", L" "},
        {L"\uFEFF"
         L"bom",
         L"\uFFFE"
         L"x\uFFFF"},
        // Carriage returns beside white space the parser trims or condenses, "]]>" beside it.
        {L" a\r", L"\r"},
        {L"\r\n", L"\t\r"},
        {L"a\r\n  b", L"  x\r"},
        {L" ]]> ", L"\r]]>]]> \r"},
    };
    const std::string utf8[] = {"Caf\xC3\xA9",
                                "\xD0\x92\xD0\xB5\xD0\xBD\xD1\x82 \xE9\xA2\xA8\xE6\x89\x87 \xF0\x9F\x8C\x80"};
    const auto put = [&](long fan, const std::wstring& text) {
        VARIANT name;
        VariantInit(&name);
        name.vt = VT_BSTR;
        name.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        const HRESULT hr = test::Put(Fan(fan).Get(), L"DisplayName", name);
        VariantClear(&name);
        return hr;
    };
    ASSERT_NO_FATAL_FAILURE(Connect());
    for (const auto& pair : names) {
        for (long i = 0; i < 2; ++i) EXPECT_EQ(S_OK, put(i, pair[i]));
        EXPECT_EQ(S_OK, test::Put(Fan(1).Get(), L"StepUpTime", I4(7)));
        if (&pair == &names[0]) {
            const std::string bytes = FileBytes(test::FanStorePath());
            for (const std::string& name : utf8)
                EXPECT_NE(std::string::npos, bytes.find("<fanname>" + name + "</fanname>")) << bytes;
            ComPtr<IFanControl> early;
            ASSERT_EQ(S_OK, Fan(0)->QueryInterface(IID_IFanControl, early.PutVoid()));
            BSTR withNul = SysAllocStringLen(L"ab\0cd", 5);
            EXPECT_EQ(E_INVALIDARG, early->put_DisplayName(withNul));
            SysFreeString(withNul);
            EXPECT_EQ(pair[0], test::Text(Fan(0).Get(), L"DisplayName"));
        }

        controls_.Reset();
        manager_.Reset();
        ASSERT_TRUE(test::WaitUntilNoProcessNamed(test::kServiceExe, 30000)) << "the server did not end";
        ASSERT_NO_FATAL_FAILURE(Connect());
        for (long i = 0; i < 2; ++i) EXPECT_EQ(pair[i], test::Text(Fan(i).Get(), L"DisplayName")) << i;
        EXPECT_EQ(7, test::Long(Fan(1).Get(), L"StepUpTime"));
    }
    EXPECT_FALSE(FileExists(test::FanStorePath() + L".bad"));
}

// FanStore.xml edited by hand, then the service started with "BIOS fan patch" 1: a value or curve
// a client's member would refuse is taken as none (the fan's own), so that the start-up restore
// does not send it and no client reads it.
TEST_F(ServiceSurvivalTest, StoredValuesNoClientCouldSetAreNeitherSentNorHandedOut) {
    ComPtr<IDispatch> cpu;
    ComPtr<IFanControl> early;
    ASSERT_NO_FATAL_FAILURE(ConnectToCpuFan(&cpu, &early));
    long saved = 0;
    const FanPoints curve = SaveUserCurve(cpu.Get(), {102, 178, 255}, &saved);
    ASSERT_EQ(1, saved);
    ASSERT_EQ(S_OK, early->ApplyIndex(kUserPosition));
    const struct {
        const wchar_t* member;
        long set;
        const char* element;
        const char* stored;
    } kEdits[] = {
        {L"StepUpTime", 7, "stepuptime", "300"},    {L"StepDownTime", 8, "stepdowntime", "-5"},
        {L"RpmTolerance", 9, "tolerance", "256"},   {L"StepUnit", 10, "stepunit", "99999999999"},
        {L"T1DelayTime", 11, "t1delaytime", "300"}, {L"TempTolerance", 2, "temptolerance", "250"},
    };
    for (const auto& e : kEdits) ASSERT_EQ(S_OK, test::Put(cpu.Get(), e.member, I4(e.set))) << e.member;
    cpu.Reset();
    early.Reset();
    controls_.Reset();
    manager_.Reset();
    ASSERT_TRUE(test::WaitUntilNoProcessNamed(test::kServiceExe, 30000)) << "the server did not end";
    std::string bytes = FileBytes(test::FanStorePath());
    const auto edit = [&](const std::string& from, const std::string& to) {
        const size_t at = bytes.find(from);
        ASSERT_NE(std::string::npos, at) << from << " in " << bytes;
        bytes.replace(at, from.size(), to);
    };
    for (const auto& e : kEdits) {
        const std::string open = std::string("<") + e.element + ">";
        edit(open + std::to_string(e.set) + "<", open + e.stored + "<");
    }
    edit("<x>" + std::to_string(curve[0].temperature) + "</x>", "<x>-5</x>");
    WriteBytes(test::FanStorePath(), bytes);
    const DWORD patch = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Quil\\QuilFanService",
                                             L"BIOS fan patch", REG_DWORD, &patch, sizeof patch));

    ASSERT_NO_FATAL_FAILURE(ConnectToCpuFan(&cpu, &early));
    // The temperature tolerance is the chip's own; the others are what a fan has without a file.
    for (const auto& e : kEdits) {
        const long read = test::Long(cpu.Get(), e.member);
        EXPECT_EQ(std::string(e.element) == "temptolerance" ? read : 0, read) << e.member;
        EXPECT_NE(std::atol(e.stored), read) << e.member;
    }
    ComPtr<IDispatch> user =
        test::Object(test::Object(cpu.Get(), L"Profiles").Get(), L"Item", {I4(kUserPosition)});
    const FanPoints kept = test::CurvePoints(test::Object(user.Get(), L"FanCurve").Get());
    ASSERT_FALSE(kept.empty());
    EXPECT_NE(-5, kept[0].temperature) << "the profile took a curve no client could give it";
    // The start-up restore ran the profile's own curve, not a start at 251 degrees.
    test::ExpectSameCurve(test::ExpectedChipCurve(kept), test::ChipCurve(test::kCpuFanBlock));
    EXPECT_NE(251, test::ChipCurve(test::kCpuFanBlock).startTemp);
}

// FanStore.xml saved by an editor in the ANSI code page, as display names were once stored: read
// in that code page with every setting, not set aside, and written in UTF-8 at the next save; a
// name the file holds in UTF-8 beside it is read in UTF-8.
TEST_F(ServiceSurvivalTest, AStoreInTheAnsiCodePageIsReadAsMeantAndSavedInUtf8) {
    const std::wstring name = L"Caf\u00E9";
    char ansi[8] = {};
    ASSERT_EQ(5, WideCharToMultiByte(CP_ACP, 0, name.c_str(), -1, ansi, sizeof ansi, nullptr, nullptr));
    ASSERT_EQ(std::string("Caf\xE9"), ansi) << "the ANSI code page has no single byte for the name";
    ASSERT_NO_FATAL_FAILURE(Connect());
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(name.c_str());
    EXPECT_EQ(S_OK, test::Put(Fan(0).Get(), L"DisplayName", text));
    VariantClear(&text);
    // The other name stays in UTF-8, as the service wrote it.
    const std::wstring kept = L"\u00E9\u20AC";
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(kept.c_str());
    EXPECT_EQ(S_OK, test::Put(Fan(1).Get(), L"DisplayName", text));
    VariantClear(&text);
    EXPECT_EQ(S_OK, test::Put(Fan(1).Get(), L"StepUpTime", I4(7)));
    controls_.Reset();
    manager_.Reset();
    ASSERT_TRUE(test::WaitUntilNoProcessNamed(test::kServiceExe, 30000)) << "the server did not end";
    std::string bytes = FileBytes(test::FanStorePath());
    const size_t at = bytes.find("Caf\xC3\xA9");
    ASSERT_NE(std::string::npos, at) << bytes;
    bytes.replace(at, 5, ansi);
    WriteBytes(test::FanStorePath(), bytes);

    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(name, test::Text(Fan(0).Get(), L"DisplayName"));
    EXPECT_EQ(kept, test::Text(Fan(1).Get(), L"DisplayName"));
    EXPECT_EQ(7, test::Long(Fan(1).Get(), L"StepUpTime"));
    EXPECT_FALSE(FileExists(test::FanStorePath() + L".bad"));
    EXPECT_EQ(S_OK, test::Put(Fan(1).Get(), L"StepDownTime", I4(3)));
    const std::string saved = FileBytes(test::FanStorePath());
    EXPECT_NE(std::string::npos, saved.find("<fanname>Caf\xC3\xA9</fanname>")) << saved;
    EXPECT_NE(std::string::npos, saved.find("<fanname>\xC3\xA9\xE2\x82\xAC</fanname>")) << saved;
    EXPECT_NE(std::string::npos, saved.find("<stepuptime>7</stepuptime>")) << saved;
}

struct DamagedStore {
    const char* name;
    std::string bytes;
    bool parses;  // well-formed XML, though not a store the service can use
};

void PrintTo(const DamagedStore& store, std::ostream* out) {
    *out << store.name;
}

class DamagedStoreTest : public ServiceSurvivalTest, public ::testing::WithParamInterface<DamagedStore> {
protected:
    std::string StoreAtStart() const override { return GetParam().bytes; }
};

// The service starts over a damaged FanStore.xml and serves. A file that does not parse is kept
// byte for byte beside the new store, which keeps what did parse and what the user saves next;
// a well-formed file that is not a store is left as it is, and a client's saves are reported as
// not stored, while the fan still runs what the client applied.
TEST_P(DamagedStoreTest, ServiceServesAndKeepsWhatWasValid) {
    const DamagedStore& damaged = GetParam();
    const std::wstring store = test::FanStorePath();
    ComPtr<IDispatch> cpu;
    ComPtr<IFanControl> early;
    ASSERT_NO_FATAL_FAILURE(ConnectToCpuFan(&cpu, &early));

    long saved = -1;
    FanPoints curve = SaveUserCurve(cpu.Get(), {102, 178, 255}, &saved);
    ASSERT_EQ(3u, curve.size());
    const HRESULT applied = early->ApplyIndex(kUserPosition);
    test::ExpectSameCurve(test::ExpectedChipCurve(curve), test::ChipCurve(test::kCpuFanBlock));
    EXPECT_FALSE(FileExists(store + L".tmp"));

    if (damaged.parses) {
        EXPECT_EQ(0, saved) << "a curve the file did not take was reported as saved";
        EXPECT_EQ(STG_E_CANTSAVE, applied);
        EXPECT_EQ(damaged.bytes, FileBytes(store)) << "a file the service cannot use was rewritten";
        EXPECT_FALSE(FileExists(store + L".bad"));
        return;
    }
    EXPECT_EQ(1, saved);
    EXPECT_EQ(S_OK, applied);
    EXPECT_EQ(damaged.bytes, FileBytes(store + L".bad")) << "the damaged file's bytes were not kept";
    EXPECT_EQ(curve, StoredCurve(kCpuFanKey));
    // What parsed before the damage is still there.
    if (damaged.bytes.find("<fan key=\"" + std::to_string(kSystemFanKey) + "\">") != std::string::npos) {
        EXPECT_EQ(kSystemFanCurve, StoredCurve(kSystemFanKey));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedStoreTest,
    ::testing::Values(
        // Saved by an editor as UTF-16, which the store does not read.
        DamagedStore{"Utf16", std::string("\xFF\xFE<\0?\0x\0m\0l\0 \0\x01\x02", 16), false},
        // Cut off in the middle of the next fan's curve.
        DamagedStore{"Truncated",
                     StoreWithSystemFanCurve() + "    <fan key=\"" + std::to_string(kCpuFanKey) +
                         "\">\n        <curvedata>\n            "
                         "<point key=\"0\">\n                <x>2",
                     false},
        // A whole document, but no XML declaration before its root.
        DamagedStore{"NoDeclaration",
                     StoreWithSystemFanCurve().substr(StoreWithSystemFanCurve().find("<root>")) + "</root>\n",
                     true}),
    [](const ::testing::TestParamInfo<DamagedStore>& info) { return std::string(info.param.name); });

// FanStore.xml made read-only, or held open by another program without sharing: a save that
// does not reach the file is reported to the client, the file stays as it was, and the next save
// after the file is free again is stored.
TEST_F(ServiceSurvivalTest, StoreThatCannotBeWrittenIsReportedAndKeptIntact) {
    const std::wstring store = test::FanStorePath();
    ComPtr<IDispatch> cpu;
    ComPtr<IFanControl> early;
    ASSERT_NO_FATAL_FAILURE(ConnectToCpuFan(&cpu, &early));
    long saved = 0;
    FanPoints first = SaveUserCurve(cpu.Get(), {90, 160, 230}, &saved);
    ASSERT_EQ(1, saved);
    ASSERT_EQ(S_OK, early->ApplyIndex(kUserPosition));
    ASSERT_EQ(first, StoredCurve(kCpuFanKey));
    const std::string bytes = FileBytes(store);

    ASSERT_TRUE(SetFileAttributesW(store.c_str(), FILE_ATTRIBUTE_READONLY));
    FanPoints second = SaveUserCurve(cpu.Get(), {60, 120, 200}, &saved);
    ASSERT_NE(first, second);
    EXPECT_EQ(0, saved) << "a save into a read-only file was reported as done";
    EXPECT_EQ(STG_E_CANTSAVE, early->ApplyIndex(kUserPosition));
    // Late-bound, the failure reaches a script as an error too.
    EXPECT_TRUE(FAILED(ApplyUser(cpu.Get())));
    test::ExpectSameCurve(test::ExpectedChipCurve(second), test::ChipCurve(test::kCpuFanBlock));
    EXPECT_EQ(bytes, FileBytes(store));
    EXPECT_FALSE(FileExists(store + L".tmp"));

    ASSERT_TRUE(SetFileAttributesW(store.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(second, SaveUserCurve(cpu.Get(), {60, 120, 200}, &saved));
    EXPECT_EQ(1, saved);
    EXPECT_EQ(S_OK, early->ApplyIndex(kUserPosition));
    EXPECT_EQ(second, StoredCurve(kCpuFanKey));

    // Held open by a program that shares it for reading only: the replace is refused as well.
    const std::string before = FileBytes(store);
    {
        UniqueHandle reader(
            CreateFileW(store.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader);
        FanPoints third = SaveUserCurve(cpu.Get(), {120, 180, 255}, &saved);
        EXPECT_EQ(0, saved) << "a save into a file held open was reported as done";
        EXPECT_EQ(STG_E_CANTSAVE, early->ApplyIndex(kUserPosition));
        reader.Reset();
        EXPECT_EQ(before, FileBytes(store));
        EXPECT_FALSE(FileExists(store + L".tmp"));
        EXPECT_EQ(third, SaveUserCurve(cpu.Get(), {120, 180, 255}, &saved));
        EXPECT_EQ(1, saved);
        EXPECT_EQ(third, StoredCurve(kCpuFanKey));
    }
}

}  // namespace

namespace {

// --- a client that comes as the server ends -------------------------------------------------------

// A client that kept the class factory asks it for the manager right after the last manager
// reference went: the server, already on its way out, serves the late client and stays for it as
// long as it holds the manager, then ends.
TEST_F(ServiceSurvivalTest, ClientArrivingAsTheServerEndsIsServedAndKeepsItOn) {
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(test::kManagerProgId, &clsid));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK,
              CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, factory.PutVoid()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, manager_.PutVoid()));
    ASSERT_TRUE(test::Object(manager_.Get(), L"Controls"));
    const std::vector<DWORD> servers = test::ProcessesNamed(test::kServiceExe);
    ASSERT_EQ(servers.size(), 1u);
    UniqueHandle server(OpenProcess(SYNCHRONIZE, FALSE, servers[0]));
    ASSERT_TRUE(server);

    manager_.Reset();  // the server's last client reference: it starts to end
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, manager_.PutVoid()));
    // Well past the server's pause after its last reference.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(server.Get(), 3000)) << "the server ended under its client";
    controls_ = test::Object(manager_.Get(), L"Controls");
    ASSERT_TRUE(controls_);
    long saved = 0;
    EXPECT_FALSE(SaveUserCurve(Fan(0).Get(), {90, 90, 90}, &saved).empty());
    EXPECT_EQ(1, saved);
    // A new client meanwhile reaches the same server.
    ComPtr<IDispatch> another;
    ASSERT_EQ(S_OK, test::CreateManager(another.Put()));
    EXPECT_TRUE(test::Object(another.Get(), L"Controls"));
    EXPECT_EQ(test::ProcessesNamed(test::kServiceExe), servers) << "one server for every client";

    another.Reset();
    controls_.Reset();
    manager_.Reset();
    factory.Reset();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(server.Get(), 20000))
        << "the server stayed after its last client";
    // The next client starts a server of its own.
    ASSERT_NO_FATAL_FAILURE(Connect());
}

}  // namespace
