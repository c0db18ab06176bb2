#include "FanControlImp.h"

#include <windows.h>

#include <atomic>

#include "EcRecords.h"
#include "FanProfile.h"
#include "FanStore.h"
#include "ProfileFactory.h"
#include "SioAccessor.h"
#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"
#include "system/Handles.h"
#include "system/MessageBox.h"

namespace {

// The firmware keeps the selected standard profile in the item right after the fan's mode item.
constexpr uint32_t kModeSubItemOffset = 0x10001;
// Embedded-controller fans whose device lies below this id keep their user curve under key 5.
constexpr uint32_t kFirstEcModeItem = 0x040700E0;

// Profile types of a fan's list, in list order.
constexpr int kListedProfileTypes[] = {kManualProfile, 0, 1, 2};

// Unsigned comparison, so that a negative index is simply out of range.
bool Below(int index, size_t count) {
    return static_cast<unsigned>(index) < count;
}

// Fills a list: the manual and standard profiles always take their positions (even when the
// registry has none, so that position 4 stays the user profile); the user profile is appended
// only when the fan has one.
void FillProfileList(std::vector<std::unique_ptr<FanProfile>>* list, int fanType, int userFanType) {
    FanProfileFactoryRegistry& registry = GetProfileFactoryRegistry();
    list->clear();
    for (int type : kListedProfileTypes) list->push_back(registry.CreateProfile(type, fanType));
    if (auto user = registry.CreateProfile(kUserProfile, userFanType)) list->push_back(std::move(user));
}

// The profile the firmware records for a fan: 0 when its mode item says manual, else the stored
// standard profile + 1, capped at the last position of the list.
int RecordedProfileIndex(bool suiteInstalled, uint32_t modeItem, size_t count) {
    if (suiteInstalled) return kUserProfileIndex;
    int value = 0;
    if (!GetBiosItemValue(modeItem, &value) || value == 0) return 0;
    // A failed read of the sub-item leaves the mode item's value in place.
    int sub = 0;
    if (GetBiosItemValue(modeItem + kModeSubItemOffset, &sub)) value = sub;
    const int n = value + 1;
    return Below(n, count) ? n : static_cast<int>(count) - 1;
}

// A getter of the accessor: starts from 0 and gives what the accessor wrote, whatever its result.
int FanValue(bool (SioAccessor::*get)(int, int*), int fan) {
    int value = 0;
    (SioAccessor::Instance().*get)(fan, &value);
    return value;
}

bool KeyOpens(const char* path, tolo::RegKey* key) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key->Put()) == ERROR_SUCCESS;
}

}  // namespace

FanControlImp::FanControlImp(int fanNumber, uint32_t modeItem)
    : m_chipFanNumber(-1),
      m_suiteInstalled(IsSuiteInstalled()),
      m_modeItem(modeItem),
      m_fanNumber(fanNumber) {}

FanControlImp::~FanControlImp() = default;

FanProfile* FanControlImp::GetProfile(int index) {
    // Callers stay below the count; anything else gets no profile rather than a stray pointer.
    return Below(index, m_profiles.size()) ? m_profiles[index].get() : nullptr;
}

int FanControlImp::GetProfileCount() {
    return static_cast<int>(m_profiles.size());
}

void FanControlImp::SelectProfile(int index) {
    ApplyProfileAt(index, !m_suiteInstalled);
}

bool FanControlImp::SaveProfile(int index) {
    FanProfile* profile = GetProfile(index);
    return profile && profile->Save();
}

void FanControlImp::ApplyProfileKeepBios(int index) {
    ApplyProfileAt(index, false);
}

void FanControlImp::ApplyProfileAt(int index, bool save) {
    FanProfile* profile = GetProfile(index);
    if (!profile) return;
    profile->Apply();
    if (save) profile->Save();
}

void FanControlImp::RefreshFanCurve(int index) {
    if (FanProfile* profile = GetProfile(index)) profile->Refresh();
}

bool FanControlImp::Stop() {
    tolo::ShowMessageBoxA("Method Stop is not supported.", "FanVantroControl", MB_OK);
    return false;
}

uint8_t FanControlImp::GetCurrentDuty() {
    uint8_t duty = 0;
    SioAccessor::Instance().GetFanDuty(&duty, m_chipFanNumber, 0);
    return duty;
}

uint8_t FanControlImp::GetDutyForTemperature(uint8_t) {
    return GetCurrentDuty();
}

bool FanControlImp::SetDutyCycle(uint8_t duty) {
    return SioAccessor::Instance().SetFanDuty(m_chipFanNumber, duty);
}

int FanControlImp::GetMinimalDuty() {
    return 51;
}

void FanControlImp::NormalizeFanCurve(FanPoints* points) {
    // The user profile is last in the list; it knows what the chip can hold.
    if (!m_profiles.empty() && m_profiles.back()) m_profiles.back()->Normalize(points);
}

int FanControlImp::GetStepUpTime() {
    return FanValue(&SioAccessor::GetStepUpTime, m_chipFanNumber);
}

bool FanControlImp::SetStepUpTime(int value) {
    return SioAccessor::Instance().SetStepUpTime(m_chipFanNumber, value);
}

int FanControlImp::GetStepDownTime() {
    return FanValue(&SioAccessor::GetStepDownTime, m_chipFanNumber);
}

bool FanControlImp::SetStepDownTime(int value) {
    return SioAccessor::Instance().SetStepDownTime(m_chipFanNumber, value);
}

int FanControlImp::GetTempTolerance() {
    return FanValue(&SioAccessor::GetTempTolerance, m_chipFanNumber);
}

bool FanControlImp::SetTempTolerance(int value) {
    return SioAccessor::Instance().SetTempTolerance(m_chipFanNumber, value);
}

bool FanControlImp::EnableRpmMode(bool on) {
    return SioAccessor::Instance().EnableRpmMode(m_chipFanNumber, on);
}

bool FanControlImp::IsRpmMode() {
    bool on = false;
    SioAccessor::Instance().IsRpmMode(m_chipFanNumber, &on);
    return on;
}

int FanControlImp::GetRpmTolerance() {
    return FanValue(&SioAccessor::GetRpmTolerance, m_chipFanNumber);
}

bool FanControlImp::SetRpmTolerance(int value) {
    return SioAccessor::Instance().SetRpmTolerance(m_chipFanNumber, value);
}

int FanControlImp::GetStepUnit() {
    return FanValue(&SioAccessor::GetStepUnit, m_chipFanNumber);
}

bool FanControlImp::SetStepUnit(int value) {
    return SioAccessor::Instance().SetStepUnit(m_chipFanNumber, value);
}

int FanControlImp::GetT1DelayTime() {
    return FanValue(&SioAccessor::GetT1DelayTime, m_chipFanNumber);
}

bool FanControlImp::SetT1DelayTime(int value) {
    if (m_chipFanNumber < 0) return false;
    return SioAccessor::Instance().SetT1DelayTime(m_chipFanNumber, value);
}

void FanControlImp::EnableManualMode(bool on) {
    WriteBiosFanMode(m_chipFanNumber, on ? 1 : 0);
}

void FanControlImp::RestoreManualMode(int storeKey) {
    if (!CanUseBiosFanCurve(m_chipFanNumber)) return;
    FanStore& store = FanStore::Instance();
    if (store.GetManualMode(storeKey) == 1)
        WriteBiosFanMode(m_chipFanNumber, 1);
    else if (store.GetManualMode(storeKey) == 0)
        WriteBiosFanMode(m_chipFanNumber, 0);
}

void FanControlImp::RecordSelection(int index) {
    if (!Below(index, m_profiles.size())) return;
    if (!m_suiteInstalled) {
        // Failed writes change nothing the caller could act on; the chip already runs the profile.
        if (index == kManualProfileIndex) {
            SetBiosItemValue(m_modeItem, 0);
            return;
        }
        SetBiosItemValue(m_modeItem, 1);
        SetBiosItemValue(m_modeItem + kModeSubItemOffset, index - 1);
    }
    if (index == kUserProfileIndex) SaveProfile(index);
}

// Super I/O fans.

bool SioFanControl::Initialize() {
    GetProfileFactoryRegistry().CreateFactory(m_fanNumber, static_cast<int>(m_modeItem));
    m_chipFanNumber = m_fanNumber;
    FillProfileList(&m_profiles, m_fanNumber, m_fanNumber);
    return true;
}

void SioFanControl::SelectProfile(int index) {
    ApplyProfileAt(index, !m_suiteInstalled);
    RecordSelection(index);
}

int SioFanControl::GetCurrentProfileIndex() {
    return RecordedProfileIndex(m_suiteInstalled, m_modeItem, m_profiles.size());
}

int SioFanControl::GetMinimalDuty() {
    return m_fanNumber == 0 ? 51 : 102;
}

void SioFanControl::GetName(std::string* name) {
    *name = GetBiosFanName(m_modeItem);
}

// Embedded-controller fans.

bool NonSioFanControl::Initialize() {
    FanProfileFactoryRegistry& registry = GetProfileFactoryRegistry();
    m_chipFanNumber = registry.GetFactoryFanNumber(1);
    const int userKey = m_modeItem < kFirstEcModeItem ? 5 : m_fanNumber - 124;
    FillProfileList(&m_profiles, 1, userKey);
    return true;
}

void NonSioFanControl::SelectProfile(int index) {
    RecordSelection(index);
}

int NonSioFanControl::GetCurrentProfileIndex() {
    return RecordedProfileIndex(m_suiteInstalled, m_modeItem, m_profiles.size());
}

void NonSioFanControl::GetName(std::string* name) {
    *name = GetBiosFanName(m_modeItem);
}

// The maker's utility suite.

bool IsSuiteInstalled() {
    {
        tolo::RegKey suite;
        if (KeyOpens("Software\\Quil\\Tessaro_II", &suite)) {
            BYTE buffer[1024];
            DWORD size = sizeof(buffer);
            if (RegQueryValueExA(suite.Get(), "ExeName", nullptr, nullptr, buffer, &size) == ERROR_SUCCESS)
                return true;
        }
    }
    tolo::RegKey vantro, scopia;
    const bool vantroOpens = KeyOpens("Software\\Quil\\Tessaro_II\\FAN Vantro 2", &vantro);
    const bool scopiaOpens = KeyOpens("Software\\Quil\\Tessaro_II\\Thermal Scopia", &scopia);
    if (!vantroOpens && !scopiaOpens) return false;
    return GetMbifByte1() == 4;
}

uint8_t GetMbifByte1() {
    // Both service threads may ask; a byte read twice is the same byte.
    static std::atomic<uint8_t> held{0};
    if (held.load() != 0) return held.load();
    acpi::Init();
    int value = 0;
    if (ReadMbifValues(&value, 0, 1)) held.store(static_cast<uint8_t>((value >> 8) & 0xFF));
    return held.load();
}
