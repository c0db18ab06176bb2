// Master volume and mute of the stand-in audio helper library.
#pragma once

#include <cstdint>

namespace sim {

struct AudioState {
    float volume;  // 0.0 .. 1.0
    uint32_t mute;
    uint32_t setVolumeCalls, setMuteCalls, getVolumeCalls;
    uint32_t loads;  // times the library was attached to a process
};

}  // namespace sim
