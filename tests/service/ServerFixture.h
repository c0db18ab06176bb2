// System tests of the real QuilFanControlService.exe: running it with a switch, creating its
// manager as a client in another process, and VBScript clients run with cscript.
#pragma once

#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <fstream>
#include <string>

#include "SystemProcess.h"
#include "board/Board.h"
#include "support/BoardTest.h"
#include "support/ServiceState.h"

namespace test {

inline const wchar_t kServiceExe[] = L"QuilFanControlService.exe";
inline const wchar_t kManagerProgId[] = L"QuilFanControlService.FanControlManager";
inline const wchar_t kManagerClassId[] = L"{6A2E41D7-3C95-4B80-A1F6-2D7C09E5B318}";

// Runs the service executable with a switch; a message box would keep it from finishing.
inline ProgramResult RunService(const std::wstring& arguments) {
    return RunProgram(L"\"" + BuiltProgram(kServiceExe) + L"\" " + arguments, 60000);
}

// The manager as a client in another process receives it (COM starts the server on demand).
inline HRESULT CreateManager(IDispatch** out) {
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(kManagerProgId, &clsid);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(out));
}

// Each test on its own board, seen by every process of the prefix, with no server registered or
// running before and after it, and no settings of the service's left before it.
class ServerTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        sim::UseBoardFileForAllProcesses(BoardFile());
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        // Leftovers of an earlier test would change what this one sees. That test fails in its
        // tear-down; this one ends them (a server a moment after its last client may still be
        // on its way out) and goes on.
        WaitUntilNoProcessNamed(kServiceExe, 5000);
        EndLeftoverPrograms();
        // Every start of the executable, a registration too, restores the settings file and "BIOS
        // fan patch" onto this test's board: a test killed half way leaves both behind.
        ForgetServiceState();
        ASSERT_TRUE(RunService(L"/UnregServer").finished);
        CLSID manager;
        ASSERT_EQ(S_OK, CLSIDFromString(kManagerClassId, &manager));
        ForgetClassOfKilledServer(manager);
    }
    void TearDown() override {
        CoUninitialize();
        RunService(L"/UnregServer");
        EXPECT_TRUE(WaitUntilNoProcessNamed(kServiceExe, 20000)) << "a server outlived its test";
        BoardTest::TearDown();
    }

    // Writes a VBScript file into the temporary folder and runs it with cscript.
    ProgramResult RunScript(const std::string& script) {
        wchar_t dir[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        std::wstring path =
            std::wstring(dir) + L"quil-client-" + std::to_wstring(GetCurrentProcessId()) + L".vbs";
        {
            std::ofstream file(path.c_str(), std::ios::binary);
            file << script;
        }
        ProgramResult r = RunProgram(L"cscript.exe //nologo \"" + path + L"\"", 60000);
        DeleteFileW(path.c_str());
        return r;
    }
};

// The built service registered for COM to start on the test's board, from no settings file and no
// "BIOS fan patch"; unregistered, its servers ended and what it left deleted after the test.
class RegisteredServiceTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(0u, RunService(L"/RegServer").exitCode);
    }
    void TearDown() override {
        ServerTest::TearDown();
        ForgetServiceState();
    }
};

}  // namespace test
