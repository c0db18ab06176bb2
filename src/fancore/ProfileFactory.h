// The profile factories: each fan's profiles for the Super I/O chip found on the board, the
// manual profile, the three standard profiles and the user profile. One process-wide registry
// keeps one factory per fan type, chosen by chip id.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "FanProfile.h"
#include "IteDataConverter.h"

// Profile types of a fan's list.
constexpr int kManualProfile = -1;
constexpr int kUserProfile = 5;

class FanProfileFactoryImp {
public:
    virtual ~FanProfileFactoryImp() = default;
    // -1 the manual profile, 0..2 a standard profile, 5 the user profile; null for any other.
    virtual std::unique_ptr<FanProfile> Create(int type) = 0;
};

// One row of a default register table: whole slope in steps per degree (the register is x 8).
struct IteDefaultRegisters {
    uint8_t startTemp, startPwm, wholeSlope, fullTemp, temp2, slope2;
};
// Rows 0-3 are table 0, rows 4-7 table 1; row 3 of a table is the manual profile's.
constexpr int kIteDefaultRows = 8;

class IteFanProfileFactory : public FanProfileFactoryImp {
public:
    IteFanProfileFactory(int chipFanNumber, int key, uint8_t simpleMode, int selector)
        : m_chipFanNumber(chipFanNumber), m_key(key), m_simpleMode(simpleMode), m_selector(selector) {}

    std::unique_ptr<FanProfile> Create(int type) override;
    // The points of a standard register image.
    virtual FanPoints RegistersToPoints(const IteRegisterImage& image) const = 0;
    // The 4.3 slope byte between two points, whole part taken before any cap.
    virtual uint8_t Slope(int t0, int d0, int t1, int d1) const;
    virtual const IteDataConverter* GetConverter() const = 0;
    virtual const IteDefaultRegisters* GetDefaultRegisters() const = 0;

    int ChipFanNumber() const { return m_chipFanNumber; }
    int Key() const { return m_key; }
    uint8_t SimpleMode() const { return m_simpleMode; }
    int Selector() const { return m_selector; }

    // Standard profile of type t (names "Unknow" outside 0..2).
    std::unique_ptr<IteFanProfile> CreateStandard(int type) const;

protected:
    // How a chip family reads a register image as points.
    struct PointRules {
        bool sevenBitPwm;         // IT8720
        bool secondTempOneSlope;  // 8721 class (also 8623, 8626): T1 without S2 is still one segment
    };
    FanPoints PointsFromRegisters(const IteRegisterImage& image, PointRules rules) const;

private:
    std::unique_ptr<IteFanProfile> CreateManual() const;
    std::unique_ptr<IteFanProfile> CreateUser() const;
    void Setup(IteFanProfile* profile, int type) const;
    // The firmware's standard table `table` for BIOS offset `offset`, else the default row.
    IteRegisterImage LoadStandardRegisters(int table, int row, int offset) const;

    int m_chipFanNumber;
    int m_key;
    uint8_t m_simpleMode;
    int m_selector;
};

class Ite8720FanProfileFactory : public IteFanProfileFactory {
public:
    using IteFanProfileFactory::IteFanProfileFactory;
    FanPoints RegistersToPoints(const IteRegisterImage& image) const override;
    const IteDataConverter* GetConverter() const override;
    const IteDefaultRegisters* GetDefaultRegisters() const override;
};

class Ite8721FanProfileFactory : public IteFanProfileFactory {
public:
    using IteFanProfileFactory::IteFanProfileFactory;
    FanPoints RegistersToPoints(const IteRegisterImage& image) const override;
    const IteDataConverter* GetConverter() const override;
    const IteDefaultRegisters* GetDefaultRegisters() const override;
};

class Ite8623FanProfileFactory : public IteFanProfileFactory {
public:
    using IteFanProfileFactory::IteFanProfileFactory;
    FanPoints RegistersToPoints(const IteRegisterImage& image) const override;
    const IteDataConverter* GetConverter() const override;
    const IteDefaultRegisters* GetDefaultRegisters() const override;
};

class Ite8626FanProfileFactory : public IteFanProfileFactory {
public:
    using IteFanProfileFactory::IteFanProfileFactory;
    FanPoints RegistersToPoints(const IteRegisterImage& image) const override;
    // The fraction is taken of the ratio capped at 15.875.
    uint8_t Slope(int t0, int d0, int t1, int d1) const override;
    const IteDataConverter* GetConverter() const override;
    const IteDefaultRegisters* GetDefaultRegisters() const override;
};

class FintekFanProfileFactory : public FanProfileFactoryImp {
public:
    explicit FintekFanProfileFactory(uint8_t fanNumber) : m_fanNumber(fanNumber) {}
    std::unique_ptr<FanProfile> Create(int type) override;
    virtual FanPoints GetDefaultCurve(int type) const;
    virtual std::unique_ptr<FanProfile> CreateStandard(int type) const;

private:
    std::unique_ptr<FanProfile> CreateUser() const;
    uint8_t m_fanNumber;
};

class SmartFanFourFactory : public FanProfileFactoryImp {
public:
    virtual FanPoints GetDefaultCurve(int type) const = 0;
    virtual std::unique_ptr<FanProfile> CreateStandard(int type) const = 0;
};

// Winbond and Nuvoton chips; also the user profile of the embedded-controller fans (fan types
// 100 and up).
class Winbond677Factory : public SmartFanFourFactory {
public:
    explicit Winbond677Factory(int fanType)
        : m_fanType(fanType),
          m_engineFanType(static_cast<uint8_t>(fanType)),
          m_biosFanType(static_cast<uint8_t>(fanType)) {}
    std::unique_ptr<FanProfile> Create(int type) override;
    FanPoints GetDefaultCurve(int type) const override;
    std::unique_ptr<FanProfile> CreateStandard(int type) const override;

private:
    std::unique_ptr<FanProfile> CreateUser() const;
    template <typename Profile>
    std::unique_ptr<Profile> NewProfile(const wchar_t* name, int type) const;

    int m_fanType;
    uint8_t m_engineFanType;
    uint8_t m_biosFanType;
};

class FanProfileFactoryRegistry {
public:
    // Creates and registers the factory of a fan (its fan type and BIOS mode item id); a fan
    // type that has one keeps it.
    void CreateFactory(int fanType, int key);
    // A new profile of the fan, or null when the fan has no factory or the type is not one.
    std::unique_ptr<FanProfile> CreateProfile(int type, int fanType);
    // The chip fan number of the factory of a kind (1 or 2; others use slot 0), -1 without one.
    int GetFactoryFanNumber(int kind) const;

private:
    friend FanProfileFactoryRegistry& GetProfileFactoryRegistry();
    FanProfileFactoryRegistry();
    FanProfileFactoryImp* FactoryOf(int fanType) const;

    mutable std::mutex m_lock;
    std::unique_ptr<IteFanProfileFactory> m_kinds[3];
    std::map<int, std::unique_ptr<FanProfileFactoryImp>> m_factories;
    uint16_t m_chipId;
};

// The process-wide registry, created on first use and never destroyed.
FanProfileFactoryRegistry& GetProfileFactoryRegistry();

// Duty of a firmware percentage: int(x * 255 / 100 + 0.5).
int PercentToDuty(int percent);
// Words b0..b6 of a firmware standard table (the item's 64-byte buffer); false when the item is
// absent or cannot be read.
bool ReadStandardTable(uint32_t item, int32_t words[7]);
