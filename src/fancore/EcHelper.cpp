#include "EcHelper.h"

#include "EcFanControlManager.h"
#include "EcRecords.h"
#include "QuilFanControl.h"

void EcHelper::SendWeights(int fanNumber, const std::vector<int>& weights) {
    if (m_disabled) return;
    WriteEcRecord(kEcWeightsDevice, BuildEcWeightsRecord(fanNumber + 1, weights, true));
}

void NewEcHelper::SendWeights(int fanNumber, const std::vector<int>& weights) {
    if (m_disabled) return;
    WriteEcRecord(kEcWeightsDevice, BuildEcWeightsRecord(fanNumber, weights, false));
}

void EcHelper::ResendWeights(QuilFanControl* fan) {
    if (m_disabled || !m_manager) return;
    // Only a fan of this board's list.
    for (QuilFanControl* f : m_manager->Fans())
        if (f == fan) SendWeights(f->GetEcFanNumber(), f->GetThermalWeights());
}

void EcHelper::SendEnableList() {
    std::vector<int> modes;
    if (m_manager)
        for (QuilFanControl* f : m_manager->Fans())
            if (f->UsesEcHelper() || m_allFans) modes.push_back(f->GetEcMode() == 1 ? 1 : 0);
    WriteEcRecord(kEcEnableDevice, BuildEcEnableRecord(modes));
}
