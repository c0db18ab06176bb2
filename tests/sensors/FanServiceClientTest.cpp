// The fan-service client against an automation object of the test's own: the members it calls by
// name, the VARIANT types of their arguments, the order of the calls, the caches, the two duty
// scalings and the errors it raises.
#include <windows.h>

#include <algorithm>
#include <functional>

#include "bios/BiosInterface.h"
#include "box/SimBox.h"
#include "boxtool/FanServiceClient.h"
#include "boxtool/TOrbixBoxUsb.h"
#include "boxtool/TfrmObxTestMain.h"
#include "boxtool/ToolError.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "support/FakeFanService.h"
#include "support/ToolAcpiBinding.h"
#include "system/Handles.h"

namespace {

using test::FakeFan;
using test::FakeFanService;
using Strings = std::vector<std::string>;

const std::wstring kProgIdSuffix = L", ProgID: \"QuilFanControlService.FanControlManager\"";

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        Sleep(10);
    }
    return done();
}

std::vector<FakeFan> ThreeFans() {
    return {{L"CPU_FAN", 21}, {L"CHA_FAN1", 22}, {L"CHA_FAN2", 252}};
}

// Runs the worker on a thread of its own, as FanSvc_SetDutyAsync does, and waits for it.
DWORD RunWorker(int fan, int duty) {
    tolo::UniqueHandle t(CreateThread(nullptr, 0, fan_SetDuty, new DutyHandOver{fan, duty}, 0, nullptr));
    WaitForSingleObject(t.Get(), INFINITE);
    DWORD code = 99;
    GetExitCodeThread(t.Get(), &code);
    return code;
}

// The calls one worker makes for a fan of four curve points.
Strings WorkerCalls(int fan, int speed, bool manualMode) {
    const std::string f = std::to_string(fan);
    const std::string item = "fans Item get I4:" + f;
    Strings calls = {"manager Controls get",
                     item,
                     "fan" + f + " Profiles get",
                     "profiles" + f + " Item get I4:4",
                     "profile" + f + "/4 FanCurve get",
                     "curve" + f + " Count get"};
    if (manualMode) calls.insert(calls.end(), {item, "fan" + f + " EnableManualMode call I4:0"});
    for (int i = 0; i < 4; ++i) {
        calls.push_back("curve" + f + " Item get UI4:" + std::to_string(i));
        calls.push_back("point" + f + "/" + std::to_string(i) + " Speed put UI4:" + std::to_string(speed));
    }
    calls.insert(calls.end(),
                 {item, "fan" + f + " NormalizeFanCurve call curve" + f, item, "fan" + f + " Profiles get",
                  "profiles" + f + " SaveUserProfile call curve" + f, item, "fan" + f + " Profiles get",
                  "profiles" + f + " Count get", item, "fan" + f + " ApplyIndex call I4:4"});
    return calls;
}

std::wstring SystemText(HRESULT hr) {
    wchar_t* buffer = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = buffer ? buffer : L"";
    if (buffer) LocalFree(buffer);
    return text;
}

// The error text a window-thread call raised, or "(none)".
std::wstring ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const ToolError& e) {
        return e.Text();
    }
    return L"(none)";
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class FanClientTest : public test::BoardTest {
protected:
    std::string BoardText() const override {
        // The firmware's fan-curve device.
        return "item 0x040D007D value 0 desc \"FAN CURVE\" 0 0 0 1 3\n";
    }
    void SetUp() override {
        test::BoardTest::SetUp();
        ASSERT_TRUE(test::BindToolAcpiLibrary());
        // The window thread's apartment, as the push initialises it.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override { CoUninitialize(); }
};

class FanClientWithoutCurveDeviceTest : public FanClientTest {
protected:
    std::string BoardText() const override { return {}; }
};

TEST(DutyScales, BoxDutiesBecomeTheServiceSpeedsOfTheTable) {
    const int speeds[11] = {0, 25, 51, 76, 102, 127, 153, 178, 204, 229, 255};
    for (int duty = 0; duty <= 10; ++duty) EXPECT_EQ(BoxDutyToServiceSpeed(duty), speeds[duty]) << duty;
    // Past the box's scale: full speed, never a speed the chip's 8-bit registers would wrap.
    EXPECT_EQ(BoxDutyToServiceSpeed(11), 255);
    EXPECT_EQ(BoxDutyToServiceSpeed(255), 255);
    EXPECT_EQ(BoxDutyToServiceSpeed(-1), 0);
}

TEST(DutyScales, ServiceDutiesReadAsTheBoxDutiesOfTheTable) {
    // First service duty of each box duty 1 to 10.
    const uint32_t firsts[10] = {22, 48, 73, 99, 124, 150, 175, 201, 226, 252};
    int expected = 0;
    for (uint32_t d = 0; d <= 255; ++d) {
        if (expected < 10 && d == firsts[expected]) ++expected;
        EXPECT_EQ(ServiceDutyToBoxDuty(d), expected) << d;
    }
    for (int duty = 0; duty <= 10; ++duty) EXPECT_EQ(ServiceDutyToBoxDuty(BoxDutyToServiceSpeed(duty)), duty);
}

TEST_F(FanClientTest, ReadsCountNamesAndDutiesByNameWithTheirArgumentTypes) {
    FakeFanService service(ThreeFans());
    ASSERT_TRUE(service.Registered());
    EXPECT_EQ(FanSvc_GetFanCount(), 3);
    EXPECT_EQ(service.CallsOf(1), (Strings{"manager Controls get", "fans Count get"}));
    EXPECT_EQ(FanSvc_GetFanName(1), L"CHA_FAN1");
    EXPECT_EQ(service.CallsOf(2), (Strings{"manager Controls get", "fans Item get I4:1", "fan1 Name get"}));
    EXPECT_EQ(FanSvc_GetFanDuty(2), 10);  // 252
    EXPECT_EQ(service.CallsOf(3),
              (Strings{"manager Controls get", "fans Item get I4:2", "fan2 DutyCycle get"}));
    EXPECT_EQ(FanSvc_GetFanDuty(0), 0);  // 21
    EXPECT_EQ(FanSvc_GetFanDuty(1), 1);  // 22
    EXPECT_EQ(service.ManagersCreated(), 5);
}

TEST_F(FanClientTest, CountAndNamesAreKeptOnceKnownDutiesNever) {
    FakeFanService service({});
    EXPECT_EQ(FanSvc_GetFanCount(), 0);
    service.SetFanCount(2);
    EXPECT_EQ(FanSvc_GetFanCount(), 2);  // a count of 0 is asked again
    service.SetFanCount(3);
    EXPECT_EQ(FanSvc_GetFanCount(), 2);  // a positive one is kept
    EXPECT_EQ(service.ManagersCreated(), 2);

    FakeFan unnamed;
    service.SetFan(0, unnamed);
    EXPECT_EQ(FanSvc_GetFanName(0), L"");
    FakeFan named{L"CPU_FAN", 100};
    service.SetFan(0, named);
    EXPECT_EQ(FanSvc_GetFanName(0), L"CPU_FAN");  // an empty name is asked again
    named.name = L"RENAMED";
    service.SetFan(0, named);
    EXPECT_EQ(FanSvc_GetFanName(0), L"CPU_FAN");
    EXPECT_EQ(service.ManagersCreated(), 4);

    EXPECT_EQ(FanSvc_GetFanDuty(0), 4);
    named.duty = 255;
    service.SetFan(0, named);
    EXPECT_EQ(FanSvc_GetFanDuty(0), 10);
    EXPECT_EQ(service.ManagersCreated(), 6);
}

TEST_F(FanClientTest, WorkerWritesAFlatUserCurveThenSavesAndAppliesIt) {
    FakeFanService service(ThreeFans());
    EXPECT_EQ(RunWorker(1, 3), 0u);
    EXPECT_EQ(service.CallsOf(1), WorkerCalls(1, 76, true));
    EXPECT_EQ(service.Fan(1).userCurve, (std::vector<uint32_t>{76, 76, 76, 76}));
    EXPECT_EQ(service.Fan(1).appliedIndex, 4);
    EXPECT_EQ(service.Fan(0).userCurve, FakeFan{}.userCurve);
}

TEST_F(FanClientWithoutCurveDeviceTest, WorkerLeavesManualModeAloneWithoutTheFirmwareCurveDevice) {
    FakeFanService service(ThreeFans());
    EXPECT_EQ(RunWorker(2, 10), 0u);
    EXPECT_EQ(service.CallsOf(1), WorkerCalls(2, 255, false));
    EXPECT_EQ(service.Fan(2).userCurve, (std::vector<uint32_t>{255, 255, 255, 255}));
}

TEST_F(FanClientTest, EachAsyncChangeRunsItsOwnWorkerWithItsOwnPair) {
    FakeFanService service(ThreeFans());
    FanSvc_SetDutyAsync(0, 10);
    FanSvc_SetDutyAsync(2, 1);
    ASSERT_TRUE(
        WaitUntil([&] { return service.Fan(0).appliedIndex == 4 && service.Fan(2).appliedIndex == 4; }));
    EXPECT_EQ(service.Fan(0).userCurve, (std::vector<uint32_t>{255, 255, 255, 255}));
    EXPECT_EQ(service.Fan(2).userCurve, (std::vector<uint32_t>{25, 25, 25, 25}));
    EXPECT_EQ(service.Fan(1).appliedIndex, -1);
    ASSERT_EQ(service.ManagersCreated(), 2);
    // Each worker's manager saw one fan only; which worker came first is open.
    Strings first = service.CallsOf(1), second = service.CallsOf(2);
    if (first != WorkerCalls(0, 255, true)) std::swap(first, second);
    EXPECT_EQ(first, WorkerCalls(0, 255, true));
    EXPECT_EQ(second, WorkerCalls(2, 25, true));
}

TEST_F(FanClientTest, DutiesForwardedAtOnceForOneFanApplyInTheirOrderAndReplacedOnesNot) {
    FakeFanService service(ThreeFans());
    auto applies = [&service] {
        int n = 0;
        for (const test::FakeCall& c : service.Calls()) n += c.text == "fan1 ApplyIndex call I4:4";
        return n;
    };
    // The first duty's worker is held before it takes the user curve, while five more follow it.
    service.HoldMember("profile1/4 FanCurve");
    FanSvc_SetDutyAsync(1, 1);
    ASSERT_TRUE(service.WaitHeld(10000));
    for (int duty = 2; duty <= 6; ++duty) FanSvc_SetDutyAsync(1, duty);
    Sleep(1000);  // time enough for workers that did not wait their turn to be done
    service.ReleaseHeld();
    // The held duty goes on, then only the last one: the fan ends with the duty forwarded last.
    const std::vector<uint32_t> last(4, static_cast<uint32_t>(BoxDutyToServiceSpeed(6)));
    EXPECT_TRUE(WaitUntil([&] { return applies() == 2 && service.Fan(1).userCurve == last; }));
    Sleep(300);
    EXPECT_EQ(applies(), 2);
    EXPECT_EQ(service.Fan(1).userCurve, last);
    EXPECT_EQ(service.ManagersCreated(), 2);
}

// The end of the tool or of the session applies a duty forwarded just before it, however soon it
// comes, and drops one forwarded after it.
TEST_F(FanClientTest, TheEndAppliesTheDutiesForwardedBeforeItAndNoneAfter) {
    FakeFanService service(ThreeFans());
    FanSvc_SetDutyAsync(1, 3);
    EXPECT_TRUE(FanSvc_EndDutyWorkers(10000));
    EXPECT_EQ(service.Fan(1).userCurve, (std::vector<uint32_t>{76, 76, 76, 76}));
    EXPECT_EQ(service.Fan(1).appliedIndex, 4);
    FanSvc_SetDutyAsync(1, 5);
    EXPECT_EQ(FanSvc_GetFanDuty(1), 3);  // the service's own: no duty is on its way
}

TEST_F(FanClientTest, UnregisteredServiceRaisesTheSystemTextWithTheProgId) {
    // What a test killed while its override stood leaves: the ProgID at a class nobody registered.
    // The overrides take it for no registration, and leave none behind.
    const std::wstring progIdKey = L"QuilFanControlService.FanControlManager";
    ASSERT_EQ(RegSetValueW(HKEY_CLASSES_ROOT, (progIdKey + L"\\CLSID").c_str(), REG_SZ,
                           L"{5E0C7A52-91D4-4B3F-8C26-7F1A3D9B0E64}", 0),
              ERROR_SUCCESS);
    test::MessageBoxCapture boxes;
    {
        test::ProgIdOverride missing(nullptr);
        const std::wstring text = ErrorOf([] { FanSvc_GetFanCount(); });
        EXPECT_TRUE(EndsWith(text, kProgIdSuffix)) << text;
        EXPECT_GT(text.size(), kProgIdSuffix.size());
        EXPECT_EQ(text.find(L'\n'), std::wstring::npos);
        EXPECT_TRUE(EndsWith(ErrorOf([] { FanSvc_GetFanName(0); }), kProgIdSuffix));
        EXPECT_TRUE(EndsWith(ErrorOf([] { FanSvc_GetFanDuty(0); }), kProgIdSuffix));
        EXPECT_EQ(RunWorker(0, 5), 0u);  // swallowed
    }
    {
        // Registered, but nobody serves the class.
        test::ProgIdOverride unserved(L"{0D5E8F61-7A3B-4C29-8E14-2B6F9A0C3D47}");
        const std::wstring text = ErrorOf([] { FanSvc_GetFanCount(); });
        std::wstring system = SystemText(REGDB_E_CLASSNOTREG);
        while (!system.empty() && (system.back() <= L' ' || system.back() == L'.')) system.pop_back();
        // Where the system has no text for the failure, its code stands in.
        EXPECT_EQ(text, (system.empty() ? L"OLE error 80040154" : system) + kProgIdSuffix);
        EXPECT_EQ(RunWorker(0, 5), 0u);
    }
    EXPECT_EQ(boxes.Count(), 0u);
    tolo::RegKey left;
    EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, progIdKey.c_str(), 0, KEY_READ, left.Put()), ERROR_SUCCESS)
        << "the override a killed test left was put back";
}

TEST_F(FanClientTest, AFailingMemberRaisesItsErrorOnTheWindowThreadAndEndsAWorkerQuietly) {
    FakeFanService service(ThreeFans());
    service.FailMember("fans Count", L"Count refused by the test");
    EXPECT_EQ(ErrorOf([] { FanSvc_GetFanCount(); }), L"Count refused by the test");

    service.FailMember("curve Item", L"no points");
    EXPECT_EQ(RunWorker(1, 3), 0u);
    EXPECT_EQ(service.Fan(1).userCurve, FakeFan{}.userCurve);
    EXPECT_EQ(service.Fan(1).appliedIndex, -1);
    // A forwarded duty whose worker failed is on its way no more: the service's duty is read again.
    FanSvc_SetDutyAsync(1, 3);
    EXPECT_TRUE(WaitUntil([] { return FanSvc_GetFanDuty(1) == 1; }));  // 22

    service.FailMember("fan DutyCycle", L"");
    const std::wstring text = ErrorOf([] { FanSvc_GetFanDuty(1); });
    EXPECT_NE(text, L"(none)");
    EXPECT_FALSE(text.empty());
}

// A server that is ending as the tool asks for a manager refuses it; the tool asks again (COM
// then starts a new server), a few times, and only for the failures of such a server.
TEST_F(FanClientTest, AManagerRefusedByAServerOnItsWayOutIsAskedForAgain) {
    FakeFanService service(ThreeFans());
    service.FailCreations(2, E_FAIL);
    EXPECT_EQ(FanSvc_GetFanCount(), 3);
    EXPECT_EQ(service.ManagersCreated(), 1);

    service.FailCreations(1, HRESULT_FROM_WIN32(RPC_S_CALL_FAILED));
    EXPECT_EQ(RunWorker(1, 3), 0u);
    EXPECT_EQ(service.Fan(1).userCurve, (std::vector<uint32_t>{76, 76, 76, 76}))
        << "the knob's duty was lost";
    EXPECT_EQ(service.ManagersCreated(), 2);

    // Three refusals are the end: the error is raised.
    service.FailCreations(3, CO_E_SERVER_STOPPING);
    EXPECT_TRUE(EndsWith(ErrorOf([] { FanSvc_GetFanName(0); }), kProgIdSuffix));
    EXPECT_EQ(service.ManagersCreated(), 2);
    // Any other failure is raised at once; the next request is served.
    service.FailCreations(2, E_ACCESSDENIED);
    EXPECT_TRUE(EndsWith(ErrorOf([] { FanSvc_GetFanName(0); }), kProgIdSuffix));
    EXPECT_TRUE(EndsWith(ErrorOf([] { FanSvc_GetFanName(0); }), kProgIdSuffix));
    EXPECT_EQ(FanSvc_GetFanName(0), ThreeFans()[0].name);
    EXPECT_EQ(service.ManagersCreated(), 3);
}

TEST(BoxFanRoutes, NamesRouteToBoxFansByTheFirstMatchingRuleWhateverTheirCase) {
    EXPECT_EQ(BoxFansOfServiceFan(L"CPU_FAN"), (std::vector<int>{0, 1}));
    EXPECT_EQ(BoxFansOfServiceFan(L"Cha_Fan1"), (std::vector<int>{2}));
    EXPECT_EQ(BoxFansOfServiceFan(L"CHA_FAN2"), (std::vector<int>{3}));
    EXPECT_EQ(BoxFansOfServiceFan(L"cha3"), (std::vector<int>{4}));
    EXPECT_EQ(BoxFansOfServiceFan(L"CPU_CHA_FAN2"), (std::vector<int>{0, 1}));  // "cpu" comes first
    EXPECT_EQ(BoxFansOfServiceFan(L"CHA_FAN12"), (std::vector<int>{2}));
    EXPECT_TRUE(BoxFansOfServiceFan(L"SYS_FAN1").empty());
    EXPECT_TRUE(BoxFansOfServiceFan(L"CHA_FAN").empty());
}

class FanPushTest : public FanClientTest {
protected:
    std::string BoardText() const override {
        return "box \"\\\\?\\hid#vid_2f3a&pid_5c71#1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}\"\n";
    }
    void SetUp() override {
        FanClientTest::SetUp();
        sim::InstallSimulatedBox();
        // The form's box transport, as its constructor makes it.
        g_orbixBoxUsb = new TOrbixBoxUsb();
    }
    static TOrbixBoxUsb& Box() { return *g_orbixBoxUsb; }
    // (register, value) of every set the box took since a report.
    static std::vector<std::pair<int, int>> SetsSince(uint32_t seq) {
        std::vector<std::pair<int, int>> out;
        for (const sim::BoxReport& r : sim::BoxReports(seq))
            if (r.bytes[1] == 2) out.emplace_back(r.bytes[2], r.bytes[3]);
        return out;
    }
};

TEST_F(FanPushTest, TheServiceDutiesReachTheBoxDutyRegistersOfTheRoutedFans) {
    FakeFanService service({{L"CPU_FAN", 76},
                            {L"SYS_FAN", 200},
                            {L"Cha_Fan2", 150},
                            {L"CHA_FAN1", 255},
                            {L"CHA_FAN3", 22},
                            {L"PUMP", 100}});
    ASSERT_TRUE(Box().ConnectToBox());
    const uint32_t from = sim::NextBoxReportSeq();
    FanSvc_PushDutiesToBox();
    EXPECT_EQ(SetsSince(from),
              (std::vector<std::pair<int, int>>{{0x4A, 3}, {0x4B, 3}, {0x4D, 6}, {0x4C, 10}, {0x4E, 1}}));
    // The count, then for every fan its duty and then its name, matched or not.
    Strings reads;
    for (const test::FakeCall& c : service.Calls())
        if (c.text.find(" Item ") == std::string::npos && c.text.find("Controls") == std::string::npos)
            reads.push_back(c.text);
    Strings expected = {"fans Count get"};
    for (int i = 0; i < 6; ++i) {
        expected.push_back("fan" + std::to_string(i) + " DutyCycle get");
        expected.push_back("fan" + std::to_string(i) + " Name get");
    }
    EXPECT_EQ(reads, expected);
}

TEST_F(FanPushTest, WithoutTheServiceThePushRaisesAndSendsNothing) {
    test::ProgIdOverride missing(nullptr);
    ASSERT_TRUE(Box().ConnectToBox());
    const uint32_t from = sim::NextBoxReportSeq();
    EXPECT_TRUE(EndsWith(ErrorOf([] { FanSvc_PushDutiesToBox(); }), kProgIdSuffix));
    EXPECT_TRUE(SetsSince(from).empty());
}

}  // namespace
