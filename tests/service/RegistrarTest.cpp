// The registrar over a scratch key standing in for the classes root.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Registrar.h"
#include "system/Handles.h"

namespace {

class RegistrarTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = L"Software\\QuilRegistrarTest\\" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, base_.c_str());
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, base_.c_str()); }

    service::Registrar Make() {
        service::Registrar r(HKEY_CURRENT_USER, base_);
        r.AddReplacement(L"APPID", L"{AAAA}");
        r.AddReplacement(L"MODULE", L"\"C:\\x y\\server.exe\"");
        return r;
    }
    bool Exists(const std::wstring& path) {
        tolo::RegKey key;
        return RegOpenKeyExW(HKEY_CURRENT_USER, (base_ + L"\\" + path).c_str(), 0, KEY_READ, key.Put()) ==
               ERROR_SUCCESS;
    }
    std::wstring String(const std::wstring& path, const wchar_t* name = nullptr) {
        wchar_t buffer[512] = {};
        DWORD size = sizeof(buffer) - sizeof(wchar_t);
        if (RegGetValueW(HKEY_CURRENT_USER, (base_ + L"\\" + path).c_str(), name, RRF_RT_REG_SZ, nullptr,
                         buffer, &size) != ERROR_SUCCESS)
            return L"<missing>";
        return buffer;
    }
    void MakeKey(const std::wstring& path) {
        tolo::RegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (base_ + L"\\" + path).c_str(), 0,
                                                 nullptr, 0, KEY_WRITE, nullptr, key.Put(), nullptr));
    }

    std::wstring base_;
};

const wchar_t kScript[] =
    L"HKCR\r\n"
    L"{\r\n"
    L"\tNoRemove AppID\r\n"
    L"\t{\r\n"
    L"\t\t'%APPID%' = s 'Server''s name'\r\n"
    L"\t\t'Server.EXE'\r\n"
    L"\t\t{\r\n"
    L"\t\t\tval AppID = s '%APPID%'\r\n"
    L"\t\t\tval Count = d 42\r\n"
    L"\t\t}\r\n"
    L"\t}\r\n"
    L"\tNoRemove CLSID\r\n"
    L"\t{\r\n"
    L"\t\tForceRemove {1234} = s 'Class'\r\n"
    L"\t\t{\r\n"
    L"\t\t\tLocalServer32 = s '%MODULE%'\r\n"
    L"\t\t\tForceRemove 'Programmable'\r\n"
    L"\t\t\tval Share = s '100%%'\r\n"
    L"\t\t}\r\n"
    L"\t}\r\n"
    L"}\r\n";

TEST_F(RegistrarTest, RegisterWritesKeysDefaultValuesAndNamedValuesWithReplacements) {
    service::Registrar r = Make();
    ASSERT_EQ(S_OK, r.Register(kScript));
    EXPECT_EQ(L"Server's name", String(L"AppID\\{AAAA}"));
    EXPECT_EQ(L"{AAAA}", String(L"AppID\\Server.EXE", L"AppID"));
    DWORD count = 0, size = sizeof(count);
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_CURRENT_USER, (base_ + L"\\AppID\\Server.EXE").c_str(),
                                          L"Count", RRF_RT_REG_DWORD, nullptr, &count, &size));
    EXPECT_EQ(42u, count);
    EXPECT_EQ(L"Class", String(L"CLSID\\{1234}"));
    EXPECT_EQ(L"\"C:\\x y\\server.exe\"", String(L"CLSID\\{1234}\\LocalServer32"));
    EXPECT_TRUE(Exists(L"CLSID\\{1234}\\Programmable"));
    EXPECT_EQ(L"100%", String(L"CLSID\\{1234}", L"Share"));
}

TEST_F(RegistrarTest, ForceRemoveClearsTheKeyBeforeWritingIt) {
    MakeKey(L"CLSID\\{1234}\\Old\\Deeper");
    ASSERT_EQ(S_OK, Make().Register(kScript));
    EXPECT_FALSE(Exists(L"CLSID\\{1234}\\Old"));
    EXPECT_TRUE(Exists(L"CLSID\\{1234}\\LocalServer32"));
}

TEST_F(RegistrarTest, UnregisterRemovesWhatTheScriptWroteAndKeepsWhatOthersOwn) {
    service::Registrar r = Make();
    ASSERT_EQ(S_OK, r.Register(kScript));
    MakeKey(L"AppID\\{OTHER}");
    MakeKey(L"AppID\\Server.EXE\\Foreign");  // a plain key with something of another owner below
    MakeKey(L"CLSID\\{1234}\\Foreign");      // ForceRemove: goes with everything below it
    ASSERT_EQ(S_OK, r.Unregister(kScript));
    EXPECT_FALSE(Exists(L"AppID\\{AAAA}"));
    EXPECT_FALSE(Exists(L"CLSID\\{1234}"));
    EXPECT_TRUE(Exists(L"AppID"));
    EXPECT_TRUE(Exists(L"CLSID"));
    EXPECT_TRUE(Exists(L"AppID\\{OTHER}"));
    EXPECT_TRUE(Exists(L"AppID\\Server.EXE\\Foreign"));
    EXPECT_EQ(L"<missing>", String(L"AppID\\Server.EXE", L"AppID"));
    // Unregistering again finds nothing to remove and succeeds.
    EXPECT_EQ(S_OK, r.Unregister(kScript));
}

TEST_F(RegistrarTest, AFaultyScriptTouchesNothing) {
    service::Registrar r = Make();
    const wchar_t* faulty[] = {
        L"HKCR\r\n{\r\n\tA = s 'x'\r\n\t{\r\n\t\tB\r\n}\r\n",             // a brace missing
        L"HKCR\r\n{\r\n\tA = s '%NOSUCH%'\r\n}\r\n",                      // an unknown replacement
        L"HKCR\r\n{\r\n\tA = s 'open\r\n}\r\n",                           // an open quote
        L"HKCR\r\n{\r\n\tA = q 'x'\r\n}\r\n",                             // an unknown value type
        L"HKXX\r\n{\r\n\tA = s 'x'\r\n}\r\n",                             // an unknown root
        L"HKCR\r\n{\r\n\tA = s 'x'\r\n}\r\nHKCR\r\n{\r\n\tval\r\n}\r\n",  // the fault in a later block
    };
    for (const wchar_t* script : faulty) {
        EXPECT_EQ(DISP_E_EXCEPTION, r.Register(script)) << testing::PrintToString(std::wstring(script));
        EXPECT_FALSE(Exists(L"A"));
    }
}

}  // namespace
