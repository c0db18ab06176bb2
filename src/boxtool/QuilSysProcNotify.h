// The notifier of the firmware box channel: a mailslot of the tool, registered with the maker's
// system-control service over its named pipe, on which the service posts the box's button,
// audio-mode and knob events. A listener thread hands each event to the callback.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "system/Handles.h"
#include "system/WinMailSlot.h"

// An event: its code and the 520-byte payload that came with it.
using SysProcNotifyCallback = void (*)(uint32_t code, void* payload);

constexpr wchar_t kSysControlPipe[] = L"QUIL SYSTEM CONTROL PIPE";
constexpr uint32_t kRegisterMailslot = 0x80000002;
constexpr uint32_t kUnregisterMailslot = 0x80000003;

constexpr uint32_t kEventMama = 0xA0020085;   // the boss key
constexpr uint32_t kEventAudio = 0xA0020086;  // the audio mode changed
constexpr uint32_t kEventKnob = 0xA0020091;   // the knob turned

// Sizes of the pipe's request (code, then a mailslot name of 260 UTF-16 units) and of the
// mailslot's messages (code, then the payload).
constexpr DWORD kSysControlRequestSize = 524;
constexpr DWORD kSysControlAnswerSize = 4096;
constexpr DWORD kNotifyMessageSize = 524;
constexpr DWORD kNotifyPayloadSize = 520;
constexpr DWORD kMailslotNameChars = 260;

class QuilSysProcNotify {
public:
    QuilSysProcNotify() = default;
    // Unregisters and stops listening.
    ~QuilSysProcNotify() { Stop(); }
    QuilSysProcNotify(const QuilSysProcNotify&) = delete;
    QuilSysProcNotify& operator=(const QuilSysProcNotify&) = delete;

    // Creates the mailslot "name" (anyone may write to it), registers it with the service and
    // listens on it. A listening notifier drops its old mailslot and listener first. Without a
    // mailslot nothing is registered and nothing listens.
    void Start(const wchar_t* name, SysProcNotifyCallback callback);
    // Unregisters the name registered since the last stop (all zeros when none was), then stops
    // listening and closes the mailslot. The listener is gone before the mailslot closes.
    void Stop();
    // While the notifier listens without having been registered (the service was not there yet),
    // asks the service again; the first registration that succeeds is traced.
    void RetryRegistration();
    // One request to the service: code, then length bytes of data (at most the 520 the request
    // holds). The answer is not looked at.
    bool CallControlPipe(const void* data, uint32_t code, uint32_t length);
    // Replaces the listener with a new one that calls back to callback.
    void StartThread(SysProcNotifyCallback callback);
    // The listener: reads one message after another while generation is the notifier's own. A
    // callback that fails loses its message; the listener goes on with the next.
    static DWORD WINAPI ListenThread(LPVOID generation);

private:
    // Ends the listener, if there is one, and waits until it has; messages that other threads send
    // to the caller's windows meanwhile are answered, since the listener's work may wait on them.
    void EndListener();

    wchar_t m_name[kMailslotNameChars] = {};  // the registered name
    bool m_registered = false;                // the service took m_name
    tolo::UniqueHandle m_thread;              // the listener

    // Shared with the listener.
    static tolo::MailslotW s_mailslot;
    static std::atomic<SysProcNotifyCallback> s_callback;
    static std::atomic<uint32_t> s_generation;  // of the listener that is to run
    static wchar_t s_mailslotPath[MAX_PATH];    // where a message wakes the listener
    static uint8_t s_request[kSysControlRequestSize];
    static uint8_t s_answer[kSysControlAnswerSize];
    static uint8_t s_message[kNotifyMessageSize];
};

// The tool's one notifier.
extern QuilSysProcNotify g_quilSysProcNotify;
