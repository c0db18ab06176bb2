// Shared by the profile tests: a simulated board with a settings file of the test's own.
#pragma once

#include <string>
#include <vector>

#include "fancore/FanProfile.h"
#include "support/BoardTest.h"

namespace test {

class ProfileTest : public BoardTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The chip and its family ("chip ID REV FAMILY"); nothing of the system runs before it.
    void UseChip(const std::string& chip) { Apply("chip " + chip); }
    // A firmware item that reads as a number.
    void Item(uint32_t id, int value);
    // A firmware standard table: the item and its buffer of words b0..b6.
    void StandardTable(uint32_t id, const std::vector<int32_t>& words);

    uint8_t Reg(int bank, int reg) const { return Board()->sio.hwm[bank][reg]; }
    std::string StoreFile() const;  // the settings file, line breaks and indentation removed
    void WriteStoreFile(const std::string& root) const;  // a settings file with this root content
    bool StoreFileExists() const;

    std::string path_;
};

FanPoints PointsOf(const FanProfile& profile);
std::string Narrow(const std::wstring& text);

}  // namespace test
