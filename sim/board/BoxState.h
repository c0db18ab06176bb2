// The simulated accessory box behind the tool's HID binding.
#pragma once

#include <cstdint>

namespace sim {

struct BoxState {
    uint32_t connected;
    uint8_t regs[256];
    uint8_t reserved[4096];
};

}  // namespace sim
