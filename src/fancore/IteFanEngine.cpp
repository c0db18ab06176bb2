// The parts of the ITE engine that every chip shares: slope arithmetic, the duty of an automatic
// curve, the answers of the chips without a feature, the factory and the facade.
#include "IteFanEngine.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>

#include "SioAccessor.h"
#include "bios/BiosInterface.h"

namespace {

constexpr uint8_t kChipTemperature = 0x29;  // the reading the curves follow by default
// Low four bits 2: fans 1 and 2 are wired to the other two channels.
constexpr uint32_t kWiringItem = 0x04060078;
constexpr int kT1DelayTime = 32;

bool AlternateWiring() {
    int value = 0;
    return GetBiosItemValue(kWiringItem, &value) && (value & 0xF) == 2;
}

}  // namespace

// --- shared arithmetic -------------------------------------------------------------------------

float IteFanEngine::Slope(uint8_t s) {
    return static_cast<float>((s >> 3) & 0xF) + static_cast<float>(s & 7) / 8.0f;
}

uint8_t IteFanEngine::SlopeByte(float q) {
    const float whole = std::trunc(q);
    const float eighths = std::ceil(std::min(q - whole, 15.875f) * 8.0f);
    return static_cast<uint8_t>(static_cast<int>(whole) * 8 + static_cast<int>(eighths));
}

uint8_t IteFanEngine::Read(uint8_t reg) {
    return SioAccessor::Instance().ReadByte(reg);
}

void IteFanEngine::Write(uint8_t reg, uint8_t value) {
    SioAccessor::Instance().WriteByte(reg, value);
}

int IteFanEngine::Steps(float slope, int degrees) {
    return static_cast<int>(slope * static_cast<float>(degrees));
}

int IteFanEngine::ClampDuty(int duty) {
    return std::clamp(duty, 0, 255);
}

int IteFanEngine::CurveDuty(uint8_t base, uint8_t temp2Reg, int temperature, int maximum) {
    const int t = temperature ? temperature : Read(kChipTemperature);
    const int start = Read(base + kStartTemp);
    const int full = Read(base + kFullTemp);
    int v = Read(base + kStartPwm);
    if (full < t) return maximum;
    if (start < t) v += Steps(Slope(Read(base + kSlope)), t - start);
    if (temp2Reg) {
        const int temp2 = Read(temp2Reg);
        if (temp2 != 0xFF && temp2 < t) v += Steps(Slope(Read(temp2Reg + 1)), t - temp2);
    }
    return std::min(v, maximum);
}

// --- the answers of the chips without a feature ------------------------------------------------

bool IteFanEngineImp::WriteSimpleCurve(int, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t) {
    return false;
}

bool IteFanEngineImp::IsRpmMode(int) {
    return false;
}

bool IteFanEngineImp::EnableRpmMode(int, bool) {
    return false;
}

bool IteFanEngineImp::ReadCurve(FanPoints* out, int) {
    *out = FanPoints(4, FanPoint{0, 0});
    return true;
}

bool IteFanEngineImp::SetStepTime(int, int, bool) {
    return false;
}

bool IteFanEngineImp::SetRpmTolerance(int, int) {
    return true;
}

bool IteFanEngineImp::GetRpmTolerance(int, int*) {
    return true;
}

bool IteFanEngineImp::IsSupportFanStop() {
    return false;
}

bool IteFanEngineImp::SetT1Delay(int, bool) {
    return false;
}

bool IteFanEngineImp::HasT1Delay(int) {
    return false;
}

// --- factory -----------------------------------------------------------------------------------

IteFanEngineImp* IteEngineFactory::GetEngine() {
    static std::mutex lock;
    static IteFanEngineImp* engine = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (engine) return engine;
    SioAccessor& sio = SioAccessor::Instance();
    switch (sio.ChipId()) {
        case 0x8720: engine = new (std::nothrow) Ite8720EngineImp; break;
        case 0x8721:
        case 0x8728:
        case 0x8771: engine = new (std::nothrow) Ite8721EngineImp; break;
        case 0x8603:
        case 0x8623:
            if (sio.IsIte8623WithRevision())
                engine = new (std::nothrow) Ite8623EngineImp;
            else
                engine = new (std::nothrow) Ite8721EngineImp;
            break;
        case 0x8606:
        case 0x8626:
        case 0x8655:
        case 0x8665: engine = new (std::nothrow) Ite8626EngineImp; break;
        default: break;
    }
    return engine;
}

// --- facade ------------------------------------------------------------------------------------

IteFanEngineFacade& IteFanEngineFacade::Instance() {
    static IteFanEngineFacade* const facade = new IteFanEngineFacade;
    return *facade;
}

bool IteFanEngineFacade::WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope,
                                    uint8_t fullTemp, uint8_t temp2, uint8_t slope2, uint8_t flag, int type) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->WriteCurve(fan, startTemp, startPwm, slope, fullTemp, temp2, slope2, flag, type);
}

bool IteFanEngineFacade::WriteSimpleCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope,
                                          uint8_t fullTemp, uint8_t flag) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->WriteSimpleCurve(fan, startTemp, startPwm, slope, fullTemp, flag);
}

bool IteFanEngineFacade::ReadDuty(int fan, uint8_t* out, int temperature) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    if (!e) return false;
    SioAccessor& sio = SioAccessor::Instance();
    if (SioAccessor::IsIte86x6Chip(sio.ChipId()))
        return e->ReadDuty(fan == 0 ? 0 : 2, out, temperature, false, fan + 1);
    switch (fan) {
        case 0: return e->ReadDuty(0, out, temperature, false, 1);
        case 1: return e->ReadDuty(AlternateWiring() ? 3 : 2, out, temperature, false, 2);
        case 2:
            return e->ReadDuty(AlternateWiring() ? 2 : 3, out, temperature, !sio.IsIte8623WithRevision(), 3);
        default: return false;  // no channel: the caller's value stands
    }
}

bool IteFanEngineFacade::SetManualDuty(int fan, uint8_t duty) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->SetManualDuty(fan, duty, 0);
}

bool IteFanEngineFacade::ReadCurve(FanPoints* out, int fan) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->ReadCurve(out, fan);
}

bool IteFanEngineFacade::EnableRpmMode(int fan, bool on) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->EnableRpmMode(fan + 1, on);
}

bool IteFanEngineFacade::SetRpmTolerance(int fan, int value) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->SetRpmTolerance(fan + 1, value);
}

bool IteFanEngineFacade::SetStepTime(int fan, int value, bool up) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->SetStepTime(fan + 1, value, up);
}

bool IteFanEngineFacade::IsSupportFanStop() {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    return e && e->IsSupportFanStop();
}

bool IteFanEngineFacade::GetT1DelayTime(int fan, int* out) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    if (!e) return false;
    *out = e->IsSupportFanStop() && e->HasT1Delay(fan + 1) ? kT1DelayTime : 0;
    return true;
}

bool IteFanEngineFacade::SetT1DelayTime(int fan, int on) {
    IteFanEngineImp* e = IteEngineFactory::GetEngine();
    if (!e) return false;
    if (e->IsSupportFanStop()) e->SetT1Delay(fan + 1, on != 0);
    return true;
}
