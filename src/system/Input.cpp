#include "Input.h"

#include <mutex>

namespace tolo {

namespace {
std::mutex g_hookLock;
InputHook g_hook;

InputHook CurrentHook() {
    std::lock_guard<std::mutex> lock(g_hookLock);
    return g_hook;
}
}  // namespace

UINT SendInputs(const INPUT* inputs, UINT count) {
    if (InputHook hook = CurrentHook()) {
        hook(std::vector<INPUT>(inputs, inputs + count));
        return count;
    }
    return SendInput(count, const_cast<INPUT*>(inputs), sizeof(INPUT));
}

void SetInputHook(InputHook hook) {
    std::lock_guard<std::mutex> lock(g_hookLock);
    g_hook = std::move(hook);
}

}  // namespace tolo
