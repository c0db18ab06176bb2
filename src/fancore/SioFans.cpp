// The fan classes driven through the Super I/O chip: the board-specific 990FX and P67 fans (some
// of whose curves also go to the embedded controller), PureSioFan and SioMixEcFan.
#include "EcHelper.h"
#include "EcRecords.h"
#include "FanClassSupport.h"
#include "FanControlImp.h"
#include "QuilFanControl.h"
#include "SioAccessor.h"

namespace {

constexpr uint32_t kCpuFanModeItem = 0x04070010;
constexpr uint32_t kChassisFanModeItem = 0x04070070;
constexpr uint32_t kAuxFanModeItem = 0x04070080;
constexpr int kEcChassisFanCode = 2;
constexpr int kEcAuxFanCode = 3;

bool InitializeSio(std::unique_ptr<FanControlImp>* control, int fanNumber, uint32_t modeItem) {
    *control = std::make_unique<SioFanControl>(fanNumber, modeItem);
    return (*control)->Initialize();
}

// On ITE chips the user profile's curve is the one the chip runs, so the duty follows from it;
// otherwise the chip is asked.
uint8_t DutyFromUserCurve(FanControlImp* control, uint8_t temperature) {
    const int current = control->GetCurrentProfileIndex();
    FanPoints points;
    if (SioAccessor::IsIteChip(SioAccessor::Instance().ChipId()) &&
        current + 1 == control->GetProfileCount() && fanclass::ProfilePoints(control, current, &points))
        return fanclass::Interpolate(points, temperature, false);
    return control->GetCurrentDuty();
}

// The chip applies the profile; while the fan is under EC control the EC also gets its first
// segment.
void SendSegmentWhenEcMode(FanControlImp* control, int ecMode, int index, int fanCode) {
    FanPoints points;
    if (ecMode == 1 && fanclass::ProfilePoints(control, index, &points) && points.size() >= 2)
        SendEcSegmentCurve(fanCode, points);
}

}  // namespace

bool EcCpuFan990FX::Initialize() {
    return InitializeSio(&m_control, 0, kCpuFanModeItem);
}

uint8_t EcCpuFan990FX::GetDutyForTemperature(uint8_t temperature) {
    return DutyFromUserCurve(m_control.get(), temperature);
}

bool EcChassisFan990FX::Initialize() {
    return InitializeSio(&m_control, 1, kChassisFanModeItem);
}

uint8_t EcChassisFan990FX::GetDutyForTemperature(uint8_t temperature) {
    return DutyFromUserCurve(m_control.get(), temperature);
}

void EcChassisFan990FX::ApplyProfile(int index) {
    m_control->SelectProfile(index);
    if (m_ecHelper) m_ecHelper->SendEnableList();
    SendSegmentWhenEcMode(m_control.get(), m_ecMode, index, kEcChassisFanCode);
    SioAccessor::Instance().ApplyFanMode(m_fanIndex, m_ecMode);
}

bool EcCpuFanP67::Initialize() {
    return InitializeSio(&m_control, 0, kCpuFanModeItem);
}

bool EcChassisFanP67::Initialize() {
    return InitializeSio(&m_control, 1, kChassisFanModeItem);
}

bool EcAuxFanP67::Initialize() {
    return InitializeSio(&m_control, 2, kAuxFanModeItem);
}

void EcAuxFanP67::ApplyProfile(int index) {
    m_control->SelectProfile(index);
    if (m_ecHelper) m_ecHelper->SendEnableList();
    SendSegmentWhenEcMode(m_control.get(), m_ecMode, index, kEcAuxFanCode);
}

bool PureSioFan::Initialize() {
    return InitializeSio(&m_control, m_fanIndex, m_modeItem);
}

void PureSioFan::RefreshFanCurve(int profileIndex) {
    if (profileIndex >= 0 && profileIndex < m_control->GetProfileCount())
        m_control->RefreshFanCurve(profileIndex);
}

void PureSioFan::ApplyProfile(int index) {
    m_control->SelectProfile(index);
}

bool SioMixEcFan::Initialize() {
    return InitializeSio(&m_control, m_fanIndex, m_modeItem);
}

void SioMixEcFan::RefreshFanCurve(int profileIndex) {
    // The weights go again only when the board has an EC helper, as in the base.
    QuilFanControl::RefreshFanCurve(profileIndex);
}
