// The restore paths over the fan manager's fans: the decision from "BIOS fan patch", the comparison
// of two firmware settings with the store, the by-pass that adopts the chip's curves, and the full
// restore of every fan's stored settings.
#include <windows.h>

#include "FanObjectsLock.h"
#include "RestoreThread.h"
#include "bios/BiosInterface.h"
#include "fancore/BoardReaders.h"
#include "fancore/EcFanControlManager.h"
#include "fancore/EcRecords.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "system/Handles.h"
#include "system/Trace.h"

namespace {

const std::vector<QuilFanControl*>* ManagerFans() {
    EcFanControlManager* manager = EcFanControlManager::Instance();
    return manager ? &manager->Fans() : nullptr;
}

// Only into a key that exists: the writers that mean "restore" create it.
void WriteBiosFanPatchZero() {
    tolo::RegKey key;
    if (RegOpenKeyHelper(key.Put(), HKEY_LOCAL_MACHINE, kBiosFanPatchKey, KEY_ALL_ACCESS))
        RegWriteDword(key.Get(), kBiosFanPatchValue, 0);
}

void SetDuties(FanPoints* points, int duty) {
    for (FanPoint& p : *points) p.duty = duty;
}

void SetUserPoints(QuilFanControl* fan, int index, const FanPoints& points) {
    if (FanProfile* profile = fan->GetProfile(index)) profile->SetPolygonal(points);
}

// The fan first runs its curve with the duty it had, then, after a moment, with its RPM target;
// the user profile keeps the points with the target. A fan without a stored target keeps its own
// curve: it is never sent a target it was not given. The RPM mode goes off for the moment in the
// fan and the chip only, never in the store.
void RestoreRpmCurve(QuilFanControl* fan) {
    constexpr int kUser = 4;
    fan->EnableRpmModeButNotSave(false);
    const FanPoints own = fan->GetFanCurve();
    FanPoints points = own;
    SetDuties(&points, fan->GetRpmDuty());
    SetUserPoints(fan, kUser, points);
    fan->SelectProfileKeepBios(kUser);
    Sleep(100);
    fan->EnableRpmModeButNotSave(true);
    const int target = fan->GetRpmTarget();
    points = own;
    if (target > 0) SetDuties(&points, target);
    SetUserPoints(fan, kUser, points);
    fan->SelectProfileKeepBios(kUser);
    fan->SetRpmToleranceButNotSave(fan->GetRpmTolerance());
}

// Re-applies the fan's settings from its cache; the store keeps what clients saved, so that the
// file never holds a value of the restore's own, even for a moment.
void RestoreFan(QuilFanControl* fan) {
    int up = fan->GetStepUpTime();
    int down = fan->GetStepDownTime();
    // The chip ramps to the restored curve at once.
    fan->SetStepUpTimeButNotSave(0);
    fan->SetStepDownTimeButNotSave(0);
    fan->RestoreBiosManualMode();
    int count = fan->GetProfileCount();
    fan->SetEcMode(FanStore::Instance().GetEcEnable(fan->StoreKey()) ? 1 : 0);
    if (count < 5) {
        int current = fan->GetCurrentProfileIndex();
        fan->RefreshFanCurve(current);
        fan->SelectProfileKeepBios(current);
    } else if (fan->IsRpmMode()) {
        RestoreRpmCurve(fan);
    } else {
        // The fan's curve goes to the chip through the user profile, which then gets its own
        // points back.
        int user = count - 1;
        fan->RefreshFanCurve(user);
        FanPoints curve = fan->GetFanCurve();
        FanPoints own;
        if (FanProfile* profile = fan->GetProfile(user)) profile->GetPoints(&own);
        SetUserPoints(fan, user, curve);
        fan->SelectProfileKeepBios(user);
        SetUserPoints(fan, user, own);
    }
    Sleep(300);
    if (!fan->IsRpmMode()) {
        fan->SetStepUpTimeButNotSave(up);
        fan->SetStepDownTimeButNotSave(down);
        fan->SetStepUnitButNotSave(fan->GetStepUnit());
    }
    fan->SetT1DelayTimeButNotSave(fan->GetT1DelayTime());
    // Only a tolerance a client gave: without one the chip keeps its own.
    if (fan->TempToleranceSetting() >= 0) fan->SetTempToleranceButNotSave(fan->TempToleranceSetting());
    if (fan->GetEcMode() == 1) fan->SetEcFanStop(fan->GetEcFanOff());
}

}  // namespace

int ReadBiosFanPatchFlag() {
    tolo::RegKey key;
    if (!RegOpenKeyHelper(key.Put(), HKEY_LOCAL_MACHINE, kBiosFanPatchKey, KEY_READ)) return 0;
    DWORD value = 0;
    if (!RegReadDword(key.Get(), kBiosFanPatchValue, &value)) return -1;
    return value == 1 ? 1 : 0;
}

bool SyncBiosFanItems() {
    const std::vector<QuilFanControl*>* fans = ManagerFans();
    if (!fans || fans->empty()) return false;
    QuilFanControl* first = fans->front();
    bool differed = false;
    // A failed read leaves the stored value as it was: nothing is known about the setting.
    if (IsBiosItemPresent(kBiosGpio34Item)) {
        int stored = first->GetGpio34();
        int bios = 0;
        if (GetBiosItemValue(kBiosGpio34Item, &bios)) {
            if ((stored > 0 && bios == 0) || (stored == 0 && bios == 1)) {
                WriteBiosFanPatchZero();
                differed = true;
            }
            first->SetGpio34(bios != 0 ? 1 : 0);
        }
    }
    if (IsBiosItemPresent(kBiosIsChangeFanItem)) {
        int stored = first->GetIsChangeFan();
        int bios = 0;
        if (GetBiosItemValue(kBiosIsChangeFanItem, &bios)) {
            if (stored != -1 && stored != bios) {
                WriteBiosFanPatchZero();
                differed = true;
            }
            first->SetIsChangeFan(bios != 0 ? 1 : 0);
        }
    }
    return differed;
}

bool ShouldRestoreFans(int resume) {
    {
        tolo::RegKey key;
        DWORD value = 0;
        if (!RegOpenKeyHelper(key.Put(), HKEY_LOCAL_MACHINE, kBiosFanPatchKey, KEY_READ) ||
            !RegReadDword(key.Get(), kBiosFanPatchValue, &value))
            return false;
    }
    SyncBiosFanItems();
    int flag = ReadBiosFanPatchFlag();
    if (flag == 1) return true;
    if (flag == 0 && resume == 0) BypassApplyProfiles();
    return false;
}

void BypassApplyProfiles() {
    tolo::TraceA("Running by pass");
    if (const std::vector<QuilFanControl*>* fans = ManagerFans()) {
        for (size_t position = 0; position < fans->size(); ++position) {
            QuilFanControl* fan = (*fans)[position];
            int user = fan->GetProfileCount() - 1;
            FanProfile* profile = user >= 0 ? fan->GetProfile(user) : nullptr;
            if (!profile) continue;
            FanPoints chip;
            fan->ReadFanCurveFromChip(&chip);
            profile->SetPolygonal(chip);
            // The firmware's second curve is not in the chip: it starts empty.
            if (CanUseBiosFanCurve(static_cast<int>(position)))
                if (FanProfile* second = profile->SecondProfile()) second->SetPolygonal(FanPoints(4));
            fan->SaveProfile(user);
        }
    }
    tolo::TraceA("\nBy pass done\n");
}

void RestoreFanSettings() {
    tolo::TraceA("Running Restore");
    const std::vector<QuilFanControl*>* fans = ManagerFans();
    if (!fans) return;
    for (QuilFanControl* fan : *fans) {
        // Clients drive the same fans: one fan at a time under their lock, so that a client's
        // change lands before or after a fan's restore, never inside it. No client member holds
        // the lock while it calls out of the process or waits for the start-up step.
        service::FanObjectsGuard guard;
        RestoreFan(fan);
    }
    // The table is built from every fan's source and sent in one step, as a client's change of a
    // source does: a change landing in between would be overwritten by the older table.
    service::FanObjectsGuard guard;
    SyncBiosFanTable();
}
