// Reading the simulated chip's write log in the terms of the hardware monitor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/Board.h"

namespace test {

struct RegWrite {
    uint8_t bank, reg, value;
    bool operator==(const RegWrite&) const = default;
};

// Hardware-monitor writes since seq `from` (ports or the firmware item), bank selects left out.
std::vector<RegWrite> MonitorWrites(uint32_t from);
// True when every chip write since `from` happened with the Super I/O lock held.
bool AllWritesLocked(uint32_t from);
// Monitor register writes since `from` made without the Super I/O lock, readable; empty when none.
// (Configuration writes are left out: the chip detection of a starting process enters and leaves
// the configuration space before it takes the lock.)
std::string UnlockedMonitorWrites(uint32_t from);
// The words of a device's buffer as the stand-in last received them; the first n of them (zeros
// past the buffer's end).
std::vector<int32_t> Words(uint32_t device);
std::vector<int32_t> Head(uint32_t device, size_t n);
// Each buffer write since seq `from`, as the device it went to; how many went to `device`.
std::vector<uint32_t> BufferWriteOrder(uint32_t from);
size_t BufferWrites(uint32_t from, uint32_t device);
// Readable form for failure messages.
std::string Describe(const std::vector<RegWrite>& writes);

}  // namespace test
