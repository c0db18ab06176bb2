// A named-pipe client: one request and its answer over a message pipe, on any machine.
#pragma once

#include <windows.h>

#include <string>

namespace tolo {

template <typename char_t>
class BasicNamedPipe {
public:
    using String = std::basic_string<char_t>;

    BasicNamedPipe() = default;
    ~BasicNamedPipe() { Close(); }
    BasicNamedPipe(const BasicNamedPipe&) = delete;
    BasicNamedPipe& operator=(const BasicNamedPipe&) = delete;

    // "\\<server>\PIPE\<name>"; server "." is this machine.
    static String MakePipeName(const char_t* server, const char_t* name);
    // Connects, writes the request, reads the answer into output and disconnects. timeout (ms,
    // NMPWAIT_WAIT_FOREVER or NMPWAIT_USE_DEFAULT_WAIT) bounds the wait for a free instance.
    bool Call(const char_t* server, const char_t* name, void* input, DWORD inputSize, void* output,
              DWORD outputSize, DWORD* read, DWORD timeout);
    bool Close();
    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

using NamedPipeW = BasicNamedPipe<wchar_t>;

}  // namespace tolo
