#include "FanPoint.h"

namespace {

constexpr int kFullDuty = 255;

bool FitsBytes(const FanPoint& p) {
    return p.temperature >= 0 && p.temperature <= 255 && p.duty >= 0 && p.duty <= 255;
}

}  // namespace

bool IsRunnableCurve(const FanPoints& points, size_t chipPoints) {
    if (points.empty() || points.size() > kMaxCurvePoints) return false;
    for (size_t i = 0; i < points.size(); ++i) {
        if (!FitsBytes(points[i])) return false;
        if (i > 0 && points[i].temperature < points[i - 1].temperature) return false;
    }
    if (points.size() <= chipPoints) return true;
    if (chipPoints == 0 || points.size() > chipPoints + 1) return false;
    const FanPoint& last = points[chipPoints - 1];
    const FanPoint& extra = points[chipPoints];
    return extra.temperature == last.temperature && (extra.duty == last.duty || extra.duty == kFullDuty);
}
