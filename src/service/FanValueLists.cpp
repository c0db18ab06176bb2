#include "FanValueLists.h"

#include "fancore/QuilFanControl.h"

HRESULT CIThermalWeightsImpl::Save() {
    return service::StoringFanWork([&] {
        fan_->SaveThermalWeights(weights_);
        return S_OK;
    });
}

HRESULT CIThermalWeightsImpl::ApplyButNotSave() {
    return service::FanWork([&] {
        fan_->ApplyThermalWeights(weights_);
        return S_OK;
    });
}

CIMultiFanSourceImpl::CIMultiFanSourceImpl(QuilFanControl* fan) : FanValueList(fan, &fan->GetMultiSource()) {}

HRESULT CIMultiFanSourceImpl::Save() {
    return service::StoringFanWork([&] {
        fan_->SetMultiSource(*values_, true);
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::ApplyButNotSave() {
    return service::FanWork([&] {
        fan_->SetMultiSource(*values_, false);
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::Clear() {
    return service::FanWork([&] {
        values_->clear();
        return S_OK;
    });
}

HRESULT CIMultiFanSourceImpl::Add(LONG index) {
    return service::FanWork([&] {
        values_->push_back(index);
        return S_OK;
    });
}
