// Measures, in one run on one machine: the late-bound round trip of an automation member call
// against the floor of an empty out-of-process call to the same server, the time from ApplyIndex to
// the chip's registers, and the cost of a FanStore write against the size of the file.
// Not a test: it prints numbers and ratios. Run by scripts/bench.sh inside the build's Wine prefix.
#include <oaidl.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "board/Board.h"
#include "fancore/FanStore.h"
#include "system/Handles.h"

namespace {

using Clock = std::chrono::steady_clock;

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The median of `rounds` timings of `step`, in microseconds.
template <typename Step>
double Median(int rounds, Step step) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        Clock::time_point start = Clock::now();
        step(i);
        times.push_back(MicrosSince(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::wstring OwnDirectory() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

bool Run(const std::wstring& commandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    tolo::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    DWORD code = 1;
    return WaitForSingleObject(process.Get(), 60000) == WAIT_OBJECT_0 &&
           GetExitCodeProcess(process.Get(), &code) && code == 0;
}

// A late-bound call as a scripting client makes it: the name looked up, then invoked.
HRESULT Invoke(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT count,
               VARIANT* result) {
    DISPID id;
    auto* names = const_cast<LPOLESTR>(name);
    HRESULT hr = object->GetIDsOfNames(IID_NULL, &names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS params{args, nullptr, count, 0};
    VariantInit(result);
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

HRESULT GetObject(IDispatch* object, const wchar_t* name, VARIANT* arg, IDispatch** out) {
    VARIANT v;
    HRESULT hr = Invoke(object, name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, arg, arg ? 1 : 0, &v);
    if (FAILED(hr)) return hr;
    if (v.vt != VT_DISPATCH || !v.pdispVal) {
        VariantClear(&v);
        return E_UNEXPECTED;
    }
    *out = v.pdispVal;
    return S_OK;
}

int BenchAutomation(const std::wstring& boardFile) {
    const std::wstring service = L"\"" + OwnDirectory() + L"QuilFanControlService.exe\"";
    sim::UseBoardFileForAllProcesses(boardFile);
    if (!Run(service + L" /RegServer")) {
        std::printf("the fan service could not be registered\n");
        return 1;
    }
    int rc = 1;
    {
        tolo::ComPtr<IDispatch> manager;
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(L"QuilFanControlService.FanControlManager", &clsid)) ||
            FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, manager.PutVoid()))) {
            std::printf("FanControlManager cannot be created\n");
        } else {
            tolo::ComPtr<IDispatch> fans, fan;
            VARIANT zero;
            VariantInit(&zero);
            zero.vt = VT_I4;
            zero.lVal = 0;
            if (FAILED(GetObject(manager.Get(), L"Controls", nullptr, fans.Put())) ||
                FAILED(GetObject(fans.Get(), L"Item", &zero, fan.Put()))) {
                std::printf("the demonstration board's first fan is not served\n");
            } else {
                const int rounds = 400;
                UINT count = 0;
                double empty = Median(rounds, [&](int) { manager->GetTypeInfoCount(&count); });
                double member = Median(rounds, [&](int) {
                    VARIANT v;
                    Invoke(fan.Get(), L"DutyCycle", DISPATCH_PROPERTYGET, nullptr, 0, &v);
                    VariantClear(&v);
                });
                std::printf("empty out-of-process call (GetTypeInfoCount): %9.1f us\n", empty);
                std::printf("late-bound member call (fan.DutyCycle):       %9.1f us   x%.1f\n", member,
                            member / empty);

                // Two standard profiles in turn, so that every call changes the registers.
                double apply = Median(100, [&](int i) {
                    VARIANT index, v;
                    VariantInit(&index);
                    index.vt = VT_I4;
                    index.lVal = 1 + (i % 2);
                    Invoke(fan.Get(), L"ApplyIndex", DISPATCH_METHOD, &index, 1, &v);
                    VariantClear(&v);
                });
                const uint32_t before = sim::NextWriteSeq();
                VARIANT index, v;
                VariantInit(&index);
                index.vt = VT_I4;
                index.lVal = 3;
                Invoke(fan.Get(), L"ApplyIndex", DISPATCH_METHOD, &index, 1, &v);
                const size_t writes = sim::Writes(before).size();
                std::printf(
                    "ApplyIndex to the chip's registers:           %9.1f us   x%.1f (%zu register writes)\n",
                    apply, apply / empty, writes);
                rc = 0;
            }
        }
    }
    Run(service + L" /UnregServer");
    return rc;
}

// FanStore.xml grown with more fans' curves; one setting written (and the file saved) each round.
void BenchFanStore() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    char narrow[MAX_PATH];
    WideCharToMultiByte(CP_ACP, 0, temp, -1, narrow, MAX_PATH, nullptr, nullptr);
    const std::string path = std::string(narrow) + "quilbench-FanStore.xml";
    DeleteFileA(path.c_str());
    UseFanStorePath(path);
    FanStore& store = FanStore::Instance();
    FanPoints curve;
    for (int i = 0; i < 8; ++i) curve.push_back({20 + 10 * i, 30 * i});
    int fans = 0;
    std::printf("FanStore write (one value, file saved whole):\n");
    double first = 0;
    for (int target : {1, 8, 64, 256}) {
        for (; fans < target; ++fans) store.WriteCurve(fans * 2, curve, false);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
        double t = Median(50, [&](int i) { store.SetStepUpTime(0, i); });
        if (first == 0) first = t;
        std::printf("  %4d fans, %7lu bytes: %9.1f us   x%.1f\n", fans, data.nFileSizeLow, t, t / first);
    }
    DeleteFileA(path.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::printf("usage: quilbench BOARD-FILE\n");
        return 2;
    }
    // This process and the servers COM starts share the board loaded from the description.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring state = std::wstring(temp) + L"quilbench.state";
    DeleteFileW(state.c_str());
    sim::UseBoardFile(state);
    std::string error;
    if (!sim::LoadBoardFile(argv[1], &error)) {
        std::printf("board: %s\n", error.c_str());
        return 2;
    }
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 1;
    int rc = BenchAutomation(state);
    CoUninitialize();
    BenchFanStore();
    return rc;
}
