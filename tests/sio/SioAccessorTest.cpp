// The Super I/O accessor over the simulated chips: detection, the access variants, the lock shared
// with other processes, and the fan mode registers as the chip's write log records them.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "fancore/FintekFanEngine.h"
#include "fancore/SioAccessor.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "support/ChipLog.h"
#include "system/Handles.h"

namespace {

using test::RegWrite;

std::string ReadBoardFile(const std::string& name) {
    std::ifstream in(std::string("Z:") + QUIL_BOARDS_DIR + "/" + name + ".board");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

template <typename Variant>
bool Uses(SioAccessor& a) {
    return dynamic_cast<Variant*>(&a.Access()) != nullptr;
}

// A board given as text, for the tests of one behaviour.
class SioTest : public test::BoardTest {
public:
    explicit SioTest(std::string board = {}) : board_(std::move(board)) {}

protected:
    std::string BoardText() const override { return board_; }
    std::string board_;
};

// --- detection over the board files ------------------------------------------------------------

enum class Access { Window, Ports, Firmware };

struct ChipCase {
    const char* board;
    uint16_t id;
    Access access;
    bool ite, extended, nct679x, ite8623WithRevision;
    int constraint, rpmPerstep, smoothFreq;
    bool flagItem;
};

const ChipCase kChips[] = {
    {"demo", 0x8721, Access::Ports, true, false, false, false, 1, 50, 16, false},
    {"ite-8720", 0x8720, Access::Ports, true, false, false, false, 1, 50, 16, false},
    {"ite-8721", 0x8721, Access::Ports, true, false, false, false, 1, 50, 16, false},
    {"ite-8623", 0x8623, Access::Ports, true, false, false, true, 1, 50, 16, false},
    {"ite-8626", 0x8626, Access::Window, true, true, false, false, 1, 32, 59, false},
    {"ite-8626-rev2", 0x8626, Access::Firmware, true, true, false, false, 1, 32, 59, false},
    {"nct-c330", 0xC330, Access::Ports, false, false, false, false, 0, 50, 16, false},
    {"nct-c560", 0xC560, Access::Ports, false, true, false, false, 0, 50, 16, false},
    {"nct-c800", 0xC800, Access::Ports, false, true, true, false, 2, 50, 16, false},
    {"nct-c910", 0xC910, Access::Firmware, false, true, true, false, 2, 50, 16, true},
    {"nct-d120", 0xD120, Access::Ports, false, true, true, false, 0, 50, 16, false},
    {"nct-c400", 0xC450, Access::Ports, false, false, false, false, 0, 50, 16, false},
    {"nct-hidden-id", 0xD120, Access::Ports, false, true, true, false, 0, 50, 16, false},
    {"winbond-b350", 0xB350, Access::Ports, false, false, false, false, 0, 50, 16, false},
    {"winbond-b070", 0xB070, Access::Ports, false, false, false, false, 0, 50, 16, false},
    {"fintek-1007", 0x1007, Access::Ports, false, false, false, false, 0, 50, 16, false},
    {"fintek-1118", 0x1118, Access::Ports, false, false, false, false, 0, 50, 16, false},
    // No chip: 0xFFF0 carries every mask bit but belongs to no class.
    {"absent", 0xFFF0, Access::Ports, false, false, false, false, 0, 50, 16, false},
};

void PrintTo(const ChipCase& c, std::ostream* os) {
    *os << c.board;
}

class ChipDetection : public SioTest, public ::testing::WithParamInterface<ChipCase> {
public:
    ChipDetection() : SioTest(ReadBoardFile(GetParam().board)) {}
};

TEST_P(ChipDetection, IdClassesAndAccessVariant) {
    const ChipCase& c = GetParam();
    ASSERT_FALSE(board_.empty()) << "board file " << c.board << " not found";
    SioAccessor& a = SioAccessor::Instance();
    EXPECT_EQ(a.ChipId(), c.id);
    EXPECT_EQ(Uses<SioAccessITEMMap>(a), c.access == Access::Window);
    EXPECT_EQ(Uses<SioAccessorDirect>(a), c.access == Access::Ports);
    EXPECT_EQ(Uses<SioAccessorBios>(a), c.access == Access::Firmware);
    EXPECT_EQ(a.IsIteFamily(), c.ite);
    EXPECT_EQ(a.HasExtendedFanControl(), c.extended);
    EXPECT_EQ(a.CheckExtendedFanControl(), c.extended);
    EXPECT_EQ(a.IsNct679xClass(), c.nct679x);
    EXPECT_EQ(a.IsIte8623WithRevision(), c.ite8623WithRevision);
    EXPECT_EQ(a.GetConstraintType(), c.constraint);
    EXPECT_EQ(a.IsOneSencitiveSupported(), c.rpmPerstep == 32);
    EXPECT_EQ(a.GetRpmPerstep(), c.rpmPerstep);
    EXPECT_EQ(a.GetRpmSmoothFreq(), c.smoothFreq);
    EXPECT_EQ(a.HasBiosFlagItem(), c.flagItem);
    // Detection leaves the chip out of configuration mode and the lock free.
    EXPECT_EQ(Board()->sio.configMode, 0);
    EXPECT_FALSE(sim::SioLockHeld());
    // The firmware variant initialises the ACPI library once more.
    EXPECT_EQ(Board()->acpi.initCalls, c.access == Access::Firmware ? 2u : 1u);
    EXPECT_EQ(Board()->quilIoOpenCalls, 1u);
}

INSTANTIATE_TEST_SUITE_P(Boards, ChipDetection, ::testing::ValuesIn(kChips),
                         [](const ::testing::TestParamInfo<ChipCase>& info) {
                             std::string name = info.param.board;
                             for (char& ch : name)
                                 if (ch == '-') ch = '_';
                             return name;
                         });

class ZeroIdChip : public SioTest {
public:
    ZeroIdChip() : SioTest("chip 0x0000 0 winbond") {}
};

TEST_F(ZeroIdChip, StaysZero) {
    EXPECT_EQ(SioAccessor::Instance().ChipId(), 0x0000);
}

class Ite8623WithoutRevision : public SioTest {
public:
    Ite8623WithoutRevision() : SioTest("chip 0x8623 0") {}
};

TEST_F(Ite8623WithoutRevision, IsNotTheRevisionedClass) {
    EXPECT_EQ(SioAccessor::Instance().Revision(), 0);
    EXPECT_FALSE(SioAccessor::Instance().IsIte8623WithRevision());
}

// An 86x6 chip other than revision 3 never gets the window, even when the window exists.
class Ite8665Revision2 : public SioTest {
public:
    Ite8665Revision2()
        : SioTest(
              "chip 0x8665 2\nite-window 0xFE000000\nitem 0x040600FB value 0xFE000000 desc \"W\" 0 0 0 1 1") {
    }
};

TEST_F(Ite8665Revision2, UsesThePorts) {
    SioAccessor& a = SioAccessor::Instance();
    EXPECT_EQ(a.ChipId(), 0x8665);
    EXPECT_TRUE(Uses<SioAccessorDirect>(a));
    EXPECT_EQ(a.GetRpmPerstep(), 32);
    EXPECT_EQ(a.GetRpmSmoothFreq(), 59);
}

class HiddenId : public SioTest {
public:
    HiddenId() : SioTest(ReadBoardFile("nct-hidden-id")) {}
};

TEST_F(HiddenId, MonitorSpaceIsOpenedAndClosedUnderTheLock) {
    SioAccessor::Instance();
    std::vector<sim::WriteRecord> config;
    for (const sim::WriteRecord& r : sim::Writes())
        if (r.kind == sim::WriteKind::Config) config.push_back(r);
    ASSERT_EQ(config.size(), 2u);
    EXPECT_EQ(config[0].b, 0x28u);
    EXPECT_EQ(config[0].c, 0x00u);
    EXPECT_EQ(config[1].b, 0x28u);
    EXPECT_EQ(config[1].c, 0x10u);
    EXPECT_TRUE(config[0].locked && config[1].locked);
    EXPECT_EQ(Board()->sio.cfg[0][0x28], 0x10);
    EXPECT_FALSE(sim::SioLockHeld());
}

// --- creation ----------------------------------------------------------------------------------

class MissingIoLibrary : public SioTest {
public:
    MissingIoLibrary() : SioTest("chip 0xB352 0\nfault quilio") {}
};

TEST_F(MissingIoLibrary, SaysSoAndFindsNoChip) {
    test::MessageBoxCapture boxes;
    SioAccessor& a = SioAccessor::Instance();
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, L"Can not load QuilIo.dll");
    EXPECT_EQ(shown[0].caption, L"");
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(a.ChipId(), 0xFFF0);
    a.WriteBankedByte(2, 0x10, 0x55);  // goes nowhere, and must not crash
    EXPECT_EQ(Board()->sio.hwm[2][0x10], 0);
    EXPECT_EQ(Board()->acpi.initCalls, 1u);
}

class LockEvent : public SioTest {
public:
    LockEvent() : SioTest("chip 0x8721 3") {}
};

TEST_F(LockEvent, IsTheOneOtherProcessesOpenByName) {
    // Made here first and held: the accessor must open this same event, not one of its own.
    tolo::UniqueHandle ev(CreateEventW(nullptr, FALSE, TRUE, L"Global\\QUIL_SIO_MUTEX"));
    ASSERT_EQ(WaitForSingleObject(ev.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    SioAccessor& a = SioAccessor::Instance();  // an ITE chip is detected without the lock
    a.Unlock();
    EXPECT_EQ(WaitForSingleObject(ev.Get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(sim::SioLockHeld());
    SetEvent(ev.Get());
}

// --- the lock against another process ------------------------------------------------------------

class Holder {
public:
    explicit Holder(const std::wstring& mode) {
        const std::wstring tag = std::to_wstring(GetCurrentProcessId());
        const std::wstring readyName = L"QuilSioTestReady-" + tag, quitName = L"QuilSioTestQuit-" + tag;
        ready_.Reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        quit_.Reset(CreateEventW(nullptr, TRUE, FALSE, quitName.c_str()));
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring dir(exe);
        dir.resize(dir.find_last_of(L'\\') + 1);
        std::wstring cmd = L"\"" + dir + L"sio_lock_holder.exe\" " + readyName + L" " +
                           (mode == L"never" ? L"never " + quitName : mode);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            process_.Reset(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
    ~Holder() {
        SetEvent(quit_.Get());
        if (process_) WaitForSingleObject(process_.Get(), 30000);
    }
    bool Started() const { return static_cast<bool>(process_); }
    bool WaitHolding() const {
        HANDLE both[] = {ready_.Get(), process_.Get()};
        return WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0;
    }
    bool Running() const { return WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT; }
    DWORD ExitCode() const {
        WaitForSingleObject(process_.Get(), 30000);
        DWORD code = 99;
        GetExitCodeProcess(process_.Get(), &code);
        return code;
    }

private:
    tolo::UniqueHandle ready_, quit_, process_;
};

class LockAcrossProcesses : public SioTest {
public:
    LockAcrossProcesses() : SioTest("chip 0xB352 0") {}
};

TEST_F(LockAcrossProcesses, SequenceWaitsForTheOtherHolder) {
    SioAccessor& a = SioAccessor::Instance();  // detection takes the lock itself: before the holder
    Holder holder(L"release 1500");
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(holder.WaitHolding());
    const uint32_t from = sim::NextWriteSeq();
    a.WriteBankedByte(3, 0x20, 0x5A);
    EXPECT_EQ(holder.ExitCode(), 0u);

    // The holder's own write comes first although it slept before making it.
    EXPECT_EQ(test::MonitorWrites(from), (std::vector<RegWrite>{{0, 0x77, 0xA5}, {3, 0x20, 0x5A}}))
        << test::Describe(test::MonitorWrites(from));
    EXPECT_TRUE(test::AllWritesLocked(from));
    EXPECT_FALSE(sim::SioLockHeld());
    EXPECT_EQ(Board()->sio.bank, 0);
}

TEST_F(LockAcrossProcesses, SequenceGoesOnAfterTheTimeOutAndStillReleases) {
    SioAccessor& a = SioAccessor::Instance();
    Holder holder(L"never");
    ASSERT_TRUE(holder.Started());
    ASSERT_TRUE(holder.WaitHolding());
    const uint32_t from = sim::NextWriteSeq();
    a.WriteBankedByte(3, 0x20, 0x5A);  // waits out the 10000 ms
    EXPECT_TRUE(holder.Running());
    EXPECT_EQ(test::MonitorWrites(from), (std::vector<RegWrite>{{3, 0x20, 0x5A}}));
    EXPECT_EQ(Board()->sio.hwm[3][0x20], 0x5A);
    // The holder never set the event; the accessor did at the end of its sequence.
    EXPECT_FALSE(sim::SioLockHeld());
}

// --- access variants -----------------------------------------------------------------------------

class PortAccess : public SioTest {
public:
    PortAccess() : SioTest("chip 0xB352 0\nhwm 5 0x10 0x34 0x12\nhwm 5 0xFF 0x78\nhwm 5 0x00 0x56") {}
};

TEST_F(PortAccess, BankedByteRestoresTheBankAndWordsWrapWithinTheByte) {
    SioAccessor& a = SioAccessor::Instance();
    a.SetBank(5);
    EXPECT_EQ(a.GetBank(), 5);
    EXPECT_EQ(a.ReadByte(0x10), 0x34);
    EXPECT_EQ(a.Access().ReadWord(0x10), 0x1234);
    EXPECT_EQ(a.Access().ReadWord(0xFF), 0x5678);

    const uint32_t from = sim::NextWriteSeq();
    a.Access().WriteWord(0xFF, 0xABCD);
    a.WriteBankedByte(7, 0x40, 0x99);
    EXPECT_EQ(test::MonitorWrites(from),
              (std::vector<RegWrite>{{5, 0xFF, 0xCD}, {5, 0x00, 0xAB}, {7, 0x40, 0x99}}))
        << test::Describe(test::MonitorWrites(from));
    EXPECT_EQ(a.GetBank(), 5);
    // The byte operations take no lock of their own; the banked write does.
    const auto log = sim::Writes(from);
    EXPECT_FALSE(log.front().locked);
    EXPECT_TRUE(log.back().locked);
}

class FirmwareAccess : public SioTest {
public:
    FirmwareAccess() : SioTest(ReadBoardFile("nct-c910") + "\nhwm 3 0x20 0x42") {}
};

TEST_F(FirmwareAccess, BankLivesInTheAccessorAndRegistersGoThroughTheItem) {
    SioAccessor& a = SioAccessor::Instance();
    ASSERT_TRUE(Uses<SioAccessorBios>(a));
    const uint32_t from = sim::NextWriteSeq();
    a.SetBank(3);
    EXPECT_EQ(a.GetBank(), 3);
    EXPECT_EQ(Board()->sio.bank, 0);  // no hardware bank select
    EXPECT_EQ(a.ReadByte(0x20), 0x42);
    a.WriteByte(0x21, 0x43);
    EXPECT_EQ(Board()->sio.hwm[3][0x21], 0x43);
    auto log = sim::Writes(from);
    ASSERT_EQ(log.size(), 2u);  // the item set itself and the register it reached
    EXPECT_EQ(log[0].kind, sim::WriteKind::ItemSet);
    EXPECT_EQ(log[0].b, 0x0321u);
    EXPECT_EQ(log[1].kind, sim::WriteKind::MonitorBios);
}

class WindowAccess : public SioTest {
public:
    WindowAccess()
        : SioTest(ReadBoardFile("ite-8626") + "\nhwm 0 0x10 0x11\nhwm 2 0x10 0x22 0x33 0x44 0x55") {}
};

TEST_F(WindowAccess, BanksAreOffsetsOfTheWindow) {
    SioAccessor& a = SioAccessor::Instance();
    ASSERT_TRUE(Uses<SioAccessITEMMap>(a));
    EXPECT_EQ(static_cast<SioAccessITEMMap&>(a.Access()).Base(), 0xFE000000u);
    EXPECT_EQ(a.ReadByte(0x10), 0x11);
    a.SetBank(2);
    EXPECT_EQ(a.GetBank(), 2);
    EXPECT_EQ(a.ReadByte(0x10), 0x22);
    EXPECT_EQ(a.Access().ReadWord(0x08), 0x3322);  // word r at byte 2r, little-endian
    a.Access().WriteWord(0x09, 0xBEEF);
    EXPECT_EQ(Board()->sio.hwm[2][0x12], 0xEF);
    EXPECT_EQ(Board()->sio.hwm[2][0x13], 0xBE);
    a.SetBank(7);  // anything but 1 and 2 is bank 0
    EXPECT_EQ(a.GetBank(), 0);

    a.SetBank(1);
    a.WriteBankedByte(2, 0x30, 0x66);
    EXPECT_EQ(Board()->sio.hwm[2][0x30], 0x66);
    EXPECT_EQ(a.GetBank(), 1);
    EXPECT_FALSE(sim::SioLockHeld());
}

// Without the firmware's item the base comes from the LPC bridge on Intel processors and is 0
// elsewhere, where nothing is mapped: the accessor then reads 0xFF and writes nothing.
void Vendor(uint32_t regs[4], const char* name) {
    regs[0] = 0x16;
    std::memcpy(&regs[1], name, 4);
    std::memcpy(&regs[3], name + 4, 4);
    std::memcpy(&regs[2], name + 8, 4);
}

class WindowFromLpcBridge : public SioTest {
public:
    WindowFromLpcBridge()
        : SioTest("chip 0x8626 3\nite-window 0xFE000000\npci 0 31 0 0x98 0xFE000001\nhwm 0 0x10 0x11") {}
};

TEST_F(WindowFromLpcBridge, OnIntelTheBridgeGivesTheBase) {
    g_cpuidSource = [](uint32_t, uint32_t regs[4]) { Vendor(regs, "GenuineIntel"); };
    SioAccessor& a = SioAccessor::Instance();
    ASSERT_TRUE(Uses<SioAccessITEMMap>(a));
    EXPECT_EQ(static_cast<SioAccessITEMMap&>(a.Access()).Base(), 0xFE000000u);  // enable bit cleared
    EXPECT_EQ(a.ReadByte(0x10), 0x11);
}

// Physical address 0 is the start of system memory: the board has memory there, which must be
// neither read as registers nor written.
TEST_F(WindowFromLpcBridge, ElsewhereNothingIsMapped) {
    const std::vector<uint8_t> memory(0x1400, 0x5A);
    sim::AddMemory(0, memory);
    g_cpuidSource = [](uint32_t, uint32_t regs[4]) { Vendor(regs, "AuthenticAMD"); };
    SioAccessor& a = SioAccessor::Instance();
    ASSERT_TRUE(Uses<SioAccessITEMMap>(a));
    EXPECT_EQ(static_cast<SioAccessITEMMap&>(a.Access()).Base(), 0u);
    for (uint8_t bank : {0, 1, 2}) {
        a.SetBank(bank);
        EXPECT_EQ(a.ReadByte(0x10), 0xFF) << "bank " << int(bank);
        a.WriteByte(0x10, 0x22);
        a.WriteByte(0xFE, 0x23);
    }
    EXPECT_EQ(Board()->sio.hwm[0][0x10], 0x11);
    const uint8_t* view = sim::PhysicalToView(0, static_cast<uint32_t>(memory.size()));
    ASSERT_NE(nullptr, view);
    EXPECT_EQ(0, std::count_if(view, view + memory.size(), [](uint8_t b) { return b != 0x5A; }))
        << "bytes of the memory at address 0 were written";
}

// --- fan mode registers ------------------------------------------------------------------------

struct FanModeCase {
    const char* name;
    const char* chip;
    int fan, mode;
    std::vector<RegWrite> writes;
};

const FanModeCase kFanModes[] = {
    {"Ite_fan0_mode1", "chip 0x8721 3", 0, 1, {{4, 0x51, 0x38}, {4, 0x15, 0x82}, {4, 0x92, 0x20}}},
    {"Ite_fan1_mode1",
     "chip 0x8721 3",
     1,
     1,
     {{4, 0x71, 0x80}, {4, 0x72, 0x80}, {4, 0x73, 0xFF}, {4, 0x74, 0x00}}},
    {"Ite_fan0_mode0", "chip 0x8721 3", 0, 0, {{4, 0x51, 0x18}}},
    {"Ite_fan0_mode7", "chip 0x8720 2", 0, 7, {{4, 0x51, 0x18}}},
    {"Ite_fan1_mode0", "chip 0x8721 3", 1, 0, {}},
    {"Ite_fan2_mode1", "chip 0x8721 3", 2, 1, {}},
    {"Winbond_fan0_mode0", "chip 0xB352 0", 0, 0, {{2, 0x00, 0x0C}, {0, 0x5D, 0x05}}},
    {"Winbond_fan0_mode1", "chip 0xB352 0", 0, 1, {{2, 0x00, 0x02}, {0, 0x5D, 0x01}}},
    {"Winbond_fan3_mode1", "chip 0xB073 0", 3, 1, {{8, 0x00, 0x05}}},
    {"Winbond_fan4_mode0", "chip 0xB352 0", 4, 0, {{9, 0x00, 0x0C}}},
    {"Winbond_fan5_mode1", "chip 0xB352 0", 5, 1, {}},
    {"Winbond_fanMinus1_mode1", "chip 0xB352 0", -1, 1, {}},
    {"Nct6776_fan1_mode1", "chip 0xC333 0", 1, 1, {{1, 0x00, 0x03}}},
    {"NctC560_fan0_mode0", "chip 0xC562 0", 0, 0, {{2, 0x00, 0x10}}},
    {"NctC560_fan2_mode1", "chip 0xC562 0", 2, 1, {{3, 0x00, 0x04}}},
    {"NctC800_fan0_mode1", "chip 0xC803 0", 0, 1, {{2, 0x00, 0x1F}}},
    {"NctC800_fan3_mode0", "chip 0xC803 0", 3, 0, {{8, 0x00, 0x10}}},
    {"NctC910_fan2_mode1", "chip 0xC911 0", 2, 1, {{0x1F, 0x00, 0x1F}}},
    {"NctD120_fan4_mode0", "chip 0xD121 0", 4, 0, {{0x1F, 0x00, 0x10}}},
    {"NctC400_fan0_mode1", "chip 0xC452 0", 0, 1, {{2, 0x00, 0x02}}},
    {"NctC400_fan0_mode0", "chip 0xC452 0", 0, 0, {{2, 0x00, 0x10}}},
    {"Fintek_fan0_mode1", "chip 0x1118 0", 0, 1, {{2, 0x00, 0x02}, {0, 0x5D, 0x01}}},
};

void PrintTo(const FanModeCase& c, std::ostream* os) {
    *os << c.name;
}

class FanMode : public SioTest, public ::testing::WithParamInterface<FanModeCase> {
public:
    FanMode() : SioTest(GetParam().chip) {}
};

TEST_P(FanMode, WritesTheChipClassRegistersUnderTheLock) {
    const FanModeCase& c = GetParam();
    SioAccessor& a = SioAccessor::Instance();
    a.SetBank(4);
    const uint32_t from = sim::NextWriteSeq();
    a.ApplyFanMode(c.fan, c.mode);
    EXPECT_EQ(test::MonitorWrites(from), c.writes) << test::Describe(test::MonitorWrites(from));
    EXPECT_TRUE(test::AllWritesLocked(from));
    EXPECT_EQ(Board()->sio.bank, 4);  // the bank selected before is selected again
    EXPECT_FALSE(sim::SioLockHeld());
}

INSTANTIATE_TEST_SUITE_P(Chips, FanMode, ::testing::ValuesIn(kFanModes),
                         [](const ::testing::TestParamInfo<FanModeCase>& info) { return info.param.name; });

class FanModeThroughFirmware : public SioTest {
public:
    FanModeThroughFirmware() : SioTest(ReadBoardFile("nct-c910")) {}
};

TEST_F(FanModeThroughFirmware, ReachesTheBankOfTheItemParameter) {
    SioAccessor& a = SioAccessor::Instance();
    const uint32_t from = sim::NextWriteSeq();
    a.ApplyFanMode(1, 0);
    EXPECT_EQ(test::MonitorWrites(from), (std::vector<RegWrite>{{0x1F, 0x00, 0x10}}));
    EXPECT_TRUE(test::AllWritesLocked(from));
    EXPECT_EQ(a.GetBank(), 0);
}

class FanModeThroughWindow : public SioTest {
public:
    FanModeThroughWindow() : SioTest(ReadBoardFile("ite-8626")) {}
};

TEST_F(FanModeThroughWindow, WritesTheCurrentBank) {
    SioAccessor& a = SioAccessor::Instance();
    a.ApplyFanMode(0, 1);
    EXPECT_EQ(Board()->sio.hwm[0][0x51], 0x38);
    EXPECT_EQ(Board()->sio.hwm[0][0x15], 0x82);
    EXPECT_EQ(Board()->sio.hwm[0][0x92], 0x20);
    EXPECT_FALSE(sim::SioLockHeld());
}

// --- firmware fan devices ----------------------------------------------------------------------

class FanDevices : public SioTest {
public:
    FanDevices()
        : SioTest(
              "chip 0x8721 3\n"
              "item 0x04070010 value 0 desc \"CPU FAN\" 0 0 0 1 3\n"
              "item 0x04070030 value 0 desc \"SYS FAN 2\" 0 0 0 1 3\n"
              "item 0x04070070 value 0 desc \"PUMP\" 0 0 0 1 3\n") {}
};

TEST_F(FanDevices, NoneWithoutTheFirstModeItem) {
    EXPECT_FALSE(IsFanModeItem0Present());
    EXPECT_EQ(CountAcpiFanDevices(), -1);
}

TEST_F(FanDevices, CountsThePresentModeItems) {
    Apply("item 0x04070000 value 0 desc \"FAN MODE\" 0 0 0 1 3");
    EXPECT_TRUE(IsFanModeItem0Present());
    EXPECT_EQ(CountAcpiFanDevices(), 4);
    EXPECT_FALSE(HasBiosSioRegisterItem());
}

}  // namespace
