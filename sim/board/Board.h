// Access to the simulated board shared by every process of a run, and the control operations
// that tests, the control tool and the stand-in libraries use on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "BoardState.h"

namespace sim {

// The state file: %QUIL_SIM_BOARD% when set, else HKLM "Software\QuilSim" "BoardFile", else
// C:\quilsim\board.state.
std::wstring BoardFilePath();
// Points processes that do not inherit this one's environment (COM servers, services) at a state
// file. Tests that start such processes run one at a time (SYSTEM_BOARD).
void UseBoardFileForAllProcesses(const std::wstring& path);
// Points this process (and the children it starts afterwards) at another state file. Must be
// called before the first State().
void UseBoardFile(const std::wstring& path);

// The mapped state of this process; created zeroed on first use. Never null (aborts otherwise).
BoardState* State();

// The board's LibraryFault bits, read without keeping a view: for DllMain, which runs before a
// test could point the process at its board.
uint32_t LibraryFaults();

// Serialises changes to the state across processes (a named mutex); recursive within a thread.
class BoardLock {
public:
    BoardLock();
    ~BoardLock();
    BoardLock(const BoardLock&) = delete;
    BoardLock& operator=(const BoardLock&) = delete;
};

// Empties the board: no chip, no items, no memory, no faults.
void ResetBoard();

// Loads a board description (text; see boards/README.md), after ResetBoard.
bool LoadBoardText(const std::string& text, std::string* error);
bool LoadBoardFile(const std::wstring& path, std::string* error);
// Applies statements to the board as it is, without emptying it first.
bool ApplyBoardText(const std::string& text, std::string* error);
// A readable summary of the board's state, for scripts and the demo.
std::string DescribeBoard();

// Write log.
bool SioLockHeld();
void LogWrite(WriteKind kind, uint32_t a, uint32_t b, uint32_t c);
// Records with seq >= fromSeq still in the log, oldest first.
std::vector<WriteRecord> Writes(uint32_t fromSeq = 0);
uint32_t NextWriteSeq();

// BIOS items, keyed as the firmware keys them: id & 0xFF00FFFF.
BiosItem* FindItem(uint32_t id);
BiosItem* AddItem(uint32_t id);  // existing or new; null when the table is full
void SetItemValue(uint32_t id, int32_t value);
void SetItemDescription(uint32_t id, const std::vector<uint8_t>& package);
void SetItemBuffer(uint32_t id, const std::vector<uint8_t>& data);
std::vector<uint8_t> ItemBuffer(uint32_t id);
void RemoveItem(uint32_t id);
// Holding a buffer write: a test arms the item, the next AcpiSetItemBuffer on it waits before it
// is logged or stored (the caller stands still at that moment) until the test lets it go.
void HoldNextItemWrite(uint32_t id);
bool WaitItemWriteHeld(uint32_t id, uint32_t timeoutMs);  // false when none arrived in time
void ReleaseItemWrite(uint32_t id);
// The stand-in's side: waits while a write to the item is held (takes an armed hold first).
void WaitWhileItemWriteHeld(uint32_t id);
uint8_t* Blob(uint32_t offset);
uint32_t BlobAlloc(uint32_t size);  // aborts when the blob is exhausted

// The base-board product, also served as an SMBIOS entry point and table in physical memory.
void SetBoardProduct(const std::string& product);

// Physical memory.
void AddMemory(uint32_t base, const std::vector<uint8_t>& bytes);
// Pointer into this process's view of the state for [address, address + length), or null when
// the range is not inside one region. The ITE register window maps onto the monitor banks.
uint8_t* PhysicalToView(uint32_t address, uint32_t length);

// PCI configuration space and MSRs.
PciDevice* FindPci(uint8_t bus, uint8_t device, uint8_t function, bool create);
uint32_t PciConfigRead(uint32_t address);  // address as written to 0xCF8
void PciConfigWrite(uint32_t address, uint32_t value);
MsrEntry* FindMsr(uint32_t index, bool create);
// A copy of bus 0's configuration space as the PCI Express window at State()->pcieBase shows it
// (taken at the call; writes to it stay in this process), or null outside the window.
uint8_t* PcieWindowView(uint32_t address, uint32_t length);

// Super I/O chip.
void SetChip(uint16_t chipId, uint8_t revision, SioFamily family);
uint8_t SioPortRead(uint16_t port);
void SioPortWrite(uint16_t port, uint8_t value);
uint8_t MonitorRead(uint8_t bank, uint8_t reg);
void MonitorWrite(uint8_t bank, uint8_t reg, uint8_t value, WriteKind kind);

}  // namespace sim
