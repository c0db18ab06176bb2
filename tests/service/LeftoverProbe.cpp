// A test program that the system tests run to see the fixtures' clean-up of a leftover: its first
// test leaves the server it started held by a thread of this process that never lets go, its second
// kills its server outright, and its last, run next in the same process, starts from what they left.
#include <gtest/gtest.h>
#include <windows.h>

#include "ServerFixture.h"
#include "system/Handles.h"

namespace {

struct Holder {
    tolo::UniqueHandle ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    HRESULT created = E_FAIL;
};

// Takes a manager in an apartment of its own and keeps it for the life of the process.
DWORD WINAPI HoldManager(LPVOID param) {
    auto* holder = static_cast<Holder*>(param);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IDispatch* manager = nullptr;
    holder->created = test::CreateManager(&manager);
    SetEvent(holder->ready.Get());
    Sleep(INFINITE);
    return 0;
}

class LeftoverProbe : public test::ServerTest {};

TEST_F(LeftoverProbe, LeavesItsServerHeld) {
    ASSERT_EQ(0u, test::RunService(L"/RegServer").exitCode);
    static Holder holder;  // the thread outlives the test
    ASSERT_TRUE(holder.ready);
    tolo::UniqueHandle thread(CreateThread(nullptr, 0, HoldManager, &holder, 0, nullptr));
    ASSERT_TRUE(thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(holder.ready.Get(), 60000));
    ASSERT_EQ(S_OK, holder.created);
    ASSERT_EQ(1u, test::ProcessesNamed(test::kServiceExe).size());
}

// A server killed outright, as the set-up ends one that does not quit: its class stays registered.
TEST_F(LeftoverProbe, KillsItsServerOutright) {
    ASSERT_EQ(0u, test::RunService(L"/RegServer").exitCode);
    tolo::ComPtr<IDispatch> manager;
    ASSERT_EQ(S_OK, test::CreateManager(manager.Put()));
    for (DWORD id : test::ProcessesNamed(test::kServiceExe)) {
        tolo::UniqueHandle server(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
        ASSERT_TRUE(server && TerminateProcess(server.Get(), 1));
        WaitForSingleObject(server.Get(), 5000);
    }
}

TEST_F(LeftoverProbe, FindsOnlyItsOwnServer) {
    ASSERT_EQ(0u, test::RunService(L"/RegServer").exitCode);
    EXPECT_TRUE(test::ProcessesNamed(test::kServiceExe).empty());
    tolo::ComPtr<IDispatch> manager;
    ASSERT_EQ(S_OK, test::CreateManager(manager.Put()));
    EXPECT_EQ(1u, test::ProcessesNamed(test::kServiceExe).size());
}

}  // namespace
