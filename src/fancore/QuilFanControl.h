// The fan objects of the service: one per fan header, held by the fan manager for the life of the
// process. Every automation member of a fan and the restore reach the hardware through the virtual
// operations of QuilFanControl, which keep the fan's curve, weights, sources and cached settings,
// persist the settings in FanStore.xml and hand the hardware work to the fan's control object.
// The subclasses differ by how the fan is driven: the Super I/O chip, the embedded controller, or
// both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FanPoint.h"

class EcHelper;
class FanControlImp;
class FanProfile;

// Fan indexes from here on belong to fans served by the embedded controller.
constexpr int kFirstEcFanIndex = 224;
// The settings-store key of a fan index.
int FanStoreKeyOfIndex(int fanIndex);

// BIOS and ACPI devices the fan objects test or write.
constexpr uint32_t kBiosFanSourceTableDevice = 0x040D001E;
constexpr uint32_t kBiosMultiSourceDevice = 0x040D002B;

class FanControlBase {
public:
    virtual ~FanControlBase() = default;
};

class QuilFanControl : public FanControlBase {
public:
    explicit QuilFanControl(EcHelper* helper);
    QuilFanControl(const QuilFanControl&) = delete;
    QuilFanControl& operator=(const QuilFanControl&) = delete;

    // Virtual operations in slot order.
    virtual bool Initialize() = 0;                               // 0
    virtual FanProfile* GetProfile(int index);                   // 1
    virtual int GetProfileCount();                               // 2
    virtual void SelectProfile(int index);                       // 3
    virtual bool SaveProfile(int index);                         // 4
    virtual void SelectProfileKeepBios(int index);               // 5
    virtual int GetCurrentProfileIndex();                        // 6
    virtual void RefreshFanCurve(int profileIndex);              // 7
    virtual bool Stop();                                         // 8
    virtual uint8_t GetCurrentDuty();                            // 9
    virtual uint8_t GetDutyForTemperature(uint8_t temperature);  // 10
    virtual bool SetDutyCycle(uint8_t duty);                     // 11
    virtual int GetMinimalDuty();                                // 12
    virtual void NormalizeFanCurve(FanPoints* points);           // 13
    virtual void GetName(std::string* name);                     // 14
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
    virtual void Reserved29(int) {}                              // 29
    virtual void Reserved30(int) {}                              // 30
    virtual uint32_t GetId();                                    // 31
    ~QuilFanControl() override;                                  // 32
    virtual void ReadFanCurveFromChip(FanPoints* points);        // 33
    virtual void SetEcMode(int mode);                            // 34
    virtual int GetEcMode();                                     // 35
    virtual bool GetEcFanOff();                                  // 36
    virtual void SetEcFanStop(bool on);                          // 37
    virtual int GetEcFanNumber();                                // 38
    virtual void GetDisplayName(std::string* name);              // 39
    virtual bool SetDisplayName(const std::string& name);        // 40
    virtual bool IsWeightsSupported();                           // 41
    virtual bool IsStepUnitSupported();                          // 42
    virtual bool IsSencitiveSupported();                         // 43
    virtual bool SetT1DelayTimeButNotSave(int value);            // 44
    virtual bool SetStepUnitButNotSave(int value);               // 45
    virtual bool SetStepUpTimeButNotSave(int value);             // 46
    virtual bool SetStepDownTimeButNotSave(int value);           // 47
    virtual void EnableManualMode(int position, bool on);        // 48
    virtual bool EnableRpmModeButNotSave(bool on);               // 49
    virtual bool SetRpmToleranceButNotSave(int value);           // 50
    virtual int GetRpmTarget();                                  // 51
    virtual int GetRpmDuty();                                    // 52
    virtual bool SetRpmTarget(int value);                        // 53
    virtual int GetGpio34();                                     // 54
    virtual bool SetGpio34(int value);                           // 55
    virtual int GetIsChangeFan();                                // 56
    virtual bool SetIsChangeFan(int value);                      // 57
    virtual void RestoreBiosManualMode();                        // 58
    virtual int GetFanSourceIndex();                             // 59
    virtual void SetFanSourceIndex(int index);                   // 60
    virtual bool UsesEcHelper();                                 // 61
    virtual void ApplyProfileKeepBios(int index);                // 62
    virtual void ApplyProfile(int index);                        // 63

    // The current curve, filled from the current profile when empty.
    const FanPoints& GetFanCurve();
    // The lists themselves: callers may change them in place.
    std::vector<int>& GetThermalWeights() { return m_weights; }
    std::vector<int>& GetMultiSource() { return m_multiSources; }
    void SaveThermalWeights(const std::vector<int>& weights);
    void ApplyThermalWeights(const std::vector<int>& weights);
    // Sends {id, sources..., -1} to the firmware's multi-source device; stores the list when
    // `save`. The fan's own list is not replaced: a caller that makes them the fan's sets it.
    void SetMultiSource(const std::vector<int>& sources, bool save);
    void LoadMultiSource();
    void SaveRpmTargetDuty(uint8_t duty);
    void LoadSettings();
    // The temperature tolerance a client last gave (-1: none; the chip keeps its own), sent again
    // by the restore without storing it.
    int TempToleranceSetting() const { return m_tempTolerance; }
    bool SetTempToleranceButNotSave(int value);

    int FanIndex() const { return m_fanIndex; }
    void SetFanIndex(int index) { m_fanIndex = index; }
    int StoreKey() const { return FanStoreKeyOfIndex(m_fanIndex); }
    FanControlImp* Control() const { return m_control.get(); }
    EcHelper* Helper() const { return m_ecHelper; }
    bool ManualMode() const { return m_manualMode != 0; }

protected:
    // The setter pattern: cache, store under the fan's key, forward.
    bool StoreAndForward(int* cached, int value, bool (FanControlImp::*forward)(int),
                         bool (*store)(int key, int value));
    // In RPM mode the first duty of the fan's curve is stored as its RPM target.
    void KeepRpmTarget();

    std::vector<int> m_weights;
    int m_fanIndex = 0;
    uint8_t m_rpmMode = 0;
    uint8_t m_manualMode = 0;
    int m_ecMode = 0;
    std::unique_ptr<FanControlImp> m_control;
    EcHelper* m_ecHelper;  // shared with the manager and the board's other fans; may be null
    FanPoints m_curve;
    int m_fanSourceIndex = 0;
    int m_t1DelayTime = 0, m_stepUnit = 0, m_stepUpTime = 0, m_stepDownTime = 0, m_rpmTolerance = 0;
    int m_inverse = 0;
    int m_gpio34 = 0;
    int m_isChangeFan = 0;
    std::vector<int> m_multiSources;
    int m_tempTolerance = -1;
};

// Duty at a temperature over a curve: the first point's duty at or below it, linear in between
// (truncated), 255 past the last point.
uint8_t InterpolateDuty(const FanPoints& points, uint8_t temperature);

// Super I/O fans of the 990FX boards; the chassis fan's curve also goes to the EC.
class EcCpuFan990FX : public QuilFanControl {
public:
    using QuilFanControl::QuilFanControl;
    bool Initialize() override;
    uint8_t GetDutyForTemperature(uint8_t temperature) override;
};

class EcChassisFan990FX : public QuilFanControl {
public:
    using QuilFanControl::QuilFanControl;
    bool Initialize() override;
    uint8_t GetDutyForTemperature(uint8_t temperature) override;
    void ApplyProfile(int index) override;
};

// Super I/O fans of the P67 and X79 boards; the auxiliary fan's curve also goes to the EC.
class EcCpuFanP67 : public QuilFanControl {
public:
    using QuilFanControl::QuilFanControl;
    bool Initialize() override;
};

class EcChassisFanP67 : public QuilFanControl {
public:
    using QuilFanControl::QuilFanControl;
    bool Initialize() override;
};

class EcAuxFanP67 : public QuilFanControl {
public:
    using QuilFanControl::QuilFanControl;
    bool Initialize() override;
    void ApplyProfile(int index) override;
};

// A fan driven by the embedded controller through ACPI device records, in the older record forms.
class PureEcFan : public QuilFanControl {
public:
    PureEcFan(EcHelper* helper, uint32_t modeItem, int fanIndex);
    bool Initialize() override;
    uint8_t GetDutyForTemperature(uint8_t temperature) override;
    bool SetStepUpTime(int value) override;
    bool SetStepDownTime(int value) override;
    bool EnableRpmMode(bool on) override;
    bool SetRpmTolerance(int value) override;
    bool GetEcFanOff() override;
    void SetEcFanStop(bool on) override;
    bool SetStepUpTimeButNotSave(int value) override;
    bool SetStepDownTimeButNotSave(int value) override;
    bool EnableRpmModeButNotSave(bool on) override;
    bool SetRpmToleranceButNotSave(int value) override;
    bool SetRpmTarget(int value) override;
    void ApplyProfileKeepBios(int index) override;
    void ApplyProfile(int index) override;

    void SendEcCurve(const FanPoints& points);
    void WriteEcFanStop(bool on);
    // The stored weights and sources, which the constructor reads.
    void LoadStoredLists();
    uint32_t ModeItem() const { return m_modeItem; }
    bool FanStopState() const { return m_fanStop != 0; }

private:
    uint32_t m_modeItem;
    uint8_t m_fanStop = 0;
};

// A fan of the newer embedded controller. Not a PureEcFan: what the two share is in helpers, so
// that no older record form can reach the newer EC.
class NewPureEcFan : public QuilFanControl {
public:
    // Reads neither the store nor the EC: the fan manager's builder does that.
    NewPureEcFan(EcHelper* helper, uint32_t modeItem, int fanIndex);
    bool Initialize() override;
    uint8_t GetDutyForTemperature(uint8_t temperature) override;
    bool SetStepUpTime(int value) override;
    bool SetStepDownTime(int value) override;
    bool EnableRpmMode(bool on) override;
    bool SetRpmTolerance(int value) override;
    void ReadFanCurveFromChip(FanPoints* points) override;
    bool GetEcFanOff() override;
    void SetEcFanStop(bool on) override;
    bool SetStepUpTimeButNotSave(int value) override;
    bool SetStepDownTimeButNotSave(int value) override;
    bool EnableRpmModeButNotSave(bool on) override;
    bool SetRpmToleranceButNotSave(int value) override;
    bool SetRpmTarget(int value) override;
    void ApplyProfileKeepBios(int index) override;
    void ApplyProfile(int index) override;

    void SendEcCurve(const FanPoints& points);
    bool FanStopState() const { return m_fanStop != 0; }
    // The EC fan-stop state as the fan manager reads it for these fans.
    void SetFanStopState(bool on) { m_fanStop = on ? 1 : 0; }

private:
    // The 8-byte record {fan index, flag}; the state follows only an accepted one.
    void WriteEcFanStop(bool on);
    // RPM mode on or off; the step times, target and mode are stored only when `save`.
    bool SwitchRpmMode(bool on, bool save);
    // The RPM target that switching RPM mode on starts from; false when it is the stored target,
    // kept as it is.
    bool RpmTargetFromCurve(int* target);
    // The RPM record {fan index, target, tolerance}, in the EC's units.
    bool SendRpmRecord(int target, int tolerance);

    uint32_t m_modeItem;
    uint8_t m_fanStop = 0;
};

// A fan on the Super I/O chip alone.
class PureSioFan : public QuilFanControl {
public:
    PureSioFan(EcHelper* helper, uint32_t modeItem) : QuilFanControl(helper), m_modeItem(modeItem) {}
    bool Initialize() override;
    void RefreshFanCurve(int profileIndex) override;
    bool UsesEcHelper() override { return false; }
    void ApplyProfile(int index) override;

protected:
    uint32_t m_modeItem;
};

// A Super I/O fan whose weights also go to the EC.
class SioMixEcFan : public QuilFanControl {
public:
    SioMixEcFan(EcHelper* helper, uint32_t modeItem) : QuilFanControl(helper), m_modeItem(modeItem) {}
    bool Initialize() override;
    void RefreshFanCurve(int profileIndex) override;

protected:
    uint32_t m_modeItem;
};
