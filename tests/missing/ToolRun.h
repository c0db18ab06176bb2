// The real ObxTT.exe over a board whose box is wired to the firmware (so that what the tool does
// shows in the firmware's items), with the stand-in system-control service and a fan service of the
// test's own.
#pragma once

#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../firmware/FirmwareSupport.h"
#include "MissingLibraries.h"
#include "board/FirmwareBox.h"
#include "boxtool/FanServiceClient.h"
#include "boxtool/FbAcpi.h"
#include "boxtool/QuilSysProcNotify.h"
#include "support/BoardTest.h"
#include "support/FakeFanService.h"
#include "support/ProcessWindow.h"
#include "support/StartedProgram.h"

namespace test {

class ToolRun : public BoardTest {
protected:
    std::string BoardText() const override {
        return "item 0x13060016 value 1 command\n"
               "item 0x13060015 value 0\n"
               "volume 0.5\n"
               "sensor 3 \"CPU Core\" 456\n"
               "sensor 4 \"CPU_FAN\" 1500\n";
    }
    void SetUp() override {
        BoardTest::SetUp();
        EndLeftoverPrograms();  // a tool left running would keep this one from starting
        sysCtl_ = std::make_unique<SysCtlService>();
        ASSERT_TRUE(sysCtl_->Serving());
        ASSERT_TRUE(fans_.Registered());
        from_ = sim::NextWriteSeq();
    }
    void TearDown() override {
        tool_.reset();
        sysCtl_.reset();
        BoardTest::TearDown();
    }

    void Start(const std::wstring& program) {
        tool_ = std::make_unique<StartedProgram>(L"\"" + program + L"\"");
        ASSERT_TRUE(tool_->Started());
    }
    DWORD ToolId() const { return tool_->Id(); }
    HWND WaitForForm() const { return FindProcessWindow(tool_->Id(), L"TfrmObxTestMain", 30000); }
    // True once the form's thread takes messages again: start-up is over, or a message box waits.
    static bool Answers(HWND form) {
        DWORD_PTR result = 0;
        return SendMessageTimeoutW(form, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result) != 0;
    }
    // Closes the form as the system does; the program's exit code, STILL_ACTIVE when it did not end.
    DWORD Close(HWND form) {
        PostMessageW(form, WM_CLOSE, 0, 0);
        return tool_->WaitForExit(30000);
    }
    bool RegisteredWithSysCtl() const {
        return WaitFor([this] { return !sim::SysCtlRequests(tool_->Id()).empty(); });
    }

    // The program bridging the firmware box without a message until the knob has turned service
    // fan 0, then closed; whileRunning looks at what else it does before the knob turns.
    void ExpectSilentBridge(
        const std::wstring& program, const std::function<void()>& whileRunning = [] {}) {
        Start(program);
        ASSERT_TRUE(RegisteredWithSysCtl());
        HWND form = WaitForForm();
        ASSERT_NE(form, nullptr);
        ASSERT_TRUE(Answers(form));
        EXPECT_TRUE(MessageBoxesOf(ToolId()).empty());
        EXPECT_EQ(Switch(), std::vector<int>{0xAA});
        whileRunning();
        TurnKnob(0x0207);
        EXPECT_TRUE(Fan0AtBoxDuty7());
        EXPECT_EQ(Close(form), 0u);
        EXPECT_EQ(Switch(), (std::vector<int>{0xAA, 0}));
    }

    std::vector<int> Switch() const { return WordsTo(kFbAcpiSwitchItem, from_); }
    std::vector<int> Commands() const { return WordsTo(kFbAcpiCommandItem, from_); }
    size_t CommandsOfKind(int kind) const {
        const std::vector<int> words = Commands();
        return static_cast<size_t>(
            std::count_if(words.begin(), words.end(), [kind](int w) { return (w >> 8) == kind; }));
    }

    // The box's knob as the firmware reports it: the word the tool's query gets back.
    void TurnKnob(int word) {
        sim::SetQueryAnswer(kFbAcpiCommandItem, kFbAcpiQueryKnob, word);
        sim::QueueSysCtlEvent(kEventKnob);
    }
    // Until service fan 0 has the user curve of box duty 7 applied.
    bool Fan0AtBoxDuty7() const {
        const uint32_t speed = static_cast<uint32_t>(BoxDutyToServiceSpeed(7));
        return WaitFor([&] {
            const FakeFan f = fans_.Fan(0);
            return f.appliedIndex == 4 && std::all_of(f.userCurve.begin(), f.userCurve.end(),
                                                      [speed](uint32_t s) { return s == speed; });
        });
    }

    FakeFanService fans_{{{L"CPU_FAN", 128}, {L"CHA_FAN1", 51}}};
    std::unique_ptr<SysCtlService> sysCtl_;
    std::unique_ptr<StartedProgram> tool_;
    uint32_t from_ = 0;
};

}  // namespace test
