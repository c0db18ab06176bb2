#include "SioAccessor.h"

#include <cstring>
#include <initializer_list>

#include "FintekFanEngine.h"
#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"

namespace {

constexpr wchar_t kLockName[] = L"Global\\QUIL_SIO_MUTEX";
constexpr DWORD kLockTimeoutMs = 10000;

constexpr uint16_t kConfigIndex = 0x2E, kConfigData = 0x2F;
constexpr uint8_t kIteKey[] = {0x87, 0x01, 0x55, 0x55};
constexpr uint8_t kWinbondKey[] = {0x87, 0x87};
constexpr uint8_t kConfigExit = 0xAA;
constexpr uint8_t kMonitorSpaceRegister = 0x28, kMonitorSpaceClosed = 0x10;

constexpr uint32_t kBiosFlagItem = 0x11060004;
constexpr uint32_t kSioRegisterItem = 0x11060009;
constexpr uint32_t kIteWindowBaseItem = 0x040600FB;
constexpr uint32_t kFanModeItem0 = 0x04070000;
// The BIOS mode items of the Super I/O fan headers, in the order they are counted.
constexpr uint32_t kFanModeItems[] = {0x04070010, 0x04070070, 0x04070060, 0x04070050,
                                      0x04070040, 0x04070030, 0x04070020, 0x04070000};

// The id that detection leaves when no chip answered carries every mask bit: it belongs to no
// chip class, so that a board without a chip does not offer extended fan control.
constexpr uint16_t kNoChip = 0xFFF0;

bool Masks(uint16_t id, uint16_t mask) {
    return id != kNoChip && (id & mask) == mask;
}

// Where the ITE register window lies: the firmware says so on the boards that have the item,
// otherwise the LPC bridge of Intel chipsets (bus 0, device 31, function 0, register 0x98).
uint32_t IteWindowBase(const QuilIoBinding& io) {
    static const bool itemPresent = IsBiosItemPresent(kIteWindowBaseItem);
    if (itemPresent) {
        int base = 0;
        GetBiosItemValue(kIteWindowBaseItem, &base);
        return static_cast<uint32_t>(base);
    }
    if (IsGenuineIntelCpu()) return io.ReadPciConfig(0, 31, 0, 0x98) & ~1u;
    return 0;
}

// --- fan mode registers ----------------------------------------------------------------------

struct RegisterWrite {
    uint8_t reg, value;
};

// ITE chips: per fan and mode one sequence of writes in the current bank.
struct IteFanModeRow {
    int fan, mode;  // mode -1: any mode but 1
    std::initializer_list<RegisterWrite> writes;
};
const IteFanModeRow kIteFanModes[] = {
    {0, 1, {{0x51, 0x38}, {0x15, 0x82}, {0x92, 0x20}}},
    {1, 1, {{0x71, 0x80}, {0x72, 0x80}, {0x73, 0xFF}, {0x74, 0x00}}},
    {0, -1, {{0x51, 0x18}}},
};

// Winbond/Nuvoton/Fintek chips: register 0x00 of a bank per fan.
constexpr int kModeFans = 5;
constexpr uint8_t kFanModeRegister = 0x00;
constexpr uint8_t kFanModeBanks[kModeFans] = {2, 1, 3, 8, 9};
constexpr uint8_t kNct679xFanModeBank = 0x1F;

// The chips whose mode 0 value is 0x10 and that need no fan-0 fix-up in bank 0 register 0x5D.
bool HasNuvotonModeValues(uint16_t id) {
    return Masks(id, 0xC560) || Masks(id, 0xC800) || Masks(id, 0xC900) || Masks(id, 0xD120) ||
           Masks(id, 0xC400);
}

}  // namespace

// --- creation ----------------------------------------------------------------------------------

SioAccessor& SioAccessor::Instance() {
    static SioAccessor* const instance = new SioAccessor();
    return *instance;
}

SioAccessor::SioAccessor() {
    m_io.Load();
    acpi::Init();
    CreateLockEvent();
    m_hasBiosFlagItem = IsBiosItemPresent(kBiosFlagItem);
    DetectChip();
    ChooseAccess();
    m_iteFamily = IsIteChip(m_chipId);
    m_extendedFanControl = CheckExtendedFanControl();
}

SioAccessor::~SioAccessor() = default;

void SioAccessor::CreateLockEvent() {
    // A null DACL lets every process of every session take part in the exclusion.
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
    m_lockEvent.Reset(CreateEventW(&sa, FALSE, TRUE, kLockName));
    if (!m_lockEvent) m_lockEvent.Reset(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, kLockName));
}

uint8_t SioAccessor::ReadConfig(uint8_t reg) {
    m_io.OutB(kConfigIndex, reg);
    return m_io.InB(kConfigData);
}

void SioAccessor::WriteConfig(uint8_t reg, uint8_t value) {
    m_io.OutB(kConfigIndex, reg);
    m_io.OutB(kConfigData, value);
}

uint16_t SioAccessor::ReadIdWithWinbondKey() {
    for (uint8_t b : kWinbondKey) m_io.OutB(kConfigIndex, b);
    uint16_t id = static_cast<uint16_t>(ReadConfig(0x20) << 8);
    id |= ReadConfig(0x21);
    m_io.OutB(kConfigIndex, kConfigExit);
    return id;
}

void SioAccessor::DetectChip() {
    // ITE chips answer their own key; reading them takes no lock.
    for (uint8_t b : kIteKey) m_io.OutB(kConfigIndex, b);
    uint16_t id = static_cast<uint16_t>(ReadConfig(0x20) << 8);
    id |= ReadConfig(0x21);
    m_revision = ReadConfig(0x22);
    m_io.OutB(kConfigIndex, kConfigExit);
    WriteConfig(0x02, 0x02);

    auto none = [](uint16_t v) { return v == 0x0000 || v == 0xFFFF; };
    if (none(id)) {
        SioLockGuard lock(*this);
        id = ReadIdWithWinbondKey();
    }
    // Some chips hide their configuration space until the monitor space is opened.
    if (none(id)) {
        SioMonitorSpaceGuard lock(*this);
        id = ReadIdWithWinbondKey();
    }
    m_chipId = (IsIteChip(id) || IsFintekChip(id)) ? id : static_cast<uint16_t>(id & 0xFFF0);
}

void SioAccessor::ChooseAccess() {
    if (IsIte86x6Chip(m_chipId) && m_revision == 3) {
        m_access = std::make_unique<SioAccessITEMMap>(m_chipId, m_io, IteWindowBase(m_io));
    } else if (HasBiosSioRegisterItem()) {
        m_access = std::make_unique<SioAccessorBios>(m_chipId);
        acpi::Init();
    } else {
        m_access = std::make_unique<SioAccessorDirect>(m_chipId, m_io);
    }
}

// --- lock --------------------------------------------------------------------------------------

bool SioAccessor::Lock() {
    if (WaitForSingleObject(m_lockEvent.Get(), kLockTimeoutMs) != WAIT_OBJECT_0) return false;
    ResetEvent(m_lockEvent.Get());
    return true;
}

void SioAccessor::Unlock() {
    SetEvent(m_lockEvent.Get());
}

bool SioAccessor::LockAndOpenMonitorSpace() {
    const bool locked = Lock();
    for (uint8_t b : kWinbondKey) m_io.OutB(kConfigIndex, b);
    WriteConfig(kMonitorSpaceRegister, ReadConfig(kMonitorSpaceRegister) & ~kMonitorSpaceClosed);
    m_io.OutB(kConfigIndex, kConfigExit);
    return locked;
}

void SioAccessor::CloseMonitorSpaceAndUnlock() {
    for (uint8_t b : kWinbondKey) m_io.OutB(kConfigIndex, b);
    WriteConfig(kMonitorSpaceRegister, ReadConfig(kMonitorSpaceRegister) | kMonitorSpaceClosed);
    m_io.OutB(kConfigIndex, kConfigExit);
    Unlock();
}

void SioAccessor::WriteBankedByte(uint8_t bank, uint8_t reg, uint8_t value) {
    SioLockGuard lock(*this);
    const uint8_t previous = GetBank();
    SetBank(bank);
    WriteByte(reg, value);
    SetBank(previous);
}

// --- chip classes and capabilities -------------------------------------------------------------

bool SioAccessor::IsIteChip(uint16_t id) {
    switch (id) {
        case 0x8603:
        case 0x8606:
        case 0x8623:
        case 0x8626:
        case 0x8655:
        case 0x8665:
        case 0x8720:
        case 0x8721:
        case 0x8728:
        case 0x8771: return true;
        default: return false;
    }
}

bool SioAccessor::IsIte86x6Chip(uint16_t id) {
    return id == 0x8606 || id == 0x8626 || id == 0x8655 || id == 0x8665;
}

bool SioAccessor::IsFintekChip(uint16_t id) {
    return id == 0x1007 || id == 0x1117 || id == 0x1118;
}

bool SioAccessor::CheckExtendedFanControl() const {
    return Masks(m_chipId, 0xC560) || Masks(m_chipId, 0xC800) || Masks(m_chipId, 0xD120) ||
           Masks(m_chipId, 0xC900) || IsIte86x6Chip(m_chipId);
}

bool SioAccessor::IsNct679xClass() const {
    return HasExtendedFanControl() &&
           (Masks(m_chipId, 0xC800) || Masks(m_chipId, 0xC900) || Masks(m_chipId, 0xD120));
}

bool SioAccessor::IsIte8623WithRevision() const {
    return (m_chipId == 0x8603 || m_chipId == 0x8623) && m_revision != 0;
}

int SioAccessor::GetConstraintType() const {
    if (IsIteChip(m_chipId)) return 1;
    if (Masks(m_chipId, 0xC800) || Masks(m_chipId, 0xC900)) return 2;
    return 0;
}

bool SioAccessor::IsOneSencitiveSupported() const {
    return IsIte86x6Chip(m_chipId);
}

int SioAccessor::GetRpmPerstep() const {
    return IsIte86x6Chip(m_chipId) ? 32 : 50;
}

int SioAccessor::GetRpmSmoothFreq() const {
    return IsIte86x6Chip(m_chipId) ? 59 : 16;
}

// --- fan mode ----------------------------------------------------------------------------------

void SioAccessor::ApplyFanMode(int fan, int mode) {
    if (mode != 1) mode = 0;
    if (IsIteFamily()) {
        for (const IteFanModeRow& row : kIteFanModes) {
            if (row.fan != fan || (row.mode == 1) != (mode == 1)) continue;
            SioLockGuard lock(*this);
            for (const RegisterWrite& w : row.writes) WriteByte(w.reg, w.value);
        }
        return;
    }
    // The register table has five fans; other indexes have no mode register.
    if (fan < 0 || fan >= kModeFans) return;

    const uint16_t id = m_chipId;
    uint8_t bank = kFanModeBanks[fan];
    uint8_t modeOneValue = static_cast<uint8_t>(fan + 2);
    if (Masks(id, 0xC900) || Masks(id, 0xD120)) {
        bank = kNct679xFanModeBank;
        modeOneValue = 0x1F;
    } else if (Masks(id, 0xC800)) {
        modeOneValue = 0x1F;
    }
    const bool nuvoton = HasNuvotonModeValues(id);
    const uint8_t modeZeroValue = nuvoton ? 0x10 : 0x0C;
    {
        SioLockGuard lock(*this);
        const uint8_t previous = GetBank();
        SetBank(bank);
        WriteByte(kFanModeRegister, mode == 1 ? modeOneValue : modeZeroValue);
        SetBank(previous);
    }
    if (!nuvoton && fan == 0) WriteBankedByte(0, 0x5D, mode == 1 ? 0x01 : 0x05);
}

// --- firmware items ----------------------------------------------------------------------------

bool HasBiosSioRegisterItem() {
    static const bool present = IsBiosItemPresent(kSioRegisterItem);
    return present;
}

bool IsFanModeItem0Present() {
    static const bool present = IsBiosItemPresent(kFanModeItem0);
    return present;
}

int CountAcpiFanDevices() {
    static const int count = [] {
        if (!IsFanModeItem0Present()) return -1;
        int n = 0;
        for (uint32_t id : kFanModeItems)
            if (IsBiosItemPresent(id)) ++n;
        return n;
    }();
    return count;
}
