// The ways of reaching the Super I/O chip's hardware-monitor registers: the ITE register window
// in physical memory, the index/data ports 0x295/0x296, or a firmware item that the BIOS executes.
// One of them is chosen when the accessor is created; none of them takes the Super I/O lock.
#pragma once

#include <windows.h>

#include <cstdint>

#include "system/Handles.h"

// The maker's I/O library as the accessor binds it. A missing entry point is never called: port
// reads then answer 0xFF, as an empty bus does, and writes go nowhere.
class QuilIoBinding {
public:
    using OpenFn = BOOL(__stdcall*)(const char* path);
    using CloseFn = BOOL(__stdcall*)();
    using InPortBFn = BYTE(__stdcall*)(WORD port);
    using OutPortBFn = void(__stdcall*)(WORD port, BYTE value);
    using InPortDFn = DWORD(__stdcall*)(WORD port);
    using OutPortDFn = void(__stdcall*)(WORD port, DWORD value);
    using MapMemFn = void*(__stdcall*)(DWORD address, DWORD length);
    using UnmapMemFn = void(__stdcall*)(void* view, DWORD length);

    // Loads "QuilIo.dll" from the system directory, resolves its entry points and opens it; shows
    // the library's message boxes when it is missing or incomplete.
    void Load();

    uint8_t InB(uint16_t port) const { return m_inB ? m_inB(port) : 0xFF; }
    void OutB(uint16_t port, uint8_t value) const {
        if (m_outB) m_outB(port, value);
    }
    uint32_t InD(uint16_t port) const { return m_inD ? m_inD(port) : 0xFFFFFFFFu; }
    void OutD(uint16_t port, uint32_t value) const {
        if (m_outD) m_outD(port, value);
    }
    void* MapMem(uint32_t address, uint32_t length) const { return m_map ? m_map(address, length) : nullptr; }
    void UnmapMem(void* view, uint32_t length) const {
        if (m_unmap && view) m_unmap(view, length);
    }

    // PCI configuration register of bus/device/function through configuration mechanism 1.
    uint32_t ReadPciConfig(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) const;

private:
    tolo::Module m_module;
    OpenFn m_open = nullptr;
    CloseFn m_close = nullptr;
    InPortBFn m_inB = nullptr;
    OutPortBFn m_outB = nullptr;
    InPortDFn m_inD = nullptr;
    OutPortDFn m_outD = nullptr;
    MapMemFn m_map = nullptr;
    UnmapMemFn m_unmap = nullptr;
};

// One way of reaching the hardware-monitor registers. Registers and banks are bytes; register + 1
// wraps within the byte.
class SioAccessorEx {
public:
    explicit SioAccessorEx(uint16_t chipId) : m_chipId(chipId) {}
    virtual ~SioAccessorEx() = default;
    SioAccessorEx(const SioAccessorEx&) = delete;
    SioAccessorEx& operator=(const SioAccessorEx&) = delete;

    virtual void SetBank(uint8_t bank) = 0;
    virtual uint8_t GetBank() = 0;
    virtual void WriteByte(uint8_t reg, uint8_t value) = 0;
    virtual uint8_t ReadByte(uint8_t reg) = 0;
    // High byte read first, low byte written first.
    virtual void WriteWord(uint8_t reg, uint16_t value);
    virtual uint16_t ReadWord(uint8_t reg);

    uint16_t ChipId() const { return m_chipId; }

private:
    uint16_t m_chipId;
};

// The ITE register window: bank 0 at the physical base, banks 1 and 2 at 0x100 and 0x200 above
// it. One view is mapped at a time.
class SioAccessITEMMap : public SioAccessorEx {
public:
    SioAccessITEMMap(uint16_t chipId, const QuilIoBinding& io, uint32_t base);
    ~SioAccessITEMMap() override;

    void SetBank(uint8_t bank) override;
    uint8_t GetBank() override;
    void WriteByte(uint8_t reg, uint8_t value) override;
    uint8_t ReadByte(uint8_t reg) override;
    void WriteWord(uint8_t reg, uint16_t value) override;
    uint16_t ReadWord(uint8_t reg) override;

    uint32_t Base() const { return m_base; }

private:
    static constexpr uint32_t kViewLength = 4095;
    // The view of the current bank; null without a base.
    uint8_t* MapView() const;

    const QuilIoBinding& m_io;
    uint32_t m_base;
    uint16_t m_bankOffset = 0;
    uint8_t* m_view;  // null without a base or when the library could not map the range: reads answer 0xFF
};

// The hardware monitor's index/data ports; the bank is register 0x4E of every bank.
class SioAccessorDirect : public SioAccessorEx {
public:
    SioAccessorDirect(uint16_t chipId, const QuilIoBinding& io) : SioAccessorEx(chipId), m_io(io) {}

    void SetBank(uint8_t bank) override;
    uint8_t GetBank() override;
    void WriteByte(uint8_t reg, uint8_t value) override;
    uint8_t ReadByte(uint8_t reg) override;

private:
    static constexpr uint16_t kIndexPort = 0x295, kDataPort = 0x296;
    static constexpr uint8_t kBankRegister = 0x4E;
    const QuilIoBinding& m_io;
};

// Boards whose firmware owns the ports: BIOS item 0x11060009 reads and writes a register, its
// parameter is bank << 8 | register. The bank lives only in this object.
class SioAccessorBios : public SioAccessorEx {
public:
    explicit SioAccessorBios(uint16_t chipId) : SioAccessorEx(chipId) {}

    void SetBank(uint8_t bank) override { m_bank = bank; }
    uint8_t GetBank() override { return m_bank; }
    void WriteByte(uint8_t reg, uint8_t value) override;
    uint8_t ReadByte(uint8_t reg) override;

private:
    uint8_t m_bank = 0;
};
