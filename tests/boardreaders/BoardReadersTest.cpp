// The SMBIOS reader on both of its paths, the WMI query and the registry wrappers.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "fancore/BoardReaders.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "system/DmiHelp.h"
#include "system/Handles.h"

namespace {

// Physical memory through the I/O stand-in, counting what was mapped.
struct Memory {
    static inline int maps = 0;
    static inline tolo::Module io;
    static void* Map(uint32_t address, uint32_t length) {
        ++maps;
        auto fn = io.Proc<void*(__stdcall*)(DWORD, DWORD)>("QUILIO_MapMem");
        return fn ? fn(address, length) : nullptr;
    }
    static void Unmap(void*) {}
};

std::string ReadProduct() {
    DmiHelpHolder holder(&Memory::Map, &Memory::Unmap);
    if (!holder->Open()) return "<no table>";
    for (; !holder->IsEnd(); holder->Next())
        if (holder->GetType() == 2) return holder->GetString(holder->GetHeader()[5]);
    return "<no board>";
}

class SmbiosTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        wchar_t dir[MAX_PATH];
        GetSystemDirectoryW(dir, MAX_PATH);
        Memory::io.Reset(LoadLibraryW((std::wstring(dir) + L"\\QuilIo.dll").c_str()));
        Memory::maps = 0;
    }
};

TEST_F(SmbiosTest, ScanPathReadsTheBoardsProductFromPhysicalMemory) {
    Apply("product \"Z170 GAMING PRO\"");
    tolo::g_pGetSystemFirmwareTable = nullptr;
    EXPECT_EQ(ReadProduct(), "Z170 GAMING PRO");
    EXPECT_GT(Memory::maps, 0);
}

TEST_F(SmbiosTest, ScanPathWithoutAnAnchorSaysSo) {
    test::MessageBoxCapture boxes;
    tolo::g_pGetSystemFirmwareTable = nullptr;
    EXPECT_EQ(ReadProduct(), "<no table>");
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, L"Can not find SMBIOS Header");
    EXPECT_EQ(boxes.Boxes()[0].caption, L"DmiHelp");
}

TEST_F(SmbiosTest, ApiPathMapsNoPhysicalMemory) {
    if (!tolo::g_pGetSystemFirmwareTable) GTEST_SKIP() << "no GetSystemFirmwareTable";
    ReadProduct();  // the host's table, whatever it holds, must walk to its end
    EXPECT_EQ(Memory::maps, 0);
}

// A reader over a table the test lays out.
class FixedTable : public tolo::DmiHelp {
public:
    explicit FixedTable(std::vector<uint8_t> bytes) : DmiHelp(nullptr, nullptr), bytes_(std::move(bytes)) {}

protected:
    const uint8_t* GetTable(uint32_t* length) override {
        *length = static_cast<uint32_t>(bytes_.size());
        return bytes_.data();
    }

private:
    std::vector<uint8_t> bytes_;
};

TEST(DmiWalk, StructuresWithAndWithoutStrings) {
    FixedTable t({0,   4, 0, 0, 0, 0,                       // no strings: two NULs
                  2,   8, 1, 0, 1, 0,   0, 0,   'A', 0, 0,  // product byte 0
                  11,  5, 2, 0, 2, 'x', 0, 'y', 'z', 0, 0,  // two strings
                  127, 4, 3, 0, 0, 0});
    ASSERT_TRUE(t.Open());
    EXPECT_EQ(t.GetType(), 0);
    t.Next();
    ASSERT_EQ(t.GetType(), 2);
    EXPECT_EQ(t.GetString(t.GetHeader()[5]), "");
    EXPECT_EQ(t.GetString(1), "A");
    EXPECT_EQ(t.GetString(2), "");
    t.Next();
    ASSERT_EQ(t.GetType(), 11);
    EXPECT_EQ(t.GetString(2), "yz");
    t.Next();
    EXPECT_TRUE(t.IsEnd());
}

TEST(DmiWalk, EndStructureFirstYieldsNothing) {
    FixedTable t({127, 4, 0, 0, 0, 0, 2, 8, 1, 0, 1, 2, 0, 0, 'P', 0, 0});
    ASSERT_TRUE(t.Open());
    EXPECT_TRUE(t.IsEnd());
}

TEST(DmiWalk, ATableWithoutItsFinalNulsEndsAtItsLength) {
    FixedTable t({2, 8, 1, 0, 1, 2, 0, 0, 'A', 'B'});
    ASSERT_TRUE(t.Open());
    EXPECT_EQ(t.GetString(1), "AB");
    t.Next();
    EXPECT_TRUE(t.IsEnd());
}

// Wine's WMI serves Win32_BaseBoard from the host's SMBIOS table: the base board's product, or
// "Base Board" when the table names none (as on hosts without DMI data).
TEST(Wmi, BaseBoardProductIsTheFirmwareTablesAndInstancesPastTheLastLeaveTheBuffer) {
    ASSERT_NE(tolo::g_pGetSystemFirmwareTable, nullptr);
    const std::string table = ReadProduct();
    ASSERT_NE(table, "<no table>");
    const std::wstring expected =
        table.empty() || table == "<no board>" ? L"Base Board" : NarrowToWide(table.c_str());
    wchar_t product[512] = L"untouched";
    GetBoardProductByWmi(product);
    EXPECT_EQ(std::wstring(product), expected);
    wcscpy(product, L"untouched");
    QueryWmiProperty(L"Win32_BaseBoard", L"Product", product, 99);
    EXPECT_STREQ(product, L"untouched");
}

TEST(Registry, DwordWrappers) {
    HKEY raw = nullptr;
    ASSERT_TRUE(RegCreateKeyHelper(&raw, HKEY_CURRENT_USER, "Software\\QuilTest\\Readers", KEY_ALL_ACCESS));
    tolo::RegKey key(raw);
    EXPECT_TRUE(RegWriteDword(key.Get(), "BIOS fan patch", 1));
    DWORD v = 0;
    EXPECT_TRUE(RegReadDword(key.Get(), "BIOS fan patch", &v));
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(RegSetValueExA(key.Get(), "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2),
              ERROR_SUCCESS);
    v = 7;
    EXPECT_FALSE(RegReadDword(key.Get(), "Text", &v));
    EXPECT_EQ(v, 7u);
    EXPECT_FALSE(RegReadDword(key.Get(), "Missing", &v));
    HKEY other = nullptr;
    EXPECT_FALSE(RegOpenKeyHelper(&other, HKEY_CURRENT_USER, "Software\\QuilTest\\Absent", KEY_READ));
    RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QuilTest\\Readers");
}

TEST(Strings, NarrowToWide) {
    EXPECT_EQ(NarrowToWide("Z97 EXTREME"), L"Z97 EXTREME");
    EXPECT_EQ(NarrowToWide(std::string(600, 'a').c_str()).size(), 511u);
}

}  // namespace
