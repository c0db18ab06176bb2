// Control of the firmware box channel's surroundings: the firmware's query answers and the
// stand-in system-control service (sim/sysctl).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Board.h"

namespace sim {

// After a query of item with code, the item reads value; false when the table is full.
bool SetQueryAnswer(uint32_t item, int32_t code, int32_t value);
// The answer for a query, or false when the board gives the item none at all.
bool FindQueryAnswer(uint32_t item, int32_t code, int32_t* value);

// Asks the running service to post an event to every mailslot registered with it.
void QueueSysCtlEvent(uint32_t code, const std::vector<uint8_t>& payload = {});

struct SysCtlRequestRecord {
    uint32_t clientPid;
    uint32_t code;
    uint32_t length;
    std::wstring name;  // up to the first zero
    bool nameZero;      // all 520 name bytes were zero
};
// The requests the service took, oldest first; with a process id, those that process sent. (Every
// process that holds the tool's notifier unregisters at its exit: a test looks at its own.)
std::vector<SysCtlRequestRecord> SysCtlRequests(uint32_t clientPid = 0);
// The names registered now.
std::vector<std::wstring> SysCtlSlots();

}  // namespace sim
