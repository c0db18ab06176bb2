// The real ObxTT.exe as a user starts it: one instance per session, the hidden form, and with the
// debug word the shown form with its whole test panel, seen through the window tree.
#include <windows.h>
// After windows.h.
#include <commctrl.h>

#include <map>
#include <string>
#include <vector>

#include "support/BoardTest.h"
#include "support/ProcessWindow.h"
#include "support/StartedProgram.h"
#include "system/Handles.h"

namespace {

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p = path;
    return p.substr(0, p.find_last_of(L'\\') + 1) + L"ObxTT.exe";
}

struct Child {
    tolo::UniqueHandle process;
    DWORD id = 0;
};

Child Start(const std::wstring& arguments) {
    std::wstring line = L"\"" + ProgramPath() + L"\" " + arguments;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    Child c;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return c;
    tolo::UniqueHandle thread(pi.hThread);
    c.process.Reset(pi.hProcess);
    c.id = pi.dwProcessId;
    return c;
}

// The form of that process once it has been created.
HWND WaitForForm(const Child& c) {
    return test::FindProcessWindow(c.id, L"TfrmObxTestMain", 60000, L"Orbix Box Test Form");
}

DWORD WaitForExit(const Child& c) {
    if (WaitForSingleObject(c.process.Get(), 60000) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(c.process.Get(), &code);
    return code;
}

// Closes the form the way the system does and waits for the program to end.
DWORD Close(const Child& c, HWND form) {
    PostMessageW(form, WM_CLOSE, 0, 0);
    return WaitForExit(c);
}

struct ChildControl {
    std::wstring cls, text;
    int id;
};

BOOL CALLBACK CollectChild(HWND w, LPARAM param) {
    auto* out = reinterpret_cast<std::vector<ChildControl>*>(param);
    wchar_t cls[64] = {}, text[128] = {};
    GetClassNameW(w, cls, 64);
    // GetWindowTextW does not ask another process's edit fields for their text.
    SendMessageW(w, WM_GETTEXT, 128, reinterpret_cast<LPARAM>(text));
    out->push_back({cls, text, GetDlgCtrlID(w)});
    return TRUE;
}

class ObxTTProcessTest : public test::BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        test::EndLeftoverPrograms();  // a tool left running would be the first instance
    }
    void TearDown() override {
        // Leave nothing running should a check have failed half way.
        for (Child* c : {&first_, &second_})
            if (c->process && WaitForSingleObject(c->process.Get(), 0) == WAIT_TIMEOUT)
                TerminateProcess(c->process.Get(), 1);
        BoardTest::TearDown();
    }
    Child first_, second_;
};

TEST_F(ObxTTProcessTest, ASecondInstanceEndsAtOnceAndTheFirstStaysHidden) {
    first_ = Start(L"");
    ASSERT_TRUE(first_.process);
    HWND form = WaitForForm(first_);
    ASSERT_NE(form, nullptr);
    EXPECT_FALSE(IsWindowVisible(form));
    LONG_PTR ex = GetWindowLongPtrW(form, GWL_EXSTYLE);
    EXPECT_FALSE(ex & WS_EX_APPWINDOW);
    EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);

    second_ = Start(L"swdebug");
    ASSERT_TRUE(second_.process);
    EXPECT_EQ(WaitForExit(second_), 0u);
    EXPECT_EQ(test::FindProcessWindow(second_.id, L"TfrmObxTestMain"), nullptr);

    EXPECT_TRUE(IsWindow(form));  // the running one is unaffected
    EXPECT_EQ(WaitForSingleObject(first_.process.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(Close(first_, form), 0u);
}

TEST_F(ObxTTProcessTest, TheDebugWordInCapitalsKeepsTheFormHidden) {
    first_ = Start(L"SWDEBUG");
    HWND form = WaitForForm(first_);
    ASSERT_NE(form, nullptr);
    EXPECT_FALSE(IsWindowVisible(form));
    EXPECT_EQ(Close(first_, form), 0u);
}

TEST_F(ObxTTProcessTest, TheDebugWordInsideAnotherWordShowsTheWholeTestPanel) {
    first_ = Start(L"/noswdebugging");
    HWND form = WaitForForm(first_);
    ASSERT_NE(form, nullptr);
    // Shown when the message loop starts.
    for (int i = 0; i < 600 && !IsWindowVisible(form); ++i) Sleep(50);
    EXPECT_TRUE(IsWindowVisible(form));
    LONG_PTR ex = GetWindowLongPtrW(form, GWL_EXSTYLE);
    EXPECT_TRUE(ex & WS_EX_APPWINDOW);
    EXPECT_FALSE(ex & WS_EX_TOOLWINDOW);

    std::vector<ChildControl> controls;
    EnumChildWindows(form, CollectChild, reinterpret_cast<LPARAM>(&controls));
    std::map<std::wstring, int> perClass;
    std::map<int, std::wstring> textById;
    for (const ChildControl& c : controls) {
        ++perClass[c.cls];
        textById[c.id] = c.text;
    }
    EXPECT_EQ(perClass[L"Static"], 14);
    EXPECT_EQ(perClass[L"Edit"], 14);
    EXPECT_EQ(perClass[L"msctls_updown32"], 14);
    EXPECT_EQ(perClass[L"Button"], 15);
    // Labels 101.., edits 201.., buttons 401..
    EXPECT_EQ(textById[101], L"CPU Temperature");
    EXPECT_EQ(textById[104], L"BCLK");
    EXPECT_EQ(textById[114], L"Chassis3 FAN Duty");
    EXPECT_EQ(textById[201], L"50");
    EXPECT_EQ(textById[204], L"200");
    EXPECT_EQ(textById[209], L"800");
    EXPECT_EQ(textById[211], L"8");
    EXPECT_EQ(textById[214], L"3");
    EXPECT_EQ(textById[401], L"Write");
    EXPECT_EQ(textById[409], L"Sync Time");
    EXPECT_EQ(textById[415], L"Mute Switch");

    // Every up-down is bound to the edit field of its number, with the field's range.
    for (int n = 1; n <= 14; ++n) {
        HWND upDown = GetDlgItem(form, 300 + n);
        ASSERT_NE(upDown, nullptr) << n;
        EXPECT_EQ(reinterpret_cast<HWND>(SendMessageW(upDown, UDM_GETBUDDY, 0, 0)), GetDlgItem(form, 200 + n))
            << n;
    }
    LRESULT bclk = SendMessageW(GetDlgItem(form, 304), UDM_GETRANGE, 0, 0);
    EXPECT_EQ(LOWORD(bclk), 4000);
    EXPECT_EQ(HIWORD(bclk), 50);
    EXPECT_EQ(Close(first_, form), 0u);
}

}  // namespace
