// Volume bridge: master volume and mute through the audio helper library "vvc2.dll", loaded for
// every call. Without the library (or its export) a call does nothing. Any thread.
#pragma once

#include <cstdint>

void VistaSetMute(uint8_t mute);
// Leaves *volume as it was when the library cannot tell.
void VistaGetMasterVolume(float* volume);
// volume: 0.0 to 1.0.
void VistaSetMasterVolume(float volume);
// The master volume as the box shows it: percent, truncated.
int VolumePercent(float volume);
