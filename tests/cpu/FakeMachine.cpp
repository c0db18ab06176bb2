#include "FakeMachine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "board/Board.h"
#include "boxtool/IoWrappers.h"

namespace test {

namespace {

FakeMachine* g_machine = nullptr;
thread_local DWORD_PTR t_mask = 0;

void Cpuid(uint32_t leaf, uint32_t sub, uint32_t regs[4]) {
    auto it = g_machine->leaves.find({leaf, sub});
    if (it == g_machine->leaves.end()) it = g_machine->leaves.find({leaf, 0});
    std::array<uint32_t, 4> r{};
    if (it != g_machine->leaves.end()) r = it->second;
    if (leaf == 1 && !g_machine->apicIds.empty()) {
        const uint32_t p = CurrentFakeProcessor();
        const uint32_t apic = p < g_machine->apicIds.size() ? g_machine->apicIds[p] : 0;
        r[1] = (r[1] & 0x00FFFFFF) | apic << 24;
    }
    std::memcpy(regs, r.data(), 16);
}

uint64_t Tsc() {
    ++g_machine->tscReads;
    return uint64_t(g_machine->nowMs.load()) * g_machine->ticksPerMs.load();
}

DWORD Now() {
    return g_machine->nowMs.load();
}

void FakeSleep(DWORD ms) {
    {
        std::lock_guard<std::mutex> lock(g_machine->lock);
        g_machine->sleeps.emplace_back(GetCurrentThreadId(), ms);
    }
    if (g_machine->onSleep) g_machine->onSleep(ms, CurrentFakeProcessor());
    g_machine->nowMs += ms;
}

DWORD_PTR Affinity(HANDLE thread, DWORD_PTR mask) {
    if (!mask) return 0;
    if (thread != GetCurrentThread()) return 1;  // another thread: only answered
    const DWORD_PTR previous = t_mask ? t_mask : 1;
    t_mask = mask;
    return previous;
}

DWORD Processors() {
    return g_machine->processors;
}

HANDLE Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, DWORD* id) {
    HANDLE thread = CreateThread(nullptr, 0, start, parameter, flags, id);
    if (thread && g_machine->onThreadCreated)
        g_machine->onThreadCreated(thread, id ? *id : GetThreadId(thread));
    return thread;
}

}  // namespace

void FakeMachine::Vendor(const char* name, uint32_t maxLeaf) {
    uint32_t r[3];
    std::memcpy(r, name, 12);  // EBX, EDX, ECX
    Leaf(0, maxLeaf, r[0], r[2], r[1]);
}

void FakeMachine::Leaf(uint32_t leaf, uint32_t eax, uint32_t ebx, uint32_t ecx, uint32_t edx, uint32_t sub) {
    leaves[{leaf, sub}] = {eax, ebx, ecx, edx};
}

void FakeMachine::IntelTopology(uint32_t signature, uint32_t cores, uint32_t threads) {
    Vendor("GenuineIntel");
    Leaf(1, signature, (cores * threads) << 16, 0, 1u << 28);
    Leaf(4, (cores - 1) << 26);
    processors = cores * threads;
    apicIds.clear();
    for (uint32_t i = 0; i < processors; ++i) apicIds.push_back(i);
}

std::vector<DWORD> FakeMachine::SleepsOf(DWORD threadId) {
    std::lock_guard<std::mutex> l(lock);
    std::vector<DWORD> out;
    for (auto& s : sleeps)
        if (s.first == threadId) out.push_back(s.second);
    return out;
}

FakeMachine& InstallFakeMachine() {
    g_machine = new FakeMachine;  // outlives the measuring thread
    g_cpuSources = {&Cpuid, &Tsc, &Now, &FakeSleep, &Affinity, &Processors, &Thread};
    return *g_machine;
}

uint32_t CurrentFakeProcessor() {
    uint32_t p = 0;
    for (DWORD_PTR m = t_mask; m && !(m & 1); m >>= 1) ++p;
    return p;
}

FakeMachine& InstallKnownIntel() {
    FakeMachine& machine = InstallFakeMachine();
    machine.IntelTopology(0x906EA, 2, 1);
    machine.ticksPerMs = 3333000;
    std::string error;
    EXPECT_TRUE(sim::ApplyBoardText("msr 0xCE 0x2200\nmsr 0x198 0x2800", &error)) << error;
    return machine;
}

}  // namespace test
