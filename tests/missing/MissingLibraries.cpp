#include "MissingLibraries.h"

namespace test {

namespace {

std::wstring AsidePath(const std::wstring& path) {
    return path + L".away";
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring WindowText(HWND w) {
    wchar_t text[512] = {};
    // Another process's controls answer WM_GETTEXT; GetWindowTextW would not ask them.
    SendMessageTimeoutW(w, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, nullptr);
    return text;
}

struct BoxSearch {
    DWORD process;
    std::vector<ShownBox> found;
};

BOOL CALLBACK CollectBox(HWND w, LPARAM param) {
    auto* s = reinterpret_cast<BoxSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[32] = {};
    GetClassNameW(w, cls, 32);
    if (pid != s->process || std::wstring(cls) != L"#32770" || !IsWindowVisible(w)) return TRUE;
    // The message box's text is the static control with the id 0xFFFF.
    HWND text = GetDlgItem(w, 0xFFFF);
    s->found.push_back({w, WindowText(w), text ? WindowText(text) : std::wstring()});
    return TRUE;
}

struct WindowSearch {
    DWORD process;
    const wchar_t* cls;
    HWND found;
};

BOOL CALLBACK FindWindowOf(HWND w, LPARAM param) {
    auto* s = reinterpret_cast<WindowSearch*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    if (pid != s->process || std::wstring(cls) != s->cls) return TRUE;
    s->found = w;
    return FALSE;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::wstring SystemLibraryAway::SystemPath(const wchar_t* fileName) {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir) + L"\\" + fileName;
}

bool SystemLibraryAway::PutBack(const wchar_t* fileName) {
    const std::wstring path = SystemPath(fileName), aside = AsidePath(path);
    if (Exists(aside)) MoveFileExW(aside.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    return Exists(path) && !Exists(aside);
}

SystemLibraryAway::SystemLibraryAway(const wchar_t* fileName) : name_(fileName) {
    if (!PutBack(fileName)) return;
    const std::wstring path = SystemPath(fileName);
    away_ = MoveFileW(path.c_str(), AsidePath(path).c_str()) != FALSE;
}

bool SystemLibraryAway::ReplaceWith(const wchar_t* builtFile) {
    return away_ && CopyFileW(BuiltFile(builtFile).c_str(), SystemPath(name_.c_str()).c_str(), FALSE);
}

SystemLibraryAway::~SystemLibraryAway() {
    if (away_) PutBack(name_.c_str());
}

// ---------------------------------------------------------------------------------------------

ProgramFolder::ProgramFolder(const wchar_t* program, std::initializer_list<const wchar_t*> beside) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    dir_ = std::wstring(temp) + L"quilmissing-" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(dir_.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return;
    ready_ = CopyAs(program, program);
    for (const wchar_t* name : beside) ready_ = CopyAs(name, name) && ready_;
    program_ = dir_ + L"\\" + program;
}

bool ProgramFolder::CopyAs(const wchar_t* builtFile, const wchar_t* name) {
    const std::wstring to = dir_ + L"\\" + name;
    if (!CopyFileW(BuiltFile(builtFile).c_str(), to.c_str(), FALSE)) return ready_ = false;
    files_.push_back(to);
    return true;
}

ProgramFolder::~ProgramFolder() {
    for (const std::wstring& f : files_) {
        // A program that just ended may still hold its image for a moment.
        for (int i = 0; i < 50 && !DeleteFileW(f.c_str()) && Exists(f); ++i) Sleep(100);
    }
    RemoveDirectoryW(dir_.c_str());
}

// ---------------------------------------------------------------------------------------------

StartedProgram::StartedProgram(const std::wstring& commandLine) {
    std::wstring line = commandLine;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    tolo::UniqueHandle thread(pi.hThread);
    process_.Reset(pi.hProcess);
    id_ = pi.dwProcessId;
}

StartedProgram::~StartedProgram() {
    if (Running()) {
        TerminateProcess(process_.Get(), 1);
        WaitForSingleObject(process_.Get(), 5000);
    }
}

bool StartedProgram::Running() const {
    return process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

DWORD StartedProgram::WaitForExit(DWORD timeoutMs) {
    if (!process_ || WaitForSingleObject(process_.Get(), timeoutMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.Get(), &code);
    return code;
}

// ---------------------------------------------------------------------------------------------

std::vector<ShownBox> MessageBoxesOf(DWORD process) {
    BoxSearch s{process, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

bool WaitForMessageBox(DWORD process, ShownBox* box, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        std::vector<ShownBox> shown = MessageBoxesOf(process);
        // Its text control is filled once the box is up.
        if (!shown.empty() && !shown[0].text.empty()) {
            *box = shown[0];
            return true;
        }
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(100);
    }
}

bool PressOk(const ShownBox& box) {
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    for (int i = 0; i < 100 && IsWindow(box.window); ++i) Sleep(100);
    return !IsWindow(box.window);
}

std::wstring BuiltFile(const wchar_t* fileName) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path, n);
    return p.substr(0, p.find_last_of(L'\\') + 1) + fileName;
}

HWND WaitForWindowOf(DWORD process, const wchar_t* windowClass, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        WindowSearch s{process, windowClass, nullptr};
        EnumWindows(FindWindowOf, reinterpret_cast<LPARAM>(&s));
        if (s.found) return s.found;
        if (GetTickCount() - start > timeoutMs) return nullptr;
        Sleep(100);
    }
}

}  // namespace test
