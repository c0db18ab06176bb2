// A processor of the test's choosing behind the CPU monitor's sources: CPUID leaves, per-processor
// APIC ids, a clock that sleeping advances, a TSC that follows the clock, and affinity that is
// only recorded. The board's MSRs and PCI registers come from the QuilIO stand-in as usual.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace test {

struct FakeMachine {
    std::map<std::pair<uint32_t, uint32_t>, std::array<uint32_t, 4>> leaves;  // (leaf, sub-leaf)
    std::vector<uint32_t> apicIds;  // CPUID 1 EBX bits 31:24, per logical processor
    DWORD processors = 1;
    std::atomic<DWORD> nowMs{1000};
    std::atomic<uint64_t> ticksPerMs{3400000};
    std::atomic<uint32_t> tscReads{0};
    // Called on every sleep before the clock moves, with the sleeping thread's processor.
    std::function<void(DWORD ms, uint32_t processor)> onSleep;
    // Called with each thread the monitor creates, before its creator gets the handle back.
    std::function<void(HANDLE thread, DWORD threadId)> onThreadCreated;

    std::mutex lock;
    std::vector<std::pair<DWORD, DWORD>> sleeps;  // (thread id, ms)

    void Vendor(const char* name, uint32_t maxLeaf = 0xD);
    void Leaf(uint32_t leaf, uint32_t eax, uint32_t ebx = 0, uint32_t ecx = 0, uint32_t edx = 0,
              uint32_t sub = 0);
    // An Intel processor with HTT: cores x threads logical processors, APIC ids in order.
    void IntelTopology(uint32_t signature, uint32_t cores, uint32_t threads);
    std::vector<DWORD> SleepsOf(DWORD threadId);
};

// Installs a fresh fake machine as the CPU monitor's sources and returns it.
FakeMachine& InstallFakeMachine();
// The fake machine as an Intel processor whose clock a test works out by hand: a TSC of 3333 MHz,
// nominal ratio 34 and current ratio 40 (the board's MSRs 0xCE and 0x198). The core clock is
// 3333 / 34 x 40 = 3921.2 MHz, the bus clock 3921.2 / 40 = 98.03 MHz: 980 tenths.
FakeMachine& InstallKnownIntel();
// The processor the calling thread was last pinned to (lowest bit of its last mask).
uint32_t CurrentFakeProcessor();

}  // namespace test
