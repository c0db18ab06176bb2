// The Fintek engine on simulated Fintek chips.
#include <gtest/gtest.h>

#include "fancore/FintekFanEngine.h"
#include "support/BoardTest.h"
#include "support/ChipLog.h"

namespace {

using test::RegWrite;

class FintekTest : public test::BoardTest {
protected:
    void UseChip(uint16_t id) {
        Apply("chip " + std::to_string(id) + " 0 fintek\nhwm 0 0x96 0xFF");
        ASSERT_NE(GetFintekEngine(), nullptr);
        from_ = sim::NextWriteSeq();
    }
    uint8_t Reg(int reg) const { return Board()->sio.hwm[0][reg]; }
    FintekFanEngineFacade& facade = FintekFanEngineFacade::Instance();
    uint32_t from_ = 0;
};

TEST_F(FintekTest, AutomaticCurveForFan1) {
    UseChip(0x1007);
    ASSERT_TRUE(facade.WriteCurve(40, 30, 60, 60, 80, 90, 1, 1));
    std::vector<RegWrite> want = {{0, 0x96, 0xF7}, {0, 0xB6, 80},  {0, 0xB7, 60}, {0, 0xB8, 40},
                                  {0, 0xB9, 0},    {0, 0xBA, 255}, {0, 0xBB, 90}, {0, 0xBC, 60},
                                  {0, 0xBD, 30},   {0, 0xBE, 30}};
    EXPECT_EQ(test::MonitorWrites(from_), want) << test::Describe(test::MonitorWrites(from_));
    EXPECT_TRUE(test::AllWritesLocked(from_));
}

TEST_F(FintekTest, Fan2ClearsTheUpperThreeModeBits) {
    UseChip(0x1007);
    facade.WriteCurve(40, 30, 60, 60, 80, 90, 2, 0);  // automatic ignored on the 1007
    EXPECT_EQ(Reg(0x96), 0x1F);
    EXPECT_EQ(Reg(0xC6), 80);
    EXPECT_EQ(Reg(0xCE), 30);
}

TEST_F(FintekTest, FixedDutyAsAFlatCurve) {
    UseChip(0x1118);
    facade.SetFanDuty(0, 50);
    for (int r : {0xA6, 0xA7, 0xA8}) EXPECT_EQ(Reg(r), 100);
    EXPECT_EQ(Reg(0xA9), 0);
    EXPECT_EQ(Reg(0xAA), 255);
    for (int r : {0xAB, 0xAC, 0xAD, 0xAE}) EXPECT_EQ(Reg(r), 127);
    facade.SetFanDuty(0, 150);
    EXPECT_EQ(Reg(0xAB), 255);
}

TEST_F(FintekTest, Fintek1118FixedModeWritesOnlyTheModeAndTheDuty) {
    UseChip(0x1118);
    Apply("hwm 0 0x96 0x00");
    from_ = sim::NextWriteSeq();
    facade.WriteCurve(40, 30, 60, 60, 80, 200, 2, 0);
    std::vector<RegWrite> want = {{0, 0x96, 0x30}, {0, 0xC3, 200}};
    EXPECT_EQ(test::MonitorWrites(from_), want) << test::Describe(test::MonitorWrites(from_));
}

TEST_F(FintekTest, DutyReadRegisters) {
    UseChip(0x1007);
    Apply("hwm 0 0x2D 11\nhwm 0 0x2E 22\nhwm 0 0x2F 33");
    EXPECT_EQ(facade.ReadDuty(0), 11);
    EXPECT_EQ(facade.ReadDuty(1), 22);
    EXPECT_EQ(facade.ReadCurve(0), FanPoints(4, FanPoint{0, 0}));
}

TEST_F(FintekTest, DutyReadRegisters1118) {
    UseChip(0x1117);
    Apply("hwm 0 0x2D 11\nhwm 0 0x2E 22\nhwm 0 0x2F 33");
    EXPECT_EQ(facade.ReadDuty(0), 33);
    EXPECT_EQ(facade.ReadDuty(1), 22);
    EXPECT_EQ(facade.ReadDuty(2), 11);
}

TEST_F(FintekTest, NoEngineOnOtherChips) {
    Apply("chip 0xC560 0");
    EXPECT_EQ(GetFintekEngine(), nullptr);
    EXPECT_FALSE(facade.SetFanDuty(0, 50));
}

TEST(Cpuid, VendorTestIsTakenOnce) {
    static int calls = 0;
    g_cpuidSource = [](uint32_t, uint32_t r[4]) {
        ++calls;
        r[0] = 0x16, r[1] = 0x756E6547, r[2] = 0x6C65746E, r[3] = 0x49656E69;
    };
    EXPECT_TRUE(IsGenuineIntelCpu());
    g_cpuidSource = [](uint32_t, uint32_t r[4]) { r[0] = r[1] = r[2] = r[3] = 0; };
    EXPECT_TRUE(IsGenuineIntelCpu());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ReadCpuid(0, nullptr), 0);
}

}  // namespace
