// A fan's thermal weights and multi-fan sources as automation objects: copies of the fan's lists
// taken when the fan object was created, edited by the client and handed back to the fan by
// Save and ApplyButNotSave.
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
        if (!Valid(index)) return E_UNEXPECTED;
        *pVal = values_[index];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Item(LONG index, LONG newVal) override {
        if (!Valid(index)) return E_UNEXPECTED;
        values_[index] = newVal;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Count(LONG* pVal) override {
        if (!pVal) return E_POINTER;
        *pVal = static_cast<LONG>(values_.size());
        return S_OK;
    }

    const std::vector<int>& Values() const { return values_; }

protected:
    FanValueList(QuilFanControl* fan, const std::vector<int>& values) : fan_(fan), values_(values) {}
    bool Valid(LONG index) const { return index >= 0 && static_cast<size_t>(index) < values_.size(); }

    QuilFanControl* fan_;  // not owned
    std::vector<int> values_;
};

class CIThermalWeightsImpl final : public FanValueList<IThermalWeights> {
public:
    CIThermalWeightsImpl(QuilFanControl* fan, const std::vector<int>& weights) : FanValueList(fan, weights) {}

    // Stored and sent to the embedded controller.
    HRESULT STDMETHODCALLTYPE Save() override;
    // Sent, not stored.
    HRESULT STDMETHODCALLTYPE ApplyButNotSave() override;
};

class CIMultiFanSourceImpl final : public FanValueList<IMultiFanSource> {
public:
    CIMultiFanSourceImpl(QuilFanControl* fan, const std::vector<int>& sources) : FanValueList(fan, sources) {}

    // Sent to the firmware and stored.
    HRESULT STDMETHODCALLTYPE Save() override;
    // Sent, not stored.
    HRESULT STDMETHODCALLTYPE ApplyButNotSave() override;
    HRESULT STDMETHODCALLTYPE Clear() override;
    HRESULT STDMETHODCALLTYPE Add(LONG index) override;
};
