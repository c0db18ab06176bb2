// The tool's main form hosted in this process over the simulated box and the ACPI stand-in: the
// timers it runs in each state, the device and power messages that move it between states, the
// close, the test panel, and the ACPI library binding of the tool.
#include <windows.h>
// After windows.h.
#include <commctrl.h>
#include <dbt.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"
#include "box/SimBox.h"
#include "boxtool/AcpiLoader.h"
#include "boxtool/TfrmObxTestMain.h"
#include "boxtool/ToolError.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "support/FakeFanService.h"

namespace {

const char kBoxPath[] =
    R"("\\?\hid#vid_2f3a&pid_5c71#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}")";
const std::string kBox = std::string("box ") + kBoxPath + "\n";
// The firmware's box switch: it reads 1 whatever the tool writes to it.
const std::string kFirmwareSwitch = "item 0x13060016 value 1 command\n";
// Any non-zero pointer: the form only asks whether one came with the message.
const LPARAM kBroadcastHeader = 0x1000;

class FormTest : public test::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        sim::InstallSimulatedBox();
        // The fan service the form reaches when the box is connected.
        service_ = std::make_unique<test::FakeFanService>(ServiceFans());
    }
    void TearDown() override {
        form_.reset();
        BoardTest::TearDown();
    }
    virtual std::vector<test::FakeFan> ServiceFans() const { return {}; }

    // Constructs the form and runs its creation handler, as the program does.
    TfrmObxTestMain& Create() {
        Application.MainFormOnTaskBar = false;
        form_.reset(new TfrmObxTestMain(nullptr));
        Application.Dispatch(form_.get(), &TfrmObxTestMain::FormCreate, form_.get());
        return *form_;
    }
    TfrmObxTestMain& Form() { return *form_; }

    // Delivers a device or power message as the system does: sent, not posted (a device message
    // with its header cannot be posted).
    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) {
        return SendMessageW(form_->Handle(), message, wParam, lParam);
    }
    // Runs the window thread's messages until the reconnect timer has fired (it disables itself).
    void RunUntilReconnectDone() {
        for (int i = 0; i < 1000 && Form().tmrDealWM.Enabled(); ++i) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        ASSERT_FALSE(Form().tmrDealWM.Enabled());
    }

    // The states of the timers table.
    void ExpectHidConnected(TNotifyEvent pushHandler = &TfrmObxTestMain::tmrSetToBoxTimer) {
        EXPECT_TRUE(Form().tmrSetToBox.Enabled());
        EXPECT_TRUE(Form().tmrGetFromBox.Enabled());
        EXPECT_FALSE(Form().tmrDealWM.Enabled());
        EXPECT_TRUE(Form().tmrSetToBox.OnTimer() == pushHandler);
    }
    void ExpectNoBoxTimers() {
        EXPECT_FALSE(Form().tmrSetToBox.Enabled());
        EXPECT_FALSE(Form().tmrGetFromBox.Enabled());
    }
    void ExpectFirmware() {
        EXPECT_TRUE(Form().tmrSetToBox.Enabled());
        EXPECT_TRUE(Form().tmrSetToBox.OnTimer() == &TfrmObxTestMain::FbAcpi_SendCpuRatio);
        EXPECT_FALSE(Form().tmrGetFromBox.Enabled());
        EXPECT_FALSE(Form().tmrDealWM.Enabled());
    }

    test::MessageBoxCapture boxes_;
    std::unique_ptr<test::FakeFanService> service_;

private:
    std::unique_ptr<TfrmObxTestMain> form_;
};

class HidFormTest : public FormTest {
protected:
    std::string BoardText() const override { return kBox; }
};

class HidFormWithFansTest : public HidFormTest {
protected:
    std::vector<test::FakeFan> ServiceFans() const override { return {{L"CPU_FAN", 76}, {L"CHA_FAN1", 255}}; }
};

class FirmwareFormTest : public FormTest {
protected:
    std::string BoardText() const override { return kFirmwareSwitch; }
};

TEST_F(HidFormTest, StartsWithTheBoxConnectedAndBothBoxTimersRunning) {
    test::TraceCapture traces;
    Create();
    ExpectHidConnected();
    EXPECT_EQ(Form().tmrSetToBox.Interval(), 5000u);
    EXPECT_EQ(Form().tmrGetFromBox.Interval(), 2000u);
    EXPECT_EQ(Form().tmrDealWM.Interval(), 200u);
    EXPECT_TRUE(Form().tmrDealWM.OnTimer() == &TfrmObxTestMain::tmrDealWMTimer);
    EXPECT_EQ(frmObxTestMain, &Form());
    ASSERT_NE(g_orbixBoxUsb, nullptr);

    // Start-up trace first, then the library's path from the program's own directory.
    auto lines = traces.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"OBXEX Startup");
    EXPECT_EQ(lines[1], ExecutableDirectory() + L"quilacpiex.dll");
    // Construction initialises the library once; on some processors the clock monitor's reading
    // for the priming push initialises it again.
    EXPECT_GE(Board()->acpi.initCalls, 1u);
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(HidFormWithFansTest, TheServiceDutiesReachTheBoxWhenTheFormStartsConnected) {
    Create();
    ExpectHidConnected();
    EXPECT_EQ(Board()->box.regs[0x4A][0], 3);
    EXPECT_EQ(Board()->box.regs[0x4B][0], 3);
    EXPECT_EQ(Board()->box.regs[0x4C][0], 10);
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(HidFormTest, TheFormIsHiddenWithoutATaskbarButtonAndHasItsCaption) {
    Create();
    HWND w = Form().Handle();
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(IsWindowVisible(w));
    LONG_PTR ex = GetWindowLongPtrW(w, GWL_EXSTYLE);
    EXPECT_FALSE(ex & WS_EX_APPWINDOW);
    EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
    wchar_t text[64] = {};
    GetWindowTextW(w, text, 64);
    EXPECT_STREQ(text, L"Orbix Box Test Form");
}

TEST_F(HidFormTest, UnplugStopsTheBoxTimersAndReplugRestartsThemAfterTheReconnect) {
    Create();
    Apply(std::string("unplug ") + kBoxPath);
    Send(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, kBroadcastHeader);
    ExpectNoBoxTimers();
    EXPECT_TRUE(Form().tmrDealWM.Enabled());
    RunUntilReconnectDone();
    ExpectNoBoxTimers();  // HID waiting: the box is gone

    Apply(std::string("plug ") + kBoxPath);
    Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kBroadcastHeader);
    ExpectNoBoxTimers();
    EXPECT_TRUE(Form().tmrDealWM.Enabled());
    RunUntilReconnectDone();
    ExpectHidConnected();
}

TEST_F(HidFormTest, DeviceChangesWithoutAHeaderOrOfOtherKindsAreIgnored) {
    Create();
    Send(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    Send(WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, kBroadcastHeader);
    ExpectHidConnected();
    Send(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, kBroadcastHeader);
    ExpectNoBoxTimers();
    EXPECT_TRUE(Form().tmrDealWM.Enabled());
}

TEST_F(HidFormTest, SuspendAndResumeChangeNothingInHidMode) {
    Create();
    Send(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    ExpectHidConnected();
    Send(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    ExpectHidConnected();
}

TEST_F(HidFormTest, ClosingSendsTheClosingHostStateAndEndsTheForm) {
    Create();
    Apply("box-reg 0x03 0xAA");
    uint32_t seq = sim::NextBoxReportSeq();
    PostMessageW(Form().Handle(), WM_CLOSE, 0, 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) && msg.message != WM_QUIT) DispatchMessageW(&msg);
    EXPECT_EQ(Form().Handle(), nullptr);
    EXPECT_EQ(Board()->box.regs[0x03][0], 0x00);
    auto sent = sim::BoxReports(seq);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back().bytes[2], 0x03);
    EXPECT_EQ(sent.back().bytes[3], 0x00);
}

TEST_F(HidFormTest, TheSessionsEndTellsTheBoxTheHostIsGoneAsClosingDoes) {
    Create();
    Apply("box-reg 0x03 0xAA");
    EXPECT_NE(Send(WM_QUERYENDSESSION, 0, 0), 0);
    Send(WM_ENDSESSION, FALSE, 0);  // the session goes on after all
    EXPECT_EQ(Board()->box.regs[0x03][0], 0xAA);
    ExpectHidConnected();
    Send(WM_ENDSESSION, TRUE, 0);
    EXPECT_EQ(Board()->box.regs[0x03][0], 0x00);
    ExpectNoBoxTimers();  // no later push tells the box otherwise
}

TEST_F(HidFormTest, TheCloseHandlerLeavesTheCloseActionAsItWas) {
    Create();
    Apply("box-reg 0x03 0xAA");
    TCloseAction action = caFree;
    Form().FormClose(&Form(), action);
    EXPECT_EQ(action, caFree);
    EXPECT_EQ(Board()->box.regs[0x03][0], 0x00);
}

TEST_F(FormTest, WithoutBoxOrFirmwareSwitchTheFormWaitsForADevice) {
    Apply("item 0x13060016 value 0");
    Create();
    ExpectNoBoxTimers();
    EXPECT_FALSE(Form().tmrDealWM.Enabled());
    Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kBroadcastHeader);
    EXPECT_TRUE(Form().tmrDealWM.Enabled());
    RunUntilReconnectDone();
    ExpectNoBoxTimers();
}

TEST_F(FirmwareFormTest, WithoutTheBoxTheFirmwareSwitchSelectsFirmwareMode) {
    Create();
    ExpectFirmware();
    EXPECT_TRUE(Form().IsFbAcpiMode());
}

TEST_F(FirmwareFormTest, SuspendStopsTheRatioTimerAndResumeRestartsIt) {
    Create();
    Send(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    EXPECT_FALSE(Form().tmrSetToBox.Enabled());
    EXPECT_FALSE(Form().tmrGetFromBox.Enabled());
    Send(WM_POWERBROADCAST, PBT_APMPOWERSTATUSCHANGE, 0);
    EXPECT_FALSE(Form().tmrSetToBox.Enabled());
    Send(WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    ExpectFirmware();
}

TEST_F(FirmwareFormTest, DeviceChangesAreIgnoredInFirmwareMode) {
    Create();
    Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kBroadcastHeader);
    Send(WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, kBroadcastHeader);
    ExpectFirmware();
}

TEST_F(FirmwareFormTest, ABoxPluggedInInFirmwareModeIsTakenAsInHidModeKeepingTheRatioHandler) {
    Create();
    Apply(kBox);
    Send(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, kBroadcastHeader);
    ExpectNoBoxTimers();
    RunUntilReconnectDone();
    ExpectHidConnected(&TfrmObxTestMain::FbAcpi_SendCpuRatio);
    // The box now answers the mode test: a suspend is no longer acted on.
    Send(WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    EXPECT_TRUE(Form().tmrSetToBox.Enabled());
}

TEST_F(FirmwareFormTest, SwitchItemOtherThanOneMeansHidMode) {
    Apply("item 0x13060016 value 0xAA");
    Create();
    ExpectNoBoxTimers();
    EXPECT_FALSE(Form().IsFbAcpiMode());
}

// The ACPI library missing: one message, and the firmware switch reads as absent.
class MissingAcpiLibraryTest : public FormTest {
protected:
    std::string BoardText() const override { return kFirmwareSwitch + "fault quilacpi\n"; }
};

TEST_F(MissingAcpiLibraryTest, TellsOnceAndWorksInHidMode) {
    Create();
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, L"Can not load quilacpi.dll");
    EXPECT_EQ(boxes_.Boxes()[0].caption, L"");
    EXPECT_EQ(boxes_.Boxes()[0].type, static_cast<UINT>(MB_OK));
    ExpectNoBoxTimers();
    EXPECT_FALSE(Form().IsFbAcpiMode());

    // The clock monitor asks again on every reading: no second message, still nothing bound.
    EXPECT_EQ(AcpiInitOnce(), 0);
    EXPECT_FALSE(LoadAcpiLibrary());
    EXPECT_EQ(boxes_.Count(), 1u);
    EXPECT_FALSE(IsBiosItemPresent(0x13060016));
    int value = 7;
    EXPECT_FALSE(GetBiosItemValue(0x13060016, &value));
    EXPECT_FALSE(SetBiosItemValue(0x13060016, 0xAA));
}

class AcpiBindingTest : public test::BoardTest {
protected:
    std::string BoardText() const override { return "item 0x13060015 value 5\n"; }
};

TEST_F(AcpiBindingTest, BindsEveryEntryPointByNameAndInitialisesOnEachCall) {
    test::MessageBoxCapture boxes;
    EXPECT_EQ(AcpiInitOnce(), 1);
    EXPECT_EQ(AcpiInitOnce(), 1);
    EXPECT_EQ(Board()->acpi.initCalls, 2u);
    const acpi::Binding& b = acpi::g_binding;
    for (const void* p :
         {(void*)b.Init, (void*)b.GetItem, (void*)b.GetItemEx, (void*)b.GetItemBuffer, (void*)b.SetItemBuffer,
          (void*)b.SetItem, (void*)b.Mbif, (void*)b.GGrp, (void*)b.CallMethod, (void*)b.FirstArg,
          (void*)b.GetArgCount, (void*)b.NextArg, (void*)b.GetArgType, (void*)b.GetArgData})
        EXPECT_NE(p, nullptr);
    int value = 0;
    EXPECT_TRUE(GetBiosItemValue(0x13060015, &value));
    EXPECT_EQ(value, 5);
    EXPECT_EQ(boxes.Count(), 0u);
    // The program's directory ends with its separator.
    ASSERT_FALSE(ExecutableDirectory().empty());
    EXPECT_EQ(ExecutableDirectory().back(), L'\\');
}

// The test panel as the form builds it.
struct PanelField {
    const wchar_t* label;
    const wchar_t* text;
    int minimum, maximum;
};
const PanelField kFields[kTestFields] = {
    {L"CPU Temperature", L"50", 0, 100},
    {L"MB Temperature", L"45", 0, 100},
    {L"Ratio", L"12", 0, 100},
    {L"BCLK", L"200", 50, 4000},
    {L"CPU1 FAN RPM", L"800", 0, 10000},
    {L"CPU2 FAN RPM", L"800", 0, 10000},
    {L"Chassis1 FAN RPM", L"800", 0, 10000},
    {L"Chassis2 FAN RPM", L"800", 0, 10000},
    {L"Chassis3 FAN RPM", L"800", 0, 10000},
    {L"CPU1 FAN Duty", L"5", 0, 100},
    {L"CPU2 FAN Duty", L"8", 0, 100},
    {L"Chassis1 FAN Duty", L"7", 0, 100},
    {L"Chassis2 FAN Duty", L"5", 0, 100},
    {L"Chassis3 FAN Duty", L"3", 0, 100},
};

std::wstring TextOf(HWND w) {
    wchar_t text[128] = {};
    GetWindowTextW(w, text, 128);
    return text;
}

TEST_F(HidFormTest, TestPanelHoldsEveryFieldWithItsUpDownAndEveryButton) {
    Create();
    for (int n = 1; n <= kTestFields; ++n) {
        SCOPED_TRACE(n);
        const PanelField& f = kFields[n - 1];
        EXPECT_EQ(GetParent(Form().Label(n)), Form().Handle());
        EXPECT_EQ(TextOf(Form().Label(n)), f.label);
        EXPECT_EQ(TextOf(Form().Edit(n)), f.text);
        HWND upDown = Form().UpDown(n);
        EXPECT_EQ(reinterpret_cast<HWND>(SendMessageW(upDown, UDM_GETBUDDY, 0, 0)), Form().Edit(n));
        int lo = -1, hi = -1;
        SendMessageW(upDown, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&lo), reinterpret_cast<LPARAM>(&hi));
        EXPECT_EQ(lo, f.minimum);
        EXPECT_EQ(hi, f.maximum);
        int value = -1;
        ASSERT_TRUE(Form().FieldValue(n, &value));
        EXPECT_EQ(value, _wtoi(f.text));
    }
    for (int n = 1; n <= kTestButtons; ++n) {
        std::wstring expected = n == 9 ? L"Sync Time" : n == 15 ? L"Mute Switch" : L"Write";
        EXPECT_EQ(TextOf(Form().Button(n)), expected) << n;
        EXPECT_EQ(GetDlgCtrlID(Form().Button(n)), kButtonId + n);
    }
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(HidFormTest, AFieldWithoutAWholeNumberIsReportedAndGivesNothing) {
    Create();
    SetWindowTextW(Form().Edit(5), L"12a");
    int value = 99;
    EXPECT_FALSE(Form().FieldValue(5, &value));
    EXPECT_EQ(value, 99);
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, L"'12a' is not a valid integer value");
    SetWindowTextW(Form().Edit(5), L"  -40");
    EXPECT_TRUE(Form().FieldValue(5, &value));
    EXPECT_EQ(value, -40);
    SetWindowTextW(Form().Edit(5), L"");
    EXPECT_FALSE(Form().FieldValue(5, &value));
    SetWindowTextW(Form().Edit(5), L"99999999999");
    EXPECT_FALSE(Form().FieldValue(5, &value));
    EXPECT_EQ(boxes_.Count(), 3u);
}

TEST(ToolStartup, TheDebugSwitchIsACaseSensitiveSubstring) {
    EXPECT_TRUE(HasDebugSwitch("swdebug"));
    EXPECT_TRUE(HasDebugSwitch("-x /noswdebugging"));
    EXPECT_FALSE(HasDebugSwitch("SWDEBUG"));
    EXPECT_FALSE(HasDebugSwitch("sw debug"));
    EXPECT_FALSE(HasDebugSwitch(""));
    EXPECT_FALSE(HasDebugSwitch(nullptr));
}

TEST(ToolStartup, TheErrorDisplayShowsTheErrorsTextAndAnEmptyOneForOtherThrownValues) {
    test::MessageBoxCapture boxes;
    try {
        throw std::runtime_error("Service unavailable");
    } catch (...) {
        Application.HandleException();
    }
    try {
        throw ToolError(L"Class \u03A9 not registered, ProgID: \"QuilFanControlService.FanControlManager\"");
    } catch (...) {
        Application.HandleException();
    }
    try {
        throw 42;
    } catch (...) {
        Application.HandleException();
    }
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].text, L"Service unavailable");
    EXPECT_EQ(shown[0].caption, L"ObxTT");
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_OK | MB_ICONSTOP));
    // The tool's own errors keep their wide text.
    EXPECT_EQ(shown[1].text,
              L"Class \u03A9 not registered, ProgID: \"QuilFanControlService.FanControlManager\"");
    EXPECT_EQ(shown[2].text, L"");
}

}  // namespace
