// Fan objects on the Super I/O chip: what profile selection leaves in the chip and in the
// firmware's record, and what the settings do to FanStore.xml.
#include <gtest/gtest.h>

#include "FanClassSupport.h"
#include "fancore/EcHelper.h"
#include "fancore/EcRecords.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "support/ChipLog.h"

namespace {

using test::Head;

constexpr uint32_t kChassisItem = 0x04070070;
constexpr uint32_t kChassisSubItem = kChassisItem + 0x10001;

TEST(FanCurveInterpolation, LinearBetweenPointsAndFullPastTheLast) {
    const FanPoints curve = {{20, 50}, {40, 100}};
    EXPECT_EQ(InterpolateDuty(curve, 30), 75);
    EXPECT_EQ(InterpolateDuty(curve, 21), 52);  // 52.5 truncated
    EXPECT_EQ(InterpolateDuty(curve, 20), 50);
    EXPECT_EQ(InterpolateDuty(curve, 5), 50);
    EXPECT_EQ(InterpolateDuty(curve, 40), 100);
    EXPECT_EQ(InterpolateDuty(curve, 41), 255);
    EXPECT_EQ(InterpolateDuty({}, 30), 255);
    // Of two points at one temperature, the first one's duty.
    EXPECT_EQ(InterpolateDuty({{20, 50}, {30, 60}, {30, 90}, {40, 100}}, 30), 60);
    EXPECT_EQ(InterpolateDuty({{20, 50}, {30, 60}, {30, 90}, {40, 100}}, 35), 95);
}

class SioFanTest : public test::FanClassTest {
protected:
    void SetUp() override {
        FanClassTest::SetUp();
        Item(kChassisItem, 0);
        Item(kChassisSubItem, 0);
    }
    std::vector<int> ChassisCurveRegisters() const {
        std::vector<int> r;
        for (int reg : {0x21, 0x22, 0x23, 0x24, 0x27, 0x28, 0x29, 0x2A}) r.push_back(Reg(1, reg));
        return r;
    }
    int ItemValue(uint32_t id) const { return sim::FindItem(id)->value; }
    // The values written to a fan's mode register (register 0 of its bank) since `from`.
    static std::vector<int> FanModeWrites(uint32_t from, uint8_t bank) {
        std::vector<int> values;
        for (const test::RegWrite& w : test::MonitorWrites(from))
            if (w.bank == bank && w.reg == 0x00) values.push_back(w.value);
        return values;
    }
};

TEST_F(SioFanTest, SelectionProgramsTheChipAndRecordsTheProfileInTheFirmware) {
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    ASSERT_EQ(fan.GetProfileCount(), 5);
    fan.SelectProfile(3);  // the third standard profile
    EXPECT_EQ(ChassisCurveRegisters(), (std::vector<int>{30, 60, 60, 60, 153, 204, 255, 255}));
    EXPECT_EQ(ItemValue(kChassisItem), 1);
    EXPECT_EQ(ItemValue(kChassisSubItem), 2);
    EXPECT_EQ(fan.GetCurrentProfileIndex(), 3);
    EXPECT_EQ(fan.GetFanCurve(), (FanPoints{{30, 153}, {60, 204}, {60, 255}}));
    EXPECT_EQ(fan.GetId(), kChassisItem);
    // A fan without the EC helper leaves the fan's mode register alone.
    const uint32_t from = sim::NextWriteSeq();
    fan.SelectProfile(2);
    fan.SelectProfileKeepBios(1);
    ASSERT_FALSE(test::MonitorWrites(from).empty());
    EXPECT_EQ(FanModeWrites(from, 1), std::vector<int>{});
}

TEST_F(SioFanTest, TheCurveReadFromTheChipReplacesTheFansCurve) {
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    fan.SelectProfile(3);
    Board()->sio.hwm[1][0x21] = 40;  // the chip's first temperature changed behind the fan's back
    FanPoints read;
    fan.ReadFanCurveFromChip(&read);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read[0].temperature, 40);
    EXPECT_EQ(fan.GetFanCurve(), read);
}

TEST_F(SioFanTest, SelectionKeepingTheFirmwareRecordSendsSourcesAndKeepsTheRpmTarget) {
    Device(kBiosMultiSourceDevice);
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    fan.GetMultiSource() = {3, 5};
    FanStore::Instance().SetRpmMode(2, 1);
    fan.LoadSettings();
    fan.SelectProfileKeepBios(1);
    EXPECT_EQ(ChassisCurveRegisters(), (std::vector<int>{30, 70, 70, 70, 153, 204, 255, 255}));
    EXPECT_EQ(ItemValue(kChassisItem), 0);
    EXPECT_EQ(ItemValue(kChassisSubItem), 0);
    EXPECT_EQ(test::Words(kBiosMultiSourceDevice), (std::vector<int32_t>{int32_t(kChassisItem), 3, 5, -1}));
    // The sources are sent, not saved; the target becomes the curve's first duty.
    EXPECT_EQ(LowerStoreFile().find("multisourceindex"), std::string::npos);
    EXPECT_EQ(FanStore::Instance().GetRpm(2), 153);
}

TEST_F(SioFanTest, AnEmptySourceListSendsTheIdAndTheEnd) {
    Device(kBiosMultiSourceDevice);
    SourceSensors(2);
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    fan.SetMultiSource({}, true);
    EXPECT_EQ(test::Words(kBiosMultiSourceDevice), (std::vector<int32_t>{int32_t(kChassisItem), -1}));
    fan.SetMultiSource({7}, true);
    EXPECT_EQ(FanStore::Instance().ReadMultiSource(2), (std::vector<int>{7}));
    EXPECT_TRUE(fan.GetMultiSource().empty());
}

TEST_F(SioFanTest, SettersStoreUnderTheFanKeyAndTheNotSavedOnesDoNot) {
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    fan.SetStepUpTime(4);
    fan.SetT1DelayTime(9);
    fan.SetStepDownTimeButNotSave(6);
    fan.SetStepUnitButNotSave(2);
    EXPECT_EQ(fan.GetStepUpTime(), 4);
    EXPECT_EQ(fan.GetT1DelayTime(), 9);
    EXPECT_EQ(fan.GetStepDownTime(), 6);
    EXPECT_EQ(fan.GetStepUnit(), 2);
    const std::string file = LowerStoreFile();
    EXPECT_NE(file.find("<fan key=\"1\">"), std::string::npos) << file;  // fan index 1: key 1
    EXPECT_NE(file.find("<stepuptime>4</stepuptime>"), std::string::npos) << file;
    EXPECT_NE(file.find("<t1delaytime>9</t1delaytime>"), std::string::npos) << file;
    EXPECT_EQ(file.find("stepdowntime"), std::string::npos) << file;
    EXPECT_EQ(file.find("stepunit"), std::string::npos) << file;
    fan.EnableManualMode(99, true);
    EXPECT_TRUE(fan.ManualMode());
    EXPECT_EQ(FanStore::Instance().GetManualMode(2), 1);
}

TEST_F(SioFanTest, LoadedSettingsAndTheSourceIndexWithoutTheSourceTable) {
    WriteStoreFile(
        "<fan key=\"1\"><stepuptime>3</stepuptime><stepdowntime>5</stepdowntime><tolerance>7</tolerance>"
        "<rpmmode>1</rpmmode><manualmode>2</manualmode><fansourceindex>4</fansourceindex></fan>"
        "<gpio34>1</gpio34>");
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    fan.LoadSettings();
    EXPECT_EQ(fan.GetStepUpTime(), 3);
    EXPECT_EQ(fan.GetStepDownTime(), 5);
    EXPECT_EQ(fan.GetRpmTolerance(), 7);
    EXPECT_TRUE(fan.IsRpmMode());
    EXPECT_TRUE(fan.ManualMode());
    EXPECT_EQ(fan.GetGpio34(), 1);
    // Without device 0x040D001E the firmware has no source table: no index, and none is kept.
    const uint32_t from = sim::NextWriteSeq();
    fan.SetFanSourceIndex(6);
    EXPECT_EQ(fan.GetFanSourceIndex(), 0);
    EXPECT_EQ(FanStore::Instance().GetFanSourceIndex(2), 4);
    EXPECT_TRUE(sim::Writes(from).empty());
}

TEST_F(SioFanTest, EcModeAndTheOperationsThatDoNothingOnThisFan) {
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    fan.SetEcMode(0);
    EXPECT_EQ(fan.GetEcMode(), 0);
    EXPECT_FALSE(FanStore::Instance().GetEcEnable(2));
    const std::string before = StoreFile();
    const uint32_t from = sim::NextWriteSeq();
    fan.Reserved29(5);
    fan.Reserved30(5);
    fan.SetEcFanStop(true);
    EXPECT_FALSE(fan.GetEcFanOff());
    EXPECT_TRUE(sim::Writes(from).empty());
    EXPECT_EQ(StoreFile(), before);
    EXPECT_FALSE(fan.UsesEcHelper());
}

TEST_F(SioFanTest, DisplayNameFromTheStoreReplacesTheFirmwareName) {
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    std::string firmware, shown;
    fan.GetName(&firmware);
    fan.GetDisplayName(&shown);
    EXPECT_EQ(shown, firmware);
    EXPECT_TRUE(fan.SetDisplayName("Pump"));
    fan.GetDisplayName(&shown);
    EXPECT_EQ(shown, "Pump");
    EXPECT_NE(LowerStoreFile().find("<fanname>pump</fanname>"), std::string::npos);
}

TEST_F(SioFanTest, ChassisFanHandsItsFirstSegmentToTheEcOnlyInEcMode) {
    Device(kEcCurveDevice);
    Device(kEcEnableDevice);
    EcHelper helper(nullptr);
    EcChassisFan990FX fan(&helper);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    uint32_t from = sim::NextWriteSeq();
    fan.SelectProfile(3);
    EXPECT_EQ(test::BufferWrites(from, kEcCurveDevice), 0u);
    EXPECT_EQ(test::BufferWrites(from, kEcEnableDevice), 1u);
    // After the profile the chip's fan mode follows the EC mode: 0x10 for mode 0 on this
    // Nuvoton chip (fan 1's mode register is register 0 of bank 1).
    ASSERT_EQ(FanModeWrites(from, 1), std::vector<int>{0x10});
    EXPECT_EQ(test::MonitorWrites(from).back(), (test::RegWrite{1, 0x00, 0x10}));
    fan.SetEcMode(1);
    from = sim::NextWriteSeq();
    fan.SelectProfile(3);
    // (30, 153) to (60, 204): 51 / 30 * 256 = 435.2.
    EXPECT_EQ(Head(kEcCurveDevice, 7), (std::vector<int32_t>{2, 435, 153, 204, 30, 60, 0}));
    EXPECT_EQ(test::Words(kEcCurveDevice).size(), 12u);
    EXPECT_EQ(FanModeWrites(from, 1), std::vector<int>{0x1F});
    // Keeping the firmware's record (the base selection) sets the mode as well, and no segment.
    from = sim::NextWriteSeq();
    fan.SelectProfileKeepBios(2);
    EXPECT_EQ(FanModeWrites(from, 1), std::vector<int>{0x1F});
    EXPECT_EQ(test::BufferWrites(from, kEcCurveDevice), 0u);
    EXPECT_EQ(test::BufferWrites(from, kEcEnableDevice), 1u);
}

TEST_F(SioFanTest, AuxiliaryFanSendsFanCodeThree) {
    Device(kEcCurveDevice);
    EcHelper helper(nullptr);
    EcAuxFanP67 fan(&helper);
    fan.SetFanIndex(2);
    ASSERT_TRUE(fan.Initialize());
    fan.SetEcMode(1);
    const uint32_t from = sim::NextWriteSeq();
    fan.SelectProfile(1);
    EXPECT_EQ(Head(kEcCurveDevice, 6), (std::vector<int32_t>{3, 326, 153, 204, 30, 70}));
    // Unlike the other fans with an EC helper, this one leaves the chip's fan mode (fan 2: bank 3).
    ASSERT_FALSE(test::MonitorWrites(from).empty());
    EXPECT_EQ(FanModeWrites(from, 3), std::vector<int>{});
}

TEST_F(SioFanTest, APositionOutsideTheListChangesNothing) {
    PureSioFan fan(nullptr, kChassisItem);
    fan.SetFanIndex(1);
    ASSERT_TRUE(fan.Initialize());
    fan.SelectProfile(2);
    const uint32_t from = sim::NextWriteSeq();
    fan.SelectProfile(5);
    fan.SelectProfile(-1);
    fan.SelectProfileKeepBios(7);
    EXPECT_TRUE(sim::Writes(from).empty());
    EXPECT_EQ(fan.GetFanCurve(), (FanPoints{{30, 153}, {75, 204}, {75, 255}}));
    EXPECT_FALSE(fan.SaveProfile(9));
}

TEST_F(SioFanTest, WeightsAreNotSupportedOutsideTheTwoProductLines) {
    Apply("product \"QX-Z97 marrowback\"");
    PureSioFan fan(nullptr, kChassisItem);
    EXPECT_FALSE(fan.IsWeightsSupported());
}

TEST_F(SioFanTest, PelicorBoardsSupportWeights) {
    Apply("product \"PELICOR Z97\"");
    PureSioFan fan(nullptr, kChassisItem);
    EXPECT_TRUE(fan.IsWeightsSupported());
}

}  // namespace

namespace {

class IteCpuFanTest : public test::FanClassTest {
protected:
    void SetUp() override {
        FanClassTest::SetUp();
        UseChip("0x8721 3 ite");
        Item(0x04070010, 1);
        Item(0x04080011, 3);  // the user profile is current
    }
};

TEST_F(IteCpuFanTest, DutyFollowsTheUserCurveWhileItIsCurrent) {
    EcHelper helper(nullptr);
    EcCpuFan990FX fan(&helper);
    ASSERT_TRUE(fan.Initialize());
    ASSERT_EQ(fan.GetCurrentProfileIndex() + 1, fan.GetProfileCount());
    FanPoints user;
    fan.GetProfile(fan.GetCurrentProfileIndex())->GetPoints(&user);
    ASSERT_GE(user.size(), 2u);
    ASSERT_LT(user[0].temperature, user[1].temperature);
    const uint8_t t = static_cast<uint8_t>((user[0].temperature + user[1].temperature) / 2);
    EXPECT_EQ(fan.GetDutyForTemperature(t), InterpolateDuty(user, t));
    EXPECT_EQ(fan.GetDutyForTemperature(255), 255);
    // With a standard profile current the chip is asked.
    sim::SetItemValue(0x04070010, 0);
    EXPECT_EQ(fan.GetDutyForTemperature(255), fan.GetCurrentDuty());
}

}  // namespace
