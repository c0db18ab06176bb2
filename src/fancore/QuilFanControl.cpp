#include "QuilFanControl.h"

#include <cmath>

#include "EcFanControlManager.h"
#include "EcHelper.h"
#include "EcRecords.h"
#include "FanClassSupport.h"
#include "FanControlImp.h"
#include "FanProfile.h"
#include "FanStore.h"
#include "SioAccessor.h"
#include "bios/BiosInterface.h"
#include "system/Text.h"

namespace {

FanStore& Store() {
    return FanStore::Instance();
}

}  // namespace

int FanStoreKeyOfIndex(int fanIndex) {
    return fanIndex < kFirstEcFanIndex ? fanIndex * 2 : fanIndex - 124;
}

namespace fanclass {

uint8_t Interpolate(const FanPoints& p, uint8_t temperature, bool zeroAtStart) {
    const int t = temperature;
    for (size_t i = 0; i < p.size(); ++i) {
        if (i == 0 && p[0].temperature >= t) return zeroAtStart ? 0 : static_cast<uint8_t>(p[0].duty);
        if (p[i].temperature == t) return static_cast<uint8_t>(p[i].duty);
        if (i > 0 && p[i].temperature > t) {
            const int d = p[i].temperature - p[i - 1].temperature;
            if (d == 0) return static_cast<uint8_t>(p[i].duty);
            if (d > 0) {
                const float share = static_cast<float>(t - p[i - 1].temperature) / static_cast<float>(d);
                const float duty =
                    share * static_cast<float>(p[i].duty - p[i - 1].duty) + static_cast<float>(p[i - 1].duty);
                return static_cast<uint8_t>(static_cast<int>(duty));
            }
        }
    }
    return 255;
}

bool ProfilePoints(FanControlImp* control, int index, FanPoints* out) {
    // The control object only answers for positions inside its list, and a list may hold a
    // position whose profile the factory could not build.
    if (!control || index < 0 || index >= control->GetProfileCount()) return false;
    FanProfile* profile = control->GetProfile(index);
    if (!profile) return false;
    FanPoints points;
    profile->GetPoints(&points);
    *out = std::move(points);
    return true;
}

}  // namespace fanclass

uint8_t InterpolateDuty(const FanPoints& points, uint8_t temperature) {
    return fanclass::Interpolate(points, temperature, false);
}

QuilFanControl::QuilFanControl(EcHelper* helper) : m_ecHelper(helper) {}

QuilFanControl::~QuilFanControl() = default;

FanProfile* QuilFanControl::GetProfile(int index) {
    return m_control->GetProfile(index);
}

int QuilFanControl::GetProfileCount() {
    return m_control->GetProfileCount();
}

void QuilFanControl::SelectProfile(int index) {
    fanclass::ProfilePoints(m_control.get(), index, &m_curve);
    ApplyProfile(index);
    // The user profile in RPM mode runs targets: keep its first one as the fan's target, as the
    // selection that keeps the firmware's mode does, so that a restore finds it.
    if (index == m_control->GetProfileCount() - 1) KeepRpmTarget();
}

bool QuilFanControl::SaveProfile(int index) {
    if (index < 0 || index >= m_control->GetProfileCount()) return false;
    FanProfile* profile = m_control->GetProfile(index);
    return profile && profile->Save();
}

void QuilFanControl::SelectProfileKeepBios(int index) {
    fanclass::ProfilePoints(m_control.get(), index, &m_curve);
    ApplyProfileKeepBios(index);
}

int QuilFanControl::GetCurrentProfileIndex() {
    return m_control->GetCurrentProfileIndex();
}

void QuilFanControl::RefreshFanCurve(int profileIndex) {
    if (m_ecHelper) m_ecHelper->ResendWeights(this);
    if (profileIndex >= 0 && profileIndex < m_control->GetProfileCount())
        m_control->RefreshFanCurve(profileIndex);
}

bool QuilFanControl::Stop() {
    return m_control->Stop();
}

uint8_t QuilFanControl::GetCurrentDuty() {
    return m_control->GetCurrentDuty();
}

uint8_t QuilFanControl::GetDutyForTemperature(uint8_t) {
    return m_control->GetCurrentDuty();
}

bool QuilFanControl::SetDutyCycle(uint8_t duty) {
    return m_control->SetDutyCycle(duty);
}

int QuilFanControl::GetMinimalDuty() {
    return m_control->GetMinimalDuty();
}

void QuilFanControl::NormalizeFanCurve(FanPoints* points) {
    m_control->NormalizeFanCurve(points);
}

void QuilFanControl::GetName(std::string* name) {
    m_control->GetName(name);
}

bool QuilFanControl::StoreAndForward(int* cached, int value, bool (FanControlImp::*forward)(int),
                                     bool (*store)(int key, int value)) {
    *cached = value;
    if (store) store(StoreKey(), value);
    return (m_control.get()->*forward)(value);
}

int QuilFanControl::GetStepUpTime() {
    return m_stepUpTime;
}

bool QuilFanControl::SetStepUpTime(int value) {
    return StoreAndForward(&m_stepUpTime, value, &FanControlImp::SetStepUpTime,
                           [](int key, int v) { return Store().SetStepUpTime(key, v); });
}

int QuilFanControl::GetStepDownTime() {
    return m_stepDownTime;
}

bool QuilFanControl::SetStepDownTime(int value) {
    return StoreAndForward(&m_stepDownTime, value, &FanControlImp::SetStepDownTime,
                           [](int key, int v) { return Store().SetStepDownTime(key, v); });
}

int QuilFanControl::GetTempTolerance() {
    return m_control->GetTempTolerance();
}

bool QuilFanControl::SetTempTolerance(int value) {
    return StoreAndForward(&m_tempTolerance, value, &FanControlImp::SetTempTolerance,
                           [](int key, int v) { return Store().SetTempTolerance(key, v); });
}

bool QuilFanControl::SetTempToleranceButNotSave(int value) {
    return StoreAndForward(&m_tempTolerance, value, &FanControlImp::SetTempTolerance, nullptr);
}

bool QuilFanControl::EnableRpmMode(bool on) {
    m_rpmMode = on ? 1 : 0;
    Store().SetRpmMode(StoreKey(), on ? 1 : 0);
    return m_control->EnableRpmMode(on);
}

bool QuilFanControl::IsRpmMode() {
    return m_rpmMode != 0;
}

int QuilFanControl::GetRpmTolerance() {
    return m_rpmTolerance;
}

bool QuilFanControl::SetRpmTolerance(int value) {
    return StoreAndForward(&m_rpmTolerance, value, &FanControlImp::SetRpmTolerance,
                           [](int key, int v) { return Store().SetTolerance(key, v); });
}

int QuilFanControl::GetStepUnit() {
    return m_stepUnit;
}

bool QuilFanControl::SetStepUnit(int value) {
    return StoreAndForward(&m_stepUnit, value, &FanControlImp::SetStepUnit,
                           [](int key, int v) { return Store().SetStepUnit(key, v); });
}

int QuilFanControl::GetT1DelayTime() {
    return m_t1DelayTime;
}

bool QuilFanControl::SetT1DelayTime(int value) {
    return StoreAndForward(&m_t1DelayTime, value, &FanControlImp::SetT1DelayTime,
                           [](int key, int v) { return Store().SetT1DelayTime(key, v); });
}

uint32_t QuilFanControl::GetId() {
    return m_control->GetId();
}

void QuilFanControl::ReadFanCurveFromChip(FanPoints* points) {
    FanPoints curve;
    SioAccessor::Instance().GetFanCurve(&curve, m_fanIndex);
    m_curve = curve;
    if (points) *points = std::move(curve);
}

void QuilFanControl::SetEcMode(int mode) {
    // The embedded controller always drives its own fans.
    if (m_fanIndex >= kFirstEcFanIndex) mode = 1;
    m_ecMode = mode;
    Store().SetEcEnable(StoreKey(), mode);
}

int QuilFanControl::GetEcMode() {
    return m_ecMode;
}

bool QuilFanControl::GetEcFanOff() {
    return false;
}

void QuilFanControl::SetEcFanStop(bool) {}

int QuilFanControl::GetEcFanNumber() {
    return m_fanIndex;
}

void QuilFanControl::GetDisplayName(std::string* name) {
    // Display names are the store's texts, in UTF-8; the firmware's name, in the ANSI code page,
    // stands in for a fan that has none of its own.
    std::string firmware;
    GetName(&firmware);
    const std::wstring wide = tolo::WideFromNarrow(firmware, CP_THREAD_ACP);
    *name = tolo::NarrowFromWide(wide.data(), wide.size(), CP_UTF8);
    Store().GetFanName(StoreKey(), name);
}

bool QuilFanControl::SetDisplayName(const std::string& name) {
    Store().SetFanName(StoreKey(), name);
    return true;
}

bool QuilFanControl::IsWeightsSupported() {
    const std::wstring product = GetBoardProductName();
    return product.find(L"MARROWBACK") != std::wstring::npos ||
           product.find(L"PELICOR") != std::wstring::npos;
}

bool QuilFanControl::IsStepUnitSupported() {
    return SioAccessor::Instance().IsNct679xClass();
}

bool QuilFanControl::IsSencitiveSupported() {
    return SioAccessor::Instance().HasExtendedFanControl();
}

bool QuilFanControl::SetT1DelayTimeButNotSave(int value) {
    return StoreAndForward(&m_t1DelayTime, value, &FanControlImp::SetT1DelayTime, nullptr);
}

bool QuilFanControl::SetStepUnitButNotSave(int value) {
    return StoreAndForward(&m_stepUnit, value, &FanControlImp::SetStepUnit, nullptr);
}

bool QuilFanControl::SetStepUpTimeButNotSave(int value) {
    return StoreAndForward(&m_stepUpTime, value, &FanControlImp::SetStepUpTime, nullptr);
}

bool QuilFanControl::SetStepDownTimeButNotSave(int value) {
    return StoreAndForward(&m_stepDownTime, value, &FanControlImp::SetStepDownTime, nullptr);
}

void QuilFanControl::EnableManualMode(int, bool on) {
    m_manualMode = on ? 1 : 0;
    Store().SetManualMode(StoreKey(), on ? 1 : 0);
    m_control->EnableManualMode(on);
}

bool QuilFanControl::EnableRpmModeButNotSave(bool on) {
    m_rpmMode = on ? 1 : 0;
    return m_control->EnableRpmMode(on);
}

bool QuilFanControl::SetRpmToleranceButNotSave(int value) {
    return StoreAndForward(&m_rpmTolerance, value, &FanControlImp::SetRpmTolerance, nullptr);
}

int QuilFanControl::GetRpmTarget() {
    return Store().GetRpm(StoreKey());
}

int QuilFanControl::GetRpmDuty() {
    return Store().GetRpmDuty(StoreKey());
}

bool QuilFanControl::SetRpmTarget(int value) {
    Store().SetRpm(StoreKey(), value);
    return m_control->SetRpmTolerance(value);
}

int QuilFanControl::GetGpio34() {
    m_gpio34 = Store().GetGpio34();
    return m_gpio34;
}

bool QuilFanControl::SetGpio34(int value) {
    m_gpio34 = static_cast<uint8_t>(value);
    Store().SetGpio34(static_cast<uint8_t>(value));
    return true;
}

int QuilFanControl::GetIsChangeFan() {
    m_isChangeFan = Store().GetIsChangeFan();
    return m_isChangeFan;
}

bool QuilFanControl::SetIsChangeFan(int value) {
    m_isChangeFan = static_cast<uint8_t>(value);
    Store().SetIsChangeFan(static_cast<uint8_t>(value));
    return true;
}

void QuilFanControl::RestoreBiosManualMode() {
    m_control->RestoreManualMode(StoreKey());
}

int QuilFanControl::GetFanSourceIndex() {
    if (!IsBiosItemPresent(kBiosFanSourceTableDevice)) m_fanSourceIndex = 0;
    return m_fanSourceIndex;
}

void QuilFanControl::SetFanSourceIndex(int index) {
    if (!IsBiosItemPresent(kBiosFanSourceTableDevice)) return;
    m_fanSourceIndex = index;
    Store().SetFanSourceIndex(StoreKey(), index);
    SyncBiosFanTable();
}

bool QuilFanControl::UsesEcHelper() {
    return true;
}

void QuilFanControl::ApplyProfileKeepBios(int index) {
    m_control->ApplyProfileKeepBios(index);
    if (!m_multiSources.empty()) SetMultiSource(m_multiSources, false);
    if (m_ecHelper) {
        m_ecHelper->SendEnableList();
        SioAccessor::Instance().ApplyFanMode(m_fanIndex, m_ecMode);
    }
    KeepRpmTarget();
}

void QuilFanControl::KeepRpmTarget() {
    // An empty curve has no first duty to keep as the target.
    if (m_rpmMode && !m_curve.empty()) Store().SetRpm(StoreKey(), m_curve.front().duty);
}

void QuilFanControl::ApplyProfile(int index) {
    m_control->SelectProfile(index);
    if (m_ecHelper) {
        m_ecHelper->SendEnableList();
        SioAccessor::Instance().ApplyFanMode(m_fanIndex, m_ecMode);
    }
}

const FanPoints& QuilFanControl::GetFanCurve() {
    if (m_curve.empty() && m_control)
        fanclass::ProfilePoints(m_control.get(), m_control->GetCurrentProfileIndex(), &m_curve);
    return m_curve;
}

void QuilFanControl::SaveThermalWeights(const std::vector<int>& weights) {
    m_weights = weights;
    Store().WriteWeights(StoreKey(), weights);
    if (m_ecHelper) m_ecHelper->ResendWeights(this);
}

void QuilFanControl::ApplyThermalWeights(const std::vector<int>& weights) {
    m_weights = weights;
    if (m_ecHelper) m_ecHelper->ResendWeights(this);
}

void QuilFanControl::SetMultiSource(const std::vector<int>& sources, bool save) {
    if (!IsBiosItemPresent(kBiosMultiSourceDevice)) return;
    std::vector<int32_t> words;
    words.reserve(sources.size() + 2);
    words.push_back(static_cast<int32_t>(GetId()));
    words.insert(words.end(), sources.begin(), sources.end());
    words.push_back(-1);
    uint32_t length = static_cast<uint32_t>(words.size() * sizeof(int32_t));
    WriteBiosItemBuffer(kBiosMultiSourceDevice, words.data(), &length);
    if (save) Store().WriteMultiSource(StoreKey(), sources);
}

void QuilFanControl::LoadMultiSource() {
    m_multiSources = Store().ReadMultiSource(StoreKey());
}

void QuilFanControl::SaveRpmTargetDuty(uint8_t duty) {
    Store().SetRpmDuty(StoreKey(), duty);
}

void QuilFanControl::LoadSettings() {
    FanStore& store = Store();
    const int key = StoreKey();
    m_stepUnit = store.GetStepUnit(key);
    m_stepDownTime = store.GetStepDownTime(key);
    m_stepUpTime = store.GetStepUpTime(key);
    m_t1DelayTime = store.GetT1DelayTime(key);
    m_rpmTolerance = store.GetTolerance(key);
    m_rpmMode = store.GetRpmMode(key) ? 1 : 0;
    m_gpio34 = store.GetGpio34();
    m_inverse = store.GetInverse();
    m_manualMode = store.GetManualMode(key) != 0 ? 1 : 0;
    m_fanSourceIndex = store.GetFanSourceIndex(key);
    m_tempTolerance = store.GetTempTolerance(key);
}
