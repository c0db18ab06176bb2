#include "ChipLog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace test {

std::vector<RegWrite> MonitorWrites(uint32_t from) {
    std::vector<RegWrite> out;
    for (const sim::WriteRecord& r : sim::Writes(from)) {
        if (r.kind != sim::WriteKind::Monitor && r.kind != sim::WriteKind::MonitorBios) continue;
        if (r.b == 0x4E) continue;
        out.push_back({static_cast<uint8_t>(r.a), static_cast<uint8_t>(r.b), static_cast<uint8_t>(r.c)});
    }
    return out;
}

bool AllWritesLocked(uint32_t from) {
    for (const sim::WriteRecord& r : sim::Writes(from))
        if ((r.kind == sim::WriteKind::Monitor || r.kind == sim::WriteKind::MonitorBios ||
             r.kind == sim::WriteKind::Config) &&
            !r.locked)
            return false;
    return true;
}

std::string UnlockedMonitorWrites(uint32_t from) {
    std::string s;
    char buf[64];
    for (const sim::WriteRecord& r : sim::Writes(from)) {
        if (r.locked || (r.kind != sim::WriteKind::Monitor && r.kind != sim::WriteKind::MonitorBios))
            continue;
        std::snprintf(buf, sizeof buf, " %u:%02X=%02X", r.a, r.b, r.c);
        s += buf;
    }
    return s;
}

std::string Describe(const std::vector<RegWrite>& writes) {
    std::string s;
    char buf[32];
    for (const RegWrite& w : writes) {
        std::snprintf(buf, sizeof buf, " %u:%02X=%02X", w.bank, w.reg, w.value);
        s += buf;
    }
    return s;
}

std::vector<int32_t> Words(uint32_t device) {
    const std::vector<uint8_t> b = sim::ItemBuffer(device);
    std::vector<int32_t> w(b.size() / 4);
    if (!w.empty()) std::memcpy(w.data(), b.data(), w.size() * 4);
    return w;
}

std::vector<int32_t> Head(uint32_t device, size_t n) {
    std::vector<int32_t> w = Words(device);
    w.resize(n);
    return w;
}

std::vector<uint32_t> BufferWriteOrder(uint32_t from) {
    std::vector<uint32_t> out;
    for (const sim::WriteRecord& w : sim::Writes(from))
        if (w.kind == sim::WriteKind::BufferSet) out.push_back(w.a);
    return out;
}

size_t BufferWrites(uint32_t from, uint32_t device) {
    const std::vector<uint32_t> order = BufferWriteOrder(from);
    return static_cast<size_t>(std::count(order.begin(), order.end(), device));
}

}  // namespace test
