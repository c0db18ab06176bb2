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
#include "support/IteBoards.h"
#include "support/ServiceState.h"
#include "system/Handles.h"

namespace test {

// The two-fan IT8721 board (the sub-items record the manual profile).
inline const std::string kTwoFanIteBoard = TwoFanIteBoard({"QX-H61 AUTOMATION"});

// A member's result as an object; null (and a failed expectation) when the call fails.
tolo::ComPtr<IDispatch> Object(IDispatch* object, const wchar_t* name,
                               std::initializer_list<VARIANT> args = {});
// A member's result converted to a long, or to a text.
long Long(IDispatch* object, const wchar_t* name, std::initializer_list<VARIANT> args = {});
std::wstring Text(IDispatch* object, const wchar_t* name);
// A method called with an object argument; its result as a long.
long CallWith(IDispatch* object, const wchar_t* name, IDispatch* argument, HRESULT* hr = nullptr);
VARIANT Dispatch(IDispatch* object);

// The error a script sees for a late-bound call: the member's own failure.
HRESULT ScriptError(IDispatch* object, const wchar_t* name, WORD flags, std::initializer_list<VARIANT> args);

// The points of a curve object, read by name as a late-bound client does.
FanPoints CurvePoints(IDispatch* curve);
// Sets each point's Speed from the list.
void SetSpeeds(IDispatch* curve, const std::vector<long>& speeds);
// Sets the curve's first points from the list: Temperature and Speed of those it has, AddPoint
// for more.
void SetPoints(IDispatch* curve, const FanPoints& points);

// Every "curvedata" curve of the store's fans, in file order.
std::vector<FanPoints> StoredUserCurves();
// The text of one value of a fan element, by its path below the fan ("multisourceindex/source_0");
// the first fan that has it, "" when none has.
std::string StoredFanValue(const std::string& path);

// The maker's utility suite, as the service looks for it.
void InstallSuite(bool installed);

// The SmartGuardian block of the IT8721's CPU fan controller, and its curve registers.
constexpr uint8_t kCpuFanBlock = 0x60;
IteRegisterImage ChipCurve(uint8_t block);
// What the chip holds for a curve of the IT8721's user profile.
IteRegisterImage ExpectedChipCurve(const FanPoints& points);
void ExpectSameCurve(const IteRegisterImage& want, const IteRegisterImage& got);

}  // namespace test
