// The class object of FanControlManager: a singleton factory, so every client of every process
// receives the same manager.
#pragma once

#include <objidl.h>
#include <unknwn.h>

class CFanControlManager;

class CSingletonClassFactory final : public IClassFactory, public IExternalConnection {
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

    // A client that holds the class object holds the server, as one that holds the manager does:
    // COM tells the object of its strong outside connections (Wine of the first and the last
    // only), and a client's LockServer may never reach the server (Wine's proxy answers it).
    DWORD STDMETHODCALLTYPE AddConnection(DWORD type, DWORD reserved) override;
    DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD type, DWORD reserved, BOOL lastReleaseCloses) override;

    // Set while COM registers or revokes the class object: the connections it makes and ends
    // meanwhile are its own, no client's.
    void SetRegistering(bool registering) { registering_ = registering; }

private:
    ~CSingletonClassFactory();

    volatile LONG refs_ = 1;
    CFanControlManager* manager_ = nullptr;
    bool registering_ = false;
    LONG connections_ = 0;     // the clients' (each holds a server lock)
    LONG ownConnections_ = 0;  // COM's own, from the registration
};
