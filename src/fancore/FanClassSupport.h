// Helpers shared by the fan classes' source files.
#pragma once

#include <cstdint>

#include "FanPoint.h"

class FanControlImp;

namespace fanclass {

// Duty at a temperature over a curve; `zeroAtStart` answers 0 instead of the first point's duty
// at or below the first point (an EC fan whose fan stop is on).
uint8_t Interpolate(const FanPoints& points, uint8_t temperature, bool zeroAtStart);
// The points of the profile at `index` of the fan's list; false (and `out` untouched) when the
// position holds no profile.
bool ProfilePoints(FanControlImp* control, int index, FanPoints* out);

}  // namespace fanclass
