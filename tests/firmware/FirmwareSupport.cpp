#include "FirmwareSupport.h"

#include <string>

#include "board/Board.h"

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

}  // namespace test
