// The simulated Super I/O chip: entry keys and configuration space on 0x2E/0x2F, the hardware
// monitor on 0x295/0x296 with its bank select in register 0x4E.
#include <cstring>

#include "Board.h"
#include "BoardStatements.h"

namespace sim {

namespace {

constexpr uint16_t kIndexPort = 0x2E, kDataPort = 0x2F;
constexpr uint16_t kHwmIndex = 0x295, kHwmData = 0x296;
constexpr uint8_t kBankSelect = 0x4E;

// The ITE key on 0x2E; Winbond, Nuvoton and Fintek chips answer 0x87 0x87.
constexpr uint8_t kIteKey[] = {0x87, 0x01, 0x55, 0x55};

uint8_t& ConfigRegister(SioState& c, uint8_t reg) {
    const uint8_t ldn = c.cfg[0][0x07] % kSioLdns;
    return reg < 0x30 ? c.cfg[0][reg] : c.cfg[ldn][reg];
}

uint8_t ReadConfigRegister(SioState& c, uint8_t reg) {
    const bool idHidden = c.idGateMask && (c.cfg[0][c.idGateReg] & c.idGateMask);
    if ((reg == 0x20 || reg == 0x21) && idHidden) return 0xFF;
    return ConfigRegister(c, reg);
}

void EntryKeyByte(SioState& c, uint8_t v) {
    if (c.family == SioFamily::Ite) {
        c.keyStep = (v == kIteKey[c.keyStep]) ? c.keyStep + 1 : (v == kIteKey[0] ? 1 : 0);
        if (c.keyStep == sizeof kIteKey) c.configMode = 1, c.keyStep = 0;
    } else if (c.family != SioFamily::None) {
        c.keyStep = (v == 0x87) ? c.keyStep + 1 : 0;
        if (c.keyStep == 2) c.configMode = 1, c.keyStep = 0;
    }
}

}  // namespace

void SetChip(uint16_t chipId, uint8_t revision, SioFamily family) {
    BoardLock lock;
    SioState& c = State()->sio;
    c.chipId = chipId;
    c.revision = revision;
    c.family = family;
    c.keyStep = 0;
    c.configMode = 0;
    c.cfg[0][0x20] = chipId >> 8;
    c.cfg[0][0x21] = chipId & 0xFF;
    c.cfg[0][0x22] = revision;
}

uint8_t MonitorRead(uint8_t bank, uint8_t reg) {
    SioState& c = State()->sio;
    if (reg == kBankSelect) return c.bank;
    return c.hwm[bank % kHwmBanks][reg];
}

void MonitorWrite(uint8_t bank, uint8_t reg, uint8_t value, WriteKind kind) {
    LogWrite(kind, bank, reg, value);
    BoardLock lock;
    SioState& c = State()->sio;
    if (reg == kBankSelect)
        c.bank = value;
    else
        c.hwm[bank % kHwmBanks][reg] = value;
}

uint8_t SioPortRead(uint16_t port) {
    BoardLock lock;
    SioState& c = State()->sio;
    switch (port) {
        case kIndexPort: return c.configMode ? c.cfgIndex : 0xFF;
        case kDataPort: return c.configMode ? ReadConfigRegister(c, c.cfgIndex) : 0xFF;
        case kHwmIndex: return c.hwmIndex;
        case kHwmData: return c.family == SioFamily::None ? 0xFF : MonitorRead(c.bank, c.hwmIndex);
        default: return 0xFF;
    }
}

void SioPortWrite(uint16_t port, uint8_t value) {
    SioState& c = State()->sio;
    switch (port) {
        case kIndexPort: {
            BoardLock lock;
            if (!c.configMode) {
                EntryKeyByte(c, value);
            } else if (value == 0xAA && c.family != SioFamily::Ite) {
                c.configMode = 0;
            } else {
                c.cfgIndex = value;
            }
            return;
        }
        case kDataPort: {
            if (!c.configMode) return;
            const uint8_t reg = c.cfgIndex;
            if (reg == 0x20 || reg == 0x21 || reg == 0x22) return;  // chip id and revision are fixed
            LogWrite(WriteKind::Config, reg < 0x30 ? 0 : c.cfg[0][0x07], reg, value);
            BoardLock lock;
            if (reg == 0x02 && (value & 0x02) && c.family == SioFamily::Ite) {  // ITE configuration exit
                c.configMode = 0;
                return;
            }
            ConfigRegister(c, reg) = value;
            return;
        }
        case kHwmIndex: c.hwmIndex = value; return;
        case kHwmData:
            if (c.family != SioFamily::None) MonitorWrite(c.bank, c.hwmIndex, value, WriteKind::Monitor);
            return;
        default: return;
    }
}

StatementTable SioStatements() {
    return {
        {"id-gate",
         [](const Args& a, std::string* err) {
             long long reg, mask;
             if (!Num(a, 0, &reg, err) || !Num(a, 1, &mask, err)) return false;
             if (reg < 0 || reg >= 0x30) {
                 *err = "the gate is a global configuration register (below 0x30)";
                 return false;
             }
             State()->sio.idGateReg = static_cast<uint8_t>(reg);
             State()->sio.idGateMask = static_cast<uint8_t>(mask);
             return true;
         }},
    };
}

}  // namespace sim
