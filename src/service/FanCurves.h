// Curves and points of the automation model. They are value holders: a point keeps no link to
// the profile it was read from, and a client's edits reach a profile only through the curve
// members of the fan object.
#pragma once

#include <vector>

#include "AutomationObject.h"
#include "QuilFanControlService_i.h"
#include "fancore/FanPoint.h"

class FanProfile;

class CIFanCurvePointImpl final : public service::AutomationObject<IFanCurvePoint> {
public:
    CIFanCurvePointImpl(long temperature, long speed) : temperature_(temperature), speed_(speed) {}

    // Stored as given: no range check (Speed is a duty 0..255 by convention).
    HRESULT STDMETHODCALLTYPE get_Temperature(LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_Temperature(LONG newVal) override;
    HRESULT STDMETHODCALLTYPE get_Speed(LONG* pVal) override;
    HRESULT STDMETHODCALLTYPE put_Speed(LONG newVal) override;

private:
    long temperature_;
    long speed_;
};

// The point objects of one curve, each held with one reference.
class CurvePointList {
public:
    HRESULT NewEnum(IUnknown** out) const;
    HRESULT Count(LONG* out) const;
    HRESULT Item(LONG index, IFanCurvePoint** out) const;
    // Appends a new point object; throws only when memory runs out.
    void Add(long temperature, long speed);
    // Replaces every point object by new ones for points.
    void Fill(const FanPoints& points);
    // Sets the points in place, appends the rest and drops those past the list: the point objects
    // a client holds keep following the curve.
    void Overwrite(const FanPoints& points);
    // Sets the points the curve already has from the list's first points.
    void SetLeading(const FanPoints& points);

private:
    std::vector<tolo::ComPtr<CIFanCurvePointImpl>> points_;
};

// The members of IFanCurve over a point list, for the plain and the dual-mode curve.
template <class Interface>
class FanCurveObject : public service::AutomationObject<Interface> {
public:
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** pVal) override {
        return service::Guarded([&] { return points_.NewEnum(pVal); });
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override { return points_.Count(pVal); }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, IFanCurvePoint** pVal) override {
        return points_.Item(index, pVal);
    }
    HRESULT STDMETHODCALLTYPE AddPoint(LONG x, LONG y) override {
        return service::Guarded([&] {
            points_.Add(x, y);
            return S_OK;
        });
    }

    CurvePointList& Points() { return points_; }
    // The profile the curve was built from (not owned); null for a curve built from no profile.
    FanProfile* Profile() const { return profile_; }

protected:
    explicit FanCurveObject(FanProfile* profile) : profile_(profile) {}

private:
    FanProfile* profile_;
    CurvePointList points_;
};

class CIFanCurveImpl final : public FanCurveObject<IFanCurve> {
public:
    explicit CIFanCurveImpl(FanProfile* profile) : FanCurveObject(profile) {}
};

// A curve of a fan whose firmware takes a second curve: the inner curve carries it.
class CIDualModeFanCurveImpl final : public FanCurveObject<IDualModeFanCurve> {
public:
    explicit CIDualModeFanCurveImpl(FanProfile* profile);

    // The inner curve, refilled from the profile's second curve.
    HRESULT STDMETHODCALLTYPE get_FanCurve(IFanCurve** pVal) override;

    CIFanCurveImpl* Inner() const { return inner_.Get(); }

    // The service's own dual-mode curve behind a curve pointer, with a reference added; null for
    // any other curve (a curve made by another process never is one).
    static CIDualModeFanCurveImpl* Recognise(IFanCurve* curve);

private:
    void* QueryOther(REFIID iid) override;

    tolo::ComPtr<CIFanCurveImpl> inner_;
};

// A curve object as the service keeps it: the interface and its point list.
struct FanCurveHandle {
    tolo::ComPtr<IFanCurve> curve;
    CurvePointList* points = nullptr;
};

// A new curve object for a profile: dual-mode when the board has the BIOS fan-curve device of fan
// type 0, else plain. Profile may be null (an empty plain curve).
FanCurveHandle BuildFanCurve(FanProfile* profile);

// The points of a profile as clients see them: with the maker's utility suite installed a
// three-point curve gets a fourth point at the third's temperature and the given duty.
FanPoints ClientPoints(FanPoints points, int fourthDuty);

// A client's curve read through its interface: its points, and for a dual-mode curve of the
// service whose inner curve was filled also the inner curve's points. A failed Count is the
// result; items that cannot be read are skipped. E_INVALIDARG for a curve a chip that runs
// `chipPoints` points cannot run whole (IsRunnableCurve), or a second curve the firmware cannot.
struct ClientCurve {
    FanPoints points;
    bool dual = false;
    FanPoints second;
    tolo::ComPtr<CIDualModeFanCurveImpl> dualCurve;
};
HRESULT ReadFanCurve(IFanCurve* curve, size_t chipPoints, ClientCurve* out);
// Writes points into the first items of a client's curve (as many as both have).
void WriteFanCurve(IFanCurve* curve, const FanPoints& points);
