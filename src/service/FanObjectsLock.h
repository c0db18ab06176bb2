// Orders the two threads of the service that drive the fan objects: the restore thread holds the
// lock for one fan's resume restore at a time, the apartment thread for each late-bound client call
// on a fan, profile or curve. The fan objects keep their curves and profiles in plain containers, and
// a restore step (the user profile given the fan's curve, applied, then given its own points back)
// must not interleave with a client's change of the same profile.
#pragma once

#include <mutex>

namespace service {

std::recursive_mutex& FanObjectsLock();

// Brings the fans up to date with a store that could be read only after they were built (another
// program held FanStore.xml): they take its settings before anyone uses them again.
void CatchUpWithStore();
// How often the fans caught up so far; read under the fan-objects lock.
unsigned StoreCatchUps();

class FanObjectsGuard {
public:
    FanObjectsGuard() {
        FanObjectsLock().lock();
        try {
            CatchUpWithStore();
        } catch (...) {
            FanObjectsLock().unlock();
            throw;
        }
    }
    ~FanObjectsGuard() { FanObjectsLock().unlock(); }
    FanObjectsGuard(const FanObjectsGuard&) = delete;
    FanObjectsGuard& operator=(const FanObjectsGuard&) = delete;
};

}  // namespace service
