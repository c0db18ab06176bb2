// The utility library's mailslot server, named-pipe client and error trace.
#include <windows.h>

#include <cstring>
#include <string>
#include <thread>

#include "support/BoardTest.h"
#include "support/Capture.h"
#include "system/Handles.h"
#include "system/Trace.h"
#include "system/WinMailSlot.h"
#include "system/WinPipe.h"

namespace {

// Mailslot names are machine-wide: each test takes its own.
std::wstring UniqueName(const wchar_t* stem) {
    return std::wstring(stem) + L"-" + std::to_wstring(GetCurrentProcessId());
}

bool WriteMessage(const std::wstring& name, const void* data, DWORD size) {
    tolo::UniqueHandle slot(CreateFileW((L"\\\\.\\mailslot\\" + name).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return slot && WriteFile(slot.Get(), data, size, &written, nullptr) && written == size;
}

TEST(Mailslot, ReadsTheMessagesWrittenToItsNameInOrder) {
    const std::wstring name = UniqueName(L"MailslotOrder");
    tolo::MailslotW slot;
    EXPECT_FALSE(slot.IsOpen());
    ASSERT_TRUE(slot.Create(name.c_str(), 0, 0, nullptr));
    EXPECT_TRUE(slot.IsOpen());
    ASSERT_TRUE(WriteMessage(name, "first", 6));
    ASSERT_TRUE(WriteMessage(name, "second", 7));
    char buf[32] = {};
    DWORD read = 0;
    ASSERT_TRUE(slot.Read(buf, sizeof buf, &read, nullptr));
    EXPECT_EQ(read, 6u);
    EXPECT_STREQ(buf, "first");
    ASSERT_TRUE(slot.Read(buf, sizeof buf, &read, nullptr));
    EXPECT_STREQ(buf, "second");
}

TEST(Mailslot, ReadWithNothingWaitingFailsAfterItsTimeoutWithTheTrace) {
    const std::wstring name = UniqueName(L"MailslotTimeout");
    tolo::MailslotW slot;
    ASSERT_TRUE(slot.Create(name.c_str(), 0, 0, nullptr));
    test::TraceCapture traces;
    char buf[8];
    DWORD read = 0;
    EXPECT_FALSE(slot.Read(buf, sizeof buf, &read, nullptr));
    EXPECT_EQ(traces.Lines(),
              (std::vector<std::wstring>{L"[BasicMailslot<char_t>::Read] failed, GetLastError returned " +
                                         std::to_wstring(ERROR_SEM_TIMEOUT) + L"\r\n"}));
}

TEST(Mailslot, NameInUseFailsWithTheTraceAndLeavesItClosed) {
    const std::wstring name = UniqueName(L"MailslotTaken");
    tolo::MailslotW first, second;
    ASSERT_TRUE(first.Create(name.c_str(), 0, 0, nullptr));
    test::TraceCapture traces;
    EXPECT_FALSE(second.Create(name.c_str(), 0, 0, nullptr));
    EXPECT_FALSE(second.IsOpen());
    ASSERT_EQ(traces.Lines().size(), 1u);
    EXPECT_EQ(traces.Lines()[0].rfind(L"[BasicMailSlot::Create] failed! GetLastError returned ", 0), 0u);
}

TEST(Mailslot, CreateOnAnOpenMailslotIsRefusedAndKeepsTheFirst) {
    const std::wstring name = UniqueName(L"MailslotTwice");
    tolo::MailslotW slot;
    ASSERT_TRUE(slot.Create(name.c_str(), 0, 0, nullptr));
    EXPECT_FALSE(slot.Create((name + L"-other").c_str(), 0, 0, nullptr));
    EXPECT_FALSE(slot.Create(nullptr, 0, 0, nullptr));
    // The other name was never created, and the first mailslot still takes messages.
    EXPECT_FALSE(WriteMessage(name + L"-other", "x", 1));
    ASSERT_TRUE(WriteMessage(name, "kept", 5));
    char buf[8] = {};
    DWORD read = 0;
    EXPECT_TRUE(slot.Read(buf, sizeof buf, &read, nullptr));
    EXPECT_STREQ(buf, "kept");
}

TEST(Mailslot, CloseFreesTheNameAndIsHarmlessTwice) {
    const std::wstring name = UniqueName(L"MailslotClose");
    tolo::MailslotW slot;
    EXPECT_TRUE(slot.Close());  // nothing to close
    ASSERT_TRUE(slot.Create(name.c_str(), 0, 0, nullptr));
    EXPECT_TRUE(slot.Close());
    EXPECT_FALSE(slot.IsOpen());
    EXPECT_TRUE(slot.Close());
    EXPECT_FALSE(WriteMessage(name, "x", 1));
    tolo::MailslotW again;
    EXPECT_TRUE(again.Create(name.c_str(), 0, 0, nullptr));
}

TEST(Mailslot, DestructorClosesTheMailslot) {
    const std::wstring name = UniqueName(L"MailslotScope");
    {
        tolo::MailslotW slot;
        ASSERT_TRUE(slot.Create(name.c_str(), 0, 0, nullptr));
    }
    EXPECT_FALSE(WriteMessage(name, "x", 1));
}

TEST(NamedPipe, NameIsServerThenPipeThenName) {
    EXPECT_EQ(tolo::NamedPipeW::MakePipeName(L".", L"QUIL SYSTEM CONTROL PIPE"),
              L"\\\\.\\PIPE\\QUIL SYSTEM CONTROL PIPE");
    EXPECT_EQ(tolo::NamedPipeW::MakePipeName(L"host", L"p"), L"\\\\host\\PIPE\\p");
}

TEST(NamedPipe, CallOfAnAbsentPipeFailsAtOnceWithTheTrace) {
    test::TraceCapture traces;
    tolo::NamedPipeW pipe;
    char in[4] = {}, out[16];
    DWORD read = 0;
    EXPECT_FALSE(pipe.Call(L".", UniqueName(L"NoSuchPipe").c_str(), in, sizeof in, out, sizeof out, &read,
                           NMPWAIT_WAIT_FOREVER));
    EXPECT_EQ(traces.Lines(),
              (std::vector<std::wstring>{L"[BasicNamedPipe<char_t>::Call] failed, GetLastError returned " +
                                         std::to_wstring(ERROR_FILE_NOT_FOUND) + L"\r\n"}));
    EXPECT_TRUE(pipe.Close());
}

TEST(NamedPipe, CallWritesTheRequestAndReadsTheAnswer) {
    const std::wstring name = UniqueName(L"EchoPipe");
    tolo::UniqueHandle server(CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX,
                                               PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 512,
                                               512, 0, nullptr));
    ASSERT_TRUE(server);
    std::string got;
    std::thread echo([&] {
        if (!ConnectNamedPipe(server.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
        char buf[64];
        DWORD n = 0;
        if (ReadFile(server.Get(), buf, sizeof buf, &n, nullptr)) got.assign(buf, n);
        WriteFile(server.Get(), "answer", 6, &n, nullptr);
        FlushFileBuffers(server.Get());
        DisconnectNamedPipe(server.Get());
    });
    tolo::NamedPipeW pipe;
    char out[16] = {};
    DWORD read = 0;
    EXPECT_TRUE(pipe.Call(L".", name.c_str(), const_cast<char*>("request"), 7, out, sizeof out, &read,
                          NMPWAIT_WAIT_FOREVER));
    echo.join();
    EXPECT_EQ(got, "request");
    EXPECT_EQ(std::string(out, read), "answer");
}

TEST(TraceError, EndsInOneLineBreakAfterTheTextWithoutItsTrailingSpace) {
    test::TraceCapture traces;
    tolo::TraceError("code %d \t\r\n\n", 5);
    tolo::TraceError("%s", "");
    EXPECT_EQ(traces.Lines(), (std::vector<std::wstring>{L"code 5\r\n", L"\r\n"}));
}

TEST(TraceError, OverlongTextKeepsItsFirst4093Characters) {
    test::TraceCapture traces;
    const std::string text(5000, 'x');
    tolo::TraceError("%s", text.c_str());
    ASSERT_EQ(traces.Lines().size(), 1u);
    EXPECT_EQ(traces.Lines()[0], std::wstring(4093, L'x') + L"\r\n");
}

}  // namespace
