// Keyboard input the system synthesises (SendInput), through one function that tests can capture
// instead of pressing keys on the desktop every process of the session shares.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

namespace tolo {

// Production: SendInput. Answers how many inputs were inserted (all of them under a hook).
UINT SendInputs(const INPUT* inputs, UINT count);

// Receives every SendInputs call of this process instead of the system; an empty hook restores
// SendInput.
using InputHook = std::function<void(const std::vector<INPUT>& inputs)>;
void SetInputHook(InputHook hook);

}  // namespace tolo
