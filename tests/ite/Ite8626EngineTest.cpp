// The IT86x6 engine on simulated chips: curves across banks 0 and 2, duty and curve reads, the
// start delay, RPM mode, step time and tolerance.
#include "IteTest.h"

namespace {

using test::RegWrite;

class Ite8626Test : public test::IteTest {
protected:
    void SetUp() override {
        IteTest::SetUp();
        // Revision 2: the port variant, so that every write shows in the log.
        UseChip("0x8665 2",
                "hwm 0 0x15 0x08 0x00 0x00\nhwm 0 0x1E 0x00 0x00\nhwm 0 0x92 0x00\n"
                "hwm 0 0x60 0x80 0 0 0 0x80\nhwm 0 0x68 0x80 35\nhwm 2 0x10 0xFF");
    }
    Ite8626EngineImp& Engine() { return *static_cast<Ite8626EngineImp*>(IteEngineFactory::GetEngine()); }
};

TEST_F(Ite8626Test, CurveOfType1SpansBothBanksAndLeavesBank2Selected) {
    ASSERT_TRUE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0x0A, 1, 1));
    ExpectWritten({{0, 0x15, 0x88},
                   {0, 0x60, 0x80},
                   {0, 0x61, 30},
                   {0, 0x62, 70},
                   {0, 0x63, 80},
                   {0, 0x64, 0x9C},  // step-time bit kept
                   {0, 0x65, 0x40},
                   {2, 0x11, 0},
                   {2, 0x10, 50},
                   {2, 0x11, 0x8A},
                   {2, 0x13, 0},
                   {2, 0x15, 0},
                   {2, 0x19, 0}});
    EXPECT_EQ(Board()->sio.bank, 2);
}

TEST_F(Ite8626Test, FansFiveAndSixHaveTheirOwnBlocks) {
    ASSERT_TRUE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 0, 0, 0, 6));
    ExpectWritten({{0, 0x1F, 0x80},
                   {0, 0xA1, 30},
                   {0, 0xA2, 70},
                   {0, 0xA3, 80},
                   {0, 0xA4, 0x1C},
                   {0, 0xA5, 0x40},
                   {2, 0x61, 0},
                   {2, 0x65, 0},
                   {2, 0x69, 0}});
    Mark();
    ASSERT_TRUE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 0, 0, 0, 5));
    const std::vector<RegWrite> w = Written();
    ASSERT_EQ(w.size(), 9u) << test::Describe(w);
    EXPECT_EQ(w[0], (RegWrite{0, 0x92, 0x80}));
    EXPECT_EQ(w[1], (RegWrite{0, 0xA9, 30}));
    EXPECT_EQ(w[6], (RegWrite{2, 0x51, 0}));
    Mark();
    EXPECT_FALSE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 0, 0, 0, 7));
    EXPECT_FALSE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 0, 0, 0, 0));
    EXPECT_TRUE(sim::Writes(from_).empty());
}

TEST_F(Ite8626Test, DutyOfManualFansIsTheirManualRegister) {
    Apply("hwm 0 0x15 0x00\nhwm 0 0x67 40\nhwm 0 0x92 0x00\nhwm 0 0xAF 50\nhwm 0 0x1F 0x00\nhwm 0 0xA7 60");
    EXPECT_EQ(Duty(0, 30), 40);
    EXPECT_EQ(Duty(4, 30), 50);
    EXPECT_EQ(Duty(5, 30), 60);
    EXPECT_EQ(Duty(6, 30, 7), 7);
}

TEST_F(Ite8626Test, DutyFollowsTheCurveAtTheFansTemperatureInput) {
    facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0x0A, 0, 1);  // control 0x88: input 1, register 0x2A
    Apply("hwm 0 0x2A 55\nhwm 0 0x2B 20");
    EXPECT_EQ(Duty(0, 99), 80 + 87 + 6);  // the argument is not used
    Apply("hwm 0 0x2A 25");
    EXPECT_EQ(Duty(0, 0), 80);
    Apply("hwm 0 0x2A 71");
    EXPECT_EQ(Duty(0, 0), 255);
    Apply("hwm 0 0x15 0x80\nhwm 0 0x2B 40");  // another input: register 0x2B
    EXPECT_EQ(Duty(0, 0), 80 + 35);
    // A second-segment slope of 0x7F stands for the manual PWM of bank 0.
    Apply("hwm 0 0x2B 60\nhwm 2 0x11 0xFF\nhwm 0 0x67 99\nhwm 2 0x67 11");
    EXPECT_EQ(Duty(0, 0), 99);
}

TEST_F(Ite8626Test, StartDelayStopsTheFanBelowItsStartTemperature) {
    int delay = -1;
    ASSERT_TRUE(facade.SetT1DelayTime(1, 1));
    ExpectWritten({{0, 0x68, 35}});  // off temperature := start temperature
    EXPECT_TRUE(facade.GetT1DelayTime(1, &delay));
    EXPECT_EQ(delay, 32);
    EXPECT_TRUE(facade.GetT1DelayTime(0, &delay));
    EXPECT_EQ(delay, 0);

    Mark();
    facade.WriteCurve(1, 40, 90, 0x10, 70, 0, 0, 0, 2);
    const std::vector<RegWrite> w = Written();
    ASSERT_GE(w.size(), 5u);
    EXPECT_EQ(w[4], (RegWrite{0, 0x68, 40})) << test::Describe(w);
    facade.WriteCurve(0, 40, 90, 0x10, 70, 0, 0, 0, 1);
    Apply("hwm 0 0x16 0x80\nhwm 0 0x2B 30");
    EXPECT_EQ(Duty(1, 0), 0);
    EXPECT_EQ(Duty(0, 0), 90);  // the first fan never stops

    // Fan 0 cannot take the delay: the flag goes off for every fan.
    Mark();
    ASSERT_TRUE(facade.SetT1DelayTime(0, 1));
    ExpectWritten({{0, 0x60, 0x80}});
    EXPECT_FALSE(Engine().T1DelayFlag());
    EXPECT_EQ(Duty(1, 0), 90);
}

TEST_F(Ite8626Test, CurveReadInManualMode) {
    Apply("hwm 0 0x15 0x00");
    EXPECT_EQ(Curve(0), (FanPoints{{45, 255}, {60, 255}, {75, 255}, {75, 255}}));
}

TEST_F(Ite8626Test, CurveReadWithAndWithoutSecondSegment) {
    facade.WriteCurve(0, 30, 80, 0x1C, 70, 0, 0, 0, 1);
    EXPECT_EQ(Curve(0), (FanPoints{{30, 80}, {70, 220}, {70, 255}, {75, 255}}));
    facade.WriteCurve(0, 30, 80, 0x10, 70, 50, 0x18, 0, 1);
    EXPECT_EQ(Curve(0), (FanPoints{{30, 80}, {50, 120}, {70, 180}, {75, 255}}));
    // A second segment flatter than the first: the chip keeps the first one to full speed.
    facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0x0A, 0, 1);
    EXPECT_EQ(Curve(0), (FanPoints{{30, 80}, {0, 255}, {70, 255}, {75, 255}}));
}

TEST_F(Ite8626Test, CurveReadDutiesStayWithinTheDutyRange) {
    facade.WriteCurve(0, 30, 80, 0x08, 90, 40, 0x7E, 0, 1);
    EXPECT_EQ(Curve(0), (FanPoints{{30, 80}, {40, 90}, {75, 255}, {75, 255}}));
}

TEST_F(Ite8626Test, RpmModeOnAndOff) {
    ASSERT_TRUE(facade.EnableRpmMode(0, true));
    ExpectWritten({{0, 0x15, 0x8C}, {0, 0x64, 0x80}});
    EXPECT_TRUE(Engine().IsRpmMode(1));
    Mark();
    ASSERT_TRUE(facade.EnableRpmMode(0, false));
    ExpectWritten({{0, 0x15, 0x88}});
    EXPECT_FALSE(Engine().IsRpmMode(1));
    EXPECT_FALSE(facade.EnableRpmMode(6, true));
}

TEST_F(Ite8626Test, StepTimeOnlyUpwards) {
    Apply("hwm 0 0x74 0x11\nhwm 2 0x5F 0xC3");
    ASSERT_TRUE(facade.SetStepTime(2, 5, true));
    ExpectWritten({{0, 0x74, 0x91}, {2, 0x5F, 0xC5}});
    Mark();
    EXPECT_FALSE(facade.SetStepTime(2, 5, false));
    EXPECT_TRUE(sim::Writes(from_).empty());
}

TEST_F(Ite8626Test, RpmToleranceSetsTheLowFourBits) {
    Apply("hwm 0 0xA6 0x30");
    ASSERT_TRUE(facade.SetRpmTolerance(5, 2));
    ExpectWritten({{0, 0xA6, 0x3F}});
    int tolerance = 0;
    EXPECT_TRUE(Engine().GetRpmTolerance(6, &tolerance));
    EXPECT_EQ(tolerance, 15);
    EXPECT_FALSE(facade.SetRpmTolerance(6, 2));
}

TEST_F(Ite8626Test, ManualDutyAndSimpleCurveWriteNothing) {
    EXPECT_TRUE(facade.IsSupportFanStop());
    EXPECT_TRUE(facade.SetManualDuty(0, 50));
    EXPECT_TRUE(facade.WriteSimpleCurve(0, 30, 80, 0x1C, 70, 0));
    EXPECT_TRUE(Written().empty());
}

// Revision 3 reaches the registers through the memory window; banks are views of it.
class Ite8626WindowTest : public test::IteTest {};

TEST_F(Ite8626WindowTest, CurveAndReadsThroughTheMemoryWindow) {
    UseChip("0x8626 3",
            "ite-window 0xFE000000\nitem 0x040600FB value 0xFE000000 desc \"WINDOW\" 0 0 0 1 3\n"
            "hwm 0 0x16 0x08\nhwm 0 0x2A 60");
    ASSERT_TRUE(facade.WriteCurve(1, 30, 80, 0x10, 70, 50, 0x08, 0, 2));
    EXPECT_EQ(Reg(0x16), 0x88);
    EXPECT_EQ(Reg(0x69), 30);
    EXPECT_EQ(Reg(0x6C), 0x10);
    EXPECT_EQ(Reg(0x20, 2), 50);
    EXPECT_EQ(Reg(0x21, 2), 0x88);
    EXPECT_EQ(Duty(1, 0), 80 + 60 + 10);
    EXPECT_EQ(Curve(1), (FanPoints{{30, 80}, {0, 255}, {70, 255}, {75, 255}}));
}

}  // namespace
