#include "BoardReaders.h"

#include <wbemcli.h>

#include "system/Handles.h"

namespace {
constexpr int kWmiBuffer = 512;
const CLSID kClsidWbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID kIidWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

HRESULT SetBlanket(IUnknown* proxy, DWORD level) {
    return CoSetProxyBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, level,
                             RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
}
}  // namespace

HRESULT QueryWmiProperty(const wchar_t* className, const wchar_t* propertyName, wchar_t* buffer,
                         int instance) {
    HRESULT init = CoInitialize(nullptr);
    if (FAILED(init)) return init;
    HRESULT security = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                            RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_SECURE_REFS, nullptr);
    {
        tolo::ComPtr<IWbemLocator> locator;
        if (FAILED(CoCreateInstance(kClsidWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIidWbemLocator,
                                    locator.PutVoid()))) {
            CoUninitialize();
            return 0;
        }
        tolo::ComPtr<IWbemServices> services;
        tolo::Bstr ns(L"ROOT\\cimv2");
        if (FAILED(locator->ConnectServer(ns.Get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                          services.Put()))) {
            locator.Reset();
            CoUninitialize();
            return 0;
        }
        HRESULT blanket = SetBlanket(services.Get(), RPC_C_AUTHN_LEVEL_CALL);
        if (security == RPC_E_TOO_LATE) SetBlanket(services.Get(), RPC_C_AUTHN_LEVEL_PKT_PRIVACY);
        if (FAILED(blanket)) {
            services.Reset();
            locator.Reset();
            CoUninitialize();
            return init;
        }
        tolo::ComPtr<IEnumWbemClassObject> objects;
        tolo::Bstr cls(className);
        if (SUCCEEDED(services->CreateInstanceEnum(
                cls.Get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY, nullptr, objects.Put()))) {
            for (int position = 0;; ++position) {
                tolo::ComPtr<IWbemClassObject> object;
                ULONG returned = 0;
                if (objects->Next(WBEM_INFINITE, 1, object.Put(), &returned) != WBEM_S_NO_ERROR || !returned)
                    break;
                VARIANT value;
                VariantInit(&value);
                if (SUCCEEDED(object->Get(propertyName, 0, &value, nullptr, nullptr)) &&
                    position == instance && value.vt == VT_BSTR && value.bstrVal)
                    lstrcpynW(buffer, value.bstrVal, kWmiBuffer);
                VariantClear(&value);
            }
        }
    }  // the enumeration's objects, the services and the locator are released here
    CoUninitialize();
    return init;
}

HRESULT GetBoardProductByWmi(wchar_t* buffer) {
    return QueryWmiProperty(L"Win32_BaseBoard", L"Product", buffer, 0);
}

std::wstring NarrowToWide(const char* text) {
    wchar_t buffer[512] = {};
    if (text) MultiByteToWideChar(CP_ACP, 0, text, -1, buffer, 511);
    return buffer;
}

bool RegCreateKeyHelper(HKEY* key, HKEY root, const char* subkey, REGSAM access) {
    return RegCreateKeyExA(root, subkey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key,
                           nullptr) == ERROR_SUCCESS;
}

bool RegOpenKeyHelper(HKEY* key, HKEY root, const char* subkey, REGSAM access) {
    return RegOpenKeyExA(root, subkey, 0, access, key) == ERROR_SUCCESS;
}

bool RegReadDword(HKEY key, const char* name, DWORD* value) {
    DWORD type = 0, data = 0, size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return false;
    *value = data;
    return true;
}

bool RegWriteDword(HKEY key, const char* name, DWORD value) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}
