#include "IteDataConverter.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kMaxSlope = 15.875f;  // the largest 4.3 slope the register holds

uint8_t Low(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}

// Points 2 and 3 of an image for a chip whose PWM runs 0..top; `increase`: S2 adds to S rather
// than replacing it; `pwm` turns a register PWM into a duty.
void ImageToPoints(const IteRegisterImage& r, int top, bool increase, int (*pwm)(int), FanPoints* points) {
    if (points->size() < 3) points->resize(3);
    FanPoints& p = *points;
    const float s = IteSlopeValue(r.slope);
    if (r.temp2 == 0 && r.slope2 == 0) {
        const int e = static_cast<int>((r.fullTemp - r.startTemp) * s + r.startPwm);
        p[1] = {r.fullTemp, pwm(std::clamp(e, 0, top))};
        p[2] = {r.fullTemp, 255};
        return;
    }
    int y1 = static_cast<int>((r.temp2 - r.startTemp) * s + r.startPwm);
    int y2;
    if (y1 > top) {
        y1 = y2 = top;
    } else {
        const float k = (increase ? s : 0.0f) + IteSlopeValue(r.slope2);
        y1 = std::max(y1, 0);
        y2 = std::clamp(y1 + static_cast<int>(k * (r.fullTemp - r.temp2)), 0, top);
    }
    p[1] = {r.temp2, pwm(y1)};
    p[2] = {r.fullTemp, pwm(y2)};
}

int SameDuty(int v) {
    return v;
}

int SevenBitDuty(int v) {
    return v * 2 + 1;
}

// S2 of the chips where it is the increase over S.
uint8_t SlopeIncrease(uint8_t s1, uint8_t s2) {
    return s1 < s2 ? static_cast<uint8_t>(std::min(s2 - s1, 63)) : 0;
}

void FillFirstSegment(int t0, int p0, int tf, IteRegisterImage* image) {
    image->startTemp = Low(t0);
    image->startPwm = Low(p0);
    image->fullTemp = Low(tf);
}

}  // namespace

float IteSlopeValue(uint8_t slope) {
    return static_cast<float>((slope >> 3) & 15) + static_cast<float>(slope & 7) * 0.125f;
}

float IteSlopeRatio(int t0, int d0, int t1, int d1) {
    if (t0 == t1) return 0.0f;
    return static_cast<float>(d1 - d0) / static_cast<float>(t1 - t0);
}

int IteFixedSlope(float x, float fraction) {
    if (x <= 0.0f) return 0;
    const float whole = std::trunc(fraction);
    return static_cast<int>(x) * 8 + static_cast<int>(std::ceil((fraction - whole) * 8.0f));
}

namespace {

// The converters' slope: the ratio capped at 15.875 steps per degree before the conversion.
uint8_t Slope(int t0, int d0, int t1, int d1) {
    const float x = std::min(IteSlopeRatio(t0, d0, t1, d1), kMaxSlope);
    return static_cast<uint8_t>(IteFixedSlope(x, x));
}

// The three points with the duties scaled to the chip's PWM width, and both segments' slopes.
struct Segments {
    int t0, d0, t1, d1, t2, d2;
    uint8_t s1, s2;
};

bool SplitSegments(const FanPoints& points, int dutyShift, Segments* s) {
    if (points.size() < 3) return false;
    // A client's curve comes without a range check: a duty past 0..255 means the nearest end, not
    // what the 8-bit PWM register would wrap it to (280 would run the fan at 24).
    auto duty = [dutyShift](const FanPoint& p) { return std::clamp(p.duty, 0, 255) >> dutyShift; };
    *s = {points[0].temperature,
          duty(points[0]),
          points[1].temperature,
          duty(points[1]),
          points[2].temperature,
          duty(points[2]),
          0,
          0};
    s->s1 = Slope(s->t0, s->d0, s->t1, s->d1);
    s->s2 = Slope(s->t1, s->d1, s->t2, s->d2);
    return true;
}

// The 8720 and 8721 form: one segment when the last two temperatures agree, else a second
// segment whose slope register holds the increase.
void IncreasingSegmentsToImage(const Segments& s, IteRegisterImage* image) {
    if (s.t1 == s.t2) {
        FillFirstSegment(s.t0, s.d0, s.t1, image);
        image->slope = s.s1;
        image->temp2 = image->slope2 = 0;
        return;
    }
    FillFirstSegment(s.t0, s.d0, s.t2, image);
    image->slope = s.s1;
    image->temp2 = Low(s.t1);
    image->slope2 = SlopeIncrease(s.s1, s.s2);
}

}  // namespace

void Ite8720DataConverter::PointsToRegisters(const FanPoints& points, IteRegisterImage* image) const {
    Segments s;
    if (SplitSegments(points, 1, &s)) IncreasingSegmentsToImage(s, image);
}

void Ite8720DataConverter::RegistersToPoints(const IteRegisterImage& image, FanPoints* points) const {
    ImageToPoints(image, 127, true, SevenBitDuty, points);
}

void Ite8721DataConverter::PointsToRegisters(const FanPoints& points, IteRegisterImage* image) const {
    Segments s;
    if (SplitSegments(points, 0, &s)) IncreasingSegmentsToImage(s, image);
}

void Ite8721DataConverter::RegistersToPoints(const IteRegisterImage& image, FanPoints* points) const {
    ImageToPoints(image, 255, true, SameDuty, points);
}

void Ite8626DataConverter::PointsToRegisters(const FanPoints& points, IteRegisterImage* image) const {
    Segments s;
    if (!SplitSegments(points, 0, &s)) return;
    if (s.t1 == s.t2) {
        FillFirstSegment(s.t0, s.d0, s.t1, image);
        image->slope = s.s1;
        image->temp2 = image->slope2 = 0;
        return;
    }
    int tf = s.t2;
    uint8_t s2 = 0;
    if (s.s1 < s.s2) {
        s2 = std::min<uint8_t>(s.s2, 127);
    } else if (s.s2 != 0) {
        // The second segment would not rise faster: keep the first slope and end where it
        // reaches full duty.
        s2 = s.s1;
        tf = std::min(s.t2, static_cast<int>((255 - s.d0) / (s.s1 / 8.0f)) + s.t0);
    }
    FillFirstSegment(s.t0, s.d0, tf, image);
    image->slope = s.s1;
    image->temp2 = Low(s.t1);
    image->slope2 = s2;
}

void Ite8626DataConverter::RegistersToPoints(const IteRegisterImage& image, FanPoints* points) const {
    ImageToPoints(image, 255, false, SameDuty, points);
}
