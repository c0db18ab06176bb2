#include "FanObjectsLock.h"

#include "fancore/EcFanControlManager.h"
#include "fancore/FanStore.h"

namespace service {

std::recursive_mutex& FanObjectsLock() {
    static std::recursive_mutex lock;
    return lock;
}

namespace {

unsigned g_catchUps = 0;  // under the fan-objects lock

}  // namespace

void CatchUpWithStore() {
    if (!FanStore::Instance().TakeLateRead()) return;
    ++g_catchUps;
    // The fans take what the file holds; what they store meanwhile is what they read.
    FanStoreNoSaves noSaves;
    if (EcFanControlManager* manager = EcFanControlManager::Instance()) manager->ReloadStoredSettings();
}

unsigned StoreCatchUps() {
    return g_catchUps;
}

}  // namespace service
