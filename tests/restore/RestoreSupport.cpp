#include "RestoreSupport.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>

#include "RestoreThread.h"
#include "board/Board.h"
#include "fancore/FanProfile.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "support/IteBoards.h"
#include "system/Handles.h"

namespace test {

const std::string kRestoreBoard = TwoFanIteBoard({.product = "QX-H61 GENERIC",
                                                  .systemFan = "SYS FAN",
                                                  .profile = 3,
                                                  .lastProfile = 4,
                                                  .boardInfo = false});

namespace {

const std::string kKey(kBiosFanPatchKey);

}  // namespace

void DeletePatchKey() {
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey.substr(0, kKey.size() - 1).c_str());
}

void CreatePatchKey() {
    tolo::RegKey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                    nullptr);
}

void SetPatchString(const wchar_t* text) {
    tolo::RegKey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                    nullptr);
    RegSetValueExW(key.Get(), L"BIOS fan patch", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
}

bool PatchKeyExists() {
    tolo::RegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

long PatchValue() {
    tolo::RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return -1;
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExA(key.Get(), kBiosFanPatchValue, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        return -1;
    return static_cast<long>(value);
}

Registers ChipRegisters() {
    sim::BoardLock lock;
    const auto& hwm = sim::State()->sio.hwm;
    return Registers(&hwm[0][0], &hwm[0][0] + sizeof hwm);
}

void SetChipRegisters(const Registers& registers) {
    sim::BoardLock lock;
    auto& hwm = sim::State()->sio.hwm;
    if (registers.size() == sizeof hwm) std::copy(registers.begin(), registers.end(), &hwm[0][0]);
}

std::string DescribeDifference(const Registers& expected, const Registers& actual) {
    std::string s;
    char buf[48];
    for (size_t i = 0; i < expected.size() && i < actual.size(); ++i) {
        if (expected[i] == actual[i]) continue;
        std::snprintf(buf, sizeof buf, " %u:%02X %02X->%02X", static_cast<unsigned>(i / 256),
                      static_cast<unsigned>(i % 256), expected[i], actual[i]);
        s += buf;
    }
    return s;
}

FanPoints UserCurve(int fan) {
    return {{35 + fan, 102}, {50 + fan, 154}, {65 + fan, 206}};
}

FanPoints UserPoints(QuilFanControl* fan) {
    FanPoints points;
    if (FanProfile* profile = fan->GetProfile(fan->GetProfileCount() - 1)) profile->GetPoints(&points);
    return points;
}

FanPoints SaveUserCurveAndRunStandard(QuilFanControl* fan, int index) {
    fan->GetProfile(4)->SetPolygonal(UserCurve(index));
    fan->SaveProfile(4);
    fan->SelectProfile(2);
    FanPoints chip;
    fan->ReadFanCurveFromChip(&chip);
    return chip;
}

void ApplyUserCurves(const std::vector<QuilFanControl*>& fans) {
    ASSERT_EQ(2u, fans.size());
    for (size_t i = 0; i < fans.size(); ++i) {
        QuilFanControl* fan = fans[i];
        ASSERT_EQ(5, fan->GetProfileCount());
        fan->GetProfile(4)->SetPolygonal(UserCurve(static_cast<int>(i)));
        fan->SaveProfile(4);
        fan->SelectProfile(4);
        fan->SetStepUpTime(3);
        fan->SetStepDownTime(4);
    }
}

namespace {

TiXmlElement* StoredFan(TiXmlDocument* doc, const std::string& file, int fanKey) {
    if (!doc->LoadFile(file.c_str()) || !doc->RootElement()) return nullptr;
    for (TiXmlElement* fan = doc->RootElement()->FirstChildElement("fan"); fan;
         fan = fan->NextSiblingElement("fan")) {
        const char* key = fan->Attribute("key");
        if (key && std::atoi(key) == fanKey) return fan;
    }
    return nullptr;
}

int TextOf(TiXmlElement* element) {
    return element && element->GetText() ? std::atoi(element->GetText()) : -1;
}

}  // namespace

FanPoints StoredCurve(const std::string& file, int fanKey) {
    TiXmlDocument doc;
    FanPoints points;
    TiXmlElement* fan = StoredFan(&doc, file, fanKey);
    TiXmlElement* curve = fan ? fan->FirstChildElement("curvedata") : nullptr;
    if (!curve) return points;
    for (TiXmlElement* p = curve->FirstChildElement("point"); p; p = p->NextSiblingElement("point"))
        points.push_back({TextOf(p->FirstChildElement("x")), TextOf(p->FirstChildElement("y"))});
    return points;
}

int StoredFanValue(const std::string& file, int fanKey, const char* name) {
    TiXmlDocument doc;
    TiXmlElement* fan = StoredFan(&doc, file, fanKey);
    return fan ? TextOf(fan->FirstChildElement(name)) : -1;
}

int UserCurveKey(QuilFanControl* fan) {
    return FanStoreKeyFromFanType(static_cast<int>(fan->GetId()));
}

int FanElementKey(QuilFanControl* fan) {
    return FanStoreKeyFromFanType(fan->StoreKey());
}

int StoredTopValue(const std::string& file, const char* name) {
    TiXmlDocument doc;
    if (!doc.LoadFile(file.c_str()) || !doc.RootElement()) return -1;
    return TextOf(doc.RootElement()->FirstChildElement(name));
}

size_t CountLines(const TraceCapture& traces, const std::wstring& text) {
    size_t n = 0;
    for (const std::wstring& line : traces.Lines())
        if (line == text) ++n;
    return n;
}

}  // namespace test
