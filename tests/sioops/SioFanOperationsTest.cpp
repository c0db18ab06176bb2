// The accessor's chip-neutral fan operations: which chip family each reaches, and the gates.
#include <gtest/gtest.h>

#include "fancore/SioAccessor.h"
#include "support/BoardTest.h"
#include "support/ChipLog.h"

namespace {

class SioOperationsTest : public test::BoardTest {
protected:
    SioAccessor& UseChip(const std::string& chip) {
        Apply("chip " + chip);
        SioAccessor& a = SioAccessor::Instance();
        from_ = sim::NextWriteSeq();
        return a;
    }
    size_t Writes() const { return test::MonitorWrites(from_).size(); }
    uint32_t from_ = 0;
};

TEST_F(SioOperationsTest, Ite86x6GettersReportNothingWhileSettersReachTheEngine) {
    SioAccessor& a = UseChip("0x8626 2");
    ASSERT_TRUE(a.HasExtendedFanControl());
    bool on = false;
    EXPECT_TRUE(a.IsRpmMode(0, &on));
    EXPECT_FALSE(on);
    int v = 0;
    EXPECT_TRUE(a.GetStepUpTime(0, &v));
    EXPECT_TRUE(a.GetStepDownTime(0, &v));
    EXPECT_TRUE(a.GetTempTolerance(0, &v));
    EXPECT_TRUE(a.GetRpmTolerance(0, &v));
    EXPECT_EQ(v, 0);
    EXPECT_EQ(Writes(), 0u);

    EXPECT_TRUE(a.SetTempTolerance(0, 5));  // handled, nothing to write on ITE chips
    EXPECT_EQ(Writes(), 0u);
    EXPECT_FALSE(a.GetStepUnit(0, &v));

    EXPECT_TRUE(a.EnableRpmMode(0, true));
    EXPECT_GT(Writes(), 0u);
    EXPECT_TRUE(test::AllWritesLocked(from_));
}

TEST_F(SioOperationsTest, SmartFanDutyGoesToTheGivenFan) {
    SioAccessor& a = UseChip("0xC560 0");
    EXPECT_TRUE(a.SetFanDuty(2, 100));  // fan type 2: bank 3
    EXPECT_EQ(Board()->sio.hwm[3][0x27], 255);
    EXPECT_EQ(Board()->sio.hwm[2][0x27], 0);
    Apply("hwm 3 0x09 0x44");
    uint8_t duty = 0;
    EXPECT_TRUE(a.GetFanDuty(&duty, 2, 50));
    EXPECT_EQ(duty, 0x44);
    FanPoints curve;
    EXPECT_TRUE(a.GetFanCurve(&curve, 2));
    EXPECT_EQ(curve.size(), 4u);
}

TEST_F(SioOperationsTest, StepUnitOnlyOnTheNct679xClass) {
    SioAccessor& a = UseChip("0xC560 0");
    int v = 0;
    EXPECT_FALSE(a.GetStepUnit(0, &v));
    EXPECT_FALSE(a.SetStepUnit(0, 3));
    EXPECT_EQ(v, 0);
    EXPECT_EQ(Writes(), 0u);
    EXPECT_FALSE(a.IsSupportFanStop());
}

TEST_F(SioOperationsTest, Nct679xTuningValuesAndNegativeFans) {
    SioAccessor& a = UseChip("0xD120 0");
    EXPECT_TRUE(a.SetStepUnit(1, 3));
    EXPECT_EQ(Board()->sio.hwm[1][0x66], 3);
    EXPECT_FALSE(a.SetStepUnit(-1, 3));
    EXPECT_FALSE(a.SetStepUpTime(-1, 3));
    EXPECT_FALSE(a.SetT1DelayTime(-1, 3));
    EXPECT_TRUE(a.SetStepDownTime(-1, 3));  // no fan gate on the step-down time
    EXPECT_TRUE(a.IsSupportFanStop());
}

TEST_F(SioOperationsTest, OlderChipsHaveNoExtendedFanControl) {
    SioAccessor& a = UseChip("0xB350 0");
    bool on = true;
    int v = 9;
    EXPECT_FALSE(a.IsRpmMode(0, &on));
    EXPECT_FALSE(a.GetRpmTolerance(0, &v));
    EXPECT_FALSE(a.SetStepUpTime(0, 2));
    EXPECT_TRUE(on);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(SioOperationsTest, FintekChipsReachTheFintekEngine) {
    SioAccessor& a = UseChip("0x1118 0");
    Apply("hwm 0 0x2F 0x21");
    uint8_t duty = 0;
    EXPECT_TRUE(a.GetFanDuty(&duty, 0, 40));
    EXPECT_EQ(duty, 0x21);
    EXPECT_TRUE(a.SetFanDuty(0, 100));
    EXPECT_EQ(Board()->sio.hwm[0][0xAB], 255);
    FanPoints curve;
    EXPECT_TRUE(a.GetFanCurve(&curve, 0));
    EXPECT_EQ(curve, FanPoints(4, FanPoint{0, 0}));
    bool on = false;
    EXPECT_FALSE(a.IsRpmMode(0, &on));
}

}  // namespace
