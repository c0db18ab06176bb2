// The ITE factories: standard profiles from the firmware's tables or the chip's default
// register tables, the user profile seeded from the silent one.
#include <algorithm>
#include <cmath>

#include "FanStore.h"
#include "ProfileFactory.h"
#include "bios/BiosInterface.h"

namespace {

// Columns: T0, P0, whole slope, TF, T1, S2. Rows 0-3 table 0, rows 4-7 table 1.
constexpr IteDefaultRegisters k8720DefaultRegisters[kIteDefaultRows] = {
    {10, 2, 2, 70, 0, 0},  {20, 6, 2, 70, 0, 0},  {20, 27, 1, 70, 0, 0}, {127, 127, 0, 127, 0, 0},
    {24, 53, 2, 70, 0, 0}, {13, 53, 1, 70, 0, 0}, {28, 53, 1, 70, 0, 0}, {127, 127, 0, 127, 0, 0},
};
constexpr IteDefaultRegisters k8721DefaultRegisters[kIteDefaultRows] = {
    {10, 76, 4, 70, 0, 0},  {20, 76, 4, 70, 0, 0},  {20, 76, 2, 70, 0, 0},  {127, 255, 0, 127, 0, 0},
    {24, 106, 4, 70, 0, 0}, {13, 106, 2, 70, 0, 0}, {28, 106, 2, 70, 0, 0}, {127, 255, 0, 127, 0, 0},
};

constexpr uint32_t kStandardTableBases[2] = {0x0406001A, 0x0406007A};
constexpr uint32_t kTableChoiceItem = 0x04060018;
constexpr int kManualRow = 3;

uint8_t Low(int v) {
    return static_cast<uint8_t>(v & 0xFF);
}

FanPoint Midpoint(const FanPoint& a, const FanPoint& b) {
    return {(a.temperature + b.temperature) / 2, (a.duty + b.duty) / 2};
}

// Bits 24-27 of the board-information value: 1 on boards that name their standard profiles
// "Standard", "Silent", "Turbo".
bool ClassicNames() {
    int value = 0;
    ReadMbifValues(&value, 5, 1);
    return ((value >> 24) & 0xF) == 1;
}

}  // namespace

uint8_t IteFanProfileFactory::Slope(int t0, int d0, int t1, int d1) const {
    const float x = IteSlopeRatio(t0, d0, t1, d1);
    return static_cast<uint8_t>(IteFixedSlope(x, x));
}

uint8_t Ite8626FanProfileFactory::Slope(int t0, int d0, int t1, int d1) const {
    const float x = IteSlopeRatio(t0, d0, t1, d1);
    return static_cast<uint8_t>(IteFixedSlope(x, std::min(x, 15.875f)));
}

FanPoints IteFanProfileFactory::PointsFromRegisters(const IteRegisterImage& r, PointRules rules) const {
    const int top = rules.sevenBitPwm ? 127 : 255;
    auto duty = [&](int pwm) { return rules.sevenBitPwm ? pwm * 2 + 1 : pwm; };
    FanPoints p(3);
    p[0] = {r.startTemp, duty(r.startPwm)};
    const bool oneSegment = r.slope2 == 0 && (r.temp2 == 0 || rules.secondTempOneSlope);
    if (oneSegment) {
        const float s = IteSlopeValue(r.slope);
        const float e = (r.fullTemp - r.startTemp) * s + r.startPwm;
        p[2] = {r.fullTemp, 255};
        // A duty short of the next whole step past the top (255.5) still truncates to the top.
        if (e < top + 1) {
            p[1] = {r.fullTemp, duty(std::max(static_cast<int>(e), 0))};
        } else if (rules.secondTempOneSlope && r.temp2 == 0) {
            p[1] = Midpoint(p[0], p[2]);
        } else {
            // Full duty is reached before the full-speed temperature.
            const int t =
                r.slope == 0 ? r.fullTemp : static_cast<int>(std::ceil((top - r.startPwm) / s + r.startTemp));
            p[1] = {t, 255};
        }
    } else if (const IteDataConverter* converter = GetConverter()) {
        // A second segment: the points the chip's converter reads from it.
        converter->RegistersToPoints(r, &p);
    }
    if (p[1] == p[2]) p[1] = Midpoint(p[0], p[2]);
    return p;
}

IteRegisterImage IteFanProfileFactory::LoadStandardRegisters(int table, int row, int offset) const {
    IteRegisterImage r;
    int32_t b[7];
    if (ReadStandardTable(kStandardTableBases[table] + offset, b)) {
        const int p0 = PercentToDuty(b[2]), p1 = PercentToDuty(b[4]);
        r.startTemp = Low(b[1]);
        r.startPwm = Low(p0);
        r.slope = Slope(b[1], p0, b[3], p1);
        if (b[5] == -1) {
            r.fullTemp = Low(b[3]);
        } else {
            r.fullTemp = Low(b[5]);
            r.temp2 = Low(b[3]);
            r.slope2 = Slope(b[3], p1, b[5], PercentToDuty(b[6]));
        }
        return r;
    }
    const IteDefaultRegisters& d = GetDefaultRegisters()[table * 4 + row];
    return {d.startTemp, d.startPwm, static_cast<uint8_t>(d.wholeSlope * 8), d.fullTemp, d.temp2, d.slope2};
}

void IteFanProfileFactory::Setup(IteFanProfile* p, int type) const {
    p->chipFanNumber = m_chipFanNumber;
    p->storeKey = m_key;
    p->selector = m_selector;
    p->type = type;
    p->converter = GetConverter();
    p->simpleMode = m_simpleMode;
}

std::unique_ptr<IteFanProfile> IteFanProfileFactory::CreateManual() const {
    auto p = std::make_unique<IteFanProfile>(L"Disable");
    Setup(p.get(), kManualProfile);
    p->points = {{0, 255}, {127, 255}, {127, 255}};
    p->registers = LoadStandardRegisters(m_chipFanNumber != 0 ? 1 : 0, kManualRow, 3);
    return p;
}

std::unique_ptr<IteFanProfile> IteFanProfileFactory::CreateStandard(int type) const {
    static constexpr const wchar_t* kClassicNames[3] = {L"Standard", L"Silent", L"Turbo"};
    static constexpr const wchar_t* kOtherNames[3] = {L"Performance", L"Optimal", L"Silent"};
    static constexpr int kClassicRows[3] = {1, 2, 0};
    const bool known = type >= 0 && type <= 2;
    const bool classic = ClassicNames();
    auto p =
        std::make_unique<IteFanProfile>(known ? (classic ? kClassicNames : kOtherNames)[type] : L"Unknow");
    // A type without a row of its own runs at full duty, like the manual profile.
    const int row = known ? (classic ? kClassicRows[type] : type) : kManualRow;
    int choice = 0;
    const bool secondTable =
        m_chipFanNumber != 0 || (GetBiosItemValue(kTableChoiceItem, &choice) && (choice >> 4) == 0);
    Setup(p.get(), type);
    p->registers = LoadStandardRegisters(secondTable ? 1 : 0, row, known ? type : kManualRow);
    p->points = RegistersToPoints(p->registers);
    return p;
}

std::unique_ptr<IteFanProfile> IteFanProfileFactory::CreateUser() const {
    auto p = std::make_unique<IteFanUserProfile>(L"Manual");
    Setup(p.get(), kUserProfile);
    // Seeded from the silent profile first, so that a reload that finds nothing leaves a curve
    // the chip can run.
    p->CopyFrom(*CreateStandard(ClassicNames() ? 1 : 2));
    // The user curve is stored under the profile's store key, not the chip fan number.
    if (FanStore::Instance().HasCurve(p->storeKey)) p->Refresh();
    return p;
}

std::unique_ptr<FanProfile> IteFanProfileFactory::Create(int type) {
    switch (type) {
        case kManualProfile: return CreateManual();
        case 0:
        case 1:
        case 2: return CreateStandard(type);
        case kUserProfile: return CreateUser();
        default: return nullptr;
    }
}

// Per chip.

FanPoints Ite8720FanProfileFactory::RegistersToPoints(const IteRegisterImage& image) const {
    return PointsFromRegisters(image, {true, false});
}

const IteDataConverter* Ite8720FanProfileFactory::GetConverter() const {
    static const Ite8720DataConverter converter;
    return &converter;
}

const IteDefaultRegisters* Ite8720FanProfileFactory::GetDefaultRegisters() const {
    return k8720DefaultRegisters;
}

FanPoints Ite8721FanProfileFactory::RegistersToPoints(const IteRegisterImage& image) const {
    return PointsFromRegisters(image, {false, true});
}

const IteDataConverter* Ite8721FanProfileFactory::GetConverter() const {
    static const Ite8721DataConverter converter;
    return &converter;
}

const IteDefaultRegisters* Ite8721FanProfileFactory::GetDefaultRegisters() const {
    return k8721DefaultRegisters;
}

FanPoints Ite8623FanProfileFactory::RegistersToPoints(const IteRegisterImage& image) const {
    return PointsFromRegisters(image, {false, true});
}

const IteDataConverter* Ite8623FanProfileFactory::GetConverter() const {
    static const Ite8721DataConverter converter;
    return &converter;
}

const IteDefaultRegisters* Ite8623FanProfileFactory::GetDefaultRegisters() const {
    return k8721DefaultRegisters;
}

FanPoints Ite8626FanProfileFactory::RegistersToPoints(const IteRegisterImage& image) const {
    return PointsFromRegisters(image, {false, true});
}

const IteDataConverter* Ite8626FanProfileFactory::GetConverter() const {
    static const Ite8626DataConverter converter;
    return &converter;
}

const IteDefaultRegisters* Ite8626FanProfileFactory::GetDefaultRegisters() const {
    return k8721DefaultRegisters;
}
