// Which fan set each product builds, on one board that declares Super I/O headers down to
// 0x04070050 (0x04070040 absent), EC fans 0x040700E0/E2 and the newer EC fan 0x040700F0.
#include <gtest/gtest.h>

#include <ostream>

#include "FakeWmi.h"
#include "ManagerSupport.h"
#include "fancore/EcHelper.h"
#include "fancore/QuilFanControl.h"

namespace {

using test::ManagerTest;

struct Model {
    const char* name;     // test name
    const char* product;  // SMBIOS base-board product
    const char* fans;     // class, fan index, mode item of each fan in list order
    const char* helper;
    // What WMI answers as the board's product; null: the manager must not ask WMI.
    const wchar_t* wmi = nullptr;
};

// Test logs name the product, not the record's bytes.
void PrintTo(const Model& m, std::ostream* os) {
    *os << '"' << m.product << '"';
}

#define SIO_PAIR_990 "EcCpuFan990FX 0 04070010, EcChassisFan990FX 1 04070070"
#define SIO_PAIR_P67 "EcCpuFanP67 0 04070010, EcChassisFanP67 1 04070070"
#define MIX_FANS \
    "SioMixEcFan 0 04070010, SioMixEcFan 1 04070070, SioMixEcFan 2 04070060, SioMixEcFan 3 04070050"
#define EC_FANS "PureEcFan 224 040700E0, PureEcFan 225 040700E2"
#define NEW_EC_FANS "NewPureEcFan 224 040700E0, NewPureEcFan 225 040700E2"
#define GENERIC_FANS                                                                                       \
    "PureSioFan 0 04070010, PureSioFan 1 04070070, PureSioFan 2 04070060, PureSioFan 3 04070050, " EC_FANS \
    ", NewPureEcFan 226 040700F0"

const Model kModels[] = {
    {"P67TestedBeforeZ77", "MARROWBACK P67 Z77", SIO_PAIR_P67 ", EcAuxFanP67 2 04070080", "EcHelper"},
    {"R2", "MARROWBACK 990FX R2.0", SIO_PAIR_990 ", PureSioFan 2 04070060, PureSioFan 3 04070050",
     "EcHelper"},
    {"Gen3R2", "MARROWBACK 990FX/GEN3 R2.0", SIO_PAIR_990 ", PureSioFan 2 04070060, PureSioFan 3 04070050",
     "EcHelper"},
    {"Plain990FX", "MARROWBACK 990FX", SIO_PAIR_990, "EcHelper"},
    {"X79", "MARROWBACK X79", SIO_PAIR_P67 ", " EC_FANS, "EcHelper"},
    {"Z77", "MARROWBACK Z77", MIX_FANS ", " EC_FANS, "EcHelper"},
    {"Z87", "MARROWBACK Z87", MIX_FANS ", " EC_FANS, "EcHelper"},
    {"Z97", "MARROWBACK Z97", MIX_FANS ", " NEW_EC_FANS, "NewEcHelper"},
    {"X99TakesTheZ97Set", "MARROWBACK X99", MIX_FANS ", " NEW_EC_FANS, "NewEcHelper"},
    {"Z170", "MARROWBACK Z170", MIX_FANS ", " NEW_EC_FANS ", NewPureEcFan 226 040700F0", "NewEcHelper"},
    {"PelicorBothChipsets", "PELICOR Z97 Z87", MIX_FANS ", " EC_FANS ", " MIX_FANS ", " NEW_EC_FANS,
     "NewEcHelper"},
    {"PelicorZ87", "PELICOR-Z87", MIX_FANS ", " EC_FANS, "EcHelper"},
    {"PelicorWithoutChipset", "PELICOR X58", "", "none"},
    {"LowerCaseTakesTheGenericSet", "marrowback z77", GENERIC_FANS, "EcHelper disabled"},
    {"LowerCaseChipsetTakesTheGenericSet", "Pelicor Z87", GENERIC_FANS, "EcHelper disabled"},
    {"OtherBoard", "H81M-PLUS", GENERIC_FANS, "EcHelper disabled"},
    // A known line without a chipset asks WMI and matches its product once more.
    {"WmiWithoutChipsetTakesTheGenericSet", "MARROWBACK", GENERIC_FANS, "EcHelper disabled",
     L"MARROWBACK B85"},
    {"WmiChipsetChoosesTheBuilder", "MARROWBACK X", MIX_FANS ", " EC_FANS, "EcHelper", L"MARROWBACK Z77"},
    {"WmiOtherProductBuildsNoFans", "MARROWBACK", "", "none", L"H81M-PLUS"},
    {"WmiEmptyProductBuildsNoFans", "MARROWBACK", "", "none", L""},
};

class BoardModelTest : public test::ManagerTest, public ::testing::WithParamInterface<Model> {};

TEST_P(BoardModelTest, BuildsTheFanSetOfItsProduct) {
    const Model& m = GetParam();
    Product(m.product);
    Devices({0x04070010, 0x04070070, 0x04070060, 0x04070050, 0x040700E0, 0x040700E2, 0x040700F0});
    // Every fan key the board can use holds a step-up time, which only a settings load reads: every
    // builder loads it for every fan it creates.
    std::string fans;
    for (int key = 0; key <= 8; ++key)
        fans += "<fan key=\"" + std::to_string(key) + "\"><stepuptime>7</stepuptime></fan>";
    Store(fans);
    // WMI's first base board answers; a second one, of another line, must not.
    test::FakeWmi wmi({m.wmi ? m.wmi : L"PELICOR Z87", L"MARROWBACK Z170"});
    ASSERT_TRUE(wmi.Registered());

    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(wmi.Queries(), m.wmi ? std::vector<std::wstring>{L"ROOT\\cimv2 Win32_BaseBoard"}
                                   : std::vector<std::wstring>{});
    EXPECT_EQ(Describe(*manager), m.fans);
    EXPECT_EQ(HelperOf(*manager), m.helper);
    for (QuilFanControl* fan : manager->Fans())
        EXPECT_EQ(fan->GetStepUpTime(), 7) << "fan " << fan->FanIndex();
    EXPECT_EQ(EcFanControlManager::Instance(), manager);
}

INSTANTIATE_TEST_SUITE_P(Products, BoardModelTest, ::testing::ValuesIn(kModels),
                         [](const ::testing::TestParamInfo<Model>& info) {
                             return std::string(info.param.name);
                         });

// The PELICOR line with both chipsets builds two helpers: the Z87 fans keep the first, the
// manager and the Z97 fans hold the second.
TEST_F(ManagerTest, PelicorWithBothChipsetsReplacesTheFirstHelper) {
    Product("PELICOR Z87 Z97");
    Devices({0x04070010, 0x04070070});
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    const auto& fans = manager->Fans();
    ASSERT_EQ(fans.size(), 4u);
    EXPECT_NE(fans[0]->Helper(), manager->Helper());
    EXPECT_EQ(dynamic_cast<NewEcHelper*>(fans[0]->Helper()), nullptr);
    EXPECT_EQ(fans[2]->Helper(), manager->Helper());
    EXPECT_EQ(fans[3]->Helper(), manager->Helper());
}

TEST_F(ManagerTest, MatchBoardModelResults) {
    Product("H81M-PLUS");
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    // The board itself has no fan devices: the generic set is empty.
    EXPECT_EQ(Describe(*manager), "");
    EXPECT_EQ(HelperOf(*manager), "EcHelper disabled");
    EXPECT_EQ(manager->MatchBoardModel(L"MARROWBACK"), 2);
    EXPECT_EQ(manager->MatchBoardModel(L"MARROWBACK z87"), 2);
    EXPECT_EQ(manager->MatchBoardModel(L"marrowback Z87"), 1);
    EXPECT_EQ(manager->MatchBoardModel(L""), 1);
    EXPECT_EQ(manager->MatchBoardModel(L"PELICOR"), 0);
    EXPECT_EQ(manager->Fans().size(), 0u);
    EXPECT_EQ(manager->MatchBoardModel(L"XMARROWBACK-990FX"), 0);
    EXPECT_EQ(manager->Fans().size(), 2u);
}

}  // namespace
