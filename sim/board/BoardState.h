// The simulated board: one fixed-layout state in a file mapping that every process of a run sees
// (the test, the fan service, the box tool and the stand-in libraries). Plain data only; every
// process is built from the same tree, so the layout needs no versioning beyond the magic.
#pragma once

#include <cstdint>

#include "AudioState.h"
#include "BoxState.h"
#include "FirmwareBoxState.h"
#include "SensorState.h"

namespace sim {

constexpr uint32_t kBoardMagic = 0x51534231;  // "QSB1"

// Super I/O chip: configuration space behind 0x2E/0x2F, hardware monitor behind 0x295/0x296.
// The monitor banks are contiguous so that the ITE memory window maps them directly.
constexpr int kSioLdns = 16;
constexpr int kHwmBanks = 32;

enum class SioFamily : uint8_t { None = 0, Ite = 1, Winbond = 2, Fintek = 3 };

struct SioState {
    uint16_t chipId;     // as the configuration registers 0x20/0x21 answer it
    uint8_t revision;    // configuration register 0x22
    SioFamily family;    // which entry key the chip answers
    uint8_t keyStep;     // progress through the entry key
    uint8_t configMode;  // 1 while the configuration space is open
    uint8_t cfgIndex;    // last index written to 0x2E in configuration mode
    uint8_t hwmIndex;    // last index written to 0x295
    uint8_t bank;        // selected monitor bank (register 0x4E of every bank)
    uint8_t idGateReg;   // the id registers read 0xFF while cfg[0][idGateReg] & idGateMask
    uint8_t idGateMask;  // 0: the id is always visible
    uint8_t reserved;
    uint32_t iteMemBase;         // physical base of the ITE register window, 0 when the chip has none
    uint8_t cfg[kSioLdns][256];  // registers 0x00-0x2F are global and live in cfg[0]
    uint8_t hwm[kHwmBanks][256];
};

// Log of everything written to the chip, the firmware and the MSRs, in order.
enum class WriteKind : uint32_t {
    Config = 1,       // a = logical device, b = register, c = value
    Monitor = 2,      // a = bank, b = register, c = value (through the ports)
    MonitorBios = 3,  // a = bank, b = register, c = value (through BIOS item 0x11060009)
    ItemSet = 4,      // a = item id, b = first argument, c = second argument
    BufferSet = 5,    // a = item id, b = length in bytes
    MsrWrite = 6,     // a = MSR index, b = low dword, c = high dword
};

struct WriteRecord {
    uint32_t seq;
    WriteKind kind;
    uint32_t a, b, c;
    uint32_t locked;  // 1 when "Global\QUIL_SIO_MUTEX" was held at that moment
};
constexpr int kWriteLog = 16384;

// BIOS items: the description package and the device buffer live in the blob.
constexpr int kMaxItems = 1024;
enum ItemFlags : uint32_t {
    ItemListed = 1,     // walked by AcpiGGrp (has a description)
    ItemFailGet = 2,    // AcpiGetItem / AcpiGetItemEx / AcpiGetItemBuffer answer failure
    ItemFailSet = 4,    // AcpiSetItem / AcpiSetItemBuffer answer failure
    ItemHasValue = 8,   // AcpiGetItem answers; otherwise reads fail
    ItemCommand = 16,   // AcpiSetItem takes a command: logged and counted, the value read stays
    ItemHoldNext = 32,  // the next AcpiSetItemBuffer takes this off and is held (ItemHeld)
    ItemHeld = 64,      // a buffer write waits, before it is logged, until a test lets it go
};

struct BiosItem {
    uint32_t id;
    uint32_t flags;
    int32_t value;
    uint32_t descOffset, descLength;  // encoded package in the blob
    uint32_t bufOffset, bufLength, bufCapacity;
    uint32_t getCalls, setCalls, bufReads, bufWrites;
    int32_t lastParam;  // last parameter of AcpiGetItemEx / AcpiSetItem with a parameter
};

constexpr int kGroups = 256;
enum GroupFlags : uint8_t { GroupRefused = 1 };

struct AcpiState {
    uint32_t itemCount;
    BiosItem items[kMaxItems];
    uint8_t groupFlags[kGroups];
    uint32_t ggrpCalls[kGroups];
    uint32_t callMethodCalls;
    uint32_t initCalls;
    uint32_t mbifCalls;
    int32_t mbifCount;  // -1: AcpiMbif leaves the buffer untouched
    int32_t mbif[64];
    int32_t mbifResult;  // what AcpiMbif returns when it delivered the package (1 unless told)
};

// PCI configuration space, reached through 0xCF8/0xCFC.
constexpr int kPciDevices = 16;
struct PciDevice {
    uint8_t used, bus, device, function;
    uint8_t cfg[256];
};

constexpr int kMsrs = 64;
struct MsrEntry {
    uint32_t used, index;
    uint64_t value;
};

// Physical memory: regions of the memory blob at physical addresses (SMBIOS, ACPI tables).
constexpr int kMemRegions = 16;
struct MemRegion {
    uint32_t used, base, length, offset;
};

// Libraries that refuse to load (their DllMain fails), for the "library absent" paths.
enum LibraryFault : uint32_t {
    FaultQuilIo = 1,
    FaultQuilAcpi = 2,
    FaultHmLib = 4,
    FaultVvc2 = 8,
};

constexpr uint32_t kBlobSize = 512 * 1024;
constexpr uint32_t kMemSize = 256 * 1024;

struct BoardState {
    uint32_t magic;
    uint32_t writeSeq;       // next sequence number of the write log
    uint32_t writeCount;     // records ever written (the log keeps the last kWriteLog)
    uint32_t libraryFaults;  // LibraryFault bits
    uint32_t quilIoOpenCalls;
    uint32_t pciAddress;  // last value written to 0xCF8
    uint32_t pcieBase;    // physical base of bus 0's PCI Express configuration window, 0 when none
    char product[64];     // SMBIOS base-board product, for the board readers
    SioState sio;
    AcpiState acpi;
    PciDevice pci[kPciDevices];
    MsrEntry msrs[kMsrs];
    MemRegion mem[kMemRegions];
    SensorState sensors;
    AudioState audio;
    BoxState box;
    FirmwareBoxState fwbox;
    WriteRecord writes[kWriteLog];
    uint32_t blobUsed;
    uint32_t memUsed;
    uint8_t blob[kBlobSize];
    uint8_t memory[kMemSize];
};

}  // namespace sim
