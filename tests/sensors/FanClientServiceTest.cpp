// The fan-service client against the real fan service, which COM starts from its registration:
// a duty set on the box becomes the user curve in the service's settings file, the chip and the
// registry.
#include <windows.h>

#include <string>

#include "ServerFixture.h"
#include "boxtool/FanServiceClient.h"
#include "support/BoardTest.h"
#include "support/IteBoards.h"
#include "support/ServiceState.h"

namespace {

// An IT8721 whose firmware declares the CPU and system fan headers with their profile sub-items.
const std::string kBoard = test::TwoFanIteBoard({"QX-H61 CLIENT"});

class FanClientServiceTest : public test::RegisteredServiceTest {
protected:
    std::string BoardText() const override { return kBoard; }
    const std::wstring store_ = test::FanStorePath();
};

TEST_F(FanClientServiceTest, ABoxDutyBecomesTheUserCurveInTheStoreTheChipAndTheRegistry) {
    ASSERT_EQ(2, FanSvc_GetFanCount());
    EXPECT_EQ(L"CPU FAN", FanSvc_GetFanName(0));
    const uint8_t startPwmBefore = sim::MonitorRead(0, 0x63);

    // Box duty 3 of 10 is speed 76 on every point of the CPU fan's user curve, which the IT8721's
    // normalisation ends at full speed: (20, 76), (70, 76), (70, 255). It is the last of a knob
    // turned quickly: the duties before it reach the service first or not at all.
    for (int duty : {9, 1, 6, 3}) FanSvc_SetDutyAsync(0, duty);
    // The worker saves the curve, then applies it; the patch value is set last.
    std::string stored;
    DWORD patch = 0;
    for (int i = 0; i < 300; ++i) {
        stored = test::ReadTextFile(store_);
        if (test::CountOf(stored, "<y>76</y>") >= 2 && test::ReadPatchValue(&patch) && patch == 1) break;
        Sleep(100);
    }
    Sleep(1000);  // nothing comes after the last duty
    stored = test::ReadTextFile(store_);
    EXPECT_EQ(BoxDutyToServiceSpeed(3), 76);
    EXPECT_EQ(test::CountOf(stored, "<y>76</y>"), 2u) << stored;
    EXPECT_EQ(test::CountOf(stored, "<y>255</y>"), 1u) << stored;
    EXPECT_EQ(test::CountOf(stored, "<curvedata>"), 1u) << stored;
    // The user curve runs in the CPU fan's SmartGuardian block, and the service will restore it.
    EXPECT_NE(sim::MonitorRead(0, 0x63), startPwmBefore);
    EXPECT_TRUE(test::ReadPatchValue(&patch));
    EXPECT_EQ(patch, 1u);
    // The service records a profile other than the manual one in the fan's mode item.
    EXPECT_EQ(sim::FindItem(0x04070010)->value, 1);
}

}  // namespace
