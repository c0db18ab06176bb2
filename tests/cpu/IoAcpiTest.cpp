// The I/O library binding, the typed register operations and the ACPI table reader over the
// QuilIO stand-in.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "board/Board.h"
#include "boxtool/AcpiTables.h"
#include "boxtool/IoWrappers.h"
#include "support/BoardTest.h"

namespace {

constexpr uint32_t kMcfg = AcpiSignature("MCFG");
constexpr uint32_t kApic = AcpiSignature("APIC");

class IoLibraryTest : public test::BoardTest {};

TEST_F(IoLibraryTest, MissingLibraryReadsZeroAndIsTriedAgain) {
    Apply("msr 0x198 0x0000000500002400\nfault quilio");
    LoadIoLibrary();
    EXPECT_FALSE(IoLibraryLoaded());
    EXPECT_EQ(ReadMsr(0x198), 0u);
    uint64_t v = 7;
    EXPECT_EQ(Io_WriteMsr(0x198, &v), 0);
    EXPECT_EQ(Io_InPortD(0xCF8), 0u);
    EXPECT_EQ(Io_MapMem(0xF0000, 16), nullptr);
    EXPECT_TRUE(sim::Writes().empty());

    Board()->libraryFaults = 0;
    LoadIoLibrary();
    ASSERT_TRUE(IoLibraryLoaded());
    LoadIoLibrary();  // once loaded, nothing more happens
    EXPECT_EQ(Board()->quilIoOpenCalls, 1u);
    EXPECT_EQ(ReadMsr(0x198), 0x0000000500002400ull);
}

TEST_F(IoLibraryTest, ClearMsrWritesZeroAndReadPciConfigAddressesThePorts) {
    Apply("msr 0x30A 0x123456789A\npci 0 0x18 3 0xD4 0x00000A31");
    LoadIoLibrary();
    ClearMsr(0x30A);
    const auto writes = sim::Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].kind, sim::WriteKind::MsrWrite);
    EXPECT_EQ(writes[0].a, 0x30Au);
    EXPECT_EQ(writes[0].b, 0u);
    EXPECT_EQ(writes[0].c, 0u);
    EXPECT_EQ(ReadMsr(0x30A), 0u);

    EXPECT_EQ(ReadPciConfig(0, 0x18, 3, 0x35), 0x00000A31u);
    EXPECT_EQ(Board()->pciAddress, 0x8000C3D4u);
    // Bus 7 bits, device 5, function 3, register 6.
    ReadPciConfig(0xFF, 0xFF, 0xFF, 0xFF);
    EXPECT_EQ(Board()->pciAddress, 0x807FFFFCu);
}

TEST_F(IoLibraryTest, CpuidNeedsAnOutput) {
    uint32_t r[4] = {};
    EXPECT_EQ(Io_Cpuid(0, nullptr, 0), 0);
    EXPECT_EQ(Io_Cpuid(0, r, 0), 1);
}

// RSDT at 1 MiB listing an APIC table and the MCFG table.
class AcpiTableTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        LoadIoLibrary();
    }
    void Tables(const std::string& rsdt) {
        Apply("acpi-table 0x101000 \"APIC\" 01 02 03 04\nacpi-mcfg 0x102000 0xE0000000\n" + rsdt);
    }
};

TEST_F(AcpiTableTest, FindsATableThroughAnUnalignedRsdp) {
    Tables("acpi-rsdp 0xF1233 0x100000\nacpi-rsdt 0x100000 0x101000 0x102000");
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0x102000u);
    EXPECT_EQ(FindAcpiTableAddress(kApic), 0x101000u);
    EXPECT_EQ(FindAcpiTableAddress(AcpiSignature("FACP")), 0u);
}

TEST_F(AcpiTableTest, KeepsTheRsdtAddressOnceFound) {
    Tables("acpi-rsdp 0xF0010 0x100000\nacpi-rsdt 0x100000 0x101000 0x102000");
    ASSERT_EQ(FindAcpiTableAddress(kApic), 0x101000u);
    std::memset(sim::PhysicalToView(0xF0010, 20), 0, 20);
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0x102000u);
}

TEST_F(AcpiTableTest, NoRsdpNoTable) {
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000 0x102000");
    std::memset(sim::PhysicalToView(0xF0000, 20), 0, 20);
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0u);
}

TEST_F(AcpiTableTest, RsdtOfHeaderLengthListsNothing) {
    // The entry after the header is not part of the table.
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 length 36 0x102000");
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0u);
}

TEST_F(AcpiTableTest, AtMost256EntriesAreExamined) {
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000*256 0x102000");
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0u);
}

TEST_F(AcpiTableTest, The256thEntryIsExamined) {
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000*255 0x102000");
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0x102000u);
}

TEST_F(AcpiTableTest, AnEntryThatCannotBeMappedEndsTheSearch) {
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x200000 0x102000");
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0u);
}

TEST_F(AcpiTableTest, APointerCutOffByTheEndOfTheBiosAreaIsNone) {
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x102000");
    uint8_t* area = sim::PhysicalToView(0xF0000, 0x10000);
    std::memset(area, 0, 0x10000);
    std::memcpy(area + 0x10000 - 12, "RSD PTR ", 8);  // its RSDT address would lie beyond the area
    EXPECT_EQ(FindAcpiTableAddress(kMcfg), 0u);
}

// The system's firmware-table function, as a test sees it called.
std::vector<DWORD> g_systemCalls;
UINT WINAPI SystemWithoutTables(DWORD provider, DWORD id, PVOID, DWORD) {
    g_systemCalls.push_back(provider);
    g_systemCalls.push_back(id);
    return 0;
}

TEST_F(AcpiTableTest, TheSystemsTablesAreUsedWhenItHasTheFunction) {
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000 0x102000");
    g_firmwareTableLookup = [](FirmwareTableFunction* f) {
        *f = &SystemWithoutTables;
        return true;
    };
    std::vector<uint8_t> buffer(64, 0xAB);
    EXPECT_EQ(GetAcpiTable(kMcfg, buffer.data(), 64), 1);
    EXPECT_EQ(g_systemCalls, (std::vector<DWORD>{0x41435049, kMcfg}));
    EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xAB));  // no walk of the board's memory
    EXPECT_EQ(GetPciExpressBase(), 0u);
}

TEST_F(AcpiTableTest, WithoutTheSystemFunctionTheTableIsCopiedFromMemoryUpToTheBuffer) {
    Tables("acpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000 0x102000");
    g_firmwareTableLookup = [](FirmwareTableFunction* f) {
        *f = nullptr;
        return true;
    };
    std::vector<uint8_t> buffer(64, 0xAB);
    EXPECT_EQ(GetAcpiTable(kApic, buffer.data(), 64), 1);
    EXPECT_EQ(std::memcmp(buffer.data(), "APIC", 4), 0);
    EXPECT_EQ(buffer[36], 1);
    EXPECT_EQ(buffer[39], 4);
    EXPECT_EQ(buffer[40], 0xAB);  // the table is 40 bytes long

    std::vector<uint8_t> small(64, 0xAB);
    EXPECT_EQ(GetAcpiTable(kMcfg, small.data(), 16), 1);
    EXPECT_EQ(std::memcmp(small.data(), "MCFG", 4), 0);
    EXPECT_EQ(small[16], 0xAB);

    std::vector<uint8_t> none(8, 0xAB);
    EXPECT_EQ(GetAcpiTable(AcpiSignature("FACP"), none.data(), 8), 1);
    EXPECT_EQ(none, std::vector<uint8_t>(8, 0xAB));

    EXPECT_EQ(GetPciExpressBase(), 0xE0000000u);
}

TEST_F(AcpiTableTest, NoKernelNoTable) {
    g_firmwareTableLookup = [](FirmwareTableFunction*) { return false; };
    uint8_t buffer[8];
    EXPECT_EQ(GetAcpiTable(kMcfg, buffer, sizeof buffer), 0);
}

TEST_F(AcpiTableTest, APciExpressBaseNotFoundIsAskedForAgain) {
    Apply("acpi-table 0x101000 \"APIC\"\nacpi-rsdp 0xF0000 0x100000\nacpi-rsdt 0x100000 0x101000 0x102000");
    g_firmwareTableLookup = [](FirmwareTableFunction* f) {
        *f = nullptr;
        return true;
    };
    EXPECT_EQ(GetPciExpressBase(), 0u);
    Apply("acpi-mcfg 0x102000 0xE0000000");
    EXPECT_EQ(GetPciExpressBase(), 0xE0000000u);
}

TEST_F(AcpiTableTest, TheSystemLookupAnswers) {
    uint8_t buffer[64] = {};
    EXPECT_EQ(GetAcpiTable(kMcfg, buffer, sizeof buffer), 1);
}

}  // namespace
