// What the automation tests share: late-bound calls that return what a script receives, the
// files and registry values the service leaves, and the ITE SmartGuardian registers of a fan.
#pragma once

#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "LateBound.h"
#include "fancore/FanPoint.h"
#include "fancore/IteDataConverter.h"
#include "system/Handles.h"

namespace test {

// An IT8721 board with the CPU and system fan headers of the firmware, each with its mode item
// and the sub-item that records the profile; the board is not one the service knows, so it takes
// the fans the firmware declares.
inline const char kTwoFanIteBoard[] = R"(
product "QX-H61 AUTOMATION"
chip 0x8721 0x03
mbif 1 2 3 4 5 6 7 8
item 0x04070010 value 1 desc "CPU FAN" 0 0 0 1 3
item 0x04080011 value 0 desc "CPU FAN PROFILE" 0 0 0 1 3
item 0x04070070 value 1 desc "SYSTEM FAN" 0 0 0 1 3
item 0x04080071 value 0 desc "SYSTEM FAN PROFILE" 0 0 0 1 3
)";

// A member's result as an object; null (and a failed expectation) when the call fails.
tolo::ComPtr<IDispatch> Object(IDispatch* object, const wchar_t* name,
                               std::initializer_list<VARIANT> args = {});
// A member's result converted to a long, or to a text.
long Long(IDispatch* object, const wchar_t* name, std::initializer_list<VARIANT> args = {});
std::wstring Text(IDispatch* object, const wchar_t* name);
// A method called with an object argument; its result as a long.
long CallWith(IDispatch* object, const wchar_t* name, IDispatch* argument, HRESULT* hr = nullptr);
VARIANT Dispatch(IDispatch* object);

// The points of a curve object, read by name as a late-bound client does.
FanPoints CurvePoints(IDispatch* curve);
// Sets each point's Speed from the list.
void SetSpeeds(IDispatch* curve, const std::vector<long>& speeds);

// The service's settings store beside its executable.
std::wstring FanStorePath();
// Every "curvedata" curve of the store's fans, in file order.
std::vector<FanPoints> StoredUserCurves();
// The text of one value of a fan element, by its path below the fan ("multisourceindex/source_0");
// the first fan that has it, "" when none has.
std::string StoredFanValue(const std::string& path);

// The registry value that tells the restore to re-apply the fans' settings.
bool ReadBiosFanPatch(DWORD* value);
void DeleteBiosFanPatch();

// The maker's utility suite, as the service looks for it.
void InstallSuite(bool installed);

// The SmartGuardian block of the IT8721's CPU fan controller, and its curve registers.
constexpr uint8_t kCpuFanBlock = 0x60;
IteRegisterImage ChipCurve(uint8_t block);
// What the chip holds for a curve of the IT8721's user profile.
IteRegisterImage ExpectedChipCurve(const FanPoints& points);
void ExpectSameCurve(const IteRegisterImage& want, const IteRegisterImage& got);

}  // namespace test
