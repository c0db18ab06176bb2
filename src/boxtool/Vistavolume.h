// Volume bridge: master volume and mute through the audio helper library "vvc2.dll", loaded for
// every call. Without the library (or its export) a call does nothing. Any thread.
#pragma once

#include <cstdint>

void VistaSetMute(uint8_t mute);
// Leaves *volume as it was and answers false when the library cannot tell.
bool VistaGetMasterVolume(float* volume);
// volume: 0.0 to 1.0.
void VistaSetMasterVolume(float volume);
// The master volume as the box shows it: the nearest whole percent (halves up), 0 to 100 whatever
// the library answered (below 0.0 or not a number 0, above 1.0 100).
int VolumePercent(float volume);
// The master volume that shows as percent on the box: the float nearest percent / 100, the percent
// taken within 0 to 100 (the box's and the knob's bytes may hold more).
float PercentVolume(int percent);
