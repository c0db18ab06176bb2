// The real ObxTT.exe with one of the libraries it finds beside itself missing: a copy of the
// program in a folder of its own, without that library or with one that lacks its exports. The ACPI library's
// absence is told once and leaves the tool waiting for a USB box; without the hardware-monitor or the audio
// library the tool goes on bridging the box silently, without what the missing library gives.
#include "ToolRun.h"

namespace {

class ToolWithoutLibraryTest : public test::ToolRun {
protected:
    // The ACPI library's message, answered; then start-up goes on to wait for a USB box.
    void ExpectAcpiMessageThenNoFirmwareMode() {
        test::ShownBox box;
        ASSERT_TRUE(test::WaitForMessageBox(ToolId(), &box, 30000));
        EXPECT_EQ(box.text, L"Can not load quilacpi.dll");
        EXPECT_EQ(box.caption, L"");
        ASSERT_TRUE(test::PressOk(box));

        // The sensor library is prepared after the message, and the form's thread ends in its
        // message loop with no further message.
        EXPECT_TRUE(test::WaitFor([this] { return Board()->sensors.countCalls > 0; }));
        HWND form = WaitForForm();
        ASSERT_NE(form, nullptr);
        ASSERT_TRUE(Answers(form));
        EXPECT_TRUE(test::MessageBoxesOf(ToolId()).empty());
        // The firmware's box switch cannot be read: no firmware mode, whatever the switch holds.
        EXPECT_TRUE(Switch().empty());
        EXPECT_TRUE(Commands().empty());
        EXPECT_TRUE(sim::SysCtlRequests(ToolId()).empty());
        EXPECT_EQ(Board()->acpi.initCalls, 0u);

        EXPECT_EQ(Close(form), 0u);
        EXPECT_TRUE(Switch().empty());
    }
    void ExpectSilentBridge(const test::ProgramFolder& folder);
    void ExpectNoSensorsRead();
    void ExpectVolumeLeftAlone();
};

TEST_F(ToolWithoutLibraryTest, WithoutItsAcpiLibraryItSaysSoOnceAndWaitsForAUsbBox) {
    test::ProgramFolder folder(L"ObxTT.exe", {L"qxHMLib.dll", L"vvc2.dll"});
    ASSERT_TRUE(folder.Ready());
    Start(folder.Program());
    ExpectAcpiMessageThenNoFirmwareMode();
}

TEST_F(ToolWithoutLibraryTest, AnAcpiLibraryWithoutItsExportsIsTakenAsMissing) {
    test::ProgramFolder folder(L"ObxTT.exe", {L"qxHMLib.dll", L"vvc2.dll"});
    ASSERT_TRUE(folder.CopyAs(L"qxHMLib.dll", L"quilacpiex.dll"));
    Start(folder.Program());
    ExpectAcpiMessageThenNoFirmwareMode();
}

// The tool from the folder bridging the firmware box silently.
void ToolWithoutLibraryTest::ExpectSilentBridge(const test::ProgramFolder& folder) {
    ASSERT_TRUE(folder.Ready());
    ToolRun::ExpectSilentBridge(folder.Program());
}

void ToolWithoutLibraryTest::ExpectNoSensorsRead() {
    EXPECT_EQ(Board()->sensors.countCalls, 0u);
    EXPECT_EQ(Board()->sensors.fillCalls, 0u);
}

// The volume could not be read, so the box was sent none (the tool's own starting 0 would reset
// it), and the system's volume was never asked for or set.
void ToolWithoutLibraryTest::ExpectVolumeLeftAlone() {
    EXPECT_EQ(CommandsOfKind(0x01), 0u);
    const sim::AudioState& audio = Board()->audio;
    EXPECT_EQ(audio.loads, 0u);
    EXPECT_EQ(audio.volume, 0.5f);
    EXPECT_EQ(audio.setVolumeCalls + audio.setMuteCalls + audio.getVolumeCalls, 0u);
}

TEST_F(ToolWithoutLibraryTest, WithoutTheHardwareMonitorLibraryItBridgesTheBoxSilently) {
    test::ProgramFolder folder(L"ObxTT.exe", {L"quilacpiex.dll", L"vvc2.dll"});
    ExpectSilentBridge(folder);
    ExpectNoSensorsRead();
}

TEST_F(ToolWithoutLibraryTest, AHardwareMonitorLibraryWithoutItsExportIsTakenAsMissing) {
    test::ProgramFolder folder(L"ObxTT.exe", {L"quilacpiex.dll", L"vvc2.dll"});
    folder.CopyAs(L"quilacpiex.dll", L"qxHMLib.dll");
    ExpectSilentBridge(folder);
    ExpectNoSensorsRead();
}

TEST_F(ToolWithoutLibraryTest, WithoutTheAudioLibraryTheVolumeIsLeftAloneAndTheFansStillFollowTheKnob) {
    test::ProgramFolder folder(L"ObxTT.exe", {L"quilacpiex.dll", L"qxHMLib.dll"});
    ExpectSilentBridge(folder);
    ExpectVolumeLeftAlone();
}

TEST_F(ToolWithoutLibraryTest, AnAudioLibraryWithoutItsExportsIsTakenAsMissing) {
    test::ProgramFolder folder(L"ObxTT.exe", {L"quilacpiex.dll", L"qxHMLib.dll"});
    folder.CopyAs(L"quilacpiex.dll", L"vvc2.dll");
    ExpectSilentBridge(folder);
    ExpectVolumeLeftAlone();
}

}  // namespace
