#include "FanValueLists.h"

#include "fancore/QuilFanControl.h"

CIThermalWeightsImpl::CIThermalWeightsImpl(QuilFanControl* fan)
    : FanValueList(fan, fan->GetThermalWeights()) {}

HRESULT CIThermalWeightsImpl::Save() {
    return service::StoringFanWork([&] {
        fan_->SaveThermalWeights(Values());
        return S_OK;
    });
}

HRESULT CIThermalWeightsImpl::ApplyButNotSave() {
    return service::FanWork([&] {
        fan_->ApplyThermalWeights(Values());
        return S_OK;
    });
}

CIMultiFanSourceImpl::CIMultiFanSourceImpl(QuilFanControl* fan) : FanValueList(fan, fan->GetMultiSource()) {}

HRESULT CIMultiFanSourceImpl::Save() {
    return service::StoringFanWork([&] {
        fan_->GetMultiSource() = Values();
        fan_->SetMultiSource(Values(), true);
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::ApplyButNotSave() {
    return service::FanWork([&] {
        fan_->GetMultiSource() = Values();
        fan_->SetMultiSource(Values(), false);
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::Clear() {
    return service::FanWork([&] {
        Values().clear();
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::Add(LONG index) {
    return service::FanWork([&] {
        Values().push_back(index);
        return S_OK;
    });
}
