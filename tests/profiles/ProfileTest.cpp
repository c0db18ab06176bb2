// The profiles' operations: what the chip, the firmware and the settings file hold after a
// profile is set, normalised, applied, saved and reloaded.
#include <gtest/gtest.h>

#include "ProfileSupport.h"
#include "fancore/EcRecords.h"
#include "fancore/FanStore.h"
#include "fancore/FintekFanEngine.h"
#include "fancore/ProfileFactory.h"
#include "support/Capture.h"
#include "support/ChipLog.h"

namespace {

using test::PointsOf;
using test::RegWrite;

constexpr int kModeItem0 = 0x04070000;
constexpr int kModeItem1 = 0x04070070;

class ProfileTest : public test::ProfileTest {
protected:
    // Made on first use, after the test has set up the board.
    FanProfileFactoryRegistry& Registry() { return GetProfileFactoryRegistry(); }
    template <typename T>
    std::unique_ptr<T> Create(int type, int fanType) {
        auto p = Registry().CreateProfile(type, fanType);
        T* typed = dynamic_cast<T*>(p.get());
        if (!typed) return nullptr;
        p.release();
        return std::unique_ptr<T>(typed);
    }
    // The registers of an ITE SmartGuardian block: start, full, PWM, slope.
    std::vector<int> Block(int base) const {
        return {Reg(0, base + 1), Reg(0, base + 2), Reg(0, base + 3), Reg(0, base + 4)};
    }
    size_t BufferWrites(uint32_t from, uint32_t device) const {
        size_t n = 0;
        for (const sim::WriteRecord& w : sim::Writes(from))
            if (w.kind == sim::WriteKind::BufferSet && w.a == device) ++n;
        return n;
    }
};

// Firmware fan-curve devices of fan types 0 and 1, fan type 1 handed to the firmware.
const char kBiosCurve[] =
    "item 0x040D001D desc \"CURVE0\" 0 0 0 1 2\nitem 0x040D007D desc \"CURVE1\" 0 0 0 1 2\n"
    "buffer 0x040D007D 00\nitem 0x04070078 value 2 desc \"MODE1\" 0 0 0 1 3";

TEST_F(ProfileTest, UnsupportedOperationsShowTheirMessageAndChangeNothing) {
    UseChip("0xC803 0 winbond");
    Registry().CreateFactory(1, kModeItem1);
    test::MessageBoxCapture boxes;
    auto standard = Registry().CreateProfile(0, 1);
    const FanPoints before = PointsOf(*standard);
    FanPoints caller = {{1, 2}, {3, 4}, {5, 6}};
    standard->SetPolygonal(caller);
    standard->Normalize(&caller);
    auto manual = Registry().CreateProfile(-1, 1);
    manual->SetPolygonal(caller);
    ASSERT_EQ(boxes.Count(), 3u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"The method \"SetPolygonal\" is not supported");
    EXPECT_EQ(boxes.Boxes()[1].text, L"The method \"Normalize\" is not supported");
    EXPECT_EQ(boxes.Boxes()[0].caption, L"FanProfile");
    EXPECT_EQ(boxes.Boxes()[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(PointsOf(*standard), before);
    EXPECT_EQ(caller, (FanPoints{{1, 2}, {3, 4}, {5, 6}}));
    // Standard profiles refresh silently.
    standard->Refresh();
    EXPECT_EQ(boxes.Count(), 3u);
}

TEST_F(ProfileTest, StandardProfilesSaveNothing) {
    UseChip("0x8721 3 ite");
    Registry().CreateFactory(0, kModeItem0);
    for (int t : {-1, 0, 1, 2}) EXPECT_TRUE(Registry().CreateProfile(t, 0)->Save());
    EXPECT_FALSE(StoreFileExists());
}

TEST_F(ProfileTest, BaseRefreshMessage) {
    // A profile class of the test's own that keeps the base behaviour.
    struct Plain : FanProfile {
        Plain() : FanProfile(L"Plain") {}
        void GetPoints(FanPoints* out) const override { out->clear(); }
        bool Save() override { return true; }
        bool Apply() override { return true; }
    } plain;
    test::MessageBoxCapture boxes;
    plain.Refresh();
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"The method \"Refresh\" is not supported");
}

// ITE.

class IteProfileTest : public ProfileTest {
protected:
    std::unique_ptr<IteFanUserProfile> User() {
        UseChip("0x8721 3 ite");
        Registry().CreateFactory(0, kModeItem0);
        return Create<IteFanUserProfile>(5, 0);
    }
};

TEST_F(IteProfileTest, SetTakesThreePointsAndStoresWhatTheChipWillDo) {
    auto user = User();
    const FanPoints before = PointsOf(*user);
    user->SetPolygonal({{20, 50}, {40, 100}});  // too short: ignored
    EXPECT_EQ(PointsOf(*user), before);
    user->SetPolygonal({{20, 50}, {40, 100}, {60, 203}, {90, 255}});
    // 5.15 steps from 40 on are held as 5.25: the stored points say 205, as the chip will run.
    EXPECT_EQ(user->registers, (IteRegisterImage{20, 50, 20, 60, 40, 22}));
    EXPECT_EQ(PointsOf(*user), (FanPoints{{20, 50}, {40, 100}, {60, 205}}));
}

TEST_F(IteProfileTest, SetSpreadsACurveThatWasNeverSet) {
    auto user = User();
    user->SetPolygonal({{255, 50}, {255, 150}, {255, 255}});
    EXPECT_EQ(user->registers, (IteRegisterImage{0, 50, 16, 100, 50, 1}));
    EXPECT_EQ(PointsOf(*user), (FanPoints{{0, 50}, {50, 150}, {100, 255}}));
}

TEST_F(IteProfileTest, NormaliseOfFourPointsTakesTheLastThreeAndTheFlatStart) {
    auto user = User();
    FanPoints caller = {{30, 0}, {30, 76}, {70, 255}, {70, 255}};
    user->Normalize(&caller);
    EXPECT_EQ(user->flatStart, 1);
    EXPECT_EQ(user->registers.startTemp, 30);
    EXPECT_EQ(caller, (FanPoints{{30, 0}, {30, 76}, {70, 255}, {70, 255}}));
    FanPoints other = {{20, 0}, {30, 76}, {70, 200}, {70, 255}};
    user->Normalize(&other);
    EXPECT_EQ(user->flatStart, 0);
    // Points 2-4 are overwritten with what the chip will do; the first point stays.
    EXPECT_EQ(other, (FanPoints{{20, 0}, {30, 76}, {70, 201}, {70, 255}}));  // 3.1 held as 3.125
    EXPECT_EQ(user->registers, (IteRegisterImage{30, 76, 25, 70, 0, 0}));
    // Three points are replaced by the normalised ones.
    FanPoints three = {{10, 76}, {70, 200}, {70, 255}};
    user->Normalize(&three);
    EXPECT_EQ(three, (FanPoints{{10, 76}, {70, 203}, {70, 255}}));  // 2.067 held as 2.125
    FanPoints two = {{10, 76}, {70, 255}};
    user->Normalize(&two);  // too short: nothing
    EXPECT_EQ(two, (FanPoints{{10, 76}, {70, 255}}));
    EXPECT_EQ(PointsOf(*user), three);
}

TEST_F(IteProfileTest, ApplyWritesTheImageIntoTheControllersBlock) {
    auto user = User();
    FanPoints caller = {{30, 0}, {30, 76}, {70, 255}, {70, 255}};
    user->Normalize(&caller);
    const uint32_t from = sim::NextWriteSeq();
    ASSERT_TRUE(user->Apply());
    // The flat start keeps the fan off just below the start temperature.
    EXPECT_EQ(Reg(0, 0x60), 29);
    EXPECT_EQ(Block(0x60), (std::vector<int>{30, 70, 76, 36}));
    EXPECT_EQ(Reg(0, 0x90), 0xFF);
    EXPECT_EQ(Reg(0, 0x15), 0x80);
    EXPECT_TRUE(test::AllWritesLocked(from));
}

TEST_F(IteProfileTest, StandardProfileApplyOnTheIt8720) {
    UseChip("0x8720 0 ite");
    Registry().CreateFactory(0, kModeItem0);
    ASSERT_TRUE(Registry().CreateProfile(2, 0)->Apply());
    EXPECT_EQ(Block(0x60), (std::vector<int>{20, 70, 27, 8 ^ 0x80}));
    EXPECT_EQ(Reg(0, 0x60), 0x80);
    EXPECT_EQ(Reg(0, 0x15), 0x80);
    EXPECT_EQ(Reg(0, 0x16), 0x7F);
}

TEST_F(IteProfileTest, SimpleModeWritesTheSimpleCurve) {
    UseChip("0x8721 3 ite");
    Registry().CreateFactory(3, 0x04070080);  // controller 3, simple mode
    auto user = Create<IteFanUserProfile>(5, 3);
    ASSERT_TRUE(user);
    FanPoints caller = {{20, 80}, {50, 200}, {60, 220}};
    user->Normalize(&caller);
    // Full duty from the last segment's start on.
    EXPECT_EQ(caller[2].temperature, 50);
    EXPECT_EQ(caller[2].duty, 255);
    const uint32_t from = sim::NextWriteSeq();
    user->Apply();
    EXPECT_EQ(Block(0x68), (std::vector<int>{20, 50, 80, 32}));
    for (const RegWrite& w : test::MonitorWrites(from))
        EXPECT_FALSE(w.reg >= 0x90 && w.reg <= 0x96) << int(w.reg);
}

TEST_F(IteProfileTest, It8626UsesTheSelectorAsKind) {
    UseChip("0x8626 2 ite");                  // revision 2 without the firmware item: the ports
    Registry().CreateFactory(1, kModeItem1);  // controller 2, kind 2
    auto user = Create<IteFanUserProfile>(5, 1);
    user->SetPolygonal({{20, 50}, {40, 100}, {60, 200}});
    user->Apply();
    EXPECT_EQ(Block(0x68), (std::vector<int>{20, 60, 50, 20}));
    EXPECT_EQ(Reg(2, 0x20), 40);
    EXPECT_EQ(Reg(2, 0x21), 40 | 0x80);
    EXPECT_EQ(Reg(0, 0x16) & 0x80, 0x80);
}

TEST_F(IteProfileTest, StoreAndReloadUnderTheStoreKey) {
    auto user = User();
    user->SetPolygonal({{20, 50}, {40, 100}, {60, 200}});
    EXPECT_TRUE(user->Save());
    EXPECT_NE(StoreFile().find("<fan key=\"67567522\"><curvedata><point key=\"0\"><x>20</x><y>50</y></point>"
                               "<point key=\"1\"><x>40</x><y>100</y></point>"
                               "<point key=\"2\"><x>60</x><y>200</y></point></curvedata></fan>"),
              std::string::npos)
        << StoreFile();
    user->SetPolygonal({{10, 76}, {70, 255}, {70, 255}});
    user->Refresh();
    EXPECT_EQ(user->registers, (IteRegisterImage{20, 50, 20, 60, 40, 20}));
    EXPECT_EQ(PointsOf(*user), (FanPoints{{20, 50}, {40, 100}, {60, 200}}));
}

TEST_F(IteProfileTest, CopyFromKeepsTheProfilesOwnIdentity) {
    auto user = User();
    auto turbo = Create<IteFanProfile>(0, 0);
    turbo->chipFanNumber = 4;
    user->CopyFrom(*turbo);
    EXPECT_EQ(user->registers, turbo->registers);
    EXPECT_EQ(PointsOf(*user), PointsOf(*turbo));
    EXPECT_EQ(user->chipFanNumber, 0);
    EXPECT_EQ(user->type, 5);
    EXPECT_EQ(test::Narrow(user->Name()), "Manual");
}

// Fintek.

TEST_F(ProfileTest, FintekApplyWritesTheCurve) {
    UseChip("0x1007 0 fintek");
    Apply("hwm 0 0x96 0xFF");
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    FanPoints caller = {{40, 30}, {60, 60}, {80, 90}};
    user->Normalize(&caller);
    ASSERT_TRUE(user->Apply());
    EXPECT_EQ(Reg(0, 0x96), 0xF7);
    for (auto [reg, value] : std::vector<std::pair<int, int>>{
             {0xB6, 80}, {0xB7, 60}, {0xB8, 40}, {0xBA, 255}, {0xBB, 90}, {0xBC, 60}, {0xBD, 30}})
        EXPECT_EQ(Reg(0, reg), value) << std::hex << reg;
}

TEST_F(ProfileTest, FintekApplyDuringAFixedDutyUsesTheFixedMode) {
    UseChip("0x1118 0 fintek");
    Apply("hwm 0 0x96 0x00");
    Registry().CreateFactory(2, kModeItem0);
    auto silent = Registry().CreateProfile(1, 2);
    const uint32_t from = sim::NextWriteSeq();
    g_applyingFanDuty = 1;
    silent->Apply();
    g_applyingFanDuty = 0;
    std::vector<RegWrite> want = {{0, 0x96, 0x30}, {0, 0xC3, 255}};
    EXPECT_EQ(test::MonitorWrites(from), want) << test::Describe(test::MonitorWrites(from));
}

TEST_F(ProfileTest, FintekUserCurveOfAnyLengthIsKeptButOnlyThreeReachTheChip) {
    UseChip("0x1007 0 fintek");
    Registry().CreateFactory(0, kModeItem0);
    auto user = Registry().CreateProfile(5, 0);
    FanPoints caller = {{10, 20}};
    user->Normalize(&caller);
    EXPECT_EQ(caller, (FanPoints{{10, 20}}));
    EXPECT_EQ(PointsOf(*user), (FanPoints{{10, 20}}));
    const uint32_t from = sim::NextWriteSeq();
    EXPECT_FALSE(user->Apply());  // nothing the chip can take
    EXPECT_TRUE(test::MonitorWrites(from).empty());
}

TEST_F(ProfileTest, FintekStoreAndReload) {
    UseChip("0x1007 0 fintek");
    Registry().CreateFactory(0, kModeItem0);
    auto user = Registry().CreateProfile(5, 0);
    user->SetPolygonal({{40, 30}, {60, 60}, {80, 90}});
    EXPECT_TRUE(user->Save());
    EXPECT_NE(StoreFile().find("<fan key=\"0\"><curvedata><point key=\"0\"><x>40</x><y>30</y></point>"),
              std::string::npos);
    user->SetPolygonal({{1, 1}, {2, 2}, {3, 3}});
    user->Refresh();
    EXPECT_EQ(PointsOf(*user), (FanPoints{{40, 30}, {60, 60}, {80, 90}}));
}

// Winbond and Nuvoton.

TEST_F(ProfileTest, WinbondApplyWritesTheChipCurve) {
    UseChip("0xC803 0 winbond");
    Registry().CreateFactory(1, kModeItem1);
    const uint32_t from = sim::NextWriteSeq();
    ASSERT_TRUE(Registry().CreateProfile(2, 1)->Apply());
    // Fan type 1: bank 1.
    for (auto [reg, value] : std::vector<std::pair<int, int>>{{0x21, 30},
                                                              {0x22, 60},
                                                              {0x23, 60},
                                                              {0x24, 60},
                                                              {0x27, 153},
                                                              {0x28, 204},
                                                              {0x29, 255},
                                                              {0x2A, 255}})
        EXPECT_EQ(Reg(1, reg), value) << std::hex << reg;
    EXPECT_EQ(BufferWrites(from, 0x040D007D), 0u);
}

TEST_F(ProfileTest, WinbondApplyHandsBothCurvesToTheFirmware) {
    UseChip("0xC803 0 winbond");
    Apply(kBiosCurve);
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    user->SetPolygonal({{30, 40}, {50, 90}, {70, 200}});
    user->SecondProfile()->SetPolygonal({{31, 41}, {51, 91}, {71, 201}, {81, 255}});
    const uint32_t from = sim::NextWriteSeq();
    ASSERT_TRUE(user->Apply());
    // The profile grows its full-speed point; the firmware gets the mode, then both curves.
    EXPECT_EQ(PointsOf(*user), (FanPoints{{30, 40}, {50, 90}, {70, 200}, {70, 255}}));
    EXPECT_EQ(BufferWrites(from, 0x040D007D), 2u);
    EXPECT_EQ(sim::ItemBuffer(0x040D007D), (std::vector<uint8_t>{1, 0, 30, 50, 70, 70, 40, 90, 200, 255, 31,
                                                                 51, 71, 81, 41, 91, 201, 255}));
    EXPECT_TRUE(test::MonitorWrites(from).empty());
    EXPECT_NE(StoreFile().find("<fan key=\"1\">"), std::string::npos);
    EXPECT_EQ(FanStore::Instance().GetManualMode(2), -1);
}

TEST_F(ProfileTest, WinbondApplyWithTheExtraCurveUnused) {
    UseChip("0xC803 0 winbond");
    Apply(kBiosCurve);
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    user->SetPolygonal({{30, 40}, {50, 90}, {70, 200}});
    user->SecondProfile()->SetPolygonal({{0, 255}, {0, 255}, {0, 255}, {0, 255}});
    const uint32_t from = sim::NextWriteSeq();
    user->Apply();
    EXPECT_EQ(BufferWrites(from, 0x040D007D), 1u);  // the mode only
    const BiosFanCurveRecord mode = BuildBiosFanModeRecord(1);
    EXPECT_EQ(sim::ItemBuffer(0x040D007D), std::vector<uint8_t>(mode.bytes, mode.bytes + sizeof mode.bytes));
    EXPECT_EQ(FanStore::Instance().GetManualMode(2), 1);
    EXPECT_EQ(Reg(1, 0x21), 30);
    EXPECT_EQ(Reg(1, 0x29), 200);
    EXPECT_EQ(PointsOf(*user).size(), 3u);
}

TEST_F(ProfileTest, WinbondCurveEndingAt255DegreesGoesToTheChipOnly) {
    UseChip("0xC803 0 winbond");
    Apply(kBiosCurve);
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    user->SetPolygonal({{30, 40}, {50, 90}, {255, 200}});
    const uint32_t from = sim::NextWriteSeq();
    user->Apply();
    EXPECT_EQ(BufferWrites(from, 0x040D007D), 0u);
    EXPECT_EQ(Reg(1, 0x21), 30);
    EXPECT_EQ(Reg(1, 0x23), 100);  // the chip takes at most 100 degrees
}

TEST_F(ProfileTest, WinbondStoreWritesBothCurvesAndReloadReadsThem) {
    UseChip("0xC803 0 winbond");
    Apply(kBiosCurve);
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    user->SetPolygonal({{30, 40}, {50, 90}, {70, 200}});
    user->SecondProfile()->SetPolygonal({{31, 41}, {51, 91}, {71, 201}, {81, 255}});
    EXPECT_TRUE(user->Save());
    const std::string file = StoreFile();
    EXPECT_NE(file.find("<fan key=\"1\"><curvedata><point key=\"0\"><x>30</x><y>40</y></point>"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("<point key=\"3\"><x>81</x><y>255</y></point></extracurve>"), std::string::npos)
        << file;
    user->SetPolygonal({{1, 1}, {2, 2}, {3, 3}});
    user->SecondProfile()->SetPolygonal({});
    user->Refresh();
    EXPECT_EQ(PointsOf(*user), (FanPoints{{30, 40}, {50, 90}, {70, 200}}));
    EXPECT_EQ(PointsOf(*user->SecondProfile()), (FanPoints{{31, 41}, {51, 91}, {71, 201}, {81, 255}}));
}

TEST_F(ProfileTest, EmbeddedControllerUserProfileStoresUnderItsFanType) {
    UseChip("0xC803 0 winbond");
    auto user = Registry().CreateProfile(5, 230);
    user->SetPolygonal({{30, 40}, {50, 90}, {70, 200}});
    user->Save();
    // Fan type 230: key 136.
    EXPECT_NE(StoreFile().find("<fan key=\"136\"><curvedata><point key=\"0\"><x>30</x><y>40</y></point>"),
              std::string::npos)
        << StoreFile();
    user->SetPolygonal({{1, 1}, {2, 2}, {3, 3}});
    user->Refresh();
    EXPECT_EQ(PointsOf(*user), (FanPoints{{30, 40}, {50, 90}, {70, 200}}));
}

TEST_F(ProfileTest, WinbondFirmwareCurveWithoutTheFirstDeviceHasNoExtraCurve) {
    UseChip("0xC803 0 winbond");
    // Fan type 1 goes to the firmware, but without device 0 there is no second profile.
    Apply(
        "item 0x040D007D desc \"CURVE1\" 0 0 0 1 2\nbuffer 0x040D007D 00\n"
        "item 0x04070078 value 2 desc \"MODE1\" 0 0 0 1 3");
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    ASSERT_EQ(user->SecondProfile(), nullptr);
    user->SetPolygonal({{30, 40}, {50, 90}, {70, 200}});
    const uint32_t from = sim::NextWriteSeq();
    EXPECT_TRUE(user->Apply());
    EXPECT_EQ(BufferWrites(from, 0x040D007D), 1u);  // the mode, then the chip's own curve
    EXPECT_EQ(FanStore::Instance().GetManualMode(2), 1);
    EXPECT_EQ(Reg(1, 0x22), 50);
    EXPECT_TRUE(user->Save());
    EXPECT_EQ(StoreFile().find("extracurve"), std::string::npos);
}

}  // namespace
