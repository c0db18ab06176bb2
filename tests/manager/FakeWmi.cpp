#include "FakeWmi.h"

#include <wbemcli.h>

#include <utility>

namespace test {

namespace {

const CLSID kClsidWbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

struct Served {
    std::vector<std::wstring> products;
    std::vector<std::wstring> queries;
    std::wstring ns;
};
Served g_served;

// Reference counting and one interface besides IUnknown.
template <typename Interface>
class Unknown : public Interface {
public:
    virtual ~Unknown() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = iid == IID_IUnknown || iid == __uuidof(Interface) ? this : Other(iid);
        if (!*out) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs_;
        if (!left) delete this;
        return left;
    }

protected:
    virtual void* Other(REFIID) { return nullptr; }

private:
    ULONG refs_ = 1;
};

#define NOT_USED(name, ...)                                \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { \
        return WBEM_E_NOT_SUPPORTED;                       \
    }

class Instance : public Unknown<IWbemClassObject> {
public:
    explicit Instance(std::wstring product) : product_(std::move(product)) {}
    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override {
        VariantInit(value);
        if (lstrcmpiW(name, L"Product") != 0) return WBEM_E_NOT_FOUND;
        value->vt = VT_BSTR;
        value->bstrVal = SysAllocString(product_.c_str());
        return S_OK;
    }
    NOT_USED(GetQualifierSet, IWbemQualifierSet**)
    NOT_USED(Put, LPCWSTR, LONG, VARIANT*, CIMTYPE)
    NOT_USED(Delete, LPCWSTR)
    NOT_USED(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**)
    NOT_USED(BeginEnumeration, LONG)
    NOT_USED(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*)
    NOT_USED(EndEnumeration)
    NOT_USED(GetPropertyQualifierSet, LPCWSTR, IWbemQualifierSet**)
    NOT_USED(Clone, IWbemClassObject**)
    NOT_USED(GetObjectText, LONG, BSTR*)
    NOT_USED(SpawnDerivedClass, LONG, IWbemClassObject**)
    NOT_USED(SpawnInstance, LONG, IWbemClassObject**)
    NOT_USED(CompareTo, LONG, IWbemClassObject*)
    NOT_USED(GetPropertyOrigin, LPCWSTR, BSTR*)
    NOT_USED(InheritsFrom, LPCWSTR)
    NOT_USED(GetMethod, LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**)
    NOT_USED(PutMethod, LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)
    NOT_USED(DeleteMethod, LPCWSTR)
    NOT_USED(BeginMethodEnumeration, LONG)
    NOT_USED(NextMethod, LONG, BSTR*, IWbemClassObject**, IWbemClassObject**)
    NOT_USED(EndMethodEnumeration)
    NOT_USED(GetMethodQualifierSet, LPCWSTR, IWbemQualifierSet**)
    NOT_USED(GetMethodOrigin, LPCWSTR, BSTR*)

private:
    std::wstring product_;
};

class Instances : public Unknown<IEnumWbemClassObject> {
public:
    HRESULT STDMETHODCALLTYPE Next(LONG, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
        *returned = 0;
        if (count != 1 || next_ >= g_served.products.size()) return WBEM_S_FALSE;
        objects[0] = new Instance(g_served.products[next_++]);
        *returned = 1;
        return WBEM_S_NO_ERROR;
    }
    NOT_USED(Reset)
    NOT_USED(NextAsync, ULONG, IWbemObjectSink*)
    NOT_USED(Clone, IEnumWbemClassObject**)
    NOT_USED(Skip, LONG, ULONG)

private:
    size_t next_ = 0;
};

// The services object is its own proxy: the reader sets its blanket.
class Services : public Unknown<IWbemServices>, public IClientSecurity {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        return Unknown<IWbemServices>::QueryInterface(iid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Unknown<IWbemServices>::AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Unknown<IWbemServices>::Release(); }
    HRESULT STDMETHODCALLTYPE SetBlanket(IUnknown*, DWORD, DWORD, OLECHAR*, DWORD, DWORD, void*,
                                         DWORD) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryBlanket(IUnknown*, DWORD*, DWORD*, OLECHAR**, DWORD*, DWORD*, void**,
                                           DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CopyProxy(IUnknown*, IUnknown**) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR cls, LONG, IWbemContext*,
                                                 IEnumWbemClassObject** out) override {
        *out = nullptr;
        g_served.queries.push_back(g_served.ns + L" " + cls);
        if (lstrcmpiW(cls, L"Win32_BaseBoard") != 0) return WBEM_E_INVALID_CLASS;
        *out = new Instances;
        return S_OK;
    }
    NOT_USED(OpenNamespace, const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
    NOT_USED(CancelAsyncCall, IWbemObjectSink*)
    NOT_USED(QueryObjectSink, LONG, IWbemObjectSink**)
    NOT_USED(GetObject, const BSTR, LONG, IWbemContext*, IWbemClassObject**, IWbemCallResult**)
    NOT_USED(GetObjectAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    NOT_USED(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(DeleteClass, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
    NOT_USED(DeleteClassAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(CreateClassEnum, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    NOT_USED(CreateClassEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    NOT_USED(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(DeleteInstance, const BSTR, LONG, IWbemContext*, IWbemCallResult**)
    NOT_USED(DeleteInstanceAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(CreateInstanceEnumAsync, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(ExecQuery, const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    NOT_USED(ExecQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(ExecNotificationQuery, const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    NOT_USED(ExecNotificationQueryAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    NOT_USED(ExecMethod, const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**,
             IWbemCallResult**)
    NOT_USED(ExecMethodAsync, const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
             IWbemObjectSink*)

protected:
    void* Other(REFIID iid) override {
        return iid == IID_IClientSecurity ? static_cast<IClientSecurity*>(this) : nullptr;
    }
};

#undef NOT_USED

class Locator : public Unknown<IWbemLocator> {
public:
    HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR ns, const BSTR, const BSTR, const BSTR, LONG,
                                            const BSTR, IWbemContext*, IWbemServices** out) override {
        g_served.ns = ns;
        *out = new Services;
        return S_OK;
    }
};

class Factory : public Unknown<IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        *out = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Locator* locator = new Locator;
        HRESULT hr = locator->QueryInterface(iid, out);
        locator->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

FakeWmi::FakeWmi(std::vector<std::wstring> products) {
    g_served = {std::move(products), {}, {}};
    CoInitialize(nullptr);
    Factory* factory = new Factory;
    if (FAILED(CoRegisterClassObject(kClsidWbemLocator, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                     &cookie_)))
        cookie_ = 0;
    factory->Release();  // COM holds it while registered
}

FakeWmi::~FakeWmi() {
    if (cookie_) CoRevokeClassObject(cookie_);
    CoUninitialize();
}

const std::vector<std::wstring>& FakeWmi::Queries() const {
    return g_served.queries;
}

}  // namespace test
