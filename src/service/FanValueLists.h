// A fan's thermal weights and multi-fan sources as automation objects. The weights are a copy of
// the fan's list taken when the fan object was created, edited by the client and handed back to
// the fan by Save and ApplyButNotSave; the sources are the fan's own list, edited in place, so that
// what Save and ApplyButNotSave send is also what the fan sends with its next profile.
#pragma once

#include <vector>

#include "AutomationObject.h"
#include "QuilFanControlService_i.h"

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
            *pVal = (*values_)[index];
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE put_Item(LONG index, LONG newVal) override {
        return service::FanWork([&] {
            if (!Valid(index)) return E_UNEXPECTED;
            if (!Accepts(newVal)) return E_INVALIDARG;
            (*values_)[index] = newVal;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override {
        if (!pVal) return E_POINTER;
        return service::FanWork([&] {
            *pVal = static_cast<LONG>(values_->size());
            return S_OK;
        });
    }

protected:
    // values: the list the object edits (not owned), alive as long as the object.
    FanValueList(QuilFanControl* fan, std::vector<int>* values) : fan_(fan), values_(values) {}
    bool Valid(LONG index) const { return index >= 0 && static_cast<size_t>(index) < values_->size(); }
    // Whether a client's value may enter the list.
    virtual bool Accepts(LONG) const { return true; }

    QuilFanControl* fan_;  // not owned
    std::vector<int>* values_;
};

class CIThermalWeightsImpl final : public FanValueList<IThermalWeights> {
public:
    CIThermalWeightsImpl(QuilFanControl* fan, const std::vector<int>& weights)
        : FanValueList(fan, &weights_), weights_(weights) {}

    // Stored and sent to the embedded controller.
    HRESULT STDMETHODCALLTYPE Save() override;
    // Sent, not stored.
    HRESULT STDMETHODCALLTYPE ApplyButNotSave() override;

private:
    // A weight is a share of the sensor's reading, in percent.
    bool Accepts(LONG value) const override { return value >= 0 && value <= 100; }

    std::vector<int> weights_;
};

class CIMultiFanSourceImpl final : public FanValueList<IMultiFanSource> {
public:
    // Edits the fan's own list (QuilFanControl::GetMultiSource).
    explicit CIMultiFanSourceImpl(QuilFanControl* fan);

    // Sent to the firmware and stored.
    HRESULT STDMETHODCALLTYPE Save() override;
    // Sent, not stored.
    HRESULT STDMETHODCALLTYPE ApplyButNotSave() override;
    HRESULT STDMETHODCALLTYPE Clear() override;
    HRESULT STDMETHODCALLTYPE Add(LONG index) override;
};
