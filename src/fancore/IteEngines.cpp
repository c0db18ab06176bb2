// The engines of the ITE chips without register banks: IT8720, IT8721 (also 8728, 8771 and the
// IT8603/8623 of revision 0) and IT8603/8623 with a revision.
#include <algorithm>

#include "IteFanEngine.h"
#include "SioAccessor.h"

namespace {

constexpr uint8_t kNoSegment = 0xFF;  // second-segment temperature: not in use
constexpr uint8_t kSegmentOn = 0x20;

// The automatic duty has 7 bits on the IT8720; it reports it as pwm x 2 + 1.
constexpr int kMax8720Pwm = 127;
constexpr int kMaxPwm = 255;

uint8_t Wide8720Duty(int pwm) {
    return static_cast<uint8_t>(pwm * 2 + 1);
}

// Off, start and full temperature, start PWM, slope and interval, in register order.
void WriteBlock(uint8_t base, uint8_t off, uint8_t startTemp, uint8_t fullTemp, uint8_t startPwm,
                uint8_t slope, uint8_t interval) {
    using E = IteFanEngine;
    E::Write(base + E::kOffTemp, off);
    E::Write(base + E::kStartTemp, startTemp);
    E::Write(base + E::kFullTemp, fullTemp);
    E::Write(base + E::kStartPwm, startPwm);
    E::Write(base + E::kSlope, slope);
    E::Write(base + E::kInterval, interval);
}

// The flat-start flag lets the fan stop one degree below the start temperature.
uint8_t OffTemperature(uint8_t flag, uint8_t startTemp) {
    return flag ? static_cast<uint8_t>(startTemp - 1) : IteFanEngine::kNoOffTemp;
}

void UpdateEnable(uint8_t keep, uint8_t set) {
    using E = IteFanEngine;
    E::Write(E::kEnableRegister, (E::Read(E::kEnableRegister) & keep) | set);
}

// All three SmartGuardian channels on, bit 3 off.
void EnableAllChannels() {
    UpdateEnable(0xF7, 0x07);
}

// --- register tables ---------------------------------------------------------------------------

const Ite8720EngineImp::FanRegisters k8720Fans[] = {
    // 0x13 keep, set, block, 2nd segment, manual PWM, PWM control writes
    {0xFC, 0x01, 0x60, 0x90, 0x15, {{0x15, 0x80}, {0x16, 0x7F}}, 2},
    {0xFC, 0x02, 0x68, 0x90, 0x16, {{0x15, 0x7F}, {0x16, 0x80}}, 2},
    {0xFF, 0x04, 0x70, 0x94, 0x17, {{0x17, 0x80}, {0, 0}}, 1},
};

// Fans 3-5 share the registers of the three channels.
const Ite8721EngineImp::FanRegisters k8721Fans[] = {
    // block, 2nd segment, its control, PWM control, simple curve sets it, 0x13 bit
    {0x60, 0x90, 0x20, 0x15, true, 0},   // fan 0
    {0x68, 0x90, 0x40, 0x16, true, 1},   // fan 1
    {0x70, 0x94, 0x60, 0x17, true, 2},   // fan 2
    {0x68, 0x94, 0x40, 0x16, true, -1},  // fan 3
    {0x70, 0x90, 0x00, 0x17, true, -1},  // fan 4: no second-segment control
    {0x68, 0x00, 0x00, 0x16, false, 1},  // fan 5: no second segment
};

const Ite8623EngineImp::TypeRegisters k8623Types[] = {
    // block, 2nd segment (temp 2, slope 2, control, control 2), its control, PWM control
    {0x60, 0x90, 0x20, 0x15},  // type 1
    {0x68, 0xA8, 0x20, 0x16},  // type 2
    {0x70, 0xB4, 0x20, 0x17},  // type 3
    {0x78, 0xB0, 0x40, 0x1E},  // type 4
    {0xA0, 0xAC, 0x40, 0x1F},  // type 5
};

// IT8721 manual mode, as the first two channels report it.
constexpr uint8_t k8721ManualDuty = 0x64, k8721ManualDuty1 = 0x67;
constexpr uint8_t kPwmControl0 = 0x15, kPwmControl1 = 0x16;

}  // namespace

// --- IT8720 ------------------------------------------------------------------------------------

const Ite8720EngineImp::FanRegisters* Ite8720EngineImp::RegistersOf(int fan) {
    return fan >= 0 && fan < 3 ? &k8720Fans[fan] : nullptr;
}

bool Ite8720EngineImp::WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope,
                                  uint8_t fullTemp, uint8_t temp2, uint8_t slope2, uint8_t, int) {
    const FanRegisters* r = RegistersOf(fan);
    if (!r) return false;
    SioLockGuard lock;
    UpdateEnable(r->enableKeep, r->enableSet);
    // Bit 7 of the slope register is inverted on this chip.
    WriteBlock(r->block, kNoOffTemp, startTemp, fullTemp, startPwm, slope ^ 0x80, 0x60);
    if (slope2) {
        Write(r->segment + 2, kSegmentOn);
        Write(r->segment, temp2);
        Write(r->segment + 1, slope2);
        Write(r->segment + 2, kSegmentOn);
    } else {
        Write(r->segment, kNoSegment);
        Write(r->segment + 1, 0);
        Write(r->segment + 2, 0);
    }
    for (int i = 0; i < r->controls; ++i) Write(r->control[i].reg, r->control[i].value);
    return true;
}

bool Ite8720EngineImp::ReadDuty(int channel, uint8_t* out, int temperature, bool, int) {
    if (channel < 0 || channel > 3) return false;
    SioLockGuard lock;
    if (channel < 3 && !(Read(kEnableRegister) & (1 << channel))) {
        *out = 255;
        return true;
    }
    if (channel < 2) {
        const uint8_t control = Read(kPwmControl0 + channel);
        if (control != kAutomatic) {
            *out = Wide8720Duty(control);
            return true;
        }
    }
    const uint8_t base = 0x60 + 8 * channel;
    const uint8_t temp2Reg = channel == 2 ? 0x94 : 0x90;
    *out = Wide8720Duty(CurveDuty(base, temp2Reg, temperature, kMax8720Pwm));
    return true;
}

bool Ite8720EngineImp::SetManualDuty(int fan, uint8_t duty, int) {
    const FanRegisters* r = RegistersOf(fan);
    if (!r) return false;
    SioLockGuard lock;
    UpdateEnable(r->enableKeep, r->enableSet);
    Write(r->manual, duty > 100 ? kAutomatic : static_cast<uint8_t>(duty * kMax8720Pwm / 100));
    return true;
}

// --- IT8721 ------------------------------------------------------------------------------------

const Ite8721EngineImp::FanRegisters* Ite8721EngineImp::RegistersOf(int fan) {
    return fan >= 0 && fan < 6 ? &k8721Fans[fan] : nullptr;
}

bool Ite8721EngineImp::WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope,
                                  uint8_t fullTemp, uint8_t temp2, uint8_t slope2, uint8_t flag, int) {
    const FanRegisters* r = RegistersOf(fan);
    if (!r) return false;
    SioLockGuard lock;
    EnableAllChannels();
    WriteBlock(r->block, OffTemperature(flag, startTemp), startTemp, fullTemp, startPwm, slope, 0x40);
    if (r->segment) {
        if (slope2) {
            Write(r->segment, temp2);
            Write(r->segment + 1, slope2);
            if (r->segmentControl) Write(r->segment + 2, r->segmentControl);
        } else {
            Write(r->segment, kNoSegment);
            Write(r->segment + 1, 0);
            Write(r->segment + 2, 0);
        }
    }
    Write(r->control, kAutomatic);
    return true;
}

bool Ite8721EngineImp::WriteSimpleCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope,
                                        uint8_t fullTemp, uint8_t flag) {
    const FanRegisters* r = RegistersOf(fan);
    if (!r) return false;
    SioLockGuard lock;
    EnableAllChannels();
    WriteBlock(r->block, OffTemperature(flag, startTemp), startTemp, fullTemp, startPwm, slope, 0x40);
    if (r->simpleControl) Write(r->control, kAutomatic);
    return true;
}

bool Ite8721EngineImp::ReadNonAutomaticDuty(int channel, int enableBit, uint8_t* out) {
    if (enableBit >= 0 && !(Read(kEnableRegister) & (1 << enableBit))) {
        *out = 255;
        return true;
    }
    if (channel != 0 && channel != 1) return false;
    bool manual = false;
    if (!(Read(kPwmControl0) & kAutomatic)) {
        *out = Read(k8721ManualDuty);
        manual = true;
    }
    if (channel == 1 && Read(kPwmControl1) != kAutomatic) {
        *out = Read(k8721ManualDuty1);
        manual = true;
    }
    return manual;
}

bool Ite8721EngineImp::ReadDuty(int channel, uint8_t* out, int temperature, bool noSecondSegment, int) {
    const FanRegisters* r = RegistersOf(channel);
    if (!r) return false;
    SioLockGuard lock;
    if (ReadNonAutomaticDuty(channel, r->enableBit, out)) return true;
    *out = static_cast<uint8_t>(CurveDuty(r->block, noSecondSegment ? 0 : r->segment, temperature, kMaxPwm));
    return true;
}

bool Ite8721EngineImp::SetManualDuty(int fan, uint8_t duty, int) {
    const FanRegisters* r = RegistersOf(fan);
    if (!r) return false;
    SioLockGuard lock;
    // A flat automatic curve at the duty: the chip stays in SmartGuardian mode.
    Write(r->block + kStartTemp, 0);
    Write(r->block + kFullTemp, 0x7F);
    Write(r->block + kStartPwm, duty >= 100 ? 255 : static_cast<uint8_t>(duty * 255 / 100));
    Write(r->block + kSlope, 0);
    if (r->segment) {
        Write(r->segment, kNoSegment);
        Write(r->segment + 1, 0);
        Write(r->segment + 2, 0);
    }
    return true;
}

bool Ite8721EngineImp::ReadCurve(FanPoints* out, int fan) {
    if (fan < 0 || fan > 5) {
        *out = FanPoints(4, FanPoint{0, 0});
        return true;
    }
    // The curve of the fan list's fan: fan 1 sits on the third channel, fan 2 on the second.
    const uint8_t base = 0x60 + (fan == 1 ? 0x10 : fan == 2 ? 8 : 8 * fan);
    SioLockGuard lock;
    const int x0 = Read(base + kStartTemp);
    const int full = Read(base + kFullTemp);
    const int y0 = Read(base + kStartPwm);
    if (fan == 2) {
        // This fan runs a straight line from the start to full speed between 70 and 75 degrees;
        // its slope register is set to match.
        const int x1 = std::clamp(full, 70, 75);
        const uint8_t q = x0 < x1 ? SlopeByte(static_cast<float>(255 - y0) / static_cast<float>(x1 - x0)) : 0;
        Write(base + kSlope, q);
        *out = {{x0, y0}, {x1, 255}, {x1, 255}, {full, 255}};
        return true;
    }
    const uint8_t segment = fan == 1 ? 0x94 : 0x90;
    const int temp2 = Read(segment);
    const uint8_t slope2 = Read(segment + 1);
    const int x2 = full;
    const int x1 = slope2 ? std::min(temp2, x2) : x2;
    const int y1 = ClampDuty(y0 + Steps(Slope(Read(base + kSlope)), x1 - x0));
    const int y2 = temp2 == kNoSegment || slope2 == 0 ? 255 : ClampDuty(y1 + Steps(Slope(slope2), x2 - x1));
    *out = {{x0, y0}, {x1, y1}, {x2, y2}, {full, 255}};
    return true;
}

// --- IT8623 ------------------------------------------------------------------------------------

const Ite8623EngineImp::TypeRegisters* Ite8623EngineImp::RegistersOf(int type) {
    return type >= 1 && type <= 5 ? &k8623Types[type - 1] : nullptr;
}

bool Ite8623EngineImp::WriteCurve(int, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                                  uint8_t temp2, uint8_t slope2, uint8_t flag, int type) {
    const TypeRegisters* r = RegistersOf(type);
    if (!r) return false;
    SioLockGuard lock;
    EnableAllChannels();
    WriteBlock(r->block, OffTemperature(flag, startTemp), startTemp, fullTemp, startPwm, slope, 0x40);
    if (slope2) {
        Write(r->segment, temp2);
        Write(r->segment + 1, slope2);
        Write(r->segment + 2, r->segmentControl);
        Write(r->segment + 3, 0);
    } else {
        Write(r->segment, kNoSegment);
        Write(r->segment + 1, 0);
        Write(r->segment + 2, 0);
    }
    Write(r->control, kAutomatic);
    return true;
}

bool Ite8623EngineImp::ReadDuty(int channel, uint8_t* out, int temperature, bool noSecondSegment, int kind) {
    const TypeRegisters* r = RegistersOf(kind);
    if (!r) return false;
    SioLockGuard lock;
    if (ReadNonAutomaticDuty(channel, channel >= 0 && channel <= 2 ? channel : -1, out)) return true;
    *out = static_cast<uint8_t>(CurveDuty(r->block, noSecondSegment ? 0 : r->segment, temperature, kMaxPwm));
    return true;
}

// The manual sequences of this chip are keyed by a type that no caller passes.
bool Ite8623EngineImp::SetManualDuty(int, uint8_t, int) {
    return true;
}

bool Ite8623EngineImp::ReadCurve(FanPoints* out, int fan) {
    return IteFanEngineImp::ReadCurve(out, fan);
}
