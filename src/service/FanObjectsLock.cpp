#include "FanObjectsLock.h"

#include "fancore/EcFanControlManager.h"
#include "fancore/FanStore.h"

namespace service {

std::recursive_mutex& FanObjectsLock() {
    static std::recursive_mutex lock;
    return lock;
}

void CatchUpWithStore() {
    if (!FanStore::Instance().TakeLateRead()) return;
    if (EcFanControlManager* manager = EcFanControlManager::Instance()) manager->ReloadStoredSettings();
}

}  // namespace service
