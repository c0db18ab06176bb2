// Shared by the restore tests: the board they run on, the registry value that directs the
// restore, and the chip's monitor registers as one image.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fancore/FanPoint.h"
#include "support/Capture.h"
#include "support/ServiceState.h"

class QuilFanControl;

namespace test {

// An ITE IT8721 under a product of neither known line: the generic fan set, one Super I/O fan per
// declared header (the CPU and chassis headers), each recording the user profile as its current
// one. The firmware's GPIO34 and IsChangeFan settings are added by the tests that need them.
extern const std::string kRestoreBoard;

// "BIOS fan patch" under HKEY_LOCAL_MACHINE (SetPatchValue: support/ServiceState.h).
void DeletePatchKey();
void CreatePatchKey();  // the key without the value
void SetPatchString(const wchar_t* text);
bool PatchKeyExists();
// The DWORD value, or -1 when it is missing or of another type.
long PatchValue();

// Every monitor register of every bank.
using Registers = std::vector<uint8_t>;
Registers ChipRegisters();
void SetChipRegisters(const Registers& registers);
// The registers that differ, as "bank:reg a->b" for failure messages.
std::string DescribeDifference(const Registers& expected, const Registers& actual);

// A user curve that differs per fan and that the chip's conversion keeps as it is.
FanPoints UserCurve(int fan);
FanPoints UserPoints(QuilFanControl* fan);
// Every fan saves and runs its user curve, with step-up time 3 and step-down time 4, which the
// restore must give back.
void ApplyUserCurves(const std::vector<QuilFanControl*>& fans);
// Fan `index` of the board: its user curve saved, a standard profile running; the chip's curve.
FanPoints SaveUserCurveAndRunStandard(QuilFanControl* fan, int index);

// Read from a settings file as it is on the disk: a fan's user curve ("curvedata") and one of its
// values (-1 when missing).
FanPoints StoredCurve(const std::string& file, int fanKey);
int StoredFanValue(const std::string& file, int fanKey, const char* name);
int StoredTopValue(const std::string& file, const char* name);
// The key of the element that holds a fan's user curve: on ITE chips the user profile stores it
// under the fan's BIOS mode item, not under the fan's own key.
int UserCurveKey(QuilFanControl* fan);
// The key of the fan's own element (its step times, modes and sources).
int FanElementKey(QuilFanControl* fan);

size_t CountLines(const TraceCapture& traces, const std::wstring& text);

}  // namespace test
