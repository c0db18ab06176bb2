// The type library embedded in the executable (the test carries the same resource).
#include <gtest/gtest.h>
#include <oaidl.h>
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "QuilFanControlService_i.h"
#include "TypeLibrary.h"
#include "system/Handles.h"

namespace {

std::string Narrow(const wchar_t* w) {
    std::string s;
    for (; w && *w; ++w) s += static_cast<char>(*w);
    return s;
}

class TypeLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        ASSERT_EQ(S_OK, LoadTypeLibEx(path, REGKIND_NONE, lib_.Put()));
    }
    tolo::ComPtr<ITypeInfo> Info(REFGUID guid) {
        tolo::ComPtr<ITypeInfo> info;
        EXPECT_EQ(S_OK, lib_->GetTypeInfoOfGuid(guid, info.Put()));
        return info;
    }
    static std::string Doc(ITypeInfo* info, MEMBERID id, std::string* name = nullptr) {
        tolo::Bstr n, doc;
        if (FAILED(info->GetDocumentation(id, n.Put(), doc.Put(), nullptr, nullptr))) return "<none>";
        if (name) *name = Narrow(n.Get());
        return Narrow(doc.Get());
    }

    tolo::ComPtr<ITypeLib> lib_;
};

struct InterfaceCase {
    const IID* iid;
    const char* name;
};

const InterfaceCase kInterfaces[] = {
    {&IID_IFanControlManager, "IFanControlManager"},
    {&IID_IFanControlCollection, "IFanControlCollection"},
    {&IID_IFanControl, "IFanControl"},
    {&IID_IFanProfileCollection, "IFanProfileCollection"},
    {&IID_IFanProfile, "IFanProfile"},
    {&IID_IFanCurve, "IFanCurve"},
    {&IID_IDualModeFanCurve, "IDualModeFanCurve"},
    {&IID_IFanCurvePoint, "IFanCurvePoint"},
    {&IID_IThermalWeights, "IThermalWeights"},
    {&IID_IMultiFanSource, "IMultiFanSource"},
};

TEST_F(TypeLibraryTest, LibraryAttributesAndItsTwelveTypes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(LIBID_QuilFanControlServiceLib, attr->guid));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0x409u, attr->lcid);
    lib_->ReleaseTLibAttr(attr);
    tolo::Bstr name, doc;
    ASSERT_EQ(S_OK, lib_->GetDocumentation(-1, name.Put(), doc.Put(), nullptr, nullptr));
    EXPECT_EQ("QuilFanControlServiceLib", Narrow(name.Get()));
    EXPECT_EQ("QuilFanControlService 1.0 Type Library", Narrow(doc.Get()));
    EXPECT_EQ(12u, lib_->GetTypeInfoCount());
}

TEST_F(TypeLibraryTest, TenDualNonExtensibleAutomationInterfaces) {
    for (const InterfaceCase& c : kInterfaces) {
        tolo::ComPtr<ITypeInfo> info = Info(*c.iid);
        ASSERT_TRUE(info) << c.name;
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(TKIND_DISPATCH, attr->typekind) << c.name;
        WORD flags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE;
        EXPECT_EQ(flags, attr->wTypeFlags & flags) << c.name;
        info->ReleaseTypeAttr(attr);
        // The vtable side, which the marshaler and DispInvoke use.
        tolo::ComPtr<ITypeInfo> vtable;
        ASSERT_EQ(S_OK, service::GetServiceTypeInfo(*c.iid, vtable.Put()));
        ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
        EXPECT_EQ(TKIND_INTERFACE, attr->typekind) << c.name;
        EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) << c.name;
        vtable->ReleaseTypeAttr(attr);
        std::string name;
        EXPECT_EQ(std::string(c.name) + " Interface", Doc(info.Get(), -1, &name));
        EXPECT_EQ(c.name, name);
    }
    // IDualModeFanCurve extends IFanCurve.
    tolo::ComPtr<ITypeInfo> dual;
    ASSERT_EQ(S_OK, service::GetServiceTypeInfo(IID_IDualModeFanCurve, dual.Put()));
    HREFTYPE ref;
    ASSERT_EQ(S_OK, dual->GetRefTypeOfImplType(0, &ref));
    tolo::ComPtr<ITypeInfo> base;
    ASSERT_EQ(S_OK, dual->GetRefTypeInfo(ref, base.Put()));
    std::string baseName;
    Doc(base.Get(), -1, &baseName);
    EXPECT_EQ("IFanCurve", baseName);
}

TEST_F(TypeLibraryTest, CoclassWithItsDefaultInterfaceAndEventSource) {
    tolo::ComPtr<ITypeInfo> coclass = Info(CLSID_FanControlManager);
    ASSERT_TRUE(coclass);
    std::string name;
    EXPECT_EQ("FanControlManager Class", Doc(coclass.Get(), -1, &name));
    EXPECT_EQ("FanControlManager", name);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    ASSERT_EQ(2, attr->cImplTypes);
    coclass->ReleaseTypeAttr(attr);
    std::map<std::string, int> implemented;
    for (UINT i = 0; i < 2; ++i) {
        HREFTYPE ref;
        INT flags = 0;
        ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(i, &ref));
        ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(i, &flags));
        tolo::ComPtr<ITypeInfo> impl;
        ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, impl.Put()));
        std::string implName;
        Doc(impl.Get(), -1, &implName);
        implemented[implName] = flags;
    }
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, implemented["IFanControlManager"]);
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, implemented["_IFanControlManagerEvents"]);

    tolo::ComPtr<ITypeInfo> events = Info(DIID__IFanControlManagerEvents);
    ASSERT_TRUE(events);
    ASSERT_EQ(S_OK, events->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    EXPECT_EQ(0, attr->wTypeFlags & TYPEFLAG_FDUAL);
    events->ReleaseTypeAttr(attr);
    EXPECT_EQ("_IFanControlManagerEvents Interface", Doc(events.Get(), -1));
    EXPECT_EQ("method OnFanSettingChange", Doc(events.Get(), 1));
    BSTR names[3] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, events->GetNames(1, names, 3, &count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ("OnFanSettingChange", Narrow(names[0]));
    EXPECT_EQ("fanCtrlId", Narrow(names[1]));
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
}

// Every member of every interface with its DISPID; the table the clients rely on.
struct MemberCase {
    const IID* iid;
    const wchar_t* member;
    DISPID id;
};

const MemberCase kMembers[] = {
    {&IID_IFanControlManager, L"Controls", 2},
    {&IID_IFanControlManager, L"ConstraintType", 3},
    {&IID_IFanControlManager, L"MaxStepTime", 4},
    {&IID_IFanControlManager, L"MaxTolerance", 5},
    {&IID_IFanControlManager, L"IsSIOSupportedRPM", 6},
    {&IID_IFanControlManager, L"RpmPerstep", 7},
    {&IID_IFanControlManager, L"RpmSmoothFreq", 8},
    {&IID_IFanControlManager, L"OneSencitiveSupported", 9},
    {&IID_IFanControlManager, L"IsSupportFanStop", 10},
    {&IID_IFanControlCollection, L"_NewEnum", DISPID_NEWENUM},
    {&IID_IFanControlCollection, L"Count", 2},
    {&IID_IFanControlCollection, L"Item", 0},
    {&IID_IFanControl, L"Id", 1},
    {&IID_IFanControl, L"Name", 2},
    {&IID_IFanControl, L"DutyCycle", 3},
    {&IID_IFanControl, L"Profiles", 4},
    {&IID_IFanControl, L"ApplyFanCurve", 5},
    {&IID_IFanControl, L"NormalizeFanCurve", 6},
    {&IID_IFanControl, L"StartupProfileIndex", 7},
    {&IID_IFanControl, L"ApplyIndex", 8},
    {&IID_IFanControl, L"CalculatedDuty", 9},
    {&IID_IFanControl, L"MinimalDuty", 10},
    {&IID_IFanControl, L"EcMode", 11},
    {&IID_IFanControl, L"ThermalWeights", 12},
    {&IID_IFanControl, L"CurrentFanCurve", 13},
    {&IID_IFanControl, L"DisplayName", 14},
    {&IID_IFanControl, L"StepUpTime", 15},
    {&IID_IFanControl, L"StepDownTime", 16},
    {&IID_IFanControl, L"TempTolerance", 17},
    {&IID_IFanControl, L"EnableRpmMode", 18},
    {&IID_IFanControl, L"IsRpmMode", 19},
    {&IID_IFanControl, L"RpmTolerance", 20},
    {&IID_IFanControl, L"EcFanStop", 21},
    {&IID_IFanControl, L"StepUnit", 22},
    {&IID_IFanControl, L"T1DelayTime", 23},
    {&IID_IFanControl, L"StepUnitSupported", 24},
    {&IID_IFanControl, L"WeightsSupported", 25},
    {&IID_IFanControl, L"StepUnitButNotSave", 26},
    {&IID_IFanControl, L"StepUpTimeButNotSave", 27},
    {&IID_IFanControl, L"StepDownTimeButNotSave", 28},
    {&IID_IFanControl, L"T1DelayTimeButNotSave", 29},
    {&IID_IFanControl, L"RpmToleranceButNotSave", 31},
    {&IID_IFanControl, L"EnableRpmModeButNotSave", 32},
    {&IID_IFanControl, L"ApplyFanCurveButNotSave", 33},
    {&IID_IFanControl, L"IsSencitiveSupported", 34},
    {&IID_IFanControl, L"SetFanDuty", 35},
    {&IID_IFanControl, L"RefreshFanCurve", 36},
    {&IID_IFanControl, L"EnableManualMode", 37},
    {&IID_IFanControl, L"FanSourceIndex", 38},
    {&IID_IFanControl, L"MultiFanSource", 39},
    {&IID_IFanControl, L"SaveRpmTargetDuty", 40},
    {&IID_IFanProfileCollection, L"_NewEnum", DISPID_NEWENUM},
    {&IID_IFanProfileCollection, L"Count", 2},
    {&IID_IFanProfileCollection, L"Item", 0},
    {&IID_IFanProfileCollection, L"Current", 4},
    {&IID_IFanProfileCollection, L"SaveUserProfile", 5},
    {&IID_IFanProfile, L"Name", 1},
    {&IID_IFanProfile, L"Type", 2},
    {&IID_IFanProfile, L"Id", 3},
    {&IID_IFanProfile, L"FanCurve", 4},
    {&IID_IFanCurve, L"_NewEnum", DISPID_NEWENUM},
    {&IID_IFanCurve, L"Count", 2},
    {&IID_IFanCurve, L"Item", 0},
    {&IID_IFanCurve, L"AddPoint", 3},
    {&IID_IDualModeFanCurve, L"Count", 2},
    {&IID_IDualModeFanCurve, L"AddPoint", 3},
    {&IID_IDualModeFanCurve, L"FanCurve", 4},
    {&IID_IFanCurvePoint, L"Temperature", 1},
    {&IID_IFanCurvePoint, L"Speed", 2},
    {&IID_IThermalWeights, L"_NewEnum", DISPID_NEWENUM},
    {&IID_IThermalWeights, L"Item", 0},
    {&IID_IThermalWeights, L"Count", 1},
    {&IID_IThermalWeights, L"Save", 2},
    {&IID_IThermalWeights, L"ApplyButNotSave", 3},
    {&IID_IMultiFanSource, L"_NewEnum", DISPID_NEWENUM},
    {&IID_IMultiFanSource, L"Item", 0},
    {&IID_IMultiFanSource, L"Count", 1},
    {&IID_IMultiFanSource, L"Save", 2},
    {&IID_IMultiFanSource, L"ApplyButNotSave", 3},
    {&IID_IMultiFanSource, L"Clear", 4},
    {&IID_IMultiFanSource, L"Add", 5},
};

TEST_F(TypeLibraryTest, EveryMemberHasItsDispatchId) {
    for (const MemberCase& c : kMembers) {
        tolo::ComPtr<ITypeInfo> info = Info(*c.iid);
        ASSERT_TRUE(info);
        auto* name = const_cast<LPOLESTR>(c.member);
        MEMBERID id = 12345;
        EXPECT_EQ(S_OK, info->GetIDsOfNames(&name, 1, &id)) << Narrow(c.member);
        EXPECT_EQ(c.id, id) << Narrow(c.member);
    }
}

// The members declared by each interface itself (not IDispatch's), by dispatch id, with help text.
std::map<DISPID, std::pair<std::string, std::string>> OwnMembers(ITypeInfo* info) {
    std::map<DISPID, std::pair<std::string, std::string>> members;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetTypeAttr(&attr))) return members;
    for (UINT i = 0; i < attr->cFuncs; ++i) {
        FUNCDESC* f = nullptr;
        if (FAILED(info->GetFuncDesc(i, &f))) continue;
        DISPID id = f->memid;
        bool method = f->invkind == INVOKE_FUNC;
        info->ReleaseFuncDesc(f);
        tolo::Bstr name, doc;
        info->GetDocumentation(id, name.Put(), doc.Put(), nullptr, nullptr);
        std::string n = Narrow(name.Get());
        if (n == "QueryInterface" || n == "AddRef" || n == "Release" || n == "GetTypeInfoCount" ||
            n == "GetTypeInfo" || n == "GetIDsOfNames" || n == "Invoke")
            continue;
        members[id] = {n, (method ? "method " : "property ") + n};
        members[id].second = Narrow(doc.Get()) == members[id].second ? "ok" : Narrow(doc.Get());
    }
    info->ReleaseTypeAttr(attr);
    return members;
}

TEST_F(TypeLibraryTest, HelpStringsNameTheKindAndTheMember) {
    const std::map<std::string, std::string> exceptions = {
        {"Clear", "method Reset"},
        {"IsSencitiveSupported", "property Sencitive Supported"},
        {"OneSencitiveSupported", "property OnlyOneSencitiveSupported"},
    };
    size_t checked = 0;
    for (const InterfaceCase& c : kInterfaces) {
        tolo::ComPtr<ITypeInfo> info = Info(*c.iid);
        ASSERT_TRUE(info);
        for (const auto& [id, member] : OwnMembers(info.Get())) {
            auto e = exceptions.find(member.first);
            EXPECT_EQ(e == exceptions.end() ? "ok" : e->second, member.second)
                << c.name << "." << member.first;
            ++checked;
        }
    }
    EXPECT_GT(checked, 70u);
}

TEST_F(TypeLibraryTest, ParameterNamesAreTheClientsNames) {
    struct Case {
        const IID* iid;
        DISPID id;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {&IID_IFanControl, 5, {"ApplyFanCurve", "FanCurve", "retVal"}},
        {&IID_IFanControl, 8, {"ApplyIndex", "index"}},
        {&IID_IFanControl, 9, {"CalculatedDuty", "Temperature", "pVal"}},
        {&IID_IFanControl, 18, {"EnableRpmMode", "value"}},
        {&IID_IFanControl, 40, {"SaveRpmTargetDuty", "duty"}},
        {&IID_IFanCurve, 3, {"AddPoint", "x", "y"}},
        {&IID_IFanControlCollection, 0, {"Item", "index", "pVal"}},
        {&IID_IFanProfileCollection, 5, {"SaveUserProfile", "FanCurve", "result"}},
        {&IID_IMultiFanSource, 5, {"Add", "index"}},
    };
    for (const Case& c : cases) {
        tolo::ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, service::GetServiceTypeInfo(*c.iid, info.Put()));
        BSTR names[4] = {};
        UINT count = 0;
        ASSERT_EQ(S_OK, info->GetNames(c.id, names, 4, &count)) << c.names[0];
        std::vector<std::string> got;
        for (UINT i = 0; i < count; ++i) {
            got.push_back(Narrow(names[i]));
            SysFreeString(names[i]);
        }
        EXPECT_EQ(c.names, got);
    }
}

}  // namespace
