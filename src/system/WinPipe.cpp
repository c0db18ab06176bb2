#include "WinPipe.h"

#include "Trace.h"

namespace tolo {

template <>
std::wstring BasicNamedPipe<wchar_t>::MakePipeName(const wchar_t* server, const wchar_t* name) {
    return std::wstring(L"\\\\") + server + L"\\PIPE\\" + name;
}

template <>
bool BasicNamedPipe<wchar_t>::Call(const wchar_t* server, const wchar_t* name, void* input, DWORD inputSize,
                                   void* output, DWORD outputSize, DWORD* read, DWORD timeout) {
    const std::wstring path = MakePipeName(server, name);
    if (CallNamedPipeW(path.c_str(), input, inputSize, output, outputSize, read, timeout)) return true;
    TraceError("[BasicNamedPipe<char_t>::Call] failed, GetLastError returned %d",
               static_cast<int>(GetLastError()));
    return false;
}

template <typename char_t>
bool BasicNamedPipe<char_t>::Close() {
    if (!IsOpen()) return true;
    const BOOL closed = CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    if (!closed)
        TraceError("[BasicNamedPipe::Close] failed! GetLastError returned %d",
                   static_cast<int>(GetLastError()));
    return closed != FALSE;
}

template class BasicNamedPipe<wchar_t>;

}  // namespace tolo
