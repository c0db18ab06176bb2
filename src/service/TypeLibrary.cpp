#include "TypeLibrary.h"

#include <windows.h>

#include <mutex>

#include "system/Handles.h"

namespace service {

namespace {

HRESULT LoadOwnTypeLibrary(ITypeLib** library) {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return E_FAIL;
    return LoadTypeLibEx(path, REGKIND_NONE, library);
}

}  // namespace

HRESULT GetServiceTypeInfo(REFGUID iid, ITypeInfo** info) {
    if (!info) return E_POINTER;
    *info = nullptr;
    static std::mutex lock;
    // Kept for the life of the process once loaded.
    static ITypeLib* library = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!library) {
            HRESULT hr = LoadOwnTypeLibrary(&library);
            if (FAILED(hr)) return hr;
        }
    }
    tolo::ComPtr<ITypeInfo> described;
    HRESULT hr = library->GetTypeInfoOfGuid(iid, described.Put());
    if (FAILED(hr)) return hr;
    TYPEATTR* attr = nullptr;
    if (FAILED(hr = described->GetTypeAttr(&attr))) return hr;
    bool dual = attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL);
    described->ReleaseTypeAttr(attr);
    if (dual) {
        HREFTYPE ref;
        tolo::ComPtr<ITypeInfo> vtable;
        if (SUCCEEDED(hr = described->GetRefTypeOfImplType(-1, &ref)) &&
            SUCCEEDED(hr = described->GetRefTypeInfo(ref, vtable.Put())))
            described = std::move(vtable);
        if (FAILED(hr)) return hr;
    }
    *info = described.Detach();
    return S_OK;
}

}  // namespace service
