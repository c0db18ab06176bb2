// The ITE chips program their automatic fan control as SmartGuardian registers, not points: the
// data converters turn a three-point curve into the register image and back, so that a profile
// holds what the chip will really do.
#pragma once

#include <cstdint>

#include "FanPoint.h"

// Start temperature T0, start PWM P0, slope S, full-speed temperature TF, and the second
// segment: temperature T1 and slope S2 (0 = no second segment). Slopes are 4.3 fixed point.
struct IteRegisterImage {
    uint8_t startTemp = 0, startPwm = 0, slope = 0, fullTemp = 0, temp2 = 0, slope2 = 0;
    bool operator==(const IteRegisterImage&) const = default;
};

// Duty steps per degree of a slope byte: bits 3-6 the whole part, bits 0-2 eighths.
float IteSlopeValue(uint8_t slope);
// (d1 - d0) / (t1 - t0); 0 for equal temperatures.
float IteSlopeRatio(int t0, int d0, int t1, int d1);
// The slope byte of ratio x: whole part of x times 8 plus the eighths of frac(fraction) rounded
// up. A falling ratio counts as flat: the chip's slope cannot fall.
int IteFixedSlope(float x, float fraction);

class IteDataConverter {
public:
    virtual ~IteDataConverter() = default;
    // Needs three points; fewer leave the image as it was.
    virtual void PointsToRegisters(const FanPoints& points, IteRegisterImage* image) const = 0;
    // Points 2 and 3 from the image; the first point stays as it is.
    virtual void RegistersToPoints(const IteRegisterImage& image, FanPoints* points) const = 0;
};

// IT8720: 7-bit PWM (a duty d is d >> 1, a PWM p is p * 2 + 1); S2 is the slope increase.
class Ite8720DataConverter : public IteDataConverter {
public:
    void PointsToRegisters(const FanPoints& points, IteRegisterImage* image) const override;
    void RegistersToPoints(const IteRegisterImage& image, FanPoints* points) const override;
};

// IT8721, IT8728, IT8771, IT8603, IT8623: 8-bit PWM; S2 is the slope increase.
class Ite8721DataConverter : public IteDataConverter {
public:
    void PointsToRegisters(const FanPoints& points, IteRegisterImage* image) const override;
    void RegistersToPoints(const IteRegisterImage& image, FanPoints* points) const override;
};

// IT8606, IT8626, IT8655, IT8665: S2 is the second segment's own slope.
class Ite8626DataConverter : public IteDataConverter {
public:
    void PointsToRegisters(const FanPoints& points, IteRegisterImage* image) const override;
    void RegistersToPoints(const IteRegisterImage& image, FanPoints* points) const override;
};
