// Late-bound calls through IDispatch alone, as a scripting client makes them.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include <initializer_list>
#include <vector>

namespace test {

inline HRESULT DispId(IDispatch* object, const wchar_t* name, DISPID* id) {
    auto* names = const_cast<LPOLESTR>(name);
    return object->GetIDsOfNames(IID_NULL, &names, 1, LOCALE_USER_DEFAULT, id);
}

// Invokes a member by name; the arguments are given in the order of the member's parameters. A
// member's failure comes back as DISP_E_EXCEPTION with its result in `exception` (when given).
inline HRESULT Call(IDispatch* object, const wchar_t* name, WORD flags, std::initializer_list<VARIANT> args,
                    VARIANT* result, EXCEPINFO* exception = nullptr) {
    DISPID id;
    HRESULT hr = DispId(object, name, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.begin(), args.end());
    for (size_t i = 0; i < reversed.size() / 2; ++i)
        std::swap(reversed[i], reversed[reversed.size() - 1 - i]);
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    VARIANT ignored;
    VariantInit(&ignored);
    if (!result) result = &ignored;
    VariantInit(result);
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception, nullptr);
    VariantClear(&ignored);
    return hr;
}

inline HRESULT Get(IDispatch* object, const wchar_t* name, VARIANT* result,
                   std::initializer_list<VARIANT> args = {}) {
    return Call(object, name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, args, result);
}

inline HRESULT Put(IDispatch* object, const wchar_t* name, VARIANT value) {
    return Call(object, name, DISPATCH_PROPERTYPUT, {value}, nullptr);
}

inline VARIANT I4(long value) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

}  // namespace test
