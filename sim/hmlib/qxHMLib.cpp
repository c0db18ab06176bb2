// Stand-in for the maker's hardware-monitor library over the board's sensors. HM_GetData answers
// count-then-fill: with a null buffer the number of sensors of a type, with a buffer those
// sensors as 68-byte records, in board order.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "../board/Board.h"

using sim::State;

namespace {

// The record as the library's callers read it; the fields nobody reads stay zero.
struct ProbeRecord {
    int32_t type;
    int32_t reading;
    uint8_t unused[16];
    uint32_t values[3];
    char name[32];
};
static_assert(sizeof(ProbeRecord) == 68, "the callers' record size");

std::vector<ProbeRecord> Sample(int type) {
    sim::BoardLock lock;
    const sim::SensorState& s = State()->sensors;
    std::vector<ProbeRecord> out;
    for (uint32_t i = 0; i < s.count && i < static_cast<uint32_t>(sim::kMaxSensors); ++i) {
        const sim::SensorRecord& r = s.records[i];
        if (r.type != type) continue;
        ProbeRecord p{};
        p.type = r.type;
        p.reading = r.reading;
        std::memcpy(p.values, r.values, sizeof p.values);
        std::memcpy(p.name, r.name, sizeof p.name);
        out.push_back(p);
    }
    return out;
}

void Count(uint32_t sim::SensorState::*counter) {
    sim::BoardLock lock;
    ++(State()->sensors.*counter);
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH && (State()->libraryFaults & sim::FaultHmLib)) return FALSE;
    return TRUE;
}

int __stdcall HM_GetData(int type, void* buffer) {
    if (!buffer) {
        Count(&sim::SensorState::countCalls);
        return static_cast<int>(Sample(type).size());
    }
    Count(&sim::SensorState::fillCalls);
    while (State()->sensors.stallFills) Sleep(1);
    // One consistent sample, written record by record as a slow library would.
    std::vector<ProbeRecord> records = Sample(type);
    const DWORD delay = State()->sensors.fillDelayMs;
    auto* out = static_cast<ProbeRecord*>(buffer);
    for (const ProbeRecord& r : records) {
        *out++ = r;
        if (delay) Sleep(delay);
    }
    Count(&sim::SensorState::fillsDone);
    return static_cast<int>(records.size());
}

// Nothing of the system calls these two; they only count.
int __stdcall HM_SetData(int, void*) {
    Count(&sim::SensorState::setDataCalls);
    return 0;
}

int __stdcall HM_SetDefault() {
    Count(&sim::SensorState::setDefaultCalls);
    return 0;
}

}  // extern "C"
