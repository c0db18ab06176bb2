#include "AutomationClient.h"

#include <tinyxml.h>

#include <cstdlib>
#include <cstring>

#include "SystemProcess.h"
#include "board/Board.h"

namespace test {

namespace {

const wchar_t kSuiteKey[] = L"Software\\Quil\\Tessaro_II";

std::string Narrow(const wchar_t* text) {
    return std::string(text, text + wcslen(text));
}

// The first child element of that name, or null.
const TiXmlElement* ChildNamed(const TiXmlNode* node, const char* name) {
    return node ? node->FirstChildElement(name) : nullptr;
}

int IntOf(const TiXmlElement* element) {
    return element && element->GetText() ? atoi(element->GetText()) : 0;
}

}  // namespace

tolo::ComPtr<IDispatch> Object(IDispatch* object, const wchar_t* name, std::initializer_list<VARIANT> args) {
    VARIANT v;
    HRESULT hr = Get(object, name, &v, args);
    EXPECT_EQ(S_OK, hr) << Narrow(name);
    if (FAILED(hr) || v.vt != VT_DISPATCH) {
        VariantClear(&v);
        ADD_FAILURE() << Narrow(name) << " gave no object (type " << v.vt << ")";
        return {};
    }
    return tolo::ComPtr<IDispatch>(v.pdispVal);  // adopts the VARIANT's reference
}

long Long(IDispatch* object, const wchar_t* name, std::initializer_list<VARIANT> args) {
    VARIANT v;
    HRESULT hr = Get(object, name, &v, args);
    EXPECT_EQ(S_OK, hr) << Narrow(name);
    VARIANT converted;
    VariantInit(&converted);
    EXPECT_EQ(S_OK, VariantChangeType(&converted, &v, 0, VT_I4)) << Narrow(name);
    VariantClear(&v);
    return converted.lVal;
}

std::wstring Text(IDispatch* object, const wchar_t* name) {
    VARIANT v;
    HRESULT hr = Get(object, name, &v);
    EXPECT_EQ(S_OK, hr) << Narrow(name);
    EXPECT_EQ(VT_BSTR, v.vt) << Narrow(name);
    std::wstring text = v.vt == VT_BSTR && v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : L"";
    VariantClear(&v);
    return text;
}

VARIANT Dispatch(IDispatch* object) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_DISPATCH;
    v.pdispVal = object;  // borrowed for the call
    return v;
}

long CallWith(IDispatch* object, const wchar_t* name, IDispatch* argument, HRESULT* hr) {
    VARIANT result;
    HRESULT h = Call(object, name, DISPATCH_METHOD, {Dispatch(argument)}, &result);
    if (hr)
        *hr = h;
    else
        EXPECT_EQ(S_OK, h) << Narrow(name);
    VARIANT converted;
    VariantInit(&converted);
    if (SUCCEEDED(h)) VariantChangeType(&converted, &result, 0, VT_I4);
    VariantClear(&result);
    return converted.vt == VT_I4 ? converted.lVal : -1;
}

HRESULT ScriptError(IDispatch* object, const wchar_t* name, WORD flags, std::initializer_list<VARIANT> args) {
    EXCEPINFO exception{};
    HRESULT hr = Call(object, name, flags, args, nullptr, &exception);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr == DISP_E_EXCEPTION ? exception.scode : hr;
}

FanPoints CurvePoints(IDispatch* curve) {
    FanPoints points;
    long count = Long(curve, L"Count");
    for (long i = 0; i < count; ++i) {
        tolo::ComPtr<IDispatch> point = Object(curve, L"Item", {I4(i)});
        if (!point) break;
        points.push_back({static_cast<int>(Long(point.Get(), L"Temperature")),
                          static_cast<int>(Long(point.Get(), L"Speed"))});
    }
    return points;
}

void SetSpeeds(IDispatch* curve, const std::vector<long>& speeds) {
    for (size_t i = 0; i < speeds.size(); ++i) {
        tolo::ComPtr<IDispatch> point = Object(curve, L"Item", {I4(static_cast<long>(i))});
        ASSERT_TRUE(point);
        EXPECT_EQ(S_OK, Put(point.Get(), L"Speed", I4(speeds[i])));
    }
}

void SetPoints(IDispatch* curve, const FanPoints& points) {
    const long count = Long(curve, L"Count");
    for (size_t i = 0; i < points.size(); ++i) {
        const FanPoint& p = points[i];
        if (static_cast<long>(i) >= count) {
            EXPECT_EQ(S_OK,
                      Call(curve, L"AddPoint", DISPATCH_METHOD, {I4(p.temperature), I4(p.duty)}, nullptr));
            continue;
        }
        tolo::ComPtr<IDispatch> point = Object(curve, L"Item", {I4(static_cast<long>(i))});
        ASSERT_TRUE(point);
        EXPECT_EQ(S_OK, Put(point.Get(), L"Temperature", I4(p.temperature)));
        EXPECT_EQ(S_OK, Put(point.Get(), L"Speed", I4(p.duty)));
    }
}

std::vector<FanPoints> StoredUserCurves() {
    std::vector<FanPoints> curves;
    TiXmlDocument doc;
    std::wstring path = FanStorePath();
    if (!doc.LoadFile(std::string(path.begin(), path.end()).c_str())) return curves;
    const TiXmlElement* root = doc.RootElement();
    for (const TiXmlElement* fan = ChildNamed(root, "fan"); fan; fan = fan->NextSiblingElement("fan")) {
        const TiXmlElement* curve = ChildNamed(fan, "curvedata");
        if (!curve) continue;
        FanPoints points;
        for (const TiXmlElement* p = ChildNamed(curve, "point"); p; p = p->NextSiblingElement("point"))
            points.push_back({IntOf(ChildNamed(p, "x")), IntOf(ChildNamed(p, "y"))});
        curves.push_back(points);
    }
    return curves;
}

std::string StoredFanValue(const std::string& path) {
    TiXmlDocument doc;
    std::wstring file = FanStorePath();
    if (!doc.LoadFile(std::string(file.begin(), file.end()).c_str())) return {};
    for (const TiXmlElement* fan = ChildNamed(doc.RootElement(), "fan"); fan;
         fan = fan->NextSiblingElement("fan")) {
        const TiXmlElement* value = fan;
        for (size_t from = 0; value && from <= path.size();) {
            size_t slash = path.find('/', from);
            if (slash == std::string::npos) slash = path.size();
            value = ChildNamed(value, path.substr(from, slash - from).c_str());
            from = slash + 1;
        }
        if (value) return value->GetText() ? value->GetText() : "";
    }
    return {};
}

void InstallSuite(bool installed) {
    if (!installed) {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSuiteKey);
        return;
    }
    tolo::RegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSuiteKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                             key.Put(), nullptr));
    const wchar_t exe[] = L"Tessaro.exe";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), L"ExeName", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(exe), sizeof(exe)));
}

IteRegisterImage ChipCurve(uint8_t block) {
    IteRegisterImage image;
    image.startTemp = sim::MonitorRead(0, block + 1);
    image.fullTemp = sim::MonitorRead(0, block + 2);
    image.startPwm = sim::MonitorRead(0, block + 3);
    image.slope = sim::MonitorRead(0, block + 4) & 0x7F;
    return image;
}

IteRegisterImage ExpectedChipCurve(const FanPoints& points) {
    IteRegisterImage image;
    Ite8721DataConverter().PointsToRegisters(points, &image);
    return image;
}

void ExpectSameCurve(const IteRegisterImage& want, const IteRegisterImage& got) {
    EXPECT_EQ(want.startTemp, got.startTemp);
    EXPECT_EQ(want.startPwm, got.startPwm);
    EXPECT_EQ(want.slope, got.slope);
    EXPECT_EQ(want.fullTemp, got.fullTemp);
}

}  // namespace test
