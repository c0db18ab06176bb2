#include "ChipLog.h"

#include <cstdio>

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

}  // namespace test
