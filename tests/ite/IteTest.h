// Fixture of the ITE engine tests: a simulated ITE chip, its register image and its write log.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fancore/IteFanEngine.h"
#include "support/BoardTest.h"
#include "support/ChipLog.h"

namespace test {

class IteTest : public BoardTest {
protected:
    // `chip`: id and revision as the board statement takes them, e.g. "0x8721 0".
    void UseChip(const std::string& chip, const std::string& more = "") {
        Apply("chip " + chip + " ite\n" + more);
        ASSERT_NE(IteEngineFactory::GetEngine(), nullptr);
        Mark();
    }
    void Mark() { from_ = sim::NextWriteSeq(); }
    uint8_t Reg(int reg, int bank = 0) const { return Board()->sio.hwm[bank][reg]; }
    std::vector<RegWrite> Written() const { return MonitorWrites(from_); }
    // The writes since Mark(), in order, every one under the Super I/O lock.
    void ExpectWritten(const std::vector<RegWrite>& want) const {
        EXPECT_EQ(Written(), want) << Describe(Written());
        EXPECT_TRUE(AllWritesLocked(from_));
    }
    // The duty the facade reports for a fan; `start` is what the caller put in first.
    int Duty(int fan, int temperature, uint8_t start = 0) {
        uint8_t duty = start;
        facade.ReadDuty(fan, &duty, temperature);
        return duty;
    }
    FanPoints Curve(int fan) {
        FanPoints points;
        EXPECT_TRUE(facade.ReadCurve(&points, fan));
        return points;
    }

    IteFanEngineFacade& facade = IteFanEngineFacade::Instance();
    uint32_t from_ = 0;
};

}  // namespace test
