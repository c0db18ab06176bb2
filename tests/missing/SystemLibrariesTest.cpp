// The programs with one of the maker's libraries taken out of the system folder, or the ACPI
// library the fan service imports gone: the I/O library's absence leaves the tool without clock
// readings and the service without its chip, each still serving (the service tells it in a box
// to the user, or, run as a service where nobody could answer one, in its event log); the service
// without its ACPI library is refused by the loader at once, registers nothing, and a client that
// asks for it is told so instead of waiting forever. Each test puts the library back, and the
// prefix works as before.
#include <windows.h>

#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "MissingLibraries.h"
#include "ServerFixture.h"
#include "ToolRun.h"
#include "support/IteBoards.h"
#include "support/ProcessWindow.h"
#include "support/ServiceState.h"
#include "system/Handles.h"

namespace {

const wchar_t kClassServerKey[] = L"CLSID\\{6A2E41D7-3C95-4B80-A1F6-2D7C09E5B318}\\LocalServer32";
const CLSID kFanControlManager = {
    0x6A2E41D7, 0x3C95, 0x4B80, {0xA1, 0xF6, 0x2D, 0x7C, 0x09, 0xE5, 0xB3, 0x18}};
// The loader's answer for a process whose imported library is nowhere on the search path.
const DWORD kDllNotFound = 0xC0000135;

const wchar_t kServiceName[] = L"QuilFanControlService";

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// ---------------------------------------------------------------------------------------------
// The tool without the I/O library

class ToolWithoutIoLibraryTest : public test::ToolRun {
protected:
    void TearDown() override {
        ToolRun::TearDown();
        EXPECT_TRUE(test::SystemLibraryAway::PutBack(L"QuilIO.dll"));
    }
};

TEST_F(ToolWithoutIoLibraryTest, RunsWithoutAMessageAndKeepsItsTimers) {
    test::SystemLibraryAway io(L"QuilIO.dll");
    ASSERT_TRUE(io.Away());
    ExpectSilentBridge(test::BuiltProgram(L"ObxTT.exe"), [this] {
        // The ratio goes out at start-up and again with the 5-second timer, whatever the clock
        // monitor could measure without the library.
        EXPECT_TRUE(test::WaitFor([this] { return CommandsOfKind(0x0B) >= 2; }));
        EXPECT_EQ(Board()->quilIoOpenCalls, 0u);
    });
}

// ---------------------------------------------------------------------------------------------
// The fan service

// An IT8721 whose firmware declares the CPU and system fan headers.
const std::string kServiceBoard = test::TwoFanIteBoard({"QX-H61 CLIENT"});

struct ClientCall {
    int fans = -1;
    std::wstring name, nameAfterSet;
    bool failed = false;
};

// The tool's client on a thread of its own, as the tool's workers are: the answer may wait for a
// message box of the service.
DWORD WINAPI CountFans(LPVOID param) {
    auto* call = static_cast<ClientCall*>(param);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try {
        call->fans = FanSvc_GetFanCount();
        call->name = FanSvc_GetFanName(0);
        // Reading the chip's duty and a duty from the box, as a worker sets it: the service must not
        // call through the missing library (it would end, and the next call fail).
        FanSvc_GetFanDuty(0);
        fan_SetDuty(new DutyHandOver{0, 7});
        call->nameAfterSet = FanSvc_GetFanName(1);
    } catch (...) {
        call->failed = true;
    }
    CoUninitialize();
    return 0;
}

// The fans come from the firmware's items and keep their names; the chip is out of reach, so the
// duty the box asked for is dropped, and nothing was written to it.
void ExpectFirmwareFansAndAnUntouchedChip(const ClientCall& call, uint32_t from) {
    EXPECT_FALSE(call.failed);
    EXPECT_EQ(call.fans, 2);
    EXPECT_EQ(call.name, L"CPU FAN");
    EXPECT_EQ(call.nameAfterSet, L"SYSTEM FAN");
    for (const sim::WriteRecord& w : sim::Writes(from)) {
        EXPECT_NE(w.kind, sim::WriteKind::Config);
        EXPECT_NE(w.kind, sim::WriteKind::Monitor);
    }
}

class ServiceWithoutLibraryTest : public test::ServerTest {
protected:
    std::string BoardText() const override { return kServiceBoard; }
    void SetUp() override {
        ServerTest::SetUp();
        if (HasFatalFailure()) return;
        test::ForgetServiceState();
    }
    void TearDown() override {
        for (const wchar_t* library : {L"QuilIO.dll", L"QuilAcpi.dll"})
            EXPECT_TRUE(test::SystemLibraryAway::PutBack(library));
        ServerTest::TearDown();
        test::ForgetServiceState();
    }
    static bool ServiceInstalled() {
        tolo::ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        tolo::ServiceHandle service(manager ? OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS)
                                            : nullptr);
        return static_cast<bool>(service);
    }
    static DWORD Register(const std::wstring& program) {
        return test::RunProgram(Quoted(program) + L" /RegServer", 30000).exitCode;
    }
};

// The I/O library gone, or in its place a library without its procedures: the message, and then
// the fans the firmware declares, served without the chip.
struct IoLibraryCase {
    const char* name;
    const wchar_t* impostor;  // a built library put in its place, or null
    const wchar_t* message;
};

void PrintTo(const IoLibraryCase& c, std::ostream* out) {
    *out << c.name;
}

class ServiceIoLibraryTest : public ServiceWithoutLibraryTest,
                             public ::testing::WithParamInterface<IoLibraryCase> {};

TEST_P(ServiceIoLibraryTest, ItSaysSoOncePerServerAndServesItsFansWithoutTheChip) {
    ASSERT_EQ(Register(test::BuiltProgram(test::kServiceExe)), 0u);
    test::SystemLibraryAway io(L"QuilIO.dll");
    ASSERT_TRUE(io.Away());
    if (GetParam().impostor) {
        ASSERT_TRUE(io.ReplaceWith(GetParam().impostor));
    }
    const uint32_t from = sim::NextWriteSeq();
    ClientCall call;
    tolo::UniqueHandle client(CreateThread(nullptr, 0, CountFans, &call, 0, nullptr));
    ASSERT_TRUE(client);
    // Every message the service shows is answered as a user would; the client's calls go on then.
    // A local server ends a second after its client lets go, so each call may start another one,
    // which tells again.
    std::vector<std::wstring> shown;
    std::set<DWORD> servers;
    const DWORD start = GetTickCount();
    while (WaitForSingleObject(client.Get(), 100) == WAIT_TIMEOUT && GetTickCount() - start < 90000) {
        for (DWORD id : test::ProcessesNamed(test::kServiceExe))
            for (const test::ShownBox& box : test::MessageBoxesOf(id)) {
                if (box.text.empty()) continue;  // not up yet
                EXPECT_TRUE(servers.insert(id).second) << "a second message from one server";
                shown.push_back(box.text);
                EXPECT_EQ(box.caption, L"");
                EXPECT_TRUE(test::PressOk(box));
            }
    }
    ASSERT_EQ(WaitForSingleObject(client.Get(), 0), WAIT_OBJECT_0) << "the client's calls never returned";
    ASSERT_FALSE(shown.empty());
    for (const std::wstring& text : shown) EXPECT_EQ(text, GetParam().message);
    ExpectFirmwareFansAndAnUntouchedChip(call, from);
    // Released by its client, the last server ends as it always does.
    EXPECT_TRUE(test::WaitUntilNoProcessNamed(test::kServiceExe, 20000));
}

// Run where nobody can answer a box (as an installed service, on a desktop of its own window
// station), the service writes the message to its event log instead, as its other events, and
// goes on at once. Wine's event log keeps nothing; a local server copies each event's text to its
// standard output, so one started on such a desktop shows where the message goes.
TEST_P(ServiceIoLibraryTest, WithNobodyToAnswerItLogsTheMessageAndServesItsFansAtOnce) {
    const std::wstring program = Quoted(test::BuiltProgram(test::kServiceExe));
    ASSERT_EQ(Register(test::BuiltProgram(test::kServiceExe)), 0u);
    test::SystemLibraryAway io(L"QuilIO.dll");
    ASSERT_TRUE(io.Away());
    if (GetParam().impostor) {
        ASSERT_TRUE(io.ReplaceWith(GetParam().impostor));
    }
    // The start-up restore meets the library before any client comes.
    test::SetPatchValue(1);
    const std::string message = Narrow(GetParam().message);
    {
        test::UnseenDesktop desktop;
        ASSERT_TRUE(desktop.Unseen());
        test::StartedProgram server(program + L" -Embedding", {.output = true, .desktop = desktop.Name()});
        ASSERT_TRUE(server.Started()) << server.StartError();
        const DWORD start = GetTickCount();
        while (server.Output().find(message) == std::string::npos && server.Running() &&
               GetTickCount() - start < 30000)
            Sleep(100);
        EXPECT_EQ(test::CountOf(server.Output(), message), 1u) << server.Output();
        for (const test::ShownBox& box : test::MessageBoxesOf(server.Id()))
            ADD_FAILURE() << "a message box nobody can answer: " << Narrow(box.text);
        // Its first thread serves: a quit there ends it as the last client's release would.
        for (int i = 0; i < 50 && !PostThreadMessageW(server.MainThreadId(), WM_QUIT, 0, 0); ++i) Sleep(100);
        EXPECT_EQ(server.WaitForExit(20000), 0u);
    }

    // The installed service, started by the service control manager.
    const test::ProgramResult install = test::RunProgram(program + L" /Service", 30000);
    ASSERT_TRUE(install.finished);
    ASSERT_EQ(install.exitCode, 0u);
    const test::ProgramResult start = test::Net(L"start", kServiceName);
    ASSERT_TRUE(start.finished);
    ASSERT_EQ(start.exitCode, 0u) << start.output;
    ASSERT_EQ(test::WaitForServiceState(kServiceName, SERVICE_RUNNING), static_cast<DWORD>(SERVICE_RUNNING));
    const std::vector<DWORD> services = test::ProcessesNamed(test::kServiceExe);
    ASSERT_EQ(services.size(), 1u);
    const uint32_t from = sim::NextWriteSeq();
    ClientCall call;
    tolo::UniqueHandle client(CreateThread(nullptr, 0, CountFans, &call, 0, nullptr));
    ASSERT_TRUE(client);
    // A box that comes up all the same is named and answered here, so that the test ends.
    const DWORD begin = GetTickCount();
    while (WaitForSingleObject(client.Get(), 100) == WAIT_TIMEOUT && GetTickCount() - begin < 60000)
        for (const test::ShownBox& box : test::MessageBoxesOf(services[0])) {
            if (box.text.empty()) continue;  // not up yet
            ADD_FAILURE() << "a message box nobody can answer: " << Narrow(box.text);
            test::PressOk(box);
        }
    ASSERT_EQ(WaitForSingleObject(client.Get(), 0), WAIT_OBJECT_0) << "the client's calls never returned";
    ExpectFirmwareFansAndAnUntouchedChip(call, from);
    // No window of the service's is shown; its power window, hidden, is found where they all are.
    const HWND power = test::FindProcessWindow(services[0], L"Fan Service", 10000, L"Fan Service");
    EXPECT_TRUE(power) << "the service's desktop was not searched";
    for (HWND w : test::WindowsOfProcess(services[0])) {
        wchar_t cls[64] = {};
        GetClassNameW(w, cls, 64);
        EXPECT_FALSE(test::Shown(w)) << "a window is shown: " << Narrow(cls);
    }
    const test::ProgramResult stop = test::Net(L"stop", kServiceName);
    EXPECT_TRUE(stop.finished);
    EXPECT_EQ(test::WaitForServiceState(kServiceName, SERVICE_STOPPED), static_cast<DWORD>(SERVICE_STOPPED));
}

const IoLibraryCase kIoLibraryCases[] = {
    {"Missing", nullptr, L"Can not load QuilIo.dll"},
    {"WithoutItsProcedures", L"vvc2.dll", L"Can not get procedures in QuilIO.dll"},
};
INSTANTIATE_TEST_SUITE_P(IoLibrary, ServiceIoLibraryTest, ::testing::ValuesIn(kIoLibraryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ServiceWithoutLibraryTest, WithoutItsAcpiLibraryTheLoaderRefusesItAndTheRegistryStaysAsItWas) {
    test::ProgramFolder folder(test::kServiceExe, {});
    ASSERT_TRUE(folder.Ready());
    {
        test::SystemLibraryAway acpi(L"QuilAcpi.dll");
        ASSERT_TRUE(acpi.Away());
        for (const wchar_t* command : {L" /RegServer", L" /Service", L""}) {
            const test::ProgramResult run = test::RunProgram(Quoted(folder.Program()) + command, 30000);
            EXPECT_TRUE(run.finished) << command;
            EXPECT_EQ(run.exitCode, kDllNotFound) << command;
        }
        EXPECT_FALSE(test::KeyExists(HKEY_CLASSES_ROOT, kClassServerKey));
        EXPECT_FALSE(ServiceInstalled());
        EXPECT_TRUE(test::ProcessesNamed(test::kServiceExe).empty());
    }
    // The library back, the prefix's own service registers and serves as before.
    ASSERT_EQ(Register(test::BuiltProgram(test::kServiceExe)), 0u);
    EXPECT_EQ(FanSvc_GetFanCount(), 2);
}

TEST_F(ServiceWithoutLibraryTest, AClientOfAServiceWhoseAcpiLibraryWentAwayIsToldSo) {
    test::ProgramFolder folder(test::kServiceExe, {});
    ASSERT_TRUE(folder.Ready());
    ASSERT_EQ(Register(folder.Program()), 0u);  // the library still in the system folder
    {
        test::SystemLibraryAway acpi(L"QuilAcpi.dll");
        ASSERT_TRUE(acpi.Away());
        IDispatch* manager = nullptr;
        const HRESULT hr = CoCreateInstance(kFanControlManager, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                                            reinterpret_cast<void**>(&manager));
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        if (manager) manager->Release();
        EXPECT_TRUE(test::ProcessesNamed(test::kServiceExe).empty());
    }
    test::RunProgram(Quoted(folder.Program()) + L" /UnregServer", 30000);
}

}  // namespace
