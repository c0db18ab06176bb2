#include "SioAccessorEx.h"

#include <cstring>
#include <string>

#include "bios/BiosInterface.h"
#include "system/MessageBox.h"

namespace {

constexpr uint32_t kSioRegisterItem = 0x11060009;

std::string QuilIoPath() {
    wchar_t dir[MAX_PATH] = {};
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) dir[0] = 0;
    std::wstring wide = std::wstring(dir) + L"\\QuilIo.dll";
    int size = WideCharToMultiByte(CP_OEMCP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string narrow(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_OEMCP, 0, wide.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(static_cast<size_t>(size) - 1);
    return narrow;
}

}  // namespace

// --- the I/O library ---------------------------------------------------------------------------

void QuilIoBinding::Load() {
    const std::string path = QuilIoPath();
    m_module.Reset(LoadLibraryA(path.c_str()));
    if (!m_module) {
        tolo::ShowMessageBoxA("Can not load QuilIo.dll", "", MB_OK);
        return;
    }
    m_open = m_module.Proc<OpenFn>("QUILIO_Open");
    m_close = m_module.Proc<CloseFn>("QUILIO_Close");
    m_inB = m_module.Proc<InPortBFn>("QUILIO_InPortB");
    m_outB = m_module.Proc<OutPortBFn>("QUILIO_OutPortB");
    m_inD = m_module.Proc<InPortDFn>("QUILIO_InPortD");
    m_outD = m_module.Proc<OutPortDFn>("QUILIO_OutPortD");
    m_map = m_module.Proc<MapMemFn>("QUILIO_MapMem");
    m_unmap = m_module.Proc<UnmapMemFn>("QUILIO_UnmapMem");
    if (!m_open || !m_close || !m_inB || !m_outB)
        tolo::ShowMessageBoxA("Can not get procedures in QuilIO.dll", "", MB_OK);
    if (m_open) m_open(path.c_str());
}

uint32_t QuilIoBinding::ReadPciConfig(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) const {
    OutD(0xCF8, 0x80000000u | uint32_t(bus) << 16 | uint32_t(device & 0x1F) << 11 |
                    uint32_t(function & 0x07) << 8 | (reg & 0xFCu));
    return InD(0xCFC);
}

// --- every variant -----------------------------------------------------------------------------

void SioAccessorEx::WriteWord(uint8_t reg, uint16_t value) {
    WriteByte(reg, static_cast<uint8_t>(value & 0xFF));
    WriteByte(static_cast<uint8_t>(reg + 1), static_cast<uint8_t>(value >> 8));
}

uint16_t SioAccessorEx::ReadWord(uint8_t reg) {
    const uint16_t high = ReadByte(static_cast<uint8_t>(reg + 1));
    return static_cast<uint16_t>(high << 8 | ReadByte(reg));
}

// --- ITE register window -----------------------------------------------------------------------

SioAccessITEMMap::SioAccessITEMMap(uint16_t chipId, const QuilIoBinding& io, uint32_t base)
    : SioAccessorEx(chipId), m_io(io), m_base(base), m_view(MapView()) {}

SioAccessITEMMap::~SioAccessITEMMap() {
    if (m_view) m_io.UnmapMem(m_view, 0xFFFF);
}

// A base of 0 means nobody said where the window lies: physical address 0 is the start of system
// memory, not the chip, so nothing is mapped.
uint8_t* SioAccessITEMMap::MapView() const {
    if (m_base == 0) return nullptr;
    return static_cast<uint8_t*>(m_io.MapMem(m_base + m_bankOffset, kViewLength));
}

void SioAccessITEMMap::SetBank(uint8_t bank) {
    m_bankOffset = bank == 1 ? 0x100 : bank == 2 ? 0x200 : 0;
    if (m_view) m_io.UnmapMem(m_view, 0);
    m_view = MapView();
}

uint8_t SioAccessITEMMap::GetBank() {
    return m_bankOffset == 0x100 ? 1 : m_bankOffset == 0x200 ? 2 : 0;
}

void SioAccessITEMMap::WriteByte(uint8_t reg, uint8_t value) {
    if (m_view) m_view[reg] = value;
}

uint8_t SioAccessITEMMap::ReadByte(uint8_t reg) {
    return m_view ? m_view[reg] : 0xFF;
}

// Words are laid out little-endian, word r at byte 2r of the window.
void SioAccessITEMMap::WriteWord(uint8_t reg, uint16_t value) {
    if (m_view) std::memcpy(m_view + 2 * reg, &value, sizeof value);
}

uint16_t SioAccessITEMMap::ReadWord(uint8_t reg) {
    uint16_t value = 0xFFFF;
    if (m_view) std::memcpy(&value, m_view + 2 * reg, sizeof value);
    return value;
}

// --- index/data ports --------------------------------------------------------------------------

void SioAccessorDirect::SetBank(uint8_t bank) {
    WriteByte(kBankRegister, bank);
}

uint8_t SioAccessorDirect::GetBank() {
    return ReadByte(kBankRegister);
}

void SioAccessorDirect::WriteByte(uint8_t reg, uint8_t value) {
    m_io.OutB(kIndexPort, reg);
    m_io.OutB(kDataPort, value);
}

uint8_t SioAccessorDirect::ReadByte(uint8_t reg) {
    m_io.OutB(kIndexPort, reg);
    return m_io.InB(kDataPort);
}

// --- firmware item -----------------------------------------------------------------------------

void SioAccessorBios::WriteByte(uint8_t reg, uint8_t value) {
    SetBiosItemParam(kSioRegisterItem, m_bank << 8 | reg, value);
}

// A failed read answers 0xFF, like the other variants when nothing answers.
uint8_t SioAccessorBios::ReadByte(uint8_t reg) {
    int value = 0xFF;
    GetBiosItemParam(kSioRegisterItem, m_bank << 8 | reg, &value);
    return static_cast<uint8_t>(value & 0xFF);
}
