#include "FanControlManager.h"

#include <olectl.h>

#include "Enumerators.h"
#include "FanControl.h"
#include "ServiceModule.h"

CFanControlManager* g_pFanControlManager = nullptr;

CFanControlManager::CFanControlManager() : events_(this) {
    g_pFanControlManager = this;
}

CFanControlManager::~CFanControlManager() {
    if (g_pFanControlManager == this) g_pFanControlManager = nullptr;
}

ULONG CFanControlManager::AddRef() {
    g_module.Lock();
    return AutomationObject::AddRef();
}

ULONG CFanControlManager::Release() {
    g_module.Unlock();
    return AutomationObject::Release();
}

void* CFanControlManager::QueryOther(REFIID iid) {
    if (IsEqualIID(iid, IID_IConnectionPointContainer)) return static_cast<IConnectionPointContainer*>(this);
    return nullptr;
}

HRESULT CFanControlManager::EnumConnectionPoints(IEnumConnectionPoints** out) {
    std::vector<IConnectionPoint*> points;
    try {
        points.push_back(&events_);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    return service::SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*>::Create(points, out);
}

HRESULT CFanControlManager::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, DIID__IFanControlManagerEvents)) return CONNECT_E_NOCONNECTION;
    *out = &events_;
    events_.AddRef();
    return S_OK;
}
