// Shared by the fan-class tests: a simulated Winbond board with a settings file of the test's
// own, and readers of what the firmware stand-in received.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "profiles/ProfileSupport.h"

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

// The words of a device's buffer as the stand-in last received them.
std::vector<int32_t> Words(uint32_t device);
// The first n of them.
std::vector<int32_t> Head(uint32_t device, size_t n);
// How many buffer writes device received since seq `from`.
size_t BufferWrites(uint32_t from, uint32_t device);
// Each buffer write since `from`, as the device it went to.
std::vector<uint32_t> BufferWriteOrder(uint32_t from);

}  // namespace test
