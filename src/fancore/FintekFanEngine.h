// The Fintek engine (chips 0x1007, 0x1117, 0x1118): three-point curves, fixed duties and duty
// reads for fans 0, 1 and 2. Also the processor vendor test of the service.
#pragma once

#include <cstdint>

#include "FanPoint.h"

// Non-polymorphic part of the engine: the per-fan register table.
class FintekFanEngine {
public:
    struct FanRegisters {
        uint8_t modeMask;
        uint8_t temperature[4];
        uint8_t duty[5];
        uint8_t fixedDuty;
    };
    static const FanRegisters* RegistersOf(int fan);  // null past fan 2

protected:
    static constexpr uint8_t kModeRegister = 0x96;
};

class FintekFanEngineImp : public FintekFanEngine {
public:
    virtual ~FintekFanEngineImp() = default;
    virtual bool WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan, uint8_t automatic);
    virtual uint8_t ReadDuty(int fan) = 0;
    virtual bool SetFanDuty(int fan, uint8_t percent);

protected:
    bool WriteAutomaticCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan);
};

class Fintek1007EngineImp : public FintekFanEngineImp {
public:
    uint8_t ReadDuty(int fan) override;
};

class Fintek1118EngineImp : public FintekFanEngineImp {
public:
    bool WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan, uint8_t automatic) override;
    uint8_t ReadDuty(int fan) override;
};

// The process-wide engine of the chip, or null on a chip that is not a Fintek one (asked again
// on the next call).
FintekFanEngineImp* GetFintekEngine();

class FintekFanEngineFacade {
public:
    static FintekFanEngineFacade& Instance();
    bool WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2, int fan, uint8_t automatic);
    uint8_t ReadDuty(int fan);
    bool SetFanDuty(int fan, uint8_t percent);
    FanPoints ReadCurve(int fan);

private:
    FintekFanEngineFacade() = default;
};

// Raised by the automation interface's fixed-duty member around its profile selection; the
// Fintek profiles then apply their curve as a fixed duty.
extern volatile uint8_t g_applyingFanDuty;

// CPUID of `leaf` into regs (EAX, EBX, ECX, EDX); 0 when regs is null.
int ReadCpuid(uint32_t leaf, uint32_t regs[4]);
bool IsGenuineIntelCpu();

// Where CPUID comes from: the instruction, or a test's substitute.
using CpuidSource = void (*)(uint32_t leaf, uint32_t regs[4]);
extern CpuidSource g_cpuidSource;
