#include "FanCurves.h"

#include <algorithm>

#include "Enumerators.h"
#include "bios/BiosInterface.h"
#include "fancore/FanControlImp.h"
#include "fancore/FanProfile.h"

namespace {

// Answered only by the service's own dual-mode curves, in the service's process: no proxy or
// stub exists for it, so a curve of another process never answers it.
const IID IID_ServiceDualModeCurve = {
    0xed953476, 0x8972, 0x4374, {0x81, 0x89, 0xeb, 0xcc, 0x6b, 0xc1, 0x78, 0x3c}};

// The BIOS fan-curve device of fan type 0: its presence makes every curve dual-mode.
constexpr uint32_t kBiosFanCurveDevice0 = 0x040D001D;

// A dual-mode curve's inner curve holds these until it is first filled.
constexpr int kPlaceholderPoints = 4;
constexpr FanPoint kPlaceholder = {0, -1};

}  // namespace

HRESULT CIFanCurvePointImpl::get_Temperature(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = temperature_;
    return S_OK;
}

HRESULT CIFanCurvePointImpl::put_Temperature(LONG newVal) {
    temperature_ = newVal;
    return S_OK;
}

HRESULT CIFanCurvePointImpl::get_Speed(LONG* pVal) {
    if (!pVal) return E_POINTER;
    *pVal = speed_;
    return S_OK;
}

HRESULT CIFanCurvePointImpl::put_Speed(LONG newVal) {
    speed_ = newVal;
    return S_OK;
}

HRESULT CurvePointList::NewEnum(IUnknown** out) const {
    return service::NewDispatchEnum(points_, out);
}

HRESULT CurvePointList::Count(LONG* out) const {
    if (!out) return E_POINTER;
    *out = static_cast<LONG>(points_.size());
    return S_OK;
}

HRESULT CurvePointList::Item(LONG index, IFanCurvePoint** out) const {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index < 0 || static_cast<size_t>(index) >= points_.size()) return E_INVALIDARG;
    return service::HandOut(points_[index].Get(), out);
}

void CurvePointList::Add(long temperature, long speed) {
    tolo::ComPtr<CIFanCurvePointImpl> point(new CIFanCurvePointImpl(temperature, speed));
    points_.push_back(std::move(point));
}

void CurvePointList::Fill(const FanPoints& points) {
    std::vector<tolo::ComPtr<CIFanCurvePointImpl>> fresh;
    fresh.reserve(points.size());
    for (const FanPoint& p : points) {
        tolo::ComPtr<CIFanCurvePointImpl> point(new CIFanCurvePointImpl(p.temperature, p.duty));
        fresh.push_back(std::move(point));
    }
    points_.swap(fresh);
}

void CurvePointList::Overwrite(const FanPoints& points) {
    // Points left past the list would be handed back as part of a curve the fan does not run.
    if (points_.size() > points.size()) points_.erase(points_.begin() + points.size(), points_.end());
    for (size_t i = 0; i < points.size(); ++i) {
        if (i < points_.size()) {
            points_[i]->put_Temperature(points[i].temperature);
            points_[i]->put_Speed(points[i].duty);
        } else {
            Add(points[i].temperature, points[i].duty);
        }
    }
}

void CurvePointList::SetLeading(const FanPoints& points) {
    for (size_t i = 0; i < points.size() && i < points_.size(); ++i) {
        points_[i]->put_Temperature(points[i].temperature);
        points_[i]->put_Speed(points[i].duty);
    }
}

CIDualModeFanCurveImpl::CIDualModeFanCurveImpl(FanProfile* profile)
    : FanCurveObject(profile), inner_(new CIFanCurveImpl(profile)) {
    for (int i = 0; i < kPlaceholderPoints; ++i)
        inner_->Points().Add(kPlaceholder.temperature, kPlaceholder.duty);
}

void* CIDualModeFanCurveImpl::QueryOther(REFIID iid) {
    if (IsEqualIID(iid, IID_IFanCurve)) return static_cast<IFanCurve*>(this);
    if (IsEqualIID(iid, IID_ServiceDualModeCurve)) return static_cast<IDualModeFanCurve*>(this);
    return nullptr;
}

CIDualModeFanCurveImpl* CIDualModeFanCurveImpl::Recognise(IFanCurve* curve) {
    IDualModeFanCurve* own = nullptr;
    if (!curve || FAILED(curve->QueryInterface(IID_ServiceDualModeCurve, reinterpret_cast<void**>(&own))) ||
        !own)
        return nullptr;
    return static_cast<CIDualModeFanCurveImpl*>(own);
}

HRESULT CIDualModeFanCurveImpl::get_FanCurve(IFanCurve** pVal) {
    return service::FanWork([&] {
        if (!pVal) return E_POINTER;
        *pVal = nullptr;
        FanPoints second;
        FanProfile* secondProfile = Profile() ? Profile()->SecondProfile() : nullptr;
        if (secondProfile) secondProfile->GetPoints(&second);
        // The suite's copy of the third point keeps its duty here (the main curve's gets 255).
        if (IsSuiteInstalled() && second.size() == 3) second.push_back(second[2]);
        inner_->Points().Fill(second);
        return service::HandOut(static_cast<IFanCurve*>(inner_.Get()), pVal);
    });
}

FanPoints ClientPoints(FanPoints points, int fourthDuty) {
    if (IsSuiteInstalled() && points.size() == 3) points.push_back({points[2].temperature, fourthDuty});
    return points;
}

FanCurveHandle BuildFanCurve(FanProfile* profile) {
    FanCurveHandle handle;
    if (IsBiosItemPresent(kBiosFanCurveDevice0)) {
        tolo::ComPtr<CIDualModeFanCurveImpl> dual(new CIDualModeFanCurveImpl(profile));
        handle.points = &dual->Points();
        handle.curve = tolo::ComPtr<IFanCurve>(static_cast<IFanCurve*>(dual.Detach()));
    } else {
        tolo::ComPtr<CIFanCurveImpl> plain(new CIFanCurveImpl(profile));
        handle.points = &plain->Points();
        handle.curve = tolo::ComPtr<IFanCurve>(plain.Detach());
    }
    FanPoints points;
    if (profile) profile->GetPoints(&points);
    handle.points->Fill(ClientPoints(points, 255));
    return handle;
}

namespace {

// Count, then each readable item's Temperature and Speed.
HRESULT ReadPoints(IFanCurve* curve, FanPoints* out) {
    out->clear();
    LONG count = 0;
    HRESULT hr = curve->get_Count(&count);
    if (FAILED(hr)) return hr;
    for (LONG i = 0; i < count; ++i) {
        tolo::ComPtr<IFanCurvePoint> point;
        if (FAILED(curve->get_Item(i, point.Put())) || !point) continue;
        LONG temperature = 0, speed = 0;
        point->get_Temperature(&temperature);
        point->get_Speed(&speed);
        out->push_back({static_cast<int>(temperature), static_cast<int>(speed)});
    }
    return S_OK;
}

}  // namespace

HRESULT ReadFanCurve(IFanCurve* curve, size_t chipPoints, ClientCurve* out) {
    if (!curve) return E_POINTER;
    HRESULT hr = ReadPoints(curve, &out->points);
    if (FAILED(hr)) return hr;
    out->dualCurve = tolo::ComPtr<CIDualModeFanCurveImpl>(CIDualModeFanCurveImpl::Recognise(curve));
    if (out->dualCurve) {
        hr = ReadPoints(out->dualCurve->Inner(), &out->second);
        if (FAILED(hr)) return hr;
        // An inner curve the client never read carries no second curve: the profile's stays.
        const bool placeholders = std::all_of(out->second.begin(), out->second.end(),
                                              [](const FanPoint& p) { return p == kPlaceholder; });
        if (placeholders) {
            out->dualCurve.Reset();
            out->second.clear();
        }
    }
    out->dual = static_cast<bool>(out->dualCurve);
    // The second curve goes to the firmware's curve record.
    if (!IsRunnableCurve(out->points, chipPoints) ||
        (out->dual && !IsRunnableCurve(out->second, kMaxCurvePoints)))
        return E_INVALIDARG;
    return S_OK;
}

void WriteFanCurve(IFanCurve* curve, const FanPoints& points) {
    LONG count = 0;
    if (FAILED(curve->get_Count(&count))) return;
    for (LONG i = 0; i < count && static_cast<size_t>(i) < points.size(); ++i) {
        tolo::ComPtr<IFanCurvePoint> point;
        if (FAILED(curve->get_Item(i, point.Put())) || !point) continue;
        point->put_Temperature(points[i].temperature);
        point->put_Speed(points[i].duty);
    }
}
