#include "WinMailSlot.h"

#include <cassert>
#include <string>

#include "Trace.h"

namespace tolo {

template <>
bool BasicMailslot<wchar_t>::Create(const wchar_t* name, DWORD maxMessage, DWORD readTimeout,
                                    SECURITY_ATTRIBUTES* security) {
    assert(!IsOpen() && name != NULL && "!IsOpen() && name != NULL");
    // Without assertions a second create would leak the open handle: refuse it instead.
    if (IsOpen() || !name) return false;
    const std::wstring path = std::wstring(L"\\\\.\\MAILSLOT\\") + name;
    m_handle = CreateMailslotW(path.c_str(), maxMessage, readTimeout, security);
    if (m_handle == INVALID_HANDLE_VALUE)
        TraceError("[BasicMailSlot::Create] failed! GetLastError returned %d",
                   static_cast<int>(GetLastError()));
    return IsOpen();
}

template <typename char_t>
bool BasicMailslot<char_t>::Close() {
    if (!IsOpen()) return true;
    const BOOL closed = CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    if (!closed) {
        TraceError("[BasicMailslot::Close] failed! GetLastError returned %d",
                   static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

template <typename char_t>
bool BasicMailslot<char_t>::Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
    assert(IsOpen() && "IsOpen()");
    if (ReadFile(m_handle, buffer, size, read, overlapped)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return true;
    TraceError("[BasicMailslot<char_t>::Read] failed, GetLastError returned %d", static_cast<int>(error));
    return false;
}

template class BasicMailslot<wchar_t>;

}  // namespace tolo
