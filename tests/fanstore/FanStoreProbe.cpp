// A program of its own that uses the store where the service would: beside its executable. The
// store test copies it to a directory of its choice and runs it there.
#include "fancore/FanStore.h"

int main() {
    return FanStore::Instance().SetRpm(0, 1200) ? 0 : 1;
}
