// The chip-neutral fan operations of the accessor: ITE chips go to the ITE engine, Fintek chips to
// the Fintek engine, every other chip to the SmartFan IV engine.
#include "FintekFanEngine.h"
#include "IteFanEngine.h"
#include "SioAccessor.h"
#include "SmartFanFourEngine.h"

namespace {
IteFanEngineFacade& Ite() {
    return IteFanEngineFacade::Instance();
}
FintekFanEngineFacade& Fintek() {
    return FintekFanEngineFacade::Instance();
}
SmartFanFourFacade& SmartFan() {
    return SmartFanFourFacade::Instance();
}
}  // namespace

bool SioAccessor::GetFanDuty(uint8_t* duty, int fan, int temperature) {
    if (IsIteFamily())
        Ite().ReadDuty(fan, duty, temperature);
    else if (IsFintekChip(ChipId()))
        *duty = Fintek().ReadDuty(fan);
    else
        *duty = SmartFan().ReadDutyForType(fan);
    return true;
}

bool SioAccessor::SetFanDuty(int fan, uint8_t percent) {
    if (IsIteFamily())
        Ite().SetManualDuty(fan, percent);
    else if (IsFintekChip(ChipId()))
        Fintek().SetFanDuty(fan, percent);
    else
        SmartFan().SetFanDuty(fan, percent);
    return true;
}

bool SioAccessor::GetFanCurve(FanPoints* points, int fan) {
    static const bool fintek = IsFintekChip(ChipId());
    if (fintek)
        *points = Fintek().ReadCurve(fan);
    else if (IsIteFamily())
        Ite().ReadCurve(points, fan);
    else
        *points = SmartFan().ReadCurve(fan);
    return true;
}

// Below: operations of extended fan control, which no Fintek chip has. On ITE chips the getters
// leave their out value alone.
bool SioAccessor::IsRpmMode(int fan, bool* on) {
    if (!HasExtendedFanControl()) return false;
    if (!IsIteFamily()) SmartFan().IsRpmMode(fan, on);
    return true;
}

bool SioAccessor::EnableRpmMode(int fan, bool on) {
    if (!HasExtendedFanControl()) return false;
    if (IsIteFamily())
        Ite().EnableRpmMode(fan, on);
    else
        SmartFan().EnableRpmMode(fan, on ? 1 : 0);
    return true;
}

bool SioAccessor::GetRpmTolerance(int fan, int* value) {
    if (!HasExtendedFanControl()) return false;
    if (!IsIteFamily()) SmartFan().GetRpmTolerance(fan, value);
    return true;
}

bool SioAccessor::SetRpmTolerance(int fan, int value) {
    if (!HasExtendedFanControl()) return false;
    if (IsIteFamily())
        Ite().SetRpmTolerance(fan, value);
    else
        SmartFan().SetRpmTolerance(fan, value);
    return true;
}

bool SioAccessor::GetStepDownTime(int fan, int* value) {
    if (!HasExtendedFanControl()) return false;
    if (!IsIteFamily()) SmartFan().GetStepDownTime(fan, value);
    return true;
}

bool SioAccessor::SetStepDownTime(int fan, int value) {
    if (!HasExtendedFanControl()) return false;
    if (IsIteFamily())
        Ite().SetStepTime(fan, value, false);
    else
        SmartFan().SetStepDownTime(fan, value);
    return true;
}

bool SioAccessor::GetStepUpTime(int fan, int* value) {
    if (!HasExtendedFanControl()) return false;
    if (!IsIteFamily()) SmartFan().GetStepUpTime(fan, value);
    return true;
}

bool SioAccessor::SetStepUpTime(int fan, int value) {
    if (!HasExtendedFanControl() || fan < 0) return false;
    if (IsIteFamily())
        Ite().SetStepTime(fan, value, true);
    else
        SmartFan().SetStepUpTime(fan, value);
    return true;
}

bool SioAccessor::GetTempTolerance(int fan, int* value) {
    if (!HasExtendedFanControl()) return false;
    if (!IsIteFamily()) SmartFan().GetTempTolerance(fan, value);
    return true;
}

bool SioAccessor::SetTempTolerance(int fan, int value) {
    if (!HasExtendedFanControl()) return false;
    if (!IsIteFamily()) SmartFan().SetTempTolerance(fan, value);
    return true;
}

bool SioAccessor::GetStepUnit(int fan, int* value) {
    if (!IsNct679xClass()) return false;
    SmartFan().GetStepUnit(fan, value);
    return true;
}

bool SioAccessor::SetStepUnit(int fan, int value) {
    if (!IsNct679xClass() || fan < 0) return false;
    SmartFan().SetStepUnit(fan, value);
    return true;
}

bool SioAccessor::GetT1DelayTime(int fan, int* value) {
    if (!HasExtendedFanControl()) return false;
    if (IsIteFamily())
        Ite().GetT1DelayTime(fan, value);
    else
        SmartFan().GetT1DelayTime(fan, value);
    return true;
}

bool SioAccessor::SetT1DelayTime(int fan, int value) {
    if (!HasExtendedFanControl() || fan < 0) return false;
    if (IsIteFamily())
        Ite().SetT1DelayTime(fan, value);
    else
        SmartFan().SetT1DelayTime(fan, value);
    return true;
}

bool SioAccessor::IsSupportFanStop() {
    return IsIteFamily() ? Ite().IsSupportFanStop() : IsNct679xClass();
}
