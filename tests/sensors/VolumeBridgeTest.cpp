// The volume bridge over the stand-in audio library: every call lands in the board's audio state
// and leaves the library unloaded again.
#include <windows.h>

#include "boxtool/Vistavolume.h"
#include "support/BoardTest.h"

namespace {

class VolumeBridgeTest : public test::BoardTest {
protected:
    std::string BoardText() const override { return "volume 0.25\nmute 1\n"; }
    const sim::AudioState& Audio() const { return Board()->audio; }
};

TEST_F(VolumeBridgeTest, VolumeAndMuteLandInTheBoardAndTheLibraryIsLoadedPerCall) {
    float volume = -1.0f;
    VistaGetMasterVolume(&volume);
    EXPECT_FLOAT_EQ(volume, 0.25f);
    VistaSetMasterVolume(0.42f);
    EXPECT_FLOAT_EQ(Audio().volume, 0.42f);
    VistaSetMute(0);
    EXPECT_EQ(Audio().mute, 0u);
    VistaSetMute(1);
    EXPECT_EQ(Audio().mute, 1u);
    VistaGetMasterVolume(&volume);
    EXPECT_FLOAT_EQ(volume, 0.42f);

    EXPECT_EQ(Audio().getVolumeCalls, 2u);
    EXPECT_EQ(Audio().setVolumeCalls, 1u);
    EXPECT_EQ(Audio().setMuteCalls, 2u);
    EXPECT_EQ(Audio().loads, 5u);
    EXPECT_EQ(GetModuleHandleW(L"vvc2.dll"), nullptr);
}

// The audio library reports p % as the float p / 100. Single-precision arithmetic, as both builds
// do it, gives p back but for 53 and 59 (0.59f x 100 rounds to 58.999996); at the x87 unit's
// extended precision half of the values would come back one lower.
TEST(VolumePercentTest, EveryPercentComesBackAsBothBuildsComputeIt) {
    for (int percent = 0; percent <= 100; ++percent)
        EXPECT_EQ(VolumePercent(static_cast<float>(percent) / 100.0f),
                  percent == 53 || percent == 59 ? percent - 1 : percent)
            << percent;
}

TEST_F(VolumeBridgeTest, WithoutTheLibraryEveryCallDoesNothing) {
    Apply("fault vvc2");
    float volume = 0.9f;
    VistaGetMasterVolume(&volume);
    EXPECT_FLOAT_EQ(volume, 0.9f);
    VistaSetMasterVolume(0.5f);
    VistaSetMute(0);
    EXPECT_FLOAT_EQ(Audio().volume, 0.25f);
    EXPECT_EQ(Audio().mute, 1u);
    EXPECT_EQ(Audio().loads, 0u);
}

}  // namespace
