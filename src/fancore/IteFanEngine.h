// The ITE engine: SmartGuardian fan curves, manual duties, duty and curve reads of the ITE
// hardware monitors (IT8720; IT8721/8728/8771; IT8603/8623; IT8606/8626/8655/8665), and on the
// IT86x6 chips RPM mode, step time, RPM tolerance and the start (T1) delay. One engine per process,
// chosen by chip id; the rest of the system reaches it only through IteFanEngineFacade.
//
// Every operation that touches the chip is one sequence under the Super I/O lock.
#pragma once

#include <cstdint>

#include "FanPoint.h"

// What every engine shares: the SmartGuardian block layout and the chip's slope format.
class IteFanEngine {
public:
    // A slope byte: bits 3-6 whole PWM steps per degree, bits 0-2 eighths (bit 7 is not slope).
    static float Slope(uint8_t s);
    // The slope byte for q PWM steps per degree, the fraction rounded up (taken as a byte).
    static uint8_t SlopeByte(float q);

    // Registers of a SmartGuardian block, from its base.
    enum BlockRegister : uint8_t {
        kOffTemp = 0,
        kStartTemp = 1,
        kFullTemp = 2,
        kStartPwm = 3,
        kSlope = 4,
        kInterval = 5,
    };
    static constexpr uint8_t kEnableRegister = 0x13;  // one automatic-control bit per channel
    static constexpr uint8_t kAutomatic = 0x80;       // PWM control: SmartGuardian mode
    static constexpr uint8_t kNoOffTemp = 0x80;       // off temperature: the fan never stops

    // Register access inside a sequence whose lock the caller holds.
    static uint8_t Read(uint8_t reg);
    static void Write(uint8_t reg, uint8_t value);

protected:
    // Whole PWM steps over `degrees` at `slope` steps per degree (single precision, truncated).
    static int Steps(float slope, int degrees);
    // A computed duty, kept within 0..255.
    static int ClampDuty(int duty);
    // The duty the automatic curve of the block at `base` gives at `temperature` (0: the chip's
    // own reading in register 0x29), with the second segment at temp2Reg/temp2Reg + 1 unless
    // temp2Reg is 0; at most `maximum`.
    static int CurveDuty(uint8_t base, uint8_t temp2Reg, int temperature, int maximum);
};

// The engine interface. The answers of the base are those of the chips without the feature.
class IteFanEngineImp : public IteFanEngine {
public:
    // Curve arguments as the ITE data converters produce them; `flag` asks for a flat start
    // (off temperature one below the start), `type` is the profile's temperature-input selector.
    virtual bool WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                            uint8_t temp2, uint8_t slope2, uint8_t flag, int type) = 0;
    virtual bool WriteSimpleCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope,
                                  uint8_t fullTemp, uint8_t flag);
    virtual bool ReadDuty(int channel, uint8_t* out, int temperature, bool noSecondSegment, int kind) = 0;
    // duty in percent; above 100 means automatic on the IT8720.
    virtual bool SetManualDuty(int fan, uint8_t duty, int type) = 0;
    virtual bool IsRpmMode(int kind);
    virtual bool EnableRpmMode(int kind, bool on);
    virtual bool ReadCurve(FanPoints* out, int fan);
    virtual bool SetStepTime(int kind, int value, bool up);
    virtual bool SetRpmTolerance(int kind, int value);
    virtual bool GetRpmTolerance(int kind, int* out);
    virtual bool IsSupportFanStop();
    virtual bool SetT1Delay(int kind, bool on);
    virtual bool HasT1Delay(int kind);

protected:
    ~IteFanEngineImp() = default;  // engines live as long as the process
};

// IT8720: 7-bit PWM, three channels.
class Ite8720EngineImp final : public IteFanEngineImp {
public:
    // Per fan: enable bit change of register 0x13, block, second segment, PWM control writes.
    struct FanRegisters {
        uint8_t enableKeep, enableSet;
        uint8_t block, segment;
        uint8_t manual;  // PWM control register that takes the manual duty
        struct {
            uint8_t reg, value;
        } control[2];
        int controls;
    };
    static const FanRegisters* RegistersOf(int fan);  // null outside 0..2

    bool WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                    uint8_t temp2, uint8_t slope2, uint8_t flag, int type) override;
    bool ReadDuty(int channel, uint8_t* out, int temperature, bool noSecondSegment, int kind) override;
    bool SetManualDuty(int fan, uint8_t duty, int type) override;
};

// IT8721/8728/8771 (and the IT8603/8623 of revision 0): fans 0-5 over three SmartGuardian
// channels.
class Ite8721EngineImp : public IteFanEngineImp {
public:
    struct FanRegisters {
        uint8_t block;
        uint8_t segment;         // 0: no second segment
        uint8_t segmentControl;  // written with a second segment; 0: not written
        uint8_t control;         // PWM control register
        bool simpleControl;      // the simple curve sets the PWM control too
        int8_t enableBit;        // bit of register 0x13 the duty read checks; -1: none
    };
    static const FanRegisters* RegistersOf(int fan);  // null outside 0..5

    bool WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                    uint8_t temp2, uint8_t slope2, uint8_t flag, int type) override;
    bool WriteSimpleCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                          uint8_t flag) override;
    bool ReadDuty(int channel, uint8_t* out, int temperature, bool noSecondSegment, int kind) override;
    bool SetManualDuty(int fan, uint8_t duty, int type) override;
    bool ReadCurve(FanPoints* out, int fan) override;

protected:
    // Steps shared by the duty reads of the 8721 and 8623: the disabled and manual channels.
    // True when *out is final.
    static bool ReadNonAutomaticDuty(int channel, int enableBit, uint8_t* out);
};

// IT8603/8623 with a revision: the curve registers keyed by the profile's type 1..5.
class Ite8623EngineImp final : public Ite8721EngineImp {
public:
    struct TypeRegisters {
        uint8_t block;
        uint8_t segment;  // temp 2, slope 2, control, control 2
        uint8_t segmentControl;
        uint8_t control;
    };
    static const TypeRegisters* RegistersOf(int type);  // null outside 1..5

    bool WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                    uint8_t temp2, uint8_t slope2, uint8_t flag, int type) override;
    bool ReadDuty(int channel, uint8_t* out, int temperature, bool noSecondSegment, int kind) override;
    bool SetManualDuty(int fan, uint8_t duty, int type) override;
    bool ReadCurve(FanPoints* out, int fan) override;
};

// IT8606/8626/8655/8665: six fans (kinds 1..6), the second segment in bank 2.
class Ite8626EngineImp final : public IteFanEngineImp {
public:
    struct KindRegisters {
        uint8_t control;  // PWM control, bank 0
        uint8_t block;    // bank 0; block + 6 RPM tolerance, block + 7 manual PWM
        uint8_t segment;  // bank 2: temp 2, slope 2, ...
        uint8_t step;     // bank 2: step time
    };
    static const KindRegisters* RegistersOf(int kind);  // null outside 1..6

    bool WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                    uint8_t temp2, uint8_t slope2, uint8_t flag, int type) override;
    bool WriteSimpleCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                          uint8_t flag) override;
    bool ReadDuty(int channel, uint8_t* out, int temperature, bool noSecondSegment, int kind) override;
    bool SetManualDuty(int fan, uint8_t duty, int type) override;
    bool IsRpmMode(int kind) override;
    bool EnableRpmMode(int kind, bool on) override;
    bool ReadCurve(FanPoints* out, int fan) override;
    bool SetStepTime(int kind, int value, bool up) override;
    bool SetRpmTolerance(int kind, int value) override;
    bool GetRpmTolerance(int kind, int* out) override;
    bool IsSupportFanStop() override;
    bool SetT1Delay(int kind, bool on) override;
    bool HasT1Delay(int kind) override;

    bool T1DelayFlag() const { return m_t1Delay; }

private:
    void SelectBank(uint8_t bank);

    uint8_t m_bank = 0;  // the bank selected last; valid only inside a sequence
    bool m_t1Delay = false;
};

// The process-wide engine, created from the chip id on first use; null on a chip without an ITE
// engine (asked again on the next call).
class IteEngineFactory {
public:
    static IteFanEngineImp* GetEngine();
};

// The one way into the engine. Without an engine every operation reports false and leaves its
// out values alone.
class IteFanEngineFacade {
public:
    static IteFanEngineFacade& Instance();

    bool WriteCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                    uint8_t temp2, uint8_t slope2, uint8_t flag, int type);
    bool WriteSimpleCurve(int fan, uint8_t startTemp, uint8_t startPwm, uint8_t slope, uint8_t fullTemp,
                          uint8_t flag);
    // fan: the fan's number in the fan list (0, 1, 2; every fan on the IT86x6 chips); the
    // channel follows the board's wiring. Fans without a channel leave *out as it was.
    bool ReadDuty(int fan, uint8_t* out, int temperature);
    bool SetManualDuty(int fan, uint8_t duty);
    bool ReadCurve(FanPoints* out, int fan);
    bool EnableRpmMode(int fan, bool on);
    bool SetRpmTolerance(int fan, int value);
    bool SetStepTime(int fan, int value, bool up);
    bool IsSupportFanStop();
    // 32 when the fan's start delay is on, else 0.
    bool GetT1DelayTime(int fan, int* out);
    bool SetT1DelayTime(int fan, int on);

private:
    IteFanEngineFacade() = default;
};
