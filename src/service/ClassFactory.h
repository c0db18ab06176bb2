// The class object of FanControlManager: a singleton factory, so every client of every process
// receives the same manager.
#pragma once

#include <unknwn.h>

class CFanControlManager;

class CSingletonClassFactory final : public IClassFactory {
public:
    CSingletonClassFactory() = default;
    CSingletonClassFactory(const CSingletonClassFactory&) = delete;
    CSingletonClassFactory& operator=(const CSingletonClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // The manager is made at the first request and kept for the factory's life.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CSingletonClassFactory();

    volatile LONG refs_ = 1;
    CFanControlManager* manager_ = nullptr;
};
