// The factories on simulated boards: which factory a chip gets, the profiles it builds with and
// without the firmware's tables, and the settings file the user profiles seed.
#include <gtest/gtest.h>

#include "ProfileSupport.h"
#include "fancore/FanStore.h"
#include "fancore/ProfileFactory.h"

namespace {

using test::Narrow;
using test::PointsOf;

constexpr int kModeItem0 = 0x04070000;
constexpr int kModeItem1 = 0x04070070;

class FactoryTest : public test::ProfileTest {
protected:
    // Made on first use, after the test has set up the board.
    FanProfileFactoryRegistry& Registry() { return GetProfileFactoryRegistry(); }
    std::vector<std::string> Names(int fanType) {
        std::vector<std::string> names;
        for (int t : {-1, 0, 1, 2, 5}) {
            auto p = Registry().CreateProfile(t, fanType);
            names.push_back(p ? Narrow(p->Name()) : "-");
        }
        return names;
    }
    template <typename T>
    std::unique_ptr<T> Create(int type, int fanType) {
        auto p = Registry().CreateProfile(type, fanType);
        T* typed = dynamic_cast<T*>(p.get());
        if (!typed) return nullptr;
        p.release();
        return std::unique_ptr<T>(typed);
    }
};

using NameList = std::vector<std::string>;

TEST_F(FactoryTest, FintekProfilesAndTheirDefaultCurves) {
    UseChip("0x1007 0 fintek");
    Registry().CreateFactory(0, kModeItem0);
    Registry().CreateFactory(1, kModeItem1);
    EXPECT_EQ(Names(0), (NameList{"Disable", "Standard", "Silent", "Turbo", "User"}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(-1, 0)), FanPoints(3, FanPoint{0, 255}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(0, 0)), (FanPoints{{25, 77}, {55, 179}, {70, 255}}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(2, 1)), (FanPoints{{15, 128}, {45, 204}, {60, 255}}));
    auto manual = Create<FintekFanProfile>(-1, 1);
    ASSERT_TRUE(manual);
    EXPECT_EQ(manual->standard, 0);
    EXPECT_EQ(manual->fanNumber, 1);
    EXPECT_EQ(Create<FintekFanProfile>(1, 1)->standard, 1);
    for (int t : {3, 4, 6, -2}) EXPECT_EQ(Registry().CreateProfile(t, 0), nullptr);
    EXPECT_EQ(Registry().CreateProfile(0, 2), nullptr);  // no factory for fan type 2
}

TEST_F(FactoryTest, FintekUserProfileSeedsTheStoreFromTheSilentCurve) {
    UseChip("0x1118 0 fintek");
    Registry().CreateFactory(2, kModeItem0);
    auto user = Registry().CreateProfile(5, 2);
    ASSERT_TRUE(user);
    EXPECT_EQ(PointsOf(*user), (FanPoints{{35, 128}, {65, 204}, {70, 255}}));
    // Fan number 2 keeps its curve under store fan type 4.
    EXPECT_NE(StoreFile().find("<fan key=\"2\"><curvedata><point key=\"0\"><x>35</x><y>128</y></point>"
                               "<point key=\"1\"><x>65</x><y>204</y></point>"
                               "<point key=\"2\"><x>70</x><y>255</y></point></curvedata></fan>"),
              std::string::npos)
        << StoreFile();
}

TEST_F(FactoryTest, FintekUserProfileReloadsAStoredCurve) {
    UseChip("0x1007 0 fintek");
    // Fan number 1: store fan type 2, key 1. Only two points stored: the third stays seeded.
    WriteStoreFile(
        "<fan key=\"1\"><curvedata><point key=\"0\"><x>30</x><y>90</y></point>"
        "<point key=\"1\"><x>50</x><y>150</y></point></curvedata></fan>");
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    EXPECT_EQ(PointsOf(*user), (FanPoints{{30, 90}, {50, 150}, {70, 255}}));
}

TEST_F(FactoryTest, WinbondStandardCurvesWithoutFirmwareTables) {
    UseChip("0xC333 0 winbond");
    Registry().CreateFactory(1, kModeItem1);
    EXPECT_EQ(Names(1), (NameList{"Disable", "Standard", "Silent", "Turbo", "User"}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(2, 1)), (FanPoints{{30, 153}, {60, 204}, {60, 255}}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(0, 1)), (FanPoints{{30, 153}, {70, 204}, {70, 255}}));
    auto manual = Create<WinbondFanProfile>(-1, 1);
    EXPECT_EQ(PointsOf(*manual), FanPoints(3, FanPoint{0, 255}));
    EXPECT_EQ(manual->standard, 0);
    auto silent = Create<WinbondFanProfile>(1, 1);
    EXPECT_EQ(silent->fanType, 1);
    EXPECT_EQ(silent->engineFanType, 1);
}

TEST_F(FactoryTest, WinbondFirstFanStartsByTheFanCurveModeItem) {
    UseChip("0xC562 0 winbond");
    Item(0x04060018, 0);
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(1, 0)), (FanPoints{{20, 153}, {75, 204}, {75, 255}}));
}

TEST_F(FactoryTest, WinbondFirstFanOtherwise) {
    UseChip("0xC562 0 winbond");
    Item(0x04060018, 1);
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(1, 0)), (FanPoints{{20, 104}, {75, 204}, {75, 255}}));
}

TEST_F(FactoryTest, WinbondFirmwareTableOverridesTheDefault) {
    UseChip("0xC803 0 winbond");
    StandardTable(0x0406008A + 2, {0, 25, 30, 50, 60, 70, 100});
    Registry().CreateFactory(2, kModeItem0);
    Registry().CreateFactory(3, kModeItem0);
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(2, 2)), (FanPoints{{25, 77}, {50, 153}, {70, 255}}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(1, 2)), (FanPoints{{30, 153}, {75, 204}, {75, 255}}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(2, 3)), (FanPoints{{30, 153}, {60, 204}, {60, 255}}));
}

TEST_F(FactoryTest, WinbondUserProfileSeedsBothCurvesWhereTheFirmwareTakesThem) {
    UseChip("0xC803 0 winbond");
    // The firmware's fan-curve devices, fan type 1 handed to the firmware.
    Apply(
        "item 0x040D001D desc \"CURVE0\" 0 0 0 1 2\nitem 0x040D007D desc \"CURVE1\" 0 0 0 1 2\n"
        "item 0x04070078 value 2 desc \"MODE1\" 0 0 0 1 3");
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    ASSERT_TRUE(user && user->SecondProfile());
    EXPECT_EQ(Narrow(user->SecondProfile()->Name()), "User");
    EXPECT_EQ(PointsOf(*user), (FanPoints{{30, 153}, {75, 204}, {75, 255}}));
    EXPECT_EQ(PointsOf(*user->SecondProfile()), FanPoints(4, FanPoint{0, 0}));
    const std::string file = StoreFile();
    EXPECT_NE(file.find("<fan key=\"1\"><curvedata><point key=\"0\"><x>30</x><y>153</y></point>"),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("<extracurve><point key=\"0\"><x>0</x><y>0</y></point>"), std::string::npos) << file;
    EXPECT_NE(file.find("<point key=\"3\"><x>0</x><y>0</y></point></extracurve>"), std::string::npos) << file;
}

TEST_F(FactoryTest, WinbondUserProfileWithoutTheFirmwareCurveHasNoSecondProfile) {
    UseChip("0xC803 0 winbond");
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    ASSERT_TRUE(user);
    EXPECT_EQ(user->SecondProfile(), nullptr);
    EXPECT_EQ(StoreFile().find("extracurve"), std::string::npos);
}

TEST_F(FactoryTest, WinbondUserProfileReloadsBothCurves) {
    UseChip("0xC803 0 winbond");
    Apply(
        "item 0x040D001D desc \"CURVE0\" 0 0 0 1 2\nitem 0x040D007D desc \"CURVE1\" 0 0 0 1 2\n"
        "item 0x04070078 value 2 desc \"MODE1\" 0 0 0 1 3");
    WriteStoreFile(
        "<fan key=\"1\"><curvedata><point key=\"0\"><x>31</x><y>100</y></point>"
        "<point key=\"1\"><x>51</x><y>150</y></point><point key=\"2\"><x>71</x><y>250</y></point>"
        "</curvedata><extracurve><point key=\"0\"><x>1</x><y>2</y></point>"
        "<point key=\"1\"><x>3</x><y>4</y></point><point key=\"2\"><x>5</x><y>6</y></point>"
        "<point key=\"3\"><x>7</x><y>8</y></point></extracurve></fan>");
    Registry().CreateFactory(1, kModeItem1);
    auto user = Registry().CreateProfile(5, 1);
    EXPECT_EQ(PointsOf(*user), (FanPoints{{31, 100}, {51, 150}, {71, 250}}));
    EXPECT_EQ(PointsOf(*user->SecondProfile()), (FanPoints{{1, 2}, {3, 4}, {5, 6}, {7, 8}}));
}

TEST_F(FactoryTest, EmbeddedControllerFansGetATemporaryWinbondFactory) {
    UseChip("0x8721 3 ite");
    auto user = Create<WinbondUserProfile>(5, 101);
    ASSERT_TRUE(user);
    EXPECT_EQ(Narrow(user->Name()), "User");
    EXPECT_EQ(user->fanType, 101);
    EXPECT_EQ(PointsOf(*user), (FanPoints{{30, 153}, {75, 204}, {75, 255}}));
    // Fan type 101 is its own store fan type: key 7.
    EXPECT_NE(StoreFile().find("<fan key=\"7\"><curvedata>"), std::string::npos) << StoreFile();
    EXPECT_EQ(Names(101), (NameList{"Disable", "Standard", "Silent", "Turbo", "User"}));
}

TEST_F(FactoryTest, ChipsWithoutAFactoryHaveNoProfiles) {
    UseChip("0xB352 0 winbond");
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(Names(0), (NameList{"-", "-", "-", "-", "-"}));
    EXPECT_EQ(Registry().GetFactoryFanNumber(1), -1);
}

TEST_F(FactoryTest, Ite8720SecondFanIsReachedByKind) {
    UseChip("0x8720 0 ite");
    Registry().CreateFactory(1, kModeItem1);
    EXPECT_EQ(Registry().GetFactoryFanNumber(1), 2);
    EXPECT_EQ(Registry().GetFactoryFanNumber(0), -1);
    EXPECT_EQ(Registry().GetFactoryFanNumber(2), -1);
    EXPECT_EQ(Registry().CreateProfile(0, 1), nullptr);
    Registry().CreateFactory(0, kModeItem0);
    auto standard = Create<IteFanProfile>(0, 0);
    ASSERT_TRUE(standard);
    EXPECT_EQ(standard->chipFanNumber, 0);
    // 7-bit defaults of table 0, row 0.
    EXPECT_EQ(standard->registers, (IteRegisterImage{10, 2, 16, 70, 0, 0}));
    EXPECT_EQ(PointsOf(*standard), (FanPoints{{10, 5}, {70, 245}, {70, 255}}));
}

TEST_F(FactoryTest, Ite8720FirstFanOnTheSecondController) {
    UseChip("0x8720 0 ite");
    Item(0x04070012, 1);
    Registry().CreateFactory(0, kModeItem0);
    auto standard = Create<IteFanProfile>(0, 0);
    EXPECT_EQ(standard->chipFanNumber, 1);
    EXPECT_EQ(standard->registers, (IteRegisterImage{24, 53, 16, 70, 0, 0}));  // table 1
}

struct Wiring {
    int fanType, key;
    int chipFan, simple, selector;
};

void ExpectWiring(FanProfileFactoryRegistry& registry, const std::vector<Wiring>& wirings) {
    for (const Wiring& w : wirings) registry.CreateFactory(w.fanType, w.key);
    for (const Wiring& w : wirings) {
        auto p = registry.CreateProfile(1, w.fanType);
        auto* ite = dynamic_cast<IteFanProfile*>(p.get());
        ASSERT_TRUE(ite) << w.fanType;
        EXPECT_EQ(ite->chipFanNumber, w.chipFan) << w.fanType;
        EXPECT_EQ(ite->simpleMode, w.simple) << w.fanType;
        EXPECT_EQ(ite->selector, w.selector) << w.fanType;
        EXPECT_EQ(ite->storeKey, w.key) << w.fanType;
    }
}

TEST_F(FactoryTest, Ite8721Rules) {
    UseChip("0x8721 3 ite");
    ExpectWiring(Registry(), {{0, kModeItem0, 0, 0, 0},
                              {1, kModeItem1, 2, 0, 0},
                              {2, kModeItem0, 5, 0, 0},
                              {3, 0x04070080, 3, 1, 0}});
}

TEST_F(FactoryTest, Ite8721RulesWithTheAlternateWiring) {
    UseChip("0x8728 3 ite");
    Item(0x04060078, 0x12);
    Item(0x04070012, 1);
    ExpectWiring(Registry(), {{0, kModeItem0, 1, 0, 0}, {1, kModeItem1, 3, 0, 0}, {3, 0x04070080, 2, 1, 0}});
}

TEST_F(FactoryTest, Ite8623WithRevisionTakesThe8623Rules) {
    UseChip("0x8623 1 ite");
    ExpectWiring(Registry(), {{0, kModeItem0, 0, 0, 1}, {1, kModeItem1, 2, 0, 2}, {2, kModeItem0, 3, 0, 3}});
    // The 8623 factory keeps a converter of its own.
    auto p = Registry().CreateProfile(1, 0);
    const IteDataConverter* converter = dynamic_cast<IteFanProfile&>(*p).converter;
    EXPECT_EQ(converter, Ite8623FanProfileFactory(0, 0, 0, 0).GetConverter());
    EXPECT_NE(converter, Ite8721FanProfileFactory(0, 0, 0, 0).GetConverter());
}

TEST_F(FactoryTest, Ite8623WithoutRevisionTakesThe8721Rules) {
    UseChip("0x8623 0 ite");
    ExpectWiring(Registry(), {{2, kModeItem0, 5, 0, 0}});
}

TEST_F(FactoryTest, Ite8626TakesThe8623Rules) {
    UseChip("0x8626 3 ite");
    Item(0x04060078, 2);
    ExpectWiring(Registry(), {{1, kModeItem1, 3, 0, 2}, {4, 0x04070080, 2, 0, 5}});
}

TEST_F(FactoryTest, FirstFactoryOfAFanTypeStays) {
    UseChip("0x8721 3 ite");
    Registry().CreateFactory(2, kModeItem0);  // chip fan 5
    Registry().CreateFactory(2, 0x04070080);  // would be chip fan 3
    EXPECT_EQ(Create<IteFanProfile>(0, 2)->chipFanNumber, 5);
}

TEST_F(FactoryTest, IteNamesAndRowsFollowTheBoardInformation) {
    UseChip("0x8721 3 ite");
    Apply("mbif 0 0 0 0 0 0 0 0x01000000");
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(Names(0), (NameList{"Disable", "Standard", "Silent", "Turbo", "Manual"}));
    // "Standard" takes row 1 of table 0: full duty before 70, the middle point half way.
    EXPECT_EQ(Create<IteFanProfile>(0, 0)->registers, (IteRegisterImage{20, 76, 32, 70, 0, 0}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(0, 0)), (FanPoints{{20, 76}, {45, 165}, {70, 255}}));
    EXPECT_EQ(Create<IteFanProfile>(2, 0)->registers, (IteRegisterImage{10, 76, 32, 70, 0, 0}));
    // The user profile starts as "Silent" (type 1 here).
    auto user = Create<IteFanUserProfile>(5, 0);
    EXPECT_EQ(user->registers, (IteRegisterImage{20, 76, 16, 70, 0, 0}));
    EXPECT_EQ(user->type, 5);
    EXPECT_EQ(Narrow(user->Name()), "Manual");
}

TEST_F(FactoryTest, IteNamesWithoutTheBoardInformationBits) {
    UseChip("0x8721 3 ite");
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(Names(0), (NameList{"Disable", "Performance", "Optimal", "Silent", "Manual"}));
    EXPECT_EQ(Create<IteFanProfile>(0, 0)->registers, (IteRegisterImage{10, 76, 32, 70, 0, 0}));
    EXPECT_EQ(PointsOf(*Registry().CreateProfile(0, 0)), (FanPoints{{10, 76}, {40, 165}, {70, 255}}));
    // "Silent" is type 2 here, and seeds the user profile.
    EXPECT_EQ(Create<IteFanUserProfile>(5, 0)->registers, (IteRegisterImage{20, 76, 16, 70, 0, 0}));
    EXPECT_EQ(Narrow(Registry().CreateProfile(2, 0)->Name()), "Silent");
    // Manual: full speed, row 3.
    auto manual = Create<IteFanProfile>(-1, 0);
    EXPECT_EQ(manual->registers, (IteRegisterImage{127, 255, 0, 127, 0, 0}));
    EXPECT_EQ(PointsOf(*manual), (FanPoints{{0, 255}, {127, 255}, {127, 255}}));
    EXPECT_EQ(manual->type, -1);
}

TEST_F(FactoryTest, IteTableChoice) {
    UseChip("0x8721 3 ite");
    Item(0x04060018, 0x05);  // upper bits 0: table 1 even for the first controller
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(Create<IteFanProfile>(0, 0)->registers, (IteRegisterImage{24, 106, 32, 70, 0, 0}));
}

TEST_F(FactoryTest, IteTableChoiceUpperBitsSet) {
    UseChip("0x8721 3 ite");
    Item(0x04060018, 0x15);
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(Create<IteFanProfile>(1, 0)->registers, (IteRegisterImage{20, 76, 32, 70, 0, 0}));
}

TEST_F(FactoryTest, IteFirmwareTablesGiveTheImage) {
    UseChip("0x8721 3 ite");
    Item(0x04060018, 0x10);
    StandardTable(0x0406001A + 0, {0, 30, 40, 60, 100, -1, 0});     // one segment
    StandardTable(0x0406001A + 1, {0, 30, 40, 50, 70, 70, 100});    // two segments
    StandardTable(0x0406001A + 3, {0, 100, 100, 110, 100, -1, 0});  // the manual profile's
    Registry().CreateFactory(0, kModeItem0);
    // P0 = pct(40) = 102; 153 / 30 = 5.1 steps: 41.
    EXPECT_EQ(Create<IteFanProfile>(0, 0)->registers, (IteRegisterImage{30, 102, 41, 60, 0, 0}));
    // 77 / 20 = 3.85: 31; then 76 / 20 = 3.8: 31.
    auto two = Create<IteFanProfile>(1, 0);
    EXPECT_EQ(two->registers, (IteRegisterImage{30, 102, 31, 70, 50, 31}));
    EXPECT_EQ(PointsOf(*two), (FanPoints{{30, 102}, {50, 179}, {70, 255}}));
    // No table for type 2: the default row.
    EXPECT_EQ(Create<IteFanProfile>(2, 0)->registers, (IteRegisterImage{20, 76, 16, 70, 0, 0}));
    EXPECT_EQ(Create<IteFanProfile>(-1, 0)->registers, (IteRegisterImage{100, 255, 0, 110, 0, 0}));
}

TEST_F(FactoryTest, IteUnreadableFirmwareTableFallsBack) {
    UseChip("0x8721 3 ite");
    Item(0x04060018, 0x10);
    Apply("item 0x0406001A fail-get desc \"TABLE\" 0 0 0 1 2");
    sim::SetItemBuffer(0x0406001A, std::vector<uint8_t>(64, 30));
    Registry().CreateFactory(0, kModeItem0);
    EXPECT_EQ(Create<IteFanProfile>(0, 0)->registers, (IteRegisterImage{10, 76, 32, 70, 0, 0}));
}

TEST_F(FactoryTest, IteUserProfileReloadsItsStoredCurve) {
    UseChip("0x8721 3 ite");
    // Found and read under the store key (the fan's BIOS mode item); the chip fan number's
    // element holds none.
    WriteStoreFile(
        "<fan key=\"67567522\"><curvedata><point key=\"0\"><x>20</x><y>50</y></point>"
        "<point key=\"1\"><x>40</x><y>100</y></point><point key=\"2\"><x>60</x><y>200</y></point>"
        "</curvedata></fan>");
    Registry().CreateFactory(0, kModeItem0);
    auto user = Create<IteFanUserProfile>(5, 0);
    EXPECT_EQ(user->registers, (IteRegisterImage{20, 50, 20, 60, 40, 20}));
    EXPECT_EQ(PointsOf(*user), (FanPoints{{20, 50}, {40, 100}, {60, 200}}));
}

TEST_F(FactoryTest, IteUserProfileKeepsItsSeedWhenTheStoreKeyHasNoCurve) {
    UseChip("0x8721 3 ite");
    WriteStoreFile("<fan key=\"0\"><curvedata /></fan>");
    Registry().CreateFactory(0, kModeItem0);
    auto user = Create<IteFanUserProfile>(5, 0);
    EXPECT_EQ(user->registers, (IteRegisterImage{20, 76, 16, 70, 0, 0}));
    EXPECT_EQ(PointsOf(*user), (FanPoints{{20, 76}, {70, 176}, {70, 255}}));
}

TEST_F(FactoryTest, IteTypesWithoutARowAreUnknown) {
    UseChip("0x8721 3 ite");
    auto p = Ite8721FanProfileFactory(0, kModeItem0, 0, 0).CreateStandard(4);
    EXPECT_EQ(Narrow(p->Name()), "Unknow");
    EXPECT_EQ(p->registers, (IteRegisterImage{127, 255, 0, 127, 0, 0}));
}

}  // namespace
