// The real QuilFanControlService.exe, started by COM as a local server over the simulated board:
// what its start-up does with the chip and FanStore.xml for each state of "BIOS fan patch", and
// the power broadcasts its hidden window "Fan Service" receives.
//
// The test prepares the settings the way the service keeps them: its own fan objects (over the
// same board and the same FanStore.xml beside the executables) save and run the user curves; then
// the chip's registers are reset, as a restart or sleep leaves them, and the service starts.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "LateBound.h"
#include "RestoreSupport.h"
#include "RestoreThread.h"
#include "ServerFixture.h"
#include "ServiceIdentity.h"
#include "board/Board.h"
#include "fancore/EcFanControlManager.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "support/BoardTest.h"
#include "support/ChipLog.h"
#include "support/ProcessWindow.h"
#include "system/Handles.h"

namespace {

class RestoreSystemTest : public test::RegisteredServiceTest {
protected:
    std::string BoardText() const override { return test::kRestoreBoard; }

    void SetUp() override {
        RegisteredServiceTest::SetUp();
        if (HasFatalFailure()) return;
        // Without the key as well: the restore tells a missing key from a missing value.
        test::DeletePatchKey();
        const std::wstring store = test::FanStorePath();
        store_ = std::string(store.begin(), store.end());
        UseFanStorePath(store_);
        event_.Reset(CreateEventW(nullptr, TRUE, TRUE, service::kEventName));
        ASSERT_TRUE(event_);
    }
    void TearDown() override {
        manager_.Reset();
        RegisteredServiceTest::TearDown();
        test::DeletePatchKey();
    }

    const std::vector<QuilFanControl*>& Fans() {
        EcFanControlManager* manager = EcFanControlManager::Instance();
        EXPECT_NE(nullptr, manager);
        static const std::vector<QuilFanControl*> none;
        return manager ? manager->Fans() : none;
    }

    // COM starts the server; its power window appears once the start-up restore is over.
    void StartService() {
        CLSID clsid;
        ASSERT_EQ(S_OK, CLSIDFromProgID(test::kManagerProgId, &clsid));
        ASSERT_EQ(S_OK,
                  CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch, manager_.PutVoid()));
        std::vector<DWORD> servers = test::ProcessesNamed(test::kServiceExe);
        ASSERT_EQ(1u, servers.size());
        window_ = test::FindProcessWindow(servers[0], L"Fan Service", 30000);
        ASSERT_NE(nullptr, window_) << "the service shows no \"Fan Service\" window";
    }

    void Broadcast(WPARAM event) {
        DWORD_PTR result = 0;
        ASSERT_NE(0, SendMessageTimeoutW(window_, WM_POWERBROADCAST, event, 0, SMTO_NORMAL, 60000, &result));
    }

    // Another program's open of the store without sharing.
    tolo::UniqueHandle HoldStore() const {
        return tolo::UniqueHandle(CreateFileA(store_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    }

    std::string store_;
    tolo::UniqueHandle event_;
    tolo::ComPtr<IDispatch> manager_;
    HWND window_ = nullptr;
};

TEST_F(RestoreSystemTest, StartupWithThePatchValueOneGivesEveryFanItsSavedSettingsBack) {
    test::Registers original = test::ChipRegisters();
    test::ApplyUserCurves(Fans());
    test::Registers applied = test::ChipRegisters();
    ASSERT_NE(original, applied);
    test::SetChipRegisters(original);
    test::SetPatchValue(1);
    uint32_t seq = sim::NextWriteSeq();

    StartService();

    EXPECT_EQ(applied, test::ChipRegisters()) << test::DescribeDifference(applied, test::ChipRegisters());
    EXPECT_EQ("", test::UnlockedMonitorWrites(seq));
    EXPECT_EQ(1, test::PatchValue());
    for (size_t i = 0; i < 2; ++i) {
        int key = test::FanElementKey(Fans()[i]);
        EXPECT_EQ(test::UserCurve(static_cast<int>(i)),
                  test::StoredCurve(store_, test::UserCurveKey(Fans()[i])))
            << "fan " << i;
        EXPECT_EQ(3, test::StoredFanValue(store_, key, "stepuptime")) << "fan " << i;
        EXPECT_EQ(4, test::StoredFanValue(store_, key, "stepdowntime")) << "fan " << i;
    }
}

TEST_F(RestoreSystemTest, StartupWithThePatchValueZeroStoresTheChipCurvesAndWritesNothingToTheChip) {
    const std::vector<QuilFanControl*>& fans = Fans();
    ASSERT_EQ(2u, fans.size());
    std::vector<FanPoints> expected;
    for (size_t i = 0; i < fans.size(); ++i) {
        const FanPoints chip = test::SaveUserCurveAndRunStandard(fans[i], static_cast<int>(i));
        // What the user profile makes of the chip's curve (kept in memory only).
        fans[i]->GetProfile(4)->SetPolygonal(chip);
        expected.push_back(test::UserPoints(fans[i]));
        ASSERT_NE(test::UserCurve(static_cast<int>(i)), expected.back());
    }
    test::Registers chip = test::ChipRegisters();
    test::SetPatchValue(0);
    uint32_t seq = sim::NextWriteSeq();

    StartService();

    EXPECT_TRUE(test::MonitorWrites(seq).empty()) << test::Describe(test::MonitorWrites(seq));
    EXPECT_EQ(chip, test::ChipRegisters());
    for (size_t i = 0; i < fans.size(); ++i)
        EXPECT_EQ(expected[i], test::StoredCurve(store_, test::UserCurveKey(fans[i]))) << "fan " << i;
    EXPECT_EQ(0, test::PatchValue());
}

TEST_F(RestoreSystemTest, StartupWithoutThePatchValueLeavesChipAndFirmwareAlone) {
    Apply("item 0x04060018 value 0 desc \"GPIO34\" 0 0 0 1 1");
    test::Registers original = test::ChipRegisters();
    test::ApplyUserCurves(Fans());
    ASSERT_TRUE(FanStore::Instance().SetGpio34(1));
    test::SetChipRegisters(original);
    uint32_t seq = sim::NextWriteSeq();

    StartService();

    EXPECT_EQ(original, test::ChipRegisters()) << test::DescribeDifference(original, test::ChipRegisters());
    EXPECT_TRUE(test::MonitorWrites(seq).empty());
    // The firmware's GPIO34 (0) was not compared with the stored one (1).
    EXPECT_EQ(1, test::StoredTopValue(store_, "gpio34"));
    EXPECT_FALSE(test::PatchKeyExists());
}

// FanStore.xml opened without sharing by another program (a scanner, a backup) while the service
// starts. A hold of a few seconds is waited for: every fan gets its saved settings back.
TEST_F(RestoreSystemTest, StartupWaitsForAStoreAnotherProgramHoldsForAMoment) {
    test::Registers original = test::ChipRegisters();
    test::ApplyUserCurves(Fans());
    test::Registers applied = test::ChipRegisters();
    test::SetChipRegisters(original);
    test::SetPatchValue(1);
    tolo::UniqueHandle holder = HoldStore();
    ASSERT_TRUE(holder);
    std::thread letGo([&holder] {
        // The service reads the store as soon as its process starts.
        for (DWORD start = GetTickCount();
             test::ProcessesNamed(test::kServiceExe).empty() && GetTickCount() - start < 30000;)
            Sleep(50);
        Sleep(2500);
        holder.Reset();
    });
    StartService();
    letGo.join();

    EXPECT_EQ(applied, test::ChipRegisters()) << test::DescribeDifference(applied, test::ChipRegisters());
    for (QuilFanControl* fan : Fans()) {
        EXPECT_EQ(3, test::StoredFanValue(store_, test::FanElementKey(fan), "stepuptime"));
        EXPECT_EQ(4, test::StoredFanValue(store_, test::FanElementKey(fan), "stepdowntime"));
    }
}

// A hold that outlasts the wait: the chip keeps what the firmware set, the file what it held, and
// a member that stores says the file did not take it; once the program lets go, the file is read,
// the fans take its settings and the next change is stored beside them.
TEST_F(RestoreSystemTest, StartupWithTheStoreStillHeldChangesNeitherChipNorFile) {
    test::Registers original = test::ChipRegisters();
    test::ApplyUserCurves(Fans());
    test::SetChipRegisters(original);
    test::SetPatchValue(1);
    const std::wstring path(store_.begin(), store_.end());
    const std::string before = test::ReadTextFile(path);
    tolo::UniqueHandle holder = HoldStore();
    ASSERT_TRUE(holder);
    StartService();

    EXPECT_EQ(original, test::ChipRegisters()) << test::DescribeDifference(original, test::ChipRegisters());
    VARIANT controls, fan;
    ASSERT_EQ(S_OK, test::Get(manager_.Get(), L"Controls", &controls));
    ASSERT_EQ(S_OK, test::Get(controls.pdispVal, L"Item", &fan, {test::I4(0)}));
    EXPECT_TRUE(FAILED(test::Put(fan.pdispVal, L"StepDownTime", test::I4(11))));
    holder.Reset();
    EXPECT_EQ(before, test::ReadTextFile(path)) << "a store that could not be read was written over";

    // The fans take what the file holds: a read answers the saved value, and selecting the user
    // profile stores the saved curve again, not the one the fan was built with.
    VARIANT up;
    ASSERT_EQ(S_OK, test::Get(fan.pdispVal, L"StepUpTime", &up));
    EXPECT_EQ(3u, up.ulVal);
    EXPECT_EQ(S_OK, test::Call(fan.pdispVal, L"ApplyIndex", DISPATCH_METHOD, {test::I4(4)}, nullptr));
    EXPECT_EQ(S_OK, test::Put(fan.pdispVal, L"StepDownTime", test::I4(12)));
    VariantClear(&fan);
    VariantClear(&controls);
    const int key = test::FanElementKey(Fans()[0]);
    EXPECT_EQ(12, test::StoredFanValue(store_, key, "stepdowntime"));
    EXPECT_EQ(3, test::StoredFanValue(store_, key, "stepuptime"));
    EXPECT_EQ(test::UserCurve(0), test::StoredCurve(store_, test::UserCurveKey(Fans()[0])));
}

TEST_F(RestoreSystemTest, ResumeBroadcastRestoresOnlyAfterASuspendBroadcast) {
    test::Registers original = test::ChipRegisters();
    test::ApplyUserCurves(Fans());
    test::Registers applied = test::ChipRegisters();
    ASSERT_NE(original, applied);
    test::SetPatchValue(1);
    StartService();
    ASSERT_EQ(applied, test::ChipRegisters());

    // Sleep took the chip's settings.
    test::SetChipRegisters(original);
    Broadcast(PBT_APMRESUMESUSPEND);
    EXPECT_EQ(original, test::ChipRegisters()) << "a resume without a suspend restored";
    Broadcast(PBT_APMSUSPEND);
    EXPECT_EQ(original, test::ChipRegisters());
    Broadcast(PBT_APMRESUMESUSPEND);
    EXPECT_EQ(applied, test::ChipRegisters()) << test::DescribeDifference(applied, test::ChipRegisters());

    // The suspended state ended with that restore.
    test::SetChipRegisters(original);
    Broadcast(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(original, test::ChipRegisters()) << "a second resume restored again";
    Broadcast(PBT_APMSUSPEND);
    Broadcast(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(applied, test::ChipRegisters());
}

// A client that saves and applies user curves while the service restores after one resume after
// another: the last curve is what the store holds and the chip runs, and the store stays whole.
TEST_F(RestoreSystemTest, ClientCallsDuringResumeRestoresLoseNoSettingAndCorruptNoFile) {
    test::SetPatchValue(1);
    StartService();
    VARIANT controls, fan, profiles, user, curve;
    ASSERT_EQ(S_OK, test::Get(manager_.Get(), L"Controls", &controls));
    ASSERT_EQ(S_OK, test::Get(controls.pdispVal, L"Item", &fan, {test::I4(0)}));
    ASSERT_EQ(S_OK, test::Get(fan.pdispVal, L"Profiles", &profiles));

    std::atomic<bool> clientDone{false};
    std::thread power([&] {
        for (int i = 0; i < 4 || !clientDone; ++i) {
            DWORD_PTR result = 0;
            SendMessageTimeoutW(window_, WM_POWERBROADCAST, PBT_APMSUSPEND, 0, SMTO_NORMAL, 60000, &result);
            SendMessageTimeoutW(window_, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0, SMTO_NORMAL, 60000,
                                &result);
        }
    });
    FanPoints last;
    for (int k = 0; k < 8; ++k) {
        last = test::UserCurve(k % 2 ? 3 : 0);
        ASSERT_EQ(S_OK, test::Get(profiles.pdispVal, L"Item", &user, {test::I4(4)}));
        ASSERT_EQ(S_OK, test::Get(user.pdispVal, L"FanCurve", &curve));
        for (size_t i = 0; i < last.size(); ++i) {
            VARIANT point;
            ASSERT_EQ(S_OK, test::Get(curve.pdispVal, L"Item", &point, {test::I4(static_cast<long>(i))}));
            EXPECT_EQ(S_OK, test::Put(point.pdispVal, L"Temperature", test::I4(last[i].temperature)));
            EXPECT_EQ(S_OK, test::Put(point.pdispVal, L"Speed", test::I4(last[i].duty)));
            VariantClear(&point);
        }
        VARIANT argument;
        VariantInit(&argument);
        argument.vt = VT_DISPATCH;
        argument.pdispVal = curve.pdispVal;
        EXPECT_EQ(S_OK,
                  test::Call(profiles.pdispVal, L"SaveUserProfile", DISPATCH_METHOD, {argument}, nullptr));
        EXPECT_EQ(S_OK, test::Call(fan.pdispVal, L"ApplyIndex", DISPATCH_METHOD, {test::I4(4)}, nullptr));
        VariantClear(&curve);
        VariantClear(&user);
    }
    clientDone = true;
    power.join();
    VariantClear(&profiles);
    VariantClear(&fan);
    VariantClear(&controls);

    const int key = FanStoreKeyFromFanType(0x04070010);
    EXPECT_EQ(last, test::StoredCurve(store_, key)) << "the store lost the last curve or is broken";
    EXPECT_EQ(1, test::PatchValue());
    // The chip runs the last curve: this process's own fan object, applying it once more, changes
    // nothing.
    test::Registers raced = test::ChipRegisters();
    QuilFanControl* own = Fans()[0];
    own->GetProfile(4)->SetPolygonal(last);
    own->SelectProfileKeepBios(4);
    EXPECT_EQ(raced, test::ChipRegisters()) << test::DescribeDifference(raced, test::ChipRegisters());
}

}  // namespace
