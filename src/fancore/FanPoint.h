// A point of a temperature-to-duty curve: degrees and duty (0..255 in the service; some chip
// layers speak percent). Registers take the low byte of each value.
#pragma once

#include <vector>

struct FanPoint {
    int temperature = 0;
    int duty = 0;
    bool operator==(const FanPoint&) const = default;
};

using FanPoints = std::vector<FanPoint>;
