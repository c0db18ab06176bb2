// The restore paths in-process over the simulated board and a settings file of the test's own:
// what "BIOS fan patch" decides, the comparison of the firmware's GPIO34 and IsChangeFan with the
// store, the by-pass, the full restore (also on a board with EC fans, where the EC's records and
// the firmware's fan source table are restored), and the hidden window's suspend and resume states.
#include <gtest/gtest.h>
#include <process.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <new>
#include <sstream>
#include <thread>

#include "FanControl.h"
#include "FanObjectsLock.h"
#include "RestoreSupport.h"
#include "RestoreThread.h"
#include "ServiceIdentity.h"
#include "board/Board.h"
#include "fancore/EcFanControlManager.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "fancore/SioAccessor.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "support/ChipLog.h"
#include "system/DmiHelp.h"
#include "system/Handles.h"
#include "system/Trace.h"

namespace {

using test::CountLines;

const wchar_t kRestoreFan[] = L"QuilFanControlService Restore Fan";
const wchar_t kRestoreDone[] = L"\nRestore Done\n";
const wchar_t kRunningRestore[] = L"Running Restore";
const wchar_t kRunningByPass[] = L"Running by pass";

class RestoreTest : public test::BoardTest {
protected:
    std::string BoardText() const override { return test::kRestoreBoard; }

    void SetUp() override {
        test::BoardTest::SetUp();
        test::DeletePatchKey();
        // The fan manager's creation waits on the service's event.
        event_.Reset(CreateEventW(nullptr, TRUE, TRUE, service::kEventName));
        ASSERT_TRUE(event_);
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        store_ = std::string(temp) + "FanStore-restore-" + std::to_string(GetCurrentProcessId()) + ".xml";
        DeleteFileA(store_.c_str());
        UseFanStorePath(store_);
    }
    void TearDown() override {
        test::DeletePatchKey();
        DeleteFileA(store_.c_str());
        test::BoardTest::TearDown();
    }

    const std::vector<QuilFanControl*>& Fans() {
        EcFanControlManager* manager = EcFanControlManager::Instance();
        EXPECT_NE(nullptr, manager);
        static const std::vector<QuilFanControl*> none;
        return manager ? manager->Fans() : none;
    }

    void ApplyUserCurves() { test::ApplyUserCurves(Fans()); }

    // The restore thread over `record`, and its power window once the thread shows it (null
    // when it does not within 10 s).
    static tolo::UniqueHandle StartRestoreThreadOver(RestoreThreadRecord* record, HWND* window) {
        tolo::UniqueHandle thread(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, RestoreFanThreadProc, record, 0, nullptr)));
        *window = nullptr;
        for (int i = 0; thread && i < 200 && !*window; ++i) {
            Sleep(50);
            *window = *static_cast<HWND volatile*>(&record->powerWindow);
        }
        return thread;
    }

    std::string StoreText() const {
        std::ifstream in(store_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool StoreExists() const { return GetFileAttributesA(store_.c_str()) != INVALID_FILE_ATTRIBUTES; }

    uint32_t ItemReads(uint32_t id) {
        sim::BiosItem* item = sim::FindItem(id);
        return item ? item->getCalls : 0;
    }

    tolo::UniqueHandle event_;
    std::string store_;
};

TEST_F(RestoreTest, PatchFlagReadsOneZeroOrMinusOneAsTheRegistryHoldsIt) {
    EXPECT_EQ(0, ReadBiosFanPatchFlag()) << "no key";
    test::CreatePatchKey();
    EXPECT_EQ(-1, ReadBiosFanPatchFlag()) << "key without the value";
    test::SetPatchString(L"1");
    EXPECT_EQ(-1, ReadBiosFanPatchFlag()) << "a string is not the value";
    test::SetPatchValue(1);
    EXPECT_EQ(1, ReadBiosFanPatchFlag());
    test::SetPatchValue(2);
    EXPECT_EQ(0, ReadBiosFanPatchFlag());
    test::SetPatchValue(0);
    EXPECT_EQ(0, ReadBiosFanPatchFlag());
}

TEST_F(RestoreTest, WithoutTheValueNothingIsComparedBuiltOrWritten) {
    Apply(
        "item 0x04060018 value 0 desc \"GPIO34\" 0 0 0 1 1\n"
        "item 0x0406001F value 1 desc \"CHANGE FAN\" 0 0 0 1 1");
    test::TraceCapture traces;
    uint32_t seq = sim::NextWriteSeq();
    EXPECT_FALSE(ShouldRestoreFans(0));
    EXPECT_FALSE(ShouldRestoreFans(1));
    // The key alone, or a value of another type, counts as missing too.
    test::CreatePatchKey();
    EXPECT_FALSE(ShouldRestoreFans(0));
    test::SetPatchString(L"1");
    EXPECT_FALSE(ShouldRestoreFans(0));

    EXPECT_EQ(0u, ItemReads(0x04060018));
    EXPECT_EQ(0u, ItemReads(0x0406001F));
    EXPECT_FALSE(StoreExists()) << "the fan manager was built: " << StoreText();
    EXPECT_TRUE(sim::Writes(seq).empty());
    EXPECT_EQ(0u, CountLines(traces, kRunningByPass));
    EXPECT_EQ(0u, CountLines(traces, kRunningRestore));
}

TEST_F(RestoreTest, FirmwareGpio34OffWhileStoredOnTurnsTheStartupRestoreIntoTheByPass) {
    Apply("item 0x04060018 value 0 desc \"GPIO34\" 0 0 0 1 1");
    ASSERT_TRUE(FanStore::Instance().SetGpio34(1));
    test::SetPatchValue(1);
    test::TraceCapture traces;
    uint32_t seq = sim::NextWriteSeq();

    EXPECT_FALSE(ShouldRestoreFans(0));
    EXPECT_EQ(0, test::PatchValue());
    EXPECT_EQ(0, FanStore::Instance().GetGpio34());
    EXPECT_EQ(1u, CountLines(traces, kRunningByPass));
    EXPECT_EQ(0u, CountLines(traces, kRunningRestore));
    EXPECT_TRUE(test::MonitorWrites(seq).empty()) << test::Describe(test::MonitorWrites(seq));
    for (const sim::WriteRecord& w : sim::Writes(seq))
        if (w.kind == sim::WriteKind::ItemSet) {
            EXPECT_NE(0x04060018u, w.a) << "the firmware's GPIO34 was written";
        }
}

TEST_F(RestoreTest, Gpio34ComparisonWritesZeroOnlyOnAChange) {
    Apply("item 0x04060018 value 1 desc \"GPIO34\" 0 0 0 1 1");
    test::SetPatchValue(1);
    // Never stored: nothing to compare, the firmware's value is remembered.
    EXPECT_FALSE(SyncBiosFanItems());
    EXPECT_EQ(1, test::PatchValue());
    EXPECT_EQ(1, FanStore::Instance().GetGpio34());
    // Same on both sides.
    EXPECT_FALSE(SyncBiosFanItems());
    EXPECT_EQ(1, test::PatchValue());
    // Stored 0, firmware 1.
    ASSERT_TRUE(FanStore::Instance().SetGpio34(0));
    EXPECT_TRUE(SyncBiosFanItems());
    EXPECT_EQ(0, test::PatchValue());
    EXPECT_EQ(1, FanStore::Instance().GetGpio34());
}

TEST_F(RestoreTest, IsChangeFanNeverStoredIsRememberedAndAChangeLaterTurnsTheRestoreOff) {
    Apply("item 0x0406001F value 1 desc \"CHANGE FAN\" 0 0 0 1 1");
    test::SetPatchValue(1);
    ASSERT_EQ(-1, FanStore::Instance().GetIsChangeFan());
    EXPECT_FALSE(SyncBiosFanItems());
    EXPECT_EQ(1, test::PatchValue());
    EXPECT_EQ(1, FanStore::Instance().GetIsChangeFan());

    sim::SetItemValue(0x0406001F, 0);
    EXPECT_TRUE(SyncBiosFanItems());
    EXPECT_EQ(0, test::PatchValue());
    EXPECT_EQ(0, FanStore::Instance().GetIsChangeFan());
    EXPECT_NE(std::string::npos, StoreText().find("<ischangefan>0</ischangefan>")) << StoreText();
}

TEST_F(RestoreTest, ADifferenceWithoutTheKeyCreatesNoKeyAndAFailedReadStoresNothing) {
    Apply(
        "item 0x04060018 value 0 desc \"GPIO34\" 0 0 0 1 1\n"
        "item 0x0406001F fail-get desc \"CHANGE FAN\" 0 0 0 1 1");
    ASSERT_TRUE(FanStore::Instance().SetGpio34(1));
    ASSERT_TRUE(FanStore::Instance().SetIsChangeFan(1));
    EXPECT_TRUE(SyncBiosFanItems()) << "the comparison counts even when nothing could be written";
    EXPECT_FALSE(test::PatchKeyExists());
    EXPECT_EQ(0, FanStore::Instance().GetGpio34());
    EXPECT_EQ(1, FanStore::Instance().GetIsChangeFan()) << "an unread setting was stored";
}

TEST_F(RestoreTest, ByPassMakesTheChipCurvesTheStoredUserProfilesAndWritesNothingToTheChip) {
    const std::vector<QuilFanControl*>& fans = Fans();
    ASSERT_EQ(2u, fans.size());
    std::vector<FanPoints> chip;
    for (size_t i = 0; i < fans.size(); ++i) {
        // The chip runs a standard curve; the store holds another user curve.
        chip.push_back(test::SaveUserCurveAndRunStandard(fans[i], static_cast<int>(i)));
    }
    test::SetPatchValue(0);
    test::TraceCapture traces;
    uint32_t seq = sim::NextWriteSeq();

    EXPECT_FALSE(ShouldRestoreFans(0));
    EXPECT_EQ(1u, CountLines(traces, kRunningByPass));
    EXPECT_EQ(1u, CountLines(traces, L"\nBy pass done\n"));
    for (size_t i = 0; i < fans.size(); ++i) {
        FanPoints user = test::UserPoints(fans[i]);
        EXPECT_NE(test::UserCurve(static_cast<int>(i)), user) << "fan " << i << " kept its old user curve";
        // The user profile holds the first three of the chip's points.
        ASSERT_EQ(3u, user.size());
        ASSERT_LE(3u, chip[i].size());
        EXPECT_EQ(FanPoints(chip[i].begin(), chip[i].begin() + 3), user) << "fan " << i;
        EXPECT_EQ(user, test::StoredCurve(store_, test::UserCurveKey(fans[i])))
            << "fan " << i << " was not saved";
    }
    EXPECT_TRUE(test::MonitorWrites(seq).empty()) << test::Describe(test::MonitorWrites(seq));
    EXPECT_EQ(0, test::PatchValue());

    // On resume the value 0 does nothing at all.
    std::string before = StoreText();
    EXPECT_FALSE(ShouldRestoreFans(1));
    EXPECT_EQ(1u, CountLines(traces, kRunningByPass));
    EXPECT_EQ(before, StoreText());
}

// The firmware offers its fan curve for the CPU fan, but an ITE user profile has no second curve
// to clear: the by-pass still adopts and saves the chip's curve.
TEST_F(RestoreTest, ByPassWithTheFirmwareCurveOnAProfileWithoutASecondCurveStillSaves) {
    Apply(
        "item 0x04060018 value 1 desc \"GPIO34\" 0 0 0 1 1\n"
        "item 0x040D001D desc \"CPU FAN CURVE\" 0 0 0 1 1");
    ASSERT_TRUE(FanStore::Instance().SetGpio34(1));
    QuilFanControl* fan = Fans()[0];
    ASSERT_EQ(nullptr, fan->GetProfile(4)->SecondProfile());
    fan->SelectProfile(2);
    FanPoints chip;
    fan->ReadFanCurveFromChip(&chip);
    ASSERT_LE(3u, chip.size());
    test::SetPatchValue(0);

    EXPECT_FALSE(ShouldRestoreFans(0));
    EXPECT_EQ(FanPoints(chip.begin(), chip.begin() + 3), test::UserPoints(fan));
    EXPECT_EQ(test::UserPoints(fan), test::StoredCurve(store_, test::UserCurveKey(fan)));
}

TEST_F(RestoreTest, SuspendThenResumeRestoresTheSavedSettingsIntoAResetChip) {
    test::Registers original = test::ChipRegisters();
    ApplyUserCurves();
    test::Registers applied = test::ChipRegisters();
    ASSERT_NE(original, applied) << "the user curves changed no register";
    test::SetPatchValue(1);

    RestoreThreadRecord record{};
    tolo::UniqueWindow window(CreatePowerWindow(&record));
    ASSERT_TRUE(window);
    test::SetChipRegisters(original);
    test::TraceCapture traces;
    uint32_t seq = sim::NextWriteSeq();
    SendMessageW(window.Get(), WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    EXPECT_EQ(original, test::ChipRegisters()) << "suspend alone wrote the chip";
    SendMessageW(window.Get(), WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);

    EXPECT_EQ(1u, CountLines(traces, kRunningRestore));
    EXPECT_EQ(applied, test::ChipRegisters()) << test::DescribeDifference(applied, test::ChipRegisters());
    EXPECT_TRUE(test::AllWritesLocked(seq)) << test::UnlockedMonitorWrites(seq);
    for (size_t i = 0; i < Fans().size(); ++i) {
        QuilFanControl* fan = Fans()[i];
        EXPECT_EQ(test::UserCurve(static_cast<int>(i)), test::UserPoints(fan)) << "fan " << i;
        EXPECT_EQ(3, fan->GetStepUpTime());
        EXPECT_EQ(4, fan->GetStepDownTime());
        EXPECT_EQ(3, FanStore::Instance().GetStepUpTime(fan->StoreKey()));
        EXPECT_EQ(4, FanStore::Instance().GetStepDownTime(fan->StoreKey()));
    }
}

// A client may run a curve without saving it (the user profile gets its points back at once): the
// restore puts back the curve the fan ran, and the user profile keeps its own points.
TEST_F(RestoreTest, RestorePutsBackTheCurveTheFanRanWhileTheUserProfileKeepsItsOwnPoints) {
    test::Registers original = test::ChipRegisters();
    ApplyUserCurves();
    QuilFanControl* fan = Fans()[0];
    FanProfile* user = fan->GetProfile(4);
    const FanPoints own = test::UserPoints(fan);
    user->SetPolygonal(test::UserCurve(5));
    fan->SelectProfileKeepBios(4);
    user->SetPolygonal(own);
    test::Registers running = test::ChipRegisters();
    test::SetChipRegisters(original);
    test::SetPatchValue(1);

    ASSERT_TRUE(ShouldRestoreFans(1));
    RestoreFanSettings();

    EXPECT_EQ(running, test::ChipRegisters()) << test::DescribeDifference(running, test::ChipRegisters());
    EXPECT_EQ(test::UserCurve(5), fan->GetFanCurve());
    EXPECT_EQ(own, test::UserPoints(fan));
    EXPECT_EQ(own, test::StoredCurve(store_, test::UserCurveKey(fan)));
}

TEST_F(RestoreTest, FanInRpmModeRunsTheRpmDutyThenTheTargetAndKeepsStepTimesZero) {
    ApplyUserCurves();
    QuilFanControl* fan = Fans()[0];
    fan->SaveRpmTargetDuty(102);
    FanStore::Instance().SetRpm(fan->StoreKey(), 204);
    fan->EnableRpmMode(true);
    ASSERT_TRUE(fan->IsRpmMode());
    test::SetPatchValue(1);
    uint32_t seq = sim::NextWriteSeq();

    RestoreFanSettings();

    FanPoints user = test::UserPoints(fan);
    ASSERT_EQ(3u, user.size());
    for (const FanPoint& p : user) EXPECT_EQ(204, p.duty) << "the user profile keeps the RPM target";
    EXPECT_EQ(0, fan->GetStepUpTime());
    EXPECT_EQ(0, fan->GetStepDownTime());
    // The fan runs with step times 0; the file keeps the user's, and the RPM mode.
    const int key = test::FanElementKey(fan);
    EXPECT_EQ(3, test::StoredFanValue(store_, key, "stepuptime")) << StoreText();
    EXPECT_EQ(4, test::StoredFanValue(store_, key, "stepdowntime"));
    EXPECT_EQ(1, test::StoredFanValue(store_, key, "rpmmode"));
    // The curve went to the chip twice, with different duties.
    std::vector<test::RegWrite> writes = test::MonitorWrites(seq);
    bool rewritten = false;
    for (size_t i = 0; i < writes.size() && !rewritten; ++i)
        for (size_t j = i + 1; j < writes.size() && !rewritten; ++j)
            rewritten = writes[i].bank == writes[j].bank && writes[i].reg == writes[j].reg &&
                        writes[i].value != writes[j].value;
    EXPECT_TRUE(rewritten) << test::Describe(writes);
}

// A client changing a fan's user curve while resume restores run, through the automation objects'
// interfaces as an early-bound client calls them: each member holds the fan-objects lock for its
// work, the restore holds it per fan. No change may be lost in the store or the chip, and the
// store's file stays whole.
TEST_F(RestoreTest, ClientChangesDuringResumeRestoresAreKeptInTheStoreAndTheChip) {
    ApplyUserCurves();
    test::SetPatchValue(1);
    // Clients reach the fans only once the start-up step is over.
    InterlockedExchange(&g_restoreDone, 1);
    QuilFanControl* fan = Fans()[0];
    tolo::ComPtr<IFanControl> client(new CIFanControlImpl(0, fan));
    tolo::ComPtr<IFanProfileCollection> profiles;
    ASSERT_EQ(S_OK, client->get_Profiles(profiles.Put()));
    // A member called while a fan's restore holds the lock waits for it, and only then reaches
    // the chip.
    {
        std::unique_lock<std::recursive_mutex> restoring(service::FanObjectsLock());
        const uint32_t seq = sim::NextWriteSeq();
        std::atomic<bool> applied{false};
        std::thread call([&] {
            client->ApplyIndex(4);
            applied = true;
        });
        Sleep(300);
        EXPECT_FALSE(applied) << "an early-bound call ran inside a restore";
        EXPECT_TRUE(test::MonitorWrites(seq).empty()) << test::Describe(test::MonitorWrites(seq));
        restoring.unlock();
        call.join();
        EXPECT_FALSE(test::MonitorWrites(seq).empty());
    }
    const FanPoints a = test::UserCurve(0), b = test::UserCurve(3);
    std::atomic<bool> clientDone{false};
    std::thread restorer([&] {
        for (int i = 0; i < 3 || !clientDone; ++i) RestoreFanSettings();
    });
    for (int i = 0; i < 8; ++i) {
        const FanPoints& points = i % 2 ? b : a;
        FanCurveHandle curve = BuildFanCurve(nullptr);
        for (const FanPoint& p : points) curve.points->Add(p.temperature, p.duty);
        ULONG saved = 0;
        EXPECT_EQ(S_OK, profiles->SaveUserProfile(curve.curve.Get(), &saved));
        EXPECT_EQ(1u, saved);
        Sleep(10);
        EXPECT_EQ(S_OK, client->ApplyIndex(4));
        Sleep(20);
    }
    clientDone = true;
    restorer.join();

    EXPECT_EQ(b, test::UserPoints(fan));
    EXPECT_EQ(b, test::StoredCurve(store_, test::UserCurveKey(fan))) << StoreText();
    EXPECT_EQ(test::UserCurve(1), test::StoredCurve(store_, test::UserCurveKey(Fans()[1])))
        << "the other fan's curve";
    // The chip runs the last curve: selecting it once more changes nothing.
    test::Registers raced = test::ChipRegisters();
    fan->SelectProfile(4);
    EXPECT_EQ(raced, test::ChipRegisters()) << test::DescribeDifference(raced, test::ChipRegisters());
}

// A Z97 board of the MARROWBACK line: two Super I/O fans whose weights also go to the EC and two EC
// fans of the newer records, the EC's devices, the firmware's fan-curve devices of the CPU and
// chassis fans (the CPU fan's curve mode item also reads as GPIO34) and its fan source table.
// Each device keys apart from the others in the firmware (ids differ below bit 16).
std::string EcBoard(const char* chip) {
    std::string text = std::string("product \"MARROWBACK Z97\"\nchip ") + chip + "\n";
    text +=
        "item 0x04070010 value 1 desc \"CPU FAN\" 0 0 0 1 3\n"
        "item 0x04070070 value 1 desc \"CHA FAN\" 0 0 0 1 3\n"
        "item 0x04060020 desc \"EC WEIGHTS\" 0 0 0 1 2\n"
        "item 0x04060021 desc \"EC CURVE\" 0 0 0 1 2\n"
        "item 0x04070022 desc \"EC ENABLE\" 0 0 0 1 2\n"
        "item 0x04070025 desc \"EC FAN STOP\" 0 0 0 1 2\n"
        "item 0x04060018 value 1 desc \"CPU FAN CURVE MODE\" 0 0 0 1 2\n"
        "item 0x040D001D desc \"CPU FAN CURVE\" 0 0 0 1 2\n"
        "item 0x04070078 value 2 desc \"CHA FAN CURVE MODE\" 0 0 0 1 2\n"
        "item 0x040D007D desc \"CHA FAN CURVE\" 0 0 0 1 2\n"
        "item 0x040D001E desc \"FAN SOURCES\" 0 0 0 1 2\n";
    return text;
}
const char kEcFans[] =
    "item 0x040700E0 value 1 desc \"EC FAN 1\" 0 0 0 1 3\n"
    "item 0x040700E2 value 1 desc \"EC FAN 2\" 0 0 0 1 3\n";

constexpr uint32_t kWeightsDevice = 0x04060020, kEnableDevice = 0x04070022, kFanStopDevice = 0x04070025,
                   kSourceTable = 0x040D001E;

void ClearBuffer(uint32_t device) {
    sim::SetItemBuffer(device, std::vector<uint8_t>(128, 0));
}

// On an NCT6791: every fan has its five profiles.
class EcRestoreTest : public RestoreTest {
protected:
    std::string BoardText() const override { return EcBoard("0xC803 0") + kEcFans; }
    void SetUp() override {
        RestoreTest::SetUp();
        // The product comes from the board's SMBIOS table, not from the host's firmware.
        tolo::g_pGetSystemFirmwareTable = nullptr;
    }
};

// What the firmware and the chip hold once the start-up restore ran over records and registers the
// firmware and the chip lost: the EC's enable list, each EC fan's fan stop, the Super I/O fans'
// T1 delay, step unit and temperature tolerance, and, last of all, the fan source table.
TEST_F(EcRestoreTest, StartupRestoreSendsEcModesFanStopsChipTimingsAndLastTheSourceTable) {
    const std::vector<QuilFanControl*>& fans = Fans();
    ASSERT_EQ(4u, fans.size());
    QuilFanControl *cpu = fans[0], *chassis = fans[1];
    auto* ec1 = dynamic_cast<NewPureEcFan*>(fans[2]);
    auto* ec2 = dynamic_cast<NewPureEcFan*>(fans[3]);
    ASSERT_TRUE(ec1 && ec2);
    ASSERT_EQ(224, ec1->FanIndex());
    for (QuilFanControl* fan : fans) ASSERT_EQ(5, fan->GetProfileCount());
    // The settings as clients leave them.
    cpu->SetEcMode(1);
    chassis->SetEcMode(0);
    ec1->SetEcFanStop(true);
    ec2->SetEcFanStop(false);
    cpu->SetT1DelayTime(12);
    cpu->SetStepUnit(5);
    chassis->SetT1DelayTime(7);
    chassis->SetStepUnit(9);
    cpu->SetTempTolerance(2);
    const int sources[] = {3, 5, 2, 6};
    for (size_t i = 0; i < fans.size(); ++i) fans[i]->SetFanSourceIndex(sources[i]);
    ASSERT_EQ(12, FanStore::Instance().GetT1DelayTime(cpu->StoreKey()));
    // The firmware and the chip lose them; the EC fans' states follow only what the EC accepts.
    for (uint32_t device : {kEnableDevice, kFanStopDevice, kSourceTable}) ClearBuffer(device);
    ec1->SetFanStopState(false);
    ec2->SetFanStopState(true);
    {
        sim::BoardLock lock;
        for (int bank : {1, 2})
            for (int reg : {0x02, 0x20, 0x66, 0x67}) Board()->sio.hwm[bank][reg] = 0;
    }
    test::SetPatchValue(1);
    const uint32_t seq = sim::NextWriteSeq();

    ASSERT_TRUE(ShouldRestoreFans(0));
    RestoreFanSettings();

    // Each Super I/O fan takes the EC mode stored under its own key. EC fans always take part.
    EXPECT_EQ(test::Head(kEnableDevice, 5), (std::vector<int32_t>{1, 0, 1, 1, 0}));
    EXPECT_EQ(1, cpu->GetEcMode());
    EXPECT_EQ(0, chassis->GetEcMode());
    // Each EC fan's stored fan stop goes to the EC with its user profile and once more after it.
    const std::vector<uint32_t> writes = test::BufferWriteOrder(seq);
    EXPECT_EQ(4u, test::BufferWrites(seq, kFanStopDevice));
    EXPECT_EQ(test::Head(kFanStopDevice, 3), (std::vector<int32_t>{225, 0, 0}));
    EXPECT_TRUE(ec1->FanStopState());
    EXPECT_FALSE(ec2->FanStopState());
    // T1 delay (0x67) and step unit (0x66) in each fan's bank, under their gate (0x20).
    const uint8_t(*hwm)[256] = Board()->sio.hwm;
    EXPECT_EQ(12, hwm[2][0x67]);
    EXPECT_EQ(5, hwm[2][0x66]);
    EXPECT_EQ(7, hwm[1][0x67]);
    EXPECT_EQ(9, hwm[1][0x66]);
    EXPECT_EQ(1, hwm[2][0x20]);
    EXPECT_EQ(1, hwm[1][0x20]);
    // The CPU fan's temperature tolerance under the curve mode bits; the chassis fan was given none
    // and none is stored for it.
    EXPECT_EQ(0x42, hwm[2][0x02]);
    EXPECT_EQ(0, hwm[1][0x02] & 0x0F);
    EXPECT_EQ(2, FanStore::Instance().GetTempTolerance(cpu->StoreKey()));
    EXPECT_EQ(-1, FanStore::Instance().GetTempTolerance(chassis->StoreKey()));
    // The source table comes after everything else, with every fan's source in list order.
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(kSourceTable, writes.back());
    std::vector<int32_t> table(32, 0);
    std::copy(std::begin(sources), std::end(sources), table.begin());
    EXPECT_EQ(table, test::Head(kSourceTable, 32));
}

// Ends a restore on the restore thread however the test ends.
class HeldRestore {
public:
    explicit HeldRestore(uint32_t device) : device_(device) {
        sim::HoldNextItemWrite(device_);
        thread_ = std::thread([] { RestoreFanSettings(); });
    }
    ~HeldRestore() {
        sim::ReleaseItemWrite(device_);
        thread_.join();
    }
    // True once the restore stands at its next write to the device.
    bool Held() { return sim::WaitItemWriteHeld(device_, 15000); }
    // Lets it go on, to be held again at the device's next write.
    void HoldNext() {
        sim::ReleaseItemWrite(device_);
        sim::HoldNextItemWrite(device_);
    }

private:
    uint32_t device_;
    std::thread thread_;
};

// The file holds what clients saved at every moment of a resume: held at each fan's first
// selection, when the fan's step times are 0 in the chip and, for the fan in RPM mode, the mode
// is off. A value applied without saving runs again after the resume and stays unsaved.
TEST_F(EcRestoreTest, ResumeRestoreStoresNeitherItsOwnValuesNorAClientsUnsavedOnes) {
    const std::vector<QuilFanControl*>& fans = Fans();
    ASSERT_EQ(4u, fans.size());
    QuilFanControl *cpu = fans[0], *chassis = fans[1];
    cpu->SetStepUpTime(7);
    cpu->SetStepDownTime(9);
    cpu->SetStepUpTimeButNotSave(25);
    chassis->SetStepUpTime(6);
    chassis->SetStepDownTime(8);
    chassis->EnableRpmMode(true);
    test::SetPatchValue(1);
    const int cpuKey = test::FanElementKey(cpu), chassisKey = test::FanElementKey(chassis);
    auto stored = [&](int key, const char* name) { return test::StoredFanValue(store_, key, name); };
    {
        HeldRestore restore(kEnableDevice);
        EXPECT_TRUE(restore.Held());
        EXPECT_EQ(7, stored(cpuKey, "stepuptime")) << StoreText();
        EXPECT_EQ(9, stored(cpuKey, "stepdowntime"));
        restore.HoldNext();
        EXPECT_TRUE(restore.Held());
        EXPECT_EQ(1, stored(chassisKey, "rpmmode")) << StoreText();
        EXPECT_EQ(6, stored(chassisKey, "stepuptime"));
        EXPECT_EQ(8, stored(chassisKey, "stepdowntime"));
    }
    const uint8_t(*hwm)[256] = Board()->sio.hwm;
    EXPECT_EQ(25, hwm[2][0x03]) << "the unsaved step-up time runs again";
    EXPECT_EQ(9, hwm[2][0x04]);
    EXPECT_EQ(7, stored(cpuKey, "stepuptime")) << StoreText();
    EXPECT_EQ(9, stored(cpuKey, "stepdowntime"));
    EXPECT_TRUE(chassis->IsRpmMode());
    EXPECT_EQ(0, chassis->GetStepUpTime()) << "a fan in RPM mode runs with step times 0";
    EXPECT_EQ(1, stored(chassisKey, "rpmmode"));
    EXPECT_EQ(6, stored(chassisKey, "stepuptime"));
    EXPECT_EQ(8, stored(chassisKey, "stepdowntime"));
}

// A client's change of a fan's source landing while the restore's table is on its way to the
// firmware reaches the firmware after it, not before.
TEST_F(EcRestoreTest, SourceChangeDuringTheRestoresTableIsNotOverwrittenByIt) {
    const std::vector<QuilFanControl*>& fans = Fans();
    ASSERT_EQ(4u, fans.size());
    const int sources[] = {3, 5, 2, 6};
    for (size_t i = 0; i < fans.size(); ++i) fans[i]->SetFanSourceIndex(sources[i]);
    test::SetPatchValue(1);
    InterlockedExchange(&g_restoreDone, 1);
    tolo::ComPtr<IFanControl> client(new CIFanControlImpl(1, fans[1]));
    {
        HeldRestore restore(kSourceTable);
        EXPECT_TRUE(restore.Held());
        std::thread call([&] { EXPECT_EQ(S_OK, client->put_FanSourceIndex(9)); });
        Sleep(300);
        sim::ReleaseItemWrite(kSourceTable);
        call.join();
    }
    EXPECT_EQ(9, fans[1]->GetFanSourceIndex());
    EXPECT_EQ(test::Head(kSourceTable, 4), (std::vector<int32_t>{3, 9, 2, 6}));
}

// A MARROWBACK Z77 board on an NCT6791: two Super I/O fans whose curves go to the chip.
class Z77RestoreTest : public RestoreTest {
protected:
    std::string BoardText() const override {
        return "product \"MARROWBACK Z77\"\nchip 0xC803 0\n"
               "item 0x04070010 value 1 desc \"CPU FAN\" 0 0 0 1 3\n"
               "item 0x04070070 value 1 desc \"CHA FAN\" 0 0 0 1 3\n";
    }
    void SetUp() override {
        RestoreTest::SetUp();
        tolo::g_pGetSystemFirmwareTable = nullptr;
    }
};

// What the file holds when the service starts is what the start-up restore gives the chip.
// Values no client could set (the chassis fan's, edited by hand) are taken as none.
TEST_F(Z77RestoreTest, StoredTimingsReachTheChipAtStartUp) {
    FanStore& store = FanStore::Instance();
    store.SetStepUpTime(0, 7);
    store.SetStepDownTime(0, 9);
    store.SetStepUnit(0, 5);
    store.SetT1DelayTime(0, 12);
    store.SetStepUpTime(2, 300);
    store.SetStepDownTime(2, -5);
    store.SetStepUnit(2, 511);
    store.SetT1DelayTime(2, 300);
    const std::vector<QuilFanControl*>& fans = Fans();
    ASSERT_EQ(2u, fans.size());
    {
        sim::BoardLock lock;
        for (int reg : {0x03, 0x04, 0x66, 0x67}) Board()->sio.hwm[2][reg] = Board()->sio.hwm[1][reg] = 0x11;
    }
    test::SetPatchValue(1);

    ASSERT_TRUE(ShouldRestoreFans(0));
    RestoreFanSettings();

    const uint8_t(*hwm)[256] = Board()->sio.hwm;
    EXPECT_EQ(7, hwm[2][0x03]);
    EXPECT_EQ(9, hwm[2][0x04]);
    EXPECT_EQ(5, hwm[2][0x66]);
    EXPECT_EQ(12, hwm[2][0x67]);
    for (int reg : {0x03, 0x04, 0x66, 0x67}) EXPECT_EQ(0, hwm[1][reg]) << std::hex << reg;
    EXPECT_EQ(0, fans[1]->GetStepUpTime());
    EXPECT_EQ(0, fans[1]->GetStepDownTime());
}

// The box tool's way in RPM mode: the user curve saved, then applied by its index. The target is
// stored; a store that holds none (written before targets were stored this way) leaves the fan
// its own curve through a resume, never a target of 0.
TEST_F(Z77RestoreTest, RpmModeUserCurveAppliedByIndexIsNeverGivenTargetsOfZero) {
    QuilFanControl* fan = Fans()[0];
    ASSERT_EQ(5, fan->GetProfileCount());
    const int key = test::FanElementKey(fan);
    auto chip = [&] {
        FanPoints points;
        SioAccessor::Instance().GetFanCurve(&points, fan->FanIndex());
        return points;
    };
    fan->EnableRpmMode(true);
    const FanPoints curve{{30, 40}, {50, 60}, {70, 80}};
    fan->GetProfile(4)->SetPolygonal(curve);
    fan->SaveProfile(4);
    fan->SelectProfile(4);
    const FanPoints running = chip();
    ASSERT_GE(running.size(), 3u);
    EXPECT_EQ(40, running[0].duty);
    EXPECT_EQ(80, running[2].duty);
    EXPECT_EQ(40, test::StoredFanValue(store_, key, "rpm")) << StoreText();
    FanStore::Instance().SetRpm(fan->StoreKey(), 0);
    test::SetPatchValue(1);

    ASSERT_TRUE(ShouldRestoreFans(1));
    RestoreFanSettings();

    EXPECT_EQ(running, chip());
    EXPECT_EQ(curve, test::UserPoints(fan));
    EXPECT_EQ(curve, test::StoredCurve(store_, key));
}

// A MARROWBACK Z77 board with an EC fan of the older records, four source sensors and the
// firmware's multi-source device.
class Z77EcRestoreTest : public RestoreTest {
protected:
    std::string BoardText() const override {
        std::string text = EcBoard("0xC803 0") + kEcFans +
                           "item 0x040D002B desc \"MULTI SOURCE\" 0 0 0 1 2\nbuffer 0x040D002B 00\n";
        text.replace(text.find("Z97"), 3, "Z77");
        for (int i = 1; i <= 4; ++i) text += "item 0x0603000" + std::to_string(i) + " desc \"T\" 0 0 0 1 2\n";
        return text;
    }
    void SetUp() override {
        RestoreTest::SetUp();
        tolo::g_pGetSystemFirmwareTable = nullptr;
    }
};

// A store another program held while the fans were built, read at the first client call after it
// let go: the EC fan takes the user's weights and sources, a weights object handed out during the
// hold shows them (its Save keeps them) while a sources object a client edited during the hold
// keeps the edit, and the fans' catch-up stores nothing of its own, so a
// member that stores nothing is not told of a save that failed (the file is still open to readers
// only, and cannot be replaced).
TEST_F(Z77EcRestoreTest, AStoreReadLateGivesEveryFanAndWeightsObjectTheStoredSettings) {
    const int key = FanStoreKeyFromFanType(FanStoreKeyOfIndex(kFirstEcFanIndex));
    std::ofstream(store_, std::ios::binary)
        << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n<root><fan key=\"" << key
        << "\"><weights><sensor_0>30</sensor_0><sensor_1>70</sensor_1><sensor_2>0</sensor_2>"
           "<sensor_3>0</sensor_3></weights><multisourceindex><source_0>2</source_0></multisourceindex>"
           "<ecenable>1</ecenable></fan></root>\n";
    tolo::UniqueHandle holder(
        CreateFileA(store_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    const std::vector<QuilFanControl*>& fans = Fans();
    auto found = std::find_if(fans.begin(), fans.end(),
                              [](QuilFanControl* f) { return f->FanIndex() == kFirstEcFanIndex; });
    ASSERT_NE(fans.end(), found);
    QuilFanControl* ec = *found;
    ASSERT_NE(nullptr, dynamic_cast<PureEcFan*>(ec));
    tolo::ComPtr<CIFanControlImpl> object(new CIFanControlImpl(static_cast<int>(found - fans.begin()), ec));
    tolo::ComPtr<IThermalWeights> weights;
    ASSERT_EQ(S_OK, object->get_ThermalWeights(weights.Put()));
    // A client's edit made during the hold is newer than the file: it stays, and its Save stores it.
    tolo::ComPtr<IMultiFanSource> sources;
    ASSERT_EQ(S_OK, object->get_MultiFanSource(sources.Put()));
    EXPECT_EQ(S_OK, sources->Add(8));
    holder.Reset();
    tolo::UniqueHandle reader(CreateFileA(store_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    const std::string before = StoreText();

    EXPECT_EQ(S_OK, object->put_DutyCycle(128));
    reader.Reset();
    EXPECT_EQ(before, StoreText());
    EXPECT_EQ((std::vector<int>{30, 70, 0, 0}), ec->GetThermalWeights());
    EXPECT_EQ((std::vector<int>{2}), ec->GetMultiSource());
    std::vector<int> shown(4);
    for (LONG i = 0; i < 4; ++i) {
        LONG w = -1;
        EXPECT_EQ(S_OK, weights->get_Item(i, &w));
        shown[i] = w;
    }
    EXPECT_EQ((std::vector<int>{30, 70, 0, 0}), shown);
    EXPECT_EQ(S_OK, weights->put_Item(2, 5));
    EXPECT_EQ(S_OK, weights->Save());
    std::vector<int> stored;
    FanStore::Instance().ReadWeights(ec->StoreKey(), &stored);
    EXPECT_EQ((std::vector<int>{30, 70, 5, 0}), stored);
    LONG count = 0, first = 0;
    EXPECT_EQ(S_OK, sources->get_Count(&count));
    EXPECT_EQ(S_OK, sources->get_Item(0, &first));
    EXPECT_EQ(1, count);
    EXPECT_EQ(8, first);
    EXPECT_EQ(S_OK, sources->Save());
    EXPECT_EQ((std::vector<int>{8}), FanStore::Instance().ReadMultiSource(ec->StoreKey()));
}

// On a Winbond W83667HG-B the profile factories have no profiles for the fans: each Super I/O fan
// holds only the four standard positions, none of them filled.
class ShortListRestoreTest : public EcRestoreTest {
protected:
    std::string BoardText() const override { return EcBoard("0xB352 0"); }
};

// A fan of fewer than five profiles has its current profile refreshed, which sends its weights to
// the EC again, even when it runs by RPM.
TEST_F(ShortListRestoreTest, FanOfFewerThanFiveProfilesResendsItsWeightsEvenInRpmMode) {
    const std::vector<QuilFanControl*>& fans = Fans();
    ASSERT_EQ(2u, fans.size());
    QuilFanControl* chassis = fans[1];
    ASSERT_EQ(4, chassis->GetProfileCount());
    fans[0]->SaveThermalWeights({10, 20, 30, 40});
    chassis->SaveThermalWeights({50, 60, 70, 80});
    chassis->EnableRpmMode(true);
    for (uint32_t device : {kWeightsDevice, kEnableDevice}) ClearBuffer(device);
    test::SetPatchValue(1);
    const uint32_t seq = sim::NextWriteSeq();

    ASSERT_TRUE(ShouldRestoreFans(0));
    RestoreFanSettings();

    EXPECT_EQ(2u, test::BufferWrites(seq, kWeightsDevice));
    // The chassis fan's record came last: its number, then w * 255 / 100 of each weight.
    EXPECT_EQ(test::Head(kWeightsDevice, 7), (std::vector<int32_t>{1, 127, 153, 178, 204, -1, 4}));
    EXPECT_EQ(2u, test::BufferWrites(seq, kEnableDevice)) << "the selections";
    EXPECT_TRUE(chassis->IsRpmMode());
}

TEST_F(RestoreTest, PowerWindowIsAHiddenWindowNamedFanServiceWhoseHandleGoesIntoTheRecord) {
    RestoreThreadRecord record{};
    tolo::UniqueWindow window(CreatePowerWindow(&record));
    ASSERT_TRUE(window);
    EXPECT_EQ(window.Get(), record.powerWindow);
    wchar_t text[64] = {};
    GetClassNameW(window.Get(), text, 64);
    EXPECT_STREQ(L"Fan Service", text);
    GetWindowTextW(window.Get(), text, 64);
    EXPECT_STREQ(L"Fan Service", text);
    EXPECT_FALSE(IsWindowVisible(window.Get()));
    EXPECT_EQ(nullptr, GetParent(window.Get()));
}

TEST_F(RestoreTest, OnlyAResumeAfterASuspendRestoresAndOnlyOnce) {
    RestoreThreadRecord record{};
    tolo::UniqueWindow window(CreatePowerWindow(&record));
    ASSERT_TRUE(window);
    test::TraceCapture traces;
    auto broadcast = [&](WPARAM event) { SendMessageW(window.Get(), WM_POWERBROADCAST, event, 0); };

    broadcast(PBT_APMRESUMESUSPEND);
    EXPECT_EQ(0u, CountLines(traces, kRestoreFan)) << "a resume without a suspend restored";
    broadcast(PBT_APMSUSPEND);
    EXPECT_EQ(1, g_powerSuspended);
    broadcast(PBT_POWERSETTINGCHANGE);
    EXPECT_EQ(1, g_powerSuspended) << "another event ended the suspended state";
    EXPECT_EQ(0u, CountLines(traces, kRestoreFan));
    broadcast(PBT_APMRESUMESUSPEND);
    EXPECT_EQ(1u, CountLines(traces, kRestoreFan));
    EXPECT_EQ(1u, CountLines(traces, L"*** wParam = 0x       7 ***"));
    EXPECT_EQ(0, g_powerSuspended);
    broadcast(PBT_APMRESUMESUSPEND);
    broadcast(PBT_APMRESUMEAUTOMATIC);
    EXPECT_EQ(1u, CountLines(traces, kRestoreFan)) << "a second resume restored again";

    broadcast(PBT_APMSUSPEND);
    broadcast(PBT_APMRESUMEAUTOMATIC);
    broadcast(PBT_APMSUSPEND);
    broadcast(PBT_APMRESUMECRITICAL);
    EXPECT_EQ(3u, CountLines(traces, kRestoreFan));
    EXPECT_EQ(1u, CountLines(traces, L"*** wParam = 0x      12 ***"));
    EXPECT_EQ(1u, CountLines(traces, L"*** wParam = 0x       6 ***"));
    EXPECT_EQ(3u, CountLines(traces, kRestoreDone));
    EXPECT_EQ(10u, CountLines(traces, L"*** WM_POWERBROADCAST  ***"));
}

TEST_F(RestoreTest, RestoreThreadRaisesTheFlagThenServesItsWindowUntilItIsClosed) {
    test::TraceCapture traces;
    RestoreThreadRecord record{};
    HWND window = nullptr;
    tolo::UniqueHandle thread = StartRestoreThreadOver(&record, &window);
    ASSERT_TRUE(thread);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(1, g_restoreDone);
    std::vector<std::wstring> lines = traces.Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(kRestoreFan, lines[0]);
    EXPECT_EQ(kRestoreDone, lines[1]);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    EXPECT_EQ(GetCurrentProcessId(), owner);

    // Closing the window ends its message loop and the thread.
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), 10000));
    DWORD code = 1;
    GetExitCodeThread(thread.Get(), &code);
    EXPECT_EQ(0u, code);
}

// A restore that throws (an allocation failing) ends that restore, not the restore thread or the
// process: the start-up step still raises the flag, the window answers the broadcasts, and the
// next resume restores the chip.
TEST_F(RestoreTest, ARestoreThatThrowsLeavesTheThreadAndItsWindowServing) {
    const test::Registers original = test::ChipRegisters();
    ApplyUserCurves();
    const test::Registers applied = test::ChipRegisters();
    test::SetPatchValue(1);
    std::atomic<bool> failing{true};
    std::atomic<int> failures{0}, restores{0};
    tolo::SetTraceHook([&](const std::wstring& text) {
        if (text != kRunningRestore) return;
        ++restores;
        if (!failing) return;
        ++failures;
        throw std::bad_alloc();
    });
    struct HookReset {
        ~HookReset() { tolo::SetTraceHook(nullptr); }
    } hookReset;

    RestoreThreadRecord record{};
    HWND window = nullptr;
    tolo::UniqueHandle thread = StartRestoreThreadOver(&record, &window);
    ASSERT_TRUE(thread);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(1, g_restoreDone);
    EXPECT_EQ(1, failures);

    test::SetChipRegisters(original);
    SendMessageW(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    SendMessageW(window, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(2, failures);
    EXPECT_EQ(0, g_powerSuspended);
    EXPECT_EQ(original, test::ChipRegisters());

    failing = false;
    SendMessageW(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    SendMessageW(window, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0);
    EXPECT_EQ(3, restores);
    EXPECT_EQ(applied, test::ChipRegisters()) << test::DescribeDifference(applied, test::ChipRegisters());

    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), 10000));
}

}  // namespace
