// What the main form calls of the fan-service client, declared here until it lands with its own.
#pragma once

#include <cstdint>

// Fan-service client: the service's duties to the box registers (HID mode).
void FanSvc_PushDutiesToBox();
