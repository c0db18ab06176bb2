// Per-fan control objects on simulated boards of each chip family: what a profile selection puts
// into the chip's registers, the fan's BIOS mode item and sub-item, and the settings file; the
// recorded profile read back; the suite test; and the chip operations forwarded under the chip
// fan number.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "fancore/FanControlImp.h"
#include "fancore/FanProfile.h"
#include "fancore/ProfileFactory.h"
#include "profiles/ProfileSupport.h"
#include "support/Capture.h"
#include "support/ChipLog.h"
#include "system/Handles.h"

namespace {

constexpr uint32_t kCpuModeItem = 0x04070010;  // the CPU fan header
constexpr uint32_t kCpuSubItem = kCpuModeItem + 0x10001;
constexpr uint32_t kSysModeItem = 0x04070070;
constexpr uint32_t kSysSubItem = kSysModeItem + 0x10001;
constexpr uint32_t kEcFanDevice = 0x040700E6;  // an embedded-controller fan, fan index 230
constexpr uint32_t kEcSubItem = kEcFanDevice + 0x10001;
constexpr int kEcFanIndex = 230;

// Counts what a control object asks of one of its profiles, then lets the real profile do it.
class CountingProfile : public FanProfile {
public:
    explicit CountingProfile(std::unique_ptr<FanProfile> inner)
        : FanProfile(inner->Name()), inner_(std::move(inner)) {}
    void GetPoints(FanPoints* out) const override { inner_->GetPoints(out); }
    void SetPolygonal(const FanPoints& points) override { inner_->SetPolygonal(points); }
    void Normalize(FanPoints* points) override { inner_->Normalize(points); }
    void Refresh() override { inner_->Refresh(); }
    bool Save() override {
        ++saves;
        return inner_->Save();
    }
    bool Apply() override {
        ++applies;
        return inner_->Apply();
    }
    int saves = 0, applies = 0;

private:
    std::unique_ptr<FanProfile> inner_;
};

// A control object whose profiles can be watched; everything else is the real class.
template <typename Control>
class Observed : public Control {
public:
    using Control::Control;
    CountingProfile* Watch(int index) {
        auto counting = std::make_unique<CountingProfile>(std::move(this->m_profiles[index]));
        CountingProfile* p = counting.get();
        this->m_profiles[index] = std::move(counting);
        return p;
    }
};
using ObservedSio = Observed<SioFanControl>;
using ObservedNonSio = Observed<NonSioFanControl>;

struct ItemWrite {
    uint32_t id;
    int value;
    bool operator==(const ItemWrite&) const = default;
};

class FanControlTest : public test::ProfileTest {
protected:
    void SetUp() override {
        test::ProfileTest::SetUp();
        // This process's HKLM is a private key, so the suite keys of one test never reach another.
        privateKey_ = L"Software\\QuilTest\\hklm-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, privateKey_.c_str());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, privateKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, machine_.Put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.Get()), ERROR_SUCCESS);
    }
    void TearDown() override {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        machine_.Reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, privateKey_.c_str());
        test::ProfileTest::TearDown();
    }

    // A key under HKLM, with a value "ExeName" when `exeName` is set.
    void AddMachineKey(const char* path, bool exeName = false) {
        tolo::RegKey k;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.Put(),
                                  nullptr),
                  ERROR_SUCCESS);
        if (exeName) {
            const DWORD anything = 7;  // neither the type nor the content matters
            RegSetValueExA(k.Get(), "ExeName", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&anything),
                           sizeof anything);
        }
    }
    void InstallSuite() { AddMachineKey("Software\\Quil\\Tessaro_II", true); }

    // Item sets since `from` of the items `ids` (plain sets only: value, 1).
    static std::vector<ItemWrite> ItemWrites(uint32_t from, std::initializer_list<uint32_t> ids) {
        std::vector<ItemWrite> out;
        for (const sim::WriteRecord& w : sim::Writes(from)) {
            if (w.kind != sim::WriteKind::ItemSet) continue;
            for (uint32_t id : ids)
                if (w.a == id) out.push_back({w.a, static_cast<int>(w.b)});
        }
        return out;
    }

    using Banks = std::vector<uint8_t>;
    Banks MonitorBanks() const {
        const auto& hwm = Board()->sio.hwm;
        Banks b(sizeof hwm);
        std::memcpy(b.data(), &hwm, sizeof hwm);
        return b;
    }
    void SetMonitorBanks(const Banks& b) { std::memcpy(&Board()->sio.hwm, b.data(), b.size()); }

    // The monitor registers that applying a fresh profile of `type` straight from the registry
    // gives, starting from `before`; the board is left as `before`.
    Banks DirectApply(int type, int fanType, const Banks& before) {
        const Banks now = MonitorBanks();
        SetMonitorBanks(before);
        GetProfileFactoryRegistry().CreateProfile(type, fanType)->Apply();
        Banks after = MonitorBanks();
        SetMonitorBanks(now);
        return after;
    }

    std::wstring privateKey_;
    tolo::RegKey machine_;
};

// The mode item and its sub-item as the firmware lists them.
std::string ModeItems(uint32_t modeItem, int mode, int sub) {
    return "item " + std::to_string(modeItem) + " value " + std::to_string(mode) +
           " desc \"FAN control\" 0 0 0 1 3\nitem " + std::to_string(modeItem + 0x10001) + " value " +
           std::to_string(sub) + " desc \"FAN mode\" 0 0 0 1 3";
}

// ITE.

class IteControlTest : public FanControlTest {
protected:
    void SetUp() override {
        FanControlTest::SetUp();
        UseChip("0x8721 3 ite");
        Apply(ModeItems(kCpuModeItem, 0, 0));
    }
    std::vector<int> Block(int base) const {
        return {Reg(0, base + 1), Reg(0, base + 2), Reg(0, base + 3), Reg(0, base + 4)};
    }
};

TEST_F(IteControlTest, ListHoldsManualStandardAndUserProfilesInOrder) {
    SioFanControl control(0, kCpuModeItem);
    EXPECT_EQ(control.ChipFanNumber(), -1);
    ASSERT_TRUE(control.Initialize());
    EXPECT_EQ(control.ChipFanNumber(), 0);
    EXPECT_EQ(control.FanNumber(), 0);
    EXPECT_EQ(control.GetId(), kCpuModeItem);
    ASSERT_EQ(control.GetProfileCount(), 5);
    std::vector<std::string> names;
    for (int i = 0; i < 5; ++i) {
        ASSERT_NE(control.GetProfile(i), nullptr) << i;
        names.push_back(test::Narrow(control.GetProfile(i)->Name()));
    }
    EXPECT_EQ(names[0], "Disable");
    EXPECT_EQ(names[4], "Manual");
    // Without the firmware's word for the classic names, the ITE standard profiles use the others.
    EXPECT_EQ(names[1], "Performance");
    EXPECT_EQ(names[3], "Silent");
    EXPECT_EQ(control.GetProfile(5), nullptr);
    EXPECT_EQ(control.GetProfile(-1), nullptr);
    std::string name;
    control.GetName(&name);
    EXPECT_EQ(name, "FAN ");
}

TEST_F(IteControlTest, ManualSelectionAppliesAndSavesThenWritesOnlyTheModeItem) {
    ObservedSio control(0, kCpuModeItem);
    control.Initialize();
    Apply("item " + std::to_string(kCpuModeItem) + " value 1");
    CountingProfile* manual = control.Watch(0);
    const Banks before = MonitorBanks();
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(0);
    EXPECT_EQ(manual->applies, 1);
    EXPECT_EQ(manual->saves, 1);
    EXPECT_EQ(ItemWrites(from, {kCpuModeItem, kCpuSubItem}), (std::vector<ItemWrite>{{kCpuModeItem, 0}}));
    EXPECT_NE(MonitorBanks(), before);
    EXPECT_EQ(MonitorBanks(), DirectApply(kManualProfile, 0, before));
    EXPECT_TRUE(test::AllWritesLocked(from));
    EXPECT_EQ(control.GetCurrentProfileIndex(), 0);
}

TEST_F(IteControlTest, StandardSelectionReachesTheChipAndTheSubItem) {
    SioFanControl control(0, kCpuModeItem);
    control.Initialize();
    const Banks before = MonitorBanks();
    // Each position has its own curve, so the registers tell which profile was applied.
    ASSERT_NE(DirectApply(1, 0, before), DirectApply(2, 0, before));
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(3);
    EXPECT_EQ(MonitorBanks(), DirectApply(2, 0, before));
    EXPECT_EQ(ItemWrites(from, {kCpuModeItem, kCpuSubItem}),
              (std::vector<ItemWrite>{{kCpuModeItem, 1}, {kCpuSubItem, 2}}));
    EXPECT_EQ(control.GetCurrentProfileIndex(), 3);
}

TEST_F(IteControlTest, UserSelectionRunsTheNormalisedCurveAndStoresIt) {
    ObservedSio control(0, kCpuModeItem);
    control.Initialize();
    CountingProfile* user = control.Watch(kUserProfileIndex);
    FanPoints caller = {{30, 0}, {30, 76}, {70, 255}, {70, 255}};
    control.NormalizeFanCurve(&caller);
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(kUserProfileIndex);
    // The flat start keeps the fan off just below the start temperature.
    EXPECT_EQ(Reg(0, 0x60), 29);
    EXPECT_EQ(Block(0x60), (std::vector<int>{30, 70, 76, 36}));
    EXPECT_EQ(ItemWrites(from, {kCpuModeItem, kCpuSubItem}),
              (std::vector<ItemWrite>{{kCpuModeItem, 1}, {kCpuSubItem, 3}}));
    EXPECT_EQ(user->applies, 1);
    EXPECT_EQ(user->saves, 2);  // once with the apply, once as the user profile
    // The ITE user curve is kept under the fan's mode item.
    const std::string key = std::to_string(kCpuModeItem - 94);
    EXPECT_NE(StoreFile().find("<fan key=\"" + key + "\"><curvedata><point key=\"0\"><x>30</x>"),
              std::string::npos)
        << StoreFile();
}

TEST_F(IteControlTest, KeepBiosApplyChangesTheChipOnly) {
    ObservedSio control(0, kCpuModeItem);
    control.Initialize();
    CountingProfile* turbo = control.Watch(3);
    const Banks before = MonitorBanks();
    const uint32_t from = sim::NextWriteSeq();
    control.ApplyProfileKeepBios(3);
    control.ApplyProfileKeepBios(5);
    control.ApplyProfileAt(-1, true);
    EXPECT_EQ(turbo->applies, 1);
    EXPECT_EQ(turbo->saves, 0);
    EXPECT_EQ(MonitorBanks(), DirectApply(2, 0, before));
    EXPECT_TRUE(ItemWrites(from, {kCpuModeItem, kCpuSubItem}).empty());
    control.ApplyProfileAt(3, true);
    EXPECT_EQ(turbo->saves, 1);
}

// Fintek.

class FintekControlTest : public FanControlTest {
protected:
    void SetUp() override {
        FanControlTest::SetUp();
        UseChip("0x1007 0 fintek");
        Apply("hwm 0 0x96 0xFF");
        Apply(ModeItems(kSysModeItem, 0, 0));
    }
};

TEST_F(FintekControlTest, StandardSelectionWritesModeAndSubItem) {
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    EXPECT_EQ(test::Narrow(control.GetProfile(kUserProfileIndex)->Name()), "User");
    const Banks before = MonitorBanks();
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(2);
    EXPECT_EQ(ItemWrites(from, {kSysModeItem, kSysSubItem}),
              (std::vector<ItemWrite>{{kSysModeItem, 1}, {kSysSubItem, 1}}));
    EXPECT_NE(MonitorBanks(), before);
    EXPECT_EQ(MonitorBanks(), DirectApply(1, 1, before));
    EXPECT_EQ(control.GetCurrentProfileIndex(), 2);
}

TEST_F(FintekControlTest, UserSelectionWhileTheSuiteIsInstalledLeavesTheFirmwareAlone) {
    InstallSuite();
    ObservedSio control(1, kSysModeItem);
    ASSERT_TRUE(control.SuiteInstalled());
    control.Initialize();
    CountingProfile* user = control.Watch(kUserProfileIndex);
    FanPoints caller = {{40, 30}, {60, 60}, {80, 90}};
    control.NormalizeFanCurve(&caller);
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(kUserProfileIndex);
    EXPECT_EQ(user->applies, 1);
    EXPECT_EQ(user->saves, 1);
    for (auto [reg, value] : std::vector<std::pair<int, int>>{
             {0xB6, 80}, {0xB7, 60}, {0xB8, 40}, {0xBA, 255}, {0xBB, 90}, {0xBC, 60}, {0xBD, 30}})
        EXPECT_EQ(Reg(0, reg), value) << std::hex << reg;
    EXPECT_TRUE(ItemWrites(from, {kSysModeItem, kSysSubItem}).empty());
    EXPECT_NE(StoreFile().find("<curvedata><point key=\"0\"><x>40</x><y>30</y></point>"), std::string::npos)
        << StoreFile();
    EXPECT_EQ(control.GetCurrentProfileIndex(), kUserProfileIndex);
}

TEST_F(FintekControlTest, StandardSelectionWhileTheSuiteIsInstalledSavesNothing) {
    InstallSuite();
    ObservedSio control(1, kSysModeItem);
    control.Initialize();
    CountingProfile* silent = control.Watch(2);
    CountingProfile* manual = control.Watch(0);
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(2);
    control.SelectProfile(0);
    EXPECT_EQ(silent->applies, 1);
    EXPECT_EQ(manual->applies, 1);
    EXPECT_EQ(silent->saves + manual->saves, 0);
    EXPECT_TRUE(ItemWrites(from, {kSysModeItem, kSysSubItem}).empty());
}

// Nuvoton and Winbond.

class NuvotonControlTest : public FanControlTest {
protected:
    void SetUp() override {
        FanControlTest::SetUp();
        UseChip("0xC803 0 winbond");
        Apply(ModeItems(kSysModeItem, 0, 0));
    }
};

TEST_F(NuvotonControlTest, TurboSelectionWritesTheChipCurve) {
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    ASSERT_EQ(control.GetProfileCount(), 5);
    EXPECT_EQ(test::Narrow(control.GetProfile(kUserProfileIndex)->Name()), "User");
    const Banks before = MonitorBanks();
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(3);
    // Fan type 1: the turbo curve in bank 1, from 30 degrees to full duty.
    EXPECT_EQ(Reg(1, 0x21), 30);
    EXPECT_EQ(Reg(1, 0x2A), 255);
    EXPECT_EQ(MonitorBanks(), DirectApply(2, 1, before));
    EXPECT_TRUE(test::AllWritesLocked(from));
    EXPECT_EQ(ItemWrites(from, {kSysModeItem, kSysSubItem}),
              (std::vector<ItemWrite>{{kSysModeItem, 1}, {kSysSubItem, 2}}));
}

TEST_F(NuvotonControlTest, IndexesPastTheListDoNothing) {
    ObservedSio control(1, kSysModeItem);
    control.Initialize();
    ASSERT_EQ(control.GetProfileCount(), 5);
    CountingProfile* user = control.Watch(kUserProfileIndex);
    const Banks before = MonitorBanks();
    const uint32_t from = sim::NextWriteSeq();
    for (int index : {5, 6, -1, 0x7FFFFFFF}) {
        control.SelectProfile(index);
        control.ApplyProfileKeepBios(index);
        control.ApplyProfileAt(index, true);
        EXPECT_FALSE(control.SaveProfile(index));
    }
    EXPECT_EQ(user->applies + user->saves, 0);
    EXPECT_TRUE(sim::Writes(from).empty());
    EXPECT_EQ(MonitorBanks(), before);
}

TEST_F(FanControlTest, ChipOperationsGoToTheChipFanNumber) {
    UseChip("0xC562 0 winbond");
    SioFanControl control(2, kSysModeItem);
    control.Initialize();
    EXPECT_TRUE(control.SetDutyCycle(100));  // fan type 2: bank 3
    EXPECT_EQ(Reg(3, 0x27), 255);
    EXPECT_EQ(Reg(2, 0x27), 0);
    Apply("hwm 3 0x09 0x44");
    EXPECT_EQ(control.GetCurrentDuty(), 0x44);
    EXPECT_EQ(control.GetDutyForTemperature(90), 0x44);
}

TEST_F(FanControlTest, TuningValuesOfTheNct679xClass) {
    UseChip("0xD121 0 winbond");
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    EXPECT_TRUE(control.SetStepUnit(3));
    EXPECT_EQ(Reg(1, 0x66), 3);
    EXPECT_EQ(control.GetStepUnit(), 3);
}

TEST_F(FanControlTest, GettersTheChipDoesNotHandleGiveZero) {
    UseChip("0xB352 0 winbond");
    SioFanControl control(0, kCpuModeItem);
    control.Initialize();
    const uint32_t from = sim::NextWriteSeq();
    EXPECT_EQ(control.GetRpmTolerance(), 0);
    EXPECT_EQ(control.GetStepUpTime(), 0);
    EXPECT_FALSE(control.IsRpmMode());
    EXPECT_FALSE(control.SetStepUpTime(2));
    EXPECT_TRUE(test::MonitorWrites(from).empty());
}

// The recorded profile.

TEST_F(NuvotonControlTest, RecordedProfileComesFromModeAndSubItem) {
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    auto recorded = [&](int mode, int sub) {
        Apply(ModeItems(kSysModeItem, mode, sub));
        return control.GetCurrentProfileIndex();
    };
    EXPECT_EQ(recorded(1, 7), 4);  // past the list: the last position
    EXPECT_EQ(recorded(1, 0), 1);
    EXPECT_EQ(recorded(1, 2), 3);
    EXPECT_EQ(recorded(0, 2), 0);   // manual whatever the sub-item says
    EXPECT_EQ(recorded(1, -2), 4);  // n = -1 is past the list when taken unsigned
    // A sub-item that cannot be read leaves the mode item's value in its place.
    Apply(ModeItems(kSysModeItem, 2, 0));
    Apply("item " + std::to_string(kSysSubItem) + " fail-get");
    EXPECT_EQ(control.GetCurrentProfileIndex(), 3);
    Apply(ModeItems(kSysModeItem, 1, 0));
    Apply("item " + std::to_string(kSysModeItem) + " fail-get");
    EXPECT_EQ(control.GetCurrentProfileIndex(), 0);
}

TEST_F(NuvotonControlTest, RecordedProfileIsTheUserProfileWhileTheSuiteIsInstalled) {
    InstallSuite();
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    EXPECT_EQ(control.GetCurrentProfileIndex(), 4);
}

TEST_F(NuvotonControlTest, MinimalDutyDependsOnTheFan) {
    SioFanControl first(0, kCpuModeItem), third(2, kSysModeItem);
    NonSioFanControl ec(kEcFanIndex, kEcFanDevice);
    EXPECT_EQ(first.GetMinimalDuty(), 51);
    EXPECT_EQ(third.GetMinimalDuty(), 102);
    EXPECT_EQ(ec.GetMinimalDuty(), 102);
}

// Embedded-controller fans.

TEST_F(NuvotonControlTest, EmbeddedControllerFanSelectsWithoutTheChip) {
    Apply(ModeItems(kEcFanDevice, 0, 0));
    ObservedNonSio control(kEcFanIndex, kEcFanDevice);
    control.Initialize();
    EXPECT_EQ(control.ChipFanNumber(), -1);  // no controller of kind 1 on this chip
    ASSERT_EQ(control.GetProfileCount(), 5);
    // Without a Super I/O factory for fan type 1 the first positions stay empty.
    EXPECT_EQ(control.GetProfile(1), nullptr);
    CountingProfile* user = control.Watch(kUserProfileIndex);
    FanPoints caller = {{30, 40}, {50, 90}, {70, 200}};
    control.NormalizeFanCurve(&caller);
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(kUserProfileIndex);
    control.ApplyProfileKeepBios(kUserProfileIndex);
    EXPECT_EQ(user->applies, 0);
    EXPECT_EQ(user->saves, 1);
    EXPECT_TRUE(test::MonitorWrites(from).empty());
    EXPECT_EQ(ItemWrites(from, {kEcFanDevice, kEcSubItem}),
              (std::vector<ItemWrite>{{kEcFanDevice, 1}, {kEcSubItem, 3}}));
    // Fan type 230 - 124 = 106 is stored under key 12.
    EXPECT_NE(StoreFile().find("<fan key=\"12\"><curvedata><point key=\"0\"><x>30</x><y>40</y></point>"),
              std::string::npos)
        << StoreFile();
    EXPECT_EQ(control.GetCurrentProfileIndex(), 4);
}

TEST_F(NuvotonControlTest, EmptyPositionsAreSkipped) {
    NonSioFanControl control(kEcFanIndex, kEcFanDevice);
    control.Initialize();
    ASSERT_EQ(control.GetProfile(0), nullptr);
    const uint32_t from = sim::NextWriteSeq();
    control.ApplyProfileAt(0, true);
    control.RefreshFanCurve(2);
    EXPECT_FALSE(control.SaveProfile(1));
    control.SelectProfile(0);  // the firmware's record still follows the selection
    EXPECT_EQ(ItemWrites(from, {kEcFanDevice, kEcSubItem}), (std::vector<ItemWrite>{{kEcFanDevice, 0}}));
}

TEST_F(NuvotonControlTest, EmbeddedControllerFanBelowTheFirstDeviceHasNoUserProfile) {
    Apply(ModeItems(0x04070060, 1, 7));
    NonSioFanControl control(224, 0x04070060);
    control.Initialize();
    ASSERT_EQ(control.GetProfileCount(), 4);  // the user profile would be fan type 5's
    EXPECT_EQ(control.GetCurrentProfileIndex(), 3);
    FanPoints caller = {{1, 2}};
    control.NormalizeFanCurve(&caller);  // no profile to ask: the points stay
    EXPECT_EQ(caller, (FanPoints{{1, 2}}));
}

// Stop, manual mode.

TEST_F(NuvotonControlTest, StopOnlyShowsItsMessage) {
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    test::MessageBoxCapture boxes;
    const uint32_t from = sim::NextWriteSeq();
    EXPECT_FALSE(control.Stop());
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"Method Stop is not supported.");
    EXPECT_EQ(boxes.Boxes()[0].caption, L"FanVantroControl");
    EXPECT_EQ(boxes.Boxes()[0].type, static_cast<UINT>(MB_OK));
    EXPECT_TRUE(sim::Writes(from).empty());
}

class BiosCurveControlTest : public NuvotonControlTest {
protected:
    void SetUp() override {
        NuvotonControlTest::SetUp();
        // Fan type 1 handed to the firmware's own curve.
        Apply(
            "item 0x040D001D desc \"CURVE0\" 0 0 0 1 2\nitem 0x040D007D desc \"CURVE1\" 0 0 0 1 2\n"
            "buffer 0x040D007D 00\nitem 0x04070078 value 2 desc \"MODE1\" 0 0 0 1 3");
    }
    // Made after the test has written the settings file: the store reads it once.
    SioFanControl& Control() {
        if (!control_) {
            control_ = std::make_unique<SioFanControl>(1, kSysModeItem);
            control_->Initialize();
        }
        return *control_;
    }
    // The mode byte of the fan's curve device, or -1 when nothing was written to it.
    int ModeWritten(uint32_t from) const {
        bool written = false;
        for (const sim::WriteRecord& w : sim::Writes(from))
            written |= w.kind == sim::WriteKind::BufferSet && w.a == 0x040D007D;
        return written ? sim::ItemBuffer(0x040D007D).at(1) : -1;
    }
    int Restore(const char* stored) {
        WriteStoreFile(std::string("<fan key=\"1\">") + stored + "</fan>");
        Control();
        const uint32_t from = sim::NextWriteSeq();
        Control().RestoreManualMode(2);  // store fan type 2: key 1
        return ModeWritten(from);
    }
    std::unique_ptr<SioFanControl> control_;
};

TEST_F(BiosCurveControlTest, ManualModeGoesToTheFansCurveDevice) {
    Control();
    uint32_t from = sim::NextWriteSeq();
    Control().EnableManualMode(true);
    EXPECT_EQ(ModeWritten(from), 1);
    from = sim::NextWriteSeq();
    Control().EnableManualMode(false);
    EXPECT_EQ(ModeWritten(from), 0);
}

TEST_F(BiosCurveControlTest, RestoredManualModeFollowsTheStore) {
    EXPECT_EQ(Restore("<manualmode>1</manualmode>"), 1);
}

TEST_F(BiosCurveControlTest, RestoredManualModeOffFollowsTheStore) {
    EXPECT_EQ(Restore("<manualmode>0</manualmode>"), 0);
}

TEST_F(BiosCurveControlTest, OtherStoredManualModesWriteNothing) {
    EXPECT_EQ(Restore("<manualmode>3</manualmode>"), -1);
}

TEST_F(NuvotonControlTest, ManualModeRestoreNeedsTheFirmwareCurve) {
    WriteStoreFile("<fan key=\"1\"><manualmode>1</manualmode></fan>");
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    const uint32_t from = sim::NextWriteSeq();
    control.RestoreManualMode(2);
    control.EnableManualMode(true);
    EXPECT_TRUE(sim::Writes(from).empty());
}

// The maker's utility suite.

TEST_F(FanControlTest, NoSuiteKeysNoSuite) {
    Apply("mbif 0 0 0x0400");
    EXPECT_FALSE(IsSuiteInstalled());
    AddMachineKey("Software\\Quil\\Tessaro_II");  // without "ExeName"
    EXPECT_FALSE(IsSuiteInstalled());
}

TEST_F(FanControlTest, ExeNameOfAnyKindMeansTheSuite) {
    Apply("mbif 0 0 0x0300");
    AddMachineKey("Software\\Quil\\Tessaro_II", true);
    AddMachineKey("Software\\Quil\\Tessaro_II\\FAN Vantro 2");
    EXPECT_TRUE(IsSuiteInstalled());  // whatever the board byte says
}

TEST_F(FanControlTest, FanVantroWithBoardByte4IsTheSuite) {
    Apply("mbif 0 0 0x0412");
    AddMachineKey("Software\\Quil\\Tessaro_II\\FAN Vantro 2");
    EXPECT_TRUE(IsSuiteInstalled());
    SioFanControl control(0, kCpuModeItem);
    EXPECT_TRUE(control.SuiteInstalled());
}

TEST_F(FanControlTest, FanVantroWithBoardByte3IsNotTheSuite) {
    Apply("mbif 0 0 0x0300");
    AddMachineKey("Software\\Quil\\Tessaro_II\\FAN Vantro 2");
    EXPECT_FALSE(IsSuiteInstalled());
}

TEST_F(FanControlTest, ThermalScopiaAloneAlsoCounts) {
    Apply("mbif 0 0 0x0400");
    AddMachineKey("Software\\Quil\\Tessaro_II\\Thermal Scopia");
    EXPECT_TRUE(IsSuiteInstalled());
}

TEST_F(FanControlTest, SuiteFlagIsTakenWhenTheObjectIsMade) {
    UseChip("0xC803 0 winbond");
    Apply(ModeItems(kSysModeItem, 0, 0));
    SioFanControl control(1, kSysModeItem);
    control.Initialize();
    InstallSuite();
    const uint32_t from = sim::NextWriteSeq();
    control.SelectProfile(1);
    EXPECT_EQ(ItemWrites(from, {kSysModeItem, kSysSubItem}),
              (std::vector<ItemWrite>{{kSysModeItem, 1}, {kSysSubItem, 0}}));
}

TEST_F(FanControlTest, BoardByteIsReadUntilItIsKnownAndThenHeld) {
    EXPECT_EQ(GetMbifByte1(), 0);  // no package yet
    Apply("mbif 0 0 0x0000");
    EXPECT_EQ(GetMbifByte1(), 0);
    Apply("mbif 0 0 0x7F0503");
    EXPECT_EQ(GetMbifByte1(), 5);
    Apply("mbif 0 0 0x0400");
    EXPECT_EQ(GetMbifByte1(), 5);
}

}  // namespace
