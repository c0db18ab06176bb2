// The chip classes of the SmartFan IV engine. The Nuvoton-style classes share the NCT register
// block (curve at 0x21-0x2A of the fan's bank); NCT6106 keeps one 16-register block per fan in
// bank 1; the older Winbond classes write one fixed block each.
#pragma once

#include "SmartFanFourEngine.h"

// Fan type to bank: index 0 stands for 0, negative types and types past the table.
struct NctBankTable {
    uint8_t banks[6];
    uint8_t BankFor(int type) const { return type >= 1 && type <= 5 ? banks[type] : banks[0]; }
};

// Shared behaviour of the classes with the NCT register block; each class supplies its bank
// table and its differences.
class NctBlockEngine : public SmartFanFourEngineImp {
public:
    void WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) override;
    void WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) override;
    void WriteCurvePoints(FanPoints points, int type) override;
    uint8_t ReadDuty() override;
    uint8_t ReadDutyForType(int type) override;
    void WriteManualDuty(uint8_t duty) override;
    bool GetTempTolerance(int type, int* value) override;
    bool SetTempTolerance(int type, int value) override;
    FanPoints ReadCurve(int type) override;

protected:
    virtual uint8_t BankForType(int type) const = 0;
    // Register 0x35 follows the last temperature on the chips that have it.
    virtual bool HasTemperatureFloor() const { return false; }
    // Work after the curve, still inside its sequence.
    virtual void AfterCurve() {}
    // Register 0x29 (the third duty); NCT6779 may hand it to the firmware.
    virtual void WriteThirdDuty(uint8_t duty) { Write(0x29, duty); }

    // A sequence in the fan's bank; the fan type picks the bank inside the lock, so that no other
    // thread changes the shared bank byte in between.
    template <typename Work>
    auto InFanBank(int type, Work work) {
        return InBankOf([this, type] { return m_bank = BankForType(type); }, work);
    }
    void WriteBlock(const uint8_t temps[4], const uint8_t duties[4], uint8_t floor);
    // Gated tuning value in the fan's bank: gate register 0x20.
    bool GetGated(int type, uint8_t reg, int* value, int divisor = 1);
    bool SetGated(int type, uint8_t reg, int value, int scale, bool disableOnZero, uint8_t partner);
    bool RpmModeBit(int type, uint8_t* bit) const;
    bool GetRpmModeBit(int type, bool* on);
    // Bank 6 register 0x00 holds one RPM-mode bit per fan; bank 6 must be selected.
    void SetRpmModeBit(int type, uint8_t on);

    uint8_t m_bank = 2;
};

class WinbondCpuFan6776 : public NctBlockEngine {
public:
    bool SetStepUpTime(int type, int value) override;
    bool GetStepUpTime(int type, int* value) override;
    bool SetStepDownTime(int type, int value) override;
    bool GetStepDownTime(int type, int* value) override;
    FanPoints ReadCurve(int type) override;

protected:
    uint8_t BankForType(int type) const override;
    void AfterCurve() override;
};

class NCT6779 : public NctBlockEngine {
public:
    NCT6779();
    bool SetStepUpTime(int type, int value) override;
    bool GetStepUpTime(int type, int* value) override;
    bool SetStepDownTime(int type, int value) override;
    bool GetStepDownTime(int type, int* value) override;
    bool IsRpmMode(int type, bool* on) override;
    bool EnableRpmMode(int type, uint8_t on) override;
    bool GetRpmTolerance(int type, int* value) override;
    bool SetRpmTolerance(int type, int value) override;

protected:
    uint8_t BankForType(int type) const override;
    void WriteThirdDuty(uint8_t duty) override;

private:
    bool m_biosRegister29;
};

class NCT6791 : public NctBlockEngine {
public:
    bool GetT1DelayTime(int type, int* value) override;
    bool SetT1DelayTime(int type, int value) override;
    bool GetStepUnit(int type, int* value) override;
    bool SetStepUnit(int type, int value) override;
    bool SetStepUpTime(int type, int value) override;
    bool GetStepUpTime(int type, int* value) override;
    bool SetStepDownTime(int type, int value) override;
    bool GetStepDownTime(int type, int* value) override;
    bool IsRpmMode(int type, bool* on) override;
    bool EnableRpmMode(int type, uint8_t on) override;
    bool GetRpmTolerance(int type, int* value) override;
    bool SetRpmTolerance(int type, int value) override;
    void Lock() override;
    void Unlock() override;

protected:
    uint8_t BankForType(int type) const override;
    bool HasTemperatureFloor() const override { return true; }
    virtual uint8_t RpmStepUnit() const { return 0x11; }
    virtual bool RpmToleranceRegister(int type, uint8_t* reg) const;
};

class NCT6793D : public NCT6791 {
public:
    bool SetStepUpTime(int type, int value) override;
    bool GetStepUpTime(int type, int* value) override;
    bool SetStepDownTime(int type, int value) override;
    bool GetStepDownTime(int type, int* value) override;

protected:
    uint8_t BankForType(int type) const override;
    uint8_t RpmStepUnit() const override { return 0x77; }
    bool RpmToleranceRegister(int type, uint8_t* reg) const override;
};

class NCT6106 : public SmartFanFourEngineImp {
public:
    void WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) override;
    void WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) override;
    void WriteCurvePoints(FanPoints points, int type) override;
    uint8_t ReadDuty() override;
    uint8_t ReadDutyForType(int type) override;
    void WriteManualDuty(uint8_t duty) override;
    bool GetStepUpTime(int type, int* value) override;
    bool SetStepUpTime(int type, int value) override;
    bool GetStepDownTime(int type, int* value) override;
    bool SetStepDownTime(int type, int value) override;
    bool GetTempTolerance(int type, int* value) override;
    bool SetTempTolerance(int type, int value) override;
    bool IsRpmMode(int type, bool* on) override;
    bool EnableRpmMode(int type, uint8_t on) override;
    bool GetRpmTolerance(int type, int* value) override;
    bool SetRpmTolerance(int type, int value) override;
    FanPoints ReadCurve(int type) override;

private:
    static int FanNumberFor(int type);
    uint8_t Reg(uint8_t base) const { return static_cast<uint8_t>(base + 16 * m_fan); }
    void WriteBlock(const uint8_t temps[4], const uint8_t duties[4]);
    bool GetGated(int type, uint8_t base, int* value);
    bool SetGated(int type, uint8_t base, uint8_t partner, int value);

    int m_fan = 0;
};

// The older Winbond chips: one fixed curve block, no tuning values, no curve read.
class WinbondFixedBlockEngine : public SmartFanFourEngineImp {
public:
    void WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) override;
    void WriteCurvePoints(FanPoints points, int type) override;
    uint8_t ReadDuty() override;
    uint8_t ReadDutyForType(int type) override;
    void WriteManualDuty(uint8_t duty) override;
};

class WinbondCpuFan667 : public WinbondFixedBlockEngine {
public:
    void WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) override;
};

class WinbondCpuFan667Dot18 : public WinbondFixedBlockEngine {
public:
    void WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) override;
    void WriteCurveForType(int t0, int d0, int t1, int d1, int t2, int d2, int type) override;

protected:
    // Every sequence of this class (the two curve writes, the duty read and write).
    void FirstInSequence() override;

private:
    void Nudge();
    uint8_t m_bank = 10;
    uint8_t m_nudge = 6;
};

class WinbondCpuFan627 : public WinbondFixedBlockEngine {
public:
    void WriteCurve(int t0, int d0, int t1, int d1, int t2, int d2) override;
};
