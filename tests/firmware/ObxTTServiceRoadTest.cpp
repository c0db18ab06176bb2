// The whole road of the box's requests through the real programs: ObxTT.exe in firmware mode, the
// fan service that COM starts for it from its registration, the stand-in system-control service
// that posts the box's events, and a stand-in box-driver window in this process. What each event
// does is seen where it lands: the chip's registers, FanStore.xml beside the service, "BIOS fan
// patch", the audio library's state and the driver window's messages.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FirmwareSupport.h"
#include "LateBound.h"
#include "ServerFixture.h"
#include "board/FirmwareBox.h"
#include "boxtool/FanServiceClient.h"
#include "boxtool/FbAcpi.h"
#include "boxtool/QuilSysProcNotify.h"
#include "support/BoardTest.h"
#include "support/BoxDriverWindow.h"
#include "support/ChipLog.h"
#include "support/IteBoards.h"
#include "support/ProcessWindow.h"
#include "support/ServiceState.h"
#include "support/StartedProgram.h"
#include "system/Handles.h"

namespace {

// An IT8721 whose firmware declares the CPU fan and the first chassis fan: the CPU fan's channel
// under manual control at 128 of 255, the chassis fan's (the chip's third) on a flat curve at 51.
// The box is wired to the firmware, which answers audio mode 2 and the knob word "box fan 0 to
// duty 7".
const std::string kBoard = test::TwoFanIteBoard({"QX-H61 ROAD", "CHA FAN1"}) + R"(
hwm 0 0x13 0x07
hwm 0 0x15 0x00
hwm 0 0x64 128
hwm 0 0x72 0x7F 51
item 0x13060016 value 1 command
item 0x13060015 value 0
query-answer 0x13060015 0x86 0x0102
query-answer 0x13060015 0x91 0x0207
volume 0.5
)";

// IT8721 monitor registers of the two fans' channels.
constexpr uint8_t kCpuStartPwm = 0x63, kCpuPwmControl = 0x15, kChassisStartPwm = 0x73;

// Starting the service under Wine takes seconds, and the tool's start-up waits for it.
constexpr DWORD kServiceWaitMs = 60000;

class ObxTTServiceRoadTest : public test::RegisteredServiceTest {
protected:
    std::string BoardText() const override { return kBoard; }
    void SetUp() override {
        RegisteredServiceTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(driver_.Handle());
        ASSERT_NO_FATAL_FAILURE(run_.Start(kServiceWaitMs));
        toolId_ = run_.ToolId();
        form_ = run_.Form();
    }
    void TearDown() override {
        run_.Stop();
        RegisteredServiceTest::TearDown();
    }

    std::vector<int> Switch() const { return run_.Switch(); }
    std::vector<int> Commands() const { return run_.Commands(); }
    // The item sets since seq but for the ratio words, which the tool's 5-second timer sends
    // whenever it likes.
    static std::vector<test::ItemSet> SetsBesidesRatio(uint32_t seq) {
        std::vector<test::ItemSet> out;
        for (const test::ItemSet& s : test::ItemSets(seq)) {
            const int command = s.first >> 8;
            const bool ratio =
                s.item == kFbAcpiCommandItem && s.second == 1 && command >= 0x0B && command <= 0x0D;
            if (!ratio) out.push_back(s);
        }
        return out;
    }

    test::BoxDriverKey driverKey_{test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver"};
    test::BoxDriverWindow driver_{test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver"};
    const std::wstring store_ = test::FanStorePath();
    test::FirmwareToolRun run_;
    DWORD toolId_ = 0;
    HWND form_ = nullptr;
};

TEST_F(ObxTTServiceRoadTest, TheBoxEventsReachTheServiceTheChipTheAudioAndTheDriver) {
    // Start-up: the channel is switched on; time, the service's duties as the box shows them (the
    // CPU fan on both CPU fans of the box, the chassis fan on the box's first chassis fan) and the
    // volume follow, then the mailslot is registered.
    EXPECT_EQ(Switch(), std::vector<int>{0xAA});
    const std::vector<int> start = Commands();
    ASSERT_GE(start.size(), 7u);
    EXPECT_EQ(start[0] >> 8, 0x08);
    EXPECT_EQ(start[1] >> 8, 0x09);
    EXPECT_EQ(start[2] >> 8, 0x0A);
    EXPECT_EQ(ServiceDutyToBoxDuty(128), 5);
    EXPECT_EQ(ServiceDutyToBoxDuty(51), 2);
    EXPECT_EQ(std::vector<int>(start.begin() + 3, start.begin() + 7),
              (std::vector<int>{0x0205, 0x0305, 0x0402, 0x0132}));
    const auto requests = sim::SysCtlRequests(toolId_);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kRegisterMailslot);
    EXPECT_EQ(requests[0].name, L"TfrmObxTestMain");

    // An unknown event does nothing; the boss key after it mutes the master volume, and neither
    // touches an item or the chip.
    const uint32_t beforeBoss = sim::NextWriteSeq();
    const uint32_t muteCalls = sim::State()->audio.setMuteCalls;
    const uint32_t posted = sim::State()->fwbox.messagesPosted;
    ASSERT_EQ(sim::State()->audio.mute, 0u);
    sim::QueueSysCtlEvent(0xA0020099);
    sim::QueueSysCtlEvent(kEventMama);
    ASSERT_TRUE(test::WaitFor([muteCalls] { return sim::State()->audio.setMuteCalls > muteCalls; }));
    EXPECT_EQ(sim::State()->fwbox.messagesPosted, posted + 2);  // the unknown event was delivered
    EXPECT_EQ(sim::State()->audio.mute, 1u);
    EXPECT_EQ(sim::State()->audio.setMuteCalls, muteCalls + 1);
    EXPECT_EQ(SetsBesidesRatio(beforeBoss), std::vector<test::ItemSet>{});
    EXPECT_EQ(test::Describe(test::MonitorWrites(beforeBoss)), test::Describe({}));

    // The knob: the tool asks for the knob word and sets box fan 0, which is the service's CPU fan,
    // to box duty 7. The service keeps the flat user curve in its settings file, runs it in the CPU
    // fan's SmartGuardian block under the Super I/O lock and sets "BIOS fan patch".
    const int speed = BoxDutyToServiceSpeed(7);
    const std::string speedText = "<y>" + std::to_string(speed) + "</y>";
    const uint32_t beforeKnob = sim::NextWriteSeq();
    sim::QueueSysCtlEvent(kEventKnob);
    std::string stored;
    DWORD patch = 0;
    EXPECT_TRUE(test::WaitFor(
        [&] {
            stored = test::ReadTextFile(store_);
            return test::CountOf(stored, speedText) >= 2 && test::ReadPatchValue(&patch) && patch == 1;
        },
        kServiceWaitMs));
    // (20, s), (70, s) and the IT8721's full-speed end (70, 255).
    EXPECT_EQ(test::CountOf(stored, speedText), 2u) << stored;
    EXPECT_EQ(test::CountOf(stored, "<y>255</y>"), 1u) << stored;
    EXPECT_EQ(test::CountOf(stored, "<curvedata>"), 1u) << stored;
    EXPECT_EQ(sim::MonitorRead(0, kCpuStartPwm), speed);
    EXPECT_NE(sim::MonitorRead(0, kCpuPwmControl) & 0x80, 0) << "the CPU fan left manual control";
    EXPECT_FALSE(test::MonitorWrites(beforeKnob).empty());
    EXPECT_EQ(test::UnlockedMonitorWrites(beforeKnob), "");
    EXPECT_EQ(sim::MonitorRead(0, kChassisStartPwm), 51) << "the chassis fan kept its curve";
    // The tool asked for the knob word; the service recorded the user profile in the CPU fan's mode
    // item and its sub-item.
    EXPECT_EQ(SetsBesidesRatio(beforeKnob),
              (std::vector<test::ItemSet>{
                  {kFbAcpiCommandItem, kFbAcpiQueryKnob, 0}, {0x04070010, 1, 1}, {0x04080011, 3, 1}}));

    // A knob byte past the box's scale (11) runs the fan at full speed, not at the wrapped low duty
    // that a speed past 255 would leave in the chip's 8-bit registers.
    const uint32_t beforeOver = sim::NextWriteSeq();
    sim::SetQueryAnswer(kFbAcpiCommandItem, kFbAcpiQueryKnob, 0x020B);
    sim::QueueSysCtlEvent(kEventKnob);
    // Done when the service has recorded the profile, its last step.
    const std::vector<test::ItemSet> overSets = {
        {kFbAcpiCommandItem, kFbAcpiQueryKnob, 0}, {0x04070010, 1, 1}, {0x04080011, 3, 1}};
    test::WaitFor([&] { return SetsBesidesRatio(beforeOver) == overSets; }, kServiceWaitMs);
    EXPECT_EQ(SetsBesidesRatio(beforeOver), overSets);
    stored = test::ReadTextFile(store_);
    EXPECT_EQ(test::CountOf(stored, "<y>255</y>"), 3u) << stored;
    EXPECT_EQ(sim::MonitorRead(0, kCpuStartPwm), 255);

    // The audio mode: the tool asks for it and posts its low byte to the driver's window here.
    const uint32_t beforeAudio = sim::NextWriteSeq();
    sim::QueueSysCtlEvent(kEventAudio);
    ASSERT_TRUE(driver_.WaitForMessages(1));
    EXPECT_EQ(driver_.Messages(), (std::vector<test::DriverMessage>{{0x935, 2}}));
    EXPECT_EQ(SetsBesidesRatio(beforeAudio),
              (std::vector<test::ItemSet>{{kFbAcpiCommandItem, kFbAcpiQueryAudioMode, 0}}));

    // Closing switches the channel off and unregisters; with its last client gone the service ends.
    // The tool is closed as one more knob turn comes: a worker that was to set its duty ends
    // before the tool does, or does not start (one ended half way would hold its manager for good).
    const uint32_t beforeClose = sim::NextWriteSeq();
    sim::SetQueryAnswer(kFbAcpiCommandItem, kFbAcpiQueryKnob, 0x0203);
    sim::QueueSysCtlEvent(kEventKnob);
    ASSERT_TRUE(test::WaitFor([&] { return !SetsBesidesRatio(beforeClose).empty(); }));  // the knob word
    PostMessageW(form_, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(run_.ToolProcess(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(Switch(), (std::vector<int>{0xAA, 0}));
    EXPECT_EQ(sim::SysCtlRequests(toolId_).back().code, kUnregisterMailslot);
    EXPECT_TRUE(test::WaitUntilNoProcessNamed(test::kServiceExe, 20000))
        << "the tool's reference outlived it";
}

// A log-off right after a knob turn: the system sends the end-session pair and ends the process
// once the second one has returned. The knob's duty has reached the service, the chip and the
// settings file by then, and no reference of the tool is left to keep the server running.
TEST_F(ObxTTServiceRoadTest, AKnobTurnedAsTheSessionEndsReachesTheFanBeforeTheToolIsEnded) {
    tolo::ComPtr<IDispatch> manager;  // keeps the server that the tool's start-up started running
    ASSERT_EQ(S_OK, test::CreateManager(manager.Put()));
    const int speed = BoxDutyToServiceSpeed(3);
    const uint32_t beforeKnob = sim::NextWriteSeq();
    sim::SetQueryAnswer(kFbAcpiCommandItem, kFbAcpiQueryKnob, 0x0203);
    sim::QueueSysCtlEvent(kEventKnob);
    ASSERT_TRUE(test::WaitFor([&] { return !SetsBesidesRatio(beforeKnob).empty(); }));  // the knob word
    DWORD_PTR answer = 0;
    ASSERT_NE(
        0, SendMessageTimeoutW(form_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 30000, &answer));
    EXPECT_NE(answer, 0u);
    ASSERT_NE(
        0, SendMessageTimeoutW(form_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 30000, &answer));
    TerminateProcess(run_.ToolProcess(), 0);
    ASSERT_EQ(WaitForSingleObject(run_.ToolProcess(), 30000), WAIT_OBJECT_0);

    EXPECT_EQ(sim::MonitorRead(0, kCpuStartPwm), speed);
    const std::string stored = test::ReadTextFile(store_);
    EXPECT_EQ(test::CountOf(stored, "<y>" + std::to_string(speed) + "</y>"), 2u) << stored;
    VARIANT fans, fan, duty;
    ASSERT_EQ(S_OK, test::Get(manager.Get(), L"Controls", &fans));
    ASSERT_EQ(S_OK, test::Get(fans.pdispVal, L"Item", &fan, {test::I4(0)}));
    ASSERT_EQ(S_OK, test::Get(fan.pdispVal, L"DutyCycle", &duty));
    ASSERT_EQ(S_OK, VariantChangeType(&duty, &duty, 0, VT_UI4));
    EXPECT_EQ(ServiceDutyToBoxDuty(duty.ulVal), 3);
    VariantClear(&fan);
    VariantClear(&fans);
    manager.Reset();
    EXPECT_TRUE(test::WaitUntilNoProcessNamed(test::kServiceExe, 20000))
        << "the tool's reference outlived it";
}

}  // namespace
