// EC and BIOS fan-curve records as the firmware stand-in receives them.
#include <gtest/gtest.h>

#include "fancore/EcRecords.h"
#include "support/BoardTest.h"
#include "support/ChipLog.h"

namespace {

using test::Words;

std::vector<int32_t> Head(std::vector<int32_t> w, size_t n) {
    w.resize(n);
    return w;
}

class EcRecordsTest : public test::BoardTest {
    std::string BoardText() const override {
        return "buffer 0x04060020 00\nbuffer 0x04070022 00\nbuffer 0x04060021 00\n"
               // BIOS fan-curve devices of types 0 and 1, and their mode items.
               "item 0x040D001D desc \"CURVE0\" 0 0 0 1 2\nbuffer 0x040D001D 00\n"
               "item 0x040D007D desc \"CURVE1\" 0 0 0 1 2\nbuffer 0x040D007D 00\n"
               "item 0x04060018 value 1 desc \"MODE0\" 0 0 0 1 3\n"
               "item 0x04070078 value 2 desc \"MODE1\" 0 0 0 1 3\n";
    }
};

TEST_F(EcRecordsTest, WeightsAreScaledAndRotated) {
    WriteEcRecord(kEcWeightsDevice, BuildEcWeightsRecord(0 + 1, {10, 20, 30, 40}, true));
    auto w = Words(kEcWeightsDevice);
    ASSERT_EQ(w.size(), 48u);
    EXPECT_EQ(Head(w, 8), (std::vector<int32_t>{1, 76, 102, 25, 51, -1, 4, 0}));
    WriteEcRecord(kEcWeightsDevice, BuildEcWeightsRecord(0, {10, 20, 30, 40}, false));
    EXPECT_EQ(Head(Words(kEcWeightsDevice), 8), (std::vector<int32_t>{0, 25, 51, 76, 102, -1, 4, 0}));
}

TEST(EcRecordLayouts, ShortWeightListsAreNotRotated) {
    EXPECT_EQ(Head(BuildEcWeightsRecord(3, {}, true), 4), (std::vector<int32_t>{3, -1, 0, 0}));
    EXPECT_EQ(Head(BuildEcWeightsRecord(3, {100}, true), 4), (std::vector<int32_t>{3, 255, -1, 1}));
    EXPECT_EQ(Head(BuildEcWeightsRecord(3, {100, 50}, true), 5), (std::vector<int32_t>{3, 255, 127, -1, 2}));
}

TEST(EcRecordLayouts, ListsLongerThanTheRecordAreCut) {
    std::vector<int> many(60, 100);
    EcRecord w = BuildEcWeightsRecord(1, many, true);
    ASSERT_EQ(w.size(), 48u);
    EXPECT_EQ(w[46], -1);
    EXPECT_EQ(w[47], 45);
    EcRecord e = BuildEcEnableRecord(std::vector<int>(30, 1));
    ASSERT_EQ(e.size(), 24u);
    EXPECT_EQ(e[23], 1);
    EXPECT_EQ(Head(BuildEcEnableRecord({1, 0, 2, 1}), 5), (std::vector<int32_t>{1, 0, 0, 1, 0}));
}

TEST(EcRecordLayouts, SlopesAndSegments) {
    EXPECT_EQ(EcSlope({40, 50}, {40, 100}), 255);
    EXPECT_EQ(EcSlope({40, 50}, {30, 100}), 255);
    EXPECT_EQ(EcSlope({20, 76}, {70, 255}), 916);  // 179 / 50 * 256
    EXPECT_EQ(EcSlope({20, 200}, {60, 100}), -640);
    EXPECT_EQ(Head(BuildEcSegmentRecord(2, {{20, 76}, {70, 255}}), 7),
              (std::vector<int32_t>{2, 916, 76, 255, 20, 70, 0}));
    FanPoints four = {{20, 50}, {40, 100}, {60, 150}, {80, 255}};
    EXPECT_EQ(Head(BuildEcTwoSegmentRecord(224, four, 1), 12),
              (std::vector<int32_t>{225, 640, 100, 150, 40, 60, 640, 150, 255, 60, 80, 0}));
    EXPECT_EQ(Head(BuildEcPointListRecord(225, four), 9),
              (std::vector<int32_t>{225, 3, 50, 100, 150, 20, 40, 60, 0}));
    EXPECT_EQ(BuildEcPointListRecord(225, four).size(), 16u);
}

TEST_F(EcRecordsTest, BiosCurveOfThreePointsIsExtendedToFullSpeed) {
    WriteBiosFanCurve(1, {{30, 40}, {50, 90}, {70, 200}}, {{31, 41}, {51, 91}, {71, 201}, {81, 255}});
    EXPECT_EQ(sim::ItemBuffer(0x040D007D), (std::vector<uint8_t>{1, 0, 30, 50, 70, 70, 40, 90, 200, 255, 31,
                                                                 51, 71, 81, 41, 91, 201, 255}));
    WriteBiosFanMode(0, 1);
    EXPECT_EQ(sim::ItemBuffer(0x040D001D),
              (std::vector<uint8_t>{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(EcRecordsTest, NothingIsSentWhileTheFirmwareCurveIsNotInUse) {
    Apply("item 0x04070078 value 1");
    WriteBiosFanCurve(1, {{30, 40}, {50, 90}, {70, 200}}, {});
    EXPECT_EQ(sim::ItemBuffer(0x040D007D), (std::vector<uint8_t>{0}));
    EXPECT_FALSE(IsBiosFanCurveEnabled(1));
    EXPECT_FALSE(CanUseBiosFanCurve(1));
}

TEST_F(EcRecordsTest, PresenceAndUseOfTheCurveDevices) {
    EXPECT_FALSE(IsBiosFanCurveDevicePresent(0));  // type 0 is never asked this way
    EXPECT_TRUE(IsBiosFanCurveDevicePresent(1));
    EXPECT_FALSE(IsBiosFanCurveDevicePresent(2));
    EXPECT_TRUE(CanUseBiosFanCurve(0));
    EXPECT_TRUE(CanUseBiosFanCurve(1));
    EXPECT_TRUE(IsBiosFanCurveAvailable());
    EXPECT_FALSE(IsBiosFanCurveEnabled(9));
}

TEST_F(EcRecordsTest, FanType5UsesItsNewerModeItemWhenPresent) {
    Apply("item 0x04070038 value 2 desc \"M5OLD\" 0 0 0 1 3\nitem 0x040700D8 value 0 desc \"M5\" 0 0 0 1 3");
    EXPECT_FALSE(IsBiosFanCurveEnabled(5));
}

}  // namespace
