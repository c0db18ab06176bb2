#include "ManagerSupport.h"

#include <cstdio>
#include <fstream>

#include <tinyxml.h>

#include "fancore/EcHelper.h"
#include "fancore/FanStore.h"
#include "fancore/QuilFanControl.h"
#include "system/DmiHelp.h"

namespace test {

std::string ManagerTest::BoardText() const {
    // An ITE chip for the Super I/O fans and two source sensors for the thermal weights.
    return "chip 0x8721 3\n"
           "item 0x06030001 desc \"T1\" 0 0 0 1 2\n"
           "item 0x06030002 desc \"T2\" 0 0 0 1 2\n";
}

void ManagerTest::SetUp() {
    BoardTest::SetUp();
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string pid = std::to_string(GetCurrentProcessId());
    storePath_ = std::string(temp) + "quilsim\\ManagerStore-" + pid + ".xml";
    DeleteFileA(storePath_.c_str());
    UseFanStorePath(storePath_);
    // The service creates its event before anything asks for the manager; each test process has
    // its own, since processes of the prefix share one namespace.
    eventName_ = L"QuilManagerTestEvent-" + std::wstring(pid.begin(), pid.end());
    event_.Reset(CreateEventW(nullptr, TRUE, TRUE, eventName_.c_str()));
    ASSERT_TRUE(event_);
    UseServiceEventName(eventName_.c_str());
    // The board's product is read from the simulated physical memory.
    tolo::g_pGetSystemFirmwareTable = nullptr;
}

void ManagerTest::TearDown() {
    DeleteFileA(storePath_.c_str());
}

void ManagerTest::Devices(std::initializer_list<uint32_t> ids) {
    std::string text;
    char line[96];
    for (uint32_t id : ids) {
        std::snprintf(line, sizeof line, "item 0x%08X value 0 desc \"FAN\" 0 0 0 1 3\n", id);
        text += line;
    }
    Apply(text);
}

void ManagerTest::Product(const std::string& product) {
    Apply("product \"" + product + "\"");
}

void ManagerTest::Store(const std::string& fans) {
    std::ofstream out(storePath_, std::ios::binary);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\r\n<root>" << fans << "</root>\r\n";
}

namespace {

const TiXmlElement* FanElement(const TiXmlDocument& doc, int key) {
    const TiXmlElement* root = doc.RootElement();
    for (const TiXmlElement* e = root ? root->FirstChildElement("fan") : nullptr; e;
         e = e->NextSiblingElement("fan")) {
        int k = -1;
        if (e->QueryIntAttribute("key", &k) == TIXML_SUCCESS && k == key) return e;
    }
    return nullptr;
}

}  // namespace

int ManagerTest::Stored(int key, const char* name) const {
    TiXmlDocument doc;
    if (!doc.LoadFile(storePath_.c_str())) return -1;
    const TiXmlElement* fan = FanElement(doc, key);
    const TiXmlElement* value = fan ? fan->FirstChildElement(name) : nullptr;
    return value && value->GetText() ? std::atoi(value->GetText()) : -1;
}

bool ManagerTest::HasElement(int key, const char* name) const {
    TiXmlDocument doc;
    if (!doc.LoadFile(storePath_.c_str())) return false;
    const TiXmlElement* fan = FanElement(doc, key);
    return fan && fan->FirstChildElement(name);
}

std::string ManagerTest::ClassOf(QuilFanControl* fan) {
    if (dynamic_cast<NewPureEcFan*>(fan)) return "NewPureEcFan";
    if (dynamic_cast<PureEcFan*>(fan)) return "PureEcFan";
    if (dynamic_cast<PureSioFan*>(fan)) return "PureSioFan";
    if (dynamic_cast<SioMixEcFan*>(fan)) return "SioMixEcFan";
    if (dynamic_cast<EcCpuFan990FX*>(fan)) return "EcCpuFan990FX";
    if (dynamic_cast<EcChassisFan990FX*>(fan)) return "EcChassisFan990FX";
    if (dynamic_cast<EcCpuFanP67*>(fan)) return "EcCpuFanP67";
    if (dynamic_cast<EcChassisFanP67*>(fan)) return "EcChassisFanP67";
    if (dynamic_cast<EcAuxFanP67*>(fan)) return "EcAuxFanP67";
    return "?";
}

std::string ManagerTest::Describe(const EcFanControlManager& manager) {
    std::string out;
    char id[16];
    for (QuilFanControl* fan : manager.Fans()) {
        std::snprintf(id, sizeof id, "%08X", static_cast<unsigned>(fan->GetId()));
        if (!out.empty()) out += ", ";
        out += ClassOf(fan) + " " + std::to_string(fan->FanIndex()) + " " + id;
    }
    return out;
}

std::string ManagerTest::HelperOf(const EcFanControlManager& manager) {
    EcHelper* helper = manager.Helper();
    if (!helper) return "none";
    std::string out = dynamic_cast<NewEcHelper*>(helper) ? "NewEcHelper" : "EcHelper";
    if (helper->m_disabled) out += " disabled";
    if (helper->m_allFans) out += " all";
    return out;
}

}  // namespace test
