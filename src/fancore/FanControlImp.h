// Per-fan control objects: the profile list of one fan header in its fixed order (manual, three
// standard profiles, user), profile selection with the firmware's record of it in the fan's BIOS
// mode item, and the forwarders of the fan's chip operations to the Super I/O accessor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FanPoint.h"

class FanProfile;

// List positions of a fan's profiles.
constexpr int kManualProfileIndex = 0;
constexpr int kUserProfileIndex = 4;

class FanControlImp {
public:
    // `fanNumber`: the chip fan number (Super I/O) or the fan index (embedded controller);
    // `modeItem`: the fan's BIOS mode item (or ACPI fan device).
    FanControlImp(int fanNumber, uint32_t modeItem);
    FanControlImp(const FanControlImp&) = delete;
    FanControlImp& operator=(const FanControlImp&) = delete;

    // Virtual operations in slot order.
    virtual bool Initialize() = 0;                               // 0
    virtual FanProfile* GetProfile(int index);                   // 1: index below the count
    virtual int GetProfileCount();                               // 2
    virtual void SelectProfile(int index);                       // 3
    virtual bool SaveProfile(int index);                         // 4
    virtual void ApplyProfileKeepBios(int index);                // 5
    virtual int GetCurrentProfileIndex() = 0;                    // 6
    virtual void RefreshFanCurve(int index);                     // 7: index below the count
    virtual bool Stop();                                         // 8
    virtual uint8_t GetCurrentDuty();                            // 9
    virtual uint8_t GetDutyForTemperature(uint8_t temperature);  // 10
    virtual bool SetDutyCycle(uint8_t duty);                     // 11
    virtual int GetMinimalDuty();                                // 12
    virtual void NormalizeFanCurve(FanPoints* points);           // 13
    virtual void GetName(std::string* name) = 0;                 // 14
    virtual int GetStepUpTime();                                 // 15
    virtual bool SetStepUpTime(int value);                       // 16
    virtual int GetStepDownTime();                               // 17
    virtual bool SetStepDownTime(int value);                     // 18
    virtual int GetTempTolerance();                              // 19
    virtual bool SetTempTolerance(int value);                    // 20
    virtual bool EnableRpmMode(bool on);                         // 21
    virtual bool IsRpmMode();                                    // 22
    virtual int GetRpmTolerance();                               // 23
    virtual bool SetRpmTolerance(int value);                     // 24
    virtual int GetStepUnit();                                   // 25
    virtual bool SetStepUnit(int value);                         // 26
    virtual int GetT1DelayTime();                                // 27
    virtual bool SetT1DelayTime(int value);                      // 28
    virtual void EnableManualMode(bool on);                      // 29
    virtual void RestoreManualMode(int storeKey);                // 30
    virtual uint32_t GetId() = 0;                                // 31
    virtual ~FanControlImp();                                    // 32
    virtual void ApplyProfileAt(int index, bool save);           // 33

    int ChipFanNumber() const { return m_chipFanNumber; }
    int FanNumber() const { return m_fanNumber; }
    uint32_t ModeItem() const { return m_modeItem; }
    bool SuiteInstalled() const { return m_suiteInstalled; }

protected:
    // Selection common to both classes: the firmware's record of profile `index` (steps 2-4).
    void RecordSelection(int index);

    std::vector<std::unique_ptr<FanProfile>> m_profiles;
    int m_chipFanNumber = -1;
    bool m_suiteInstalled;
    uint32_t m_modeItem;
    int m_fanNumber;
};

// A fan on the Super I/O chip: its profiles come from the factory registered for its fan number.
class SioFanControl : public FanControlImp {
public:
    using FanControlImp::FanControlImp;
    bool Initialize() override;
    void SelectProfile(int index) override;
    int GetCurrentProfileIndex() override;
    int GetMinimalDuty() override;
    void GetName(std::string* name) override;
    uint32_t GetId() override { return m_modeItem; }
};

// A fan driven by the embedded controller: no profile goes to the chip.
class NonSioFanControl : public FanControlImp {
public:
    using FanControlImp::FanControlImp;
    bool Initialize() override;
    void SelectProfile(int index) override;
    void ApplyProfileKeepBios(int) override {}
    int GetCurrentProfileIndex() override;
    int GetMinimalDuty() override { return 102; }
    void GetName(std::string* name) override;
    uint32_t GetId() override { return m_modeItem; }
};

// Whether the maker's utility suite is installed (then profile selection leaves the BIOS mode
// items alone).
bool IsSuiteInstalled();
// Bits 8-15 of the first value of the firmware's MBIF package; held once it is non-zero.
uint8_t GetMbifByte1();
