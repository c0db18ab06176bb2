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
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory))
        *out = static_cast<IClassFactory*>(this);
    else if (IsEqualIID(iid, IID_IExternalConnection))
        *out = static_cast<IExternalConnection*>(this);
    else
        return E_NOINTERFACE;
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

DWORD CSingletonClassFactory::AddConnection(DWORD type, DWORD) {
    if (!(type & EXTCONN_STRONG)) return 0;
    if (registering_) return ++ownConnections_;
    g_module.Lock();
    return ++connections_;
}

DWORD CSingletonClassFactory::ReleaseConnection(DWORD type, DWORD, BOOL) {
    if (!(type & EXTCONN_STRONG)) return 0;
    if (registering_ && ownConnections_ > 0) return --ownConnections_;
    if (connections_ == 0) return 0;
    const LONG n = --connections_;
    // The last one starts the shutdown as a client's last release of the manager does.
    g_module.Unlock();
    return n;
}
