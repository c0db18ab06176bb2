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
