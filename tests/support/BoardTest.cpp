#include "BoardTest.h"

#include <windows.h>

namespace test {

std::wstring FreshBoardFile() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring dir = std::wstring(temp) + L"quilsim";
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring name;
    if (const auto* info = ::testing::UnitTest::GetInstance()->current_test_info()) {
        for (const char* p : {info->test_suite_name(), ".", info->name()})
            for (; *p; ++p) name += (*p == '/' ? L'_' : static_cast<wchar_t>(*p));
    }
    return dir + L"\\" + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L".state";
}

void BoardTest::SetUp() {
    file_ = FreshBoardFile();
    DeleteFileW(file_.c_str());
    sim::UseBoardFile(file_);
    std::string error;
    ASSERT_TRUE(sim::LoadBoardText(BoardText(), &error)) << error;
}

void BoardTest::TearDown() {}

void BoardTest::Apply(const std::string& text) {
    std::string error;
    ASSERT_TRUE(sim::ApplyBoardText(text, &error)) << error;
}

}  // namespace test
