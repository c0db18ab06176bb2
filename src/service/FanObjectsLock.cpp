#include "FanObjectsLock.h"

namespace service {

std::recursive_mutex& FanObjectsLock() {
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace service
