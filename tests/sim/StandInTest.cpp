// The stand-in libraries over the simulated board, as the programs see them through their exports.
#include <windows.h>

#include <cstring>

#include "board/AcpiPackage.h"
#include "support/BoardTest.h"
#include "system/Handles.h"

namespace {

using test::BoardTest;

std::wstring SystemDir() {
    wchar_t dir[MAX_PATH];
    GetSystemDirectoryW(dir, MAX_PATH);
    return dir;
}

struct QuilIo {
    tolo::Module dll{LoadLibraryW((SystemDir() + L"\\QuilIo.dll").c_str())};
    BYTE(__stdcall* in)(WORD) = dll.Proc<BYTE(__stdcall*)(WORD)>("QUILIO_InPortB");
    void(__stdcall* out)(WORD, BYTE) = dll.Proc<void(__stdcall*)(WORD, BYTE)>("QUILIO_OutPortB");
    DWORD(__stdcall* inD)(WORD) = dll.Proc<DWORD(__stdcall*)(WORD)>("QUILIO_InPortD");
    void(__stdcall* outD)(WORD, DWORD) = dll.Proc<void(__stdcall*)(WORD, DWORD)>("QUILIO_OutPortD");
    void*(__stdcall* map)(DWORD, DWORD) = dll.Proc<void*(__stdcall*)(DWORD, DWORD)>("QUILIO_MapMem");

    uint16_t ReadId(std::initializer_list<BYTE> key) {
        for (BYTE b : key) out(0x2E, b);
        out(0x2E, 0x20);
        uint16_t id = in(0x2F) << 8;
        out(0x2E, 0x21);
        id |= in(0x2F);
        out(0x2E, 0xAA);
        out(0x2E, 0x02);
        out(0x2F, 0x02);
        return id;
    }
};

class QuilIoTest : public BoardTest {};

TEST_F(QuilIoTest, ChipsAnswerOnlyTheirOwnEntryKey) {
    QuilIo io;
    ASSERT_TRUE(io.dll && io.in && io.out);
    Apply("chip 0x8721 3");
    EXPECT_EQ(io.ReadId({0x87, 0x01, 0x55, 0x55}), 0x8721);
    EXPECT_EQ(io.ReadId({0x87, 0x87}), 0xFFFF);
    Apply("chip 0xB352 0");
    EXPECT_EQ(io.ReadId({0x87, 0x01, 0x55, 0x55}), 0xFFFF);
    EXPECT_EQ(io.ReadId({0x87, 0x87}), 0xB352);
}

TEST_F(QuilIoTest, MonitorWritesAreBankedAndLoggedWithTheLockState) {
    QuilIo io;
    Apply("chip 0xC560 0");
    tolo::UniqueHandle lock(CreateEventW(nullptr, FALSE, TRUE, L"Global\\QUIL_SIO_MUTEX"));
    uint32_t from = sim::NextWriteSeq();
    io.out(0x295, 0x4E), io.out(0x296, 2);
    io.out(0x295, 0x10), io.out(0x296, 0x55);  // unlocked
    ASSERT_EQ(WaitForSingleObject(lock.Get(), 0), WAIT_OBJECT_0);
    io.out(0x295, 0x11), io.out(0x296, 0x66);  // locked
    SetEvent(lock.Get());
    io.out(0x295, 0x12), io.out(0x296, 0x77);  // unlocked again

    EXPECT_EQ(Board()->sio.hwm[2][0x10], 0x55);
    EXPECT_EQ(Board()->sio.hwm[2][0x11], 0x66);
    auto w = sim::Writes(from);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[1].kind, sim::WriteKind::Monitor);
    EXPECT_EQ(w[1].a, 2u);
    EXPECT_EQ(w[1].locked, 0u);
    EXPECT_EQ(w[2].locked, 1u);
    EXPECT_EQ(w[3].locked, 0u);
}

TEST_F(QuilIoTest, PciConfigurationAndMemoryWindows) {
    QuilIo io;
    Apply("chip 0x8665 3\nite-window 0xFE000000\npci 0 31 0 0x98 0x12345679\nmem 0xF0000 5F 53 4D 5F");
    io.outD(0xCF8, 0x80000000u | (31 << 11) | 0x98);
    EXPECT_EQ(io.inD(0xCFC), 0x12345679u);
    io.outD(0xCF8, 0x80000000u | (30 << 11));
    EXPECT_EQ(io.inD(0xCFC), 0xFFFFFFFFu);

    auto* bank1 = static_cast<uint8_t*>(io.map(0xFE000100, 4095));
    ASSERT_NE(bank1, nullptr);
    bank1[0x15] = 0x7F;
    EXPECT_EQ(Board()->sio.hwm[1][0x15], 0x7F);
    auto* smbios = static_cast<char*>(io.map(0xF0000, 4));
    ASSERT_NE(smbios, nullptr);
    EXPECT_EQ(std::memcmp(smbios, "_SM_", 4), 0);
    EXPECT_EQ(io.map(0xF0002, 4), nullptr);
}

struct Acpi {
    tolo::Module dll{LoadLibraryW(L"quilacpiex.dll")};
    int(__stdcall* ggrp)(uint32_t, void*,
                         DWORD*) = dll.Proc<int(__stdcall*)(uint32_t, void*, DWORD*)>("AcpiGGrp");
    void*(__stdcall* first)(void*) = dll.Proc<void*(__stdcall*)(void*)>("AcpiFirstArg");
    int(__stdcall* count)(void*) = dll.Proc<int(__stdcall*)(void*)>("AcpiGetArgCount");
    void*(__stdcall* data)(void*) = dll.Proc<void*(__stdcall*)(void*)>("AcpiGetArgData");
    void*(__stdcall* next)(void*) = dll.Proc<void*(__stdcall*)(void*)>("AcpiNextArg");
    int(__stdcall* call)(const void*, void*,
                         DWORD*) = dll.Proc<int(__stdcall*)(const void*, void*, DWORD*)>("AcpiCallMethod");
    int(__stdcall* set)(uint32_t, int, int) = dll.Proc<int(__stdcall*)(uint32_t, int, int)>("AcpiSetItem");
    int(__stdcall* getEx)(uint32_t, int,
                          int*) = dll.Proc<int(__stdcall*)(uint32_t, int, int*)>("AcpiGetItemEx");
    int(__stdcall* setBuf)(uint32_t, int, const void*, DWORD*) =
        dll.Proc<int(__stdcall*)(uint32_t, int, const void*, DWORD*)>("AcpiSetItemBuffer");
};

class QuilAcpiTest : public BoardTest {
    std::string BoardText() const override {
        return "item 0x04070010 value 2 desc \"CPU FAN\" 0 7 0 1 3\n"
               "item 0x04000020 value 1 desc \"SYS FAN\" 0 7\n"
               "item 0x05000001 value 9\n"
               "item 0x11060009 desc \"SIO\" 0 0\n"
               "buffer 0x040D007D 01 02 03\n"
               "refuse-group 6\n";
    }
};

TEST_F(QuilAcpiTest, GroupPackagesListDescribedItemsAndDescriptionsComeBack) {
    Acpi a;
    std::vector<uint8_t> buf(4096);
    DWORD size = 4096;
    ASSERT_EQ(a.ggrp(4, buf.data(), &size), 1);
    ASSERT_EQ(a.count(buf.data()), 2);
    void* e = a.first(buf.data());
    EXPECT_EQ(*static_cast<uint32_t*>(a.data(e)), 0x04070010u);
    e = a.next(e);
    EXPECT_EQ(*static_cast<uint32_t*>(a.data(e)), 0x04000020u);

    std::vector<uint8_t> desc(4096);
    DWORD dsize = 4096;
    ASSERT_EQ(a.call(a.data(e), desc.data(), &dsize), 1);
    EXPECT_EQ(a.count(desc.data()), 4);
    void* name = a.next(a.first(desc.data()));
    EXPECT_STREQ(static_cast<char*>(a.data(name)), "SYS FAN");

    size = 4096;
    EXPECT_EQ(a.ggrp(6, buf.data(), &size), 0);
    EXPECT_EQ(Board()->acpi.ggrpCalls[4], 1u);
    EXPECT_EQ(Board()->acpi.ggrpCalls[6], 1u);
}

TEST_F(QuilAcpiTest, SioRegisterItemReachesTheMonitorBanks) {
    Acpi a;
    Apply("chip 0xD120 0");
    EXPECT_EQ(a.set(0x11060009, 0x0312, 0xAB), 1);
    EXPECT_EQ(Board()->sio.hwm[3][0x12], 0xAB);
    int v = 0;
    EXPECT_EQ(a.getEx(0x11060009, 0x0312, &v), 1);
    EXPECT_EQ(v, 0xAB);
    auto w = sim::Writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1].kind, sim::WriteKind::MonitorBios);
}

TEST_F(QuilAcpiTest, DeviceBuffersKeepWhatWasWritten) {
    Acpi a;
    uint8_t data[] = {9, 8, 7, 6};
    DWORD n = sizeof data;
    EXPECT_EQ(a.setBuf(0x040D007D, 1, data, &n), 1);
    EXPECT_EQ(sim::ItemBuffer(0x040D007D), (std::vector<uint8_t>{9, 8, 7, 6}));
    n = sizeof data;
    EXPECT_EQ(a.setBuf(0x040D0099, 1, data, &n), 0);  // no such device
}

TEST(BoardFile, SecondProcessSeesTheSameBoard) {
    sim::UseBoardFile(test::FreshBoardFile());
    std::string error;
    ASSERT_TRUE(sim::LoadBoardText("chip 0x8721 3\nitem 0x04070010 value 5", &error)) << error;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    wchar_t cmd[] = L"simctl.exe apply \"item 0x04070010 value 7\"";
    ASSERT_TRUE(CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    tolo::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 30000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(sim::FindItem(0x04070010)->value, 7);
}

}  // namespace

namespace {

TEST_F(QuilIoTest, ALibraryMarkedAbsentRefusesToLoad) {
    Apply("fault quilio");
    tolo::Module dll(LoadLibraryW((SystemDir() + L"\\QuilIo.dll").c_str()));
    EXPECT_FALSE(dll);
    Apply("fault quilacpi");
    EXPECT_FALSE(tolo::Module(LoadLibraryW(L"quilacpiex.dll")));
}

}  // namespace
