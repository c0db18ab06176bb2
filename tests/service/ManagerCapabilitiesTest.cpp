// The chip capabilities the manager reports, on simulated chips of each family, as a late-bound
// client reads them.
#include <gtest/gtest.h>
#include <windows.h>

#include <new>
#include <string>

#include "FanControlManager.h"
#include "LateBound.h"
#include "support/BoardTest.h"
#include "system/Handles.h"
#include "system/MessageBox.h"

namespace {

struct Capabilities {
    long constraintType, isSioSupportedRpm, rpmPerstep, rpmSmoothFreq, oneSencitive, fanStop;
};

class ManagerCapabilitiesTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        manager_ = tolo::ComPtr<CFanControlManager>(new CFanControlManager);
    }
    void TearDown() override {
        // The manager was created with the factory's reference, which holds no server lock.
        manager_.Detach()->ReleaseFactoryReference();
        CoUninitialize();
        test::BoardTest::TearDown();
    }

    // A value as the late-bound client receives it, with its variant type checked.
    long Read(const wchar_t* name, VARTYPE type) {
        tolo::ComPtr<IDispatch> dispatch;
        EXPECT_EQ(S_OK, manager_->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
        VARIANT v;
        EXPECT_EQ(S_OK, test::Get(dispatch.Get(), name, &v));
        EXPECT_EQ(type, v.vt) << "property " << std::string(name, name + wcslen(name));
        VARIANT wide;
        VariantInit(&wide);
        EXPECT_EQ(S_OK, VariantChangeType(&wide, &v, 0, VT_I4));
        return wide.lVal;
    }
    Capabilities ReadAll() {
        return {Read(L"ConstraintType", VT_I2),
                Read(L"IsSIOSupportedRPM", VT_BOOL),
                Read(L"RpmPerstep", VT_UI4),
                Read(L"RpmSmoothFreq", VT_UI4),
                Read(L"OneSencitiveSupported", VT_BOOL),
                Read(L"IsSupportFanStop", VT_BOOL)};
    }

    tolo::ComPtr<CFanControlManager> manager_;
};

void ExpectCapabilities(const Capabilities& want, const Capabilities& got) {
    EXPECT_EQ(want.constraintType, got.constraintType);
    EXPECT_EQ(want.isSioSupportedRpm, got.isSioSupportedRpm);
    EXPECT_EQ(want.rpmPerstep, got.rpmPerstep);
    EXPECT_EQ(want.rpmSmoothFreq, got.rpmSmoothFreq);
    EXPECT_EQ(want.oneSencitive, got.oneSencitive);
    EXPECT_EQ(want.fanStop, got.fanStop);
}

// The Boolean capabilities are 1, not VARIANT_TRUE.
TEST_F(ManagerCapabilitiesTest, Ite86x6ReportsItsRpmStepsAndTrueAsOne) {
    Apply("chip 0x8626 2");
    ExpectCapabilities({1, 1, 32, 59, 1, 1}, ReadAll());
}

TEST_F(ManagerCapabilitiesTest, Nct679xClassIsTheSecondConstraintTypeWithFanStop) {
    Apply("chip 0xC911 0");
    ExpectCapabilities({2, 1, 50, 16, 0, 1}, ReadAll());
}

TEST_F(ManagerCapabilitiesTest, PlainIteChipHasNoExtendedControl) {
    Apply("chip 0x8721 3");
    Capabilities ite = ReadAll();
    EXPECT_EQ(1, ite.constraintType);
    EXPECT_EQ(0, ite.isSioSupportedRpm);
    EXPECT_EQ(50, ite.rpmPerstep);
    EXPECT_EQ(0, ite.oneSencitive);
}

TEST_F(ManagerCapabilitiesTest, FintekChipHasNoCapability) {
    Apply("chip 0x1007 0");
    ExpectCapabilities({0, 0, 50, 16, 0, 0}, ReadAll());
}

// Creating the chip's accessor may throw (an allocation failing; here the box that reports the
// missing I/O library): each capability answers an error to the late-bound client, whose call
// goes through the system's frames, and the process goes on. Once the accessor can be created,
// the next read answers.
TEST_F(ManagerCapabilitiesTest, ACapabilityWhoseAccessorCannotBeCreatedAnswersAnError) {
    Apply("chip 0x8626 2\nfault quilio");
    tolo::SetMessageBoxHook(
        [](const std::wstring&, const std::wstring&, UINT) -> int { throw std::bad_alloc(); });
    struct HookReset {
        ~HookReset() { tolo::SetMessageBoxHook(nullptr); }
    } hookReset;
    tolo::ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, manager_->QueryInterface(IID_IDispatch, dispatch.PutVoid()));
    for (const wchar_t* name : {L"ConstraintType", L"IsSIOSupportedRPM", L"RpmPerstep", L"RpmSmoothFreq",
                                L"OneSencitiveSupported", L"IsSupportFanStop"}) {
        VARIANT v;
        EXPECT_TRUE(FAILED(test::Get(dispatch.Get(), name, &v))) << std::string(name, name + wcslen(name));
    }
    short constraint = -1;
    EXPECT_EQ(E_OUTOFMEMORY, manager_->get_ConstraintType(&constraint));

    Board()->libraryFaults = 0;
    ExpectCapabilities({1, 1, 32, 59, 1, 1}, ReadAll());
}

TEST_F(ManagerCapabilitiesTest, EveryCapabilityRefusesANullResultPlace) {
    EXPECT_EQ(E_POINTER, manager_->get_ConstraintType(nullptr));
    EXPECT_EQ(E_POINTER, manager_->get_IsSIOSupportedRPM(nullptr));
    EXPECT_EQ(E_POINTER, manager_->get_RpmPerstep(nullptr));
    EXPECT_EQ(E_POINTER, manager_->get_RpmSmoothFreq(nullptr));
    EXPECT_EQ(E_POINTER, manager_->get_OneSencitiveSupported(nullptr));
    EXPECT_EQ(E_POINTER, manager_->get_IsSupportFanStop(nullptr));
    EXPECT_EQ(E_POINTER, manager_->get_MaxStepTime(nullptr));
}

}  // namespace
