// The sensor feed over the stand-in hardware-monitor library: where the library comes from, what
// the window thread's packages hold after each refresh, and the reader thread's hand-over.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "boxtool/Probesensor.h"
#include "support/BoardTest.h"
#include "system/Handles.h"

namespace {

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 2000; ++i) {
        if (done()) return true;
        Sleep(10);
    }
    return done();
}

std::wstring ModulePath(HMODULE m) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(m, path, MAX_PATH);
    return path;
}

std::wstring ExeDirectory() {
    std::wstring exe = ModulePath(nullptr);
    return exe.substr(0, exe.find_last_of(L'\\') + 1);
}

// Every heap of the process is intact: a library writing past the reader's buffer shows here.
bool HeapsIntact() {
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < n && i < 64; ++i)
        if (!HeapValidate(heaps[i], 0, nullptr)) return false;
    return true;
}

class SensorFeedTest : public test::BoardTest {
protected:
    std::string BoardText() const override {
        return "sensor 2 \"VCORE\" 1200 1 2 3\n"
               "sensor 3 \"CPU\" 450 10 11 12\n"
               "sensor 4 \"CPU_FAN\" 1500 30 31 32\n"
               "sensor 3 \"MB\" 320 20 21 22\n"
               "sensor 4 \"CHA_FAN1\" 900 40 41 42\n"
               "sensor 4 \"CHA_FAN2\" 0 50 51 52\n";
    }
    void SetUp() override {
        test::BoardTest::SetUp();
        // This process's HKLM is a private key: the tool's registry value never meets another test.
        std::wstring key = L"Software\\QuilTest\\hklm-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  machine_.Put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine_.Get()), ERROR_SUCCESS);
        privateKey_ = key;
    }
    void TearDown() override {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        machine_.Reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, privateKey_.c_str());
    }

    void SetHmDllPath(const std::wstring& path) {
        tolo::RegKey k;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\QUIL\\Tessaro_II", 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, k.Put(), nullptr),
                  ERROR_SUCCESS);
        RegSetValueExW(k.Get(), L"HMDllPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    }

    static int Reading(int type, int i) { return WindowSensorPackage(type).records[i].reading; }
    static std::string Name(int type, int i) { return WindowSensorPackage(type).display[i].name; }

    // Waits until the reader has published a reading of the exchange package.
    static bool PublishedReading(int type, int i, int reading) {
        return WaitUntil([&] {
            SafeSensorPackage& p = ExchangeSensorPackage(type);
            p.Lock();
            bool seen = p.records[i].reading == reading;
            p.Unlock();
            return seen;
        });
    }

    // Waits until the library has finished at least n more fills than before.
    bool FillsFinished(uint32_t from, uint32_t n) {
        return WaitUntil([&] { return Board()->sensors.fillsDone >= from + n; });
    }

private:
    tolo::RegKey machine_;
    std::wstring privateKey_;
};

TEST_F(SensorFeedTest, WithoutRegistryValueTheLibraryBesideTheToolFillsEveryPackage) {
    LoadHmLibrary();
    HMODULE hm = GetModuleHandleW(L"qxHMLib.dll");
    ASSERT_NE(hm, nullptr);
    EXPECT_EQ(ModulePath(hm), ExeDirectory() + L"qxHMLib.dll");

    ASSERT_EQ(WindowSensorPackage(2).count, 1);
    ASSERT_EQ(WindowSensorPackage(3).count, 2);
    ASSERT_EQ(WindowSensorPackage(4).count, 3);
    EXPECT_EQ(Reading(3, 0), 450);
    EXPECT_EQ(Reading(3, 1), 320);
    EXPECT_EQ(Reading(4, 0), 1500);
    EXPECT_EQ(Reading(4, 1), 900);
    EXPECT_EQ(Name(3, 1), "MB");
    EXPECT_EQ(Name(4, 2), "CHA_FAN2");
    const SensorDisplayRecord& d = WindowSensorPackage(4).display[1];
    EXPECT_EQ(d.values[0], 40u);
    EXPECT_EQ(d.values[1], 41u);
    EXPECT_EQ(d.values[2], 42u);
    EXPECT_EQ(Name(2, 0), "VCORE");
}

TEST_F(SensorFeedTest, TheRegistryValueNamesTheLibrary) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // One fixed name: the copy stays loaded until the process ends, so it cannot be removed here.
    const std::wstring copy = std::wstring(temp) + L"QuilTest-hmlib.dll";
    ASSERT_TRUE(CopyFileW((ExeDirectory() + L"qxHMLib.dll").c_str(), copy.c_str(), FALSE));
    SetHmDllPath(copy);
    LoadHmLibrary();
    EXPECT_EQ(GetModuleHandleW(L"qxHMLib.dll"), nullptr);
    HMODULE hm = GetModuleHandleW(copy.c_str());
    ASSERT_NE(hm, nullptr);
    EXPECT_EQ(WindowSensorPackage(3).count, 2);
    EXPECT_EQ(Reading(3, 0), 450);
}

TEST_F(SensorFeedTest, AnEmptyRegistryValueMeansTheLibraryBesideTheTool) {
    SetHmDllPath(L"");
    LoadHmLibrary();
    EXPECT_NE(GetModuleHandleW(L"qxHMLib.dll"), nullptr);
    EXPECT_EQ(WindowSensorPackage(4).count, 3);
}

TEST_F(SensorFeedTest, WithoutTheLibraryThePackagesStayEmpty) {
    Apply("fault hmlib");
    LoadHmLibrary();
    RefreshSensorData();
    for (int type = 2; type <= 4; ++type) EXPECT_EQ(WindowSensorPackage(type).count, 0);
    EXPECT_EQ(Board()->sensors.countCalls, 0u);
}

TEST_F(SensorFeedTest, AChangedReadingReachesTheWindowThreadWithinOneRefresh) {
    LoadHmLibrary();
    Apply("sensor-reading \"CPU\" 470\nsensor-reading \"CHA_FAN1\" 1234");
    RefreshSensorData();  // asks the reader for a fetch of the new readings
    ASSERT_TRUE(PublishedReading(4, 1, 1234));
    ASSERT_TRUE(PublishedReading(3, 0, 470));
    // The window thread's packages change only inside a refresh.
    EXPECT_EQ(Reading(4, 1), 900);
    RefreshSensorData();
    EXPECT_EQ(Reading(3, 0), 470);
    EXPECT_EQ(Reading(4, 1), 1234);
    // The names were taken once.
    EXPECT_EQ(Name(4, 1), "CHA_FAN1");
}

TEST_F(SensorFeedTest, TheWindowThreadNeverSeesAFetchInProgress) {
    Apply("sensor-reading \"CPU_FAN\" 0\nsensor-reading \"CHA_FAN1\" 0");
    LoadHmLibrary();
    Board()->sensors.fillDelayMs = 3;  // the library writes record by record, slowly
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int generation = 1; !stop; ++generation) {
            {
                sim::BoardLock lock;
                sim::SensorState& s = Board()->sensors;
                for (uint32_t i = 0; i < s.count; ++i)
                    if (s.records[i].type == kFanSensors) s.records[i].reading = generation;
            }
            Sleep(2);
        }
    });
    int changes = 0, mixed = 0, last = Reading(4, 0);
    for (int round = 0; round < 300 && changes < 20; ++round) {
        RefreshSensorData();
        const SensorPackage& fans = WindowSensorPackage(4);
        for (int i = 1; i < fans.count; ++i) mixed += fans.records[i].reading != fans.records[0].reading;
        if (fans.records[0].reading != last) ++changes, last = fans.records[0].reading;
        Sleep(5);
    }
    stop = true;
    changer.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(changes, 0);
}

TEST_F(SensorFeedTest, RefreshesWhileTheReaderFetchesFoldIntoOneMoreFetch) {
    LoadHmLibrary();
    sim::SensorState& s = Board()->sensors;
    s.stallFills = 1;
    RefreshSensorData();
    // The reader is inside a fill; every type has sensors, so a fetch is three fills.
    ASSERT_TRUE(WaitUntil([&] { return s.fillCalls > s.fillsDone; }));
    const uint32_t stalled = s.fillCalls;
    RefreshSensorData();
    RefreshSensorData();
    s.stallFills = 0;
    const uint32_t expected = stalled + (2 - (stalled - 1) % 3) + 3;
    ASSERT_TRUE(WaitUntil([&] { return s.fillsDone >= expected; }));
    Sleep(300);
    EXPECT_EQ(s.fillCalls, expected);
}

TEST_F(SensorFeedTest, SensorsAddedLaterAreNotFollowedAndNeverOverrunTheBuffers) {
    LoadHmLibrary();
    std::string more;
    for (int i = 0; i < 40; ++i)
        more += "sensor 3 \"EXTRA" + std::to_string(i) + "\" " + std::to_string(i) + "\n";
    Apply(more + "sensor 2 \"VDIMM\" 1350\nsensor 4 \"PUMP\" 2000\nsensor-reading \"MB\" 333");
    RefreshSensorData();
    ASSERT_TRUE(PublishedReading(3, 1, 333));
    RefreshSensorData();
    EXPECT_TRUE(HeapsIntact());
    EXPECT_EQ(WindowSensorPackage(3).count, 2);
    EXPECT_EQ(Reading(3, 0), 450);
    EXPECT_EQ(Reading(3, 1), 333);
    EXPECT_EQ(WindowSensorPackage(4).count, 3);
    // The reader goes on working after the growth.
    Apply("sensor-reading \"CPU\" 480");
    RefreshSensorData();
    ASSERT_TRUE(PublishedReading(3, 0, 480));
    EXPECT_TRUE(HeapsIntact());
}

class SensorEdgeTest : public SensorFeedTest {
protected:
    std::string BoardText() const override {
        // No type-2 sensors; one name fills its 32 bytes without a zero.
        return "sensor 3 \"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\" 300\n"
               "sensor 4 \"FAN\" 700\n";
    }
};

TEST_F(SensorEdgeTest, ANameWithoutItsZeroIsCutAndAnEmptyTypeCopiesNothing) {
    LoadHmLibrary();
    EXPECT_EQ(WindowSensorPackage(2).count, 0);
    ASSERT_EQ(WindowSensorPackage(3).count, 1);
    const SensorDisplayRecord& d = WindowSensorPackage(3).display[0];
    EXPECT_EQ(std::string(d.name, strnlen(d.name, sizeof d.name)), "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
    EXPECT_EQ(d.name[31], '\0');
    RefreshSensorData();
    EXPECT_EQ(Reading(3, 0), 300);
    EXPECT_EQ(Reading(4, 0), 700);
}

}  // namespace
