// The box bridge cycles of the tool's form, hosted in this process over the simulated box: what one
// push leaves on the box, what a pull does with each change the user makes on the box (and what
// the priming pull after a connection does not do), the boss key, the audio mode told to a
// stand-in box driver window, and the test panel.
#include <windows.h>
// After windows.h.
#include <dbt.h>

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../firmware/FirmwareSupport.h"
#include "board/FirmwareBox.h"
#include "box/SimBox.h"
#include "boxtool/FanServiceClient.h"
#include "boxtool/QuilSysProcNotify.h"
#include "boxtool/TfrmObxTestMain.h"
#include "cpu/FakeMachine.h"
#include "support/BoardTest.h"
#include "support/BoxDriverWindow.h"
#include "support/Capture.h"
#include "support/FakeFanService.h"

namespace {

using test::DriverMessage;
using test::KeyInput;

const char kBoxPath[] =
    R"("\\?\hid#vid_2f3a&pid_5c71#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}")";

// A set report the box took: its register and value bytes.
struct BoxSet {
    int reg;
    int value;
    bool operator==(const BoxSet&) const = default;
};

class BoxCyclesTest : public test::BoardTest {
protected:
    std::string BoardText() const override {
        return std::string("box ") + kBoxPath + "\nvolume 0.75\nmute 0\n" + Extra();
    }
    // Sensors and box registers of the test's own.
    virtual std::string Extra() const { return {}; }

    void SetUp() override {
        BoardTest::SetUp();
        sim::InstallSimulatedBox();
        // CPU_FAN's duty 128 shows as 5 on both CPU fans of the box; the other names route to no
        // box fan, so the box keeps what it holds for the chassis fans.
        fans_ = std::make_unique<test::FakeFanService>(std::vector<test::FakeFan>{
            {L"CPU_FAN", 128}, {L"SYS_FAN1", 0}, {L"SYS_FAN2", 0}, {L"SYS_FAN3", 0}, {L"PUMP", 0}});
        ASSERT_TRUE(fans_->Registered());
    }
    void TearDown() override {
        form_.reset();
        BoardTest::TearDown();
    }

    // Constructs the form as the program does: connected, it pushes and primes the cache. The
    // timers are then stopped: each test runs the cycles itself, as the timers would.
    TfrmObxTestMain& Create() {
        Application.MainFormOnTaskBar = false;
        form_.reset(new TfrmObxTestMain(nullptr));
        Application.Dispatch(form_.get(), &TfrmObxTestMain::FormCreate, form_.get());
        EXPECT_TRUE(form_->tmrGetFromBox.Enabled());
        form_->tmrSetToBox.SetEnabled(false);
        form_->tmrGetFromBox.SetEnabled(false);
        return *form_;
    }
    TfrmObxTestMain& Form() { return *form_; }
    void Push() { Form().tmrSetToBox.Tick(); }
    void Pull() { Form().tmrGetFromBox.Tick(); }

    static int Byte(int reg) { return sim::State()->box.regs[reg][0]; }
    static int Word(int reg) { return sim::State()->box.regs[reg][0] << 8 | sim::State()->box.regs[reg][1]; }
    // Set reports from seq on, of the registers in [first, last], as (register, 16-bit value).
    static std::vector<BoxSet> WordSets(uint32_t seq, int first, int last) {
        std::vector<BoxSet> out;
        for (const sim::BoxReport& r : sim::BoxReports(seq))
            if (r.bytes[1] == 2 && r.bytes[2] >= first && r.bytes[2] <= last)
                out.push_back({r.bytes[2], r.bytes[3] << 8 | r.bytes[4]});
        return out;
    }
    static int SetsOf(uint32_t seq, int reg) {
        auto all = sim::BoxReports(seq);
        return static_cast<int>(std::count_if(all.begin(), all.end(), [reg](const sim::BoxReport& r) {
            return r.bytes[1] == 2 && r.bytes[2] == reg;
        }));
    }

    // User curves the fan service applied to a fan: each worker applies exactly one.
    int Applied(int fan) const {
        const std::string call = "fan" + std::to_string(fan) + " ApplyIndex call I4:4";
        int n = 0;
        for (const test::FakeCall& c : fans_->Calls()) n += c.text == call;
        return n;
    }
    // Until the fan has had count user curves applied, the last one flat at the box duty.
    bool AppliedDuty(int fan, int count, int duty) const {
        const uint32_t speed = static_cast<uint32_t>(BoxDutyToServiceSpeed(duty));
        return test::WaitFor([&] {
            const test::FakeFan f = fans_->Fan(fan);
            return Applied(fan) == count && std::all_of(f.userCurve.begin(), f.userCurve.end(),
                                                        [speed](uint32_t s) { return s == speed; });
        });
    }
    int AllApplied() const {
        int n = 0;
        for (int fan = 0; fan < 5; ++fan) n += Applied(fan);
        return n;
    }

    test::MessageBoxCapture boxes_;
    std::unique_ptr<test::FakeFanService> fans_;

private:
    std::unique_ptr<TfrmObxTestMain> form_;
};

// ---------------------------------------------------------------------------------------------
// The push

class PushTest : public BoxCyclesTest {
protected:
    std::string Extra() const override {
        return "sensor 2 \"CPU VCORE\" 1200\n"     // not a temperature
               "sensor 3 \"CPU Core\" 456\n"       // 45 to the CPU temperature
               "sensor 3 \"Motherboard\" 301\n"    // 30 to the board temperature
               "sensor 3 \"System\" 400\n"         // nowhere
               "sensor 3 \"CPUMB Hotspot\" 619\n"  // both names: the CPU temperature only
               "sensor 4 \"CPU_FAN\" 1500\n"
               "sensor 4 \"cpu_opt\" 1200\n"
               "sensor 4 \"W_PUMP1\" 3000\n"
               "sensor 4 \"CHA_FAN1\" 70000\n"  // low 16 bits: 4464
               "sensor 4 \"CHA_FAN2\" 900\n"
               "sensor 4 \"rad2a\" 700\n"
               "sensor 4 \"CHA_FAN3\" 650\n"
               "sensor 4 \"SYS_FAN\" 555\n";  // nowhere
    }
};

TEST_F(PushTest, OnePushLeavesTemperaturesAndFanSpeedsByNameOnTheBox) {
    const uint32_t seq = sim::NextBoxReportSeq();
    Create();  // its priming push is the first one
    EXPECT_EQ(WordSets(seq, 0x20, 0x21), (std::vector<BoxSet>{{0x20, 45}, {0x21, 30}, {0x20, 61}}));
    EXPECT_EQ(
        WordSets(seq, 0x40, 0x44),
        (std::vector<BoxSet>{
            {0x40, 1500}, {0x41, 1200}, {0x41, 3000}, {0x42, 4464}, {0x43, 900}, {0x44, 700}, {0x44, 650}}));
    // Every match is sent, the last one stays.
    EXPECT_EQ(Word(0x20), 61);
    EXPECT_EQ(Word(0x21), 30);
    EXPECT_EQ(Word(0x41), 3000);
    EXPECT_EQ(Word(0x44), 650);
    EXPECT_FALSE(g_radiatorFlag);
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(PushTest, APushSendsHostStateTimeRatioAndBusClock) {
    test::InstallKnownIntel();  // ratio 40, bus clock 980 tenths
    Create();
    Apply("box-reg 0x03 0\nbox-reg 0x50 99 99 99");
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    Push();
    GetLocalTime(&after);
    EXPECT_EQ(Byte(0x03), 0xAA);

    // The time as it was during the push (the clock may have moved on by a second meanwhile).
    auto seconds = [](int h, int m, int s) { return (h * 60 + m) * 60 + s; };
    const int sent = seconds(Byte(0x50), sim::State()->box.regs[0x50][1], sim::State()->box.regs[0x50][2]);
    const int first = seconds(before.wHour, before.wMinute, before.wSecond);
    const int last = seconds(after.wHour, after.wMinute, after.wSecond);
    EXPECT_TRUE(first <= last ? sent >= first && sent <= last : sent >= first || sent <= last)
        << sent << " not in " << first << ".." << last;

    EXPECT_EQ(Byte(0x30), 40);
    EXPECT_EQ(Word(0x31), 980);
}

TEST_F(PushTest, TheVolumeIsSentOnlyWhenTheSystemsVolumeChanged) {
    const uint32_t start = sim::NextBoxReportSeq();
    Create();
    EXPECT_EQ(Byte(0x62), 75);
    EXPECT_EQ(Form().boxCache.volume, 75);
    EXPECT_EQ(SetsOf(start, 0x62), 1);

    uint32_t seq = sim::NextBoxReportSeq();
    Push();
    EXPECT_EQ(SetsOf(seq, 0x62), 0);

    test::TraceCapture traces;
    Apply("volume 0.4");
    seq = sim::NextBoxReportSeq();
    Push();
    EXPECT_EQ(SetsOf(seq, 0x62), 1);
    EXPECT_EQ(Byte(0x62), 40);
    EXPECT_EQ(Form().boxCache.volume, 40);
    EXPECT_TRUE(traces.Contains(L"TfrmObxTestMain::Box_SetVolume - Volume: 40"));
}

TEST_F(PushTest, EveryPushUnregistersTheFirmwareChannelsMailslot) {
    test::SysCtlService service;
    ASSERT_TRUE(service.Serving());
    Create();
    Push();
    const auto requests = sim::SysCtlRequests(GetCurrentProcessId());
    ASSERT_EQ(requests.size(), 2u);  // the priming push and this one
    for (const auto& r : requests) {
        EXPECT_EQ(r.code, kUnregisterMailslot);
        EXPECT_TRUE(r.nameZero);  // nothing was ever registered in HID mode
    }
}

class RadiatorTest : public BoxCyclesTest {
protected:
    std::string Extra() const override { return "sensor 4 \"CPU_FAN\" 1000\nsensor 4 \"RAD1A\" 2100\n"; }
};

TEST_F(RadiatorTest, ARadiatorPumpShowsAsCpu1AndTheSecondCpuFanTurnsItsOwnServiceFan) {
    const uint32_t start = sim::NextBoxReportSeq();
    Create();
    EXPECT_TRUE(g_radiatorFlag);
    EXPECT_EQ(WordSets(start, 0x40, 0x44), (std::vector<BoxSet>{{0x40, 1000}, {0x40, 2100}}));

    Apply("box-reg 0x4B 9");
    const uint32_t seq = sim::NextBoxReportSeq();
    Pull();
    EXPECT_TRUE(AppliedDuty(4, 1, 9));
    // No mirroring with a radiator: the CPU1 duty stays.
    EXPECT_EQ(SetsOf(seq, 0x4A), 0);
    EXPECT_EQ(Byte(0x4A), 5);
    EXPECT_EQ(Applied(0), 0);
}

// ---------------------------------------------------------------------------------------------
// The pull

class PullTest : public BoxCyclesTest {
protected:
    std::string Extra() const override {
        // What the user left on the box before the tool connected.
        return "box-reg 0x4C 4\nbox-reg 0x4D 6\nbox-reg 0x4E 8\nbox-reg 0x0A 0x02\nbox-reg 0x60 3\n";
    }
};

TEST_F(PullTest, ThePrimingPullRecordsWhatTheBoxHoldsAndActsOnNothing) {
    test::BoxDriverKey key(test::BoxDriverWindow::UniqueClass(), std::nullopt);
    test::BoxDriverWindow driver(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    test::InputCapture inputs;
    Create();
    EXPECT_EQ(std::vector<int>(Form().boxCache.duty, Form().boxCache.duty + 5),
              (std::vector<int>{5, 5, 4, 6, 8}));
    EXPECT_EQ(Form().boxCache.bossKey, 1);
    EXPECT_EQ(Form().boxCache.audioMode, 3);
    EXPECT_EQ(Form().boxCache.volume, 75);

    Pull();  // nothing changed since
    EXPECT_EQ(AllApplied(), 0);
    EXPECT_TRUE(inputs.Calls().empty());
    EXPECT_EQ(sim::State()->audio.setMuteCalls, 0u);
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, 0u);
    // A notice posted before this one would arrive first.
    Form().SetModeToAudio(9);
    ASSERT_TRUE(driver.WaitForMessages(1));
    EXPECT_EQ(driver.Messages(), (std::vector<DriverMessage>{{0x935, 9}}));
}

TEST_F(PullTest, ADutyTurnedOnTheBoxReachesItsServiceFanOncePerChange) {
    Create();
    Apply("box-reg 0x4C 7");
    Pull();
    EXPECT_TRUE(AppliedDuty(1, 1, 7));
    Pull();
    Apply("box-reg 0x4E 2");
    Pull();
    EXPECT_TRUE(AppliedDuty(3, 1, 2));
    // The chassis fans touch neither each other nor the CPU fans.
    EXPECT_EQ(Applied(1), 1);
    EXPECT_EQ(Applied(0), 0);
    EXPECT_EQ(Applied(2), 0);
    EXPECT_EQ(Byte(0x4A), 5);
    EXPECT_EQ(Form().boxCache.duty[2], 7);
    EXPECT_EQ(Form().boxCache.duty[4], 2);
}

TEST_F(PullTest, TheCpuDutiesMirrorEachOtherAndWhatTheToolWroteIsNoChange) {
    Create();
    Apply("box-reg 0x4A 7");
    Pull();
    EXPECT_TRUE(AppliedDuty(0, 1, 7));
    EXPECT_EQ(Byte(0x4B), 7);  // the other CPU fan follows
    EXPECT_EQ(Form().boxCache.duty[1], 7);

    uint32_t seq = sim::NextBoxReportSeq();
    Pull();  // the second CPU fan's 7 is the tool's own: settled
    Apply("box-reg 0x4D 1");
    Pull();
    EXPECT_TRUE(AppliedDuty(2, 1, 1));
    EXPECT_EQ(Applied(0), 1);
    EXPECT_EQ(SetsOf(seq, 0x4A) + SetsOf(seq, 0x4B), 0);

    // Turning the second CPU fan works the same way round.
    Apply("box-reg 0x4B 3");
    Pull();
    EXPECT_TRUE(AppliedDuty(0, 2, 3));
    EXPECT_EQ(Byte(0x4A), 3);
}

TEST_F(PullTest, TheFirstCpuFanTurnedTwiceWithAPullBetweenSettlesOnItsLastDuty) {
    Create();
    Apply("box-reg 0x4A 8\nbox-reg 0x4B 9");
    Pull();  // both turned within one pull: the first CPU fan's duty goes to both
    EXPECT_EQ(Byte(0x4B), 8);
    Apply("box-reg 0x4A 7");
    Pull();
    Apply("box-reg 0x4A 6");
    const std::vector<uint32_t> six(4, static_cast<uint32_t>(BoxDutyToServiceSpeed(6)));
    std::vector<std::pair<int, int>> shown;
    for (int i = 0; i < 10; ++i) {
        Pull();
        shown.emplace_back(Byte(0x4A), Byte(0x4B));
    }
    EXPECT_EQ(shown, (std::vector<std::pair<int, int>>(10, {6, 6})));
    // The service ends with the box's duty, and nothing more is forwarded.
    ASSERT_TRUE(test::WaitFor([&] {
        const auto calls = fans_->Calls();
        return !calls.empty() && calls.back().text == "fan0 ApplyIndex call I4:4" &&
               fans_->Fan(0).userCurve == six;
    }));
    const size_t calls = fans_->Calls().size();
    Pull();
    Pull();
    Sleep(500);
    EXPECT_EQ(fans_->Calls().size(), calls);
    EXPECT_EQ(fans_->Fan(0).userCurve, six);
}

TEST_F(PullTest, TheBossKeyRunsOnEveryChangeOfItsBit) {
    test::InputCapture inputs;
    Create();
    Apply("box-reg 0x0A 0xFF");  // bit 1 still set
    Pull();
    EXPECT_TRUE(inputs.Calls().empty());

    Apply("box-reg 0x0A 0xFD");  // released
    Pull();
    const std::vector<KeyInput> altTab = {{0xA4, false}, {0x09, false}, {0x09, true}, {0xA4, true}};
    const std::vector<KeyInput> winD = {{0x5B, false}, {0x44, false}, {0x44, true}, {0x5B, true}};
    EXPECT_EQ(inputs.Calls(), (std::vector<std::vector<KeyInput>>{altTab, winD}));
    EXPECT_EQ(sim::State()->audio.mute, 1u);
    EXPECT_EQ(sim::State()->audio.setMuteCalls, 1u);

    Apply("box-reg 0x0A 0x02");  // pressed again
    Pull();
    Pull();
    EXPECT_EQ(inputs.Calls().size(), 4u);
    EXPECT_EQ(sim::State()->audio.setMuteCalls, 2u);
}

TEST_F(PullTest, TheBoxVolumeSetsTheSystemsVolumeOncePerChange) {
    Create();
    test::TraceCapture traces;
    Apply("mute 1\nbox-reg 0x62 30");
    Pull();
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, 1u);
    EXPECT_FLOAT_EQ(sim::State()->audio.volume, 0.3f);
    EXPECT_EQ(sim::State()->audio.mute, 0u);  // unmuted
    EXPECT_TRUE(traces.Contains(L"TfrmObxTestMain::Box_GetVolume - Volume: 30"));
    Pull();
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, 1u);

    // Another program turns the system's volume: the box's unchanged volume does not undo it,
    // the next push shows it on the box.
    Apply("volume 0.9");
    Pull();
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, 1u);
    EXPECT_FLOAT_EQ(sim::State()->audio.volume, 0.9f);
    Push();
    EXPECT_EQ(Byte(0x62), 90);
    Pull();
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, 1u);

    // Past the box's scale counts as its end.
    Apply("box-reg 0x62 101");
    Pull();
    EXPECT_EQ(sim::State()->audio.volume, 1.0f);
    EXPECT_EQ(Form().boxCache.volume, 100);

    // Without the audio library there is no volume to push: the box keeps the one set on it.
    Apply("fault vvc2\nbox-reg 0x62 40");
    Pull();
    const uint32_t seq = sim::NextBoxReportSeq();
    Push();
    EXPECT_EQ(SetsOf(seq, 0x62), 0);
    EXPECT_EQ(Byte(0x62), 40);
}

TEST_F(PullTest, EveryPercentSetOnTheBoxIsWhatTheBoxShowsAfterTheNextPush) {
    Create();
    for (int percent = 0; percent <= 100; ++percent) {
        SCOPED_TRACE(percent);
        Apply("box-reg 0x62 " + std::to_string(percent));
        Pull();
        // The system's volume is the float nearest the percent.
        const float volume = sim::State()->audio.volume;
        const double wanted = percent / 100.0;
        EXPECT_LE(std::fabs(volume - wanted), std::fabs(std::nextafter(volume, 2.0f) - wanted));
        EXPECT_LE(std::fabs(volume - wanted), std::fabs(std::nextafter(volume, -1.0f) - wanted));
        const uint32_t seq = sim::NextBoxReportSeq();
        Push();
        EXPECT_EQ(SetsOf(seq, 0x62), 0);
        EXPECT_EQ(Byte(0x62), percent);
    }
}

// ---------------------------------------------------------------------------------------------
// The audio mode and the box driver's windows

TEST_F(PullTest, AChangedAudioModeReachesTheDriverWindowOnce) {
    test::BoxDriverKey key(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    test::BoxDriverWindow driver(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    Create();
    test::TraceCapture traces;
    Apply("box-reg 0x60 5");
    Pull();
    ASSERT_TRUE(driver.WaitForMessages(1));
    Pull();
    EXPECT_EQ(Form().boxCache.audioMode, 5);
    // The pull tells without SetModeToAudio's traces, and traces the mode it reads every time.
    const auto lines = traces.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Box_GetAudioMode - Mode: 5"), 2);
    EXPECT_FALSE(traces.Contains(L"OBXEX"));

    Form().SetModeToAudio(6);
    ASSERT_TRUE(driver.WaitForMessages(2));
    EXPECT_EQ(driver.Messages(), (std::vector<DriverMessage>{{0x935, 5}, {0x935, 6}}));
}

TEST_F(PullTest, SetModeToAudioTellsTheWindowsEveryTimeWithItsTraces) {
    test::BoxDriverKey key(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    test::BoxDriverWindow driver(test::BoxDriverWindow::UniqueClass(), L"Orbix Box Driver");
    Create();
    test::TraceCapture traces;
    Form().SetModeToAudio(0x42);
    Form().SetModeToAudio(0x42);
    ASSERT_TRUE(driver.WaitForMessages(2));
    EXPECT_EQ(driver.Messages(), (std::vector<DriverMessage>{{0x935, 0x42}, {0x935, 0x42}}));
    EXPECT_EQ(Form().boxCache.audioMode, 0x42);
    wchar_t posted[80];
    swprintf(posted, 80, L"OBXEX SetModeToAudio PostMessage: 0x%.8x, 0x00000042",
             static_cast<unsigned>(reinterpret_cast<UINT_PTR>(driver.Handle())));
    const std::vector<std::wstring> once = {L"OBXEX SetModeToAudio mode: 0x00000042",
                                            L"OBXEX SetModeToAudio got Registry Value",
                                            L"OBXEX SetModeToAudio FindAllWindow!!", posted};
    std::vector<std::wstring> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    std::vector<std::wstring> lines;
    for (const std::wstring& line : traces.Lines())
        if (line.starts_with(L"OBXEX")) lines.push_back(line);
    EXPECT_EQ(lines, twice);
}

// What a search met, and the window at which it is to fail.
std::vector<HWND> g_searched;
HWND g_failAt = nullptr;
void FailAt(HWND window) {
    g_searched.push_back(window);
    if (window == g_failAt) throw std::bad_alloc();  // as growing the list of found windows may
}

TEST_F(PullTest, WindowsMatchTheClassExactlyAndTheCaptionUnlessEitherIsEmpty) {
    const std::wstring cls = test::BoxDriverWindow::UniqueClass();
    test::BoxDriverWindow named(cls, L"Orbix Box Driver");
    test::BoxDriverWindow untitled(cls, L"");
    test::BoxDriverWindow other(cls, L"Orbix Box Driver 2");
    Create();
    auto found = [](std::vector<HWND> windows) {
        std::sort(windows.begin(), windows.end());
        return windows;
    };
    EXPECT_TRUE(Form().FindAllWindow(cls.c_str(), L"Orbix Box Driver"));
    EXPECT_EQ(found(BoxDriverWindows()), found({named.Handle(), untitled.Handle()}));
    EXPECT_TRUE(Form().FindAllWindow(cls.c_str(), L""));
    EXPECT_EQ(found(BoxDriverWindows()), found({named.Handle(), untitled.Handle(), other.Handle()}));
    std::wstring upper = cls;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    EXPECT_FALSE(Form().FindAllWindow(upper.c_str(), L""));
    EXPECT_TRUE(BoxDriverWindows().empty());
    // The captions are read as the system keeps them, without asking any window by a message: a
    // window's thread that is not taking messages (the form's, waiting on the notifier's
    // listener) cannot hold up a search.
    for (const test::BoxDriverWindow* driver : {&named, &untitled, &other})
        EXPECT_EQ(driver->TextRequests(), 0u);

    // Whatever fails inside the search ends it there, without unwinding through the system's
    // enumeration: it finds nothing, not the windows it met before, and the next one finds all.
    g_windowSearchProbe = &FailAt;
    EXPECT_TRUE(Form().FindAllWindow(cls.c_str(), L""));  // fails nowhere: the order of the search
    const std::vector<HWND> order = g_searched;
    for (HWND window : order)
        if (window == named.Handle() || window == untitled.Handle() || window == other.Handle())
            g_failAt = window;
    g_searched.clear();
    bool result = true;
    EXPECT_NO_THROW(result = Form().FindAllWindow(cls.c_str(), L""));
    g_windowSearchProbe = nullptr;
    EXPECT_FALSE(result);
    EXPECT_TRUE(BoxDriverWindows().empty());
    // It met the two other stand-ins and ended at the third.
    const auto failure = std::find(order.begin(), order.end(), g_failAt);
    ASSERT_NE(failure, order.end());
    EXPECT_EQ(g_searched, std::vector<HWND>(order.begin(), failure + 1));
    EXPECT_TRUE(Form().FindAllWindow(cls.c_str(), L""));
    EXPECT_EQ(found(BoxDriverWindows()), found({named.Handle(), untitled.Handle(), other.Handle()}));

    {
        test::BoxDriverKey key(cls, L"Orbix Box Driver");
        Form().SetModeToAudio(1);
        ASSERT_TRUE(named.WaitForMessages(1));
        ASSERT_TRUE(untitled.WaitForMessages(1));
    }
    {
        test::BoxDriverKey key(cls, std::nullopt);  // no caption: every window of the class
        Form().SetModeToAudio(2);
        ASSERT_TRUE(other.WaitForMessages(1));
        ASSERT_TRUE(named.WaitForMessages(2));
    }
    EXPECT_EQ(other.Messages(), (std::vector<DriverMessage>{{0x935, 2}}));
    EXPECT_EQ(untitled.Messages(), (std::vector<DriverMessage>{{0x935, 1}, {0x935, 2}}));
}

TEST_F(PullTest, WithoutTheKeyOrAClassNoWindowIsTold) {
    test::BoxDriverWindow driver(test::BoxDriverWindow::UniqueClass(), L"");
    Create();
    test::TraceCapture traces;
    {
        test::BoxDriverKey absent;
        Form().SetModeToAudio(1);
        EXPECT_FALSE(traces.Contains(L"got Registry Value"));
    }
    {
        test::BoxDriverKey noClass(std::nullopt, L"Orbix Box Driver");
        Form().SetModeToAudio(2);
        EXPECT_TRUE(traces.Contains(L"got Registry Value"));
        const DWORD number = 7;
        test::BoxDriverKey::SetRaw(L"formClass", REG_DWORD, &number, sizeof(number));  // not a string
        Form().SetModeToAudio(3);
        EXPECT_FALSE(traces.Contains(L"FindAllWindow!!"));
    }
    {
        test::BoxDriverKey found(test::BoxDriverWindow::UniqueClass(), std::nullopt);
        Form().SetModeToAudio(4);
    }
    ASSERT_TRUE(driver.WaitForMessages(1));
    EXPECT_EQ(driver.Messages(), (std::vector<DriverMessage>{{0x935, 4}}));
}

TEST_F(PullTest, OverlongDriverKeyValuesAreCutTo254Characters) {
    const std::wstring cls = test::BoxDriverWindow::UniqueClass();
    test::BoxDriverWindow untitled(cls, L"");
    Create();
    BoxDriverCriteria criteria;
    {
        test::BoxDriverKey key(std::wstring(300, L'Q'), std::wstring(4000, L'c'));
        ASSERT_TRUE(ReadBoxDriverCriteria(&criteria));
        EXPECT_EQ(criteria.windowClass, std::wstring(254, L'Q'));
        EXPECT_EQ(criteria.caption, std::wstring(254, L'c'));
        Form().SetModeToAudio(1);  // no window has such a class
    }
    {
        // A long caption still finds the untitled window of the class.
        test::BoxDriverKey key(cls, std::wstring(4000, L'c'));
        Form().SetModeToAudio(2);
        ASSERT_TRUE(untitled.WaitForMessages(1));
    }
    {
        // A string stored without its terminator.
        test::BoxDriverKey key(std::nullopt, std::nullopt);
        test::BoxDriverKey::SetRaw(L"formClass", REG_SZ, cls.data(),
                                   static_cast<DWORD>(cls.size() * sizeof(wchar_t)));
        ASSERT_TRUE(ReadBoxDriverCriteria(&criteria));
        EXPECT_EQ(criteria.windowClass, cls);
        EXPECT_EQ(criteria.caption, L"");
        Form().SetModeToAudio(3);
        ASSERT_TRUE(untitled.WaitForMessages(2));
    }
    EXPECT_EQ(untitled.Messages(), (std::vector<DriverMessage>{{0x935, 2}, {0x935, 3}}));
}

// ---------------------------------------------------------------------------------------------
// The box unplugged while the tool runs

class UnplugTest : public PullTest {
protected:
    // The device change as the system sends it (a message with its header cannot be posted), then
    // the window thread's messages until the reconnect timer has fired once.
    void DeviceChange(WPARAM event) {
        SendMessageW(Form().Handle(), WM_DEVICECHANGE, event, kBroadcastHeader);
        for (int i = 0; i < 1000 && Form().tmrDealWM.Enabled(); ++i) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        ASSERT_FALSE(Form().tmrDealWM.Enabled());
    }
    void ExpectCacheAsPrimed() {
        EXPECT_EQ(std::vector<int>(Form().boxCache.duty, Form().boxCache.duty + 5),
                  (std::vector<int>{5, 5, 4, 6, 8}));
        EXPECT_EQ(Form().boxCache.bossKey, 1);
        EXPECT_EQ(Form().boxCache.audioMode, 3);
        EXPECT_EQ(Form().boxCache.volume, 75);
    }
    // Any non-zero pointer: the form only asks whether one came with the message.
    static constexpr LPARAM kBroadcastHeader = 0x1000;
};

TEST_F(UnplugTest, CyclesBeforeTheDeviceChangeTurnNoFanVolumeOrKeyAndGiveUpAtOnce) {
    test::InputCapture inputs;
    Create();
    const sim::BoxState& box = sim::State()->box;
    const uint32_t seq = sim::NextBoxReportSeq();
    const uint32_t sets = box.setCalls, flushes = box.flushCalls;
    Apply(std::string("unplug ") + kBoxPath);
    test::TraceCapture traces;
    // The timers may fire before the device change reaches the window.
    Pull();
    Push();
    Pull();
    // Unanswered reads are not the user's settings: no fan stops, nothing is muted or hidden.
    ExpectCacheAsPrimed();
    // The audio mode is traced on every pull all the same, as the unanswered query reads.
    const auto lines = traces.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"Box_GetAudioMode - Mode: 0"), 2);
    EXPECT_TRUE(inputs.Calls().empty());
    EXPECT_EQ(sim::State()->audio.setVolumeCalls, 0u);
    EXPECT_EQ(sim::State()->audio.setMuteCalls, 0u);
    EXPECT_TRUE(sim::BoxReports(seq).empty());
    // One try per exchange against the dead device (a push and two pulls are some twenty).
    EXPECT_LT(box.setCalls - sets, 40u);
    EXPECT_EQ(box.flushCalls, flushes);

    // Back in, a change on the box is acted on, and it is the only duty the service ever got.
    Apply(std::string("plug ") + kBoxPath);
    DeviceChange(DBT_DEVICEARRIVAL);
    Apply("box-reg 0x4C 7");
    Pull();
    EXPECT_TRUE(AppliedDuty(1, 1, 7));
    EXPECT_EQ(AllApplied(), 1);
}

TEST_F(UnplugTest, NothingGoesToTheDeadHandleAndTheReplugBringsTheCyclesBack) {
    Create();
    Apply(std::string("unplug ") + kBoxPath);
    const uint32_t sets = sim::State()->box.setCalls;
    DeviceChange(DBT_DEVICEREMOVECOMPLETE);
    EXPECT_FALSE(Form().tmrSetToBox.Enabled());
    EXPECT_FALSE(Form().tmrGetFromBox.Enabled());
    EXPECT_EQ(sim::State()->box.setCalls, sets);
    EXPECT_EQ(sim::OpenDeviceHandles(), 0);  // the dead handle is closed, not kept

    // Plugged back in (a new generation of the device): the tool finds it on its path again,
    // pushes and primes through a fresh handle, and runs both cycles.
    Apply("box-reg 0x03 0\nbox-reg 0x4C 2");
    Apply(std::string("plug ") + kBoxPath);
    const uint32_t seq = sim::NextBoxReportSeq();
    DeviceChange(DBT_DEVICEARRIVAL);
    EXPECT_TRUE(Form().tmrSetToBox.Enabled());
    EXPECT_TRUE(Form().tmrGetFromBox.Enabled());
    EXPECT_EQ(sim::OpenDeviceHandles(), 1);
    EXPECT_EQ(Byte(0x03), 0xAA);
    EXPECT_EQ(SetsOf(seq, 0x03), 1);
    // The priming pull took the duty turned while the box was away without forwarding it.
    EXPECT_EQ(Form().boxCache.duty[2], 2);
    Apply("box-reg 0x4D 9");
    Pull();
    EXPECT_TRUE(AppliedDuty(2, 1, 9));
    EXPECT_EQ(AllApplied(), 1);
}

// The CPU fan turned just before a reconnect, its worker still on its way to the service when the
// reconnect reads the service's duties: the box is shown the duty the fan is about to run.
TEST_F(UnplugTest, ADutyOnItsWayAtAReconnectIsWhatTheBoxShowsAndTheFanRuns) {
    Create();
    const struct {
        int duty;
        bool unplugged;  // else another device's arrival, the box staying in
    } rounds[] = {{9, true}, {3, false}};
    int applied = 0;
    for (const auto& round : rounds) {
        SCOPED_TRACE(round.duty);
        fans_->HoldMember("profile0/4 FanCurve");
        Apply("box-reg 0x4A " + std::to_string(round.duty));
        Pull();
        ASSERT_TRUE(fans_->WaitHeld(10000));
        if (round.unplugged) {
            Apply(std::string("unplug ") + kBoxPath);
            DeviceChange(DBT_DEVICEREMOVECOMPLETE);
            Apply(std::string("plug ") + kBoxPath);
        }
        DeviceChange(DBT_DEVICEARRIVAL);
        fans_->ReleaseHeld();
        ASSERT_TRUE(AppliedDuty(0, ++applied, round.duty));
        Pull();
        Push();
        Pull();
        EXPECT_EQ(Byte(0x4A), round.duty);
        EXPECT_EQ(Byte(0x4B), round.duty);
        EXPECT_EQ(Form().boxCache.duty[0], round.duty);
        EXPECT_EQ(ServiceDutyToBoxDuty(fans_->Fan(0).duty), round.duty);
        EXPECT_EQ(Applied(0), applied);
    }
}

// ---------------------------------------------------------------------------------------------
// The test panel

TEST_F(BoxCyclesTest, TestPanelButtonsSendTheirFieldsToTheirRegisters) {
    Create();
    auto click = [this](int n) {
        SendMessageW(Form().Handle(), WM_COMMAND, MAKEWPARAM(kButtonId + n, BN_CLICKED),
                     reinterpret_cast<LPARAM>(Form().Button(n)));
    };
    struct Case {
        int button, field;
        const wchar_t* text;
        int reg, value;
        bool word;
    };
    const Case cases[] = {
        {1, 1, L"51", 0x20, 51, true},       {2, 2, L"-3", 0x21, 0xFFFD, true},
        {3, 5, L"1234", 0x40, 1234, true},   {5, 6, L"1235", 0x41, 1235, true},
        {6, 7, L"1236", 0x42, 1236, true},   {7, 8, L"1237", 0x43, 1237, true},
        {8, 9, L"10000", 0x44, 10000, true}, {10, 10, L"9", 0x4A, 9, false},
        {11, 11, L"1", 0x4B, 1, false},      {12, 12, L"2", 0x4C, 2, false},
        {13, 13, L"3", 0x4D, 3, false},      {14, 14, L"200", 0x4E, 200, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        SetWindowTextW(Form().Edit(c.field), c.text);
        const uint32_t seq = sim::NextBoxReportSeq();
        click(c.button);
        EXPECT_EQ(SetsOf(seq, c.reg), 1);
        EXPECT_EQ(c.word ? Word(c.reg) : Byte(c.reg), c.value);
    }

    SetWindowTextW(Form().Edit(3), L"36");
    SetWindowTextW(Form().Edit(4), L"1000");
    uint32_t seq = sim::NextBoxReportSeq();
    click(4);
    EXPECT_EQ(WordSets(seq, 0x30, 0x31), (std::vector<BoxSet>{{0x30, 36 << 8}, {0x31, 1000}}));

    Apply("box-reg 0x50 99 99 99");
    click(9);
    EXPECT_LT(Byte(0x50), 24);

    seq = sim::NextBoxReportSeq();
    click(15);  // no action
    EXPECT_TRUE(sim::BoxReports(seq).empty());
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(BoxCyclesTest, APanelFieldWithoutANumberIsReportedAndNothingIsSent) {
    Create();
    SetWindowTextW(Form().Edit(5), L"fast");
    SetWindowTextW(Form().Edit(4), L"1 000");
    const uint32_t seq = sim::NextBoxReportSeq();
    Form().Button3Click(Form().Button(3));
    Form().Button4Click(Form().Button(4));
    EXPECT_TRUE(sim::BoxReports(seq).empty());
    ASSERT_EQ(boxes_.Count(), 2u);
    EXPECT_EQ(boxes_.Boxes()[0].text, L"'fast' is not a valid integer value");
    EXPECT_EQ(boxes_.Boxes()[1].text, L"'1 000' is not a valid integer value");
}

}  // namespace
