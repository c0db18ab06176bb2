// What the box's events do in firmware mode: the notifier's callback and the knob's actions.
#include <algorithm>

#include "FanServiceClient.h"
#include "FbAcpi.h"
#include "QuilSysProcNotify.h"
#include "TfrmObxTestMain.h"
#include "Vistavolume.h"
#include "system/Trace.h"

void OnNotifyEvent(uint32_t code, void*) {
    TfrmObxTestMain* form = frmObxTestMain;
    if (!form) return;  // no form (yet or any more): nothing to act on
    switch (code) {
        case kEventMama:
            tolo::TraceA("OBXEX Event Mama");
            form->BossKey();
            break;
        case kEventAudio:
            tolo::TraceA("OBXEX Event Audio");
            form->SetModeToAudio(static_cast<uint8_t>(FbAcpi_Query(kFbAcpiQueryAudioMode) & 0xFF));
            break;
        case kEventKnob:
            tolo::TraceA("OBXEX Event Knob");
            form->Knob_Control(FbAcpi_Query(kFbAcpiQueryKnob));
            break;
        default: break;
    }
}

void TfrmObxTestMain::Knob_Control(int word) {
    const int control = word & 0xFF00;
    tolo::TraceF("OBXEX Ctrl: %d, Value: %d", control, word);
    if (control == 0x100)
        SetOsVol(word & 0xFF);
    else if (control >= 0x200 && control <= 0x600)
        Knob_SetFanDuty((control >> 8) - 2, word & 0xFF);
}

void TfrmObxTestMain::Knob_SetFanDuty(int fan, int duty) {
    // The box's two CPU fans are both the service's first fan.
    FanSvc_SetDutyAsync(fan == 0 ? 0 : fan - 1, duty);
}

void TfrmObxTestMain::SetOsVol(int percent) {
    tolo::TraceA("TfrmObxTestMain::SetOsVol");
    percent = std::clamp(percent, 0, 100);  // the knob's scale ends at 100
    if (percent == boxCache.volume) return;
    boxCache.volume = static_cast<uint8_t>(percent);
    VistaSetMasterVolume(PercentVolume(percent));
    VistaSetMute(false);
}
