// The simulated accessory box behind the tool's HID binding: the HID interfaces the device
// enumeration lists, the box's registers, the reports it received and the faults to inject.
#pragma once

#include <cstdint>

namespace sim {

constexpr int kHidInterfaces = 8;
constexpr int kHidPathChars = 400;  // room for paths longer than the tool's path buffers
constexpr int kBoxReports = 1024;
constexpr int kBoxValueBytes = 5;  // value bytes a register holds (report bytes 3..7)

enum HidFlags : uint32_t {
    HidPresent = 1,      // plugged in: listed by the enumeration and openable
    HidReadOnly = 2,     // opens asking for write access are refused
    HidNoOpen = 4,       // every open is refused (a device the system holds exclusively)
    HidNoPreparsed = 8,  // HidD_GetPreparsedData fails
};

struct HidInterface {
    uint32_t flags;       // HidFlags
    uint32_t generation;  // bumped by every plug-in; handles of an earlier one are dead
    uint16_t vendorId, productId;
    uint32_t opens;      // successful CreateFileW calls
    uint8_t pending[8];  // the last request written, which the next read answers
    wchar_t path[kHidPathChars];
};

// A feature report the box accepted, as the host wrote it.
struct BoxReport {
    uint32_t seq;
    uint32_t iface;  // index into BoxState::interfaces
    uint8_t bytes[8];
};

struct BoxState {
    uint32_t interfaceCount;  // interfaces in enumeration order
    HidInterface interfaces[kHidInterfaces];
    uint8_t regs[256][kBoxValueBytes];  // what each register answers; a set stores its value bytes
    uint8_t setStatus;                  // status byte (answer byte 7) of every set
    uint8_t reserved[3];
    uint32_t failSets;                        // the next N HidD_SetFeature calls fail
    uint32_t failGets;                        // the next N HidD_GetFeature calls fail
    uint32_t setCalls, getCalls, flushCalls;  // every call, failed ones included
    uint32_t inputBuffers;                    // last HidD_SetNumInputBuffers request
    uint32_t preparsedHeld;                   // preparsed data handed out and not freed
    uint32_t reportCount;                     // reports ever accepted; the log keeps the last kBoxReports
    BoxReport reports[kBoxReports];
    // The HID library as the tool loads it.
    uint32_t libraryAbsent;    // LoadLibraryA("hid.dll") fails
    char missingFunction[32];  // this export is not found
    uint32_t loadCalls;        // LoadLibraryA calls
    char loadedName[32];       // the name the last one asked for
};

}  // namespace sim
