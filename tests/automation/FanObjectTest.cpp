// The fan, profile and curve objects hosted in the test's apartment over a recording fan: what
// each member hands the fan and its profiles, the E_FAIL rule of the curve members, dual-mode
// curves, the suite's fourth point and the Boolean conventions, through the interfaces and
// through IDispatch; and a chip fan of the fan manager, whose tuning members and thermal weights
// reach their own chip registers and the EC's weights device.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <windows.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AutomationClient.h"
#include "EventSink.h"
#include "FanControl.h"
#include "FanControlManager.h"
#include "RestoreThread.h"
#include "fancore/EcFanControlManager.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/FintekFanEngine.h"
#include "fancore/QuilFanControl.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "support/ChipLog.h"
#include "system/DmiHelp.h"
#include "system/Handles.h"

namespace {

using test::I4;
using test::ScriptError;

// A profile that keeps its points; normalising lifts every duty to at least 60, takes the
// points as its own (as the user profiles of some chips do) and hands them back.
class RecordingProfile : public FanProfile {
public:
    explicit RecordingProfile(FanPoints points) : FanProfile(L"User"), points(std::move(points)) {}
    void GetPoints(FanPoints* out) const override { *out = points; }
    void SetPolygonal(const FanPoints& p) override { points = p; }
    void Normalize(FanPoints* p) override {
        for (FanPoint& point : *p) point.duty = point.duty < 60 ? 60 : point.duty;
        points = *p;
    }
    void Refresh() override {}
    bool Save() override {
        ++saves;
        return true;
    }
    bool Apply() override { return true; }

    FanPoints points;
    int saves = 0;
};

// The BIOS fan-curve device of fan type 0, listed in its group: every curve is then dual-mode.
const char kFanCurveDevice[] = "item 0x040D001D desc \"CURVE0\" 0 0 0 1 2\nbuffer 0x040D001D 00\n";

const FanPoints kUserPoints = {{30, 80}, {50, 150}, {70, 255}};
const FanPoints kSecondPoints = {{35, 90}, {55, 160}, {75, 250}};

// A fan with `count` profiles; the last is the user profile, which may carry a second curve.
class RecordingFan : public QuilFanControl {
public:
    explicit RecordingFan(int count) : QuilFanControl(nullptr) {
        for (int i = 0; i < count; ++i)
            profiles.push_back(
                std::make_unique<RecordingProfile>(FanPoints{{20 + i, 10 * i}, {40, 100}, {60, 200}}));
        if (count > 0) {
            profiles.back()->points = kUserPoints;
            auto second = std::make_unique<RecordingProfile>(kSecondPoints);
            secondProfile = second.get();
            profiles.back()->SetSecondProfile(std::move(second));
            m_curve = kUserPoints;
        }
    }
    bool Initialize() override { return true; }
    FanProfile* GetProfile(int index) override { return profiles[index].get(); }
    int GetProfileCount() override { return static_cast<int>(profiles.size()); }
    void SelectProfile(int index) override { selected.push_back(index); }
    bool SaveProfile(int index) override {
        saved.push_back(index);
        return profiles[index]->Save();
    }
    void SelectProfileKeepBios(int index) override {
        keptBios.push_back(index);
        profiles[index]->GetPoints(&appliedPoints);
        m_curve = appliedPoints;
        dutyFlagWhileApplying = g_applyingFanDuty;
    }
    int GetCurrentProfileIndex() override { return current; }
    void NormalizeFanCurve(FanPoints* points) override { profiles.back()->Normalize(points); }
    void GetName(std::string* name) override { *name = "CPU FAN"; }
    void GetDisplayName(std::string* name) override { *name = displayName; }
    bool SetDisplayName(const std::string& name) override {
        displayName = name;
        return true;
    }
    bool EnableRpmMode(bool on) override {
        rpm = on;
        return true;
    }
    bool IsRpmMode() override { return rpm; }
    bool GetEcFanOff() override { return ecFanOff; }
    void SetEcFanStop(bool on) override { ecFanOff = on; }
    void EnableManualMode(int position, bool on) override {
        manualPosition = position;
        manual = on;
    }

    RecordingProfile* User() { return profiles.back().get(); }
    void SetCurve(const FanPoints& points) { m_curve = points; }

    std::vector<std::unique_ptr<RecordingProfile>> profiles;
    RecordingProfile* secondProfile = nullptr;
    std::vector<int> selected, saved, keptBios;
    FanPoints appliedPoints;
    uint8_t dutyFlagWhileApplying = 0;
    int current = 4;
    std::string displayName = "CPU FAN";
    bool rpm = false, ecFanOff = false, manual = false;
    int manualPosition = -1;
};

class FanObjectTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        test::DeletePatchValue();
        test::InstallSuite(false);
        manager_ = tolo::ComPtr<CFanControlManager>(new CFanControlManager);
        ASSERT_EQ(S_OK, manager_->Events().Advise(&sink_, &cookie_));
    }
    void TearDown() override {
        manager_->Events().Unadvise(cookie_);
        object_.Reset();
        manager_.Detach()->ReleaseFactoryReference();
        test::DeletePatchValue();
        test::InstallSuite(false);
        CoUninitialize();
        test::BoardTest::TearDown();
    }

    CIFanControlImpl* Make(int profiles) {
        fan_ = std::make_unique<RecordingFan>(profiles);
        object_ = tolo::ComPtr<CIFanControlImpl>(new CIFanControlImpl(3, fan_.get()));
        return object_.Get();
    }
    // The user profile's curve as a client receives it.
    tolo::ComPtr<IFanCurve> UserCurve() {
        tolo::ComPtr<IFanProfileCollection> profiles;
        EXPECT_EQ(S_OK, object_->get_Profiles(profiles.Put()));
        tolo::ComPtr<IFanProfile> user;
        EXPECT_EQ(S_OK, profiles->get_Item(fan_->GetProfileCount() - 1, user.Put()));
        tolo::ComPtr<IFanCurve> curve;
        EXPECT_EQ(S_OK, user->get_FanCurve(curve.Put()));
        return curve;
    }
    static FanPoints Points(IFanCurve* curve) {
        tolo::ComPtr<IDispatch> dispatch;
        EXPECT_EQ(S_OK, curve->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
        return test::CurvePoints(dispatch.Get());
    }
    static tolo::ComPtr<IFanCurve> ClientCurve(const FanPoints& points) {
        // A curve of the client's own making: a plain curve object of no profile.
        tolo::ComPtr<IFanCurve> curve(new CIFanCurveImpl(nullptr));
        for (const FanPoint& p : points) curve->AddPoint(p.temperature, p.duty);
        return curve;
    }
    static bool PatchSet() {
        DWORD value = 0;
        return test::ReadPatchValue(&value) && value == 1;
    }

    std::unique_ptr<RecordingFan> fan_;
    tolo::ComPtr<CIFanControlImpl> object_;
    tolo::ComPtr<CFanControlManager> manager_;
    test::EventSink sink_;
    DWORD cookie_ = 0;
};

TEST_F(FanObjectTest, CurveMembersOfAFanWithoutUserProfileFailAndTouchNothing) {
    CIFanControlImpl* fan = Make(4);
    tolo::ComPtr<IFanCurve> curve = ClientCurve({{30, 100}, {50, 200}, {70, 255}});
    ULONG done = 9;
    EXPECT_EQ(E_FAIL, fan->ApplyFanCurve(curve.Get(), &done));
    EXPECT_EQ(0u, done);
    done = 9;
    EXPECT_EQ(E_FAIL, fan->ApplyFanCurveButNotSave(curve.Get(), &done));
    EXPECT_EQ(0u, done);
    done = 9;
    EXPECT_EQ(E_FAIL, fan->SetFanDuty(curve.Get(), &done));
    EXPECT_EQ(0u, done);
    done = 9;
    EXPECT_EQ(E_FAIL, fan->NormalizeFanCurve(curve.Get(), &done));
    EXPECT_EQ(0u, done);
    tolo::ComPtr<IFanProfileCollection> profiles;
    ASSERT_EQ(S_OK, fan->get_Profiles(profiles.Put()));
    done = 9;
    EXPECT_EQ(E_FAIL, profiles->SaveUserProfile(curve.Get(), &done));
    EXPECT_EQ(0u, done);

    EXPECT_TRUE(fan_->keptBios.empty());
    EXPECT_TRUE(fan_->saved.empty());
    EXPECT_EQ(kUserPoints, fan_->User()->points);
    EXPECT_EQ(FanPoints({{30, 100}, {50, 200}, {70, 255}}), Points(curve.Get()))
        << "the client's curve changed";
    EXPECT_TRUE(sink_.events.empty());
    EXPECT_FALSE(PatchSet());
}

TEST_F(FanObjectTest, ApplyFanCurveRunsTheNewPointsAndPutsTheOldOnesBack) {
    CIFanControlImpl* fan = Make(5);
    const FanPoints fresh = {{25, 70}, {45, 140}, {65, 240}};
    ULONG done = 0;
    EXPECT_EQ(S_OK, fan->ApplyFanCurve(ClientCurve(fresh).Get(), &done));
    EXPECT_EQ(1u, done);
    EXPECT_EQ(std::vector<int>{4}, fan_->keptBios);
    EXPECT_EQ(fresh, fan_->appliedPoints);
    EXPECT_EQ(kUserPoints, fan_->User()->points);
    EXPECT_EQ(0, fan_->dutyFlagWhileApplying);
    EXPECT_TRUE(fan_->selected.empty());
    EXPECT_EQ(std::vector<long>{4}, sink_.events);
    EXPECT_FALSE(PatchSet());

    EXPECT_EQ(S_OK, fan->ApplyFanCurveButNotSave(ClientCurve(fresh).Get(), &done));
    EXPECT_EQ(fresh, fan_->User()->points);
    EXPECT_TRUE(fan_->saved.empty());
    EXPECT_EQ((std::vector<long>{4, 4}), sink_.events);
    EXPECT_FALSE(PatchSet());
}

TEST_F(FanObjectTest, SetFanDutyRaisesTheDutyFlagOnlyWhileApplyingAndSetsThePatch) {
    CIFanControlImpl* fan = Make(5);
    const FanPoints fresh = {{25, 70}, {45, 140}, {65, 240}};
    ULONG done = 0;
    EXPECT_EQ(S_OK, fan->SetFanDuty(ClientCurve(fresh).Get(), &done));
    EXPECT_EQ(1u, done);
    EXPECT_EQ(1, fan_->dutyFlagWhileApplying);
    EXPECT_EQ(0, g_applyingFanDuty);
    EXPECT_EQ(fresh, fan_->appliedPoints);
    EXPECT_EQ(kUserPoints, fan_->User()->points);
    EXPECT_EQ(std::vector<long>{4}, sink_.events);
    EXPECT_TRUE(PatchSet());
}

TEST_F(FanObjectTest, SaveUserProfileStoresWithoutApplying) {
    CIFanControlImpl* fan = Make(5);
    tolo::ComPtr<IFanProfileCollection> profiles;
    ASSERT_EQ(S_OK, fan->get_Profiles(profiles.Put()));
    const FanPoints fresh = {{25, 70}, {45, 140}, {65, 240}};
    ULONG done = 0;
    EXPECT_EQ(S_OK, profiles->SaveUserProfile(ClientCurve(fresh).Get(), &done));
    EXPECT_EQ(1u, done);
    EXPECT_EQ(fresh, fan_->User()->points);
    EXPECT_EQ(std::vector<int>{4}, fan_->saved);
    EXPECT_EQ(1, fan_->User()->saves);
    EXPECT_TRUE(fan_->keptBios.empty());
    EXPECT_TRUE(fan_->selected.empty());
    EXPECT_TRUE(sink_.events.empty());
    EXPECT_FALSE(PatchSet());
    EXPECT_EQ(E_POINTER, profiles->SaveUserProfile(ClientCurve(fresh).Get(), nullptr));
}

TEST_F(FanObjectTest, NormalizeChangesTheClientsPointsAndNotTheProfile) {
    CIFanControlImpl* fan = Make(5);
    tolo::ComPtr<IFanCurve> curve = ClientCurve({{25, 10}, {45, 140}, {65, 30}});
    ULONG done = 0;
    EXPECT_EQ(S_OK, fan->NormalizeFanCurve(curve.Get(), &done));
    EXPECT_EQ(1u, done);
    EXPECT_EQ(FanPoints({{25, 60}, {45, 140}, {65, 60}}), Points(curve.Get()));
    EXPECT_EQ(kUserPoints, fan_->User()->points);
    EXPECT_TRUE(fan_->keptBios.empty());
    EXPECT_TRUE(sink_.events.empty());
}

TEST_F(FanObjectTest, ApplyIndexSelectsAnnouncesAndSetsThePatchInsideTheListOnly) {
    CIFanControlImpl* fan = Make(5);
    test::TraceCapture traces;
    EXPECT_EQ(E_FAIL, fan->ApplyIndex(5));
    EXPECT_EQ(E_FAIL, fan->ApplyIndex(-1));
    EXPECT_TRUE(fan_->selected.empty());
    EXPECT_TRUE(sink_.events.empty());
    EXPECT_FALSE(PatchSet());

    EXPECT_EQ(S_OK, fan->ApplyIndex(2));
    EXPECT_EQ(std::vector<int>{2}, fan_->selected);
    EXPECT_EQ(std::vector<long>{2}, sink_.events);
    EXPECT_TRUE(PatchSet());
    EXPECT_TRUE(traces.Contains(L"ApplyIndex"));
}

TEST_F(FanObjectTest, StartupProfileIndexSavesWithoutSelecting) {
    CIFanControlImpl* fan = Make(5);
    EXPECT_EQ(S_OK, fan->put_StartupProfileIndex(4));
    EXPECT_EQ(std::vector<int>{4}, fan_->saved);
    EXPECT_TRUE(fan_->selected.empty());
    EXPECT_TRUE(fan_->keptBios.empty());
    ULONG index = 0;
    EXPECT_EQ(S_OK, fan->get_StartupProfileIndex(&index));
    EXPECT_EQ(4u, index);
}

// RPM mode reads as VARIANT_TRUE, every other Boolean as 1; an argument is true only as -1.
TEST_F(FanObjectTest, BooleanConventions) {
    CIFanControlImpl* fan = Make(5);
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, fan->QueryInterface(IID_IDispatch, dispatch.PutVoid()));

    EXPECT_EQ(S_OK, fan->EnableRpmMode(1));
    EXPECT_FALSE(fan_->rpm);
    EXPECT_EQ(S_OK, test::Call(dispatch.Get(), L"EnableRpmMode", DISPATCH_METHOD, {I4(1)}, nullptr));
    EXPECT_TRUE(fan_->rpm);
    VARIANT v;
    ASSERT_EQ(S_OK, test::Get(dispatch.Get(), L"IsRpmMode", &v));
    EXPECT_EQ(VT_BOOL, v.vt);
    EXPECT_EQ(-1, v.boolVal);

    EXPECT_EQ(S_OK, fan->put_EcFanStop(1));
    EXPECT_FALSE(fan_->ecFanOff);
    EXPECT_EQ(S_OK, fan->put_EcFanStop(VARIANT_TRUE));
    EXPECT_TRUE(fan_->ecFanOff);
    ASSERT_EQ(S_OK, test::Get(dispatch.Get(), L"EcFanStop", &v));
    EXPECT_EQ(VT_BOOL, v.vt);
    EXPECT_EQ(1, v.boolVal);

    // The box tool's four-byte 0: manual mode off, with the fan's position.
    EXPECT_EQ(S_OK, test::Call(dispatch.Get(), L"EnableManualMode", DISPATCH_METHOD, {I4(0)}, nullptr));
    EXPECT_FALSE(fan_->manual);
    EXPECT_EQ(3, fan_->manualPosition);
    EXPECT_EQ(S_OK, test::Call(dispatch.Get(), L"EnableManualMode", DISPATCH_METHOD, {I4(1)}, nullptr));
    EXPECT_TRUE(fan_->manual);
}

TEST_F(FanObjectTest, NamesAndTheirBadArguments) {
    CIFanControlImpl* fan = Make(5);
    EXPECT_EQ(E_POINTER, fan->get_Name(nullptr));
    EXPECT_EQ(E_POINTER, fan->get_DisplayName(nullptr));
    tolo::Bstr name;
    ASSERT_EQ(S_OK, fan->get_Name(name.Put()));
    EXPECT_STREQ(L"CPU FAN", name.Get());
    EXPECT_EQ(S_OK, fan->put_DisplayName(nullptr));
    EXPECT_EQ("", fan_->displayName);
    tolo::Bstr pump(L"Pump");
    EXPECT_EQ(S_OK, fan->put_DisplayName(pump.Get()));
    ASSERT_EQ(S_OK, fan->get_DisplayName(name.Put()));
    EXPECT_STREQ(L"Pump", name.Get());

    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, fan->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    // A late-bound call with an argument the dispatch cannot convert fails without reaching the fan.
    VARIANT object = test::Dispatch(dispatch.Get());
    EXPECT_TRUE(FAILED(test::Put(dispatch.Get(), L"StepUpTime", object)));
    EXPECT_EQ(E_POINTER, fan->get_StepUpTime(nullptr));
    EXPECT_EQ(E_POINTER, fan->ApplyFanCurve(ClientCurve(kUserPoints).Get(), nullptr));
}

TEST_F(FanObjectTest, ProfilesCollectionAndItsItems) {
    CIFanControlImpl* fan = Make(5);
    EXPECT_EQ(S_OK, fan->get_Profiles(nullptr));
    tolo::ComPtr<IFanProfileCollection> profiles, same;
    ASSERT_EQ(S_OK, fan->get_Profiles(profiles.Put()));
    ASSERT_EQ(S_OK, fan->get_Profiles(same.Put()));
    EXPECT_EQ(profiles.Get(), same.Get());
    LONG count = 0;
    EXPECT_EQ(S_OK, profiles->get_Count(&count));
    EXPECT_EQ(5, count);
    tolo::ComPtr<IFanProfile> profile;
    EXPECT_EQ(E_INVALIDARG, profiles->get_Item(5, profile.Put()));
    EXPECT_EQ(E_INVALIDARG, profiles->get_Item(-1, profile.Put()));
    ASSERT_EQ(S_OK, profiles->get_Item(4, profile.Put()));
    ULONG id = 0;
    LONG type = 9;
    EXPECT_EQ(S_OK, profile->get_Id(&id));
    EXPECT_EQ(4u, id);
    EXPECT_EQ(S_OK, profile->get_Type(&type));
    EXPECT_EQ(0, type);
    tolo::Bstr name;
    EXPECT_EQ(S_OK, profile->get_Name(name.Put()));
    EXPECT_STREQ(L"User", name.Get());
    ULONG current = 0;
    fan_->current = 2;
    EXPECT_EQ(S_OK, profiles->get_Current(&current));
    EXPECT_EQ(2u, current);

    // Each request builds a new curve of the profile's points.
    tolo::ComPtr<IFanCurve> a, b;
    ASSERT_EQ(S_OK, profile->get_FanCurve(a.Put()));
    ASSERT_EQ(S_OK, profile->get_FanCurve(b.Put()));
    EXPECT_NE(a.Get(), b.Get());
    EXPECT_EQ(kUserPoints, Points(a.Get()));
    tolo::ComPtr<IFanCurvePoint> point;
    EXPECT_EQ(E_INVALIDARG, a->get_Item(3, point.Put()));
    tolo::ComPtr<IDualModeFanCurve> dual;
    EXPECT_EQ(E_NOINTERFACE, a->QueryInterface(IID_IDualModeFanCurve, dual.PutVoid()));
}

// A board with the BIOS fan-curve device makes every curve dual-mode; its inner curve carries the
// user profile's second curve.
TEST_F(FanObjectTest, DualModeCurvesCarryTheSecondCurve) {
    Apply(kFanCurveDevice);
    CIFanControlImpl* fan = Make(5);
    tolo::ComPtr<IFanCurve> curve = UserCurve();
    tolo::ComPtr<IDualModeFanCurve> dual;
    ASSERT_EQ(S_OK, curve->QueryInterface(IID_IDualModeFanCurve, dual.PutVoid()));
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, curve->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    // Through IDispatch the inherited members answer too.
    EXPECT_EQ(3, test::Long(dispatch.Get(), L"Count"));
    tolo::ComPtr<IDispatch> inner = test::Object(dispatch.Get(), L"FanCurve");
    ASSERT_TRUE(inner);
    EXPECT_EQ(kSecondPoints, test::CurvePoints(inner.Get()));

    // A new point list for both curves, applied: the second curve keeps the client's inner
    // points, the user profile gets its own back.
    test::SetSpeeds(dispatch.Get(), {100, 150, 200});
    test::SetSpeeds(inner.Get(), {110, 160, 210});
    ULONG done = 0;
    EXPECT_EQ(S_OK, fan->ApplyFanCurve(curve.Get(), &done));
    EXPECT_EQ(FanPoints({{35, 110}, {55, 160}, {75, 210}}), fan_->secondProfile->points);
    EXPECT_EQ(FanPoints({{30, 100}, {50, 150}, {70, 200}}), fan_->appliedPoints);
    EXPECT_EQ(kUserPoints, fan_->User()->points);

    // The box tool's way: a new curve whose inner curve is never read, saved and run as the duty.
    // Its placeholders are no curve: the second curve stays as it was.
    tolo::ComPtr<IFanCurve> unread = UserCurve();
    tolo::ComPtr<IDispatch> unreadDispatch;
    ASSERT_EQ(S_OK, unread->QueryInterface(IID_IDispatch, unreadDispatch.PutVoid()));
    test::SetSpeeds(unreadDispatch.Get(), {90, 140, 190});
    tolo::ComPtr<IFanProfileCollection> profiles;
    ASSERT_EQ(S_OK, fan->get_Profiles(profiles.Put()));
    EXPECT_EQ(S_OK, profiles->SaveUserProfile(unread.Get(), &done));
    EXPECT_EQ(S_OK, fan->SetFanDuty(unread.Get(), &done));
    EXPECT_EQ(FanPoints({{30, 90}, {50, 140}, {70, 190}}), fan_->User()->points);
    EXPECT_EQ(FanPoints({{35, 110}, {55, 160}, {75, 210}}), fan_->secondProfile->points);
}

TEST_F(FanObjectTest, DualModeInnerCurveHoldsPlaceholdersUntilFilled) {
    Apply(kFanCurveDevice);
    tolo::ComPtr<CIDualModeFanCurveImpl> curve(new CIDualModeFanCurveImpl(nullptr));
    EXPECT_EQ(FanPoints(4, FanPoint{0, -1}), Points(curve->Inner()));
    tolo::ComPtr<IFanCurve> inner;
    ASSERT_EQ(S_OK, curve->get_FanCurve(inner.Put()));
    EXPECT_EQ(static_cast<IFanCurve*>(curve->Inner()), inner.Get());
    EXPECT_TRUE(Points(inner.Get()).empty()) << "no profile: nothing to fill";
}

// Normalising a dual-mode curve goes through the user profile twice; both of the fan's curves
// stay as they were and both of the client's are normalised.
TEST_F(FanObjectTest, NormalizingADualModeCurveLeavesBothProfileCurves) {
    Apply(kFanCurveDevice);
    CIFanControlImpl* fan = Make(5);
    tolo::ComPtr<IFanCurve> curve = UserCurve();
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, curve->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    tolo::ComPtr<IDispatch> inner = test::Object(dispatch.Get(), L"FanCurve");
    ASSERT_TRUE(inner);
    test::SetSpeeds(dispatch.Get(), {10, 150, 255});
    test::SetSpeeds(inner.Get(), {20, 30, 255});
    ULONG done = 0;
    EXPECT_EQ(S_OK, fan->NormalizeFanCurve(curve.Get(), &done));
    EXPECT_EQ(1u, done);
    EXPECT_EQ(FanPoints({{30, 60}, {50, 150}, {70, 255}}), test::CurvePoints(dispatch.Get()));
    EXPECT_EQ(FanPoints({{35, 60}, {55, 60}, {75, 255}}), test::CurvePoints(inner.Get()));
    EXPECT_EQ(kUserPoints, fan_->User()->points);
    EXPECT_EQ(kSecondPoints, fan_->secondProfile->points);
}

// With the maker's suite installed a three-point curve gets a fourth point: duty 255 on the
// profile's curve, the third point's own duty on the inner curve.
TEST_F(FanObjectTest, SuiteAddsAFourthPoint) {
    test::InstallSuite(true);
    Apply(kFanCurveDevice);
    Make(5);
    tolo::ComPtr<IFanCurve> curve = UserCurve();
    EXPECT_EQ(FanPoints({{30, 80}, {50, 150}, {70, 255}, {70, 255}}), Points(curve.Get()));
    tolo::ComPtr<IDualModeFanCurve> dual;
    ASSERT_EQ(S_OK, curve->QueryInterface(IID_IDualModeFanCurve, dual.PutVoid()));
    tolo::ComPtr<IFanCurve> inner;
    ASSERT_EQ(S_OK, dual->get_FanCurve(inner.Put()));
    EXPECT_EQ(FanPoints({{35, 90}, {55, 160}, {75, 250}, {75, 250}}), Points(inner.Get()));

    fan_->SetCurve({{30, 80}, {50, 150}, {70, 200}});
    tolo::ComPtr<IFanCurve> current;
    ASSERT_EQ(S_OK, object_->get_CurrentFanCurve(current.Put()));
    EXPECT_EQ(FanPoints({{30, 80}, {50, 150}, {70, 200}, {70, 255}}), Points(current.Get()));
}

// The collection waits for the start-up restore; a process without the service's named event
// gets no fan manager and so a collection without fans.
TEST_F(FanObjectTest, ControlsWaitForTheRestoreAndWithoutAFanManagerHoldNoFans) {
    UseServiceEventName(L"QuilAutomationTestNoSuchEvent");
    InterlockedExchange(&g_restoreDone, 0);
    std::atomic<bool> raised{false};
    std::thread restore([&] {
        Sleep(300);
        raised = true;
        InterlockedExchange(&g_restoreDone, 1);
    });
    tolo::ComPtr<IFanControlCollection> controls, same;
    HRESULT hr = manager_->get_Controls(controls.Put());
    bool afterRestore = raised;
    restore.join();
    ASSERT_EQ(S_OK, hr);
    EXPECT_TRUE(afterRestore) << "the collection came before the restore was over";
    ASSERT_EQ(S_OK, manager_->get_Controls(same.Put()));
    EXPECT_EQ(controls.Get(), same.Get());
    EXPECT_EQ(E_POINTER, manager_->get_Controls(nullptr));

    LONG count = -1;
    EXPECT_EQ(S_OK, controls->get_Count(&count));
    EXPECT_EQ(0, count);
    tolo::ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, controls->get__NewEnum(unknown.Put()));
    tolo::ComPtr<IEnumVARIANT> walker;
    ASSERT_EQ(S_OK, unknown->QueryInterface(IID_IEnumVARIANT, walker.PutVoid()));
    VARIANT item;
    VariantInit(&item);
    ULONG fetched = 7;
    EXPECT_EQ(S_FALSE, walker->Next(1, &item, &fetched));
    EXPECT_EQ(0u, fetched);
    tolo::ComPtr<IFanControl> fan;
    EXPECT_EQ(E_INVALIDARG, controls->get_Item(0, fan.Put()));
}

// A process whose restore thread could not be started serves its fans at once: nothing else
// would ever end the collection's wait.
TEST_F(FanObjectTest, ControlsDoNotWaitForARestoreThreadThatNeverStarted) {
    UseServiceEventName(L"QuilAutomationTestNoSuchEvent");
    InterlockedExchange(&g_restoreDone, 0);
    ThreadStarter refuse = [](void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                              unsigned*) -> uintptr_t { return 0; };
    EXPECT_FALSE(StartRestoreThread(refuse));

    // Should the collection still wait, a stand-in raises the flag after a while so that the
    // test ends and says so.
    tolo::UniqueHandle answered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> rescued{false};
    std::thread watchdog([&] {
        if (WaitForSingleObject(answered.Get(), 5000) == WAIT_OBJECT_0) return;
        rescued = true;
        InterlockedExchange(&g_restoreDone, 1);
    });
    tolo::ComPtr<IFanControlCollection> controls;
    HRESULT hr = manager_->get_Controls(controls.Put());
    SetEvent(answered.Get());
    watchdog.join();
    EXPECT_FALSE(rescued) << "the collection waited for a restore thread that never started";
    EXPECT_EQ(S_OK, hr);
    EXPECT_TRUE(controls);
}

// The CPU fan of a MARROWBACK Z97 board on an NCT6791 as the fan manager builds it: its tuning
// values live in registers of its own bank (2) and of the RPM bank (6), and its weights, one per
// source sensor, go to the EC's weights device.
class ChipFanObjectTest : public FanObjectTest {
protected:
    std::string BoardText() const override {
        return "product \"MARROWBACK Z97\"\nchip 0xC803 0\n"
               "item 0x04070010 value 1 desc \"CPU FAN\" 0 0 0 1 3\n"
               "item 0x04060020 desc \"EC WEIGHTS\" 0 0 0 1 2\n"
               "item 0x06030001 desc \"T1\" 0 0 0 1 2\nitem 0x06030002 desc \"T2\" 0 0 0 1 2\n"
               "item 0x06030003 desc \"T3\" 0 0 0 1 2\nitem 0x06030004 desc \"T4\" 0 0 0 1 2\n"
               "item 0x040D002B desc \"MULTI SOURCE\" 0 0 0 1 2\nbuffer 0x040D002B 00\n";
    }
    void SetUp() override {
        FanObjectTest::SetUp();
        tolo::g_pGetSystemFirmwareTable = nullptr;  // the product of the board's SMBIOS table
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        const std::string pid = std::to_string(GetCurrentProcessId());
        store_ = std::string(temp) + "FanStore-objects-" + pid + ".xml";
        DeleteFileA(store_.c_str());
        UseFanStorePath(store_);
        const std::wstring event = L"QuilFanObjectTestEvent-" + std::wstring(pid.begin(), pid.end());
        event_.Reset(CreateEventW(nullptr, TRUE, TRUE, event.c_str()));
        UseServiceEventName(event.c_str());
        EcFanControlManager* manager = EcFanControlManager::Instance();
        // The CPU and chassis fans are built whether the firmware declares them or not.
        ASSERT_TRUE(manager && manager->Fans().size() == 2);
        chip_ = manager->Fans()[0];
    }
    void TearDown() override {
        FanObjectTest::TearDown();
        DeleteFileA(store_.c_str());
    }
    uint8_t Reg(int bank, int reg) const { return Board()->sio.hwm[bank][reg]; }
    std::vector<uint8_t> Chip() const {
        const uint8_t* first = &Board()->sio.hwm[0][0];
        return std::vector<uint8_t>(first, first + sizeof(Board()->sio.hwm));
    }
    std::string StoreText() const {
        std::ifstream in(store_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    tolo::ComPtr<IDispatch> ChipFan() {
        object_ = tolo::ComPtr<CIFanControlImpl>(new CIFanControlImpl(0, chip_));
        tolo::ComPtr<IDispatch> dispatch;
        EXPECT_EQ(S_OK, object_->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
        return dispatch;
    }

    QuilFanControl* chip_ = nullptr;
    std::string store_;
    tolo::UniqueHandle event_;
};

// Each member reaches the chip's own register for it: set through the dispatch, every value lands
// in its register, and read back each property answers its own.
TEST_F(ChipFanObjectTest, TuningMembersReachTheirOwnChipRegisters) {
    tolo::ComPtr<CIFanControlImpl> object(new CIFanControlImpl(0, chip_));
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    // The tolerance is read from the chip each time: bits 0-3 of register 0x02.
    Board()->sio.hwm[2][0x02] = 0x43;
    EXPECT_EQ(3, test::Long(dispatch.Get(), L"TempTolerance"));

    // RPM mode first: entering it also sets the step registers.
    EXPECT_EQ(S_OK, test::Call(dispatch.Get(), L"EnableRpmMode", DISPATCH_METHOD, {I4(1)}, nullptr));
    EXPECT_EQ(0x02, Reg(6, 0x00) & 0x02);
    EXPECT_EQ(-1, test::Long(dispatch.Get(), L"IsRpmMode"));

    const struct {
        const wchar_t* name;
        long value;
        int bank, reg, expected;
    } kMembers[] = {
        {L"StepUpTime", 11, 2, 0x03, 11},     {L"StepDownTime", 13, 2, 0x04, 13},
        {L"TempTolerance", 2, 2, 0x02, 0x42}, {L"RpmTolerance", 200, 6, 0x02, 200},
        {L"StepUnit", 19, 2, 0x66, 19},       {L"T1DelayTime", 23, 2, 0x67, 23},
    };
    for (const auto& m : kMembers) {
        EXPECT_EQ(S_OK, test::Put(dispatch.Get(), m.name, I4(m.value))) << m.name;
        EXPECT_EQ(m.expected, Reg(m.bank, m.reg)) << m.name;
    }
    for (const auto& m : kMembers) {
        EXPECT_EQ(m.expected, Reg(m.bank, m.reg)) << m.name << " was overwritten";
        EXPECT_EQ(m.value, test::Long(dispatch.Get(), m.name)) << m.name;
    }
}

// FanStore.xml made read-only: a member that stores answers STG_E_CANTSAVE, late-bound as well, and
// the file stays as it was while the chip runs the new value; members that do not store still
// succeed, and once the file can be written the next change is stored.
TEST_F(ChipFanObjectTest, MembersThatStoreTellWhenTheFileDidNotTakeIt) {
    tolo::ComPtr<CIFanControlImpl> object(new CIFanControlImpl(0, chip_));
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    ASSERT_EQ(S_OK, object->put_StepDownTime(5));
    const auto bytes = [&] { return test::ReadTextFile(std::wstring(store_.begin(), store_.end())); };
    const std::string before = bytes();
    ASSERT_NE(std::string::npos, before.find("<stepdowntime>5</stepdowntime>"));
    ASSERT_TRUE(SetFileAttributesA(store_.c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(STG_E_CANTSAVE, object->put_StepDownTime(11));
    EXPECT_EQ(11, Reg(2, 0x04));
    EXPECT_TRUE(FAILED(test::Put(dispatch.Get(), L"T1DelayTime", I4(23))));
    EXPECT_EQ(23, Reg(2, 0x67));
    tolo::Bstr name(L"Pump");
    EXPECT_EQ(STG_E_CANTSAVE, object->put_DisplayName(name.Get()));
    EXPECT_EQ(S_OK, object->put_StepUpTimeButNotSave(13));
    EXPECT_EQ(13, Reg(2, 0x03));
    EXPECT_EQ(before, bytes());

    ASSERT_TRUE(SetFileAttributesA(store_.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(S_OK, object->put_StepDownTime(12));
    EXPECT_NE(std::string::npos, bytes().find("<stepdowntime>12</stepdowntime>"));
}

// The weights a client changes go to the EC with both members; only Save keeps them.
TEST_F(ChipFanObjectTest, ThermalWeightsApplyAndSaveSendTheClientsWeights) {
    tolo::ComPtr<CIFanControlImpl> object(new CIFanControlImpl(0, chip_));
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    tolo::ComPtr<IDispatch> weights = test::Object(dispatch.Get(), L"ThermalWeights");
    ASSERT_TRUE(weights);
    // One weight per source sensor; a fan without stored weights starts on the first sensor.
    ASSERT_EQ(4, test::Long(weights.Get(), L"Count"));
    EXPECT_EQ(100, test::Long(weights.Get(), L"Item", {I4(0)}));
    const auto put = [&](long index, long value) {
        EXPECT_EQ(S_OK,
                  test::Call(weights.Get(), L"Item", DISPATCH_PROPERTYPUT, {I4(index), I4(value)}, nullptr));
    };
    const auto record = [] { return test::Head(0x04060020, 7); };
    const auto stored = [&] {
        std::vector<int> w;
        FanStore::Instance().ReadWeights(chip_->StoreKey(), &w);
        return w;
    };
    put(1, 60);
    put(2, 30);

    EXPECT_EQ(S_OK, test::Call(weights.Get(), L"ApplyButNotSave", DISPATCH_METHOD, {}, nullptr));
    // The fan's number, then w * 255 / 100 of each weight.
    EXPECT_EQ((std::vector<int32_t>{0, 255, 153, 76, 0, -1, 4}), record());
    EXPECT_EQ((std::vector<int>{100, 0, 0, 0}), stored());

    put(3, 20);
    EXPECT_EQ(S_OK, test::Call(weights.Get(), L"Save", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ((std::vector<int32_t>{0, 255, 153, 76, 51, -1, 4}), record());
    EXPECT_EQ((std::vector<int>{100, 60, 30, 20}), stored());
}

VARIANT UI4(ULONG value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_UI4;
    v.ulVal = value;
    return v;
}

// A client's value or curve the chip cannot hold whole is refused by every member that takes it:
// E_INVALIDARG, nothing reaches the chip, the firmware or FanStore.xml, and no event is fired.
TEST_F(ChipFanObjectTest, ValuesAndCurvesTheChipCannotHoldAreRefusedAndChangeNothing) {
    tolo::ComPtr<IDispatch> fan = ChipFan();
    tolo::ComPtr<IDispatch> profiles = test::Object(fan.Get(), L"Profiles");
    tolo::ComPtr<IDispatch> weights = test::Object(fan.Get(), L"ThermalWeights");
    ASSERT_TRUE(profiles && weights);
    const std::string store = StoreText();
    ASSERT_FALSE(store.empty());
    const std::vector<uint8_t> chip = Chip();
    const uint32_t seq = sim::NextWriteSeq();

    const struct {
        const wchar_t* name;
        VARIANT value;
    } kValues[] = {
        {L"StepUpTime", I4(1000)},
        {L"StepDownTime", UI4(4294967295u)},
        {L"StepUpTimeButNotSave", I4(51)},
        {L"StepDownTimeButNotSave", I4(51)},
        {L"TempTolerance", I4(4)},
        {L"RpmTolerance", I4(70000)},
        {L"RpmToleranceButNotSave", I4(256)},
        {L"StepUnit", I4(256)},
        {L"StepUnitButNotSave", I4(256)},
        {L"T1DelayTime", I4(256)},
        {L"T1DelayTimeButNotSave", I4(256)},
        {L"EcMode", I4(7)},
        {L"EcMode", I4(-1)},
    };
    for (const auto& v : kValues)
        EXPECT_EQ(E_INVALIDARG, ScriptError(fan.Get(), v.name, DISPATCH_PROPERTYPUT, {v.value})) << v.name;
    for (long weight : {-50L, 101L, 2147483647L})
        EXPECT_EQ(E_INVALIDARG,
                  ScriptError(weights.Get(), L"Item", DISPATCH_PROPERTYPUT, {I4(1), I4(weight)}));
    EXPECT_EQ(0, test::Long(weights.Get(), L"Item", {I4(1)}));

    const std::vector<FanPoints> kCurves = {
        {{30, 80}, {50, 256}, {70, 300}},                       // past the duty byte
        {{30, -1}, {50, 150}, {70, 255}},                       // below it
        {{-5, 80}, {50, 150}, {70, 255}},                       // below the temperature byte
        {{30, 80}, {50, 150}, {256, 255}},                      // past it
        {{60, 80}, {50, 150}, {30, 255}},                       // falling temperatures
        {},                                                     // no curve at all
        {{20, 40}, {30, 80}, {40, 120}, {50, 160}, {70, 255}},  // more than the chip runs
    };
    for (size_t i = 0; i < kCurves.size(); ++i) {
        const FanPoints& points = kCurves[i];
        tolo::ComPtr<IFanCurve> curve(new CIFanCurveImpl(nullptr));
        for (const FanPoint& p : points) curve->AddPoint(p.temperature, p.duty);
        tolo::ComPtr<IDispatch> client;
        ASSERT_EQ(S_OK, curve->QueryInterface(IID_IDispatch, client.PutVoid()));
        for (const wchar_t* member :
             {L"ApplyFanCurve", L"ApplyFanCurveButNotSave", L"SetFanDuty", L"NormalizeFanCurve"}) {
            EXPECT_EQ(E_INVALIDARG,
                      ScriptError(fan.Get(), member, DISPATCH_METHOD, {test::Dispatch(client.Get())}))
                << "curve " << i << " " << member;
        }
        EXPECT_EQ(E_INVALIDARG, ScriptError(profiles.Get(), L"SaveUserProfile", DISPATCH_METHOD,
                                            {test::Dispatch(client.Get())}))
            << "curve " << i;
        EXPECT_EQ(points, test::CurvePoints(client.Get())) << "curve " << i << " was changed";
    }

    EXPECT_EQ(chip, Chip());
    EXPECT_TRUE(test::MonitorWrites(seq).empty()) << test::Describe(test::MonitorWrites(seq));
    EXPECT_TRUE(test::BufferWriteOrder(seq).empty());
    EXPECT_EQ(store, StoreText());
    EXPECT_TRUE(sink_.events.empty());
    EXPECT_FALSE(PatchSet());

    // The limits themselves are taken, and a curve may end flat at its last temperature.
    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"StepUpTime", I4(50)));
    EXPECT_EQ(50, Reg(2, 0x03));
    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"TempTolerance", I4(3)));
    EXPECT_EQ(0x43, Reg(2, 0x02));
    tolo::ComPtr<IDispatch> user =
        test::Object(test::Object(profiles.Get(), L"Item", {I4(4)}).Get(), L"FanCurve");
    ASSERT_TRUE(user);
    test::SetSpeeds(user.Get(), {0, 255, 255});
    EXPECT_EQ(1, test::CallWith(profiles.Get(), L"SaveUserProfile", user.Get()));
}

// The temperature tolerance shares its register with the curve mode: a curve written by a profile
// apply or a client's duty keeps it, and FanStore.xml keeps it for the restore.
TEST_F(ChipFanObjectTest, TemperatureToleranceOutlivesCurveWritesAndIsStored) {
    tolo::ComPtr<IDispatch> fan = ChipFan();
    EXPECT_EQ(S_OK, test::Put(fan.Get(), L"TempTolerance", I4(2)));
    EXPECT_EQ(0x42, Reg(2, 0x02));
    EXPECT_NE(std::string::npos, StoreText().find("<temptolerance>2</temptolerance>"));

    EXPECT_EQ(S_OK, test::Call(fan.Get(), L"ApplyIndex", DISPATCH_METHOD, {I4(4)}, nullptr));
    EXPECT_EQ(0x42, Reg(2, 0x02));
    tolo::ComPtr<IFanCurve> curve(new CIFanCurveImpl(nullptr));
    for (const FanPoint& p : FanPoints{{31, 81}, {51, 151}, {71, 255}})
        curve->AddPoint(p.temperature, p.duty);
    tolo::ComPtr<IDispatch> client;
    ASSERT_EQ(S_OK, curve->QueryInterface(IID_IDispatch, client.PutVoid()));
    EXPECT_EQ(1, test::CallWith(fan.Get(), L"SetFanDuty", client.Get()));
    EXPECT_EQ(31, Reg(2, 0x21)) << "the curve block was not written";
    EXPECT_EQ(0x42, Reg(2, 0x02));
    EXPECT_EQ(2, test::Long(fan.Get(), L"TempTolerance"));
}

// The sources a client sends become the fan's own: the fan's next profile apply sends them again.
TEST_F(ChipFanObjectTest, MultiFanSourcesSentAreWhatTheFanSendsNext) {
    constexpr uint32_t kMultiSource = 0x040D002B;
    tolo::ComPtr<IDispatch> fan = ChipFan();
    tolo::ComPtr<IDispatch> sources = test::Object(fan.Get(), L"MultiFanSource");
    ASSERT_TRUE(sources);
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Clear", DISPATCH_METHOD, {}, nullptr));
    for (long source : {3L, 5L})
        EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Add", DISPATCH_METHOD, {I4(source)}, nullptr));
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"ApplyButNotSave", DISPATCH_METHOD, {}, nullptr));
    const int32_t id = static_cast<int32_t>(chip_->GetId());
    EXPECT_EQ((std::vector<int32_t>{id, 3, 5, -1}), test::Head(kMultiSource, 4));
    EXPECT_EQ(std::string::npos, StoreText().find("<source_0>3</source_0>"));

    // The firmware forgets; the fan's next profile apply sends the client's list.
    const auto applyUserCurve = [&] {
        sim::SetItemBuffer(kMultiSource, std::vector<uint8_t>(32, 0));
        tolo::ComPtr<IDispatch> user =
            test::Object(test::Object(fan.Get(), L"Profiles").Get(), L"Item", {I4(4)});
        EXPECT_EQ(S_OK, test::Call(fan.Get(), L"ApplyFanCurve", DISPATCH_METHOD,
                                   {test::Dispatch(test::Object(user.Get(), L"FanCurve").Get())}, nullptr));
    };
    applyUserCurve();
    EXPECT_EQ((std::vector<int32_t>{id, 3, 5, -1}), test::Head(kMultiSource, 4));

    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Add", DISPATCH_METHOD, {I4(7)}, nullptr));
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Save", DISPATCH_METHOD, {}, nullptr));
    EXPECT_NE(std::string::npos, StoreText().find("<source_2>7</source_2>")) << StoreText();
    EXPECT_EQ((std::vector<int>{3, 5, 7}), chip_->GetMultiSource());

    // An edit nobody applied stays in the object: the fan's next apply sends the applied list.
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Clear", DISPATCH_METHOD, {}, nullptr));
    EXPECT_EQ(S_OK, test::Call(sources.Get(), L"Add", DISPATCH_METHOD, {I4(9)}, nullptr));
    EXPECT_EQ(1, test::Long(sources.Get(), L"Count"));
    applyUserCurve();
    EXPECT_EQ((std::vector<int32_t>{id, 3, 5, 7, -1}), test::Head(kMultiSource, 5));
    EXPECT_EQ((std::vector<int>{3, 5, 7}), chip_->GetMultiSource());
}

TEST_F(FanObjectTest, WithoutTheSuiteThreePointsStayThree) {
    Make(5);
    EXPECT_EQ(kUserPoints, Points(UserCurve().Get()));
    tolo::ComPtr<IFanCurve> current;
    ASSERT_EQ(S_OK, object_->get_CurrentFanCurve(current.Put()));
    EXPECT_EQ(kUserPoints, Points(current.Get()));
}

}  // namespace
