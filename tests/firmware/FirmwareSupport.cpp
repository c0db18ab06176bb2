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

SysCtlService::SysCtlService() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe);
    path = path.substr(0, path.rfind(L'\\') + 1) + L"QuilSysCtl.exe";
    std::wstring command = L"\"" + path + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return;
    process_.Reset(pi.hProcess);
    tolo::UniqueHandle thread(pi.hThread);
    serving_ = WaitFor([] { return sim::State()->fwbox.serverPid != 0; });
}

SysCtlService::~SysCtlService() {
    if (!process_) return;
    {
        sim::BoardLock lock;
        sim::State()->fwbox.stopServer = 1;
    }
    if (WaitForSingleObject(process_.Get(), 10000) != WAIT_OBJECT_0) TerminateProcess(process_.Get(), 1);
}

}  // namespace test
