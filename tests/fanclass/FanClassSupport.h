// Shared by the fan-class tests: a simulated Winbond board with a settings file of the test's
// own, and readers of what the firmware stand-in received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "profiles/ProfileSupport.h"
#include "support/ChipLog.h"

namespace test {

class FanClassTest : public ProfileTest {
protected:
    void SetUp() override;
    // A firmware item listed in its group (so that the presence test finds it), with a buffer
    // holding these words.
    void Device(uint32_t id, const std::vector<int32_t>& words = {0});
    // Source sensors of the weights: items of type 3 in BIOS group 6.
    void SourceSensors(int n);
    // The settings file in lower case.
    std::string LowerStoreFile() const;
};

}  // namespace test
