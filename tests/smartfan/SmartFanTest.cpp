// The SmartFan IV engine on simulated Winbond and Nuvoton chips: what the chip's banks hold and
// the order of the writes, through the facade the rest of the service uses.
#include <gtest/gtest.h>

#include "fancore/SioAccessor.h"
#include "fancore/SmartFanFourEngine.h"
#include "fancore/SmartFanFourEngines.h"
#include "support/BoardTest.h"
#include "support/ChipLog.h"

namespace {

using test::MonitorWrites;
using test::RegWrite;

class SmartFanTest : public test::BoardTest {
protected:
    void UseChip(uint16_t id, const std::string& more = "") {
        Apply("chip " + std::to_string(id) + " 0 winbond\n" + more);
        ASSERT_NE(SmartFanFourEngineFactory::GetEngine(), nullptr);
        from_ = sim::NextWriteSeq();
    }
    uint8_t Reg(int bank, int reg) const { return Board()->sio.hwm[bank][reg]; }
    std::vector<RegWrite> Written() const { return MonitorWrites(from_); }
    SmartFanFourFacade& facade = SmartFanFourFacade::Instance();
    uint32_t from_ = 0;
};

template <typename T>
bool Is(SmartFanFourEngineImp* e) {
    return dynamic_cast<T*>(e) != nullptr;
}

TEST_F(SmartFanTest, ChipIdChoosesTheClassByTheFirstMatchingMask) {
    UseChip(0xC560);
    EXPECT_TRUE(Is<NCT6779>(SmartFanFourEngineFactory::GetEngine()));
}

TEST_F(SmartFanTest, AnIdMatchingNoMaskGetsTheDefaultClass) {
    UseChip(0x1230);
    EXPECT_TRUE(Is<WinbondCpuFan667>(SmartFanFourEngineFactory::GetEngine()));
}

TEST_F(SmartFanTest, MasksAreTriedInOrder) {
    UseChip(0xF770);  // matches 0xB350 and 0xC560
    EXPECT_TRUE(Is<WinbondCpuFan667Dot18>(SmartFanFourEngineFactory::GetEngine()));
}

TEST_F(SmartFanTest, Nct6791ThreePointCurveInTheFansBankUnderTheLock) {
    UseChip(0xC800);
    const uint8_t bankBefore = Board()->sio.bank;
    ASSERT_TRUE(facade.WriteCurvePoints({{30, 60}, {50, 120}, {60, 200}}, 3));  // type 3: bank 8
    std::vector<RegWrite> want = {{8, 0x02, 0x40}, {8, 0x21, 30}, {8, 0x22, 50},  {8, 0x23, 60},
                                  {8, 0x24, 60},   {8, 0x27, 60}, {8, 0x28, 120}, {8, 0x29, 200},
                                  {8, 0x2A, 0xFF}, {8, 0x35, 75}};
    EXPECT_EQ(Written(), want) << test::Describe(Written());
    EXPECT_TRUE(test::AllWritesLocked(from_));
    EXPECT_EQ(Board()->sio.bank, bankBefore);
    // The monitor space is opened for the sequence and closed after it (configuration 0x28 bit 4).
    int configWrites = 0;
    for (const auto& r : sim::Writes(from_)) configWrites += r.kind == sim::WriteKind::Config && r.b == 0x28;
    EXPECT_EQ(configWrites, 2);
    EXPECT_EQ(Board()->sio.cfg[0][0x28] & 0x10, 0x10);

    facade.WriteCurvePoints({{30, 60}, {50, 120}, {90, 200}}, 3);
    EXPECT_EQ(Reg(8, 0x35), 90);
    facade.WriteCurvePoints({{30, 60}, {50, 120}, {150, 200}}, 3);
    EXPECT_EQ(Reg(8, 0x23), 100);
    EXPECT_EQ(Reg(8, 0x24), 100);
    EXPECT_EQ(Reg(8, 0x35), 100);
}

TEST_F(SmartFanTest, FourPointsAsTheyStandFivePointsAsThree) {
    UseChip(0xD120);
    facade.WriteCurvePoints({{20, 10}, {40, 20}, {60, 30}, {120, 40}}, 1);  // type 1: bank 1
    EXPECT_EQ(Reg(1, 0x24), 120);
    EXPECT_EQ(Reg(1, 0x2A), 40);
    EXPECT_EQ(Reg(1, 0x35), 75);
    facade.WriteCurvePoints({{20, 10}, {40, 20}, {60, 30}, {90, 40}}, 1);
    EXPECT_EQ(Reg(1, 0x35), 90);

    facade.WriteCurvePoints({{21, 11}, {41, 21}, {61, 31}, {81, 41}, {99, 51}}, 1);
    EXPECT_EQ(Reg(1, 0x23), 61);
    EXPECT_EQ(Reg(1, 0x24), 61);
    EXPECT_EQ(Reg(1, 0x29), 31);
    EXPECT_EQ(Reg(1, 0x2A), 0xFF);

    const uint32_t before = sim::NextWriteSeq();
    facade.WriteCurvePoints({{20, 10}, {40, 20}}, 1);  // too short: nothing written
    EXPECT_TRUE(MonitorWrites(before).empty());
}

TEST_F(SmartFanTest, FixedDutyIsAFlatCurveForTheGivenFan) {
    UseChip(0xC560);
    ASSERT_TRUE(facade.SetFanDuty(2, 40));  // type 2: bank 3
    for (int r : {0x21, 0x22, 0x23, 0x24}) EXPECT_EQ(Reg(3, r), 100) << r;
    for (int r : {0x27, 0x28, 0x29}) EXPECT_EQ(Reg(3, r), 102) << r;
    EXPECT_EQ(Reg(2, 0x27), 0);  // fan 0's bank untouched
    facade.SetFanDuty(2, 200);
    EXPECT_EQ(Reg(3, 0x27), 255);
    Apply("hwm 3 0x09 0x55");
    EXPECT_EQ(facade.ReadDutyForType(2), 0x55);
}

TEST_F(SmartFanTest, Nct6779HandsRegister29ToTheFirmwareWhenItHasTheItem) {
    Apply("item 0x11060020 desc \"SIO29\" 0 0 0 1 2");
    UseChip(0xC560);
    facade.WriteCurvePoints({{30, 60}, {50, 120}, {60, 200}}, 1);
    bool viaBios = false;
    for (const auto& r : sim::Writes(from_))
        if (r.kind == sim::WriteKind::ItemSet && r.a == 0x11060020) {
            EXPECT_EQ(r.b, 1u * 256 + 0x29);
            EXPECT_EQ(r.c, 200u);
            viaBios = true;
        }
    EXPECT_TRUE(viaBios);
    for (const RegWrite& w : Written()) EXPECT_NE(w.reg, 0x29);
}

TEST_F(SmartFanTest, StepTimesAndTheirGates) {
    UseChip(0xC560);
    Apply("hwm 2 0x20 1\nhwm 2 0x04 5");
    facade.SetStepUpTime(0, 0);
    EXPECT_EQ(Reg(2, 0x20), 1);  // step-down still set: the gate stays on
    Apply("hwm 2 0x04 0");
    facade.SetStepUpTime(0, 0);
    EXPECT_EQ(Reg(2, 0x20), 0);
    facade.SetStepUpTime(0, 7);
    EXPECT_EQ(Reg(2, 0x03), 7);
    EXPECT_EQ(Reg(2, 0x20), 1);
    int v = -1;
    EXPECT_TRUE(facade.GetStepUpTime(0, &v));
    EXPECT_EQ(v, 7);
    Apply("hwm 2 0x20 0");
    EXPECT_TRUE(facade.GetStepUpTime(0, &v));
    EXPECT_EQ(v, 0);  // gate off reads 0
    EXPECT_FALSE(facade.GetT1DelayTime(0, &v));
    EXPECT_FALSE(facade.SetStepUnit(0, 3));
}

TEST_F(SmartFanTest, Nct6791StepUpNeverDisables) {
    UseChip(0xC800);
    Apply("hwm 2 0x20 1");
    facade.SetStepUpTime(0, 0);
    EXPECT_EQ(Reg(2, 0x20), 1);
    facade.SetT1DelayTime(5, 9);  // type 5: bank 10
    EXPECT_EQ(Reg(10, 0x67), 9);
    EXPECT_EQ(Reg(10, 0x20), 1);
    facade.SetStepUnit(5, 4);
    EXPECT_EQ(Reg(10, 0x66), 4);
}

TEST_F(SmartFanTest, Nct6793dKeepsStepTimesDoubled) {
    UseChip(0xD120);
    facade.SetStepUpTime(0, 5);
    EXPECT_EQ(Reg(2, 0x03), 10);
    EXPECT_EQ(Reg(2, 0x20), 1);
    int v = 0;
    facade.GetStepUpTime(0, &v);
    EXPECT_EQ(v, 5);
    facade.SetStepDownTime(0, 3);
    EXPECT_EQ(Reg(2, 0x04), 6);
}

TEST_F(SmartFanTest, Nct6793dFanType4UsesBank10WithFiveFanDevices) {
    Apply(
        "item 0x04070000 desc \"F0\" 0 0 0 1 3\nitem 0x04070010 desc \"F1\" 0 0 0 1 3\n"
        "item 0x04070020 desc \"F2\" 0 0 0 1 3\nitem 0x04070030 desc \"F3\" 0 0 0 1 3\n"
        "item 0x04070040 desc \"F4\" 0 0 0 1 3");
    UseChip(0xD120);
    facade.SetFanDuty(4, 100);
    EXPECT_EQ(Reg(10, 0x27), 255);
    EXPECT_EQ(Reg(9, 0x27), 0);
}

TEST_F(SmartFanTest, Nct6793dFanType4UsesBank9Otherwise) {
    UseChip(0xD120);
    facade.SetFanDuty(4, 100);
    EXPECT_EQ(Reg(9, 0x27), 255);
}

TEST_F(SmartFanTest, TemperatureToleranceKeepsTheModeBits) {
    UseChip(0xC800);
    facade.SetTempTolerance(0, 12);
    EXPECT_EQ(Reg(2, 0x02), 0x48);
    facade.SetTempTolerance(0, 3);
    EXPECT_EQ(Reg(2, 0x02), 0x43);
    for (int v = 0; v <= 8; ++v) {
        facade.SetTempTolerance(1, v);
        int got = -1;
        EXPECT_TRUE(facade.GetTempTolerance(1, &got));
        EXPECT_EQ(got, v);
    }
}

TEST_F(SmartFanTest, RpmModeBitsAndTolerances) {
    UseChip(0xC560);
    Apply("hwm 6 0x00 0x02");
    bool on = false;
    EXPECT_TRUE(facade.IsRpmMode(0, &on));
    EXPECT_TRUE(on);
    EXPECT_TRUE(facade.IsRpmMode(1, &on));
    EXPECT_FALSE(on);
    facade.EnableRpmMode(3, 1);
    EXPECT_EQ(Reg(6, 0x00), 0x0A);
    facade.EnableRpmMode(0, 0);
    EXPECT_EQ(Reg(6, 0x00), 0x08);

    Apply("hwm 6 0x06 0x33");
    int v = 0;
    EXPECT_TRUE(facade.GetRpmTolerance(6, &v));
    EXPECT_EQ(v, 0x33);
    facade.SetRpmTolerance(0, 0x21);
    EXPECT_EQ(Reg(6, 0x02), 0x21);
}

TEST_F(SmartFanTest, Nct6791RpmToleranceOnlyForItsSixFans) {
    UseChip(0xC800);
    int v = 77;
    EXPECT_FALSE(facade.GetRpmTolerance(6, &v));
    EXPECT_EQ(v, 77);
    facade.SetRpmTolerance(5, 9);
    EXPECT_EQ(Reg(6, 0x23), 9);
}

TEST_F(SmartFanTest, Nct6791SwitchingToRpmModePreparesTheFansBank) {
    UseChip(0xC800);
    Apply("hwm 1 0x09 0x80\nhwm 1 0x02 0x45");
    facade.EnableRpmMode(1, 1);  // bank 1, bit 0
    std::vector<RegWrite> want = {{1, 0x09, 0x80}, {1, 0x02, 0x05}, {1, 0x09, 0x80}, {1, 0x66, 0x11},
                                  {1, 0x03, 0x0A}, {1, 0x04, 0x0A}, {1, 0x02, 0x45}, {6, 0x00, 0x01}};
    EXPECT_EQ(Written(), want) << test::Describe(Written());
    EXPECT_TRUE(test::AllWritesLocked(from_));
}

TEST_F(SmartFanTest, CurveReads) {
    UseChip(0xC560);
    Apply("hwm 3 0x21 10 20 30 40\nhwm 3 0x27 50 60 70 80");
    FanPoints want = {{10, 50}, {20, 60}, {30, 70}, {40, 80}};
    EXPECT_EQ(facade.ReadCurve(2), want);
}

TEST_F(SmartFanTest, Winbond6776HasNoCurveReadAndResetsBank0) {
    UseChip(0xC330);
    EXPECT_TRUE(facade.ReadCurve(1).empty());
    facade.WriteCurvePoints({{30, 60}, {50, 120}, {60, 200}}, 4);  // type 4: bank 8
    auto w = Written();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back(), (RegWrite{0, 0x5E, 0}));
    EXPECT_EQ(Reg(8, 0x29), 200);
}

TEST_F(SmartFanTest, Nct6106FanBlocksInBank1) {
    UseChip(0xC400);
    facade.WriteCurvePoints({{30, 60}, {50, 120}, {60, 200}}, 2);  // fan number 2
    EXPECT_EQ(Reg(1, 0x13 + 32), 0x40);
    EXPECT_EQ(Reg(1, 0x60 + 32), 30);
    EXPECT_EQ(Reg(1, 0x63 + 32), 60);
    EXPECT_EQ(Reg(1, 0x67 + 32), 0xFF);
    EXPECT_EQ(Reg(1, 0x1A + 32), 75);
    FanPoints want = {{30, 60}, {50, 120}, {60, 200}, {60, 255}};
    EXPECT_EQ(facade.ReadCurve(2), want);
    facade.SetRpmTolerance(1, 0x1F3);  // fan number 0
    EXPECT_EQ(Reg(1, 0x1F), 0x0F);
    Apply("hwm 0 0x4C 0x66");
    EXPECT_EQ(facade.ReadDutyForType(2), 0x66);
}

TEST_F(SmartFanTest, Winbond667WritesItsBlockTwice) {
    UseChip(0x1230);
    facade.WriteCurvePoints({{40, 50}, {60, 150}, {80, 250}}, 3);
    std::vector<uint8_t> first = {42, 52, 62, 72, 82, 83, 50, 100, 150, 200, 250, 255};
    std::vector<uint8_t> second = {40, 50, 60, 70, 80, 81, 50, 100, 150, 200, 250, 255};
    std::vector<RegWrite> want;
    for (auto* block : {&first, &second})
        for (int i = 0; i < 12; ++i) want.push_back({0, static_cast<uint8_t>(0x6F + i), (*block)[i]});
    EXPECT_EQ(Written(), want) << test::Describe(Written());
    EXPECT_TRUE(test::AllWritesLocked(from_));

    facade.WriteCurvePoints({{99, 50}, {255, 150}, {255, 250}}, 3);
    EXPECT_EQ(Reg(0, 0x6F), 99);
    EXPECT_EQ(Reg(0, 0x71), 100);
    int v = 0;
    EXPECT_FALSE(facade.GetStepUpTime(0, &v));
    EXPECT_TRUE(facade.ReadCurve(0).empty());
}

TEST_F(SmartFanTest, Winbond667RaisedTemperaturesWrapThenLimit) {
    UseChip(0x1230);
    facade.WriteCurvePoints({{99, 50}, {255, 150}, {30, 250}}, 0);
    auto w = Written();
    ASSERT_EQ(w.size(), 24u);
    EXPECT_EQ(w[0].value, 100);  // 99 + 2, limited
    EXPECT_EQ(w[2].value, 1);    // 255 + 2 wraps
    EXPECT_EQ(w[12].value, 99);
    EXPECT_EQ(w[14].value, 100);
}

TEST_F(SmartFanTest, Winbond667Dot18BanksAndTheNudgeRegister) {
    UseChip(0xB350);
    Apply("hwm 0 0x05 50\nhwm 0 0x06 10");
    facade.WriteCurvePoints({{40, 50}, {60, 150}, {80, 250}, {90, 255}}, 1);  // three points, type 0
    EXPECT_EQ(Reg(10, 0x51), 40);
    EXPECT_EQ(Reg(10, 0x5C), 0xFF);
    // Each of the two writes nudges register 6: 10 -> 50 -> 45.
    EXPECT_EQ(Reg(0, 0x06), 45);
    EXPECT_EQ(Reg(0, 0x05), 50);
    EXPECT_EQ(Reg(9, 0x51), 0);

    SmartFanFourEngineFactory::GetEngine()->WriteCurveForType(40, 50, 60, 150, 80, 250, 1);
    EXPECT_EQ(Reg(9, 0x51), 40);
    EXPECT_EQ(Reg(0, 0x05), 50);  // 50 -> 45 -> 50
}

// The firmware's keep-off item and the bank selects since `from`, in order: "item" for a reset
// of 0x11060004 to 0, "bank N" for a bank select; a "!" marks one made without the lock.
std::string ItemsAndBankSelects(uint32_t from) {
    std::string s;
    for (const sim::WriteRecord& r : sim::Writes(from)) {
        std::string event;
        if (r.kind == sim::WriteKind::ItemSet && r.a == 0x11060004 && r.b == 0)
            event = "item";
        else if (r.kind == sim::WriteKind::Monitor && r.b == 0x4E)
            event = "bank " + std::to_string(r.c);
        else
            continue;
        s += (s.empty() ? "" : ", ") + event + (r.locked ? "" : "!");
    }
    return s;
}

TEST_F(SmartFanTest, Winbond667Dot18TellsTheFirmwareToKeepOffBeforeEachSequence) {
    Apply("item 0x11060004 value 1 desc \"SIO FLAG\" 0 0 0 1 2");
    UseChip(0xB350);
    // A fixed duty is a flat curve: two sequences, each in bank 10 with the nudge in bank 0.
    facade.SetFanDuty(0, 50);
    EXPECT_EQ(ItemsAndBankSelects(from_), "item, bank 10, bank 0, bank 0, item, bank 10, bank 0, bank 0");
    EXPECT_TRUE(test::AllWritesLocked(from_));
    // The duty read and the manual duty.
    SmartFanFourEngineImp* engine = SmartFanFourEngineFactory::GetEngine();
    const uint32_t from = sim::NextWriteSeq();
    engine->ReadDuty();
    engine->WriteManualDuty(90);
    EXPECT_EQ(ItemsAndBankSelects(from), "item, bank 0, bank 0, item, bank 0, bank 0");
    EXPECT_EQ(Reg(0, 0x03), 90);
}

TEST_F(SmartFanTest, Winbond627Block) {
    UseChip(0xB070);
    facade.WriteCurvePoints({{40, 50}, {60, 150}, {180, 250}}, 2);
    std::vector<RegWrite> want = {{1, 0x58, 40},  {1, 0x59, 60},  {1, 0x5A, 100},  {1, 0x5B, 50},
                                  {1, 0x5C, 150}, {1, 0x5D, 250}, {1, 0x5E, 0x2E}, {1, 0x5E, 0x22}};
    EXPECT_EQ(Written(), want) << test::Describe(Written());
    EXPECT_TRUE(test::AllWritesLocked(from_));
}

}  // namespace
