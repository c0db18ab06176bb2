// The one object through which the fan service touches the Super I/O chip: chip detection on the
// configuration ports 0x2E/0x2F, the chip id and revision, the cross-process lock
// "Global\QUIL_SIO_MUTEX", and the hardware-monitor registers through the access variant chosen
// at creation.
//
// Byte and bank operations take no lock: a register sequence takes the lock once around all of
// its accesses, with SioLockGuard (or SioMonitorSpaceGuard for the sequences that open the
// monitor space through configuration register 0x28).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "FanPoint.h"
#include "SioAccessorEx.h"
#include "system/Handles.h"

class SioAccessor {
public:
    // The process-wide accessor, created on first use and never destroyed.
    static SioAccessor& Instance();
    virtual ~SioAccessor();
    SioAccessor(const SioAccessor&) = delete;
    SioAccessor& operator=(const SioAccessor&) = delete;

    // Waits at most 10000 ms for the lock; false after the time-out, when the caller goes on
    // without it. Unlock releases it in either case.
    bool Lock();
    void Unlock();
    // Lock, then clear bit 4 of configuration register 0x28; the result is Lock's.
    bool LockAndOpenMonitorSpace();
    // Set bit 4 of configuration register 0x28, then unlock.
    void CloseMonitorSpaceAndUnlock();

    uint16_t ChipId() const { return m_chipId; }
    uint8_t Revision() const { return m_revision; }
    bool HasBiosFlagItem() const { return m_hasBiosFlagItem; }

    uint8_t ReadByte(uint8_t reg) { return m_access->ReadByte(reg); }
    void WriteByte(uint8_t reg, uint8_t value) { m_access->WriteByte(reg, value); }
    void SetBank(uint8_t bank) { m_access->SetBank(bank); }
    uint8_t GetBank() { return m_access->GetBank(); }
    // One locked sequence: select the bank, write, select the bank that was selected before.
    void WriteBankedByte(uint8_t bank, uint8_t reg, uint8_t value);

    // The access variant chosen at creation.
    SioAccessorEx& Access() { return *m_access; }

    // Chip-id classes.
    static bool IsIteChip(uint16_t id);
    static bool IsIte86x6Chip(uint16_t id);
    static bool IsFintekChip(uint16_t id);
    bool IsIteFamily() const { return m_iteFamily; }
    bool CheckExtendedFanControl() const;
    bool HasExtendedFanControl() const { return m_extendedFanControl; }
    bool IsNct679xClass() const;
    bool IsIte8623WithRevision() const;

    // Capability queries of the automation interface.
    int GetConstraintType() const;
    bool IsOneSencitiveSupported() const;
    int GetRpmPerstep() const;
    int GetRpmSmoothFreq() const;

    // Writes a fan's mode registers after a profile was applied; mode 1, anything else counts
    // as 0.
    void ApplyFanMode(int fan, int mode);

    // Chip-neutral fan operations: each decides the chip family, checks its gate and forwards to
    // that family's engine. `fan` is the chip fan number of the per-fan control object. Getters
    // write through out arguments the caller set to 0; the result says whether the chip family
    // handles the operation.
    bool GetFanDuty(uint8_t* duty, int fan, int temperature);
    bool SetFanDuty(int fan, uint8_t percent);
    bool GetFanCurve(FanPoints* points, int fan);
    bool IsRpmMode(int fan, bool* on);
    bool EnableRpmMode(int fan, bool on);
    bool GetRpmTolerance(int fan, int* value);
    bool SetRpmTolerance(int fan, int value);
    bool GetStepDownTime(int fan, int* value);
    bool SetStepDownTime(int fan, int value);
    bool GetStepUpTime(int fan, int* value);
    bool SetStepUpTime(int fan, int value);
    bool GetTempTolerance(int fan, int* value);
    bool SetTempTolerance(int fan, int value);
    bool GetStepUnit(int fan, int* value);
    bool SetStepUnit(int fan, int value);
    bool GetT1DelayTime(int fan, int* value);
    bool SetT1DelayTime(int fan, int value);
    bool IsSupportFanStop();

private:
    SioAccessor();
    void CreateLockEvent();
    void DetectChip();
    void ChooseAccess();
    // Reads configuration registers 0x20/0x21 after an entry key, then leaves with 0xAA.
    uint16_t ReadIdWithWinbondKey();
    uint8_t ReadConfig(uint8_t reg);
    void WriteConfig(uint8_t reg, uint8_t value);

    QuilIoBinding m_io;
    tolo::UniqueHandle m_lockEvent;
    uint16_t m_chipId = 0;
    uint8_t m_revision = 0;
    bool m_hasBiosFlagItem = false;
    bool m_iteFamily = false;
    bool m_extendedFanControl = false;
    std::unique_ptr<SioAccessorEx> m_access;
};

// Holds the Super I/O lock for one register sequence. The lock is released at the end even when
// the wait timed out, so that a holder that died does not stall every later sequence.
class SioLockGuard {
public:
    explicit SioLockGuard(SioAccessor& accessor = SioAccessor::Instance())
        : m_accessor(accessor), m_locked(accessor.Lock()) {}
    ~SioLockGuard() { m_accessor.Unlock(); }
    SioLockGuard(const SioLockGuard&) = delete;
    SioLockGuard& operator=(const SioLockGuard&) = delete;

    bool Locked() const { return m_locked; }

private:
    SioAccessor& m_accessor;
    bool m_locked;
};

// Holds the Super I/O lock with the monitor space opened (configuration register 0x28 bit 4
// cleared) for one register sequence.
class SioMonitorSpaceGuard {
public:
    explicit SioMonitorSpaceGuard(SioAccessor& accessor = SioAccessor::Instance())
        : m_accessor(accessor), m_locked(accessor.LockAndOpenMonitorSpace()) {}
    ~SioMonitorSpaceGuard() { m_accessor.CloseMonitorSpaceAndUnlock(); }
    SioMonitorSpaceGuard(const SioMonitorSpaceGuard&) = delete;
    SioMonitorSpaceGuard& operator=(const SioMonitorSpaceGuard&) = delete;

    bool Locked() const { return m_locked; }

private:
    SioAccessor& m_accessor;
    bool m_locked;
};

// BIOS item 0x11060009 (the firmware reaches the monitor registers) is present; cached.
bool HasBiosSioRegisterItem();
// BIOS item 0x04070000 (the first Super I/O fan's mode) is present; cached.
bool IsFanModeItem0Present();
// -1 when item 0x04070000 is absent, else the number of present Super I/O fan mode items; the
// first answer holds for the life of the process.
int CountAcpiFanDevices();
