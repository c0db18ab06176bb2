// What lies around the firmware box channel: the firmware's answers to the channel's queries and
// the maker's system-control service (its pipe requests, registered mailslots and the events it
// is to post).
#pragma once

#include <cstdint>

namespace sim {

// After AcpiSetItem(item, code, x) with x != 1 (a query), the item reads value.
constexpr int kQueryAnswers = 32;
struct QueryAnswer {
    uint32_t item;
    int32_t code;
    int32_t value;
};

constexpr int kSysCtlNameChars = 260;
constexpr int kSysCtlPayload = 520;
constexpr int kSysCtlRequests = 64;
constexpr int kSysCtlSlots = 8;
constexpr int kSysCtlEvents = 64;

// A request the service took from its pipe.
struct SysCtlRequest {
    uint32_t clientPid;  // the process that sent it
    uint32_t code;
    uint32_t length;                 // bytes received
    wchar_t name[kSysCtlNameChars];  // request bytes 4..523
};

// A message the service is to post: code, then payload (524 bytes).
struct SysCtlEvent {
    uint32_t code;
    uint8_t payload[kSysCtlPayload];
};

struct FirmwareBoxState {
    uint32_t answerCount;
    QueryAnswer answers[kQueryAnswers];
    // The stand-in system-control service.
    uint32_t serverPid;     // set while it serves its pipe
    uint32_t stopServer;    // asks it to end
    uint32_t requestCount;  // requests ever taken; the log keeps the last kSysCtlRequests
    SysCtlRequest requests[kSysCtlRequests];
    uint32_t slotCount;  // registered mailslot names, in registration order
    wchar_t slots[kSysCtlSlots][kSysCtlNameChars];
    uint32_t eventsQueued, eventsDone;  // events[i % kSysCtlEvents] for done <= i < queued
    SysCtlEvent events[kSysCtlEvents];
    uint32_t messagesPosted;  // messages written to a registered mailslot
};

}  // namespace sim
