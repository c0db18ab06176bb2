// The EC helper: the weights records and the enable list, alone and over a board's fan list.
#include <windows.h>

#include <gtest/gtest.h>

#include "FanClassSupport.h"
#include "fancore/EcFanControlManager.h"
#include "fancore/EcHelper.h"
#include "fancore/EcRecords.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "system/Handles.h"

namespace {

using test::Head;
using test::Words;

class EcHelperTest : public test::FanClassTest {
protected:
    void SetUp() override {
        FanClassTest::SetUp();
        Device(kEcWeightsDevice);
        Device(kEcEnableDevice);
    }
};

TEST_F(EcHelperTest, WeightsArePercentOf255AndTheOlderEcGetsThemRotated) {
    EcHelper older(nullptr);
    older.SendWeights(0, {10, 20, 30, 40});
    EXPECT_EQ(Head(kEcWeightsDevice, 8), (std::vector<int32_t>{1, 76, 102, 25, 51, -1, 4, 0}));
    EXPECT_EQ(Words(kEcWeightsDevice).size(), 48u);
    NewEcHelper newer(nullptr);
    newer.SendWeights(0, {10, 20, 30, 40});
    EXPECT_EQ(Head(kEcWeightsDevice, 8), (std::vector<int32_t>{0, 25, 51, 76, 102, -1, 4, 0}));
    older.SendWeights(5, {});
    EXPECT_EQ(Head(kEcWeightsDevice, 4), (std::vector<int32_t>{6, -1, 0, 0}));
}

TEST_F(EcHelperTest, ADisabledHelperSendsNoWeights) {
    EcHelper older(nullptr);
    NewEcHelper newer(nullptr);
    older.m_disabled = newer.m_disabled = 1;
    const uint32_t from = sim::NextWriteSeq();
    older.SendWeights(0, {10});
    newer.SendWeights(0, {10});
    EXPECT_EQ(test::BufferWrites(from, kEcWeightsDevice), 0u);
}

TEST_F(EcHelperTest, MoreWeightsThanTheRecordHoldsAreCut) {
    NewEcHelper helper(nullptr);
    helper.SendWeights(1, std::vector<int>(60, 100));
    const std::vector<int32_t> w = Words(kEcWeightsDevice);
    ASSERT_EQ(w.size(), 48u);  // 192 bytes, never more
    EXPECT_EQ(w[45], 255);
    EXPECT_EQ(w[46], -1);
    EXPECT_EQ(w[47], 45);
}

// Over the fan manager's list, built from the board as the service builds it.
class BoardFansTest : public EcHelperTest {
protected:
    void SetUp() override {
        EcHelperTest::SetUp();
        // The service creates its event before anything asks for the manager; each test process
        // has its own, since the processes of the prefix share one namespace.
        const std::wstring name = L"QuilFanClassTestEvent-" + std::to_wstring(GetCurrentProcessId());
        event_.Reset(CreateEventW(nullptr, TRUE, TRUE, name.c_str()));
        ASSERT_TRUE(event_);
        UseServiceEventName(name.c_str());
        for (uint32_t id : {0x04070010u, 0x04070070u, 0x040700E0u}) Item(id, 0);
    }
    const std::vector<QuilFanControl*>& Fans() {
        EcFanControlManager* manager = EcFanControlManager::Instance();
        static const std::vector<QuilFanControl*> none;
        return manager ? manager->Fans() : none;
    }
    EcHelper* Helper() { return EcFanControlManager::Instance()->Helper(); }
    // The firmware keys its items without bits 16-23: the weights device is the same item as the
    // fan device 0x04070020, which the generic board's walk would take for a seventh fan.
    void WithoutWeightsDevice() { sim::RemoveItem(kEcWeightsDevice); }
    std::string Describe() {
        std::string s;
        for (QuilFanControl* f : Fans()) s += std::to_string(f->FanIndex()) + " ";
        return s;
    }

    tolo::UniqueHandle event_;
};

TEST_F(BoardFansTest, EnableListCoversTheSuperIoFansOnlyOnTheC330Chip) {
    Apply("product \"QX-H61 NCT6776\"\nchip 0xC333 0 winbond");
    WithoutWeightsDevice();
    ASSERT_EQ(Fans().size(), 3u) << Describe();
    ASSERT_FALSE(Fans()[0]->UsesEcHelper());
    Helper()->SendEnableList();
    EXPECT_EQ(Head(kEcEnableDevice, 4), (std::vector<int32_t>{0, 0, 1, 0}));
    EXPECT_EQ(Words(kEcEnableDevice).size(), 24u);
}

TEST_F(BoardFansTest, EnableListHoldsTheEcFansOfOtherChips) {
    Apply("product \"QX-H61 NCT6779\"");
    WithoutWeightsDevice();
    ASSERT_EQ(Fans().size(), 3u);
    // The EC fan's selection sends the list.
    Fans()[2]->SelectProfile(1);
    EXPECT_EQ(Head(kEcEnableDevice, 2), (std::vector<int32_t>{1, 0}));
}

TEST_F(BoardFansTest, AnEnableListLongerThanItsRecordIsCut) {
    Apply("product \"QX-H61 NCT6779\"");
    WithoutWeightsDevice();
    for (uint32_t i = 1; i < 26; ++i) Item(0x040700E0 + 2 * i, 0);
    ASSERT_GT(Fans().size(), 26u);
    Helper()->SendEnableList();
    EXPECT_EQ(Words(kEcEnableDevice), std::vector<int32_t>(24, 1));  // 96 bytes, never more
}

TEST_F(BoardFansTest, WeightsAreResentOnlyForTheBoardsOwnFans) {
    Apply("product \"MARROWBACK Z97\"");
    ASSERT_EQ(Fans().size(), 3u);
    Fans()[1]->SaveThermalWeights({10, 20, 30, 40});
    EXPECT_EQ(Head(kEcWeightsDevice, 7), (std::vector<int32_t>{1, 25, 51, 76, 102, -1, 4}));
    EXPECT_NE(LowerStoreFile().find("<weights><sensor_0>10</sensor_0><sensor_1>20</sensor_1>"),
              std::string::npos)
        << LowerStoreFile();
    // Refreshing a profile sends the weights again, then the profile reads its stored curve.
    sim::SetItemBuffer(kEcWeightsDevice, std::vector<uint8_t>(28, 0));
    FanStore::Instance().WriteCurve(2, {{33, 90}, {55, 170}, {77, 240}}, false);
    Fans()[1]->RefreshFanCurve(4);
    EXPECT_EQ(Head(kEcWeightsDevice, 7), (std::vector<int32_t>{1, 25, 51, 76, 102, -1, 4}));
    FanPoints refreshed;
    Fans()[1]->GetProfile(4)->GetPoints(&refreshed);
    EXPECT_EQ(refreshed, (FanPoints{{33, 90}, {55, 170}, {77, 240}}));
    SioMixEcFan stranger(Helper(), 0x04070010);
    const uint32_t from = sim::NextWriteSeq();
    stranger.SaveThermalWeights({50});
    stranger.ApplyThermalWeights({50});
    EXPECT_EQ(test::BufferWrites(from, kEcWeightsDevice), 0u);
    Fans()[0]->ApplyThermalWeights({100, 0});
    EXPECT_EQ(Head(kEcWeightsDevice, 5), (std::vector<int32_t>{0, 255, 0, -1, 2}));
}

TEST_F(BoardFansTest, ASourceIndexGoesToTheFirmwaresTableOfAllFans) {
    Apply("product \"MARROWBACK Z97\"");
    Device(kBiosFanSourceTableDevice);
    ASSERT_EQ(Fans().size(), 3u);
    Fans()[1]->SetFanSourceIndex(3);
    std::vector<int32_t> expected(32, 0);
    expected[1] = 3;
    EXPECT_EQ(Words(kBiosFanSourceTableDevice), expected);
    EXPECT_EQ(Fans()[1]->GetFanSourceIndex(), 3);
    EXPECT_EQ(FanStore::Instance().GetFanSourceIndex(2), 3);
}

}  // namespace
