// Stand-in for the maker's system-control service. It serves the message pipe
// "\\.\pipe\QUIL SYSTEM CONTROL PIPE": a 524-byte request (code, then a mailslot name of 260
// UTF-16 units) 0x80000002 registers the name, 0x80000003 unregisters it; every request is logged
// on the board with the client's process id and answered with 4 zero bytes. Events queued on the
// board ("sysctl-event", or sim::QueueSysCtlEvent) are posted as 524-byte messages (code, then payload) to
// every registered mailslot, "\\.\mailslot\<name>". It ends when the board asks it to (stopServer).
//
// Usage: QuilSysCtl (the board is the one QUIL_SIM_BOARD names, as for every stand-in).
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "board/Board.h"
#include "board/FirmwareBox.h"

namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\QUIL SYSTEM CONTROL PIPE";
constexpr uint32_t kRegister = 0x80000002, kUnregister = 0x80000003;
constexpr DWORD kRequestSize = 524;

void Record(const uint8_t* request, DWORD length, DWORD client) {
    sim::BoardLock lock;
    sim::FirmwareBoxState& f = sim::State()->fwbox;
    sim::SysCtlRequest& r = f.requests[f.requestCount++ % sim::kSysCtlRequests];
    r = sim::SysCtlRequest{};
    r.clientPid = client;
    r.length = length;
    if (length >= 4) std::memcpy(&r.code, request, 4);
    if (length > 4) std::memcpy(r.name, request + 4, std::min<DWORD>(length - 4, sizeof r.name));

    wchar_t name[sim::kSysCtlNameChars] = {};
    std::memcpy(name, r.name, sizeof name);
    name[sim::kSysCtlNameChars - 1] = 0;
    if (!name[0]) return;  // no name: nothing to register or unregister
    int found = -1;
    for (uint32_t i = 0; i < f.slotCount; ++i)
        if (_wcsicmp(f.slots[i], name) == 0) found = static_cast<int>(i);
    if (r.code == kRegister && found < 0 && f.slotCount < sim::kSysCtlSlots) {
        std::memcpy(f.slots[f.slotCount++], name, sizeof name);
    } else if (r.code == kUnregister && found >= 0) {
        for (uint32_t i = found; i + 1 < f.slotCount; ++i)
            std::memcpy(f.slots[i], f.slots[i + 1], sizeof name);
        --f.slotCount;
    }
}

// One pipe instance, reused for every client so that the pipe never disappears between two.
void Serve(HANDLE pipe) {
    for (;;) {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            Sleep(10);
            continue;
        }
        std::vector<uint8_t> request(4096);
        DWORD got = 0;
        if (ReadFile(pipe, request.data(), static_cast<DWORD>(request.size()), &got, nullptr)) {
            ULONG client = 0;
            GetNamedPipeClientProcessId(pipe, &client);
            Record(request.data(), got, client);
            const uint32_t answer = 0;
            DWORD written = 0;
            WriteFile(pipe, &answer, sizeof answer, &written, nullptr);
            FlushFileBuffers(pipe);
        }
        DisconnectNamedPipe(pipe);
    }
}

void Post(const sim::SysCtlEvent& event, const std::vector<std::wstring>& slots) {
    for (const std::wstring& name : slots) {
        const std::wstring path = L"\\\\.\\mailslot\\" + name;
        HANDLE slot = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (slot == INVALID_HANDLE_VALUE) continue;
        DWORD written = 0;
        if (WriteFile(slot, &event, sizeof event, &written, nullptr) && written == sizeof event) {
            sim::BoardLock lock;
            ++sim::State()->fwbox.messagesPosted;
        }
        CloseHandle(slot);
    }
}

// Posts what the board queues; ends the process when the board asks.
DWORD WINAPI Poster(LPVOID) {
    for (;;) {
        sim::SysCtlEvent event;
        bool pending = false;
        {
            sim::BoardLock lock;
            sim::FirmwareBoxState& f = sim::State()->fwbox;
            if (f.stopServer) {
                f.serverPid = 0;
                ExitProcess(0);
            }
            if (f.eventsDone != f.eventsQueued) {
                event = f.events[f.eventsDone % sim::kSysCtlEvents];
                pending = true;
            }
        }
        if (!pending) {
            Sleep(10);
            continue;
        }
        Post(event, sim::SysCtlSlots());
        sim::BoardLock lock;
        ++sim::State()->fwbox.eventsDone;
    }
}

}  // namespace

int wmain() {
    // Any process may connect, whatever account it runs under.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES security = {sizeof security, &descriptor, FALSE};
    HANDLE pipe =
        CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                         1, 4096, 4096, 0, &security);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    {
        sim::BoardLock lock;
        sim::State()->fwbox.serverPid = GetCurrentProcessId();
        sim::State()->fwbox.stopServer = 0;  // a service started again after a stop serves again
    }
    CloseHandle(CreateThread(nullptr, 0, Poster, nullptr, 0, nullptr));
    Serve(pipe);
    return 0;
}
