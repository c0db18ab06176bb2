// The SmartFan IV engine of the Winbond and Nuvoton hardware monitors: curves, fixed duties, duty
// and curve reads and the per-fan tuning values. One engine serves every fan; a fan is named by
// its fan type, which each chip class maps to a register bank (or fan block) of its own.
#pragma once

#include <cstdint>
#include <mutex>

#include "FanPoint.h"

class SmartFanFourEngineImp {
public:
    virtual ~SmartFanFourEngineImp() = default;

    virtual void WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) = 0;
    virtual void WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) = 0;
    virtual void WriteCurvePoints(FanPoints points, int type) = 0;
    virtual uint8_t ReadDuty() = 0;
    virtual uint8_t ReadDutyForType(int type) = 0;
    virtual void WriteManualDuty(uint8_t duty) = 0;
    virtual bool GetT1DelayTime(int type, int* value);
    virtual bool SetT1DelayTime(int type, int value);
    virtual bool GetStepUnit(int type, int* value);
    virtual bool SetStepUnit(int type, int value);
    virtual bool GetStepUpTime(int type, int* value);
    virtual bool SetStepUpTime(int type, int value);
    virtual bool GetStepDownTime(int type, int* value);
    virtual bool SetStepDownTime(int type, int value);
    virtual bool GetTempTolerance(int type, int* value);
    virtual bool SetTempTolerance(int type, int value);
    virtual bool IsRpmMode(int type, bool* on);
    virtual bool EnableRpmMode(int type, uint8_t on);
    virtual bool GetRpmTolerance(int type, int* value);
    virtual bool SetRpmTolerance(int type, int value);
    virtual FanPoints ReadCurve(int type);
    virtual void Lock();
    virtual void Unlock();

protected:
    // One register sequence: lock, FirstInSequence, remember the bank, select `bank`, run, select
    // the remembered bank again, unlock.
    template <typename Choose, typename Work>
    auto InBankOf(Choose choose, Work work);
    template <typename Work>
    auto InBank(uint8_t bank, Work work) {
        return InBankOf([bank] { return bank; }, work);
    }
    // Inside the lock, before anything of the sequence reaches the chip.
    virtual void FirstInSequence() {}
    static uint8_t Read(uint8_t reg);
    static void Write(uint8_t reg, uint8_t value);
    static void SelectBank(uint8_t bank);
};

// Temperatures as the chip takes them: the low byte, unsigned, at most 100.
uint8_t ClampTemperature(int t);

// Chooses the chip's engine once, from the chip id, by these masks in order.
class SmartFanFourEngineFactory {
public:
    static SmartFanFourEngineImp* GetEngine();

private:
    static std::mutex s_lock;
    static SmartFanFourEngineImp* s_engine;
};

// The one way into the engine from the rest of the system. Without an engine (its allocation
// failed) every operation reports false / 0 / an empty curve.
class SmartFanFourFacade {
public:
    static SmartFanFourFacade& Instance();

    bool WriteCurvePoints(const FanPoints& points, int type);
    uint8_t ReadDutyForType(int type);
    bool SetFanDuty(int type, uint8_t percent);
    FanPoints ReadCurve(int type);
    bool IsRpmMode(int type, bool* on);
    bool EnableRpmMode(int type, uint8_t on);
    bool GetRpmTolerance(int type, int* value);
    bool SetRpmTolerance(int type, int value);
    bool GetT1DelayTime(int type, int* value);
    bool SetT1DelayTime(int type, int value);
    bool GetStepUnit(int type, int* value);
    bool SetStepUnit(int type, int value);
    bool GetStepUpTime(int type, int* value);
    bool SetStepUpTime(int type, int value);
    bool GetStepDownTime(int type, int* value);
    bool SetStepDownTime(int type, int value);
    bool GetTempTolerance(int type, int* value);
    bool SetTempTolerance(int type, int value);

private:
    SmartFanFourFacade() = default;
};
