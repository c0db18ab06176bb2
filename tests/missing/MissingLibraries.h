// The programs run with one of the maker's libraries taken away: a program copied into a folder of
// its own without the library beside it, or the library moved out of the system folder for a
// while; and what the running program then shows (its windows and message boxes).
#pragma once

#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "support/StartedProgram.h"

namespace test {

// Moves a library out of the system folder (where every program of the prefix looks for it) for
// the life of the object, and back when it ends. A library that a test left aside (one killed half
// way) is put back before it is moved again.
class SystemLibraryAway {
public:
    explicit SystemLibraryAway(const wchar_t* fileName);
    ~SystemLibraryAway();
    SystemLibraryAway(const SystemLibraryAway&) = delete;
    SystemLibraryAway& operator=(const SystemLibraryAway&) = delete;
    bool Away() const { return away_; }
    // Puts a built library of another kind in its place, under its name: a library that loads but
    // lacks the expected exports.
    bool ReplaceWith(const wchar_t* builtFile);

    static std::wstring SystemPath(const wchar_t* fileName);
    // Puts back a library left aside (over whatever took its place); true when a library is in
    // place afterwards.
    static bool PutBack(const wchar_t* fileName);

private:
    std::wstring name_;
    bool away_ = false;
};

// A folder of its own with a copy of a built program and of the chosen files built beside it;
// removed with the object.
class ProgramFolder {
public:
    ProgramFolder(const wchar_t* program, std::initializer_list<const wchar_t*> beside);
    ~ProgramFolder();
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;
    // Copies another built file in under the given name.
    bool CopyAs(const wchar_t* builtFile, const wchar_t* name);
    bool Ready() const { return ready_; }
    const std::wstring& Program() const { return program_; }

private:
    std::wstring dir_, program_;
    std::vector<std::wstring> files_;
    bool ready_ = false;
};

// Whether a window is shown, on whichever desktop: IsWindowVisible also asks the desktop, and a
// desktop of a window station that no user sees is never visible.
bool Shown(HWND window);

// A message box of another process, as a user sees it.
struct ShownBox {
    HWND window;
    std::wstring caption, text;
};
// The message boxes a process shows now, on any desktop.
std::vector<ShownBox> MessageBoxesOf(DWORD process);
// Waits up to timeoutMs for a message box of the process; false when none came.
bool WaitForMessageBox(DWORD process, ShownBox* box, DWORD timeoutMs);
// Answers it with its OK button and waits until it is gone.
bool PressOk(const ShownBox& box);

// A desktop in a window station of the test's own, which no user sees, as an installed service's:
// a program started on it (StartedProgram::Options::desktop) has nobody to answer a message box.
class UnseenDesktop {
public:
    UnseenDesktop();
    ~UnseenDesktop();
    UnseenDesktop(const UnseenDesktop&) = delete;
    UnseenDesktop& operator=(const UnseenDesktop&) = delete;
    // Made, and its window station not a visible one.
    bool Unseen() const;
    const wchar_t* Name() const { return L"QuilUnseen\\Default"; }

private:
    static constexpr const wchar_t* kStation = L"QuilUnseen";
    HWINSTA station_ = nullptr;
    HDESK desktop_ = nullptr;
};

}  // namespace test
