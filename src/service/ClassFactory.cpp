#include "ClassFactory.h"

#include <new>

#include "FanControlManager.h"
#include "ServiceModule.h"

CSingletonClassFactory::~CSingletonClassFactory() {
    if (manager_) manager_->ReleaseFactoryReference();
}

HRESULT CSingletonClassFactory::QueryInterface(REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG CSingletonClassFactory::AddRef() {
    return InterlockedIncrement(&refs_);
}

ULONG CSingletonClassFactory::Release() {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return n;
}

HRESULT CSingletonClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (!manager_) manager_ = new (std::nothrow) CFanControlManager;
    if (!manager_) return E_OUTOFMEMORY;
    return manager_->QueryInterface(iid, out);
}

HRESULT CSingletonClassFactory::LockServer(BOOL lock) {
    if (lock)
        g_module.Lock();
    else
        g_module.Unlock();
    return S_OK;
}
