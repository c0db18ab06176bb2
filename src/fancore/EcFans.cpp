// Fans driven by the embedded controller through ACPI device records: PureEcFan in the older
// record forms, NewPureEcFan in the newer ones. The two share helpers, not a base, so that each
// reaches its own EC's records only.
#include "EcFanControlManager.h"
#include "EcHelper.h"
#include "EcRecords.h"
#include "FanClassSupport.h"
#include "FanControlImp.h"
#include "FanStore.h"
#include "QuilFanControl.h"
#include "bios/BiosInterface.h"

namespace {

constexpr int kEcFlagsBytes = 16;  // answer of the duty and fan-stop devices
constexpr int kRpmScale = 50;      // the newer EC counts RPM values in units of 50
constexpr int kRpmStepTime = 5;    // step times while the newer EC regulates by RPM

FanStore& Store() {
    return FanStore::Instance();
}

// The older EC numbers its fans from 1.
int OlderEcFanWord(int fanIndex) {
    return fanIndex - (kFirstEcFanIndex - 1);
}

// The EC answers with one word per fan, at the fan's number; a fan past the answer has no word
// in it.
bool WordOfFan(const EcRecord& answer, int fanIndex, int32_t* word) {
    const int at = OlderEcFanWord(fanIndex);
    if (at < 0 || at >= static_cast<int>(answer.size())) return false;
    *word = answer[at];
    return true;
}

bool ReadEcFlags(uint32_t device, EcRecord* answer) {
    answer->assign(kEcFlagsBytes / 4, 0);
    return ReadEcRecord(device, answer);
}

// Slot 0 of both EC classes: a control object without a chip, then the weights to the EC.
bool StartEcControl(QuilFanControl& fan, uint32_t modeItem, std::unique_ptr<FanControlImp>* control) {
    *control = std::make_unique<NonSioFanControl>(fan.FanIndex(), modeItem);
    const bool ok = (*control)->Initialize();
    if (fan.Helper()) fan.Helper()->SendWeights(fan.FanIndex(), fan.GetThermalWeights());
    return ok;
}

// Slot 10 of both EC classes: the EC's own answer where it has the duty device, else the fan's
// curve, which starts at 0 while the fan stops at its bottom.
uint8_t EcDutyForTemperature(QuilFanControl& fan, uint8_t temperature, bool fanStop) {
    if (IsBiosItemPresent(kEcDutyDevice)) {
        EcRecord answer;
        int32_t word = 0;
        if (!ReadEcFlags(kEcDutyDevice, &answer) || !WordOfFan(answer, fan.FanIndex(), &word)) return 255;
        return static_cast<uint8_t>(word & 0xFF);
    }
    const FanPoints curve = fan.GetFanCurve();
    return fanclass::Interpolate(curve, temperature, fanStop);
}

}  // namespace

// PureEcFan

PureEcFan::PureEcFan(EcHelper* helper, uint32_t modeItem, int fanIndex)
    : QuilFanControl(helper), m_modeItem(modeItem) {
    m_fanIndex = fanIndex;
    LoadStoredLists();
    EcRecord answer;
    int32_t word = 0;
    m_fanStop = IsBiosItemPresent(kEcFanStopDevice) && ReadEcFlags(kEcFanStopDevice, &answer) &&
                        WordOfFan(answer, m_fanIndex, &word) && word == 1
                    ? 1
                    : 0;
}

void PureEcFan::LoadStoredLists() {
    Store().ReadWeights(StoreKey(), &m_weights);
    LoadMultiSource();
}

bool PureEcFan::Initialize() {
    return StartEcControl(*this, m_modeItem, &m_control);
}

uint8_t PureEcFan::GetDutyForTemperature(uint8_t temperature) {
    return EcDutyForTemperature(*this, temperature, m_fanStop != 0);
}

namespace {

// The older EC takes both step times in one record.
bool SendPureEcStepTimes(int stepUp, int stepDown) {
    return WriteEcRecord(kEcStepDevice, {stepUp, stepDown, 0});
}

}  // namespace

bool PureEcFan::SetStepUpTime(int value) {
    if (!IsBiosItemPresent(kEcStepDevice)) return false;
    m_stepUpTime = value;
    Store().SetStepUpTime(StoreKey(), value);
    return SendPureEcStepTimes(value, Store().GetStepDownTime(StoreKey()));
}

bool PureEcFan::SetStepDownTime(int value) {
    if (!IsBiosItemPresent(kEcStepDevice)) return false;
    m_stepDownTime = value;
    Store().SetStepDownTime(StoreKey(), value);
    return SendPureEcStepTimes(Store().GetStepUpTime(StoreKey()), value);
}

// An unsaved step time runs beside the other time the fan runs, not beside the stored one.
bool PureEcFan::SetStepUpTimeButNotSave(int value) {
    if (!IsBiosItemPresent(kEcStepDevice)) return false;
    m_stepUpTime = value;
    return SendPureEcStepTimes(value, m_stepDownTime);
}

bool PureEcFan::SetStepDownTimeButNotSave(int value) {
    if (!IsBiosItemPresent(kEcStepDevice)) return false;
    m_stepDownTime = value;
    return SendPureEcStepTimes(m_stepUpTime, value);
}

bool PureEcFan::EnableRpmMode(bool on) {
    if (!IsBiosItemPresent(kEcRpmModeDevice)) return false;
    Store().SetRpmMode(StoreKey(), on ? 1 : 0);
    return EnableRpmModeButNotSave(on);
}

bool PureEcFan::EnableRpmModeButNotSave(bool on) {
    if (!IsBiosItemPresent(kEcRpmModeDevice)) return false;
    m_rpmMode = on ? 1 : 0;
    return WriteEcRecord(kEcRpmModeDevice, {OlderEcFanWord(m_fanIndex), on ? 1 : 0});
}

bool PureEcFan::SetRpmTolerance(int value) {
    if (!IsBiosItemPresent(kEcRpmDevice)) return false;
    Store().SetTolerance(StoreKey(), value);
    return SetRpmToleranceButNotSave(value);
}

bool PureEcFan::SetRpmToleranceButNotSave(int value) {
    if (!IsBiosItemPresent(kEcRpmDevice)) return false;
    m_rpmTolerance = value;
    return WriteEcRecord(kEcRpmDevice, {OlderEcFanWord(m_fanIndex), Store().GetRpm(StoreKey()), value});
}

bool PureEcFan::SetRpmTarget(int value) {
    if (!IsBiosItemPresent(kEcRpmDevice)) return false;
    Store().SetRpm(StoreKey(), value);
    return WriteEcRecord(kEcRpmDevice, {OlderEcFanWord(m_fanIndex), value, Store().GetTolerance(StoreKey())});
}

bool PureEcFan::GetEcFanOff() {
    return Store().GetEcFanOff(StoreKey());
}

void PureEcFan::SetEcFanStop(bool on) {
    Store().SetEcFanOff(StoreKey(), on ? 1 : 0);
    WriteEcFanStop(on);
}

void PureEcFan::WriteEcFanStop(bool on) {
    if (!IsBiosItemPresent(kEcFanStopDevice)) return;
    EcRecord answer;
    if (!ReadEcFlags(kEcFanStopDevice, &answer)) return;
    // The record holds the flags of the first three EC fans; a later fan has no place in it.
    const int at = m_fanIndex - kFirstEcFanIndex;
    EcRecord record(answer.begin() + 1, answer.end());
    if (at < 0 || at >= static_cast<int>(record.size())) return;
    record[at] = on ? 1 : 0;
    if (WriteEcRecord(kEcFanStopDevice, record)) m_fanStop = on ? 1 : 0;
}

void PureEcFan::SendEcCurve(const FanPoints& points) {
    const size_t n = points.size();
    // The two-segment record needs three points.
    if (n < 3) return;
    size_t s = 0;
    if (n == 4) {
        if (GetBoardProductName().find(L"Z87") != std::wstring::npos) SetEcFanStop(GetEcFanOff());
    } else {
        SetEcFanStop(points[0].temperature == points[1].temperature && points[0].duty == 0);
        s = n - 3;
    }
    WriteEcRecord(kEcCurveDevice, BuildEcTwoSegmentRecord(m_fanIndex, points, s));
}

namespace {

// After the control object applied profile `index`: the enable list and the profile's curve go
// to the EC; the fan stops at the bottom of its curve only with the user profile and the user's
// choice.
template <class Fan>
bool SendProfileToEc(Fan* fan, int index) {
    if (fan->Helper()) fan->Helper()->SendEnableList();
    FanPoints points;
    if (fanclass::ProfilePoints(fan->Control(), index, &points)) fan->SendEcCurve(points);
    return index == kUserProfileIndex ? fan->GetEcFanOff() : false;
}

}  // namespace

void PureEcFan::ApplyProfileKeepBios(int index) {
    m_control->ApplyProfileKeepBios(index);
    WriteEcFanStop(SendProfileToEc(this, index));
}

void PureEcFan::ApplyProfile(int index) {
    m_control->SelectProfile(index);
    WriteEcFanStop(SendProfileToEc(this, index));
}

// NewPureEcFan

NewPureEcFan::NewPureEcFan(EcHelper* helper, uint32_t modeItem, int fanIndex)
    : QuilFanControl(helper), m_modeItem(modeItem) {
    m_fanIndex = fanIndex;
}

bool NewPureEcFan::Initialize() {
    return StartEcControl(*this, m_modeItem, &m_control);
}

uint8_t NewPureEcFan::GetDutyForTemperature(uint8_t temperature) {
    return EcDutyForTemperature(*this, temperature, m_fanStop != 0);
}

namespace {

bool SendNewEcPair(uint32_t device, int fanIndex, int value) {
    return WriteEcRecord(device, {fanIndex, value});
}

}  // namespace

bool NewPureEcFan::SetStepUpTime(int value) {
    if (!IsBiosItemPresent(kEcStepDevice)) return false;
    m_stepUpTime = value;
    Store().SetStepUpTime(StoreKey(), value);
    return SendNewEcPair(kEcStepDevice, m_fanIndex, value);
}

bool NewPureEcFan::SetStepDownTime(int value) {
    if (!IsBiosItemPresent(kEcStepDownDevice)) return false;
    m_stepDownTime = value;
    Store().SetStepDownTime(StoreKey(), value);
    return SendNewEcPair(kEcStepDownDevice, m_fanIndex, value);
}

bool NewPureEcFan::SetStepUpTimeButNotSave(int value) {
    if (!IsBiosItemPresent(kEcStepDevice)) return false;
    m_stepUpTime = value;
    return SendNewEcPair(kEcStepDevice, m_fanIndex, value);
}

bool NewPureEcFan::SetStepDownTimeButNotSave(int value) {
    if (!IsBiosItemPresent(kEcStepDownDevice)) return false;
    m_stepDownTime = value;
    return SendNewEcPair(kEcStepDownDevice, m_fanIndex, value);
}

bool NewPureEcFan::EnableRpmMode(bool on) {
    return SwitchRpmMode(on, true);
}

bool NewPureEcFan::EnableRpmModeButNotSave(bool on) {
    return SwitchRpmMode(on, false);
}

bool NewPureEcFan::SwitchRpmMode(bool on, bool save) {
    if (!IsBiosItemPresent(kEcRpmModeDevice)) return false;
    if (on) {
        if (save) {
            SetStepUpTime(kRpmStepTime);
            SetStepDownTime(kRpmStepTime);
        } else {
            SetStepUpTimeButNotSave(kRpmStepTime);
            SetStepDownTimeButNotSave(kRpmStepTime);
        }
    }
    m_rpmMode = on ? 1 : 0;
    if (save) Store().SetRpmMode(StoreKey(), on ? 1 : 0);
    const bool sent = SendNewEcPair(kEcRpmModeDevice, m_fanIndex, on ? 1 : 0);
    if (on) {
        int target = 0;
        const bool store = RpmTargetFromCurve(&target);
        if (save && store)
            SetRpmTarget(target);
        else if (IsBiosItemPresent(kEcRpmDevice))
            SendRpmRecord(target, Store().GetTolerance(StoreKey()));
    }
    return sent;
}

bool NewPureEcFan::RpmTargetFromCurve(int* target) {
    FanPoints stored(kMaxCurvePoints);
    const size_t filled = Store().ReadCurve(StoreKey(), &stored, false);
    if (filled > 0) stored.resize(filled);
    // The duty at the start of the fan's stored user curve (of the list as it starts when none is
    // stored).
    *target = stored[0].duty;
    if (filled == 0 || IsRunnableCurve(stored, kMaxCurvePoints)) return true;
    // A stored curve the user profile refuses (a hand edit) is not what the fan runs: a target a
    // client gave stays as it is, else the target follows the profile's own points.
    *target = Store().GetRpm(StoreKey());
    if (*target != 0) return false;
    FanPoints running;
    if (fanclass::ProfilePoints(Control(), kUserProfileIndex, &running) && !running.empty())
        *target = running[0].duty;
    return true;
}

bool NewPureEcFan::SetRpmTolerance(int value) {
    if (!IsBiosItemPresent(kEcRpmDevice)) return false;
    Store().SetTolerance(StoreKey(), value);
    return SetRpmToleranceButNotSave(value);
}

bool NewPureEcFan::SetRpmToleranceButNotSave(int value) {
    if (!IsBiosItemPresent(kEcRpmDevice)) return false;
    m_rpmTolerance = value;
    return SendRpmRecord(Store().GetRpm(StoreKey()), value);
}

bool NewPureEcFan::SetRpmTarget(int value) {
    if (!IsBiosItemPresent(kEcRpmDevice)) return false;
    Store().SetRpm(StoreKey(), value);
    return SendRpmRecord(value, Store().GetTolerance(StoreKey()));
}

bool NewPureEcFan::SendRpmRecord(int target, int tolerance) {
    return WriteEcRecord(kEcRpmDevice, {m_fanIndex, target * kRpmScale, tolerance * kRpmScale});
}

void NewPureEcFan::ReadFanCurveFromChip(FanPoints* points) {
    // The EC's own curve cannot be read back; this is the curve it starts with.
    if (points) *points = {{30, 153}, {70, 255}, {70, 255}, {70, 255}};
}

bool NewPureEcFan::GetEcFanOff() {
    return Store().GetEcFanOff(StoreKey());
}

void NewPureEcFan::SetEcFanStop(bool on) {
    Store().SetEcFanOff(StoreKey(), on ? 1 : 0);
    WriteEcFanStop(on);
}

// The newer EC takes one fan's fan-stop flag.
void NewPureEcFan::WriteEcFanStop(bool on) {
    if (IsBiosItemPresent(kEcFanStopDevice) && SendNewEcPair(kEcFanStopDevice, m_fanIndex, on ? 1 : 0))
        m_fanStop = on ? 1 : 0;
}

void NewPureEcFan::SendEcCurve(const FanPoints& points) {
    if (IsBiosItemPresent(kEcCurveDevice))
        WriteEcRecord(kEcCurveDevice, BuildEcPointListRecord(m_fanIndex, points));
}

void NewPureEcFan::ApplyProfileKeepBios(int index) {
    m_control->ApplyProfileKeepBios(index);
    WriteEcFanStop(SendProfileToEc(this, index));
}

void NewPureEcFan::ApplyProfile(int index) {
    m_control->SelectProfile(index);
    WriteEcFanStop(SendProfileToEc(this, index));
}
