// The fans, profiles and curves of the real QuilFanControlService.exe, as clients in another
// process see them: C++ through IDispatch by name (and through the interfaces where a test needs
// the HRESULT itself) and VBScript run by cscript, on a simulated ITE IT8721 board with two fan
// headers. What they change is looked for in the chip, in FanStore.xml and in the registry.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "AutomationClient.h"
#include "EventSink.h"
#include "QuilFanControlService_i.h"
#include "ServerFixture.h"
#include "support/ChipLog.h"

namespace {

using test::I4;

const std::string& kBoard = test::kTwoFanIteBoard;

constexpr long kUserPosition = 4;

using test::ChipCurve;
using test::ExpectedChipCurve;
using test::ExpectSameCurve;
using test::kCpuFanBlock;

class FanAutomationTest : public test::ServerTest {
protected:
    std::string BoardText() const override { return kBoard; }

    void SetUp() override {
        test::ServerTest::SetUp();
        if (HasFatalFailure()) return;
        test::ForgetServiceState();
        test::InstallSuite(SuiteInstalled());
        ASSERT_EQ(0u, test::RunService(L"/RegServer").exitCode);
        ASSERT_NO_FATAL_FAILURE(ConnectManager());
    }
    void TearDown() override {
        Disconnect();
        controls_.Reset();
        manager_.Reset();
        test::ServerTest::TearDown();
        // Other tests of the service start from a store of their own.
        test::ForgetServiceState();
        test::InstallSuite(false);
    }

    virtual bool SuiteInstalled() const { return false; }

    void ConnectManager() {
        ASSERT_EQ(S_OK, test::CreateManager(manager_.Put()));
        controls_ = test::Object(manager_.Get(), L"Controls");
        ASSERT_TRUE(controls_);
    }
    // The service ends with its last client; the next ConnectManager starts it again.
    void EndService() {
        Disconnect();
        controls_.Reset();
        manager_.Reset();
        ASSERT_TRUE(test::WaitUntilNoProcessNamed(test::kServiceExe, 30000)) << "the server did not end";
    }

    tolo::ComPtr<IDispatch> Fan(long position) {
        return test::Object(controls_.Get(), L"Item", {I4(position)});
    }
    tolo::ComPtr<IFanControl> EarlyBound(IDispatch* fan) {
        tolo::ComPtr<IFanControl> early;
        EXPECT_EQ(S_OK, fan->QueryInterface(IID_IFanControl, early.PutVoid()));
        return early;
    }
    tolo::ComPtr<IDispatch> UserCurve(IDispatch* fan) {
        tolo::ComPtr<IDispatch> profiles = test::Object(fan, L"Profiles");
        tolo::ComPtr<IDispatch> user = test::Object(profiles.Get(), L"Item", {I4(kUserPosition)});
        return test::Object(user.Get(), L"FanCurve");
    }
    HRESULT ApplyUser(IDispatch* fan) {
        return test::Call(fan, L"ApplyIndex", DISPATCH_METHOD, {I4(kUserPosition)}, nullptr);
    }
    // A four-point user curve saved and run, then a standard profile selected: the current curve
    // is that profile's alone, and passed back unchanged it is taken by every member that runs a
    // curve, and running it leaves the chip and FanStore.xml as they were.
    void ExpectCurrentCurveRunsBackUnchanged(IDispatch* fan, const FanPoints& user, long standard) {
        tolo::ComPtr<IDispatch> curve = UserCurve(fan);
        test::SetPoints(curve.Get(), user);
        EXPECT_EQ(1, test::CallWith(test::Object(fan, L"Profiles").Get(), L"SaveUserProfile", curve.Get()));
        EXPECT_EQ(S_OK, ApplyUser(fan));
        EXPECT_EQ(S_OK, test::Call(fan, L"ApplyIndex", DISPATCH_METHOD, {I4(standard)}, nullptr));
        tolo::ComPtr<IDispatch> current = test::Object(fan, L"CurrentFanCurve");
        const FanPoints points = test::CurvePoints(current.Get());
        const std::string store = test::ReadTextFile(test::FanStorePath());
        std::vector<uint8_t> chip;
        for (int bank = 0; bank < 8; ++bank)
            for (int reg = 0; reg < 256; ++reg) chip.push_back(sim::MonitorRead(bank, reg));
        for (const wchar_t* member : {L"ApplyFanCurve", L"ApplyFanCurveButNotSave"})
            EXPECT_EQ(1, test::CallWith(fan, member, current.Get())) << member;
        EXPECT_EQ(points, test::CurvePoints(test::Object(fan, L"CurrentFanCurve").Get()));
        EXPECT_EQ(store, test::ReadTextFile(test::FanStorePath()));
        for (int bank = 0, at = 0; bank < 8; ++bank)
            for (int reg = 0; reg < 256; ++reg, ++at)
                EXPECT_EQ(chip[at], sim::MonitorRead(bank, reg)) << "bank " << bank << " register " << reg;
        // A fixed duty and the normalised form of it are taken too.
        for (const wchar_t* member : {L"SetFanDuty", L"NormalizeFanCurve"})
            EXPECT_EQ(1, test::CallWith(fan, member, current.Get())) << member;
        EXPECT_EQ(1, test::CallWith(test::Object(fan, L"Profiles").Get(), L"SaveUserProfile", current.Get()));
    }

    void Connect() {
        tolo::ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, manager_->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()));
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID__IFanControlManagerEvents, point_.Put()));
        ASSERT_EQ(S_OK, point_->Advise(&sink_, &cookie_));
    }
    void Disconnect() {
        if (point_ && cookie_) point_->Unadvise(cookie_);
        point_.Reset();
        cookie_ = 0;
    }

    tolo::ComPtr<IDispatch> manager_, controls_;
    test::EventSink sink_;
    tolo::ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

TEST_F(FanAutomationTest, FansComeInTheFirmwaresOrderByItemAndByEnumeration) {
    ASSERT_EQ(2, test::Long(controls_.Get(), L"Count"));
    tolo::ComPtr<IDispatch> cpu = Fan(0), system = Fan(1);
    ASSERT_TRUE(cpu && system);
    EXPECT_EQ(0x04070010, test::Long(cpu.Get(), L"Id"));
    EXPECT_EQ(0x04070070, test::Long(system.Get(), L"Id"));
    EXPECT_FALSE(test::Text(cpu.Get(), L"Name").empty());

    // The enumerator (asked by its DISPID, as For Each does) hands out the same objects, in order.
    VARIANT result;
    DISPPARAMS none{};
    ASSERT_EQ(S_OK,
              controls_->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT,
                                DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &result, nullptr, nullptr));
    ASSERT_TRUE(result.vt == VT_UNKNOWN || result.vt == VT_DISPATCH);
    tolo::ComPtr<IEnumVARIANT> walker;
    ASSERT_EQ(S_OK, result.punkVal->QueryInterface(IID_IEnumVARIANT, walker.PutVoid()));
    VariantClear(&result);
    std::vector<tolo::ComPtr<IUnknown>> seen;
    VARIANT item;
    ULONG fetched = 0;
    while (walker->Next(1, &item, &fetched) == S_OK && fetched == 1) {
        EXPECT_EQ(VT_DISPATCH, item.vt);
        tolo::ComPtr<IUnknown> identity;
        item.pdispVal->QueryInterface(IID_IUnknown, identity.PutVoid());
        seen.push_back(identity);
        VariantClear(&item);
    }
    ASSERT_EQ(2u, seen.size());
    tolo::ComPtr<IUnknown> first, second;
    cpu->QueryInterface(IID_IUnknown, first.PutVoid());
    system->QueryInterface(IID_IUnknown, second.PutVoid());
    EXPECT_EQ(first.Get(), seen[0].Get());
    EXPECT_EQ(second.Get(), seen[1].Get());

    // A second client's collection is the same object.
    tolo::ComPtr<IDispatch> other;
    ASSERT_EQ(S_OK, test::CreateManager(other.Put()));
    tolo::ComPtr<IDispatch> otherControls = test::Object(other.Get(), L"Controls");
    tolo::ComPtr<IUnknown> a, b;
    controls_->QueryInterface(IID_IUnknown, a.PutVoid());
    otherControls->QueryInterface(IID_IUnknown, b.PutVoid());
    EXPECT_EQ(a.Get(), b.Get());
}

TEST_F(FanAutomationTest, ItemOutsideTheListIsAnErrorNotAFan) {
    tolo::ComPtr<IFanControlCollection> early;
    ASSERT_EQ(S_OK, controls_->QueryInterface(IID_IFanControlCollection, early.PutVoid()));
    tolo::ComPtr<IFanControl> fan;
    EXPECT_EQ(E_INVALIDARG, early->get_Item(2, fan.Put()));
    EXPECT_FALSE(fan);
    EXPECT_EQ(E_INVALIDARG, early->get_Item(-1, fan.Put()));
    EXPECT_FALSE(fan);
    VARIANT v;
    EXPECT_TRUE(FAILED(test::Get(controls_.Get(), L"Item", &v, {I4(2)})));
    // A text where the index belongs is converted by the dispatch, or refused: never a crash.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = SysAllocString(L"not a number");
    EXPECT_TRUE(FAILED(test::Get(controls_.Get(), L"Item", &v, {text})));
    VariantClear(&text);
    EXPECT_EQ(2, test::Long(controls_.Get(), L"Count"));
}

TEST_F(FanAutomationTest, TuningValuesAreStoredUnlessTheClientSaysNotTo) {
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"StepUpTime", I4(7)));
    EXPECT_EQ(7, test::Long(fan.Get(), L"StepUpTime"));
    EXPECT_EQ("7", test::StoredFanValue("stepuptime"));

    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"StepUpTimeButNotSave", I4(9)));
    EXPECT_EQ(9, test::Long(fan.Get(), L"StepUpTime"));
    EXPECT_EQ("7", test::StoredFanValue("stepuptime"));

    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"RpmTolerance", I4(3)));
    EXPECT_EQ(3, test::Long(fan.Get(), L"RpmTolerance"));
    EXPECT_EQ("3", test::StoredFanValue("tolerance"));

    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    name.bstrVal = SysAllocString(L"Pump");
    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"DisplayName", name));
    VariantClear(&name);
    EXPECT_EQ(L"Pump", test::Text(fan.Get(), L"DisplayName"));
    EXPECT_EQ("Pump", test::StoredFanValue("fanname"));
    EXPECT_NE(L"Pump", test::Text(fan.Get(), L"Name"));
}

TEST_F(FanAutomationTest, DutyCycleGoesToTheChipUnderTheLock) {
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    uint32_t from = sim::NextWriteSeq();
    VARIANT duty;
    VariantInit(&duty);
    duty.vt = VT_UI1;
    duty.bVal = 128;
    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"DutyCycle", duty));
    EXPECT_FALSE(test::MonitorWrites(from).empty()) << "no register written";
    EXPECT_TRUE(test::AllWritesLocked(from));
    long read = test::Long(fan.Get(), L"DutyCycle");
    EXPECT_GE(read, 0);
    EXPECT_LE(read, 255);
}

// Only VARIANT_TRUE is true: an early-bound 1 turns RPM mode off, while the dispatch turns a
// late-bound integer 1 into VARIANT_TRUE.
TEST_F(FanAutomationTest, EnableRpmModeEarlyAndLateBound) {
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IFanControl> early = EarlyBound(fan.Get());
    ASSERT_TRUE(early);

    EXPECT_EQ(S_OK, test::Call(fan.Get(), L"EnableRpmMode", DISPATCH_METHOD, {I4(1)}, nullptr));
    VARIANT v;
    ASSERT_EQ(S_OK, test::Get(fan.Get(), L"IsRpmMode", &v));
    EXPECT_EQ(VT_BOOL, v.vt);
    EXPECT_EQ(VARIANT_TRUE, v.boolVal);
    EXPECT_EQ("1", test::StoredFanValue("rpmmode"));

    EXPECT_EQ(S_OK, early->EnableRpmMode(1));
    VARIANT_BOOL on = VARIANT_TRUE;
    EXPECT_EQ(S_OK, early->get_IsRpmMode(&on));
    EXPECT_EQ(VARIANT_FALSE, on);
    EXPECT_EQ("0", test::StoredFanValue("rpmmode"));
}

TEST_F(FanAutomationTest, ThermalWeightsAndSourcesAreCopiesWithCheckedIndexes) {
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IFanControl> early = EarlyBound(fan.Get());
    tolo::ComPtr<IThermalWeights> weights;
    ASSERT_EQ(S_OK, early->get_ThermalWeights(weights.Put()));
    LONG count = -1;
    ASSERT_EQ(S_OK, weights->get_Count(&count));
    LONG value = 0;
    EXPECT_EQ(E_UNEXPECTED, weights->get_Item(count, &value));
    EXPECT_EQ(E_UNEXPECTED, weights->put_Item(-1, 5));
    EXPECT_EQ(S_OK, early->put_ThermalWeights(nullptr));
    tolo::ComPtr<IThermalWeights> same;
    ASSERT_EQ(S_OK, early->get_ThermalWeights(same.Put()));
    LONG again = -1;
    EXPECT_EQ(S_OK, same->get_Count(&again));
    EXPECT_EQ(count, again);
    tolo::ComPtr<IUnknown> none;
    EXPECT_EQ(S_OK, weights->get__NewEnum(none.Put()));
    EXPECT_FALSE(none);

    tolo::ComPtr<IMultiFanSource> sources;
    ASSERT_EQ(S_OK, early->get_MultiFanSource(sources.Put()));
    EXPECT_EQ(S_OK, sources->Clear());
    EXPECT_EQ(S_OK, sources->Add(3));
    EXPECT_EQ(S_OK, sources->Add(5));
    ASSERT_EQ(S_OK, sources->get_Count(&count));
    EXPECT_EQ(2, count);
    EXPECT_EQ(S_OK, sources->get_Item(1, &value));
    EXPECT_EQ(5, value);
    EXPECT_EQ(E_UNEXPECTED, sources->get_Item(2, &value));
    EXPECT_EQ(S_OK, sources->put_Item(0, 4));
    EXPECT_EQ(S_OK, sources->get_Item(0, &value));
    EXPECT_EQ(4, value);
}

// The box tool's road: the user profile's curve with new speeds, normalised, saved, selected.
TEST_F(FanAutomationTest, BoxToolRoadStoresAppliesAndAnnouncesTheUserCurve) {
    Connect();
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IDispatch> profiles = test::Object(fan.Get(), L"Profiles");
    long count = test::Long(profiles.Get(), L"Count");
    ASSERT_EQ(5, count);
    tolo::ComPtr<IDispatch> curve = UserCurve(fan.Get());
    ASSERT_TRUE(curve);
    FanPoints before = test::CurvePoints(curve.Get());
    ASSERT_EQ(3u, before.size());
    test::SetSpeeds(curve.Get(), {102, 178, 255});
    EXPECT_EQ(1, test::CallWith(fan.Get(), L"NormalizeFanCurve", curve.Get()));
    FanPoints normalised = test::CurvePoints(curve.Get());
    // Normalising changes only the client's curve.
    EXPECT_EQ(before, test::CurvePoints(UserCurve(fan.Get()).Get()));
    EXPECT_TRUE(sink_.events.empty());

    EXPECT_EQ(1, test::CallWith(profiles.Get(), L"SaveUserProfile", curve.Get()));
    std::vector<FanPoints> stored = test::StoredUserCurves();
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(normalised, stored[0]);
    DWORD patch = 0;
    EXPECT_FALSE(test::ReadPatchValue(&patch)) << "saving set the patch value";
    EXPECT_TRUE(sink_.events.empty());

    uint32_t from = sim::NextWriteSeq();
    EXPECT_EQ(S_OK, test::Call(fan.Get(), L"ApplyIndex", DISPATCH_METHOD, {I4(count - 1)}, nullptr));
    ExpectSameCurve(ExpectedChipCurve(normalised), ChipCurve(kCpuFanBlock));
    EXPECT_TRUE(test::AllWritesLocked(from));
    ASSERT_TRUE(test::ReadPatchValue(&patch));
    EXPECT_EQ(1u, patch);
    EXPECT_EQ(std::vector<long>{4}, sink_.events);
    // The firmware's record of the selection: the mode item says "profile", its sub-item which.
    EXPECT_EQ(1, sim::FindItem(0x04070010)->value);
    EXPECT_EQ(3, sim::FindItem(0x04080011)->value);
    EXPECT_EQ(kUserPosition, test::Long(profiles.Get(), L"Current"));
}

TEST_F(FanAutomationTest, ApplyIndexOutsideTheListSelectsNothing) {
    Connect();
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IFanControl> early = EarlyBound(fan.Get());
    uint32_t from = sim::NextWriteSeq();
    EXPECT_EQ(E_FAIL, early->ApplyIndex(5));
    EXPECT_EQ(E_FAIL, early->ApplyIndex(-1));
    EXPECT_TRUE(sim::Writes(from).empty());
    EXPECT_TRUE(sink_.events.empty());
    DWORD patch = 0;
    EXPECT_FALSE(test::ReadPatchValue(&patch));
}

// ApplyFanCurve drives the fan with the client's curve while the profile keeps its points; the
// not-saved form keeps the new points in memory.
TEST_F(FanAutomationTest, AppliedCurvesRunInTheChipAndOnlyTheNotSavedOneStaysInTheProfile) {
    Connect();
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    FanPoints profile = test::CurvePoints(UserCurve(fan.Get()).Get());
    tolo::ComPtr<IDispatch> curve = UserCurve(fan.Get());
    test::SetSpeeds(curve.Get(), {90, 160, 255});
    EXPECT_EQ(1, test::CallWith(fan.Get(), L"NormalizeFanCurve", curve.Get()));
    FanPoints applied = test::CurvePoints(curve.Get());
    ASSERT_NE(profile, applied);

    EXPECT_EQ(1, test::CallWith(fan.Get(), L"ApplyFanCurve", curve.Get()));
    ExpectSameCurve(ExpectedChipCurve(applied), ChipCurve(kCpuFanBlock));
    EXPECT_EQ(profile, test::CurvePoints(UserCurve(fan.Get()).Get()));
    EXPECT_TRUE(test::StoredUserCurves().empty() || test::StoredUserCurves()[0] != applied);
    DWORD patch = 0;
    EXPECT_FALSE(test::ReadPatchValue(&patch));

    EXPECT_EQ(1, test::CallWith(fan.Get(), L"ApplyFanCurveButNotSave", curve.Get()));
    EXPECT_EQ(applied, test::CurvePoints(UserCurve(fan.Get()).Get()));
    EXPECT_TRUE(test::StoredUserCurves().empty() || test::StoredUserCurves()[0] != applied);
    EXPECT_EQ((std::vector<long>{4, 4}), sink_.events);
}

TEST_F(FanAutomationTest, SetFanDutyAnnouncesTheUserPositionAndSetsThePatch) {
    Connect();
    tolo::ComPtr<IDispatch> fan = Fan(1);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IDispatch> curve = UserCurve(fan.Get());
    FanPoints profile = test::CurvePoints(curve.Get());
    test::SetSpeeds(curve.Get(), {120, 200, 255});
    EXPECT_EQ(1, test::CallWith(fan.Get(), L"SetFanDuty", curve.Get()));
    EXPECT_EQ(std::vector<long>{4}, sink_.events);
    DWORD patch = 0;
    ASSERT_TRUE(test::ReadPatchValue(&patch));
    EXPECT_EQ(1u, patch);
    EXPECT_EQ(profile, test::CurvePoints(UserCurve(fan.Get()).Get()));
}

TEST_F(FanAutomationTest, CurveMembersRefuseAMissingCurve) {
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IFanControl> early = EarlyBound(fan.Get());
    ULONG done = 7;
    uint32_t from = sim::NextWriteSeq();
    EXPECT_EQ(E_POINTER, early->ApplyFanCurve(nullptr, &done));
    EXPECT_EQ(0u, done);
    EXPECT_EQ(E_POINTER, early->SetFanDuty(nullptr, &done));
    EXPECT_EQ(E_POINTER, early->NormalizeFanCurve(nullptr, &done));
    EXPECT_TRUE(sim::Writes(from).empty());
}

TEST_F(FanAutomationTest, CurrentFanCurveFollowsTheSelectedProfile) {
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IDispatch> curve = UserCurve(fan.Get());
    test::SetSpeeds(curve.Get(), {100, 170, 255});
    EXPECT_EQ(1, test::CallWith(fan.Get(), L"NormalizeFanCurve", curve.Get()));
    FanPoints applied = test::CurvePoints(curve.Get());
    EXPECT_EQ(1, test::CallWith(fan.Get(), L"ApplyFanCurve", curve.Get()));
    tolo::ComPtr<IDispatch> current = test::Object(fan.Get(), L"CurrentFanCurve");
    EXPECT_EQ(applied, test::CurvePoints(current.Get()));
    // The same object every time, refilled.
    tolo::ComPtr<IDispatch> again = test::Object(fan.Get(), L"CurrentFanCurve");
    tolo::ComPtr<IUnknown> a, b;
    current->QueryInterface(IID_IUnknown, a.PutVoid());
    again->QueryInterface(IID_IUnknown, b.PutVoid());
    EXPECT_EQ(a.Get(), b.Get());
}

// A Nuvoton NCT6791 under the same firmware: the CPU fan's curve lives in bank 2.
class NuvotonCurveTest : public FanAutomationTest {
protected:
    std::string BoardText() const override {
        return test::TwoFanIteBoard({.product = "QX-Z97 AUTOMATION", .chip = "0xC803 0"});
    }
    // Temperatures 0x21-0x24, then duties 0x27-0x2A.
    static std::vector<int> CpuFanCurveRegisters() {
        std::vector<int> values;
        for (uint8_t reg : {0x21, 0x22, 0x23, 0x24, 0x27, 0x28, 0x29, 0x2A})
            values.push_back(sim::MonitorRead(2, reg));
        return values;
    }
};

// The chip runs all four points of a user curve, and so does the restore after a restart of the
// service: clients read the same four points before and after.
TEST_F(NuvotonCurveTest, AFourPointUserCurveRunsWholeBeforeAndAfterARestart) {
    const FanPoints four = {{10, 20}, {20, 40}, {30, 60}, {90, 80}};
    const std::vector<int> chip = {10, 20, 30, 90, 20, 40, 60, 80};
    const auto clientsRead = [&](const char* when) {
        tolo::ComPtr<IDispatch> fan = Fan(0);
        ASSERT_TRUE(fan);
        EXPECT_EQ(four, test::CurvePoints(UserCurve(fan.Get()).Get())) << when;
        EXPECT_EQ(four, test::CurvePoints(test::Object(fan.Get(), L"CurrentFanCurve").Get())) << when;
        EXPECT_EQ(chip, CpuFanCurveRegisters()) << when;
        const std::vector<FanPoints> stored = test::StoredUserCurves();
        ASSERT_FALSE(stored.empty()) << when;
        EXPECT_EQ(four, stored[0]) << when;
    };
    {
        tolo::ComPtr<IDispatch> fan = Fan(0);
        ASSERT_TRUE(fan);
        tolo::ComPtr<IDispatch> curve = UserCurve(fan.Get());
        test::SetPoints(curve.Get(), four);
        EXPECT_EQ(
            1, test::CallWith(test::Object(fan.Get(), L"Profiles").Get(), L"SaveUserProfile", curve.Get()));
        EXPECT_EQ(S_OK, ApplyUser(fan.Get()));
    }
    clientsRead("before the restart");

    // The chip's curve as a power cycle leaves it; the restore puts the user curve back.
    ASSERT_NO_FATAL_FAILURE(EndService());
    Apply("hwm 2 0x21 0 0 0 0 0 0 0 0 0 0");
    ASSERT_NO_FATAL_FAILURE(ConnectManager());
    clientsRead("after the restart");

    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    ExpectCurrentCurveRunsBackUnchanged(fan.Get(), {{30, 50}, {40, 100}, {50, 150}, {60, 200}}, 3);
}

struct ThreePointChip {
    const char* name;
    const char* chip;
    uint8_t lowDutyRegister;  // the CPU fan's duty at its curve's first point
};

void PrintTo(const ThreePointChip& chip, std::ostream* out) {
    *out << chip.name;
}

// Chips that run three points of a curve and full duty past the last one, with the maker's suite
// installed: the service hands out curves of four points, the fourth at full duty.
class ThreePointChipTest : public FanAutomationTest, public ::testing::WithParamInterface<ThreePointChip> {
protected:
    std::string BoardText() const override {
        return test::TwoFanIteBoard({.product = "QX-H61 AUTOMATION", .chip = GetParam().chip});
    }
    bool SuiteInstalled() const override { return true; }
};

// A fourth point such a chip would not run is refused by every curve member, with nothing stored,
// sent or announced; the four-point forms the service hands out and the box tool's flat curve are
// taken and run.
TEST_P(ThreePointChipTest, AFourthPointTheChipWouldNotRunIsRefusedAndTheServicesOwnFormsAreTaken) {
    Connect();
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IDispatch> profiles = test::Object(fan.Get(), L"Profiles");
    const FanPoints own = test::CurvePoints(UserCurve(fan.Get()).Get());
    ASSERT_EQ(4u, own.size());
    const std::string store = test::ReadTextFile(test::FanStorePath());
    const uint32_t from = sim::NextWriteSeq();
    // A ramp past the third point, and full duty kept past a third point at full duty: the chip
    // runs the latter, but the profile would keep it, and the box tool's flat curve of it is a
    // ramp again.
    for (const FanPoints& refused : {FanPoints{{10, 20}, {20, 40}, {30, 60}, {40, 80}},
                                     FanPoints{{10, 20}, {20, 40}, {30, 255}, {40, 255}}}) {
        tolo::ComPtr<IDispatch> curve = UserCurve(fan.Get());
        test::SetPoints(curve.Get(), refused);
        for (const wchar_t* member :
             {L"ApplyFanCurve", L"ApplyFanCurveButNotSave", L"SetFanDuty", L"NormalizeFanCurve"})
            EXPECT_EQ(E_INVALIDARG,
                      test::ScriptError(fan.Get(), member, DISPATCH_METHOD, {test::Dispatch(curve.Get())}))
                << member;
        EXPECT_EQ(E_INVALIDARG, test::ScriptError(profiles.Get(), L"SaveUserProfile", DISPATCH_METHOD,
                                                  {test::Dispatch(curve.Get())}));
        EXPECT_EQ(refused, test::CurvePoints(curve.Get()));
    }
    EXPECT_EQ(own, test::CurvePoints(UserCurve(fan.Get()).Get()));
    EXPECT_EQ(store, test::ReadTextFile(test::FanStorePath()));
    EXPECT_TRUE(sim::Writes(from).empty());
    EXPECT_TRUE(sink_.events.empty());

    EXPECT_EQ(1, test::CallWith(profiles.Get(), L"SaveUserProfile", UserCurve(fan.Get()).Get()));
    EXPECT_EQ(1,
              test::CallWith(fan.Get(), L"ApplyFanCurve", test::Object(fan.Get(), L"CurrentFanCurve").Get()));
    // The box tool's road: every speed of the user curve the same, normalised, saved, selected.
    tolo::ComPtr<IDispatch> flat = UserCurve(fan.Get());
    test::SetSpeeds(flat.Get(), {102, 102, 102, 102});
    EXPECT_EQ(1, test::CallWith(fan.Get(), L"NormalizeFanCurve", flat.Get()));
    EXPECT_EQ(1, test::CallWith(profiles.Get(), L"SaveUserProfile", flat.Get()));
    EXPECT_EQ(S_OK, ApplyUser(fan.Get()));
    EXPECT_EQ(102, sim::MonitorRead(0, GetParam().lowDutyRegister));
    EXPECT_EQ((std::vector<long>{4, 4}), sink_.events);

    // Without the suite a standard profile's curve has three points, the user curve four.
    test::InstallSuite(false);
    ExpectCurrentCurveRunsBackUnchanged(fan.Get(), {{30, 50}, {50, 150}, {70, 200}, {70, 255}}, 3);
}

INSTANTIATE_TEST_SUITE_P(Chips, ThreePointChipTest,
                         ::testing::Values(ThreePointChip{"Fintek1007", "0x1007 0", 0xAD},
                                           ThreePointChip{"Fintek1118", "0x1118 0", 0xAD},
                                           ThreePointChip{"Ite8721", "0x8721 0x03", kCpuFanBlock + 3}),
                         [](const ::testing::TestParamInfo<ThreePointChip>& info) {
                             return std::string(info.param.name);
                         });

// A board whose firmware takes each fan's list of source sensors through an ACPI device.
class MultiSourceTest : public FanAutomationTest {
protected:
    std::string BoardText() const override {
        return std::string(kBoard) +
               "item 0x040D002B desc \"MULTI SOURCE\" 0 0 0 1 2\nbuffer 0x040D002B 00\n";
    }
    // The device buffer as the words the fan sent.
    static std::vector<int32_t> Sent() { return test::Words(0x040D002B); }
};

TEST_F(MultiSourceTest, SourcesGoToTheFirmwareAndAreStoredOnlyBySave) {
    tolo::ComPtr<IDispatch> fan = Fan(0);
    ASSERT_TRUE(fan);
    tolo::ComPtr<IDispatch> sources = test::Object(fan.Get(), L"MultiFanSource");
    ASSERT_TRUE(sources);
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Clear", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Add", DISPATCH_METHOD, {I4(7)}, nullptr));
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"ApplyButNotSave", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ((std::vector<int32_t>{0x04070010, 7, -1}), Sent());
    EXPECT_EQ("", test::StoredFanValue("multisourceindex/source_0"));

    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Item", DISPATCH_PROPERTYPUT, {I4(0), I4(3)}, nullptr));
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Add", DISPATCH_METHOD, {I4(5)}, nullptr));
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Save", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ((std::vector<int32_t>{0x04070010, 3, 5, -1}), Sent());
    EXPECT_EQ("3", test::StoredFanValue("multisourceindex/source_0"));
    EXPECT_EQ("5", test::StoredFanValue("multisourceindex/source_1"));
}

TEST_F(FanAutomationTest, VBScriptEnumeratesFansAndProfilesAndSetsValues) {
    test::ProgramResult script = RunScript(
        "Set m = CreateObject(\"QuilFanControlService.FanControlManager\")\r\n"
        "n = 0\r\n"
        "For Each f In m.Controls\r\n"
        "  n = n + 1\r\n"
        "  WScript.Echo \"fan \" & Hex(f.Id) & \" \" & f.Profiles.Count\r\n"
        "Next\r\n"
        "WScript.Echo \"count \" & n & \" \" & m.Controls.Count\r\n"
        "Set f = m.Controls.Item(1)\r\n"
        "f.StepDownTime = 12\r\n"
        "f.EnableRpmMode True\r\n"
        "WScript.Echo \"values \" & f.StepDownTime & \" \" & f.IsRpmMode\r\n"
        "Set c = f.Profiles.Item(4).FanCurve\r\n"
        "For Each p In c\r\n"
        "  p.Speed = 200\r\n"
        "Next\r\n"
        "WScript.Echo \"curve \" & TypeName(c) & \" \" & c.Count & \" \" & c.Item(0).Speed\r\n"
        "WScript.Echo \"saved \" & f.Profiles.SaveUserProfile(c)\r\n");
    ASSERT_TRUE(script.finished);
    EXPECT_EQ(0u, script.exitCode) << script.output;
    EXPECT_NE(std::string::npos, script.output.find("fan 4070010 5")) << script.output;
    EXPECT_NE(std::string::npos, script.output.find("fan 4070070 5")) << script.output;
    EXPECT_NE(std::string::npos, script.output.find("count 2 2")) << script.output;
    EXPECT_NE(std::string::npos, script.output.find("values 12 True")) << script.output;
    EXPECT_NE(std::string::npos, script.output.find("curve IFanCurve 3 200")) << script.output;
    EXPECT_NE(std::string::npos, script.output.find("saved 1")) << script.output;
    EXPECT_EQ("12", test::StoredFanValue("stepdowntime"));
}

}  // namespace
