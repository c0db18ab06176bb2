#include "QuilSysProcNotify.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <utility>

#include "system/Trace.h"
#include "system/WinPipe.h"

namespace {

// Waits until the thread has ended. The waiting thread may own windows (the form's) that other
// threads, the listener or a program it is waiting on, send messages to: those are answered
// meanwhile, as a thread waiting in SendMessage answers them, while posted messages, timers and
// input wait for the message loop. A bound with the listener ended by force instead could leave
// a lock it holds (the firmware channel's, the heap's) owned for good.
void WaitAnsweringSentMessages(HANDLE thread) {
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (woken != WAIT_OBJECT_0 + 1) return;  // ended, or the wait failed
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

// The shared state is defined before the notifier so that it outlives the notifier's destructor.
tolo::MailslotW QuilSysProcNotify::s_mailslot;
std::atomic<SysProcNotifyCallback> QuilSysProcNotify::s_callback{nullptr};
std::atomic<uint32_t> QuilSysProcNotify::s_generation{0};
wchar_t QuilSysProcNotify::s_mailslotPath[MAX_PATH];
uint8_t QuilSysProcNotify::s_request[kSysControlRequestSize];
uint8_t QuilSysProcNotify::s_answer[kSysControlAnswerSize];
uint8_t QuilSysProcNotify::s_message[kNotifyMessageSize];

QuilSysProcNotify g_quilSysProcNotify;

void QuilSysProcNotify::Start(const wchar_t* name, SysProcNotifyCallback callback) {
    std::memset(m_name, 0, sizeof m_name);
    m_registered = false;

    // A NULL DACL: the service, whatever account it runs under, may write to the mailslot.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES security = {sizeof security, &descriptor, TRUE};

    if (s_mailslot.IsOpen()) {
        EndListener();
        s_mailslot.Close();
    }
    if (!s_mailslot.Create(name, 0, MAILSLOT_WAIT_FOREVER, &security)) return;
    std::swprintf(s_mailslotPath, MAX_PATH, L"\\\\.\\mailslot\\%ls", name);

    std::wcsncpy(m_name, name, kMailslotNameChars - 1);
    m_registered = CallControlPipe(m_name, kRegisterMailslot, sizeof m_name);
    StartThread(callback);
}

void QuilSysProcNotify::RetryRegistration() {
    // The service may start after the tool: until it takes the name, no event reaches the mailslot.
    if (m_registered || !m_name[0] || !s_mailslot.IsOpen()) return;
    if (!CallControlPipe(m_name, kRegisterMailslot, sizeof m_name)) return;
    m_registered = true;
    tolo::TraceW((L"OBXEX Mailslot registered: " + std::wstring(m_name)).c_str());
}

void QuilSysProcNotify::Stop() {
    m_registered = false;
    CallControlPipe(m_name, kUnregisterMailslot, sizeof m_name);
    // Unregistered once: a later stop (the exit's) names nothing, since another instance of the
    // tool may have registered the same name since.
    std::memset(m_name, 0, sizeof m_name);
    s_callback = nullptr;
    EndListener();
    if (s_mailslot.IsOpen()) s_mailslot.Close();
}

bool QuilSysProcNotify::CallControlPipe(const void* data, uint32_t code, uint32_t length) {
    std::memset(s_request, 0, sizeof s_request);
    std::memset(s_answer, 0, sizeof s_answer);
    std::memcpy(s_request, &code, sizeof code);
    // The request holds 520 bytes of data; a longer block would run past it.
    if (length > kSysControlRequestSize - sizeof code) length = kSysControlRequestSize - sizeof code;
    if (data && length) std::memcpy(s_request + sizeof code, data, length);
    tolo::NamedPipeW pipe;
    DWORD read = 0;
    return pipe.Call(L".", kSysControlPipe, s_request, sizeof s_request, s_answer, sizeof s_answer, &read,
                     NMPWAIT_WAIT_FOREVER);
}

void QuilSysProcNotify::StartThread(SysProcNotifyCallback callback) {
    s_callback = callback;
    EndListener();
    m_thread.Reset(CreateThread(nullptr, 0, &QuilSysProcNotify::ListenThread,
                                reinterpret_cast<LPVOID>(static_cast<uintptr_t>(s_generation.load())), 0,
                                nullptr));
}

DWORD WINAPI QuilSysProcNotify::ListenThread(LPVOID generation) {
    const uint32_t mine = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(generation));
    while (s_generation == mine) {
        std::memset(s_message, 0, sizeof s_message);
        DWORD read = 0;
        // A failed read leaves the buffer zero: event code 0, which means nothing.
        s_mailslot.Read(s_message, sizeof s_message, &read, nullptr);
        if (s_generation != mine) break;
        if (SysProcNotifyCallback callback = s_callback) {
            uint32_t code;
            std::memcpy(&code, s_message, sizeof code);
            // Nothing may unwind into the system's thread start (it would end the tool): a
            // callback that fails loses this message only.
            try {
                callback(code, s_message + sizeof code);
            } catch (...) {
            }
        }
    }
    return 0;
}

void QuilSysProcNotify::EndListener() {
    if (!m_thread) return;
    // Taken out first: a stop that runs while this one answers messages finds no listener.
    const tolo::UniqueHandle listener(std::move(m_thread));
    ++s_generation;  // the listener ends after the message it is reading
    // Called from a callback, the listener ends when the callback returns.
    if (GetThreadId(listener.Get()) == GetCurrentThreadId()) return;
    // It waits for a message without limit: one of our own (event code 0) wakes it.
    tolo::UniqueHandle writer(CreateFileW(s_mailslotPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    static const uint8_t wake[kNotifyMessageSize] = {};
    DWORD written = 0;
    if (writer && WriteFile(writer.Get(), wake, sizeof wake, &written, nullptr))
        WaitAnsweringSentMessages(listener.Get());
    else
        TerminateThread(listener.Get(), 0);  // no way to wake it: end it where it waits
}
