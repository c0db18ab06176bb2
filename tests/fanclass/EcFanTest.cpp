// Fans of the embedded controller: the records the EC devices receive and what the fans keep.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <type_traits>

#include "FanClassSupport.h"
#include "fancore/EcHelper.h"
#include "fancore/EcRecords.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"

namespace {

using test::Head;
using test::Words;

constexpr uint32_t kEcFanDevice = 0x040700E0;
constexpr int kStoreType = 100;  // fan index 224

class EcFanTest : public test::FanClassTest {
protected:
    void SetUp() override {
        FanClassTest::SetUp();
        Item(kEcFanDevice, 0);
        Item(kEcFanDevice + 0x10001, 0);
    }
    // The EC fans take their standard profiles from the Super I/O fan number 1, as on the
    // boards, where the chassis fan is built first.
    void InitializeChassisFan() {
        chassis_.SetFanIndex(1);
        ASSERT_TRUE(chassis_.Initialize());
    }
    FanStore& Store() { return FanStore::Instance(); }

    EcHelper helper_{nullptr};
    PureSioFan chassis_{nullptr, 0x04070070};
};

TEST_F(EcFanTest, ConstructionTakesWeightsSourcesAndTheEcFanStop) {
    Device(kEcFanStopDevice, {0, 1, 0, 0, 1});
    Device(kEcWeightsDevice);
    SourceSensors(4);
    Store().WriteWeights(kStoreType, {10, 20, 30, 40});
    Store().WriteMultiSource(kStoreType, {2});
    PureEcFan fan(&helper_, kEcFanDevice, 224);
    EXPECT_TRUE(fan.FanStopState());
    EXPECT_EQ(fan.GetThermalWeights(), (std::vector<int>{10, 20, 30, 40}));
    EXPECT_EQ(fan.GetMultiSource(), (std::vector<int>{2}));
    EXPECT_FALSE(PureEcFan(&helper_, kEcFanDevice + 2, 225).FanStopState());
    // The EC answers 16 bytes: a fan past the fourth word has no flag there.
    EXPECT_FALSE(PureEcFan(&helper_, kEcFanDevice + 6, 227).FanStopState());
    InitializeChassisFan();
    ASSERT_TRUE(fan.Initialize());
    EXPECT_EQ(fan.GetProfileCount(), 5);
    EXPECT_EQ(Head(kEcWeightsDevice, 8), (std::vector<int32_t>{225, 76, 102, 25, 51, -1, 4, 0}));
}

TEST_F(EcFanTest, DutyComesFromTheEcWhenItHasTheDevice) {
    Device(kEcDutyDevice, {0, 0x1A7, 0x33, 0});
    EXPECT_EQ(PureEcFan(&helper_, kEcFanDevice, 224).GetDutyForTemperature(10), 0xA7);
    EXPECT_EQ(NewPureEcFan(&helper_, kEcFanDevice, 225).GetDutyForTemperature(10), 0x33);
    EXPECT_EQ(PureEcFan(&helper_, kEcFanDevice, 228).GetDutyForTemperature(10), 255);
}

TEST_F(EcFanTest, AFailedDutyQueryIsFullSpeed) {
    Device(kEcDutyDevice, {0, 0x1A7, 0x33, 0});
    Apply("item 0x04060026 fail-get");
    EXPECT_EQ(PureEcFan(&helper_, kEcFanDevice, 224).GetDutyForTemperature(10), 255);
}

TEST_F(EcFanTest, WithoutTheDutyDeviceTheCurveIsInterpolatedAndTheFanStopStartsAtZero) {
    InitializeChassisFan();
    NewPureEcFan fan(&helper_, kEcFanDevice, 224);
    ASSERT_TRUE(fan.Initialize());
    fan.SelectProfile(1);
    ASSERT_EQ(fan.GetFanCurve(), (FanPoints{{30, 153}, {70, 204}, {70, 255}}));
    EXPECT_EQ(fan.GetDutyForTemperature(30), 153);
    EXPECT_EQ(fan.GetDutyForTemperature(50), 178);
    fan.SetFanStopState(true);
    EXPECT_EQ(fan.GetDutyForTemperature(30), 0);
    EXPECT_EQ(fan.GetDutyForTemperature(20), 0);
    EXPECT_EQ(fan.GetDutyForTemperature(50), 178);
    EXPECT_EQ(fan.GetDutyForTemperature(71), 255);
}

TEST_F(EcFanTest, AThreePointCurveSetsTheFanStopFromItsStart) {
    Device(kEcCurveDevice);
    Device(kEcFanStopDevice, {0, 0, 0, 0});
    PureEcFan fan(&helper_, kEcFanDevice, 224);
    fan.SendEcCurve({{30, 0}, {30, 100}, {60, 255}});
    EXPECT_TRUE(fan.FanStopState());
    EXPECT_TRUE(Store().GetEcFanOff(kStoreType));
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{1, 0, 0}));
    // Equal temperatures: slope 255; then (30, 100) to (60, 255).
    EXPECT_EQ(Head(kEcCurveDevice, 12),
              (std::vector<int32_t>{225, 255, 0, 100, 30, 30, 1322, 100, 255, 30, 60, 0}));
    fan.SendEcCurve({{30, 1}, {30, 100}, {60, 255}});
    EXPECT_FALSE(fan.FanStopState());
    EXPECT_FALSE(Store().GetEcFanOff(kStoreType));
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{0, 0, 0}));
}

TEST_F(EcFanTest, LongCurvesSendTheirLastThreePointsWithTheFirstSlopes) {
    Device(kEcCurveDevice);
    Device(kEcFanStopDevice, {0, 0, 0, 0});
    PureEcFan fan(&helper_, kEcFanDevice, 225);
    fan.SendEcCurve({{20, 50}, {40, 100}, {60, 150}, {70, 200}, {80, 255}});
    EXPECT_EQ(Head(kEcCurveDevice, 11),
              (std::vector<int32_t>{226, 640, 150, 200, 60, 70, 640, 200, 255, 70, 80}));
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{0, 0, 0}));
    // Four points on a board that is not a Z87 one: the first three, no fan-stop record.
    const uint32_t from = sim::NextWriteSeq();
    fan.SendEcCurve({{20, 50}, {40, 100}, {60, 150}, {80, 255}});
    EXPECT_EQ(Head(kEcCurveDevice, 11),
              (std::vector<int32_t>{226, 640, 50, 100, 20, 40, 640, 100, 150, 40, 60}));
    EXPECT_EQ(test::BufferWriteOrder(from), (std::vector<uint32_t>{kEcCurveDevice}));
}

TEST_F(EcFanTest, FourPointCurvesOnZ87BoardsResendTheStoredFanStop) {
    Apply("product \"MARROWBACK Z87\"");
    Device(kEcCurveDevice);
    Device(kEcFanStopDevice, {0, 0, 0, 0});
    Store().SetEcFanOff(kStoreType, 1);
    PureEcFan fan(&helper_, kEcFanDevice, 224);
    fan.SendEcCurve({{20, 50}, {40, 100}, {60, 150}, {80, 255}});
    EXPECT_TRUE(fan.FanStopState());
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{1, 0, 0}));
    EXPECT_EQ(Head(kEcCurveDevice, 3), (std::vector<int32_t>{225, 640, 50}));
}

TEST_F(EcFanTest, TheFanStopFollowsOnlyWritesTheEcAccepted) {
    Device(kEcFanStopDevice, {0, 0, 0, 0});
    Apply("item 0x04070025 fail-set");
    PureEcFan fan(&helper_, kEcFanDevice, 224);
    fan.SetEcFanStop(true);
    EXPECT_TRUE(Store().GetEcFanOff(kStoreType));
    EXPECT_FALSE(fan.FanStopState());
    NewPureEcFan newer(&helper_, kEcFanDevice + 2, 225);
    newer.SetEcFanStop(true);
    EXPECT_FALSE(newer.FanStopState());
}

TEST_F(EcFanTest, OnlyTheFirstThreeEcFansHaveAPlaceInTheOlderFanStopRecord) {
    Device(kEcFanStopDevice, {0, 1, 0, 0});
    PureEcFan third(&helper_, kEcFanDevice + 4, 226);
    third.WriteEcFanStop(true);
    // The answer's words 1-3 with this fan's flag in its place.
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{1, 0, 1}));
    EXPECT_TRUE(third.FanStopState());
    const uint32_t from = sim::NextWriteSeq();
    PureEcFan fourth(&helper_, kEcFanDevice + 6, 227);
    fourth.WriteEcFanStop(true);
    EXPECT_EQ(test::BufferWrites(from, kEcFanStopDevice), 0u);
    EXPECT_FALSE(fourth.FanStopState());
}

TEST_F(EcFanTest, SelectionSendsTheEnableListTheCurveAndTheUsersFanStop) {
    Device(kEcCurveDevice);
    Device(kEcEnableDevice);
    Device(kEcFanStopDevice, {0, 0, 0, 0});
    Store().WriteCurve(kStoreType, {{30, 0}, {30, 100}, {60, 255}}, false);
    InitializeChassisFan();
    PureEcFan fan(&helper_, kEcFanDevice, 224);
    ASSERT_TRUE(fan.Initialize());
    uint32_t from = sim::NextWriteSeq();
    fan.SelectProfile(4);
    EXPECT_EQ(test::BufferWrites(from, kEcEnableDevice), 1u);
    EXPECT_EQ(fan.GetFanCurve(), (FanPoints{{30, 0}, {30, 100}, {60, 255}}));
    EXPECT_TRUE(fan.FanStopState());
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{1, 0, 0}));
    EXPECT_EQ(Head(kEcCurveDevice, 3), (std::vector<int32_t>{225, 255, 0}));
    // A standard profile never stops the fan.
    fan.SelectProfile(1);
    EXPECT_FALSE(fan.FanStopState());
    EXPECT_EQ(Head(kEcCurveDevice, 6), (std::vector<int32_t>{225, 326, 153, 204, 30, 70}));
}

TEST_F(EcFanTest, NewerFansSendPointListsAndTheStoredFanStopWithTheUserProfile) {
    Device(kEcCurveDevice);
    Device(kEcEnableDevice);
    Device(kEcFanStopDevice, {0, 0, 0, 0});
    Store().SetEcFanOff(kStoreType, 1);
    InitializeChassisFan();
    NewPureEcFan fan(&helper_, kEcFanDevice, 224);
    ASSERT_TRUE(fan.Initialize());
    fan.SelectProfileKeepBios(4);
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{224, 1}));
    EXPECT_TRUE(fan.FanStopState());
    fan.SelectProfile(1);
    EXPECT_EQ(Words(kEcFanStopDevice), (std::vector<int32_t>{224, 0}));
    EXPECT_FALSE(fan.FanStopState());
    EXPECT_EQ(Words(kEcCurveDevice),
              (std::vector<int32_t>{224, 3, 153, 204, 255, 30, 70, 70, 0, 0, 0, 0, 0, 0, 0, 0}));
    // The EC's curve cannot be read back: a fixed answer, and the fan's curve stays.
    FanPoints read;
    fan.ReadFanCurveFromChip(&read);
    EXPECT_EQ(read, (FanPoints{{30, 153}, {70, 255}, {70, 255}, {70, 255}}));
    EXPECT_EQ(fan.GetFanCurve(), (FanPoints{{30, 153}, {70, 204}, {70, 255}}));
}

TEST_F(EcFanTest, ANewerFanSendsEveryRecordInTheNewerFormUnderItsFanIndex) {
    // Not an older EC fan: nothing that takes one can reach the newer EC with an older record.
    static_assert(!std::is_base_of_v<PureEcFan, NewPureEcFan>);
    // The newer record lengths; the older forms differ in length or in their first word (the
    // older fan number 2, the step-up time, the fan-stop flags, fan index + 1 in the segments).
    const std::map<uint32_t, uint32_t> bytes = {{kEcStepDevice, 8},    {kEcStepDownDevice, 8},
                                                {kEcRpmModeDevice, 8}, {kEcFanStopDevice, 8},
                                                {kEcRpmDevice, 12},    {kEcCurveDevice, kEcPointListBytes}};
    for (const auto& [device, size] : bytes) Device(device, {0, 0, 0, 0});
    Device(kEcEnableDevice);
    InitializeChassisFan();
    NewPureEcFan newer(&helper_, kEcFanDevice + 2, 225);
    QuilFanControl& fan = newer;
    ASSERT_TRUE(fan.Initialize());
    struct Step {
        const char* name;
        std::function<void()> run;
        uint32_t device;
    };
    const Step steps[] = {
        {"step-up time", [&] { fan.SetStepUpTime(7); }, kEcStepDevice},
        {"step-down time", [&] { fan.SetStepDownTime(3); }, kEcStepDownDevice},
        {"step-up time not saved", [&] { fan.SetStepUpTimeButNotSave(6); }, kEcStepDevice},
        {"step-down time not saved", [&] { fan.SetStepDownTimeButNotSave(2); }, kEcStepDownDevice},
        {"RPM tolerance", [&] { fan.SetRpmTolerance(4); }, kEcRpmDevice},
        {"RPM target", [&] { fan.SetRpmTarget(40); }, kEcRpmDevice},
        {"RPM mode", [&] { fan.EnableRpmMode(false); }, kEcRpmModeDevice},
        {"fan stop", [&] { fan.SetEcFanStop(true); }, kEcFanStopDevice},
        {"profile", [&] { fan.ApplyProfile(4); }, kEcCurveDevice},
        {"profile keeping the BIOS mode", [&] { fan.ApplyProfileKeepBios(1); }, kEcCurveDevice},
    };
    for (const Step& step : steps) {
        const uint32_t from = sim::NextWriteSeq();
        step.run();
        EXPECT_EQ(test::BufferWrites(from, step.device), 1u) << step.name;
        for (const sim::WriteRecord& w : sim::Writes(from)) {
            if (w.kind != sim::WriteKind::BufferSet || w.a == kEcEnableDevice) continue;
            ASSERT_TRUE(bytes.count(w.a)) << step.name << std::hex << ": device " << w.a;
            EXPECT_EQ(w.b, bytes.at(w.a)) << step.name << std::hex << ": device " << w.a;
            EXPECT_EQ(Words(w.a).at(0), 225) << step.name << std::hex << ": device " << w.a;
        }
    }
}

TEST_F(EcFanTest, OlderStepAndRpmRecords) {
    Device(kEcStepDevice);
    Device(kEcRpmDevice);
    Device(kEcRpmModeDevice);
    Store().SetStepDownTime(kStoreType + 1, 3);
    PureEcFan fan(&helper_, kEcFanDevice, 225);
    EXPECT_TRUE(fan.SetStepUpTime(7));
    EXPECT_EQ(Words(kEcStepDevice), (std::vector<int32_t>{7, 3, 0}));
    EXPECT_TRUE(fan.SetStepDownTimeButNotSave(2));
    EXPECT_EQ(Words(kEcStepDevice), (std::vector<int32_t>{7, 2, 0}));
    EXPECT_EQ(fan.GetStepDownTime(), 2);
    EXPECT_EQ(Store().GetStepDownTime(kStoreType + 1), 3);
    EXPECT_EQ(Store().GetStepUpTime(kStoreType + 1), 7);
    fan.SetRpmTolerance(4);
    EXPECT_EQ(Words(kEcRpmDevice), (std::vector<int32_t>{2, 0, 4}));
    fan.SetRpmTarget(40);
    EXPECT_EQ(Words(kEcRpmDevice), (std::vector<int32_t>{2, 40, 4}));
    EXPECT_EQ(fan.GetRpmTarget(), 40);
    EXPECT_EQ(fan.GetRpmTolerance(), 4);
    fan.EnableRpmMode(true);
    EXPECT_EQ(Words(kEcRpmModeDevice), (std::vector<int32_t>{2, 1}));
    EXPECT_TRUE(fan.IsRpmMode());
    EXPECT_TRUE(Store().GetRpmMode(kStoreType + 1));
}

TEST_F(EcFanTest, WithoutTheirDevicesTheEcSettersKeepEverything) {
    PureEcFan fan(&helper_, kEcFanDevice, 224);
    const uint32_t from = sim::NextWriteSeq();
    EXPECT_FALSE(fan.SetStepUpTime(7));
    EXPECT_FALSE(fan.SetRpmTarget(40));
    EXPECT_FALSE(fan.EnableRpmMode(true));
    EXPECT_EQ(fan.GetStepUpTime(), 0);
    EXPECT_FALSE(fan.IsRpmMode());
    EXPECT_EQ(Store().GetStepUpTime(kStoreType), 0);
    EXPECT_EQ(Store().GetRpm(kStoreType), 0);
    EXPECT_TRUE(sim::Writes(from).empty());
}

TEST_F(EcFanTest, NewerRpmModeSetsStepTimesAndTheTargetFromTheStoredCurve) {
    for (uint32_t d : {kEcStepDevice, kEcStepDownDevice, kEcRpmDevice, kEcRpmModeDevice}) Device(d);
    Store().WriteCurve(kStoreType, {{40, 100}, {60, 200}, {70, 255}}, false);
    Store().SetTolerance(kStoreType, 4);
    NewPureEcFan fan(&helper_, kEcFanDevice, 224);
    const uint32_t from = sim::NextWriteSeq();
    EXPECT_TRUE(fan.EnableRpmMode(true));
    EXPECT_EQ(test::BufferWriteOrder(from),
              (std::vector<uint32_t>{kEcStepDevice, kEcStepDownDevice, kEcRpmModeDevice, kEcRpmDevice}));
    EXPECT_EQ(Words(kEcStepDevice), (std::vector<int32_t>{224, 5}));
    EXPECT_EQ(Words(kEcStepDownDevice), (std::vector<int32_t>{224, 5}));
    EXPECT_EQ(Words(kEcRpmModeDevice), (std::vector<int32_t>{224, 1}));
    EXPECT_EQ(Words(kEcRpmDevice), (std::vector<int32_t>{224, 5000, 200}));  // in units of 50
    EXPECT_EQ(fan.GetStepUpTime(), 5);
    EXPECT_EQ(fan.GetRpmTarget(), 100);
    fan.SetStepDownTimeButNotSave(8);
    EXPECT_EQ(Words(kEcStepDownDevice), (std::vector<int32_t>{224, 8}));
    EXPECT_EQ(Store().GetStepDownTime(kStoreType), 5);
    // A hand-edited curve the user profile refuses leaves the client's target as it was; a stored
    // target no client could give is none, and the target follows the profile's own points.
    Store().WriteCurve(kStoreType, {{40, 300}, {60, 200}, {70, 255}}, false);
    EXPECT_TRUE(fan.EnableRpmMode(true));
    EXPECT_EQ(Words(kEcRpmDevice), (std::vector<int32_t>{224, 5000, 200}));
    EXPECT_EQ(fan.GetRpmTarget(), 100);
    InitializeChassisFan();
    ASSERT_TRUE(fan.Initialize());
    FanPoints own;
    fan.GetProfile(4)->GetPoints(&own);
    ASSERT_FALSE(own.empty());
    for (int edit : {99999, -5}) {
        Store().SetRpm(kStoreType, edit);
        EXPECT_EQ(fan.GetRpmTarget(), 0);
        EXPECT_TRUE(fan.EnableRpmModeButNotSave(true));
        EXPECT_EQ(Words(kEcRpmDevice), (std::vector<int32_t>{224, own[0].duty * 50, 200}));
        EXPECT_EQ(Store().GetRpm(kStoreType), 0);
        EXPECT_TRUE(fan.EnableRpmMode(true));
        EXPECT_EQ(fan.GetRpmTarget(), own[0].duty);
    }
}

TEST_F(EcFanTest, EcFansAlwaysTakePartInEcControl) {
    PureEcFan fan(&helper_, kEcFanDevice, 224);
    fan.SetEcMode(0);
    EXPECT_EQ(fan.GetEcMode(), 1);
    EXPECT_TRUE(Store().GetEcEnable(kStoreType));
    EXPECT_EQ(fan.StoreKey(), kStoreType);
    EXPECT_EQ(fan.GetEcFanNumber(), 224);
}

}  // namespace
