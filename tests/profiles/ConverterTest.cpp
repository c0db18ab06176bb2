// The ITE data converters and the factories' own readings of a register image.
#include <gtest/gtest.h>

#include "fancore/IteDataConverter.h"
#include "fancore/ProfileFactory.h"

namespace {

IteRegisterImage ToRegisters(const IteDataConverter& c, const FanPoints& points) {
    IteRegisterImage r;
    c.PointsToRegisters(points, &r);
    return r;
}

// Registers to points: the first point is the caller's.
FanPoints ToPoints(const IteDataConverter& c, const IteRegisterImage& r, FanPoint first) {
    FanPoints p = {first, {}, {}};
    c.RegistersToPoints(r, &p);
    return p;
}

const Ite8720DataConverter k8720;
const Ite8721DataConverter k8721;
const Ite8626DataConverter k8626;

TEST(IteSlope, FactorySlopeTakesTheWholePartAndRoundsTheEighthsUp) {
    Ite8721FanProfileFactory f(0, 0, 0, 0);
    EXPECT_EQ(f.Slope(20, 76, 70, 255), 29);  // 3.58: 3 x 8 + ceil(4.64)
    EXPECT_EQ(f.Slope(10, 76, 70, 255), 24);  // 2.983: 16 + ceil(7.87)
    EXPECT_EQ(f.Slope(20, 50, 40, 100), 20);  // exactly 2.5
    EXPECT_EQ(f.Slope(30, 50, 30, 200), 0);   // equal temperatures
    // Beyond the register's range the factories keep the whole part; only the 8626 caps the
    // fraction.
    EXPECT_EQ(f.Slope(0, 0, 10, 255), 204);  // 25.5: 200 + 4
    Ite8626FanProfileFactory f8626(0, 0, 0, 0);
    EXPECT_EQ(f8626.Slope(0, 0, 10, 255), 207);  // 200 + ceil(0.875 x 8)
    EXPECT_EQ(f8626.Slope(20, 76, 70, 255), 29);
}

TEST(IteSlope, FallingSegmentsAreFlat) {
    Ite8721FanProfileFactory f(0, 0, 0, 0);
    EXPECT_EQ(f.Slope(20, 200, 60, 100), 0);
    EXPECT_EQ(ToRegisters(k8721, {{20, 200}, {60, 100}, {60, 255}}).slope, 0);
}

TEST(IteConverters, Ite8721OneSegment) {
    const IteRegisterImage r = ToRegisters(k8721, {{10, 76}, {70, 255}, {70, 255}});
    EXPECT_EQ(r, (IteRegisterImage{10, 76, 24, 70, 0, 0}));
    EXPECT_EQ(ToPoints(k8721, r, {10, 76}), (FanPoints{{10, 76}, {70, 255}, {70, 255}}));
}

TEST(IteConverters, DutiesPastTheScaleTakeTheNearestEndRatherThanWrapping) {
    // A flat curve at 280 (a box duty past 10) is full speed, not 280 - 256 = 24.
    EXPECT_EQ(ToRegisters(k8721, {{20, 280}, {70, 280}, {70, 255}}),
              (IteRegisterImage{20, 255, 0, 70, 0, 0}));
    EXPECT_EQ(ToRegisters(k8721, {{20, -5}, {70, 255}, {70, 255}}).startPwm, 0);
    EXPECT_EQ(ToRegisters(k8626, {{20, 280}, {70, 280}, {70, 255}}).startPwm, 255);
}

TEST(IteConverters, ConverterSlopeIsCappedAt15AndSevenEighths) {
    EXPECT_EQ(ToRegisters(k8721, {{0, 0}, {10, 255}, {10, 255}}).slope, 127);
    EXPECT_EQ(ToRegisters(k8626, {{0, 0}, {10, 255}, {10, 255}}).slope, 127);
}

TEST(IteConverters, Ite8721SecondSegmentHoldsTheSlopeIncrease) {
    const FanPoints curve = {{20, 50}, {40, 100}, {60, 200}};
    const IteRegisterImage r = ToRegisters(k8721, curve);
    EXPECT_EQ(r, (IteRegisterImage{20, 50, 20, 60, 40, 20}));  // 2.5, then 5.0 = 2.5 + 2.5
    EXPECT_EQ(ToPoints(k8721, r, curve[0]), curve);
    // A flatter second segment is not programmed: the chip keeps the first slope.
    const IteRegisterImage flat = ToRegisters(k8721, {{20, 50}, {40, 150}, {60, 160}});
    EXPECT_EQ(flat, (IteRegisterImage{20, 50, 40, 60, 40, 0}));
    EXPECT_EQ(ToPoints(k8721, flat, {20, 50}), (FanPoints{{20, 50}, {40, 150}, {60, 250}}));
    // The increase is at most 63 (7.875 steps per degree).
    EXPECT_EQ(ToRegisters(k8721, {{20, 0}, {40, 20}, {45, 255}}).slope2, 63);
}

TEST(IteConverters, Ite8721FullDutyIsReachedBeforeTheSecondTemperature) {
    const IteRegisterImage r{20, 200, 40, 60, 40, 8};  // 5 per degree: 300 at 40
    EXPECT_EQ(ToPoints(k8721, r, {20, 200}), (FanPoints{{20, 200}, {40, 255}, {60, 255}}));
}

TEST(IteConverters, Ite8720UsesSevenBitPwm) {
    const IteRegisterImage r = ToRegisters(k8720, {{20, 100}, {60, 180}, {60, 255}});
    EXPECT_EQ(r, (IteRegisterImage{20, 50, 8, 60, 0, 0}));  // 50 -> 90 over 40 degrees
    EXPECT_EQ(ToPoints(k8720, r, {20, 100}), (FanPoints{{20, 100}, {60, 181}, {60, 255}}));
    // Saturation at 127, shown as 255.
    const IteRegisterImage full = ToRegisters(k8720, {{10, 76}, {70, 255}, {70, 255}});
    EXPECT_EQ(full, (IteRegisterImage{10, 38, 12, 70, 0, 0}));
    EXPECT_EQ(ToPoints(k8720, full, {10, 76}), (FanPoints{{10, 76}, {70, 255}, {70, 255}}));
    // Second segment: y1 = 50 + 20, y2 = 70 + 2 x 20.
    const IteRegisterImage two = ToRegisters(k8720, {{20, 100}, {40, 140}, {60, 220}});
    EXPECT_EQ(two, (IteRegisterImage{20, 50, 8, 60, 40, 8}));
    EXPECT_EQ(ToPoints(k8720, two, {20, 100}), (FanPoints{{20, 100}, {40, 141}, {60, 221}}));
}

TEST(IteConverters, Ite8626SecondSlopeStandsOnItsOwn) {
    const FanPoints rising = {{20, 50}, {40, 100}, {60, 200}};
    const IteRegisterImage r = ToRegisters(k8626, rising);
    EXPECT_EQ(r, (IteRegisterImage{20, 50, 20, 60, 40, 40}));
    EXPECT_EQ(ToPoints(k8626, r, rising[0]), rising);
    // A flatter second segment keeps the first slope and ends where that reaches full duty.
    const IteRegisterImage cut = ToRegisters(k8626, {{20, 100}, {40, 200}, {80, 210}});
    EXPECT_EQ(cut, (IteRegisterImage{20, 100, 40, 51, 40, 40}));  // 155 / 5 + 20
    EXPECT_EQ(ToPoints(k8626, cut, {20, 100}), (FanPoints{{20, 100}, {40, 200}, {51, 255}}));
    // A flat second segment has no slope.
    const IteRegisterImage level = ToRegisters(k8626, {{20, 50}, {40, 100}, {60, 100}});
    EXPECT_EQ(level, (IteRegisterImage{20, 50, 20, 60, 40, 0}));
    EXPECT_EQ(ToPoints(k8626, level, {20, 50}), (FanPoints{{20, 50}, {40, 100}, {60, 100}}));
}

TEST(IteConverters, TooFewPointsLeaveTheImage) {
    IteRegisterImage r{1, 2, 3, 4, 5, 6};
    for (const IteDataConverter* c :
         {static_cast<const IteDataConverter*>(&k8720), static_cast<const IteDataConverter*>(&k8721),
          static_cast<const IteDataConverter*>(&k8626)}) {
        c->PointsToRegisters({{10, 20}, {30, 40}}, &r);
        EXPECT_EQ(r, (IteRegisterImage{1, 2, 3, 4, 5, 6}));
    }
}

// Curves whose slopes are whole eighths and that stay below full duty are what the chip does:
// they come back unchanged, and so do their registers.
TEST(IteConverters, RepresentableCurvesRoundTripExactly) {
    struct Case {
        const IteDataConverter* converter;
        int shift;  // PWM bits below the duty's
    };
    for (Case c : {Case{&k8720, 1}, Case{&k8721, 0}, Case{&k8626, 0}}) {
        const int top = 255 >> c.shift;
        int tried = 0;
        for (int t0 : {0, 20, 35})
            for (int p0 : {0, 30, 50})
                for (int dt1 : {8, 16, 24})
                    for (int e1 : {4, 12, 20, 31})        // first slope in eighths
                        for (int rise : {4, 8, 20})       // second slope's increase in eighths
                            for (int dt2 : {0, 8, 16}) {  // 0: one segment
                                const int p1 = p0 + e1 * dt1 / 8, p2 = p1 + (e1 + rise) * dt2 / 8;
                                if (p2 > top) continue;
                                auto duty = [&](int p) { return c.shift ? p * 2 + 1 : p; };
                                const FanPoints curve = {{t0, duty(p0)},
                                                         {t0 + dt1, duty(p1)},
                                                         {t0 + dt1 + dt2, dt2 ? duty(p2) : 255}};
                                const IteRegisterImage r = ToRegisters(*c.converter, curve);
                                const FanPoints back = ToPoints(*c.converter, r, curve[0]);
                                const FanPoint want = dt2 ? curve[2] : FanPoint{curve[1].temperature, 255};
                                EXPECT_EQ(back[1], curve[1]) << t0 << " " << p0 << " " << dt1 << " " << e1;
                                EXPECT_EQ(back[2], want) << t0 << " " << p0 << " " << dt1 << " " << e1;
                                EXPECT_EQ(ToRegisters(*c.converter, back), r);
                                ++tried;
                            }
        EXPECT_GT(tried, 100);
    }
}

TEST(IteFactoryPoints, DefaultRowsAsTheFactoriesRead) {
    const IteRegisterImage row0{10, 76, 32, 70, 0, 0};  // 4 per degree: full duty at 55
    EXPECT_EQ(Ite8721FanProfileFactory(0, 0, 0, 0).RegistersToPoints(row0),
              (FanPoints{{10, 76}, {40, 165}, {70, 255}}));
    EXPECT_EQ(Ite8623FanProfileFactory(0, 0, 0, 0).RegistersToPoints(row0),
              (FanPoints{{10, 76}, {40, 165}, {70, 255}}));
    EXPECT_EQ(Ite8626FanProfileFactory(0, 0, 0, 0).RegistersToPoints(row0),
              (FanPoints{{10, 76}, {40, 165}, {70, 255}}));
    EXPECT_EQ(Ite8721FanProfileFactory(0, 0, 0, 0).RegistersToPoints({20, 76, 16, 70, 0, 0}),
              (FanPoints{{20, 76}, {70, 176}, {70, 255}}));
    // The manual row: both points at full speed, the middle one moved half way.
    EXPECT_EQ(Ite8721FanProfileFactory(0, 0, 0, 0).RegistersToPoints({127, 255, 0, 127, 0, 0}),
              (FanPoints{{127, 255}, {127, 255}, {127, 255}}));
    EXPECT_EQ(Ite8720FanProfileFactory(0, 0, 0, 0).RegistersToPoints({10, 2, 16, 70, 0, 0}),
              (FanPoints{{10, 5}, {70, 245}, {70, 255}}));
    EXPECT_EQ(Ite8720FanProfileFactory(0, 0, 0, 0).RegistersToPoints({20, 27, 8, 70, 0, 0}),
              (FanPoints{{20, 55}, {70, 155}, {70, 255}}));
}

TEST(IteFactoryPoints, SecondTemperatureWithoutSecondSlope) {
    // The 8721 class (with the 8623 and 8626 factories) reads it as one segment.
    const Ite8721FanProfileFactory f8721(0, 0, 0, 0);
    const Ite8623FanProfileFactory f8623(0, 0, 0, 0);
    const Ite8626FanProfileFactory f8626(0, 0, 0, 0);
    for (const IteFanProfileFactory* f :
         {static_cast<const IteFanProfileFactory*>(&f8721), static_cast<const IteFanProfileFactory*>(&f8623),
          static_cast<const IteFanProfileFactory*>(&f8626)}) {
        // Full duty at ceil(179 / 4 + 10) = 55.
        EXPECT_EQ(f->RegistersToPoints({10, 76, 32, 70, 40, 0}), (FanPoints{{10, 76}, {55, 255}, {70, 255}}));
        // 250 + 44 / 8 = 255.5 stays below 256: full duty at the full-speed temperature, so the
        // middle point moves half way.
        EXPECT_EQ(f->RegistersToPoints({0, 250, 1, 44, 10, 0}), (FanPoints{{0, 250}, {22, 252}, {44, 255}}));
    }
    // With a second slope the chip's converter reads the rest.
    const IteRegisterImage two{20, 50, 20, 60, 40, 20};
    EXPECT_EQ(f8721.RegistersToPoints(two), (FanPoints{{20, 50}, {40, 100}, {60, 200}}));
}

TEST(IteFactoryPoints, Ite8720FullDutyBelow128) {
    // 125 + 20 / 8 = 127.5 is still below 128: full duty at the full-speed temperature.
    EXPECT_EQ(Ite8720FanProfileFactory(0, 0, 0, 0).RegistersToPoints({0, 125, 1, 20, 0, 0}),
              (FanPoints{{0, 251}, {10, 253}, {20, 255}}));
    // 125 + 24 / 8 = 128 reaches it: full duty from ceil(2 x 8) = 16.
    EXPECT_EQ(Ite8720FanProfileFactory(0, 0, 0, 0).RegistersToPoints({0, 125, 1, 24, 0, 0}),
              (FanPoints{{0, 251}, {16, 255}, {24, 255}}));
}

}  // namespace
