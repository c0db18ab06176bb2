// The firmware box channel's command words and queries, as the ACPI stand-in received them.
#include <windows.h>

#include <atomic>
#include <thread>

#include "FirmwareSupport.h"
#include "bios/BiosInterface.h"
#include "board/FirmwareBox.h"
#include "boxtool/FbAcpi.h"
#include "support/BoardTest.h"
#include "support/ToolAcpiBinding.h"

namespace {

class FbAcpiTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        ASSERT_TRUE(test::BindToolAcpiLibrary());
        from_ = sim::NextWriteSeq();
    }
    std::string BoardText() const override {
        return "item 0x13060016 value 1 command\n"
               "item 0x13060015 value 0\n"
               "query-answer 0x13060015 0x91 0x0207\n"
               "query-answer 0x13060015 0x86 0x0102\n";
    }
    std::vector<int> Commands() const { return test::WordsTo(kFbAcpiCommandItem, from_); }

    uint32_t from_ = 0;
};

TEST_F(FbAcpiTest, SwitchTakesEnableAndDisableAndKeepsReadingOne) {
    FbAcpi_Enable();
    FbAcpi_Disable();
    FbAcpi_Enable();
    EXPECT_EQ(test::WordsTo(kFbAcpiSwitchItem, from_), (std::vector<int>{0xAA, 0, 0xAA}));
    // The switch tells whether the firmware serves the box, whatever the tool wrote to it.
    int value = 0;
    ASSERT_TRUE(GetBiosItemValue(kFbAcpiSwitchItem, &value));
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(FbAcpiTest, CommandWords) {
    FbAcpi_SetVolume(50);
    FbAcpi_SetVolume(0x1FF);  // only the data byte goes out
    FbAcpi_SetFanDuty(0, 7);
    FbAcpi_SetFanDuty(4, 10);
    FbAcpi_SetCpuRatio(1000, 36);  // 100.0 MHz, ratio 36
    EXPECT_EQ(Commands(), (std::vector<int>{0x0132, 0x01FF, 0x0207, 0x060A, 0x0B24, 0x0CE8, 0x0D03}));
}

TEST_F(FbAcpiTest, TimeSyncSendsHourMinuteSecond) {
    // Repeated when the second turned over during the sync.
    for (int attempt = 0; attempt < 5; ++attempt) {
        SYSTEMTIME before, after;
        from_ = sim::NextWriteSeq();
        GetLocalTime(&before);
        FbAcpi_SyncTime();
        GetLocalTime(&after);
        if (before.wSecond != after.wSecond) continue;
        EXPECT_EQ(Commands(), (std::vector<int>{0x0800 | before.wHour, 0x0900 | before.wMinute,
                                                0x0A00 | before.wSecond}));
        return;
    }
    FAIL() << "the clock never held still for one sync";
}

TEST_F(FbAcpiTest, QueryWritesTheCodeWithZeroThenReadsTheAnswer) {
    EXPECT_EQ(FbAcpi_Query(kFbAcpiQueryKnob), 0x0207);
    EXPECT_EQ(FbAcpi_Query(kFbAcpiQueryAudioMode), 0x0102);
    EXPECT_EQ(test::ItemSets(from_),
              (std::vector<test::ItemSet>{{kFbAcpiCommandItem, 0x91, 0}, {kFbAcpiCommandItem, 0x86, 0}}));
    // A query the firmware does not answer reads 0.
    EXPECT_EQ(FbAcpi_Query(0x42), 0);
}

TEST_F(FbAcpiTest, QueryWhoseReadFailsAnswersZero) {
    Apply("item 0x13060015 fail-get");
    sim::FindItem(kFbAcpiCommandItem)->value = 0x55;  // what a read would have found
    EXPECT_EQ(FbAcpi_Query(kFbAcpiQueryAudioMode), 0);
}

// The listener queries while the window thread sends command words: no word may land between a
// query's write and its read, or the read finds the word instead of the answer.
TEST_F(FbAcpiTest, QueriesAreNotSplitByCommandWordsOfAnotherThread) {
    std::atomic<bool> done{false};
    std::thread window([&] {
        while (!done) FbAcpi_SetVolume(50);
    });
    int wrong = 0;
    for (int i = 0; i < 400; ++i)
        if (FbAcpi_Query(kFbAcpiQueryKnob) != 0x0207) ++wrong;
    done = true;
    window.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(Commands().size(), 0u);
}

}  // namespace
