// Stand-in body until the fan-service push lands: it does nothing.
#include "PendingParts.h"

void FanSvc_PushDutiesToBox() {}
