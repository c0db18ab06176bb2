// Test support of the firmware box channel: the command words the firmware received and the
// stand-in system-control service.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <vector>

#include "support/StartedProgram.h"
#include "system/Handles.h"

namespace test {

struct ItemSet {
    uint32_t item;
    int32_t first, second;
    bool operator==(const ItemSet&) const = default;
};
inline void PrintTo(const ItemSet& s, std::ostream* out) {
    *out << std::hex << "{0x" << s.item << ", 0x" << s.first << ", " << std::dec << s.second << "}";
}
// The item sets logged since fromSeq, oldest first.
std::vector<ItemSet> ItemSets(uint32_t fromSeq = 0);
// The plain sets (value, 1) of one item since fromSeq: the words it was given.
std::vector<int> WordsTo(uint32_t item, uint32_t fromSeq = 0);

// Polls until done() holds, for at most about timeoutMs; answers done() at the end.
bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = 10000);

// QuilSysCtl.exe over this test's board, serving the system-control pipe until destroyed.
class SysCtlService {
public:
    SysCtlService();
    ~SysCtlService();
    SysCtlService(const SysCtlService&) = delete;
    SysCtlService& operator=(const SysCtlService&) = delete;
    bool Serving() const { return serving_; }

private:
    StartedProgram program_;
    bool serving_ = false;
};

// ObxTT.exe in firmware mode beside the stand-in system-control service, as the tests of the
// real tool start it: the service serving, the tool registered (its start-up went out before the
// registration) and its form found. Stop, or the object's end, ends the tool, then the service.
class FirmwareToolRun {
public:
    FirmwareToolRun() = default;
    ~FirmwareToolRun() { Stop(); }
    FirmwareToolRun(const FirmwareToolRun&) = delete;
    FirmwareToolRun& operator=(const FirmwareToolRun&) = delete;

    // Fails the test fatally when a step does not come about; waitMs bounds the registration.
    void Start(DWORD waitMs = 10000);
    void Stop() {
        tool_.reset();
        sysctl_.reset();
    }

    // The switch's and the command item's words since just before the tool started.
    std::vector<int> Switch() const;
    std::vector<int> Commands() const;
    DWORD ToolId() const { return toolId_; }
    HANDLE ToolProcess() const { return tool_ ? tool_->Handle() : nullptr; }
    HWND Form() const { return form_; }

private:
    std::unique_ptr<SysCtlService> sysctl_;
    std::unique_ptr<StartedProgram> tool_;
    DWORD toolId_ = 0;
    HWND form_ = nullptr;
    uint32_t from_ = 0;
};

}  // namespace test
