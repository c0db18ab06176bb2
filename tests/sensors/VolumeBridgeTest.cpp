// The volume bridge over the stand-in audio library: every call lands in the board's audio state
// and leaves the library unloaded again.
#include <windows.h>

#include <limits>

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
    EXPECT_TRUE(VistaGetMasterVolume(&volume));
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

// A volume another program set shows as its nearest whole percent, halves up, never outside the
// box's 0 to 100 whatever the library answers.
TEST(VolumePercentTest, AVolumeSetElsewhereShowsAsItsNearestPercentWithinTheBoxsScale) {
    EXPECT_EQ(VolumePercent(0.576f), 58);
    EXPECT_EQ(VolumePercent(0.004f), 0);
    EXPECT_EQ(VolumePercent(0.994f), 99);
    EXPECT_EQ(VolumePercent(0.995f), 100);
    EXPECT_EQ(VolumePercent(1.0f), 100);
    EXPECT_EQ(VolumePercent(0.0f), 0);
    EXPECT_EQ(VolumePercent(1.7f), 100);
    EXPECT_EQ(VolumePercent(std::numeric_limits<float>::infinity()), 100);
    EXPECT_EQ(VolumePercent(-0.3f), 0);
    EXPECT_EQ(VolumePercent(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST_F(VolumeBridgeTest, WithoutTheLibraryEveryCallDoesNothing) {
    Apply("fault vvc2");
    float volume = 0.9f;
    EXPECT_FALSE(VistaGetMasterVolume(&volume));
    EXPECT_FLOAT_EQ(volume, 0.9f);
    VistaSetMasterVolume(0.5f);
    VistaSetMute(0);
    EXPECT_FLOAT_EQ(Audio().volume, 0.25f);
    EXPECT_EQ(Audio().mute, 1u);
    EXPECT_EQ(Audio().loads, 0u);
}

}  // namespace
