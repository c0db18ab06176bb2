#include "FirmwareSupport.h"

#include <string>

#include <gtest/gtest.h>
#include "board/Board.h"
#include "board/FirmwareBox.h"
#include "boxtool/FbAcpi.h"
#include "support/ProcessWindow.h"

namespace test {

std::vector<ItemSet> ItemSets(uint32_t fromSeq) {
    std::vector<ItemSet> out;
    for (const sim::WriteRecord& w : sim::Writes(fromSeq))
        if (w.kind == sim::WriteKind::ItemSet)
            out.push_back({w.a, static_cast<int32_t>(w.b), static_cast<int32_t>(w.c)});
    return out;
}

std::vector<int> WordsTo(uint32_t item, uint32_t fromSeq) {
    std::vector<int> out;
    for (const ItemSet& s : ItemSets(fromSeq))
        if (s.item == item && s.second == 1) out.push_back(s.first);
    return out;
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
    for (DWORD i = 0; i < timeoutMs / 10 && !done(); ++i) Sleep(10);
    return done();
}

SysCtlService::SysCtlService() : program_(StartedProgram::Beside(L"QuilSysCtl.exe")) {
    if (program_.Started()) serving_ = WaitFor([] { return sim::State()->fwbox.serverPid != 0; });
}

// Asked to stop, it ends on its own; ended by force should it not within 10 seconds.
SysCtlService::~SysCtlService() {
    if (!program_.Started()) return;
    {
        sim::BoardLock lock;
        sim::State()->fwbox.stopServer = 1;
    }
    program_.WaitForExit(10000);
}

void FirmwareToolRun::Start(DWORD waitMs) {
    EndLeftoverPrograms();  // a tool left running would keep this one from starting
    sysctl_ = std::make_unique<SysCtlService>();
    ASSERT_TRUE(sysctl_->Serving());
    from_ = sim::NextWriteSeq();
    tool_ = std::make_unique<StartedProgram>(StartedProgram::Beside(L"ObxTT.exe"));
    ASSERT_TRUE(tool_->Started());
    toolId_ = tool_->Id();
    ASSERT_TRUE(WaitFor([this] { return !sim::SysCtlRequests(toolId_).empty(); }, waitMs));
    form_ = FindProcessWindow(toolId_, L"TfrmObxTestMain", 10000);
    ASSERT_TRUE(form_);
}

std::vector<int> FirmwareToolRun::Switch() const {
    return WordsTo(kFbAcpiSwitchItem, from_);
}

std::vector<int> FirmwareToolRun::Commands() const {
    return WordsTo(kFbAcpiCommandItem, from_);
}

}  // namespace test
