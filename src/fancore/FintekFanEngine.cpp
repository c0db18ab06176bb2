#include "FintekFanEngine.h"

#include <cpuid.h>

#include <mutex>
#include <new>

#include "SioAccessor.h"

namespace {

SioAccessor& Sio() {
    return SioAccessor::Instance();
}

constexpr FintekFanEngine::FanRegisters kFans[] = {
    // mode mask, temperatures 1-4,       duties 1-5,                     fixed duty
    {0xFC, {0xA6, 0xA7, 0xA8, 0xA9}, {0xAA, 0xAB, 0xAC, 0xAD, 0xAE}, 0xA3},
    {0xF3, {0xB6, 0xB7, 0xB8, 0xB9}, {0xBA, 0xBB, 0xBC, 0xBD, 0xBE}, 0xB3},
    {0x0F, {0xC6, 0xC7, 0xC8, 0xC9}, {0xCA, 0xCB, 0xCC, 0xCD, 0xCE}, 0xC3},
};

uint8_t Low(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}

void CpuidInstruction(uint32_t leaf, uint32_t regs[4]) {
    __cpuid(leaf, regs[0], regs[1], regs[2], regs[3]);
}

}  // namespace

volatile uint8_t g_applyingFanDuty = 0;
CpuidSource g_cpuidSource = &CpuidInstruction;

const FintekFanEngine::FanRegisters* FintekFanEngine::RegistersOf(int fan) {
    return fan >= 0 && fan < 3 ? &kFans[fan] : nullptr;
}

bool FintekFanEngineImp::WriteAutomaticCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan) {
    const FanRegisters* r = RegistersOf(fan);
    if (!r) return true;  // no such fan: nothing outside the table is touched
    SioAccessor& sio = Sio();
    sio.Lock();
    // Clear the upper bit of the fan's mode field: automatic curve mode.
    sio.WriteByte(kModeRegister, sio.ReadByte(kModeRegister) & (r->modeMask | (1 << (2 * fan))));
    const uint8_t temps[4] = {Low(t2), Low(t1), Low(t0), 0};
    const uint8_t duties[5] = {0xFF, Low(d2), Low(d1), Low(d0), Low(d0)};
    for (int i = 0; i < 4; ++i) sio.WriteByte(r->temperature[i], temps[i]);
    for (int i = 0; i < 5; ++i) sio.WriteByte(r->duty[i], duties[i]);
    sio.Unlock();
    return true;
}

bool FintekFanEngineImp::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan, uint8_t) {
    return WriteAutomaticCurve(t0, d0, t1, d1, t2, d2, fan);
}

bool FintekFanEngineImp::SetFanDuty(int fan, uint8_t percent) {
    int d = percent * 255 / 100;
    if (d > 255) d = 255;
    return WriteCurve(100, d, 100, d, 100, d, fan, 1);
}

uint8_t Fintek1007EngineImp::ReadDuty(int fan) {
    const uint8_t reg = fan == 1 ? 0x2E : fan == 2 ? 0x2F : 0x2D;
    SioAccessor& sio = Sio();
    sio.Lock();
    const uint8_t duty = sio.ReadByte(reg);
    sio.Unlock();
    return duty;
}

bool Fintek1118EngineImp::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan,
                                     uint8_t automatic) {
    if (automatic) return WriteAutomaticCurve(t0, d0, t1, d1, t2, d2, fan);
    const FanRegisters* r = RegistersOf(fan);
    if (!r) return true;
    // Fixed mode: both bits of the fan's field, the third point's duty.
    SioAccessor& sio = Sio();
    sio.Lock();
    sio.WriteByte(kModeRegister, sio.ReadByte(kModeRegister) | (3 << (2 * fan)));
    sio.WriteByte(r->fixedDuty, Low(d2));
    sio.Unlock();
    return true;
}

uint8_t Fintek1118EngineImp::ReadDuty(int fan) {
    SioAccessor& sio = Sio();
    sio.Lock();
    const uint8_t duty = sio.ReadByte(static_cast<uint8_t>(0x2F - fan));
    sio.Unlock();
    return duty;
}

FintekFanEngineImp* GetFintekEngine() {
    static std::mutex lock;
    static FintekFanEngineImp* engine = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (engine) return engine;
    switch (Sio().ChipId()) {
        case 0x1007: engine = new (std::nothrow) Fintek1007EngineImp; break;
        case 0x1117:
        case 0x1118: engine = new (std::nothrow) Fintek1118EngineImp; break;
        default: break;
    }
    return engine;
}

FintekFanEngineFacade& FintekFanEngineFacade::Instance() {
    static FintekFanEngineFacade* facade = new FintekFanEngineFacade;
    return *facade;
}

bool FintekFanEngineFacade::WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan,
                                       uint8_t automatic) {
    FintekFanEngineImp* e = GetFintekEngine();
    return e ? e->WriteCurve(t0, d0, t1, d1, t2, d2, fan, automatic) : false;
}

uint8_t FintekFanEngineFacade::ReadDuty(int fan) {
    FintekFanEngineImp* e = GetFintekEngine();
    return e ? e->ReadDuty(fan) : 0;
}

bool FintekFanEngineFacade::SetFanDuty(int fan, uint8_t percent) {
    FintekFanEngineImp* e = GetFintekEngine();
    return e ? e->SetFanDuty(fan, percent) : false;
}

FanPoints FintekFanEngineFacade::ReadCurve(int) {
    return FanPoints(4, FanPoint{0, 0});
}

int ReadCpuid(uint32_t leaf, uint32_t regs[4]) {
    if (!regs) return 0;
    g_cpuidSource(leaf, regs);
    return 1;
}

bool IsGenuineIntelCpu() {
    static uint8_t done = 0, intel = 0;
    if (!done) {
        uint32_t r[4] = {};
        ReadCpuid(0, r);
        intel = r[1] == 0x756E6547 && r[3] == 0x49656E69;  // "Genu" "ineI"
        done = 1;
    }
    return intel != 0;
}
