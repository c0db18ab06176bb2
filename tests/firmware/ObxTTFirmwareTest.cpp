// The real ObxTT.exe in firmware mode: the box is wired to the firmware, the stand-in
// system-control service posts the box's events, and the fan service is the fan-service client
// tests' own server in this process.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FirmwareSupport.h"
#include "board/FirmwareBox.h"
#include "boxtool/FanServiceClient.h"
#include "boxtool/FbAcpi.h"
#include "boxtool/QuilSysProcNotify.h"
#include "support/BoardTest.h"
#include "support/FakeFanService.h"
#include "support/ProcessWindow.h"
#include "support/StartedProgram.h"
#include "system/Handles.h"

namespace {

class ObxTTFirmwareTest : public test::BoardTest {
protected:
    std::string BoardText() const override {
        return "item 0x13060016 value 1 command\n"
               "item 0x13060015 value 0\n"
               "volume 0.5\n";
    }
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_TRUE(fans_.Registered());
        ASSERT_NO_FATAL_FAILURE(run_.Start());
        toolId_ = run_.ToolId();
        form_ = run_.Form();
    }
    void TearDown() override {
        run_.Stop();
        BoardTest::TearDown();
    }
    std::vector<int> Switch() const { return run_.Switch(); }
    std::vector<int> Commands() const { return run_.Commands(); }
    size_t RatioWords() const {
        const auto words = Commands();
        return std::count_if(words.begin(), words.end(), [](int w) { return (w >> 8) == 0x0B; });
    }

    test::FakeFanService fans_{{{L"CPU_FAN", 128}, {L"CHA_FAN1", 51}}};
    test::FirmwareToolRun run_;
    DWORD toolId_ = 0;
    HWND form_ = nullptr;
};

TEST_F(ObxTTFirmwareTest, StartUpRatioTimerKnobPowerAndClose) {
    EXPECT_EQ(Switch(), std::vector<int>{0xAA});
    // The first ratio follows the registration, so it may still be on its way.
    ASSERT_TRUE(test::WaitFor([this] { return Commands().size() >= 10; }));
    const std::vector<int> start = Commands();
    ASSERT_GE(start.size(), 10u);
    EXPECT_EQ(start[0] >> 8, 0x08);
    EXPECT_EQ(start[1] >> 8, 0x09);
    EXPECT_EQ(start[2] >> 8, 0x0A);
    EXPECT_EQ(std::vector<int>(start.begin() + 3, start.begin() + 7),
              (std::vector<int>{0x0205, 0x0305, 0x0402, 0x0132}));
    EXPECT_EQ(sim::SysCtlRequests(toolId_)[0].name, L"TfrmObxTestMain");

    // The ratio goes out again with the 5-second timer.
    ASSERT_TRUE(test::WaitFor([this] { return RatioWords() >= 2; }));

    // An unknown event does nothing; the knob after it sets service fan 0 to box duty 7.
    sim::SetQueryAnswer(kFbAcpiCommandItem, kFbAcpiQueryKnob, 0x0207);
    const uint32_t beforeEvents = sim::NextWriteSeq();
    sim::QueueSysCtlEvent(0xA0020099);
    sim::QueueSysCtlEvent(kEventKnob);
    const uint32_t speed = static_cast<uint32_t>(BoxDutyToServiceSpeed(7));
    EXPECT_TRUE(test::WaitFor([&] {
        const test::FakeFan f = fans_.Fan(0);
        return f.appliedIndex == 4 && std::all_of(f.userCurve.begin(), f.userCurve.end(),
                                                  [speed](uint32_t s) { return s == speed; });
    }));
    std::vector<test::ItemSet> queries;
    for (const test::ItemSet& s : test::ItemSets(beforeEvents))
        if (s.second != 1) queries.push_back(s);
    EXPECT_EQ(queries, (std::vector<test::ItemSet>{{kFbAcpiCommandItem, kFbAcpiQueryKnob, 0}}));

    SendMessageW(form_, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    SendMessageW(form_, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(Switch(), (std::vector<int>{0xAA, 0, 0xAA}));

    // Closing disables the channel; the notifier unregisters as the message loop ends, and the
    // exit's stop names nothing.
    PostMessageW(form_, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(run_.ToolProcess(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(Switch(), (std::vector<int>{0xAA, 0, 0xAA, 0}));
    const auto requests = sim::SysCtlRequests(toolId_);
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[requests.size() - 2].code, kUnregisterMailslot);
    EXPECT_EQ(requests[requests.size() - 2].name, L"TfrmObxTestMain");
    EXPECT_TRUE(requests.back().nameZero);
    EXPECT_TRUE(sim::SysCtlSlots().empty());
}

// A tool closed while the service does not answer its worker finishes the worker after its window
// is gone; a tool started meanwhile runs, and the first touches neither the channel nor the
// second one's registration any more.
TEST_F(ObxTTFirmwareTest, AToolStartedWhileTheClosedOneWaitsForItsWorkerRuns) {
    fans_.HoldMember("profile0/4 FanCurve");
    sim::SetQueryAnswer(kFbAcpiCommandItem, kFbAcpiQueryKnob, 0x0207);
    sim::QueueSysCtlEvent(kEventKnob);
    ASSERT_TRUE(fans_.WaitHeld(10000));
    PostMessageW(form_, WM_CLOSE, 0, 0);
    // The instance guard goes with the message loop.
    EXPECT_TRUE(test::WaitFor(
        [] { return !tolo::UniqueHandle(OpenMutexW(SYNCHRONIZE, FALSE, L"ORBIX_BOX_TT_3835")); }, 5000));

    test::StartedProgram second(test::StartedProgram::Beside(L"ObxTT.exe"));
    ASSERT_TRUE(second.Started());
    ASSERT_EQ(WaitForSingleObject(run_.ToolProcess(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the first tool was to wait for its worker";
    HWND form = test::FindProcessWindow(second.Id(), L"TfrmObxTestMain", 30000);
    ASSERT_NE(form, nullptr) << "exit code " << second.WaitForExit(0);
    ASSERT_TRUE(test::WaitFor([&] { return !sim::SysCtlRequests(second.Id()).empty(); }));
    fans_.ReleaseHeld();
    ASSERT_EQ(WaitForSingleObject(run_.ToolProcess(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(fans_.Fan(0).userCurve, std::vector<uint32_t>(4, BoxDutyToServiceSpeed(7)));

    EXPECT_TRUE(second.Running());
    EXPECT_EQ(Switch(), (std::vector<int>{0xAA, 0, 0xAA}));
    EXPECT_EQ(sim::SysCtlSlots(), std::vector<std::wstring>{L"TfrmObxTestMain"});  // the box's events
    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(second.WaitForExit(30000), 0u);
}

}  // namespace
