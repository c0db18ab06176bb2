// Fan profiles: one temperature-to-duty curve of one fan header and the way to put it into
// effect. A fan's list holds the manual profile (type -1), three standard profiles (0, 1, 2) and
// the user profile (5); the profile factories build them. Standard profiles are fixed; the user
// profile is edited by clients, normalised to what the chip can do, saved in the settings store
// and reloaded from it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "FanPoint.h"
#include "IteDataConverter.h"

// The points every profile is created with, and all that the ITE and Fintek chips run.
constexpr size_t kThreePoints = 3;

class FanProfile {
public:
    explicit FanProfile(std::wstring name) : m_name(std::move(name)) {}
    virtual ~FanProfile();
    FanProfile(const FanProfile&) = delete;
    FanProfile& operator=(const FanProfile&) = delete;

    virtual void GetPoints(FanPoints* out) const = 0;
    // The operations a profile does not support show a message and change nothing.
    virtual void SetPolygonal(const FanPoints& points);
    // Normalises the caller's points to what the profile can hold; they are also the result.
    virtual void Normalize(FanPoints* points);
    // Reloads the curve from the settings store.
    virtual void Refresh();
    virtual bool Save() = 0;
    virtual bool Apply() = 0;
    // How many points of a curve the chip or firmware that runs the profile runs: the NCT register
    // block and the firmware's curve record take four.
    virtual size_t ChipPointCount() const { return kMaxCurvePoints; }

    const std::wstring& Name() const { return m_name; }
    // The profile holding the extra curve of a dual-curve fan; null for every other profile.
    FanProfile* SecondProfile() const { return m_second.get(); }
    void SetSecondProfile(std::unique_ptr<FanProfile> second) { m_second = std::move(second); }

protected:
    static void ShowNotSupported(const wchar_t* method);

private:
    std::unique_ptr<FanProfile> m_second;
    std::wstring m_name;
};

// ITE chips: the curve lives in the chip as a SmartGuardian register image.
class IteFanProfile : public FanProfile {
public:
    using FanProfile::FanProfile;

    void GetPoints(FanPoints* out) const override { *out = points; }
    void Refresh() override {}
    bool Save() override { return true; }
    bool Apply() override;
    // The SmartGuardian image holds three points; past the last one the fan runs at full duty.
    size_t ChipPointCount() const override { return kThreePoints; }

    // Takes the register image and the points of another ITE profile; name, fan number and
    // keys stay.
    void CopyFrom(const IteFanProfile& other);

    FanPoints points = FanPoints(3);
    IteRegisterImage registers;
    int chipFanNumber = 0;  // the SmartGuardian controller driving this header
    uint8_t flatStart = 0;
    uint8_t simpleMode = 0;
    int storeKey = 0;  // the fan's BIOS mode item id, its key in the settings store
    int selector = 0;  // temperature input passed to the engine's full write
    int type = 0;
    const IteDataConverter* converter = nullptr;  // shared; null leaves the image alone
};

class IteFanUserProfile : public IteFanProfile {
public:
    using IteFanProfile::IteFanProfile;

    void SetPolygonal(const FanPoints& points) override;
    void Normalize(FanPoints* points) override;
    void Refresh() override;
    bool Save() override;

private:
    // Takes the first points of the list into the profile (a shorter list is ignored), then
    // ConvertPoints.
    void TakePoints(const FanPoints& points);
    // With a converter: the points become what the chip will do with them.
    void ConvertPoints();
};

// Fintek chips: three points written straight into the chip.
class FintekFanProfile : public FanProfile {
public:
    using FanProfile::FanProfile;

    void GetPoints(FanPoints* out) const override { *out = points; }
    void Refresh() override {}
    bool Save() override { return true; }
    bool Apply() override;
    // The chip is given three points; past the last one it runs the fan at full duty.
    size_t ChipPointCount() const override { return kThreePoints; }
    virtual void PointsChanged() {}

    FanPoints points = FanPoints(3);
    uint8_t fanNumber = 0;
    uint8_t standard = 1;  // 0 for the manual profile
    int type = 0;
};

class FintekUserProfile : public FintekFanProfile {
public:
    using FintekFanProfile::FintekFanProfile;

    void SetPolygonal(const FanPoints& points) override;
    void Normalize(FanPoints* points) override;
    void Refresh() override;
    bool Save() override;

    // The store fan type of a Fintek fan number.
    static int StoreFanType(int fanNumber);
};

// Winbond and Nuvoton chips: the SmartFan IV engine, or the firmware's own fan curve where the
// board hands the fan to it.
class WinbondFanProfile : public FanProfile {
public:
    using FanProfile::FanProfile;

    void GetPoints(FanPoints* out) const override { *out = points; }
    void Refresh() override {}
    bool Save() override { return true; }
    bool Apply() override;
    virtual void PointsChanged() {}

    FanPoints points = FanPoints(3);
    uint8_t fanType = 0;        // the board's fan type: firmware devices and the store
    uint8_t engineFanType = 0;  // the fan type given to the SmartFan IV engine
    uint8_t standard = 1;       // 0 for the manual profile
    int type = 0;
};

class WinbondUserProfile : public WinbondFanProfile {
public:
    using WinbondFanProfile::WinbondFanProfile;

    void SetPolygonal(const FanPoints& points) override;
    void Normalize(FanPoints* points) override;
    void Refresh() override;
    bool Save() override;

private:
    // The stored user curve under the store fan type into the points.
    void ReadStoredPoints(int storeType);
};

// The settings-store fan type of a board fan type: fan type x 2, or fan type - 124 from 224 on.
int WinbondStoreKey(int fanType);
