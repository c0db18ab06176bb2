// Control tool of the simulated board, for scripts and the demo.
//   simctl load FILE          empty the board and load a board description
//   simctl apply "STATEMENT"  apply description statements to the board as it is
//   simctl show               print the board's state
//   simctl writes [FROM]      print the write log from sequence number FROM
//   simctl item ID            print an item's value and buffer
//   simctl hwm BANK REG       print a hardware-monitor register
//   simctl seq                print the next write's sequence number
//   simctl power suspend|resume
//                             send the power broadcast to every top-level window "Fan Service"
//                             (the machine going to sleep, or waking up)
// The board file is %QUIL_SIM_BOARD% (default C:\quilsim\board.state).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/Board.h"

namespace {

int Usage() {
    std::fprintf(
        stderr,
        "usage: simctl load FILE | apply STATEMENT | show | writes [FROM] | item ID | hwm BANK REG | seq |\n"
        "              power suspend|resume\n");
    return 2;
}

const char* KindName(sim::WriteKind k) {
    switch (k) {
        case sim::WriteKind::Config: return "config";
        case sim::WriteKind::Monitor: return "monitor";
        case sim::WriteKind::MonitorBios: return "monitor-bios";
        case sim::WriteKind::ItemSet: return "item";
        case sim::WriteKind::BufferSet: return "buffer";
        case sim::WriteKind::MsrWrite: return "msr";
    }
    return "?";
}

unsigned long Num(const char* s) {
    return std::strtoul(s, nullptr, 0);
}

BOOL CALLBACK CollectFanServiceWindow(HWND window, LPARAM windows) {
    wchar_t text[32] = {};
    GetWindowTextW(window, text, 32);
    if (std::wstring(text) == L"Fan Service")
        reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

// What the system sends every top-level window when the machine sleeps or wakes.
int Power(bool resume) {
    std::vector<HWND> windows;
    EnumWindows(CollectFanServiceWindow, reinterpret_cast<LPARAM>(&windows));
    for (HWND w : windows) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(w, WM_POWERBROADCAST, resume ? PBT_APMRESUMEAUTOMATIC : PBT_APMSUSPEND, 0,
                            SMTO_NORMAL, 60000, &result);
    }
    std::printf("%s sent to %zu \"Fan Service\" window(s)\n", resume ? "resume" : "suspend", windows.size());
    return windows.empty() ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    std::wstring cmd = argv[1];
    auto narrow = [](const wchar_t* w) {
        std::string s;
        for (; *w; ++w) s += static_cast<char>(*w);
        return s;
    };
    std::string error;
    if (cmd == L"load" && argc == 3) {
        if (!sim::LoadBoardFile(argv[2], &error)) {
            std::fprintf(stderr, "simctl: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (cmd == L"apply" && argc >= 3) {
        std::string text;
        for (int i = 2; i < argc; ++i) text += narrow(argv[i]) + "\n";
        if (!sim::ApplyBoardText(text, &error)) {
            std::fprintf(stderr, "simctl: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (cmd == L"show") {
        std::fputs(sim::DescribeBoard().c_str(), stdout);
        return 0;
    }
    if (cmd == L"writes") {
        uint32_t from = argc > 2 ? Num(narrow(argv[2]).c_str()) : 0;
        for (const sim::WriteRecord& r : sim::Writes(from))
            std::printf("%u %s 0x%X 0x%X 0x%X%s\n", r.seq, KindName(r.kind), r.a, r.b, r.c,
                        r.locked ? " locked" : "");
        return 0;
    }
    if (cmd == L"item" && argc == 3) {
        uint32_t id = Num(narrow(argv[2]).c_str());
        const sim::BiosItem* it = sim::FindItem(id);
        if (!it) {
            std::printf("absent\n");
            return 1;
        }
        std::printf("0x%08X value %d\nbuffer:", it->id, it->value);
        for (uint8_t b : sim::ItemBuffer(id)) std::printf(" %02X", b);
        std::printf("\n");
        return 0;
    }
    if (cmd == L"hwm" && argc == 4) {
        std::printf("0x%02X\n", sim::MonitorRead(Num(narrow(argv[2]).c_str()), Num(narrow(argv[3]).c_str())));
        return 0;
    }
    if (cmd == L"seq") {
        std::printf("%u\n", sim::NextWriteSeq());
        return 0;
    }
    if (cmd == L"power" && argc == 3) {
        std::wstring what = argv[2];
        if (what == L"suspend" || what == L"resume") return Power(what == L"resume");
    }
    return Usage();
}
