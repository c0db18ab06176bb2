#include "FanClassSupport.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "board/Board.h"
#include "system/DmiHelp.h"

namespace test {

void FanClassTest::SetUp() {
    ProfileTest::SetUp();
    UseChip("0xC803 0 winbond");
    // The board's product is read from the simulated physical memory (a board without one would
    // have the reader show its message).
    tolo::g_pGetSystemFirmwareTable = nullptr;
    Apply("product \"QX-B75 NCT6779\"");
}

void FanClassTest::Device(uint32_t id, const std::vector<int32_t>& words) {
    Apply("item " + std::to_string(id) + " desc \"DEV\" 0 0 0 1 2");
    std::vector<uint8_t> bytes(words.size() * 4);
    std::memcpy(bytes.data(), words.data(), bytes.size());
    sim::SetItemBuffer(id, bytes);
}

void FanClassTest::SourceSensors(int n) {
    for (int i = 0; i < n; ++i) Apply("item " + std::to_string(0x06030001 + i) + " desc \"T\" 0 0 0 1 2");
}

std::string FanClassTest::LowerStoreFile() const {
    std::string s = StoreFile();
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

}  // namespace test
