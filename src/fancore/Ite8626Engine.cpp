// The engine of the IT8606/8626/8655/8665: six fans, the curve's first segment and the fan's
// settings in bank 0, its second segment and step time in bank 2.
#include <algorithm>

#include "IteFanEngine.h"
#include "SioAccessor.h"

namespace {

const Ite8626EngineImp::KindRegisters kKinds[] = {
    // PWM control, block (bank 0), second segment (bank 2), step time (bank 2)
    {0x15, 0x60, 0x10, 0x5D},
    {0x16, 0x68, 0x20, 0x5E},
    {0x17, 0x70, 0x30, 0x5F},
    {0x1E, 0x78, 0x40, 0x6D},
    {0x92, 0xA8, 0x50, 0x6F},
    // Every other register of this fan (manual PWM 0xA7, slope 0xA4, tolerance 0xA6, off
    // temperature 0xA0) lies in the block at 0xA0, so its curve goes there too.
    {0x1F, 0xA0, 0x60, 0x6E},
};

// Block registers past the SmartGuardian six.
constexpr uint8_t kRpmTolerance = 6, kManualPwm = 7;
// Second-segment registers in bank 2, from the fan's base there.
constexpr uint8_t kTemp2 = 0, kSlope2 = 1, kSegment3 = 3, kSegment5 = 5, kSegment9 = 9;
constexpr uint8_t kSegmentOn = 0x80;  // in the slope-2 register
constexpr uint8_t kNoSegment = 0xFF;
// A slope-2 value that stands for "the manual PWM" above the second temperature.
constexpr uint8_t kSlope2Manual = 0x7F;

constexpr uint8_t kRpmModeBit = 0x04;
constexpr uint8_t kStepTimeOn = 0x80;  // in the block's slope register
// The temperature input of a fan: bits 3-5 of its PWM control.
constexpr uint8_t kTemperature1 = 0x2A, kTemperatureOther = 0x2B;

constexpr int kMaxPwm = 255;

}  // namespace

const Ite8626EngineImp::KindRegisters* Ite8626EngineImp::RegistersOf(int kind) {
    return kind >= 1 && kind <= 6 ? &kKinds[kind - 1] : nullptr;
}

void Ite8626EngineImp::SelectBank(uint8_t bank) {
    m_bank = bank;
    SioAccessor::Instance().SetBank(bank);
}

bool Ite8626EngineImp::WriteCurve(int, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                                  uint8_t temp2, uint8_t slope2, uint8_t, int type) {
    const KindRegisters* r = RegistersOf(type);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    Write(r->control, Read(r->control) | kAutomatic);
    if (type == 1) Write(r->block + kOffTemp, kNoOffTemp);
    Write(r->block + kStartTemp, startTemp);
    Write(r->block + kFullTemp, fullTemp);
    Write(r->block + kStartPwm, startPwm);
    // With the start delay on, the fan stays off up to the start temperature.
    if (type != 1 && m_t1Delay) Write(r->block + kOffTemp, startTemp);
    Write(r->block + kSlope, (Read(r->block + kSlope) & kStepTimeOn) | slope);
    Write(r->block + kInterval, 0x40);

    SelectBank(2);
    if (slope2) {
        Write(r->segment + kSlope2, 0);  // off while the temperature changes
        Write(r->segment + kTemp2, temp2);
        Write(r->segment + kSlope2, slope2 | kSegmentOn);
        Write(r->segment + kSegment3, 0);
    } else {
        Write(r->segment + kSlope2, 0);
    }
    Write(r->segment + kSegment5, 0);
    Write(r->segment + kSegment9, 0);
    return true;
}

bool Ite8626EngineImp::WriteSimpleCurve(int, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t) {
    return true;
}

bool Ite8626EngineImp::ReadDuty(int, uint8_t* out, int, bool, int kind) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    const uint8_t control = Read(r->control);
    if (!(control & kAutomatic)) {
        *out = Read(r->block + kManualPwm);
        return true;
    }
    const int t = Read(((control >> 3) & 7) == 1 ? kTemperature1 : kTemperatureOther);
    const int start = Read(r->block + kStartTemp);
    const int full = Read(r->block + kFullTemp);
    const int startPwm = Read(r->block + kStartPwm);
    if (full < t) {
        *out = kMaxPwm;
        return true;
    }
    if (!(start < t)) {
        *out = m_t1Delay && kind != 1 ? 0 : static_cast<uint8_t>(startPwm);
        return true;
    }
    const uint8_t slope = Read(r->block + kSlope) & 0x7F;
    SelectBank(2);
    const int temp2 = Read(r->segment + kTemp2);
    int v = startPwm + Steps(Slope(slope), t - start);
    if (temp2 != kNoSegment && temp2 < t) {
        const uint8_t slope2 = Read(r->segment + kSlope2);
        if ((slope2 & 0x7F) == kSlope2Manual) {
            SelectBank(0);
            v = Read(r->block + kManualPwm);
        } else {
            v += Steps(Slope(slope2), t - temp2);
        }
    }
    *out = static_cast<uint8_t>(std::min(v, kMaxPwm));
    return true;
}

// The manual sequences of this chip are keyed by a type that no caller passes; the sequence
// still takes its turn at the lock.
bool Ite8626EngineImp::SetManualDuty(int, uint8_t, int) {
    SioLockGuard lock;
    return true;
}

bool Ite8626EngineImp::IsRpmMode(int kind) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    return (Read(r->control) & kRpmModeBit) != 0;
}

bool Ite8626EngineImp::EnableRpmMode(int kind, bool on) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    const uint8_t control = Read(r->control);
    if (on) {
        Write(r->control, control | kAutomatic | kRpmModeBit);
        Write(r->block + kSlope, kStepTimeOn);
    } else {
        Write(r->control, (control & ~kRpmModeBit) | kAutomatic);
    }
    return true;
}

bool Ite8626EngineImp::ReadCurve(FanPoints* out, int fan) {
    const KindRegisters* r = RegistersOf(fan + 1);
    if (!r) return IteFanEngineImp::ReadCurve(out, fan);
    SioLockGuard lock;
    SelectBank(0);
    if (!(Read(r->control) & kAutomatic)) {  // manual mode
        *out = {{45, 255}, {60, 255}, {75, 255}, {75, 255}};
        return true;
    }
    const int start = Read(r->block + kStartTemp);
    const int full = Read(r->block + kFullTemp);
    const int startPwm = Read(r->block + kStartPwm);
    const float s1 = Slope(Read(r->block + kSlope) & 0x7F);
    SelectBank(2);
    const int temp2 = Read(r->segment + kTemp2);
    if (full < temp2) {
        *out = {{start, startPwm}, {full, ClampDuty(startPwm + Steps(s1, full - start))}, {full, 255}};
    } else {
        const int f = std::min(full, 75);
        float s2 = Slope(Read(r->segment + kSlope2));
        int m = 0, l = 255;
        if (s1 > s2) {
            s2 = 0;
        } else {
            m = std::max(temp2, start);
            l = startPwm + Steps(s1, m - start);
        }
        *out = {{start, startPwm}, {m, ClampDuty(l)}, {f, ClampDuty(l + Steps(s2, f - m))}};
    }
    out->push_back({75, 255});
    return true;
}

bool Ite8626EngineImp::SetStepTime(int kind, int value, bool up) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r || !up) return false;
    SioLockGuard lock;
    SelectBank(0);
    Write(r->block + kSlope, Read(r->block + kSlope) | kStepTimeOn);
    SelectBank(2);
    Write(r->step, (Read(r->step) & 0xC0) | (value & 0x3F));
    return true;
}

bool Ite8626EngineImp::SetRpmTolerance(int kind, int) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    Write(r->block + kRpmTolerance, Read(r->block + kRpmTolerance) | 0x0F);
    return true;
}

bool Ite8626EngineImp::GetRpmTolerance(int kind, int* out) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    *out = Read(r->block + kRpmTolerance) & 0x0F;
    return true;
}

bool Ite8626EngineImp::IsSupportFanStop() {
    return true;
}

bool Ite8626EngineImp::SetT1Delay(int kind, bool on) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    // The first fan never stops.
    if (on && kind != 1) {
        m_t1Delay = true;
        Write(r->block + kOffTemp, Read(r->block + kStartTemp));
    } else {
        m_t1Delay = false;
        Write(r->block + kOffTemp, kNoOffTemp);
    }
    return true;
}

bool Ite8626EngineImp::HasT1Delay(int kind) {
    const KindRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    SelectBank(0);
    return Read(r->block + kOffTemp) != kNoOffTemp;
}
