// The tool's form in firmware mode, hosted in this process: what its start-up sends through the
// firmware box channel, what the box's events do when the stand-in system-control service posts
// them, and the switch on suspend, resume and close.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FirmwareSupport.h"
#include "board/FirmwareBox.h"
#include "box/SimBox.h"
#include "boxtool/FanServiceClient.h"
#include "boxtool/FbAcpi.h"
#include "boxtool/QuilSysProcNotify.h"
#include "boxtool/TfrmObxTestMain.h"
#include "cpu/FakeMachine.h"
#include "support/BoardTest.h"
#include "support/BoxDriverWindow.h"
#include "support/Capture.h"
#include "support/FakeFanService.h"

namespace {

using test::FakeFan;

// The current ratio 40 (0x28), then the bus clock's 980 tenths (0x03D4) low byte first.
const std::vector<int> kRatioWords = {0x0B28, 0x0CD4, 0x0D03};

class FirmwareModeTest : public test::BoardTest {
protected:
    std::string BoardText() const override {
        return "item 0x13060016 value 1 command\n"
               "item 0x13060015 value 0\n"
               "query-answer 0x13060015 0x86 0x0102\n"
               "volume 0.75\n";
    }
    void SetUp() override {
        BoardTest::SetUp();
        sim::InstallSimulatedBox();  // no box: firmware mode
        service_ = std::make_unique<test::SysCtlService>();
        ASSERT_TRUE(service_->Serving());
        ASSERT_TRUE(fans_.Registered());
        test::InstallKnownIntel();  // ratio 40, bus clock 980 tenths (0x03D4)
    }
    void TearDown() override {
        // The program's form outlives the listener; here the listener may still be acting on the
        // last event with the form: end it before the form goes.
        g_quilSysProcNotify.Stop();
        form_.reset();
        BoardTest::TearDown();
    }
    TfrmObxTestMain& Create() {
        Application.MainFormOnTaskBar = false;
        form_.reset(new TfrmObxTestMain(nullptr));
        Application.Dispatch(form_.get(), &TfrmObxTestMain::FormCreate, form_.get());
        return *form_;
    }
    // Posts a knob word as the firmware reports it, and waits until the tool has asked for it: the
    // next knob's answer must not replace this one before the tool reads it.
    void Knob(int word) {
        const size_t asked = KnobQueries();
        sim::SetQueryAnswer(kFbAcpiCommandItem, kFbAcpiQueryKnob, word);
        Post(kEventKnob);
        ASSERT_TRUE(test::WaitFor([&] { return KnobQueries() > asked; }));
    }
    static size_t KnobQueries() {
        const std::vector<test::ItemSet> sets = test::ItemSets();
        return static_cast<size_t>(
            std::count(sets.begin(), sets.end(), test::ItemSet{kFbAcpiCommandItem, kFbAcpiQueryKnob, 0}));
    }
    // Posts an event and waits until the service has delivered it.
    void Post(uint32_t code) {
        // Counted before the event is queued: the service may deliver it at once.
        const uint32_t posted = sim::State()->fwbox.messagesPosted;
        sim::QueueSysCtlEvent(code);
        ASSERT_TRUE(test::WaitFor([posted] { return sim::State()->fwbox.messagesPosted > posted; }));
    }
    // Until the knob's duty worker has applied the user profile on a service fan.
    bool DutyApplied(int fan, int duty) {
        const uint32_t speed = static_cast<uint32_t>(BoxDutyToServiceSpeed(duty));
        return test::WaitFor([&] {
            const FakeFan f = fans_.Fan(fan);
            return f.appliedIndex == 4 && std::all_of(f.userCurve.begin(), f.userCurve.end(),
                                                      [speed](uint32_t s) { return s == speed; });
        });
    }

    // Service duties 0..255 and what the box shows for them: 128 -> 5, 51 -> 2, 255 -> 10, 0 -> 0.
    test::FakeFanService fans_{
        {{L"CPU_FAN", 128}, {L"CHA_FAN1", 51}, {L"Cha_Fan2", 255}, {L"CHA_FAN3", 0}, {L"W_PUMP", 200}}};
    std::unique_ptr<test::SysCtlService> service_;
    std::unique_ptr<TfrmObxTestMain> form_;
};

TEST_F(FirmwareModeTest, StartUpEnablesTheChannelSendsTimeDutiesVolumeAndRatioAndRegisters) {
    const uint32_t from = sim::NextWriteSeq();
    TfrmObxTestMain& form = Create();
    EXPECT_EQ(test::WordsTo(kFbAcpiSwitchItem, from), std::vector<int>{0xAA});
    const std::vector<int> words = test::WordsTo(kFbAcpiCommandItem, from);
    ASSERT_EQ(words.size(), 12u);
    EXPECT_EQ(words[0] >> 8, 0x08);  // hour, minute, second
    EXPECT_EQ(words[1] >> 8, 0x09);
    EXPECT_EQ(words[2] >> 8, 0x0A);
    // The CPU fan on both CPU fans of the box, the chassis fans by number, the pump on none.
    EXPECT_EQ(std::vector<int>(words.begin() + 3, words.begin() + 8),
              (std::vector<int>{0x0205, 0x0305, 0x0402, 0x050A, 0x0600}));
    EXPECT_EQ(words[8], 0x014B);  // 75 percent
    EXPECT_EQ(std::vector<int>(words.begin() + 9, words.end()), kRatioWords);

    const auto requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kRegisterMailslot);
    EXPECT_EQ(requests[0].name, L"TfrmObxTestMain");
    EXPECT_TRUE(form.tmrSetToBox.Enabled());
    EXPECT_TRUE(form.tmrSetToBox.OnTimer() == &TfrmObxTestMain::FbAcpi_SendCpuRatio);
}

TEST_F(FirmwareModeTest, RatioTimerSendsTheRatioAndBusClockWords) {
    TfrmObxTestMain& form = Create();
    const uint32_t from = sim::NextWriteSeq();
    form.tmrSetToBox.Tick();
    const std::vector<int> words = test::WordsTo(kFbAcpiCommandItem, from);
    EXPECT_EQ(words, kRatioWords);
}

TEST_F(FirmwareModeTest, KnobSetsServiceFanDutiesThroughTheService) {
    Create();
    Knob(0x0207);  // box fan 0: service fan 0
    EXPECT_TRUE(DutyApplied(0, 7));
    Knob(0x0303);  // box fan 1: service fan 0 as well
    EXPECT_TRUE(DutyApplied(0, 3));
    Knob(0x0609);  // box fan 4: service fan 3
    EXPECT_TRUE(DutyApplied(3, 9));
    EXPECT_EQ(fans_.Fan(1).appliedIndex, -1);
    EXPECT_EQ(fans_.Fan(2).appliedIndex, -1);
}

TEST_F(FirmwareModeTest, KnobSetsTheMasterVolumeOnceForTheSamePercent) {
    Create();
    test::TraceCapture traces;
    const uint32_t calls = sim::State()->audio.setVolumeCalls;
    Knob(0x0132);
    ASSERT_TRUE(test::WaitFor([calls] { return sim::State()->audio.setVolumeCalls == calls + 1; }));
    EXPECT_FLOAT_EQ(sim::State()->audio.volume, 0.5f);
    EXPECT_TRUE(test::WaitFor([] { return sim::State()->audio.setMuteCalls > 0; }));
    EXPECT_EQ(sim::State()->audio.mute, 0u);
    EXPECT_EQ(form_->boxCache.volume, 50);
    Knob(0x0132);
    Post(kEventMama);  // handled after the knob: the knob is done when its trace is there
    ASSERT_TRUE(test::WaitFor([&] { return traces.Contains(L"OBXEX Event Mama"); }));
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, calls + 1);
    EXPECT_TRUE(traces.Contains(L"OBXEX Ctrl: 256, Value: 306"));
}

TEST_F(FirmwareModeTest, EveryKnobPercentIsWhatTheStartUpPushSendsBack) {
    TfrmObxTestMain& form = Create();  // the system's 75 on the box
    // 0 first: the start-up push recorded the 75 it sent, so 0 is a change.
    for (int percent : {0, 20, 53, 99, 101}) {
        SCOPED_TRACE(percent);
        const uint32_t calls = sim::State()->audio.setVolumeCalls;
        Knob(0x0100 | percent);
        ASSERT_TRUE(test::WaitFor([calls] { return sim::State()->audio.setVolumeCalls == calls + 1; }));
        const int shown = std::min(percent, 100);  // past the knob's scale counts as its end
        EXPECT_EQ(form.boxCache.volume, shown);
        const uint32_t from = sim::NextWriteSeq();
        form.FbAcpi_PushVolume();
        EXPECT_EQ(test::WordsTo(kFbAcpiCommandItem, from), std::vector<int>{0x0100 | shown});
    }
}

TEST_F(FirmwareModeTest, AServiceStartedAfterTheToolTakesTheRegistrationAtTheNextPush) {
    service_.reset();
    test::TraceCapture traces;
    TfrmObxTestMain& form = Create();
    EXPECT_TRUE(traces.Contains(L"[BasicNamedPipe<char_t>::Call] failed, GetLastError returned " +
                                std::to_wstring(ERROR_FILE_NOT_FOUND)));
    form.tmrSetToBox.Tick();  // asked again, in vain
    service_ = std::make_unique<test::SysCtlService>();
    ASSERT_TRUE(service_->Serving());
    EXPECT_TRUE(sim::SysCtlRequests(GetCurrentProcessId()).empty());

    form.tmrSetToBox.Tick();
    form.tmrSetToBox.Tick();  // registered: not asked again
    const auto requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kRegisterMailslot);
    EXPECT_EQ(requests[0].name, L"TfrmObxTestMain");
    const auto lines = traces.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"OBXEX Mailslot registered: TfrmObxTestMain"), 1);
    // The box's events reach the tool from now on.
    Knob(0x0207);
    EXPECT_TRUE(DutyApplied(0, 7));
}

TEST_F(FirmwareModeTest, KnobWordsOfOtherControlsOnlyTrace) {
    Create();
    test::TraceCapture traces;
    const uint32_t calls = sim::State()->audio.setVolumeCalls;
    const int managers = fans_.ManagersCreated();
    Knob(0x0705);
    Knob(0x0005);
    Post(kEventMama);
    ASSERT_TRUE(test::WaitFor([&] { return traces.Contains(L"OBXEX Event Mama"); }));
    EXPECT_TRUE(traces.Contains(L"OBXEX Ctrl: 1792, Value: 1797"));
    EXPECT_TRUE(traces.Contains(L"OBXEX Ctrl: 0, Value: 5"));
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, calls);
    EXPECT_EQ(fans_.ManagersCreated(), managers);
}

TEST_F(FirmwareModeTest, AudioEventQueriesTheModeAndOtherCodesAreIgnored) {
    Create();
    test::TraceCapture traces;
    const uint32_t from = sim::NextWriteSeq();
    Post(0xA0020099);
    Post(kEventAudio);
    ASSERT_TRUE(test::WaitFor([&] { return traces.Contains(L"OBXEX Event Audio"); }));
    // The unknown code left neither a trace nor a query.
    EXPECT_EQ(traces.Lines().front(), L"OBXEX Event Audio");
    // The query follows the trace.
    EXPECT_TRUE(test::WaitFor([&] { return !test::ItemSets(from).empty(); }));
    EXPECT_EQ(test::ItemSets(from),
              (std::vector<test::ItemSet>{{kFbAcpiCommandItem, kFbAcpiQueryAudioMode, 0}}));
}

TEST_F(FirmwareModeTest, AnAudioEventPostsTheQueriedModeToTheDriverWindows) {
    test::BoxDriverKey key(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    test::BoxDriverWindow driver(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    TfrmObxTestMain& form = Create();
    Post(kEventAudio);
    ASSERT_TRUE(driver.WaitForMessages(1));
    EXPECT_EQ(driver.Messages(), (std::vector<test::DriverMessage>{{0x935, 2}}));  // low byte of 0x0102
    EXPECT_EQ(form.boxCache.audioMode, 2);
    Post(kEventAudio);  // told every time, the same mode or not
    ASSERT_TRUE(driver.WaitForMessages(2));
    EXPECT_EQ(driver.Messages().back(), (test::DriverMessage{0x935, 2}));
}

// The listener held inside its search for the driver's windows until the form has begun to stop
// the notifier; it then asks the form for its caption by message, as a program the listener waits
// on may: the form answers while it waits for the listener.
HWND g_holdAt = nullptr;
HWND g_form = nullptr;
HANDLE g_held = nullptr;
std::atomic<DWORD> g_listener{0};
std::wstring g_formAnswer;
void HoldUntilTheStop(HWND window) {
    if (window != g_holdAt) return;
    g_listener = GetCurrentThreadId();
    SetEvent(g_held);
    test::WaitFor([] {
        const auto requests = sim::SysCtlRequests(GetCurrentProcessId());
        return !requests.empty() && requests.back().code == kUnregisterMailslot;
    });
    wchar_t caption[64] = {};
    SendMessageW(g_form, WM_GETTEXT, std::size(caption), reinterpret_cast<LPARAM>(caption));
    g_formAnswer = caption;
}

TEST_F(FirmwareModeTest, ThePushStopsTheNotifierWhileTheListenerSearchesForTheDriverWindows) {
    test::BoxDriverKey key(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    TfrmObxTestMain& form = Create();
    test::BoxDriverWindow driver(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    tolo::UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_holdAt = driver.Handle();
    g_form = form.Handle();
    g_held = held.Get();
    g_windowSearchProbe = &HoldUntilTheStop;
    Post(kEventAudio);
    ASSERT_EQ(WaitForSingleObject(held.Get(), 10000), WAIT_OBJECT_0);

    // A stop that waits on the listener without answering the form's messages would never end: a
    // watchdog ends the listener then, so that the hang shows as a failure.
    tolo::UniqueHandle stopped(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    bool hung = false;
    std::thread watchdog([&] {
        if (WaitForSingleObject(stopped.Get(), 20000) != WAIT_TIMEOUT) return;
        hung = true;
        tolo::UniqueHandle listener(OpenThread(THREAD_TERMINATE, FALSE, g_listener));
        TerminateThread(listener.Get(), 1);
    });
    form.Box_SetSensors();  // the push's sensor step stops the notifier
    SetEvent(stopped.Get());
    watchdog.join();
    g_windowSearchProbe = nullptr;
    EXPECT_FALSE(hung);
    EXPECT_EQ(g_formAnswer, kFormCaption);
    // The search went on and told the driver's window before the listener ended.
    ASSERT_TRUE(driver.WaitForMessages(1));
    EXPECT_EQ(driver.Messages(), (std::vector<test::DriverMessage>{{0x935, 2}}));
    EXPECT_TRUE(sim::SysCtlSlots().empty());
}

TEST_F(FirmwareModeTest, EventMamaRunsTheBossKey) {
    test::InputCapture inputs;
    Create();
    test::TraceCapture traces;
    Post(kEventMama);
    Knob(0x0005);  // handled after the boss key, and only traced
    ASSERT_TRUE(test::WaitFor([&] { return traces.Contains(L"OBXEX Ctrl: 0, Value: 5"); }));
    const std::vector<test::KeyInput> altTab = {{0xA4, false}, {0x09, false}, {0x09, true}, {0xA4, true}};
    const std::vector<test::KeyInput> winD = {{0x5B, false}, {0x44, false}, {0x44, true}, {0x5B, true}};
    EXPECT_EQ(inputs.Calls(), (std::vector<std::vector<test::KeyInput>>{altTab, winD}));
    EXPECT_EQ(sim::State()->audio.mute, 1u);
    EXPECT_EQ(sim::State()->audio.setMuteCalls, 1u);
}

TEST_F(FirmwareModeTest, SuspendDisablesResumeEnablesAndCloseDisablesTheChannel) {
    TfrmObxTestMain& form = Create();
    const uint32_t from = sim::NextWriteSeq();
    SendMessageW(form.Handle(), WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    SendMessageW(form.Handle(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    TCloseAction action = caFree;
    form.FormClose(&form, action);
    EXPECT_EQ(test::WordsTo(kFbAcpiSwitchItem, from), (std::vector<int>{0, 0xAA, 0}));
    // A resume sends neither time, duties nor volume again.
    EXPECT_TRUE(test::WordsTo(kFbAcpiCommandItem, from).empty());
}

TEST_F(FirmwareModeTest, TheSessionsEndDisablesTheChannelAndUnregistersAsClosingDoes) {
    TfrmObxTestMain& form = Create();
    const uint32_t from = sim::NextWriteSeq();
    // A knob turned just before, whose worker the service does not answer: the end waits for it
    // no longer than the system lets a program hold up the session's end (5 s).
    fans_.HoldMember("profile0/4 FanCurve");
    Knob(0x0204);
    ASSERT_TRUE(fans_.WaitHeld(10000));
    EXPECT_NE(SendMessageW(form.Handle(), WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), 0);
    const ULONGLONG start = GetTickCount64();
    SendMessageW(form.Handle(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    EXPECT_LT(GetTickCount64() - start, 5000u);
    fans_.ReleaseHeld();
    EXPECT_TRUE(DutyApplied(0, 4));  // the process lived on here
    EXPECT_EQ(test::WordsTo(kFbAcpiSwitchItem, from), std::vector<int>{0});
    const auto requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].code, kUnregisterMailslot);
    EXPECT_EQ(requests[1].name, L"TfrmObxTestMain");
    EXPECT_TRUE(sim::SysCtlSlots().empty());
    EXPECT_FALSE(form.tmrSetToBox.Enabled());
}

}  // namespace
