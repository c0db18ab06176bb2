// The fan manager's creation, its builders' walks and set-up steps as FanStore.xml and the fans
// show them, the firmware's fan source table and the board product read.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "ManagerSupport.h"
#include "board/Board.h"
#include "fancore/EcHelper.h"
#include "fancore/QuilFanControl.h"

namespace {

using test::ManagerTest;

std::vector<uint32_t> Words(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> words(bytes.size() / 4);
    if (!words.empty()) std::memcpy(words.data(), bytes.data(), words.size() * 4);
    return words;
}

// --- creation -----------------------------------------------------------------------------------

TEST_F(ManagerTest, TwoFirstCallersGetOneFullyBuiltManager) {
    Product("MARROWBACK Z170");
    Devices({0x04070010, 0x04070070, 0x04070060, 0x040700E0, 0x040700F0});
    std::atomic<int> waiting{2};
    EcFanControlManager* seen[2] = {};
    size_t counts[2] = {};
    auto caller = [&](int i) {
        --waiting;
        while (waiting.load() > 0) std::this_thread::yield();
        seen[i] = EcFanControlManager::Instance();
        counts[i] = seen[i] ? seen[i]->Fans().size() : 0;
    };
    std::thread a(caller, 0), b(caller, 1);
    a.join();
    b.join();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    // Neither caller saw a list still being built.
    EXPECT_EQ(counts[0], 5u);
    EXPECT_EQ(counts[1], 5u);
}

TEST_F(ManagerTest, AFailedWaitGivesNoManagerAndSetsNothing) {
    Product("MARROWBACK Z77");
    const std::wstring missing = L"QuilManagerTestNoEvent-" + std::to_wstring(GetCurrentProcessId());
    UseServiceEventName(missing.c_str());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(EcFanControlManager::Instance(), nullptr);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "WaitForSingleObject error: 6\n");
    // Nothing was built, so a later call with the service's event builds the manager.
    EXPECT_FALSE(HasElement(0, "ecenable"));
    UseServiceEventName(nullptr);
    tolo::UniqueHandle serviceEvent(CreateEventW(nullptr, TRUE, TRUE, L"QuilFanControlServiceEvent"));
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->Fans().size(), 2u);
}

TEST_F(ManagerTest, EveryCallSetsTheServiceEvent) {
    Product("H81M-PLUS");
    ASSERT_NE(EcFanControlManager::Instance(), nullptr);
    ASSERT_TRUE(ResetEvent(Event()));
    ASSERT_NE(EcFanControlManager::Instance(), nullptr);
    EXPECT_EQ(WaitForSingleObject(Event(), 0), WAIT_OBJECT_0);
}

// --- the builders' walks ----------------------------------------------------------------------------

TEST_F(ManagerTest, GenericSetNumbersHeadersByPositionAndTheLastByCount) {
    Product("H81M-PLUS");
    Devices({0x04070010, 0x04070070, 0x04070000});
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(Describe(*manager), "PureSioFan 0 04070010, PureSioFan 1 04070070, PureSioFan 2 04070000");
    for (QuilFanControl* fan : manager->Fans()) EXPECT_EQ(fan->Helper(), nullptr);
}

TEST_F(ManagerTest, GenericSetSkipsAnAbsentHeaderAndKeepsTheNextOnesIndex) {
    Product("H81M-PLUS");
    Devices({0x04070010, 0x04070050, 0x04070020, 0x040700E0, 0x040700E2, 0x040700E6});
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    // 0x040700E4 is absent: the EC walk ends there and never reaches 0x040700E6.
    EXPECT_EQ(Describe(*manager),
              "PureSioFan 0 04070010, PureSioFan 3 04070050, PureSioFan 6 04070020, PureEcFan 224 040700E0, "
              "PureEcFan 225 040700E2");
}

TEST_F(ManagerTest, WalkDownStopsAtTheFirstAbsentHeader) {
    Product("MARROWBACK 990FX R2.0");
    Devices({0x04070060, 0x04070040});
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(Describe(*manager),
              "EcCpuFan990FX 0 04070010, EcChassisFan990FX 1 04070070, PureSioFan 2 04070060");
    EXPECT_EQ(manager->Fans()[2]->Helper(), nullptr);
    EXPECT_EQ(manager->Fans()[0]->Helper(), manager->Helper());
}

TEST_F(ManagerTest, NewerEcWalkGoesOnFromTheFirstWalksIndices) {
    Product("MARROWBACK Z170");
    Devices({0x040700E0, 0x040700E2, 0x040700E4, 0x040700F0, 0x040700F2});
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(Describe(*manager),
              "SioMixEcFan 0 04070010, SioMixEcFan 1 04070070, NewPureEcFan 224 040700E0, NewPureEcFan 225 "
              "040700E2, "
              "NewPureEcFan 226 040700E4, NewPureEcFan 227 040700F0, NewPureEcFan 228 040700F2");
}

// --- helper and EC state ----------------------------------------------------------------------------

class NuvotonManagerTest : public ManagerTest {
protected:
    std::string BoardText() const override { return "chip 0xC333 0\n"; }
};

TEST_F(NuvotonManagerTest, TheC330ChipPutsEveryFanInTheEnableList) {
    Product("MARROWBACK Z97");
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(HelperOf(*manager), "NewEcHelper all");
}

TEST_F(ManagerTest, NewerEcFansTakeTheirFanStopStateFromTheirWord) {
    Product("MARROWBACK Z97");
    Devices({0x040700E0, 0x040700E2, 0x040700E4});
    Apply("item 0x04070025 desc \"FANSTOP\" 0 0 0 1 2");
    // Words: fan 224 -> 0, fan 225 -> 1, fan 226 -> 2 (only 1 means stopped).
    std::string words = "buffer 0x04070025 00 00 00 00 01 00 00 00 02 00 00 00";
    for (int i = 3; i < 16; ++i) words += " 01 00 00 00";
    Apply(words);
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    const auto& fans = manager->Fans();
    ASSERT_EQ(fans.size(), 5u);
    std::vector<bool> stops;
    for (size_t i = 2; i < fans.size(); ++i) {
        auto* ec = dynamic_cast<NewPureEcFan*>(fans[i]);
        ASSERT_NE(ec, nullptr);
        stops.push_back(ec->FanStopState());
    }
    EXPECT_EQ(stops, (std::vector<bool>{false, true, false}));
}

TEST_F(ManagerTest, EcFansPastTheFanStopAnswerAreNotStopped) {
    Product("MARROWBACK Z97");
    // 18 newer EC fans: 224..241; the answer has words for 224..239 only.
    std::vector<uint32_t> devices;
    for (uint32_t d = 0x040700E0; d < 0x040700E0 + 2 * 18; d += 2) devices.push_back(d);
    std::string items;
    char line[80];
    for (uint32_t d : devices) {
        std::snprintf(line, sizeof line, "item 0x%08X desc \"EC\" 0 0 0 1 3\n", d);
        items += line;
    }
    Apply(items);
    Apply("item 0x04070025 desc \"FANSTOP\" 0 0 0 1 2");
    std::string words = "buffer 0x04070025";
    for (int i = 0; i < 16; ++i) words += " 01 00 00 00";
    // Bytes past the 64 the manager asks for, all saying "stopped".
    for (int i = 0; i < 8; ++i) words += " 01 00 00 00";
    Apply(words);
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    const auto& fans = manager->Fans();
    ASSERT_EQ(fans.size(), 20u);
    for (size_t i = 2; i < fans.size(); ++i) {
        auto* ec = dynamic_cast<NewPureEcFan*>(fans[i]);
        ASSERT_NE(ec, nullptr);
        EXPECT_EQ(ec->FanStopState(), ec->FanIndex() < 240) << "fan " << ec->FanIndex();
    }
}

// --- what building writes to FanStore.xml --------------------------------------------------------

TEST_F(ManagerTest, Z97StoresEcEnableAndDefaultWeightsForEveryFan) {
    Product("MARROWBACK Z97");
    Devices({0x04070060, 0x040700E0});
    // Each Super I/O fan reads the EC mode its setter stored under its own key; the CPU fan's
    // is not the chassis fan's. The EC fan always takes part.
    Store("<fan key=\"0\"><ecenable>1</ecenable></fan><fan key=\"2\"><ecenable>1</ecenable></fan>");
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    const auto& fans = manager->Fans();
    ASSERT_EQ(fans.size(), 4u);
    // Keys: fan 0 -> 0, fan 1 -> 1, fan 2 -> 2, EC fan 224 -> 6.
    const int modes[] = {1, 0, 1, 1};
    const int keys[] = {0, 1, 2, 6};
    for (size_t i = 0; i < fans.size(); ++i) {
        EXPECT_EQ(Stored(keys[i], "ecenable"), modes[i]) << "key " << keys[i];
        ASSERT_TRUE(HasElement(keys[i], "weights")) << "key " << keys[i];
        EXPECT_EQ(fans[i]->GetEcMode(), modes[i]) << "fan " << fans[i]->FanIndex();
        EXPECT_EQ(fans[i]->GetThermalWeights(), (std::vector<int>{100, 0})) << "fan " << fans[i]->FanIndex();
    }
}

TEST_F(ManagerTest, Z77SuperIoFansStoreEcModeZeroAndEcFansOne) {
    Product("MARROWBACK Z77");
    Devices({0x040700E0});
    Store("<fan key=\"0\"><ecenable>1</ecenable></fan><fan key=\"6\"><ecenable>0</ecenable></fan>");
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(manager->Fans().size(), 3u);
    EXPECT_EQ(Stored(0, "ecenable"), 0);
    EXPECT_EQ(Stored(1, "ecenable"), 0);
    EXPECT_EQ(Stored(6, "ecenable"), 1);
    EXPECT_EQ(manager->Fans()[2]->GetEcMode(), 1);
}

// Each fan takes its own stored EC mode and settings, as on every board.
TEST_F(ManagerTest, The990FXFansTakeTheirEcModeAndSettingsFromTheStore) {
    Product("MARROWBACK 990FX");
    Store(
        "<fan key=\"0\"><ecenable>1</ecenable></fan>"
        "<fan key=\"1\"><ecenable>0</ecenable><stepuptime>7</stepuptime><rpmmode>1</rpmmode></fan>");
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(manager->Fans().size(), 2u);
    QuilFanControl* chassis = manager->Fans()[1];
    EXPECT_EQ(manager->Fans()[0]->GetEcMode(), 1);
    EXPECT_EQ(chassis->GetEcMode(), 0);
    EXPECT_EQ(Stored(1, "ecenable"), 0);
    EXPECT_EQ(chassis->GetStepUpTime(), 7);
    EXPECT_TRUE(chassis->IsRpmMode());
    EXPECT_TRUE(HasElement(1, "weights"));  // the chassis fan's weights are of type 2
}

TEST_F(ManagerTest, GenericSuperIoFansStoreNoWeights) {
    Product("H81M-PLUS");
    Devices({0x04070010});
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(manager->Fans().size(), 1u);
    EXPECT_EQ(Stored(0, "ecenable"), 0);
    EXPECT_FALSE(HasElement(0, "weights"));
}

// --- the firmware's fan source table -------------------------------------------------------------

class SourceTableTest : public ManagerTest {
protected:
    void SetUp() override {
        ManagerTest::SetUp();
        Apply("item 0x040D001E desc \"SOURCES\" 0 0 0 1 2");
    }
    std::vector<uint32_t> Sent() const { return Words(sim::ItemBuffer(0x040D001E)); }
};

TEST_F(SourceTableTest, ThreeFansSendTheirSourcesAndZerosForTheRest) {
    Product("H81M-PLUS");
    Devices({0x04070010, 0x04070070, 0x04070060});
    Store(
        "<fan key=\"0\"><fansourceindex>3</fansourceindex></fan>"
        "<fan key=\"1\"><fansourceindex>5</fansourceindex></fan>"
        "<fan key=\"2\"><fansourceindex>7</fansourceindex></fan>");
    ASSERT_NE(EcFanControlManager::Instance(), nullptr);
    SyncBiosFanTable();
    std::vector<uint32_t> expected(32, 0);
    expected[0] = 3;
    expected[1] = 5;
    expected[2] = 7;
    EXPECT_EQ(Sent(), expected);
}

TEST_F(SourceTableTest, NoFansSendZeros) {
    Product("H81M-PLUS");
    SyncBiosFanTable();
    EXPECT_EQ(Sent(), std::vector<uint32_t>(32, 0));
}

TEST_F(SourceTableTest, FansBeyondTheTablesThirtyTwoWordsAreLeftOut) {
    // Two Super I/O fans and 36 EC fans, every one with a stored source index.
    Product("MARROWBACK Z87");
    std::string items;
    std::string store =
        "<fan key=\"0\"><fansourceindex>1</fansourceindex></fan>"
        "<fan key=\"1\"><fansourceindex>2</fansourceindex></fan>";
    char line[96];
    for (int i = 0; i < 36; ++i) {
        std::snprintf(line, sizeof line, "item 0x%08X desc \"EC\" 0 0 0 1 3\n", 0x040700E0 + 2 * i);
        items += line;
        store += "<fan key=\"" + std::to_string(6 + i) + "\"><fansourceindex>" + std::to_string(9 + i) +
                 "</fansourceindex></fan>";
    }
    Apply(items);
    Store(store);
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(manager->Fans().size(), 38u);
    SyncBiosFanTable();
    std::vector<uint32_t> expected{1, 2};
    for (int i = 0; i < 30; ++i) expected.push_back(9 + i);
    EXPECT_EQ(Sent(), expected);
}

TEST_F(ManagerTest, WithoutTheTableDeviceNothingIsSent) {
    Product("H81M-PLUS");
    Devices({0x04070010});
    const uint32_t from = sim::NextWriteSeq();
    SyncBiosFanTable();
    for (const sim::WriteRecord& w : sim::Writes(from)) EXPECT_NE(w.kind, sim::WriteKind::BufferSet);
}

// --- the board product ------------------------------------------------------------------------------

TEST_F(ManagerTest, ProductComesFromTheBaseBoardStructureInPhysicalMemory) {
    Product("MARROWBACK Z87 \xC4");  // a byte of the ANSI code page
    EXPECT_EQ(ReadSmbiosBoardProduct(), "MARROWBACK Z87 \xC4");
    wchar_t expected[64] = {};
    MultiByteToWideChar(CP_ACP, 0, "MARROWBACK Z87 \xC4", -1, expected, 64);
    EXPECT_EQ(GetBoardProductName(), expected);
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(ManagerTest, NoSmbiosTableGivesNoProductAndTheGenericSet) {
    Devices({0x04070070});
    EcFanControlManager* manager = EcFanControlManager::Instance();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(Describe(*manager), "PureSioFan 1 04070070");
    ASSERT_GE(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, L"Can not find SMBIOS Header");
}

TEST_F(ManagerTest, WithoutTheIoLibraryTheReaderSaysSoAndFindsNothing) {
    Product("MARROWBACK Z87");
    Apply("fault quilio");
    test::TraceCapture traces;
    EXPECT_EQ(GetBoardProductName(), L"");
    EXPECT_TRUE(traces.Contains(L"Failed LoadLibrary: quilio.dll"));
    // Each call tries the library again.
    test::TraceCapture again;
    EXPECT_EQ(ReadSmbiosBoardProduct(), "");
    EXPECT_TRUE(again.Contains(L"Failed LoadLibrary: quilio.dll"));
}

}  // namespace
