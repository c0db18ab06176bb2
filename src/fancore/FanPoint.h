// A point of a temperature-to-duty curve: degrees and duty (0..255 in the service; some chip
// layers speak percent). Registers take the low byte of each value.
#pragma once

#include <cstddef>
#include <vector>

struct FanPoint {
    int temperature = 0;
    int duty = 0;
    bool operator==(const FanPoint&) const = default;
};

using FanPoints = std::vector<FanPoint>;

// The longest curve a chip block or a firmware curve record takes whole.
constexpr size_t kMaxCurvePoints = 4;

// Whether a chip that runs `chipPoints` points (at most four) runs the curve whole: one byte per
// temperature and per duty, temperatures that do not fall (equal ones are how a curve ends flat)
// and no more points than the chip runs. Such a chip runs full duty past its last point, so one
// point more is taken when it adds nothing to that: the last point again, or full duty at the
// last point's temperature (the form the service hands out with the maker's suite).
bool IsRunnableCurve(const FanPoints& points, size_t chipPoints);
