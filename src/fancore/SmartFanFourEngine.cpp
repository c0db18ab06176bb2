#include "SmartFanFourEngine.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <type_traits>

#include "SioAccessor.h"
#include "SmartFanFourEngines.h"
#include "bios/BiosInterface.h"

namespace {

SioAccessor& Sio() {
    return SioAccessor::Instance();
}

constexpr uint32_t kNct6779Register29Item = 0x11060020;
constexpr uint32_t kWinbondFlagItem = 0x11060004;
constexpr uint8_t kRpmBank = 6;
constexpr uint8_t kNctGate = 0x20;

uint8_t Low(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}
uint8_t Mid(uint8_t a, uint8_t b) {
    return static_cast<uint8_t>((a + b) / 2);
}

// Bits 4-7 of the mode register select the curve mode; bits 0-3 hold the temperature tolerance,
// which a new curve must not reset.
uint8_t CurveMode(uint8_t modeRegister) {
    return static_cast<uint8_t>(0x40 | (modeRegister & 0x0F));
}

// Three points as the NCT block takes them: the last temperature twice, full speed last.
void ThreePointBlock(const FanPoint p[3], uint8_t temps[4], uint8_t duties[4]) {
    for (int i = 0; i < 3; ++i) temps[i] = ClampTemperature(p[i].temperature), duties[i] = Low(p[i].duty);
    temps[3] = temps[2];
    duties[3] = 0xFF;
}

void FourPointBlock(const FanPoints& p, uint8_t temps[4], uint8_t duties[4]) {
    for (int i = 0; i < 4; ++i) temps[i] = Low(p[i].temperature), duties[i] = Low(p[i].duty);
}

}  // namespace

uint8_t ClampTemperature(int t) {
    uint8_t v = Low(t);
    return v > 100 ? 100 : v;
}

// --- base: unsupported operations and the frame --------------------------------------------------

bool SmartFanFourEngineImp::GetT1DelayTime(int, int*) {
    return false;
}
bool SmartFanFourEngineImp::SetT1DelayTime(int, int) {
    return false;
}
bool SmartFanFourEngineImp::GetStepUnit(int, int*) {
    return false;
}
bool SmartFanFourEngineImp::SetStepUnit(int, int) {
    return false;
}
bool SmartFanFourEngineImp::GetStepUpTime(int, int*) {
    return false;
}
bool SmartFanFourEngineImp::SetStepUpTime(int, int) {
    return false;
}
bool SmartFanFourEngineImp::GetStepDownTime(int, int*) {
    return false;
}
bool SmartFanFourEngineImp::SetStepDownTime(int, int) {
    return false;
}
bool SmartFanFourEngineImp::GetTempTolerance(int, int*) {
    return false;
}
bool SmartFanFourEngineImp::SetTempTolerance(int, int) {
    return false;
}
bool SmartFanFourEngineImp::IsRpmMode(int, bool*) {
    return false;
}
bool SmartFanFourEngineImp::EnableRpmMode(int, uint8_t) {
    return false;
}
bool SmartFanFourEngineImp::GetRpmTolerance(int, int*) {
    return false;
}
bool SmartFanFourEngineImp::SetRpmTolerance(int, int) {
    return false;
}
FanPoints SmartFanFourEngineImp::ReadCurve(int) {
    return {};
}
void SmartFanFourEngineImp::Lock() {
    Sio().Lock();
}
void SmartFanFourEngineImp::Unlock() {
    Sio().Unlock();
}

uint8_t SmartFanFourEngineImp::Read(uint8_t reg) {
    return Sio().ReadByte(reg);
}
void SmartFanFourEngineImp::Write(uint8_t reg, uint8_t value) {
    Sio().WriteByte(reg, value);
}
void SmartFanFourEngineImp::SelectBank(uint8_t bank) {
    Sio().SetBank(bank);
}

template <typename Choose, typename Work>
auto SmartFanFourEngineImp::InBankOf(Choose choose, Work work) {
    Lock();
    FirstInSequence();
    const uint8_t saved = Sio().GetBank();
    SelectBank(choose());
    if constexpr (std::is_void_v<decltype(work())>) {
        work();
        SelectBank(saved);
        Unlock();
    } else {
        auto result = work();
        SelectBank(saved);
        Unlock();
        return result;
    }
}

// --- NCT register block -----------------------------------------------------------------------

void NctBlockEngine::WriteBlock(const uint8_t temps[4], const uint8_t duties[4], uint8_t floor) {
    Write(0x02, CurveMode(Read(0x02)));
    for (int i = 0; i < 4; ++i) Write(0x21 + i, temps[i]);
    Write(0x27, duties[0]);
    Write(0x28, duties[1]);
    WriteThirdDuty(duties[2]);
    Write(0x2A, duties[3]);
    if (HasTemperatureFloor()) Write(0x35, floor);
    AfterCurve();
}

void NctBlockEngine::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) {
    WriteCurveForType(t0, d0, t1, d1, t2, d2, 0);
}

void NctBlockEngine::WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) {
    const FanPoint p[3] = {{t0, d0}, {t1, d1}, {t2, d2}};
    uint8_t temps[4], duties[4];
    ThreePointBlock(p, temps, duties);
    InFanBank(type, [&] { WriteBlock(temps, duties, temps[2] > 75 ? temps[2] : 75); });
}

void NctBlockEngine::WriteCurvePoints(FanPoints points, int type) {
    if (points.size() < 3) return;  // nothing sensible to write
    if (points.size() != 4) {
        WriteCurveForType(points[0].temperature, points[0].duty, points[1].temperature, points[1].duty,
                          points[2].temperature, points[2].duty, type);
        return;
    }
    uint8_t temps[4], duties[4];
    FourPointBlock(points, temps, duties);
    const int last = points[3].temperature;
    InFanBank(type,
              [&] { WriteBlock(temps, duties, last > 75 && last <= 100 ? static_cast<uint8_t>(last) : 75); });
}

uint8_t NctBlockEngine::ReadDuty() {
    return InBank(m_bank, [] { return Read(0x09); });
}

uint8_t NctBlockEngine::ReadDutyForType(int type) {
    return InFanBank(type, [] { return Read(0x09); });
}

void NctBlockEngine::WriteManualDuty(uint8_t duty) {
    InBank(0, [duty] { Write(0x03, duty); });
}

bool NctBlockEngine::GetTempTolerance(int type, int* value) {
    // The setter keeps the tolerance in bits 0-3 under the mode bits.
    *value = InFanBank(type, [] { return Read(0x02) & 0x0F; });
    return true;
}

bool NctBlockEngine::SetTempTolerance(int type, int value) {
    const uint8_t v = Low(value) > 8 ? 8 : Low(value);
    InFanBank(type, [&] { Write(0x02, 0x40 + v); });
    return true;
}

FanPoints NctBlockEngine::ReadCurve(int type) {
    return InFanBank(type, [] {
        FanPoints points(4);
        for (int i = 0; i < 4; ++i) points[i] = {Read(0x21 + i), Read(0x27 + i)};
        return points;
    });
}

bool NctBlockEngine::GetGated(int type, uint8_t reg, int* value, int divisor) {
    *value = InFanBank(type, [&] { return (Read(kNctGate) & 1) ? Read(reg) / divisor : 0; });
    return true;
}

bool NctBlockEngine::SetGated(int type, uint8_t reg, int value, int scale, bool disableOnZero,
                              uint8_t partner) {
    const uint8_t v = Low(value * scale);
    InFanBank(type, [&] {
        Write(reg, v);
        if (value * scale > 0)
            Write(kNctGate, 1);
        else if (disableOnZero && Read(partner) == 0)
            Write(kNctGate, 0);
    });
    return true;
}

bool NctBlockEngine::RpmModeBit(int type, uint8_t* bit) const {
    if (type < 0 || type > 7) return false;
    *bit = type == 0 ? 1 : type == 1 ? 0 : static_cast<uint8_t>(type);
    return true;
}

bool NctBlockEngine::GetRpmModeBit(int type, bool* on) {
    uint8_t bit;
    if (!RpmModeBit(type, &bit)) return false;
    *on = InBankOf([&] { return m_bank = BankForType(type), kRpmBank; },
                   [bit] { return ((Read(0x00) >> bit) & 1) != 0; });
    return true;
}

void NctBlockEngine::SetRpmModeBit(int type, uint8_t on) {
    uint8_t bit;
    if (!RpmModeBit(type, &bit)) return;
    const uint8_t v = Read(0x00);
    Write(0x00, on == 1 ? (v | (1 << bit)) : (v & ~(1 << bit)));
}

// --- WinbondCpuFan6776 ------------------------------------------------------------------------

uint8_t WinbondCpuFan6776::BankForType(int type) const {
    static constexpr NctBankTable kBanks{{2, 1, 3, 3, 8, 9}};
    return kBanks.BankFor(type);
}

void WinbondCpuFan6776::AfterCurve() {
    SelectBank(0);
    Write(0x5E, 0);
}

// Step times: a positive value is written and enables the gate; zero only disables it.
bool WinbondCpuFan6776::SetStepUpTime(int type, int value) {
    InFanBank(type, [&] {
        if (value > 0) {
            Write(0x03, Low(value));
            Write(kNctGate, 1);
        } else {
            Write(kNctGate, 0);
        }
    });
    return true;
}
bool WinbondCpuFan6776::GetStepUpTime(int type, int* value) {
    return GetGated(type, 0x03, value);
}
bool WinbondCpuFan6776::SetStepDownTime(int type, int value) {
    InFanBank(type, [&] {
        if (value > 0) {
            Write(0x04, Low(value));
            Write(kNctGate, 1);
        } else {
            Write(kNctGate, 0);
        }
    });
    return true;
}
bool WinbondCpuFan6776::GetStepDownTime(int type, int* value) {
    return GetGated(type, 0x04, value);
}
FanPoints WinbondCpuFan6776::ReadCurve(int) {
    return {};
}

// --- NCT6779 ----------------------------------------------------------------------------------

NCT6779::NCT6779() : m_biosRegister29(IsBiosItemPresent(kNct6779Register29Item)) {}

uint8_t NCT6779::BankForType(int type) const {
    static constexpr NctBankTable kBanks{{2, 1, 3, 8, 9, 2}};
    return kBanks.BankFor(type);
}

void NCT6779::WriteThirdDuty(uint8_t duty) {
    if (m_biosRegister29)
        SetBiosItemParam(kNct6779Register29Item, m_bank * 256 + 0x29, duty);
    else
        Write(0x29, duty);
}

bool NCT6779::SetStepUpTime(int type, int value) {
    return SetGated(type, 0x03, value, 1, true, 0x04);
}
bool NCT6779::GetStepUpTime(int type, int* value) {
    return GetGated(type, 0x03, value);
}
bool NCT6779::SetStepDownTime(int type, int value) {
    return SetGated(type, 0x04, value, 1, true, 0x03);
}
bool NCT6779::GetStepDownTime(int type, int* value) {
    return GetGated(type, 0x04, value);
}
bool NCT6779::IsRpmMode(int type, bool* on) {
    return GetRpmModeBit(type, on);
}
bool NCT6779::EnableRpmMode(int type, uint8_t on) {
    uint8_t bit;
    if (!RpmModeBit(type, &bit)) return false;
    InBankOf([&] { return m_bank = BankForType(type), kRpmBank; }, [&] { SetRpmModeBit(type, on); });
    return true;
}

bool NCT6779::GetRpmTolerance(int type, int* value) {
    const uint8_t reg = type == 0 ? 2 : Low(type);
    *value = InBank(kRpmBank, [reg] { return static_cast<int>(Read(reg)); });
    return true;
}

bool NCT6779::SetRpmTolerance(int type, int value) {
    const uint8_t reg = type == 0 ? 2 : Low(type);
    InBank(kRpmBank, [reg, value] { Write(reg, Low(value)); });
    return true;
}

// --- NCT6791 and NCT6793D ---------------------------------------------------------------------

uint8_t NCT6791::BankForType(int type) const {
    static constexpr NctBankTable kBanks{{2, 1, 3, 8, 9, 10}};
    return kBanks.BankFor(type);
}

void NCT6791::Lock() {
    Sio().LockAndOpenMonitorSpace();
}
void NCT6791::Unlock() {
    Sio().CloseMonitorSpaceAndUnlock();
}

bool NCT6791::GetT1DelayTime(int type, int* value) {
    return GetGated(type, 0x67, value);
}
bool NCT6791::SetT1DelayTime(int type, int value) {
    return SetGated(type, 0x67, value, 1, false, 0);
}
bool NCT6791::GetStepUnit(int type, int* value) {
    return GetGated(type, 0x66, value);
}
bool NCT6791::SetStepUnit(int type, int value) {
    return SetGated(type, 0x66, value, 1, false, 0);
}
bool NCT6791::SetStepUpTime(int type, int value) {
    return SetGated(type, 0x03, value, 1, false, 0);
}
bool NCT6791::GetStepUpTime(int type, int* value) {
    return GetGated(type, 0x03, value);
}
bool NCT6791::SetStepDownTime(int type, int value) {
    return SetGated(type, 0x04, value, 1, true, 0x03);
}
bool NCT6791::GetStepDownTime(int type, int* value) {
    return GetGated(type, 0x04, value);
}
bool NCT6791::IsRpmMode(int type, bool* on) {
    return GetRpmModeBit(type, on);
}

bool NCT6791::EnableRpmMode(int type, uint8_t on) {
    uint8_t bit;
    if (!RpmModeBit(type, &bit)) return false;
    Lock();
    FirstInSequence();
    const uint8_t saved = Sio().GetBank();
    m_bank = BankForType(type);
    if (on == 1) {
        // Leave the curve mode for RPM targets with the chip's step settings.
        SelectBank(m_bank);
        const uint8_t duty = Read(0x09);
        Write(0x09, duty);
        Write(0x02, Read(0x02) & 0x0F);
        Write(0x09, duty);
        Write(0x66, RpmStepUnit());
        Write(0x03, 0x0A);
        Write(0x04, 0x0A);
        Write(0x02, CurveMode(Read(0x02)));
    }
    SelectBank(kRpmBank);
    SetRpmModeBit(type, on);
    SelectBank(saved);
    Unlock();
    return true;
}

bool NCT6791::RpmToleranceRegister(int type, uint8_t* reg) const {
    static constexpr uint8_t kRegs[] = {0x02, 0x01, 0x03, 0x04, 0x05, 0x23};
    if (type < 0 || type > 5) return false;
    *reg = kRegs[type];
    return true;
}

bool NCT6791::GetRpmTolerance(int type, int* value) {
    uint8_t reg;
    if (!RpmToleranceRegister(type, &reg)) return false;
    *value = InBank(kRpmBank, [reg] { return static_cast<int>(Read(reg)); });
    return true;
}

bool NCT6791::SetRpmTolerance(int type, int value) {
    uint8_t reg;
    if (!RpmToleranceRegister(type, &reg)) return false;
    InBank(kRpmBank, [reg, value] { Write(reg, Low(value)); });
    return true;
}

uint8_t NCT6793D::BankForType(int type) const {
    if (type == 4) return CountAcpiFanDevices() == 5 ? 10 : 9;
    return NCT6791::BankForType(type);
}

bool NCT6793D::RpmToleranceRegister(int type, uint8_t* reg) const {
    *reg = type == 0 ? 2 : Low(type);
    return true;
}

// The step times are kept doubled.
bool NCT6793D::SetStepUpTime(int type, int value) {
    return SetGated(type, 0x03, value, 2, false, 0);
}
bool NCT6793D::GetStepUpTime(int type, int* value) {
    return GetGated(type, 0x03, value, 2);
}
bool NCT6793D::SetStepDownTime(int type, int value) {
    return SetGated(type, 0x04, value, 2, true, 0x03);
}
bool NCT6793D::GetStepDownTime(int type, int* value) {
    return GetGated(type, 0x04, value, 2);
}

// --- NCT6106: one block of 16 registers per fan in bank 1 -------------------------------------

namespace {
constexpr uint8_t kNct6106Bank = 1;
}

int NCT6106::FanNumberFor(int type) {
    static constexpr int kFans[] = {1, 0, 2, 1, 1, 1};
    return type >= 1 && type <= 5 ? kFans[type] : kFans[0];
}

void NCT6106::WriteBlock(const uint8_t temps[4], const uint8_t duties[4]) {
    Write(Reg(0x13), CurveMode(Read(Reg(0x13))));
    for (int i = 0; i < 4; ++i) Write(Reg(0x60 + i), temps[i]);
    for (int i = 0; i < 4; ++i) Write(Reg(0x64 + i), duties[i]);
    Write(Reg(0x1A), 75);
}

void NCT6106::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) {
    WriteCurveForType(t0, d0, t1, d1, t2, d2, 0);
}

void NCT6106::WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) {
    const FanPoint p[3] = {{t0, d0}, {t1, d1}, {t2, d2}};
    uint8_t temps[4], duties[4];
    ThreePointBlock(p, temps, duties);
    InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        WriteBlock(temps, duties);
    });
}

void NCT6106::WriteCurvePoints(FanPoints points, int type) {
    if (points.size() < 3) return;
    if (points.size() != 4) {
        WriteCurveForType(points[0].temperature, points[0].duty, points[1].temperature, points[1].duty,
                          points[2].temperature, points[2].duty, type);
        return;
    }
    uint8_t temps[4], duties[4];
    FourPointBlock(points, temps, duties);
    InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        WriteBlock(temps, duties);
    });
}

uint8_t NCT6106::ReadDuty() {
    return InBank(0, [this] { return Read(static_cast<uint8_t>(0x4A + m_fan)); });
}

uint8_t NCT6106::ReadDutyForType(int type) {
    return InBank(0, [this, type] {
        m_fan = FanNumberFor(type);
        return Read(static_cast<uint8_t>(0x4A + m_fan));
    });
}

void NCT6106::WriteManualDuty(uint8_t duty) {
    InBank(kNct6106Bank, [this, duty] { Write(Reg(0x19), duty); });
}

bool NCT6106::GetGated(int type, uint8_t base, int* value) {
    *value = InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        return (Read(Reg(0x1C)) & 1) ? static_cast<int>(Read(Reg(base))) : 0;
    });
    return true;
}

bool NCT6106::SetGated(int type, uint8_t base, uint8_t partner, int value) {
    InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        Write(Reg(base), Low(value));
        if (value > 0)
            Write(Reg(0x1C), 1);
        else if (Read(Reg(partner)) == 0)
            Write(Reg(0x1C), 0);
    });
    return true;
}

bool NCT6106::GetStepUpTime(int type, int* value) {
    return GetGated(type, 0x14, value);
}
bool NCT6106::SetStepUpTime(int type, int value) {
    return SetGated(type, 0x14, 0x15, value);
}
bool NCT6106::GetStepDownTime(int type, int* value) {
    return GetGated(type, 0x15, value);
}
bool NCT6106::SetStepDownTime(int type, int value) {
    return SetGated(type, 0x15, 0x14, value);
}

bool NCT6106::GetTempTolerance(int type, int* value) {
    *value = InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        return Read(Reg(0x13)) & 0x0F;
    });
    return true;
}

bool NCT6106::SetTempTolerance(int type, int value) {
    const uint8_t v = Low(value) > 8 ? 8 : Low(value);
    InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        Write(Reg(0x13), 0x40 + v);
    });
    return true;
}

bool NCT6106::IsRpmMode(int type, bool* on) {
    *on = InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        return (Read(Reg(0x1E)) & 1) != 0;
    });
    return true;
}

bool NCT6106::EnableRpmMode(int type, uint8_t on) {
    InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        const uint8_t v = Read(Reg(0x1E));
        Write(Reg(0x1E), on == 1 ? (v | 1) : (v & ~1));
    });
    return true;
}

bool NCT6106::GetRpmTolerance(int type, int* value) {
    *value = InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        return Read(Reg(0x1F)) & 0x0F;
    });
    return true;
}

bool NCT6106::SetRpmTolerance(int type, int value) {
    const int v = value > 255 ? 255 : value;
    InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        Write(Reg(0x1F), static_cast<uint8_t>(v & 0x0F));
    });
    return true;
}

FanPoints NCT6106::ReadCurve(int type) {
    return InBank(kNct6106Bank, [&] {
        m_fan = FanNumberFor(type);
        FanPoints points(4);
        for (int i = 0; i < 4; ++i) points[i] = {Read(Reg(0x60 + i)), Read(Reg(0x64 + i))};
        return points;
    });
}

// --- the older Winbond chips ------------------------------------------------------------------

namespace {

// The twelve values of a fixed curve block: temperatures with their mid-points, then duties.
void FixedBlock(const uint8_t t[3], const uint8_t d[3], uint8_t out[12]) {
    const uint8_t v[12] = {t[0], Mid(t[0], t[1]), t[1], Mid(t[1], t[2]), t[2], static_cast<uint8_t>(t[2] + 1),
                           d[0], Mid(d[0], d[1]), d[1], Mid(d[1], d[2]), d[2], 0xFF};
    std::copy(v, v + 12, out);
}

// The first of the two writes raises every temperature by 2 (wrapping in the byte) before the
// limit.
uint8_t Raised(int t) {
    return ClampTemperature(Low(Low(t) + 2));
}

}  // namespace

void WinbondFixedBlockEngine::WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int) {
    WriteCurve(t0, d0, t1, d1, t2, d2);
}

void WinbondFixedBlockEngine::WriteCurvePoints(FanPoints points, int) {
    if (points.size() < 3) return;
    WriteCurve(Low(points[0].temperature), Low(points[0].duty), Low(points[1].temperature),
               Low(points[1].duty), Low(points[2].temperature), Low(points[2].duty));
}

uint8_t WinbondFixedBlockEngine::ReadDuty() {
    return InBank(0, [] { return Read(0x03); });
}

uint8_t WinbondFixedBlockEngine::ReadDutyForType(int) {
    return ReadDuty();
}

void WinbondFixedBlockEngine::WriteManualDuty(uint8_t duty) {
    InBank(0, [duty] { Write(0x03, duty); });
}

void WinbondCpuFan667::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) {
    const uint8_t d[3] = {Low(d0), Low(d1), Low(d2)};
    const uint8_t raised[3] = {Raised(t0), Raised(t1), Raised(t2)};
    const uint8_t given[3] = {ClampTemperature(t0), ClampTemperature(t1), ClampTemperature(t2)};
    for (const uint8_t* t : {raised, given}) {
        if (t == given) Sleep(100);  // outside the lock, between the two writes
        uint8_t block[12];
        FixedBlock(t, d, block);
        InBank(0, [&] {
            for (int i = 0; i < 12; ++i) Write(0x6F + i, block[i]);
        });
    }
}

void WinbondCpuFan667Dot18::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) {
    WriteCurveForType(t0, d0, t1, d1, t2, d2, 0);
}

void WinbondCpuFan667Dot18::FirstInSequence() {
    // Firmware that watches the fan registers is told to keep off before the bank select reaches
    // the chip, unless the firmware itself carries our register accesses.
    if (Sio().HasBiosFlagItem() && !HasBiosSioRegisterItem()) SetBiosItemValue(kWinbondFlagItem, 0);
}

void WinbondCpuFan667Dot18::Nudge() {
    SelectBank(0);
    Write(m_nudge, Read(m_nudge) >= 50 ? 45 : 50);
}

void WinbondCpuFan667Dot18::WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) {
    m_bank = type == 1 ? 9 : 10;
    m_nudge = type == 1 ? 5 : 6;
    const uint8_t d[3] = {Low(d0), Low(d1), Low(d2)};
    const uint8_t raised[3] = {Raised(t0), Raised(t1), Raised(t2)};
    const uint8_t given[3] = {ClampTemperature(t0), ClampTemperature(t1), ClampTemperature(t2)};
    uint8_t block[12];
    FixedBlock(raised, d, block);
    InBank(m_bank, [&] {
        for (int i = 0; i < 12; ++i) Write(0x51 + i, block[i]);
        Nudge();
    });
    if (!HasBiosSioRegisterItem()) Sleep(100);
    FixedBlock(given, d, block);
    InBank(m_bank, [&] {
        for (int i = 0; i < 6; ++i) Write(0x51 + i, block[i]);
        Nudge();
    });
}

void WinbondCpuFan627::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) {
    InBank(1, [&] {
        Write(0x58, ClampTemperature(t0));
        Write(0x59, ClampTemperature(t1));
        Write(0x5A, ClampTemperature(t2));
        Write(0x5B, Low(d0));
        Write(0x5C, Low(d1));
        Write(0x5D, Low(d2));
        Write(0x5E, 0x2E);
        Sleep(50);
        Write(0x5E, 0x22);
    });
}

// --- factory and facade -----------------------------------------------------------------------

std::mutex SmartFanFourEngineFactory::s_lock;
SmartFanFourEngineImp* SmartFanFourEngineFactory::s_engine = nullptr;

SmartFanFourEngineImp* SmartFanFourEngineFactory::GetEngine() {
    std::lock_guard<std::mutex> lock(s_lock);
    if (s_engine) return s_engine;
    const uint16_t id = Sio().ChipId();
    auto is = [id](uint16_t mask) { return (id & mask) == mask; };
    if (is(0xB350))
        s_engine = new (std::nothrow) WinbondCpuFan667Dot18;
    else if (is(0xB070))
        s_engine = new (std::nothrow) WinbondCpuFan627;
    else if (is(0xC330))
        s_engine = new (std::nothrow) WinbondCpuFan6776;
    else if (is(0xC560))
        s_engine = new (std::nothrow) NCT6779;
    else if (is(0xC800))
        s_engine = new (std::nothrow) NCT6791;
    else if (is(0xD120))
        s_engine = new (std::nothrow) NCT6793D;
    else if (is(0xC400))
        s_engine = new (std::nothrow) NCT6106;
    else
        s_engine = new (std::nothrow) WinbondCpuFan667;
    return s_engine;
}

SmartFanFourFacade& SmartFanFourFacade::Instance() {
    static SmartFanFourFacade* facade = new SmartFanFourFacade;
    return *facade;
}

namespace {
SmartFanFourEngineImp* Engine() {
    return SmartFanFourEngineFactory::GetEngine();
}
}  // namespace

bool SmartFanFourFacade::WriteCurvePoints(const FanPoints& points, int type) {
    if (SmartFanFourEngineImp* e = Engine()) return e->WriteCurvePoints(points, type), true;
    return false;
}

uint8_t SmartFanFourFacade::ReadDutyForType(int type) {
    SmartFanFourEngineImp* e = Engine();
    return e ? e->ReadDutyForType(type) : 0;
}

bool SmartFanFourFacade::SetFanDuty(int type, uint8_t percent) {
    SmartFanFourEngineImp* e = Engine();
    if (!e) return false;
    int d = percent * 255 / 100;
    if (d > 255) d = 255;
    e->WriteCurveForType(100, d, 100, d, 100, d, type);
    return true;
}

FanPoints SmartFanFourFacade::ReadCurve(int type) {
    SmartFanFourEngineImp* e = Engine();
    return e ? e->ReadCurve(type) : FanPoints{};
}

#define FORWARD(name, T)                               \
    bool SmartFanFourFacade::name(int type, T value) { \
        SmartFanFourEngineImp* e = Engine();           \
        return e ? e->name(type, value) : false;       \
    }
FORWARD(IsRpmMode, bool*)
FORWARD(EnableRpmMode, uint8_t)
FORWARD(GetRpmTolerance, int*)
FORWARD(SetRpmTolerance, int)
FORWARD(GetT1DelayTime, int*)
FORWARD(SetT1DelayTime, int)
FORWARD(GetStepUnit, int*)
FORWARD(SetStepUnit, int)
FORWARD(GetStepUpTime, int*)
FORWARD(SetStepUpTime, int)
FORWARD(GetStepDownTime, int*)
FORWARD(SetStepDownTime, int)
FORWARD(GetTempTolerance, int*)
FORWARD(SetTempTolerance, int)
#undef FORWARD
