// A fan's thermal weights and multi-fan sources as automation objects: each holds a copy of the
// fan's list, which the client edits and Save or ApplyButNotSave hand back to the fan; an edit
// nobody applied reaches neither the fan nor the firmware. The copy is taken again when the fans
// took the settings of a store that could be read only after they were built, unless a client
// edited it since it was last handed to the fan.
#pragma once

#include <vector>

#include "AutomationObject.h"
#include "QuilFanControlService_i.h"
#include "fancore/FanLimits.h"

class QuilFanControl;

template <class Interface>
class FanValueList : public service::AutomationObject<Interface> {
public:
    // No enumerator is offered: S_OK and a null pointer.
    HRESULT STDMETHODCALLTYPE get__NewEnum(IUnknown** pVal) override {
        if (!pVal) return E_POINTER;
        *pVal = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Item(LONG index, LONG* pVal) override {
        if (!pVal) return E_POINTER;
        return service::FanWork([&] {
            if (!Valid(index)) return E_UNEXPECTED;
            *pVal = Values()[index];
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE put_Item(LONG index, LONG newVal) override {
        return service::FanWork([&] {
            if (!Valid(index)) return E_UNEXPECTED;
            if (!Accepts(newVal)) return E_INVALIDARG;
            Edited()[index] = newVal;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override {
        if (!pVal) return E_POINTER;
        return service::FanWork([&] {
            *pVal = static_cast<LONG>(Values().size());
            return S_OK;
        });
    }

protected:
    // fanList: the fan's own list (not owned), alive as long as the object. Created, and used,
    // under the fan-objects lock.
    FanValueList(QuilFanControl* fan, const std::vector<int>& fanList)
        : fan_(fan), fanList_(&fanList), values_(fanList), copiedAt_(service::StoreCatchUps()) {}
    // The client's list. Edits not yet saved or applied are newer than a store read late, and
    // stay; a list nobody edited takes the fan's again.
    std::vector<int>& Values() {
        if (copiedAt_ != service::StoreCatchUps()) {
            if (!edited_) values_ = *fanList_;
            copiedAt_ = service::StoreCatchUps();
        }
        return values_;
    }
    // The client's list, to be changed.
    std::vector<int>& Edited() {
        std::vector<int>& values = Values();
        edited_ = true;
        return values;
    }
    // The list was handed to the fan: it is the fan's own again.
    void Handed() { edited_ = false; }
    bool Valid(LONG index) { return index >= 0 && static_cast<size_t>(index) < Values().size(); }
    // Whether a client's value may enter the list.
    virtual bool Accepts(LONG) const { return true; }

    QuilFanControl* fan_;  // not owned

private:
    const std::vector<int>* fanList_;
    std::vector<int> values_;
    unsigned copiedAt_;
    bool edited_ = false;
};

class CIThermalWeightsImpl final : public FanValueList<IThermalWeights> {
public:
    explicit CIThermalWeightsImpl(QuilFanControl* fan);

    // Stored and sent to the embedded controller.
    HRESULT STDMETHODCALLTYPE Save() override;
    // Sent, not stored.
    HRESULT STDMETHODCALLTYPE ApplyButNotSave() override;

private:
    bool Accepts(LONG value) const override { return IsThermalWeight(value); }
};

class CIMultiFanSourceImpl final : public FanValueList<IMultiFanSource> {
public:
    explicit CIMultiFanSourceImpl(QuilFanControl* fan);

    // The fan's list from then on, sent to the firmware and stored.
    HRESULT STDMETHODCALLTYPE Save() override;
    // The fan's list from then on and sent, not stored.
    HRESULT STDMETHODCALLTYPE ApplyButNotSave() override;
    HRESULT STDMETHODCALLTYPE Clear() override;
    HRESULT STDMETHODCALLTYPE Add(LONG index) override;
};
