#include "ProfileSupport.h"

#include <windows.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "fancore/FanStore.h"

namespace test {

void ProfileTest::SetUp() {
    BoardTest::SetUp();
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    path_ =
        std::string(temp) + "quilsim\\FanStore-profiles-" + std::to_string(GetCurrentProcessId()) + ".xml";
    DeleteFileA(path_.c_str());
    UseFanStorePath(path_);
}

void ProfileTest::TearDown() {
    DeleteFileA(path_.c_str());
    BoardTest::TearDown();
}

void ProfileTest::Item(uint32_t id, int value) {
    Apply("item " + std::to_string(id) + " value " + std::to_string(value) + " desc \"I\" 0 0 0 1 300");
}

void ProfileTest::StandardTable(uint32_t id, const std::vector<int32_t>& words) {
    Apply("item " + std::to_string(id) + " desc \"TABLE\" 0 0 0 1 2");
    std::vector<uint8_t> bytes(64, 0);
    std::memcpy(bytes.data(), words.data(), words.size() * 4);
    sim::SetItemBuffer(id, bytes);
}

std::string ProfileTest::StoreFile() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string out;
    bool lineStart = true;
    for (char c : s.str()) {
        if (c == '\r' || c == '\n') {
            lineStart = true;
            continue;
        }
        if (lineStart && (c == ' ' || c == '\t')) continue;
        lineStart = false;
        out += c;
    }
    return out;
}

void ProfileTest::WriteStoreFile(const std::string& root) const {
    std::ofstream out(path_, std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n<root>" << root << "</root>\n";
}

bool ProfileTest::StoreFileExists() const {
    return GetFileAttributesA(path_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

FanPoints PointsOf(const FanProfile& profile) {
    FanPoints p;
    profile.GetPoints(&p);
    return p;
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

}  // namespace test
