// Sensor records that the stand-in hardware-monitor library answers.
#pragma once

#include <cstdint>

namespace sim {

struct SensorState {
    uint32_t count;
    uint8_t reserved[8192];
};

}  // namespace sim
