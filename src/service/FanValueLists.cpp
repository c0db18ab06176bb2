#include "FanValueLists.h"

#include "fancore/QuilFanControl.h"

CIThermalWeightsImpl::CIThermalWeightsImpl(QuilFanControl* fan)
    : FanValueList(fan, fan->GetThermalWeights()) {}

HRESULT CIThermalWeightsImpl::Save() {
    return service::StoringFanWork([&] {
        fan_->SaveThermalWeights(Values());
        Handed();
        return S_OK;
    });
}

HRESULT CIThermalWeightsImpl::ApplyButNotSave() {
    return service::FanWork([&] {
        fan_->ApplyThermalWeights(Values());
        Handed();
        return S_OK;
    });
}

CIMultiFanSourceImpl::CIMultiFanSourceImpl(QuilFanControl* fan) : FanValueList(fan, fan->GetMultiSource()) {}

HRESULT CIMultiFanSourceImpl::Save() {
    return service::StoringFanWork([&] {
        fan_->GetMultiSource() = Values();
        fan_->SetMultiSource(Values(), true);
        Handed();
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::ApplyButNotSave() {
    return service::FanWork([&] {
        fan_->GetMultiSource() = Values();
        fan_->SetMultiSource(Values(), false);
        Handed();
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::Clear() {
    return service::FanWork([&] {
        Edited().clear();
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::Add(LONG index) {
    return service::FanWork([&] {
        Edited().push_back(index);
        return S_OK;
    });
}
