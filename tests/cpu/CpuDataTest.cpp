// The CPU readers on processors of the test's choosing: the register formulas, the reader choice,
// the core topology walk, the effective ratio and the TSC rate.
#include <gtest/gtest.h>

#include <typeinfo>

#include "FakeMachine.h"
#include "board/Board.h"
#include "boxtool/AcpiTables.h"
#include "boxtool/CpuData.h"
#include "boxtool/IoWrappers.h"
#include "support/BoardTest.h"

namespace {

uint32_t AmdSignatureEax(uint32_t extFamily, uint32_t extModel, uint32_t family) {
    return extFamily << 20 | extModel << 16 | family << 8;
}

class CpuDataTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        machine = &test::InstallFakeMachine();
    }
    void Amd(uint32_t extFamily, uint32_t extModel, uint32_t family, bool boost = false) {
        machine->Vendor("AuthenticAMD");
        machine->Leaf(0x80000001, AmdSignatureEax(extFamily, extModel, family));
        machine->Leaf(0x80000007, 0, 0, 0, boost ? 1u << 9 : 0);
    }
    size_t MsrWritesTo(uint32_t index) {
        size_t n = 0;
        for (const auto& w : sim::Writes())
            if (w.kind == sim::WriteKind::MsrWrite && w.a == index) ++n;
        return n;
    }
    test::FakeMachine* machine = nullptr;
};

TEST(BitOperations, BitWidthAndExtractBits) {
    const uint32_t widths[] = {0, 0, 1, 2, 2, 3, 3, 3, 3, 4};
    for (uint32_t n = 0; n < 10; ++n) EXPECT_EQ(BitWidth(n), widths[n]) << n;
    EXPECT_EQ(BitWidth(0xFFFFFFFFu), 32u);
    EXPECT_EQ(ExtractBits(0x36, 4, 1), 3u);  // two bits from bit 1
    EXPECT_EQ(ExtractBits(0x36, 1, 1), 0u);  // no bits at all
    EXPECT_EQ(ExtractBits(0xF0, 16, 4), 0xFu);
    EXPECT_EQ(ExtractBits(0xFFFFFFFFu, 4, 32), 0u);
}

TEST_F(CpuDataTest, TopologyOfFourCoresWithTwoThreads) {
    machine->IntelTopology(0x906EA, 4, 2);
    const CpuTopologyMap map = BuildCpuTopologyMap();
    EXPECT_EQ(map, (CpuTopologyMap{{0, 0x1}, {1, 0x4}, {2, 0x10}, {3, 0x40}}));
    EXPECT_EQ(test::CurrentFakeProcessor(), 7u);  // left on the last processor
    EXPECT_EQ(&GetCpuTopologyMap(), &GetCpuTopologyMap());
}

TEST_F(CpuDataTest, WithoutHttEveryProcessorIsOneCore) {
    machine->Vendor("GenuineIntel");
    machine->Leaf(1, 0x906EA, 0x04080000);  // a logical count, but no HTT bit
    machine->Leaf(4, 3u << 26);
    machine->processors = 2;
    machine->apicIds = {0, 1};
    EXPECT_EQ(GetLogicalPerPackage(), 1u);
    EXPECT_EQ(GetCoresPerPackage(), 1u);
    EXPECT_EQ(BuildCpuTopologyMap(), (CpuTopologyMap{{0, 0x1}}));
}

TEST_F(CpuDataTest, CoresPerPackageNeedsLeafFour) {
    machine->IntelTopology(0x906EA, 4, 2);
    machine->Leaf(0, 3, 0x756E6547, 0x6C65746E, 0x49656E69);
    EXPECT_EQ(GetCoresPerPackage(), 1u);
    EXPECT_EQ(GetLogicalPerPackage(), 8u);
}

struct Choice {
    const char* vendor;
    uint32_t leaf1, amdEax;
    const std::type_info& reader;
};

TEST_F(CpuDataTest, TheReaderFollowsVendorAndFamily) {
    const Choice choices[] = {
        {"GenuineIntel", 0x106A5, 0, typeid(BasicCpuDataIntel)},
        {"GenuineIntel", 0x106A0, 0, typeid(BasicCpuDataIntel)},
        {"GenuineIntel", 0x1067A, 0, typeid(BasicCpuDataIntel775)},
        {"AuthenticAMD", 0, AmdSignatureEax(1, 0, 15), typeid(BasicCpuDataAmdM2Plus)},
        {"AuthenticAMD", 0, AmdSignatureEax(6, 0, 15), typeid(BasicCpuDataAmdM2Plus)},
        {"AuthenticAMD", 0, AmdSignatureEax(6, 2, 15), typeid(BasicCpuDataAmdM2Plus)},
        {"AuthenticAMD", 0, AmdSignatureEax(5, 0, 15), typeid(BasicCpuDataAmdInagua)},
        {"AuthenticAMD", 0, AmdSignatureEax(3, 1, 15), typeid(BasicCpuDataAmdLlnao)},
        {"AuthenticAMD", 0, AmdSignatureEax(6, 1, 15), typeid(BasicCpuDataAmdTrinity)},
        {"AuthenticAMD", 0, AmdSignatureEax(0, 0, 15), typeid(BasicCpuDataAmd)},
        {"AuthenticAMD", 0, AmdSignatureEax(5, 0, 14), typeid(BasicCpuDataAmd)},
        {"CentaurHauls", 0, AmdSignatureEax(3, 0, 15), typeid(BasicCpuDataAmdLlnao)},
    };
    machine->processors = 1;
    for (const Choice& c : choices) {
        machine->leaves.clear();
        machine->Vendor(c.vendor);
        machine->Leaf(1, c.leaf1);
        machine->Leaf(0x80000001, c.amdEax);
        auto reader = CreateCpuData();
        const BasicCpuData& r = *reader;
        EXPECT_EQ(typeid(r), c.reader) << c.vendor << " " << std::hex << c.leaf1 << " " << c.amdEax;
    }
}

TEST_F(CpuDataTest, IntelIsTakenFromEbxAndEdxOnly) {
    machine->Leaf(0, 0xD, 0x756E6547, 0x12345678, 0x49656E69);
    EXPECT_TRUE(IsIntelCpu());
    machine->Vendor("GenuinfIntel");
    EXPECT_FALSE(IsIntelCpu());
}

TEST_F(CpuDataTest, Intel775RatiosHaveAHalfStep) {
    machine->IntelTopology(0x1067A, 2, 1);
    Apply("msr 0x198 0x0000490000004A00");
    BasicCpuDataIntel775 reader;
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 10.5f);
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 9.5f);
    EXPECT_FLOAT_EQ(reader.GetMaxRatio(), 9.5f);
    Apply("msr 0x198 0x0000090000000A00");
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 10.0f);
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 9.0f);
}

TEST_F(CpuDataTest, IntelReadsTheSignatureTopologyAndTurboRatios) {
    machine->IntelTopology(0x906EA, 4, 2);
    Apply("msr 0x1AD 0x24252627");
    BasicCpuDataIntel reader;
    EXPECT_EQ(reader.Signature(), 0x906EAu);
    EXPECT_EQ(reader.GetCoreCount(), 4u);
    EXPECT_EQ(reader.TurboRatios(), (std::vector<uint32_t>{39, 38, 37, 36}));
}

TEST_F(CpuDataTest, TurboEntriesBeyondEightAreZero) {
    machine->IntelTopology(0x906EA, 10, 1);
    Apply("msr 0x1AD 0x2122232425262728");
    BasicCpuDataIntel reader;
    EXPECT_EQ(reader.TurboRatios(), (std::vector<uint32_t>{40, 39, 38, 37, 36, 35, 34, 33, 0, 0}));
}

TEST_F(CpuDataTest, IntelCurrentRatioFromPerfStatus) {
    machine->IntelTopology(0x906EA, 4, 2);
    Apply("msr 0x198 0x2400\nmsr 0xCE 0x1400\nmsr 0x1AD 0x24252627");
    BasicCpuDataIntel reader;
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 36.0f);
    EXPECT_EQ(MsrWritesTo(0x38D), 0u);  // no counter sampling
    // The whole shifted dword counts.
    Apply("msr 0x198 0x12345");
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), float(0x123));
    // A small value not above the nominal ratio is taken as it is.
    Apply("msr 0x198 0x15\nmsr 0xCE 0x1500");
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 21.0f);
    EXPECT_EQ(MsrWritesTo(0x38D), 0u);
    // Above it: the effective ratio, here with no core active.
    Apply("msr 0xCE 0x1400");
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 36.0f);
    EXPECT_EQ(MsrWritesTo(0x38D), 4u);
}

TEST_F(CpuDataTest, IntelBindsToTheSelectedCoreForEveryReading) {
    machine->IntelTopology(0x906EA, 4, 2);
    Apply("msr 0x198 0x2400");
    BasicCpuDataIntel reader;
    reader.GetCurrentRatio();
    EXPECT_EQ(test::CurrentFakeProcessor(), 0u);
    reader.SelectCore(3);
    reader.GetCurrentRatio();
    EXPECT_EQ(test::CurrentFakeProcessor(), 6u);
    reader.SelectCore(9);  // no such core: the thread stays where it is
    reader.GetCurrentRatio();
    EXPECT_EQ(test::CurrentFakeProcessor(), 6u);
}

// Four cores with turbo ratios 39-36 and nominal ratio 20; the cores named active run their
// counters during each 100 ms sample at u / r = 1.9 (ratio 38).
class EffectiveRatioTest : public CpuDataTest {
protected:
    void SetUp() override {
        CpuDataTest::SetUp();
        machine->IntelTopology(0x906EA, 4, 2);
        machine->ticksPerMs = 20000;  // t = 2,000,000 per sample
        Apply("msr 0xCE 0x1400\nmsr 0x1AD 0x24252627\nmsr 0x198 0x15");
        machine->onSleep = [this](DWORD ms, uint32_t processor) {
            if (ms != 100) return;
            const bool on = active[processor / 2];
            sim::FindMsr(0x30A, true)->value = on ? 1900000 : 0;
            sim::FindMsr(0x30B, true)->value = on ? 1000000 : 0;
        };
    }
    bool active[4] = {false, false, false, false};
};

TEST_F(EffectiveRatioTest, TwoActiveCoresIncludingTheSelectedOne) {
    active[0] = active[1] = true;
    BasicCpuDataIntel reader;
    EXPECT_FLOAT_EQ(reader.GetEffectiveRatio(), 38.0f);
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 38.0f);
}

TEST_F(EffectiveRatioTest, TheSelectedCoreIdleTakesTheNextEntry) {
    active[1] = active[2] = true;
    BasicCpuDataIntel reader;
    EXPECT_FLOAT_EQ(reader.GetEffectiveRatio(), 37.0f);
}

TEST_F(EffectiveRatioTest, NoCoreActiveTakesTheLastEntry) {
    BasicCpuDataIntel reader;
    EXPECT_FLOAT_EQ(reader.GetEffectiveRatio(), 36.0f);
    reader.SelectCore(3);  // an idle selected core with none active: still the last entry
    EXPECT_FLOAT_EQ(reader.GetEffectiveRatio(), 36.0f);
    active[0] = active[1] = active[2] = true;  // a = 38 found at 1, then past the idle core
    EXPECT_FLOAT_EQ(reader.GetEffectiveRatio(), 37.0f);
}

TEST_F(EffectiveRatioTest, AnAverageMatchingNoEntryKeepsTheActiveCount) {
    active[0] = true;  // a = 38, turbo[0] = 39, found at 1
    BasicCpuDataIntel reader;
    EXPECT_FLOAT_EQ(reader.GetEffectiveRatio(), 38.0f);
    machine->onSleep = [](DWORD ms, uint32_t processor) {  // core 0 at 1.5 (30): no entry of 30
        if (ms != 100) return;
        sim::FindMsr(0x30A, true)->value = processor == 0 ? 1500000 : 0;
        sim::FindMsr(0x30B, true)->value = processor == 0 ? 1000000 : 0;
    };
    EXPECT_FLOAT_EQ(reader.GetEffectiveRatio(), 39.0f);
}

TEST_F(EffectiveRatioTest, SamplingProgramsTheFixedCounters) {
    Apply("msr 0x38D 0xF0000\nmsr 0x38F 0x0000000800000003");
    BasicCpuDataIntel reader;
    uint64_t u, r, t;
    reader.SampleCounters(&u, &r, &t);
    EXPECT_EQ(sim::FindMsr(0x38D, false)->value, 0xF0FFFull);
    EXPECT_EQ(sim::FindMsr(0x38F, false)->value, 0x0000000F00000000ull);
    EXPECT_EQ(t, 2000000u);
    EXPECT_EQ(u, 0u);
}

TEST_F(CpuDataTest, AmdRatiosFromThePStateStatus) {
    Amd(0, 0, 15);
    machine->processors = 6;
    BasicCpuDataAmd reader;
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 4.0f);  // unreadable register
    Apply("msr 0xC0010042 0x00180014");
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 14.0f);
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 16.0f);
    EXPECT_EQ(reader.GetCoreCount(), 6u);
    EXPECT_EQ(reader.Family(), 15);
}

TEST_F(CpuDataTest, M2PlusRatios) {
    Amd(1, 0, 15);
    BasicCpuDataAmdM2Plus reader;
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 8.0f);  // nothing readable: (0 + 16) x 0.5
    Apply("msr 0xC0010071 0x50\nmsr 0xC0010064 0x0C\nmsr 0xC0010065 0x04");
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 8.0f);  // (16 + 16) / 2 x 0.5
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 14.0f);
    Amd(1, 0, 15, true);  // with boost, family 10h takes P-state 1
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 10.0f);
}

// Boards whose MCFG table and PCI Express window carry D18F4x15C.
class BoostStateTest : public CpuDataTest {
protected:
    void SetUp() override {
        CpuDataTest::SetUp();
        g_firmwareTableLookup = [](FirmwareTableFunction* f) {
            *f = nullptr;
            return true;
        };
    }
    void Window(uint32_t boostStates) {
        Apply(
            "acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000\nacpi-mcfg 0x101000 0xE0000000\n"
            "pcie-window 0xE0000000\npcie-config 0x18 4 0x15C " +
            std::to_string(boostStates << 2 | 0x81));
        LoadIoLibrary();
    }
};

TEST_F(BoostStateTest, CountFromThePciExpressWindow) {
    Window(5);
    EXPECT_EQ(ReadBoostStateCount(), 5u);
}

TEST_F(BoostStateTest, NoWindowNoBoostStates) {
    Apply("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000\nacpi-mcfg 0x101000 0xE0000000");
    LoadIoLibrary();
    EXPECT_EQ(ReadBoostStateCount(), 0u);  // the base is known, the window cannot be mapped
}

TEST_F(BoostStateTest, NominalPStateIsPastTheBoostStates) {
    Window(2);
    Amd(6, 0, 15, true);
    Apply("msr 0xC0010064 0x10\nmsr 0xC0010066 0x08");
    BasicCpuDataAmdM2Plus reader;
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 12.0f);  // P-state 2: (8 + 16) x 0.5
    Amd(6, 0, 15, false);
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 16.0f);  // P-state 0
}

TEST_F(BoostStateTest, InaguaRatios) {
    Window(1);
    Amd(5, 0, 15, true);
    // D18F3xD4 FID 24; current divisor 1 + 0 x 0.25 + 1 = 2; boosted P-state 1 divisor 3 + 1 = 4.
    Apply("pci 0 0x18 3 0xD4 0x18\nmsr 0xC0010071 0x0020000000000010\nmsr 0xC0010065 0x30");
    BasicCpuDataAmdInagua reader;
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 20.0f);
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 8.0f);  // (16 + 16) / 4
    Apply("msr 0xC0010071 0x0020000000000012");       // quarter steps: 1 + 0.5 + 1
    EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), 16.0f);
}

TEST_F(BoostStateTest, LlnaoDivisors) {
    Window(0);
    Amd(3, 0, 15);
    BasicCpuDataAmdLlnao reader;
    const double divisors[] = {1, 1.5, 2, 3, 4, 6, 8, 12, 16, 16, 16, 16, 16, 16, 16, 16};
    for (uint32_t field = 0; field < 16; ++field) {
        Apply("msr 0xC0010071 " + std::to_string(0x80 | field));  // FID 8: 24
        EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), float(24 / divisors[field])) << field;
    }
    Apply("msr 0xC0010064 0x23");
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 6.0f);  // (2 + 16) / 3
}

TEST_F(BoostStateTest, TrinityDivisors) {
    Window(1);
    Amd(6, 1, 15, true);
    BasicCpuDataAmdTrinity reader;
    const double divisors[] = {1, 2, 4, 8, 16, 16, 16, 16};
    for (uint32_t field = 0; field < 8; ++field) {
        Apply("msr 0xC0010071 " + std::to_string(field << 6 | 0x10));  // FID 16: 32
        EXPECT_FLOAT_EQ(reader.GetCurrentRatio(), float(32 / divisors[field])) << field;
    }
    Apply("msr 0xC0010064 0x10\nmsr 0xC0010065 0x50");  // boosted P-state 1: 32 / 2
    EXPECT_FLOAT_EQ(reader.GetNominalRatio(), 16.0f);
}

TEST_F(CpuDataTest, TscRateOverHalfASecond) {
    Amd(0, 0, 15);
    BasicCpuDataAmd reader;
    EXPECT_EQ(reader.MeasureTscRate(), 340000u);
    EXPECT_EQ(machine->SleepsOf(GetCurrentThreadId()), std::vector<DWORD>{500});
    machine->ticksPerMs = 2999999;
    EXPECT_EQ(reader.MeasureTscRate(), 299999u);
}

TEST_F(CpuDataTest, TscRateOfAClockThatDoesNotMoveIsZero) {
    Amd(0, 0, 15);
    BasicCpuDataAmd reader;
    machine->onSleep = [this](DWORD ms, uint32_t) { machine->nowMs -= ms; };
    EXPECT_EQ(reader.MeasureTscRate(), 0u);
}

TEST_F(CpuDataTest, Intel775PollsTheClockForItsInterval) {
    machine->IntelTopology(0x1067A, 2, 1);
    BasicCpuDataIntel775 reader;
    EXPECT_EQ(reader.MeasureTscRate(), 340000u);
    const auto sleeps = machine->SleepsOf(GetCurrentThreadId());
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 1u), 500);
}

}  // namespace
