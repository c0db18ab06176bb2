// The clock monitor's manager: the measuring thread's passes, suspension and wake-up, the
// frequency the tool reads, and the nominal ratio from the firmware's clock item.
#include <gtest/gtest.h>

#include "FakeMachine.h"
#include "bios/BiosInterface.h"
#include "board/Board.h"
#include "boxtool/AcpiLoader.h"
#include "boxtool/CpuManager.h"
#include "boxtool/IoWrappers.h"
#include "support/BoardTest.h"

namespace {

bool Suspended(HANDLE thread) {
    const DWORD count = SuspendThread(thread);
    ResumeThread(thread);
    return count != DWORD(-1) && count >= 1;
}

// True once the measuring thread has suspended itself (its suspend count is above 0).
bool WaitUntilSuspended() {
    HANDLE h = MeasureThreadHandle();
    for (int i = 0; i < 30000; ++i) {
        if (Suspended(h)) return true;
        Sleep(1);
    }
    return false;
}

class CpuManagerTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        machine = &test::InstallFakeMachine();
    }
    void Amd(uint32_t extFamily, uint32_t family, bool invariantTsc) {
        machine->Vendor("AuthenticAMD");
        machine->Leaf(0x80000001, extFamily << 20 | family << 8);
        machine->Leaf(0x80000007, 0, 0, 0, invariantTsc ? 1u << 8 : 0);
        machine->processors = 2;
    }
    // While held, the measuring thread waits inside each sleep until released.
    void HoldMeasurements(bool hold) {
        if (!gate) {
            gate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
            machine->onSleep = [this](DWORD, uint32_t) {
                if (GetCurrentThreadId() == GetThreadId(MeasureThreadHandle()))
                    WaitForSingleObject(gate, INFINITE);
            };
        }
        hold ? ResetEvent(gate) : SetEvent(gate);
    }
    std::vector<DWORD> MeasuringSleeps() { return machine->SleepsOf(GetThreadId(MeasureThreadHandle())); }
    test::FakeMachine* machine = nullptr;
    HANDLE gate = nullptr;  // lives as long as the measuring thread
};

TEST_F(CpuManagerTest, TwoPassesThenSuspendedAndEveryCallWakesIt) {
    Amd(0, 15, false);
    Apply("msr 0xC0010042 0x14");
    // The starter is held before it has the new thread's handle, until the thread cannot go on by
    // itself or has run past its two passes: when the thread suspends itself must not depend on
    // when its starter stores the handle.
    machine->onThreadCreated = [this](HANDLE thread, DWORD id) {
        for (int i = 0; i < 5000 && !Suspended(thread) && machine->SleepsOf(id).size() < 6; ++i) Sleep(1);
    };
    auto* manager = new BasicCpuManager;
    EXPECT_FLOAT_EQ(manager->GetRatio(), 1.0f);
    manager->Start();
    EXPECT_FLOAT_EQ(manager->GetRatio(), 14.0f);  // the first pass is published

    ASSERT_TRUE(WaitUntilSuspended());
    // Each pass: the 500 ms rate measurement, then the rest of the 3000 ms period.
    EXPECT_EQ(MeasuringSleeps(), (std::vector<DWORD>{500, 2500, 500, 2500}));
    EXPECT_EQ(machine->tscReads.load(), 4u);

    // Suspended for a while: the pending pass runs at once and does not wait after itself. The
    // thread is held inside its measurement while the call returns.
    machine->nowMs += 10000;
    machine->ticksPerMs = 3000000;
    Apply("msr 0xC0010042 0x16");
    HoldMeasurements(true);
    EXPECT_EQ(manager->GetTscRate(), 340000u);  // what was published before the call
    HoldMeasurements(false);
    ASSERT_TRUE(WaitUntilSuspended());
    EXPECT_EQ(MeasuringSleeps(), (std::vector<DWORD>{500, 2500, 500, 2500, 500, 0, 500, 2500, 500, 2500}));
    EXPECT_EQ(machine->tscReads.load(), 10u);
    EXPECT_FLOAT_EQ(manager->GetRatio(), 15.0f);
    HoldMeasurements(true);
    EXPECT_EQ(manager->GetTscRate(), 300000u);
    HoldMeasurements(false);

    ASSERT_TRUE(WaitUntilSuspended());
    delete manager;  // wakes the thread and stops it
    EXPECT_EQ(WaitForSingleObject(MeasureThreadHandle(), 0), WAIT_OBJECT_0);
}

TEST_F(CpuManagerTest, IntelFrequencyFollowsTheRatios) {
    machine->IntelTopology(0x906EA, 2, 1);
    Apply("msr 0xCE 0x2200\nmsr 0x198 0x2800");
    CpuManager::Instance().Init();
    float current = 0, maximum = 0, frequency = 0;
    CpuManager::Instance().GetCpuFrequency(&current, &maximum, &frequency);
    EXPECT_FLOAT_EQ(current, 40.0f);
    EXPECT_FLOAT_EQ(maximum, 34.0f);
    EXPECT_FLOAT_EQ(frequency, 4000.0f);
    EXPECT_FALSE(CpuManager::Instance().UsesTscAsCoreClock());
}

TEST_F(CpuManagerTest, IntelWithoutTheIoLibraryGivesZero) {
    machine->IntelTopology(0x906EA, 2, 1);
    Apply("fault quilio\nmsr 0xCE 0x2200\nmsr 0x198 0x2800");
    CpuManager::Instance().Init();
    float current = -1, maximum = -1, frequency = -1;
    CpuManager::Instance().GetCpuFrequency(&current, &maximum, &frequency);
    EXPECT_FLOAT_EQ(current, 0.0f);
    EXPECT_FLOAT_EQ(maximum, 1.0f);
    EXPECT_FLOAT_EQ(frequency, 0.0f);
}

TEST_F(CpuManagerTest, AmdWithoutInvariantTscReportsTheTscRate) {
    Amd(0, 15, false);
    Apply("msr 0xC0010042 0x00040014");  // current 14, nominal 6
    CpuManager::Instance().Init();
    float current = 0, maximum = 0, frequency = 0;
    CpuManager::Instance().GetCpuFrequency(&current, &maximum, &frequency);
    EXPECT_FLOAT_EQ(current, 14.0f);
    EXPECT_FLOAT_EQ(maximum, 6.0f);
    EXPECT_FLOAT_EQ(frequency, 3400.0f);
}

TEST_F(CpuManagerTest, AmdWithInvariantTscScalesByTheRatios) {
    Amd(0, 15, true);
    Apply("msr 0xC0010042 0x00040014");
    CpuManager::Instance().Init();
    float current = 0, maximum = 0, frequency = 0;
    CpuManager::Instance().GetCpuFrequency(&current, &maximum, &frequency);
    EXPECT_FLOAT_EQ(frequency, 340000.0f / 6 * 14 * 0.01f);
}

// An AMD board that reports its clock: board information type 3 and item 17 of group 3.
class BiosClockTest : public CpuManagerTest {
protected:
    std::string BoardText() const override {
        return "mbif 0 0 0x103\nitem 0x03000011 value 200 desc \"CPU Clock\" 0 0 0 1 1000\n"
               "item 0x04000011 value 100 desc \"Other\" 0 0 0 1 1000\n";
    }
    void SetUp() override {
        CpuManagerTest::SetUp();
        AcpiInitOnce();  // as the tool's start-up does
    }
};

TEST_F(BiosClockTest, RatioFromTheFirmwareClockToTheNearestHalf) {
    double ratio = 0;
    ASSERT_TRUE(CpuManager::RatioFromBiosClock(320000, &ratio));
    EXPECT_DOUBLE_EQ(ratio, 16.0);
    Apply("item 0x03000011 value 201");
    ASSERT_TRUE(CpuManager::RatioFromBiosClock(320000, &ratio));
    EXPECT_DOUBLE_EQ(ratio, 16.0);
    Apply("item 0x03000011 value 206");
    ASSERT_TRUE(CpuManager::RatioFromBiosClock(320000, &ratio));
    EXPECT_DOUBLE_EQ(ratio, 15.5);
    Apply("item 0x03000011 value 0");
    ratio = 7;
    EXPECT_FALSE(CpuManager::RatioFromBiosClock(320000, &ratio));
    Apply("item 0x03000011 fail-get");
    EXPECT_FALSE(CpuManager::RatioFromBiosClock(320000, &ratio));
    EXPECT_DOUBLE_EQ(ratio, 7.0);
}

TEST_F(BiosClockTest, TheClockItemIsLookedForOnceTheGroupOpens) {
    Apply("refuse-group 3");
    EXPECT_EQ(FindBiosItem17(), nullptr);
    Board()->acpi.groupFlags[3] = 0;  // a refused group is asked again
    BasicBiosItem<wchar_t>* item = FindBiosItem17();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->GetId() & 0xFF00FFFF, 0x03000011u);
    const uint32_t walks = Board()->acpi.ggrpCalls[3];
    EXPECT_EQ(FindBiosItem17(), item);
    EXPECT_EQ(Board()->acpi.ggrpCalls[3], walks);
}

TEST_F(BiosClockTest, BoardInformationTypeIsReadEveryTime) {
    EXPECT_TRUE(IsMbifType3());
    Apply("mbif 0 0 4");
    EXPECT_FALSE(IsMbifType3());
    Board()->acpi.mbifCount = -1;  // the package cannot be read
    EXPECT_FALSE(IsMbifType3());
}

TEST_F(BiosClockTest, TheFirmwareClockSetsTheNominalRatio) {
    Amd(0, 15, false);
    Apply("msr 0xC0010042 0x00040014");
    CpuManager::Instance().Init();
    float current = 0, maximum = 0, frequency = 0;
    CpuManager::Instance().GetCpuFrequency(&current, &maximum, &frequency);
    EXPECT_FLOAT_EQ(maximum, 17.0f);  // 3400 MHz / 200
    EXPECT_FLOAT_EQ(frequency, 3400.0f);
}

TEST_F(BiosClockTest, BoostFamiliesDoNotAskTheFirmware) {
    Amd(5, 14, false);  // family 14h: a BasicCpuDataAmd reader, but a boost family
    Apply("msr 0xC0010042 0x00040014");
    CpuManager::Instance().Init();
    float current = 0, maximum = 0, frequency = 0;
    CpuManager::Instance().GetCpuFrequency(&current, &maximum, &frequency);
    EXPECT_FLOAT_EQ(maximum, 6.0f);
    EXPECT_EQ(Board()->acpi.ggrpCalls[3], 0u);
}

}  // namespace
