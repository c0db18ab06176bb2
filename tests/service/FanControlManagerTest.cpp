// The manager and its class factory hosted in the test's apartment.
#include <gtest/gtest.h>
#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include "ClassFactory.h"
#include "EventSink.h"
#include "FanControlManager.h"
#include "QuilFanControlService_i.h"
#include "ServiceModule.h"
#include "system/Handles.h"

namespace {

class FanControlManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        factory_ = tolo::ComPtr<IClassFactory>(new CSingletonClassFactory);
        ASSERT_EQ(S_OK, factory_->CreateInstance(nullptr, IID_IFanControlManager, manager_.PutVoid()));
    }
    void TearDown() override {
        manager_.Reset();
        factory_.Reset();
        CoUninitialize();
    }
    // The count of client references the server holds (the module's lock count).
    static LONG ServerLocks() {
        LONG n = g_module.Lock() - 1;
        g_module.Unlock();
        return n;
    }
    tolo::ComPtr<IConnectionPoint> Point() {
        tolo::ComPtr<IConnectionPointContainer> container;
        EXPECT_EQ(S_OK, manager_->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()));
        tolo::ComPtr<IConnectionPoint> point;
        EXPECT_EQ(S_OK, container->FindConnectionPoint(DIID__IFanControlManagerEvents, point.Put()));
        return point;
    }

    tolo::ComPtr<IClassFactory> factory_;
    tolo::ComPtr<IFanControlManager> manager_;
};

TEST_F(FanControlManagerTest, TheFactoryHandsOutOneManagerAndOnlyClientReferencesHoldTheServer) {
    EXPECT_EQ(1, ServerLocks());
    tolo::ComPtr<IUnknown> again, first;
    ASSERT_EQ(S_OK, factory_->CreateInstance(nullptr, IID_IUnknown, again.PutVoid()));
    ASSERT_EQ(S_OK, manager_->QueryInterface(IID_IUnknown, first.PutVoid()));
    EXPECT_EQ(first.Get(), again.Get());
    EXPECT_EQ(static_cast<IUnknown*>(static_cast<IFanControlManager*>(g_pFanControlManager)), first.Get());
    EXPECT_EQ(3, ServerLocks());
    IUnknown* identity = first.Get();
    again.Reset();
    first.Reset();
    manager_.Reset();
    EXPECT_EQ(0, ServerLocks());
    // The factory keeps the manager: the next client gets the same one.
    ASSERT_EQ(S_OK, factory_->CreateInstance(nullptr, IID_IUnknown, again.PutVoid()));
    EXPECT_EQ(identity, again.Get());
    again.Reset();
    // A client's strong connection to the class object holds the server too; those COM makes
    // while it registers or revokes the class object are its own.
    tolo::ComPtr<IExternalConnection> connections;
    ASSERT_EQ(S_OK, factory_->QueryInterface(IID_IExternalConnection, connections.PutVoid()));
    auto* factory = static_cast<CSingletonClassFactory*>(factory_.Get());
    factory->SetRegistering(true);
    connections->AddConnection(EXTCONN_STRONG, 0);
    factory->SetRegistering(false);
    EXPECT_EQ(0, ServerLocks());
    connections->AddConnection(EXTCONN_STRONG, 0);
    connections->AddConnection(EXTCONN_WEAK, 0);
    EXPECT_EQ(1, ServerLocks());
    factory->SetRegistering(true);
    connections->ReleaseConnection(EXTCONN_STRONG, 0, FALSE);
    factory->SetRegistering(false);
    EXPECT_EQ(1, ServerLocks());
    connections->ReleaseConnection(EXTCONN_STRONG, 0, FALSE);
    EXPECT_EQ(0, ServerLocks());
    connections.Reset();
    tolo::ComPtr<IUnknown> aggregated;
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              factory_->CreateInstance(factory_.Get(), IID_IUnknown, aggregated.PutVoid()));
    factory_.Reset();
    EXPECT_EQ(nullptr, g_pFanControlManager);
}

TEST_F(FanControlManagerTest, LateBoundCallsGoThroughTheTypeLibrary) {
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, manager_->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    OLECHAR* names[] = {const_cast<OLECHAR*>(L"maxtolerance")};
    DISPID id = 0;
    ASSERT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(5, id);
    DISPPARAMS none{};
    VARIANT result;
    VariantInit(&result);
    ASSERT_EQ(S_OK, dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                     nullptr, nullptr));
    EXPECT_EQ(VT_UI4, result.vt);
    EXPECT_EQ(3u, result.ulVal);
    OLECHAR* unknown[] = {const_cast<OLECHAR*>(L"NoSuchMember")};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id));
    tolo::ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.Put()));
    tolo::Bstr name;
    ASSERT_EQ(S_OK, info->GetDocumentation(-1, name.Put(), nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"IFanControlManager", name.Get());
}

TEST_F(FanControlManagerTest, TheContainerOffersExactlyTheEventPoint) {
    tolo::ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, manager_->QueryInterface(IID_IConnectionPointContainer, container.PutVoid()));
    tolo::ComPtr<IConnectionPoint> other;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, other.Put()));
    EXPECT_FALSE(other);

    tolo::ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.Put()));
    IConnectionPoint* got[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(2, got, &fetched));
    ASSERT_EQ(1u, fetched);
    IID iid;
    ASSERT_EQ(S_OK, got[0]->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(DIID__IFanControlManagerEvents, iid));
    tolo::ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(S_OK, got[0]->GetConnectionPointContainer(back.Put()));
    EXPECT_EQ(container.Get(), back.Get());
    got[0]->Release();
    EXPECT_EQ(S_OK, points->Reset());
    EXPECT_EQ(S_FALSE, points->Skip(2));
}

TEST_F(FanControlManagerTest, AdviseKeepsEachSinkUntilUnadviseAndReusesFreedCookies) {
    tolo::ComPtr<IConnectionPoint> point = Point();
    ASSERT_TRUE(point);
    test::EventSink a, b, c, notASink(false);
    DWORD ca = 0, cb = 0, cc = 0, bad = 7;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&notASink, &bad));
    EXPECT_EQ(0u, bad);
    EXPECT_EQ(0u, notASink.References());
    ASSERT_EQ(S_OK, point->Advise(&a, &ca));
    ASSERT_EQ(S_OK, point->Advise(&b, &cb));
    EXPECT_NE(ca, cb);
    EXPECT_EQ(1u, a.References());

    ASSERT_EQ(S_OK, point->Unadvise(ca));
    EXPECT_EQ(0u, a.References());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(ca));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(0));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(99));
    ASSERT_EQ(S_OK, point->Advise(&c, &cc));
    EXPECT_EQ(ca, cc);

    // The list keeps the order of the connections, with the empty entry filled again.
    const auto& sinks = g_pFanControlManager->Events().Connections();
    ASSERT_EQ(2u, sinks.size());
    EXPECT_EQ(static_cast<IDispatch*>(&c), sinks[0].Get());
    EXPECT_EQ(static_cast<IDispatch*>(&b), sinks[1].Get());

    // An enumerator is a copy: it keeps what it saw after a sink leaves.
    tolo::ComPtr<IEnumConnections> connections;
    ASSERT_EQ(S_OK, point->EnumConnections(connections.Put()));
    ASSERT_EQ(S_OK, point->Unadvise(cb));
    EXPECT_EQ(1u, b.References());
    CONNECTDATA data[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, connections->Next(3, data, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(cc, data[0].dwCookie);
    EXPECT_EQ(cb, data[1].dwCookie);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
    connections.Reset();
    EXPECT_EQ(0u, b.References());
    ASSERT_EQ(S_OK, point->Unadvise(cc));
}

TEST_F(FanControlManagerTest, TheEventReachesEveryConnectedSinkInOrderPastEmptyEntries) {
    tolo::ComPtr<IConnectionPoint> point = Point();
    ASSERT_TRUE(point);
    test::EventSink a, gone, b;
    DWORD ca = 0, cg = 0, cb = 0;
    ASSERT_EQ(S_OK, point->Advise(&a, &ca));
    ASSERT_EQ(S_OK, point->Advise(&gone, &cg));
    ASSERT_EQ(S_OK, point->Advise(&b, &cb));
    ASSERT_EQ(S_OK, point->Unadvise(cg));

    EXPECT_EQ(S_OK, g_pFanControlManager->Events().Fire_OnFanSettingChange(4));
    EXPECT_EQ(S_OK, g_pFanControlManager->Events().Fire_OnFanSettingChange(2));
    EXPECT_EQ((std::vector<long>{4, 2}), a.events);
    EXPECT_EQ((std::vector<long>{4, 2}), b.events);
    EXPECT_TRUE(gone.events.empty());
    ASSERT_EQ(S_OK, point->Unadvise(ca));
    ASSERT_EQ(S_OK, point->Unadvise(cb));
}

}  // namespace
