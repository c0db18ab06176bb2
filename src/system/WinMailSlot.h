// A mailslot server: the reading end of a mailslot that other processes write messages to.
#pragma once

#include <windows.h>

namespace tolo {

template <typename char_t>
class BasicMailslot {
public:
    BasicMailslot() = default;
    ~BasicMailslot() { Close(); }
    BasicMailslot(const BasicMailslot&) = delete;
    BasicMailslot& operator=(const BasicMailslot&) = delete;

    // Creates "\\.\MAILSLOT\<name>" on this machine. maxMessage 0 takes messages of any size;
    // readTimeout in ms or MAILSLOT_WAIT_FOREVER. The mailslot must be closed.
    bool Create(const char_t* name, DWORD maxMessage, DWORD readTimeout, SECURITY_ATTRIBUTES* security);
    // Closed afterwards whatever closing the handle answered.
    bool Close();
    // Reads one message. With an overlapped read still under way it answers true.
    bool Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped);
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

using MailslotW = BasicMailslot<wchar_t>;

}  // namespace tolo
