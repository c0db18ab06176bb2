// The ITE engines of the IT8720, IT8721 and IT8623 on simulated chips: the registers each
// sequence writes, in order and under the Super I/O lock, and the duties and curves read back.
#include <cctype>
#include <typeinfo>

#include "IteTest.h"

namespace {

using test::RegWrite;

// --- engine choice ------------------------------------------------------------------------------

struct ChipCase {
    const char* chip;
    const std::type_info* engine;  // null: no engine
};

class IteFactoryTest : public test::IteTest, public ::testing::WithParamInterface<ChipCase> {};

TEST_P(IteFactoryTest, ChipIdAndRevisionChooseTheEngine) {
    Apply(std::string("chip ") + GetParam().chip);
    IteFanEngineImp* engine = IteEngineFactory::GetEngine();
    if (!GetParam().engine) {
        EXPECT_EQ(engine, nullptr);
        uint8_t duty = 9;
        EXPECT_FALSE(facade.ReadDuty(0, &duty, 40));
        EXPECT_EQ(duty, 9);
        EXPECT_FALSE(facade.WriteCurve(0, 30, 80, 8, 70, 0, 0, 0, 1));
        EXPECT_TRUE(test::MonitorWrites(0).empty());
        return;
    }
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(typeid(*engine), *GetParam().engine);
    EXPECT_EQ(IteEngineFactory::GetEngine(), engine);  // one engine per process
}

INSTANTIATE_TEST_SUITE_P(
    Chips, IteFactoryTest,
    ::testing::Values(
        ChipCase{"0x8720 0", &typeid(Ite8720EngineImp)}, ChipCase{"0x8721 0", &typeid(Ite8721EngineImp)},
        ChipCase{"0x8728 1", &typeid(Ite8721EngineImp)}, ChipCase{"0x8771 0", &typeid(Ite8721EngineImp)},
        ChipCase{"0x8623 1", &typeid(Ite8623EngineImp)}, ChipCase{"0x8603 2", &typeid(Ite8623EngineImp)},
        ChipCase{"0x8623 0", &typeid(Ite8721EngineImp)}, ChipCase{"0x8606 0", &typeid(Ite8626EngineImp)},
        ChipCase{"0x8655 2", &typeid(Ite8626EngineImp)}, ChipCase{"0x8665 0", &typeid(Ite8626EngineImp)},
        ChipCase{"0xC560 0 winbond", nullptr}, ChipCase{"0x1118 0 fintek", nullptr}),
    [](const ::testing::TestParamInfo<ChipCase>& info) {
        std::string name;
        for (const char* c = info.param.chip; *c; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        return name;
    });

// --- IT8720 -------------------------------------------------------------------------------------

class Ite8720Test : public test::IteTest {
protected:
    void SetUp() override {
        IteTest::SetUp();
        UseChip("0x8720 0", "hwm 0 0x13 0x09");
    }
};

TEST_F(Ite8720Test, CurveForFan1PutsTheFirstChannelToFullManualDuty) {
    ASSERT_TRUE(facade.WriteCurve(1, 30, 40, 0x10, 70, 50, 0x08, 1, 3));
    ExpectWritten({{0, 0x13, 0x0A},
                   {0, 0x68, 0x80},
                   {0, 0x69, 30},
                   {0, 0x6A, 70},
                   {0, 0x6B, 40},
                   {0, 0x6C, 0x90},  // the slope's bit 7 is inverted
                   {0, 0x6D, 0x60},
                   {0, 0x92, 0x20},
                   {0, 0x90, 50},
                   {0, 0x91, 0x08},
                   {0, 0x92, 0x20},
                   {0, 0x15, 0x7F},
                   {0, 0x16, 0x80}});
}

TEST_F(Ite8720Test, CurveForFan2WithoutSecondSegment) {
    ASSERT_TRUE(facade.WriteCurve(2, 30, 40, 0x10, 70, 50, 0, 0, 0));
    ExpectWritten({{0, 0x13, 0x0D},
                   {0, 0x70, 0x80},
                   {0, 0x71, 30},
                   {0, 0x72, 70},
                   {0, 0x73, 40},
                   {0, 0x74, 0x90},
                   {0, 0x75, 0x60},
                   {0, 0x94, 0xFF},
                   {0, 0x95, 0},
                   {0, 0x96, 0},
                   {0, 0x17, 0x80}});
    EXPECT_FALSE(facade.WriteCurve(3, 30, 40, 0x10, 70, 50, 0, 0, 0));
    EXPECT_EQ(Written().size(), 11u);
}

TEST_F(Ite8720Test, ManualDutyIsSevenBitOrAutomaticAbove100) {
    const struct {
        int fan, duty;
        uint8_t reg, value;
    } cases[] = {{0, 100, 0x15, 127}, {0, 50, 0x15, 63}, {1, 101, 0x16, 0x80}, {2, 0, 0x17, 0}};
    for (const auto& c : cases) {
        Mark();
        ASSERT_TRUE(facade.SetManualDuty(c.fan, c.duty));
        ASSERT_EQ(Written().size(), 2u) << c.duty;
        EXPECT_EQ(Written()[0].reg, 0x13);
        EXPECT_EQ(Written()[1], (RegWrite{0, c.reg, c.value})) << c.duty;
        EXPECT_TRUE(test::AllWritesLocked(from_));
    }
    EXPECT_EQ(Reg(0x13), 0x0E);  // fan 0 kept bit 3, fan 1 moved to bit 1, fan 2 added bit 2
}

TEST_F(Ite8720Test, DutyReadsBackAsWidenedSevenBitValues) {
    // start 30, PWM 20, 2 steps per degree, full at 80; second segment from 50, 1 step more.
    facade.WriteCurve(0, 30, 20, 0x10, 80, 50, 0x08, 0, 0);
    EXPECT_EQ(Duty(0, 20), 20 * 2 + 1);
    EXPECT_EQ(Duty(0, 40), (20 + 20) * 2 + 1);
    EXPECT_EQ(Duty(0, 60), (20 + 60 + 10) * 2 + 1);
    EXPECT_EQ(Duty(0, 75), 127 * 2 + 1);  // the 7-bit ceiling before the full temperature
    EXPECT_EQ(Duty(0, 81), 255);
    Apply("hwm 0 0x29 35");
    EXPECT_EQ(Duty(0, 0), (20 + 10) * 2 + 1);  // the chip's own temperature

    facade.SetManualDuty(0, 50);
    EXPECT_EQ(Duty(0, 40), 63 * 2 + 1);
    Apply("hwm 0 0x13 0x06");  // channel 0 off
    EXPECT_EQ(Duty(0, 40), 255);
}

TEST_F(Ite8720Test, NoSimpleCurveAndNoCurveRead) {
    EXPECT_FALSE(facade.WriteSimpleCurve(0, 30, 40, 0x10, 70, 0));
    EXPECT_EQ(Curve(0), FanPoints(4, FanPoint{0, 0}));
    int delay = 5;
    EXPECT_TRUE(facade.GetT1DelayTime(0, &delay));
    EXPECT_EQ(delay, 0);
    EXPECT_TRUE(Written().empty());
}

// --- IT8721 -------------------------------------------------------------------------------------

class Ite8721Test : public test::IteTest {
protected:
    void SetUp() override {
        IteTest::SetUp();
        UseChip("0x8721 0", "hwm 0 0x13 0x08\nhwm 0 0x15 0x80 0x80 0x80");
    }
};

TEST_F(Ite8721Test, CurveWithSecondSegmentPerFan) {
    ASSERT_TRUE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0x0A, 0, 1));
    ExpectWritten({{0, 0x13, 0x07},
                   {0, 0x60, 0x80},
                   {0, 0x61, 30},
                   {0, 0x62, 70},
                   {0, 0x63, 80},
                   {0, 0x64, 0x1C},
                   {0, 0x65, 0x40},
                   {0, 0x90, 50},
                   {0, 0x91, 0x0A},
                   {0, 0x92, 0x20},
                   {0, 0x15, 0x80}});

    // Fan 4 shares the third channel's block and sets no second-segment control; the flat
    // start puts the off temperature one below the start.
    Mark();
    ASSERT_TRUE(facade.WriteCurve(4, 30, 80, 0x1C, 70, 50, 0x0A, 1, 1));
    ExpectWritten({{0, 0x13, 0x07},
                   {0, 0x70, 29},
                   {0, 0x71, 30},
                   {0, 0x72, 70},
                   {0, 0x73, 80},
                   {0, 0x74, 0x1C},
                   {0, 0x75, 0x40},
                   {0, 0x90, 50},
                   {0, 0x91, 0x0A},
                   {0, 0x17, 0x80}});

    // Fan 5 has no second segment at all.
    Mark();
    ASSERT_TRUE(facade.WriteCurve(5, 30, 80, 0x1C, 70, 50, 0x0A, 0, 1));
    ExpectWritten({{0, 0x13, 0x07},
                   {0, 0x68, 0x80},
                   {0, 0x69, 30},
                   {0, 0x6A, 70},
                   {0, 0x6B, 80},
                   {0, 0x6C, 0x1C},
                   {0, 0x6D, 0x40},
                   {0, 0x16, 0x80}});
}

TEST_F(Ite8721Test, CurveWithoutSecondSegmentClearsIt) {
    ASSERT_TRUE(facade.WriteCurve(3, 30, 80, 0x1C, 70, 50, 0, 0, 1));
    const std::vector<RegWrite> w = Written();
    ASSERT_EQ(w.size(), 11u) << test::Describe(w);
    EXPECT_EQ(w[1], (RegWrite{0, 0x68, 0x80}));
    EXPECT_EQ(w[7], (RegWrite{0, 0x94, 0xFF}));
    EXPECT_EQ(w[8], (RegWrite{0, 0x95, 0}));
    EXPECT_EQ(w[9], (RegWrite{0, 0x96, 0}));
    EXPECT_EQ(w[10], (RegWrite{0, 0x16, 0x80}));
    EXPECT_FALSE(facade.WriteCurve(6, 30, 80, 0x1C, 70, 50, 0, 0, 1));
    EXPECT_EQ(Written().size(), 11u);
}

TEST_F(Ite8721Test, SimpleCurveLeavesTheSecondSegmentAndFan5sControl) {
    ASSERT_TRUE(facade.WriteSimpleCurve(4, 30, 80, 0x1C, 70, 1));
    ExpectWritten({{0, 0x13, 0x07},
                   {0, 0x70, 29},
                   {0, 0x71, 30},
                   {0, 0x72, 70},
                   {0, 0x73, 80},
                   {0, 0x74, 0x1C},
                   {0, 0x75, 0x40},
                   {0, 0x17, 0x80}});
    Mark();
    ASSERT_TRUE(facade.WriteSimpleCurve(5, 30, 80, 0x1C, 70, 0));
    const std::vector<RegWrite> w = Written();
    ASSERT_EQ(w.size(), 7u) << test::Describe(w);
    EXPECT_EQ(w[1], (RegWrite{0, 0x68, 0x80}));
    EXPECT_EQ(w[6], (RegWrite{0, 0x6D, 0x40}));
}

TEST_F(Ite8721Test, ManualDutyIsAFlatCurve) {
    ASSERT_TRUE(facade.SetManualDuty(2, 99));
    ExpectWritten({{0, 0x71, 0},
                   {0, 0x72, 0x7F},
                   {0, 0x73, 252},
                   {0, 0x74, 0},
                   {0, 0x94, 0xFF},
                   {0, 0x95, 0},
                   {0, 0x96, 0}});
    Mark();
    ASSERT_TRUE(facade.SetManualDuty(5, 100));
    ExpectWritten({{0, 0x69, 0}, {0, 0x6A, 0x7F}, {0, 0x6B, 255}, {0, 0x6C, 0}});
}

// The duties the chip's curve defines: 80 up to 30 degrees, then 3.5 steps per degree, from 50
// degrees 1.25 steps more, full speed above 70.
TEST_F(Ite8721Test, CurveWrittenThenReadBackAtSeveralTemperatures) {
    ASSERT_TRUE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0x0A, 0, 1));
    const struct {
        int temperature, duty;
    } expected[] = {{10, 80}, {30, 80}, {31, 83}, {41, 118}, {50, 150}, {55, 173}, {70, 245}, {71, 255}};
    for (const auto& e : expected) EXPECT_EQ(Duty(0, e.temperature), e.duty) << e.temperature;
    Apply("hwm 0 0x29 41");
    EXPECT_EQ(Duty(0, 0), 118);
    EXPECT_EQ(Written().size(), 11u);  // reads write nothing
}

TEST_F(Ite8721Test, DutyAtAndAboveTheCurveEnds) {
    facade.WriteCurve(0, 40, 90, 0x18, 60, 0, 0, 0, 1);
    EXPECT_EQ(Duty(0, 61), 255);
    EXPECT_EQ(Duty(0, 60), 90 + 60);
    EXPECT_EQ(Duty(0, 40), 90);
}

TEST_F(Ite8721Test, DutyOfDisabledAndManualChannels) {
    Apply("hwm 0 0x13 0x07");
    facade.SetManualDuty(0, 40);  // a flat curve: start PWM 102
    EXPECT_EQ(Duty(0, 50), 102);
    Apply("hwm 0 0x15 0x00\nhwm 0 0x64 77");  // channel 0 in manual mode
    EXPECT_EQ(Duty(0, 50), 77);
    Apply("hwm 0 0x13 0x06");
    EXPECT_EQ(Duty(0, 50), 255);
}

TEST_F(Ite8721Test, FansOneAndTwoReadTheChannelsTheyAreWiredTo) {
    facade.SetManualDuty(2, 40);  // block 0x70: 102
    facade.SetManualDuty(1, 60);  // block 0x68: 153
    Apply("hwm 0 0x13 0x07");
    EXPECT_EQ(Duty(1, 50), 102);
    EXPECT_EQ(Duty(2, 50), 153);
    EXPECT_EQ(Duty(3, 50), 0);  // no channel: the caller's value stays
    EXPECT_EQ(Duty(3, 50, 42), 42);
}

TEST_F(Ite8721Test, AlternateWiringSwapsTheChannels) {
    Apply("item 0x04060078 value 0x12");
    facade.SetManualDuty(2, 40);
    facade.SetManualDuty(1, 60);
    Apply("hwm 0 0x13 0x07");
    EXPECT_EQ(Duty(1, 50), 153);
    EXPECT_EQ(Duty(2, 50), 102);
}

TEST_F(Ite8721Test, Fan2ReadsItsChannelWithoutTheSecondSegment) {
    facade.WriteCurve(3, 30, 80, 0x10, 90, 50, 0x10, 0, 1);  // block 0x68, second segment 0x94
    EXPECT_EQ(Duty(2, 60), 80 + 60);
}

TEST_F(Ite8721Test, CurveReadFollowsTheSecondSegment) {
    facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0x0A, 0, 1);
    EXPECT_EQ(Curve(0), (FanPoints{{30, 80}, {50, 150}, {70, 175}, {70, 255}}));
    facade.WriteCurve(0, 30, 80, 0x1C, 70, 0, 0, 0, 1);
    EXPECT_EQ(Curve(0), (FanPoints{{30, 80}, {70, 220}, {70, 255}, {70, 255}}));
    // Fan 1 is the third channel with the second segment at 0x94.
    facade.WriteCurve(2, 20, 60, 0x10, 60, 40, 0x08, 0, 1);
    EXPECT_EQ(Curve(1), (FanPoints{{20, 60}, {40, 100}, {60, 120}, {60, 255}}));
}

TEST_F(Ite8721Test, CurveReadDutiesStayWithinTheDutyRange) {
    facade.WriteCurve(0, 20, 100, 0x7F, 100, 0, 0, 0, 1);  // 15.875 steps per degree over 80
    const FanPoints points = Curve(0);
    ASSERT_EQ(points.size(), 4u);
    for (const FanPoint& p : points) EXPECT_LE(p.duty, 255);
    EXPECT_EQ(points[1], (FanPoint{100, 255}));
}

TEST_F(Ite8721Test, Fan2CurveReadSetsTheSlopeToReachFullSpeed) {
    Apply("hwm 0 0x68 0x80 40 80 100 0x08 0x40");
    Mark();
    EXPECT_EQ(Curve(2), (FanPoints{{40, 100}, {75, 255}, {75, 255}, {80, 255}}));
    // (255 - 100) / (75 - 40) = 4.43 steps per degree: 4 and 4/8 rounded up.
    ExpectWritten({{0, 0x6C, 4 * 8 + 4}});
    Apply("hwm 0 0x69 75");
    EXPECT_EQ(Curve(2)[1], (FanPoint{75, 255}));
    EXPECT_EQ(Reg(0x6C), 0);  // no rise left
}

TEST_F(Ite8721Test, NoStartDelayOrRpmFeatures) {
    int delay = 7;
    EXPECT_TRUE(facade.GetT1DelayTime(1, &delay));
    EXPECT_EQ(delay, 0);
    EXPECT_TRUE(facade.SetT1DelayTime(1, 1));
    EXPECT_FALSE(facade.IsSupportFanStop());
    EXPECT_FALSE(facade.EnableRpmMode(0, true));
    EXPECT_FALSE(facade.SetStepTime(0, 3, true));
    EXPECT_TRUE(facade.SetRpmTolerance(0, 3));
    EXPECT_TRUE(sim::Writes(from_).empty());
}

// --- IT8623 -------------------------------------------------------------------------------------

class Ite8623Test : public test::IteTest {
protected:
    void SetUp() override {
        IteTest::SetUp();
        UseChip("0x8623 1", "hwm 0 0x13 0x08\nhwm 0 0x15 0x80 0x80 0x80");
    }
};

TEST_F(Ite8623Test, CurveRegistersFollowTheTypeNotTheFan) {
    ASSERT_TRUE(facade.WriteCurve(9, 30, 80, 0x1C, 70, 50, 0x0A, 1, 4));
    ExpectWritten({{0, 0x13, 0x07},
                   {0, 0x78, 29},
                   {0, 0x79, 30},
                   {0, 0x7A, 70},
                   {0, 0x7B, 80},
                   {0, 0x7C, 0x1C},
                   {0, 0x7D, 0x40},
                   {0, 0xB0, 50},
                   {0, 0xB1, 0x0A},
                   {0, 0xB2, 0x40},
                   {0, 0xB3, 0},
                   {0, 0x1E, 0x80}});
    Mark();
    ASSERT_TRUE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0, 0, 5));
    ExpectWritten({{0, 0x13, 0x07},
                   {0, 0xA0, 0x80},
                   {0, 0xA1, 30},
                   {0, 0xA2, 70},
                   {0, 0xA3, 80},
                   {0, 0xA4, 0x1C},
                   {0, 0xA5, 0x40},
                   {0, 0xAC, 0xFF},
                   {0, 0xAD, 0},
                   {0, 0xAE, 0},
                   {0, 0x1F, 0x80}});
    Mark();
    EXPECT_FALSE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0, 0, 6));
    EXPECT_FALSE(facade.WriteCurve(0, 30, 80, 0x1C, 70, 50, 0, 0, 0));
    EXPECT_TRUE(Written().empty());
}

TEST_F(Ite8623Test, SimpleCurveIsKeyedByTheFan) {
    ASSERT_TRUE(facade.WriteSimpleCurve(1, 30, 80, 0x1C, 70, 0));
    const std::vector<RegWrite> w = Written();
    ASSERT_EQ(w.size(), 8u) << test::Describe(w);
    EXPECT_EQ(w[1], (RegWrite{0, 0x68, 0x80}));
    EXPECT_EQ(w[7], (RegWrite{0, 0x16, 0x80}));
}

TEST_F(Ite8623Test, DutyOfFan2UsesItsTypesBlockAndSecondSegment) {
    facade.WriteCurve(0, 30, 80, 0x10, 90, 50, 0x10, 0, 3);  // block 0x70, second segment 0xB4
    EXPECT_EQ(Duty(2, 40), 80 + 20);
    EXPECT_EQ(Duty(2, 60), 80 + 60 + 20);
    Apply("hwm 0 0x15 0x00\nhwm 0 0x64 33");
    EXPECT_EQ(Duty(0, 60), 33);
    EXPECT_EQ(Duty(2, 60), 160);  // manual mode of the first channel only
}

TEST_F(Ite8623Test, ManualDutyAndCurveReadTouchNothing) {
    EXPECT_TRUE(facade.SetManualDuty(0, 50));
    EXPECT_EQ(Curve(1), FanPoints(4, FanPoint{0, 0}));
    EXPECT_TRUE(sim::Writes(from_).empty());
}

}  // namespace
