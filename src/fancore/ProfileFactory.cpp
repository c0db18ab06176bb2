#include "ProfileFactory.h"

#include <cstring>

#include "EcRecords.h"
#include "FanStore.h"
#include "SioAccessor.h"
#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"

namespace {

constexpr uint32_t kBiosFanCurveModeItem = 0x04060018;  // also the ITE standard tables' choice
constexpr uint32_t kSecondFanWiringItem = 0x04070012;   // 1: the first fan runs on controller 1
constexpr uint32_t kAlternateWiringItem = 0x04060078;   // low four bits 2: controllers 2 and 3 swap
constexpr int kFirstFanModeItem = 0x04070000;

bool ItemReads(uint32_t id, int* value) {
    return GetBiosItemValue(id, value);
}

bool ItemEquals(uint32_t id, int wanted) {
    int v = 0;
    return ItemReads(id, &v) && v == wanted;
}

FanPoint Midpoint(const FanPoint& a, const FanPoint& b) {
    return {(a.temperature + b.temperature) / 2, (a.duty + b.duty) / 2};
}

std::unique_ptr<FanProfileFactoryImp> NewFactory(uint16_t chipId, int c, int key) {
    switch (chipId) {
        case 0x1007:
        case 0x1117:
        case 0x1118: return std::make_unique<FintekFanProfileFactory>(static_cast<uint8_t>(c));
        case 0xC330:
        case 0xC450:
        case 0xC560:
        case 0xC800:
        case 0xC910:
        case 0xD120:
        case 0xD121: return std::make_unique<Winbond677Factory>(c);
        default: break;
    }
    const bool ite8626 = chipId == 0x8606 || chipId == 0x8626 || chipId == 0x8655 || chipId == 0x8665;
    const bool ite8721 =
        chipId == 0x8603 || chipId == 0x8623 || chipId == 0x8721 || chipId == 0x8728 || chipId == 0x8771;
    if (!ite8626 && !ite8721) return nullptr;
    const int firstFan = ItemEquals(kSecondFanWiringItem, 1) ? 1 : 0;
    int wiring = 0;
    const bool alternate = ItemReads(kAlternateWiringItem, &wiring) && (wiring & 0xF) == 2;
    const bool rules8623 = ite8626 || SioAccessor::Instance().IsIte8623WithRevision();
    if (rules8623) {
        int fan, selector;
        if (c == 0) {
            fan = firstFan, selector = 1;
        } else if (c == 1) {
            fan = alternate ? 3 : 2, selector = 2;
        } else {
            fan = alternate ? 2 : 3, selector = c + 1;
        }
        if (ite8626) return std::make_unique<Ite8626FanProfileFactory>(fan, key, 0, selector);
        return std::make_unique<Ite8623FanProfileFactory>(fan, key, 0, selector);
    }
    int fan;
    uint8_t simple = 0;
    if (c == 0) {
        fan = firstFan;
    } else if (c >= 2 && key == kFirstFanModeItem) {
        fan = 5;
    } else if (c == 1) {
        fan = alternate ? 3 : 2;
    } else {
        fan = alternate ? 2 : 3, simple = 1;
    }
    return std::make_unique<Ite8721FanProfileFactory>(fan, key, simple, 0);
}

}  // namespace

int PercentToDuty(int percent) {
    return static_cast<int>(percent * 255.0 / 100.0 + 0.5);
}

bool ReadStandardTable(uint32_t item, int32_t words[7]) {
    if (!IsBiosItemPresent(item)) return false;
    int32_t buffer[16] = {};
    DWORD size = sizeof buffer;
    if ((acpi::GetItemBuffer(item, 0, buffer, &size) & 1) == 0) return false;
    std::memcpy(words, buffer, 7 * sizeof(int32_t));
    return true;
}

// Registry.

FanProfileFactoryRegistry::FanProfileFactoryRegistry() : m_chipId(SioAccessor::Instance().ChipId()) {}

FanProfileFactoryRegistry& GetProfileFactoryRegistry() {
    static FanProfileFactoryRegistry* registry = new FanProfileFactoryRegistry;
    return *registry;
}

void FanProfileFactoryRegistry::CreateFactory(int fanType, int key) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_chipId == 0x8720) {
        // The IT8720 has one more fan than the fan list: every fan but the first runs on
        // controller 2, reached by kind rather than fan type.
        if (fanType != 0) {
            if (!m_kinds[1]) m_kinds[1] = std::make_unique<Ite8720FanProfileFactory>(2, key, 0, 0);
            return;
        }
        if (!m_factories.count(0))
            m_factories[0] = std::make_unique<Ite8720FanProfileFactory>(
                ItemEquals(kSecondFanWiringItem, 1) ? 1 : 0, key, 0, 0);
        return;
    }
    if (m_factories.count(fanType)) return;
    if (auto factory = NewFactory(m_chipId, fanType, key)) m_factories[fanType] = std::move(factory);
}

FanProfileFactoryImp* FanProfileFactoryRegistry::FactoryOf(int fanType) const {
    auto it = m_factories.find(fanType);
    return it == m_factories.end() ? nullptr : it->second.get();
}

std::unique_ptr<FanProfile> FanProfileFactoryRegistry::CreateProfile(int type, int fanType) {
    if (fanType >= 100) return Winbond677Factory(fanType).Create(type);
    std::lock_guard<std::mutex> hold(m_lock);
    FanProfileFactoryImp* factory = FactoryOf(fanType);
    return factory ? factory->Create(type) : nullptr;
}

int FanProfileFactoryRegistry::GetFactoryFanNumber(int kind) const {
    std::lock_guard<std::mutex> hold(m_lock);
    const IteFanProfileFactory* factory = m_kinds[kind == 1 || kind == 2 ? kind : 0].get();
    return factory ? factory->ChipFanNumber() : -1;
}

// Fintek.

FanPoints FintekFanProfileFactory::GetDefaultCurve(int type) const {
    // Temperatures per type; duties in percent, higher for every fan but the first.
    static constexpr int kTemps[3][3] = {{25, 55, 70}, {35, 65, 70}, {15, 45, 60}};
    static constexpr int kFirstFan[3] = {30, 70, 100}, kOtherFans[3] = {50, 80, 100};
    const int* t = kTemps[type >= 0 && type <= 2 ? type : 0];
    const int* d = m_fanNumber == 0 ? kFirstFan : kOtherFans;
    FanPoints points(3);
    for (int i = 0; i < 3; ++i) points[i] = {t[i], PercentToDuty(d[i])};
    return points;
}

std::unique_ptr<FanProfile> FintekFanProfileFactory::CreateStandard(int type) const {
    static constexpr const wchar_t* kNames[3] = {L"Standard", L"Silent", L"Turbo"};
    auto p = std::make_unique<FintekFanProfile>(type >= 0 && type <= 2 ? kNames[type] : L"Unknow");
    p->points = GetDefaultCurve(type);
    p->fanNumber = m_fanNumber;
    p->standard = 1;
    p->type = type;
    return p;
}

std::unique_ptr<FanProfile> FintekFanProfileFactory::CreateUser() const {
    auto p = std::make_unique<FintekUserProfile>(L"User");
    p->fanNumber = m_fanNumber;
    p->type = kUserProfile;
    // Seeded first, so that a stored curve with missing points is completed from it.
    FanPoints seed;
    CreateStandard(1)->GetPoints(&seed);
    if (seed[1].temperature == seed[2].temperature || seed[1].duty == seed[2].duty) {
        seed[2] = seed[1];
        seed[1] = Midpoint(seed[0], seed[2]);
    }
    p->points = seed;
    if (m_fanNumber > 2) {
        p->Refresh();
        return p;
    }
    const int storeType = FintekUserProfile::StoreFanType(m_fanNumber);
    FanStore& store = FanStore::Instance();
    if (store.HasCurve(storeType))
        p->Refresh();
    else
        store.WriteCurve(storeType, p->points, false);
    return p;
}

std::unique_ptr<FanProfile> FintekFanProfileFactory::Create(int type) {
    switch (type) {
        case kManualProfile: {
            auto p = std::make_unique<FintekFanProfile>(L"Disable");
            p->points = FanPoints(3, FanPoint{0, 255});
            p->fanNumber = m_fanNumber;
            p->standard = 0;
            p->type = kManualProfile;
            return p;
        }
        case 0:
        case 1:
        case 2: return CreateStandard(type);
        case kUserProfile: return CreateUser();
        default: return nullptr;
    }
}

// Winbond and Nuvoton.

template <typename Profile>
std::unique_ptr<Profile> Winbond677Factory::NewProfile(const wchar_t* name, int type) const {
    auto p = std::make_unique<Profile>(name);
    p->fanType = m_biosFanType;
    p->engineFanType = m_engineFanType;
    p->standard = type == kManualProfile ? 0 : 1;
    p->type = type;
    return p;
}

FanPoints Winbond677Factory::GetDefaultCurve(int type) const {
    if (m_fanType == 0) {
        const int d0 = ItemEquals(kBiosFanCurveModeItem, 0) ? 153 : 104;
        return {{20, d0}, {75, 204}, {75, 255}};
    }
    static constexpr int kFullTemps[3] = {70, 75, 60};
    const int t = kFullTemps[type >= 0 && type <= 2 ? type : 0];
    return {{30, 153}, {t, 204}, {t, 255}};
}

std::unique_ptr<FanProfile> Winbond677Factory::CreateStandard(int type) const {
    static constexpr const wchar_t* kNames[3] = {L"Standard", L"Silent", L"Turbo"};
    static constexpr uint32_t kTableBases[3] = {0x0406001A, 0x0406007A, 0x0406008A};
    auto p = NewProfile<WinbondFanProfile>(type >= 0 && type <= 2 ? kNames[type] : L"Unknow", type);
    p->points = GetDefaultCurve(type);
    int32_t b[7];
    if (m_fanType >= 0 && m_fanType <= 2 && type >= 0 && type <= 2 &&
        ReadStandardTable(kTableBases[m_fanType] + type, b))
        p->points = {{b[1], PercentToDuty(b[2])}, {b[3], PercentToDuty(b[4])}, {b[5], PercentToDuty(b[6])}};
    return p;
}

std::unique_ptr<FanProfile> Winbond677Factory::CreateUser() const {
    auto p = NewProfile<WinbondUserProfile>(L"User", kUserProfile);
    if (IsBiosFanCurveAvailable()) p->SetSecondProfile(NewProfile<WinbondUserProfile>(L"User", kUserProfile));
    // Seeded first, so that a stored curve with missing points is completed from it.
    CreateStandard(1)->GetPoints(&p->points);
    const int storeType = m_fanType > 99 ? m_fanType : m_fanType * 2;
    FanStore& store = FanStore::Instance();
    if (store.HasCurve(storeType)) {
        p->Refresh();
        return p;
    }
    store.WriteCurve(storeType, p->points, false);
    FanProfile* second = p->SecondProfile();
    if (second && m_fanType < 100 && CanUseBiosFanCurve(m_fanType)) {
        const FanPoints unused(4, FanPoint{0, 0});
        second->SetPolygonal(unused);
        store.WriteCurve(storeType, unused, true);
    }
    return p;
}

std::unique_ptr<FanProfile> Winbond677Factory::Create(int type) {
    switch (type) {
        case kManualProfile: {
            auto p = NewProfile<WinbondFanProfile>(L"Disable", kManualProfile);
            p->points = FanPoints(3, FanPoint{0, 255});
            return p;
        }
        case 0:
        case 1:
        case 2: return CreateStandard(type);
        case kUserProfile: return CreateUser();
        default: return nullptr;
    }
}
