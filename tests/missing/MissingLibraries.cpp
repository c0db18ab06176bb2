#include "MissingLibraries.h"

#include "support/ProcessWindow.h"

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

bool IsMessageBox(HWND w) {
    wchar_t cls[32] = {};
    GetClassNameW(w, cls, 32);
    return std::wstring(cls) == L"#32770" && Shown(w);
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
    return away_ && CopyFileW(BuiltProgram(builtFile).c_str(), SystemPath(name_.c_str()).c_str(), FALSE);
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
    if (!CopyFileW(BuiltProgram(builtFile).c_str(), to.c_str(), FALSE)) return ready_ = false;
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

bool Shown(HWND window) {
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

std::vector<ShownBox> MessageBoxesOf(DWORD process) {
    std::vector<ShownBox> found;
    for (HWND w : WindowsOfProcess(process)) {
        if (!IsMessageBox(w)) continue;
        // The message box's text is the static control with the id 0xFFFF.
        HWND text = GetDlgItem(w, 0xFFFF);
        found.push_back({w, WindowText(w), text ? WindowText(text) : std::wstring()});
    }
    return found;
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

}  // namespace test

namespace test {

UnseenDesktop::UnseenDesktop() {
    station_ = CreateWindowStationW(kStation, 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station_) return;
    // A desktop is made in the process's window station.
    HWINSTA own = GetProcessWindowStation();
    if (SetProcessWindowStation(station_)) {
        desktop_ = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
        SetProcessWindowStation(own);
    }
}

UnseenDesktop::~UnseenDesktop() {
    if (desktop_) CloseDesktop(desktop_);
    if (station_) CloseWindowStation(station_);
}

bool UnseenDesktop::Unseen() const {
    USEROBJECTFLAGS flags{};
    return desktop_ && GetUserObjectInformationW(station_, UOI_FLAGS, &flags, sizeof(flags), nullptr) &&
           !(flags.dwFlags & WSF_VISIBLE);
}

}  // namespace test
