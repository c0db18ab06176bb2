// Clients that come and go at once, as the local server sees them in use: each client, in a loop,
// creates the manager, reads MaxStepTime and Controls.Count and lets go, with its own gap between
// rounds. Counts each client's activations and failures (by HRESULT and where in the round), and
// samples the server processes meanwhile: how many ran, and how many had started serving (a
// process that serves has its hidden window "Fan Service"), at moments when clients held managers.
// Not a test: run by scripts/churn.sh inside the build's Wine prefix. Exits with 1 when a round
// failed, two processes served at once or a server outlived the run by two minutes.
//
//   quilchurn BOARD-DESCRIPTION [SECONDS] [GAP-MS...]   the run (default 60 s; gaps 0 130 470)
//   quilchurn /client SECONDS GAP-MS                     one client (started by the run)
#include <oaidl.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "LateBound.h"
#include "board/Board.h"
#include "support/StartedProgram.h"
#include "system/Handles.h"

namespace {

constexpr wchar_t kServiceExe[] = L"QuilFanControlService.exe";
constexpr wchar_t kPowerWindow[] = L"Fan Service";
// How many clients hold a manager now: a counter that the clients and the run share.
constexpr wchar_t kHoldersName[] = L"quilchurn-holders";

volatile LONG* Holders(tolo::UniqueHandle* mapping) {
    mapping->Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, kHoldersName));
    if (!*mapping) return nullptr;
    return static_cast<volatile LONG*>(MapViewOfFile(mapping->Get(), FILE_MAP_WRITE, 0, 0, 4096));
}

// One round; the failing step's name, or null.
const char* Round(const CLSID& clsid, volatile LONG* holders, HRESULT* hr) {
    tolo::ComPtr<IDispatch> manager;
    *hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, manager.PutVoid());
    if (FAILED(*hr)) return "activation";
    InterlockedIncrement(holders);
    const char* failed = nullptr;
    VARIANT v;
    if (FAILED(*hr = test::Get(manager.Get(), L"MaxStepTime", &v))) {
        failed = "MaxStepTime";
    } else if (VariantClear(&v), FAILED(*hr = test::Get(manager.Get(), L"Controls", &v))) {
        failed = "Controls";
    } else if (v.vt != VT_DISPATCH || !v.pdispVal) {
        *hr = E_UNEXPECTED;
        failed = "Controls";
        VariantClear(&v);
    } else {
        tolo::ComPtr<IDispatch> controls(v.pdispVal);
        if (FAILED(*hr = test::Get(controls.Get(), L"Count", &v)))
            failed = "Count";
        else if (VariantChangeType(&v, &v, 0, VT_I4) != S_OK || v.lVal <= 0)
            *hr = E_UNEXPECTED, failed = "Count";
        VariantClear(&v);
    }
    InterlockedDecrement(holders);
    return failed;
}

int RunClient(DWORD seconds, DWORD gap) {
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    tolo::UniqueHandle mapping;
    volatile LONG* holders = Holders(&mapping);
    CLSID clsid;
    if (!holders || FAILED(CLSIDFromProgID(L"QuilFanControlService.FanControlManager", &clsid))) return 1;
    unsigned rounds = 0, failures = 0;
    std::map<std::string, unsigned> kinds;
    std::string log;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000) {
        const DWORD began = GetTickCount();
        HRESULT hr = S_OK;
        const char* failed = Round(clsid, holders, &hr);
        ++rounds;
        if (failed) {
            ++failures;
            char text[160];
            std::snprintf(text, sizeof text, "%s 0x%08lX", failed, static_cast<unsigned long>(hr));
            ++kinds[text];
            std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text),
                          " at %.1f s after %.1f s", (began - start) / 1000.0,
                          (GetTickCount() - began) / 1000.0);
            log += std::string("  ") + text + "\n";
        }
        Sleep(gap);
    }
    std::printf("client (gap %lu ms): %u rounds, %u failed\n", static_cast<unsigned long>(gap), rounds,
                failures);
    for (const auto& [kind, n] : kinds) std::printf("  %ux %s\n", n, kind.c_str());
    std::printf("%s", log.c_str());
    std::fflush(stdout);
    CoUninitialize();
    return failures ? 3 : 0;
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

// Processes that have the service's hidden power window, created once a server has started serving.
size_t ServingProcesses() {
    std::vector<DWORD> ids;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, kPowerWindow, nullptr)) != nullptr;) {
        DWORD id = 0;
        GetWindowThreadProcessId(w, &id);
        bool seen = false;
        for (DWORD other : ids) seen = seen || other == id;
        if (!seen) ids.push_back(id);
    }
    return ids.size();
}

int RunChurn(const std::wstring& board, DWORD seconds, const std::vector<DWORD>& gaps) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring state = std::wstring(temp) + L"quilchurn.state";
    DeleteFileW(state.c_str());
    sim::UseBoardFile(state);
    std::string error;
    if (!sim::LoadBoardFile(board, &error)) {
        std::printf("board: %s\n", error.c_str());
        return 2;
    }
    sim::UseBoardFileForAllProcesses(state);
    const std::wstring self = L"\"" + OwnPath() + L"\"";
    const std::wstring service = L"\"" + test::BuiltProgram(kServiceExe) + L"\"";
    {
        test::StartedProgram reg(service + L" /RegServer");
        if (reg.WaitForExit(60000) != 0) {
            std::printf("the fan service could not be registered\n");
            return 1;
        }
    }
    tolo::UniqueHandle mapping;
    volatile LONG* holders = Holders(&mapping);
    if (!holders) return 1;
    std::vector<std::unique_ptr<test::StartedProgram>> clients;
    for (DWORD gap : gaps)
        clients.push_back(std::make_unique<test::StartedProgram>(
            self + L" /client " + std::to_wstring(seconds) + L" " + std::to_wstring(gap),
            test::StartedProgram::Options{.output = true}));
    size_t mostServers = 0, mostServing = 0, mostServersHeld = 0, mostServingHeld = 0, samples = 0;
    unsigned twoServing = 0;
    auto running = [&clients] {
        for (const auto& c : clients)
            if (c->Running()) return true;
        return false;
    };
    while (running()) {
        const LONG held = *holders;
        const size_t servers = test::ProcessesNamed(kServiceExe).size();
        const size_t serving = ServingProcesses();
        // Counted again after the processes: a client held a manager all through the sample.
        const bool holding = held > 0 && *holders > 0;
        mostServers = std::max(mostServers, servers);
        mostServing = std::max(mostServing, serving);
        if (holding) {
            ++samples;
            mostServersHeld = std::max(mostServersHeld, servers);
            mostServingHeld = std::max(mostServingHeld, serving);
            if (serving > 1) ++twoServing;
        }
        Sleep(20);
    }
    bool failed = false;
    for (const auto& c : clients) {
        std::printf("%s", c->Output().c_str());
        failed = c->WaitForExit(0) != 0 || failed;
    }
    std::printf("server processes at once: at most %zu (%zu while clients held managers)\n", mostServers,
                mostServersHeld);
    std::printf(
        "serving processes at once: at most %zu (%zu while clients held managers; "
        "%u of %zu samples with more than one)\n",
        mostServing, mostServingHeld, twoServing, samples);
    const DWORD endStart = GetTickCount();
    const bool ended = test::WaitUntilNoProcessNamed(kServiceExe, 120000);
    std::printf("the last server process %s %.1f s after the clients\n", ended ? "ended" : "still ran",
                (GetTickCount() - endStart) / 1000.0);
    test::StartedProgram unreg(service + L" /UnregServer");
    unreg.WaitForExit(60000);
    return failed || twoServing || !ended ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 4 && _wcsicmp(argv[1], L"/client") == 0)
        return RunClient(std::wcstoul(argv[2], nullptr, 10), std::wcstoul(argv[3], nullptr, 10));
    if (argc < 2) {
        std::printf("usage: quilchurn BOARD-DESCRIPTION [SECONDS] [GAP-MS...]\n");
        return 2;
    }
    const DWORD seconds = argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : 60;
    std::vector<DWORD> gaps;
    for (int i = 3; i < argc; ++i) gaps.push_back(std::wcstoul(argv[i], nullptr, 10));
    if (gaps.empty()) gaps = {0, 130, 470};
    return RunChurn(argv[1], seconds, gaps);
}
