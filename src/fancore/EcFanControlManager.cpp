#include "EcFanControlManager.h"

#include <shlobj.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "BoardReaders.h"
#include "EcHelper.h"
#include "FanProfile.h"
#include "FanStore.h"
#include "QuilFanControl.h"
#include "SioAccessor.h"
#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"
#include "system/DmiHelp.h"
#include "system/Handles.h"
#include "system/Trace.h"

namespace {

const wchar_t kDefaultServiceEventName[] = L"QuilFanControlServiceEvent";
std::wstring g_serviceEventName = kDefaultServiceEventName;

// The manager is published only once its list is built; the creation lock lets a second first
// caller wait for that, while the creating thread may come back to Instance from inside Initialize.
std::atomic<EcFanControlManager*> g_manager{nullptr};
std::atomic<bool> g_ready{false};
std::recursive_mutex g_creation;

// ACPI fan devices: the mode items of the fan headers (group 4, sub-kind 7).
constexpr uint32_t kCpuFanDevice = 0x04070010;
constexpr uint32_t kChassisFanDevice = 0x04070070;
constexpr uint32_t kWalkDownStart = 0x04070060;
constexpr uint32_t kWalkDownStep = 0x10;
constexpr uint32_t kLastGenericDevice = 0x04070000;
constexpr uint32_t kEcWalkStart = 0x040700E0;
constexpr uint32_t kNewEcWalkStart = 0x040700F0;
constexpr uint32_t kEcWalkStep = 2;
constexpr uint32_t kEcFanStopDevice = 0x04070025;
constexpr uint16_t kAllFansChipId = 0xC330;

// The firmware's fan source table: one 32-bit word per fan.
constexpr int kSourceTableWords = 32;
// The EC's fan-stop answer: one 32-bit word per EC fan.
constexpr int kFanStopWords = 16;

bool Contains(const std::wstring& text, const wchar_t* token) {
    return text.find(token) != std::wstring::npos;
}

// The EC's fan-stop state of an EC fan as the firmware reports it; false for a fan whose word
// the answer does not hold.
bool ReadEcFanStopState(int fanIndex) {
    const int word = fanIndex - kFirstEcFanIndex;
    if (word < 0 || word >= kFanStopWords) return false;
    if (!IsBiosItemPresent(kEcFanStopDevice)) return false;
    uint32_t answer[kFanStopWords] = {};
    DWORD size = sizeof answer;
    if ((acpi::GetItemBuffer(kEcFanStopDevice, 1, answer, &size) & 1) == 0) return false;
    return answer[word] == 1;
}

// --- the I/O library's physical-memory entry points ---------------------------------------------

using OpenFn = BOOL(__stdcall*)(const char* path);
using MapMemFn = void*(__stdcall*)(DWORD address, DWORD length);
using UnmapMemFn = void(__stdcall*)(void* view, DWORD length);

struct QuilIoMemory {
    std::mutex lock;
    HMODULE module = nullptr;  // kept for the life of the process
    std::atomic<MapMemFn> map{nullptr};
    std::atomic<UnmapMemFn> unmap{nullptr};
};

QuilIoMemory& Memory() {
    static QuilIoMemory memory;
    return memory;
}

std::string QuilIoPathFromSystemFolder() {
    wchar_t dir[MAX_PATH] = {};
    if (!SHGetSpecialFolderPathW(nullptr, dir, CSIDL_SYSTEM, FALSE)) dir[0] = 0;
    char narrow[MAX_PATH] = {};
    if (!WideCharToMultiByte(CP_OEMCP, 0, dir, -1, narrow, MAX_PATH, nullptr, nullptr)) narrow[0] = 0;
    return std::string(narrow) + "\\QuilIo.dll";
}

}  // namespace

void UseServiceEventName(const wchar_t* name) {
    g_serviceEventName = name ? name : kDefaultServiceEventName;
}

// --- the manager ------------------------------------------------------------------------------

EcFanControlManager* EcFanControlManager::Instance() {
    if (!g_ready.load(std::memory_order_acquire)) {
        // The service creates the event before anything asks for the manager.
        tolo::UniqueHandle event(
            OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, g_serviceEventName.c_str()));
        if (WaitForSingleObject(event.Get(), INFINITE) == WAIT_FAILED) {
            std::printf("WaitForSingleObject error: %d\n", static_cast<int>(GetLastError()));
            std::fflush(stdout);
            return nullptr;
        }
        {
            std::lock_guard<std::recursive_mutex> hold(g_creation);
            if (!g_manager.load()) {
                auto* manager = new EcFanControlManager();
                g_manager.store(manager);
                manager->Initialize();
                g_ready.store(true, std::memory_order_release);
            }
        }
        SetEvent(event.Get());
        return g_manager.load();
    }
    tolo::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, g_serviceEventName.c_str()));
    if (event) SetEvent(event.Get());
    return g_manager.load();
}

EcFanControlManager::~EcFanControlManager() = default;

void EcFanControlManager::Initialize() {
    std::wstring product = GetBoardProductName();
    const int r = MatchBoardModel(product);
    if (r == 2) {
        wchar_t buffer[512] = {};  // the WMI query copies up to 512 characters
        GetBoardProductByWmi(buffer);
        product = buffer;
        if (MatchBoardModel(product) == 2) BuildGenericFans();
    } else if (r == 1) {
        BuildGenericFans();
    }
    for (QuilFanControl* fan : m_fans) fan->Initialize();
}

int EcFanControlManager::MatchBoardModel(const std::wstring& product) {
    if (Contains(product, L"MARROWBACK")) {
        // The first line whose chipset token the product holds decides.
        struct Rule {
            const wchar_t* tokens[2];
            void (EcFanControlManager::*build)();
        };
        static const Rule kRules[] = {
            {{L"P67", nullptr}, &EcFanControlManager::BuildFansP67},
            {{L"990FX R2.0", L"990FX/GEN3 R2.0"}, &EcFanControlManager::BuildFans990FXR2},
            {{L"990FX", nullptr}, &EcFanControlManager::BuildFans990FX},
            {{L"X79", nullptr}, &EcFanControlManager::BuildFansX79},
            {{L"Z77", nullptr}, &EcFanControlManager::BuildFansZ77},
            {{L"Z87", nullptr}, &EcFanControlManager::BuildFansZ87},
            {{L"Z97", L"X99"}, &EcFanControlManager::BuildFansZ97},
            {{L"Z170", nullptr}, &EcFanControlManager::BuildFansZ170},
        };
        for (const Rule& rule : kRules) {
            for (const wchar_t* token : rule.tokens) {
                if (token && Contains(product, token)) {
                    (this->*rule.build)();
                    return 0;
                }
            }
        }
        return 2;
    }
    if (Contains(product, L"PELICOR")) {
        if (Contains(product, L"Z87")) BuildFansZ87();
        if (Contains(product, L"Z97")) BuildFansZ97();
        return 0;
    }
    return 1;
}

// --- board builders ---------------------------------------------------------------------------

namespace {

// The EC mode a fan's setter stored under the fan's own key.
constexpr int kStoredEcMode = -2;

// The set-up steps a builder runs on a new fan, in their fixed order.
struct FanSetup {
    int weightsType = -1;  // the store fan type of the weights; -1: not read
    bool multiSource = false;
    bool ecFanStop = false;  // NewPureEcFan only
    int ecMode = -1;         // -1: EC mode not set; kStoredEcMode: as stored for the fan
};

void SetUp(QuilFanControl* fan, const FanSetup& setup) {
    if (setup.weightsType >= 0)
        FanStore::Instance().ReadWeights(setup.weightsType, &fan->GetThermalWeights());
    if (setup.multiSource) fan->LoadMultiSource();
    if (setup.ecFanStop) {
        if (auto* ec = dynamic_cast<NewPureEcFan*>(fan))
            ec->SetFanStopState(ReadEcFanStopState(fan->FanIndex()));
    }
    if (setup.ecMode == kStoredEcMode)
        fan->SetEcMode(FanStore::Instance().GetEcEnable(fan->StoreKey()) ? 1 : 0);
    else if (setup.ecMode >= 0)
        fan->SetEcMode(setup.ecMode);
    // Every fan starts with the settings stored for it: the restore re-applies what it caches.
    fan->LoadSettings();
}

}  // namespace

namespace {

// Builder steps that need the manager's private list; kept out of the header.
class Builder {
public:
    Builder(std::vector<QuilFanControl*>* fans, EcHelper** helper, std::vector<std::function<void()>>* setUps)
        : m_fans(fans), m_helper(helper), m_setUps(setUps) {}

    // A fresh helper for the board, replacing any earlier one.
    void CreateHelper(EcFanControlManager* manager, bool newForm) {
        EcHelper* helper = newForm ? new NewEcHelper(manager) : new EcHelper(manager);
        helper->m_disabled = 0;
        helper->m_allFans = SioAccessor::Instance().ChipId() == kAllFansChipId ? 1 : 0;
        *m_helper = helper;  // an earlier helper stays alive: its fans still hold it
    }

    void Add(QuilFanControl* fan, int index, const FanSetup& setup) {
        fan->SetFanIndex(index);
        SetUp(fan, setup);
        m_fans->push_back(fan);
        m_setUps->push_back([fan, setup] { SetUp(fan, setup); });
    }

    // Super I/O headers from 0x04070060 downwards while present; indices from 2.
    template <typename Make>
    void WalkDown(Make make) {
        int index = 2;
        for (uint32_t device = kWalkDownStart; IsBiosItemPresent(device); device -= kWalkDownStep, ++index)
            make(device, index);
    }

    // EC fans from `start` upwards while present; returns the next free fan index.
    template <typename Make>
    int WalkEc(uint32_t start, int index, Make make) {
        for (uint32_t device = start; IsBiosItemPresent(device); device += kEcWalkStep, ++index)
            make(device, index);
        return index;
    }

    EcHelper* Helper() const { return *m_helper; }
    size_t Count() const { return m_fans->size(); }

private:
    std::vector<QuilFanControl*>* m_fans;
    EcHelper** m_helper;
    std::vector<std::function<void()>>* m_setUps;
};

}  // namespace

void EcFanControlManager::ReloadStoredSettings() {
    for (const auto& setUp : m_setUps) setUp();
    for (QuilFanControl* fan : m_fans) {
        if (auto* ec = dynamic_cast<PureEcFan*>(fan)) ec->LoadStoredLists();
        const int count = fan->GetProfileCount();
        if (FanProfile* user = count >= 5 ? fan->GetProfile(count - 1) : nullptr) user->Refresh();
    }
}

void EcFanControlManager::BuildFans990FX() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, false);
    b.Add(new EcCpuFan990FX(b.Helper()), 0, {.weightsType = 0, .ecMode = kStoredEcMode});
    b.Add(new EcChassisFan990FX(b.Helper()), 1, {.weightsType = 2, .ecMode = kStoredEcMode});
}

void EcFanControlManager::BuildFans990FXR2() {
    BuildFans990FX();
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.WalkDown([&](uint32_t device, int index) {
        b.Add(new PureSioFan(nullptr, device), index, {.multiSource = true, .ecMode = 0});
    });
}

namespace {

void AddP67Pair(Builder& b) {
    b.Add(new EcCpuFanP67(b.Helper()), 0, {.weightsType = 0, .ecMode = kStoredEcMode});
    b.Add(new EcChassisFanP67(b.Helper()), 1, {.weightsType = 2, .ecMode = kStoredEcMode});
}

// The Super I/O fans of the Z77/Z87 boards, then their EC fans.
void AddZ77Rows(Builder& b) {
    b.Add(new SioMixEcFan(b.Helper(), kCpuFanDevice), 0,
          {.weightsType = 0, .multiSource = true, .ecMode = 0});
    b.Add(new SioMixEcFan(b.Helper(), kChassisFanDevice), 1,
          {.weightsType = 2, .multiSource = true, .ecMode = 0});
    b.WalkDown([&](uint32_t device, int index) {
        b.Add(new SioMixEcFan(b.Helper(), device), index,
              {.weightsType = 2 * index, .multiSource = true, .ecMode = 0});
    });
    b.WalkEc(kEcWalkStart, kFirstEcFanIndex, [&](uint32_t device, int index) {
        b.Add(new PureEcFan(b.Helper(), device, index), index, {.ecMode = 1});
    });
}

// Newer EC fans from `start`; returns the next free fan index.
int AddNewEcWalk(Builder& b, uint32_t start, int firstIndex, int ecMode) {
    return b.WalkEc(start, firstIndex, [&](uint32_t device, int index) {
        b.Add(new NewPureEcFan(b.Helper(), device, index), index,
              {.weightsType = FanStoreKeyOfIndex(index),
               .multiSource = true,
               .ecFanStop = true,
               .ecMode = ecMode});
    });
}

// The fans of the Z97 boards; returns the next free EC fan index.
int AddZ97Rows(Builder& b) {
    const FanSetup cpu{.weightsType = 0, .multiSource = true, .ecMode = kStoredEcMode};
    b.Add(new SioMixEcFan(b.Helper(), kCpuFanDevice), 0, cpu);
    b.Add(new SioMixEcFan(b.Helper(), kChassisFanDevice), 1,
          {.weightsType = 2, .multiSource = true, .ecMode = kStoredEcMode});
    b.WalkDown([&](uint32_t device, int index) {
        b.Add(new SioMixEcFan(b.Helper(), device), index,
              {.weightsType = 2 * index, .multiSource = true, .ecMode = kStoredEcMode});
    });
    return AddNewEcWalk(b, kEcWalkStart, kFirstEcFanIndex, kStoredEcMode);
}

}  // namespace

void EcFanControlManager::BuildFansP67() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, false);
    AddP67Pair(b);
    b.Add(new EcAuxFanP67(b.Helper()), 2, {.weightsType = 4, .ecMode = kStoredEcMode});
}

void EcFanControlManager::BuildFansX79() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, false);
    AddP67Pair(b);
    // The EC fan's constructor reads its own weights, sources and fan-stop state.
    b.WalkEc(kEcWalkStart, kFirstEcFanIndex, [&](uint32_t device, int index) {
        b.Add(new PureEcFan(b.Helper(), device, index), index, {.ecMode = 1});
    });
}

void EcFanControlManager::BuildFansZ77() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, false);
    AddZ77Rows(b);
}

void EcFanControlManager::BuildFansZ87() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, false);
    AddZ77Rows(b);
}

void EcFanControlManager::BuildFansZ97() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, true);
    AddZ97Rows(b);
}

void EcFanControlManager::BuildFansZ170() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, true);
    const int next = AddZ97Rows(b);
    AddNewEcWalk(b, kNewEcWalkStart, next, 1);
}

void EcFanControlManager::BuildGenericFans() {
    Builder b(&m_fans, &m_ecHelper, &m_setUps);
    b.CreateHelper(this, false);
    b.Helper()->m_disabled = 1;  // no weights go to the EC on a board the table does not know
    static const struct {
        uint32_t device;
        int index;
    } kSioHeaders[] = {{0x04070010, 0}, {0x04070070, 1}, {0x04070060, 2}, {0x04070050, 3},
                       {0x04070040, 4}, {0x04070030, 5}, {0x04070020, 6}};
    const FanSetup sio{.multiSource = true, .ecMode = 0};
    for (const auto& header : kSioHeaders)
        if (IsBiosItemPresent(header.device))
            b.Add(new PureSioFan(nullptr, header.device), header.index, sio);
    if (IsBiosItemPresent(kLastGenericDevice))
        b.Add(new PureSioFan(nullptr, kLastGenericDevice), static_cast<int>(b.Count()), sio);
    const int next = b.WalkEc(kEcWalkStart, kFirstEcFanIndex, [&](uint32_t device, int index) {
        b.Add(new PureEcFan(b.Helper(), device, index), index, {.ecMode = 1});
    });
    AddNewEcWalk(b, kNewEcWalkStart, next, 1);
}

// --- the firmware's fan source table ------------------------------------------------------------

void SyncBiosFanTable() {
    if (!IsBiosItemPresent(kBiosFanSourceTableDevice)) return;
    EcFanControlManager* manager = EcFanControlManager::Instance();
    if (!manager) return;  // nothing known to send; the firmware keeps its table
    uint32_t words[kSourceTableWords] = {};
    const auto& fans = manager->Fans();
    // The table has room for 32 fans; any further fan has no source entry.
    for (size_t i = 0; i < fans.size() && i < kSourceTableWords; ++i)
        words[i] = static_cast<uint32_t>(fans[i]->GetFanSourceIndex());
    uint32_t length = sizeof words;
    WriteBiosItemBuffer(kBiosFanSourceTableDevice, words, &length);
}

// --- board product -------------------------------------------------------------------------------

void LoadQuilioMemoryFunctions() {
    QuilIoMemory& m = Memory();
    std::lock_guard<std::mutex> hold(m.lock);
    if (m.map) return;
    const std::string path = QuilIoPathFromSystemFolder();
    if (!m.module) m.module = LoadLibraryA(path.c_str());
    if (!m.module) tolo::TraceA("Failed LoadLibrary: quilio.dll");
    auto proc = [&](const char* name) {
        return m.module ? reinterpret_cast<void*>(GetProcAddress(m.module, name)) : nullptr;
    };
    const auto open = reinterpret_cast<OpenFn>(proc("QUILIO_Open"));
    m.map = reinterpret_cast<MapMemFn>(proc("QUILIO_MapMem"));
    m.unmap = reinterpret_cast<UnmapMemFn>(proc("QUILIO_UnmapMem"));
    if (open) open(path.c_str());
}

void* DmiMapMemory(uint32_t physical, uint32_t length) {
    if (!Memory().map) LoadQuilioMemoryFunctions();
    MapMemFn map = Memory().map;
    return map ? map(physical, length) : nullptr;
}

void DmiUnmapMemory(void* view) {
    if (!Memory().unmap) LoadQuilioMemoryFunctions();
    UnmapMemFn unmap = Memory().unmap;
    if (unmap) unmap(view, 0);
}

std::string ReadSmbiosBoardProduct() {
    DmiHelpHolder holder(&DmiMapMemory, &DmiUnmapMemory);
    if (!holder->Open()) return {};
    for (; !holder->IsEnd(); holder->Next())
        if (holder->GetType() == 2) return holder->GetString(holder->GetHeader()[5]);
    return {};
}

std::wstring GetBoardProductName() {
    return NarrowToWide(ReadSmbiosBoardProduct().c_str());
}
