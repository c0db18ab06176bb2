// The box transport against the simulated box behind its HID binding: what the box received,
// what the queries read, the retries, the device search and the reconnects.
#include <array>
#include <string>
#include <vector>

#include "box/SimBox.h"
#include "boxtool/HidBinding.h"
#include "boxtool/TOrbixBoxUsb.h"
#include "support/BoardTest.h"
#include "support/Capture.h"

namespace {

using Report = std::array<uint8_t, 8>;

const char kBoxPath[] =
    R"(\\?\hid#vid_2f3a&pid_5c71#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
const char kOtherBoxPath[] =
    R"(\\?\hid#vid_2f3a&pid_5c71&mi_01#7&1a2b3c4d&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030})";
const char kKeyboardPath[] =
    R"(\\?\hid#vid_046d&pid_c31c#6&20c5e0f&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";

std::wstring Wide(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}
std::string Quoted(const std::string& s) {
    return "\"" + s + "\"";
}

class BoxTest : public test::BoardTest {
protected:
    std::string BoardText() const override {
        return "hid 0x046D 0xC31C " + Quoted(kKeyboardPath) + "\nbox " + Quoted(kBoxPath) + "\n";
    }
    void SetUp() override {
        BoardTest::SetUp();
        sim::InstallSimulatedBox();
    }

    sim::BoxState& Box() const { return Board()->box; }
    // Starts over from another board description.
    void Reload(const std::string& text) {
        std::string error;
        ASSERT_TRUE(sim::LoadBoardText(text, &error)) << error;
    }

    std::vector<Report> SentSince(uint32_t seq) const {
        std::vector<Report> out;
        for (const sim::BoxReport& r : sim::BoxReports(seq)) {
            Report bytes;
            std::copy(std::begin(r.bytes), std::end(r.bytes), bytes.begin());
            out.push_back(bytes);
        }
        return out;
    }
    Report LastSent() const {
        auto all = SentSince(0);
        return all.empty() ? Report{} : all.back();
    }
};

TEST_F(BoxTest, ConnectFindsTheBoxAmongTheHidDevicesAndOpensIt) {
    test::TraceCapture traces;
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());

    EXPECT_EQ(usb.DevicePaths(), (std::vector<std::wstring>{Wide(kKeyboardPath), Wide(kBoxPath)}));
    auto lines = traces.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], Wide(kBoxPath));
    EXPECT_EQ(lines[1], L"TOrbixBoxUsb::ConnectToBox");
    EXPECT_EQ(Box().inputBuffers, 513u);
    EXPECT_EQ(Box().interfaces[0].opens, 1u);  // looked at during the search
    EXPECT_EQ(Box().interfaces[1].opens, 2u);  // the search, then the open for the exchanges
    // Only the box stays open; the enumeration's device set is gone.
    EXPECT_EQ(sim::OpenDeviceHandles(), 1);
    EXPECT_EQ(sim::OpenDeviceSets(), 0);
}

TEST_F(BoxTest, WithoutABoxConnectFailsAfterTracingAnEmptyPath) {
    Reload("hid 0x046D 0xC31C " + Quoted(kKeyboardPath));
    test::TraceCapture traces;
    TOrbixBoxUsb usb;
    EXPECT_FALSE(usb.ConnectToBox());
    EXPECT_EQ(traces.Lines(), std::vector<std::wstring>{L""});
    EXPECT_EQ(sim::OpenDeviceHandles(), 0);
}

struct Operation {
    const char* name;
    bool (*run)(TOrbixBoxUsb&);
    Report sent;
};

uint8_t g_read;

const Operation kOperations[] = {
    {"SetHostStateTrue", [](TOrbixBoxUsb& u) { return u.SetHostState(true); }, {1, 2, 0x03, 0xAA}},
    {"SetHostStateFalse", [](TOrbixBoxUsb& u) { return u.SetHostState(false); }, {1, 2, 0x03, 0x00}},
    {"GetStatus", [](TOrbixBoxUsb& u) { return u.GetStatus(0x0A, g_read); }, {1, 1, 0x0A}},
    {"SetTemperature300",
     [](TOrbixBoxUsb& u) { return u.SetTemperature(0x20, 300); },
     {1, 2, 0x20, 0x01, 0x2C}},
    {"SetTemperatureMinus5",
     [](TOrbixBoxUsb& u) { return u.SetTemperature(0x21, -5); },
     {1, 2, 0x21, 0xFF, 0xFB}},
    {"SetCpuRatio", [](TOrbixBoxUsb& u) { return u.SetCpuRatio(0x30, 36); }, {1, 2, 0x30, 36}},
    {"SetBusClock", [](TOrbixBoxUsb& u) { return u.SetBusClock(0x31, 1000); }, {1, 2, 0x31, 0x03, 0xE8}},
    {"SetFanSpeed", [](TOrbixBoxUsb& u) { return u.SetFanSpeed(0x44, 1500); }, {1, 2, 0x44, 0x05, 0xDC}},
    {"SetFanDuty", [](TOrbixBoxUsb& u) { return u.SetFanDuty(0x4C, 7); }, {1, 2, 0x4C, 7}},
    {"GetFanDuty", [](TOrbixBoxUsb& u) { return u.GetFanDuty(0x4E, g_read); }, {1, 1, 0x4E}},
    {"SetTime", [](TOrbixBoxUsb& u) { return u.SetTime(0x50, 23, 59, 58); }, {1, 2, 0x50, 23, 59, 58}},
    {"GetAudioMode", [](TOrbixBoxUsb& u) { return u.GetAudioMode(g_read); }, {1, 1, 0x60}},
    {"SetVolume", [](TOrbixBoxUsb& u) { return u.SetVolume(55); }, {1, 2, 0x62, 55}},
    {"GetVolume", [](TOrbixBoxUsb& u) { return u.GetVolume(g_read); }, {1, 1, 0x62}},
    {"SendBytesCutAtFive",
     [](TOrbixBoxUsb& u) {
         const uint8_t seven[] = {1, 2, 3, 4, 5, 6, 7};
         return u.SendBytes(0x50, seven, 7);
     },
     {1, 2, 0x50, 1, 2, 3, 4, 5}},
    {"SendWordLow16Bits",
     [](TOrbixBoxUsb& u) { return u.SendWord(0x40, static_cast<int16_t>(70000)); },
     {1, 2, 0x40, 0x11, 0x70}},
};

class BoxOperationTest : public BoxTest, public ::testing::WithParamInterface<Operation> {};

TEST_P(BoxOperationTest, SendsOneReportWithThePayloadBytes) {
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    uint32_t from = sim::NextBoxReportSeq();
    EXPECT_TRUE(GetParam().run(usb));
    auto sent = SentSince(from);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], GetParam().sent);
    EXPECT_EQ(Box().flushCalls, 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryRegister, BoxOperationTest, ::testing::ValuesIn(kOperations),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoxTest, QueriesReadTheBoxRegisters) {
    Apply("box-reg 0x0A 0x02\nbox-reg 0x4B 8\nbox-reg 0x60 3\nbox-reg 0x62 40");
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    uint8_t status = 0, duty = 0, mode = 0, volume = 0, untouched = 0xEE;
    EXPECT_TRUE(usb.GetStatus(0x0A, status));
    EXPECT_TRUE(usb.GetFanDuty(0x4B, duty));
    EXPECT_TRUE(usb.GetAudioMode(mode));
    EXPECT_TRUE(usb.GetVolume(volume));
    EXPECT_TRUE(usb.GetFanDuty(0x4D, untouched));
    EXPECT_EQ(status, 0x02);
    EXPECT_EQ(duty, 8);
    EXPECT_EQ(mode, 3);
    EXPECT_EQ(volume, 40);
    EXPECT_EQ(untouched, 0);

    // What the host sets, the box answers afterwards.
    ASSERT_TRUE(usb.SetFanDuty(0x4D, 9));
    EXPECT_TRUE(usb.GetFanDuty(0x4D, duty));
    EXPECT_EQ(duty, 9);
}

TEST_F(BoxTest, SetReportGivesTheStatusByteOfTheAnswer) {
    Apply("box-status 0x5A");
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    uint8_t payload[kBoxPayloadSize] = {0x62, 10};
    uint8_t status = 0;
    EXPECT_TRUE(usb.SetReport(payload, status));
    EXPECT_EQ(status, 0x5A);

    uint8_t query[kBoxPayloadSize] = {0x62};
    usb.QueryReport(query);
    EXPECT_EQ(query[0], 0x62);  // the answer's bytes 2..7 come back in the payload
    EXPECT_EQ(query[1], 10);
}

TEST_F(BoxTest, AFailingSetIsTriedExactly500TimesThenGivenUp) {
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    Apply("box-fail set 100000");
    uint32_t from = sim::NextBoxReportSeq();
    EXPECT_FALSE(usb.SetFanDuty(0x4A, 5));
    EXPECT_EQ(Box().setCalls, 500u);
    EXPECT_EQ(Box().getCalls, 0u);
    EXPECT_EQ(Box().flushCalls, 500u);
    EXPECT_TRUE(SentSince(from).empty());
}

TEST_F(BoxTest, AQueryWhoseAnswerKeepsFailingReadsZero) {
    Apply("box-reg 0x62 40");
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    Apply("box-fail get 100000");
    uint8_t volume = 0xEE;
    EXPECT_FALSE(usb.GetVolume(volume));  // no answer: the 0 is not the box's
    EXPECT_EQ(volume, 0);
    EXPECT_EQ(Box().setCalls, 500u);
    EXPECT_EQ(Box().getCalls, 500u);
    EXPECT_EQ(Box().flushCalls, 500u);
}

TEST_F(BoxTest, AnExchangeSucceedsOnTheFirstTryThatWorks) {
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    Apply("box-fail set 3\nbox-fail get 2");
    EXPECT_TRUE(usb.SetVolume(30));
    EXPECT_EQ(Box().setCalls, 6u);  // 3 refused, 2 whose answer failed, 1 whole
    EXPECT_EQ(Box().getCalls, 3u);
    EXPECT_EQ(Box().flushCalls, 5u);
    EXPECT_EQ(LastSent(), (Report{1, 2, 0x62, 30}));
}

TEST_F(BoxTest, BeforeAnyOpenExchangesReturnAtOnce) {
    Apply("box-reg 0x62 40");
    TOrbixBoxUsb usb;
    uint8_t volume = 0xEE;
    EXPECT_FALSE(usb.GetVolume(volume));
    EXPECT_EQ(volume, 0);
    EXPECT_FALSE(usb.SetVolume(20));
    uint8_t payload[kBoxPayloadSize] = {0x62, 1, 2, 3, 4, 5};
    EXPECT_FALSE(usb.QueryReport(payload));
    EXPECT_EQ(payload[5], 5);  // untouched
    EXPECT_EQ(Box().setCalls, 0u);
}

TEST_F(BoxTest, UnplugAndReplugOnTheSamePathReconnects) {
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    Apply("unplug " + Quoted(kBoxPath));
    EXPECT_FALSE(usb.ConnectToBox());

    test::TraceCapture traces;
    Apply("plug " + Quoted(kBoxPath));
    ASSERT_TRUE(usb.ConnectToBox());
    // The kept path is opened again without a new search.
    EXPECT_EQ(traces.Lines(), std::vector<std::wstring>{L"TOrbixBoxUsb::ConnectToBox"});
    EXPECT_TRUE(usb.SetVolume(25));
    EXPECT_EQ(LastSent(), (Report{1, 2, 0x62, 25}));
    // Every reopen closed the previous handle and released the previous preparsed data.
    EXPECT_EQ(sim::OpenDeviceHandles(), 1);
    EXPECT_EQ(Box().preparsedHeld, 1u);
}

TEST_F(BoxTest, AHandleOpenedBeforeAnUnplugStaysDead) {
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    Apply("unplug " + Quoted(kBoxPath) + "\nplug " + Quoted(kBoxPath));
    // The device is gone from under the handle: one try tells, and nothing reaches the box.
    const uint32_t seq = sim::NextBoxReportSeq();
    EXPECT_FALSE(usb.SetVolume(25));
    uint8_t volume = 0xEE;
    EXPECT_FALSE(usb.GetVolume(volume));
    EXPECT_EQ(volume, 0);
    EXPECT_EQ(Box().setCalls, 2u);
    EXPECT_EQ(Box().flushCalls, 0u);
    EXPECT_TRUE(SentSince(seq).empty());
    ASSERT_TRUE(usb.ConnectToBox());
    EXPECT_TRUE(usb.SetVolume(25));
    EXPECT_EQ(LastSent(), (Report{1, 2, 0x62, 25}));
}

TEST_F(BoxTest, AfterAFailedReopenEveryExchangeUsesAllItsTries) {
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    Apply("unplug " + Quoted(kBoxPath));
    ASSERT_FALSE(usb.ConnectToBox());
    // The handle holds the invalid value, which says nothing of the device: a closing host state
    // is tried as often as any failing exchange.
    EXPECT_FALSE(usb.SetHostState(false));
    EXPECT_EQ(Box().setCalls, 500u);
    EXPECT_EQ(sim::OpenDeviceHandles(), 0);
}

TEST_F(BoxTest, ABoxMovedToAnotherPortIsNotFoundAgain) {
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    Apply("unplug " + Quoted(kBoxPath) + "\nbox " + Quoted(kOtherBoxPath));
    EXPECT_FALSE(usb.ConnectToBox());
    EXPECT_EQ(Box().interfaces[2].opens, 0u);
}

TEST_F(BoxTest, TheFirstOfTwoMatchingInterfacesIsUsed) {
    Apply("box " + Quoted(kOtherBoxPath));
    test::TraceCapture traces;
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    EXPECT_TRUE(traces.Contains(Wide(kBoxPath)));
    ASSERT_TRUE(usb.SetVolume(60));
    auto reports = sim::BoxReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].iface, 1u);
    EXPECT_EQ(Box().interfaces[2].opens, 0u);
}

TEST_F(BoxTest, DevicesThatCannotBeOpenedAreSkippedInTheSearch) {
    Reload("hid 0x2F3A 0x5C71 " + Quoted(kKeyboardPath) + " noopen\nbox " + Quoted(kBoxPath));
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    ASSERT_TRUE(usb.SetVolume(60));
    EXPECT_EQ(sim::BoxReports().at(0).iface, 1u);
}

TEST_F(BoxTest, APathLongerThanThePathBuffersIsSkippedNotCut) {
    // Cut to the 259 characters the buffers hold, the box's long path would name the keyboard.
    std::string keyboard = std::string(kKeyboardPath) + std::string(259 - (sizeof(kKeyboardPath) - 1), 'k');
    std::string longPath = keyboard + "&mi_02";
    Reload("box " + Quoted(longPath) + "\nhid 0x046D 0xC31C " + Quoted(keyboard) + "\nbox " +
           Quoted(kBoxPath));
    test::TraceCapture traces;
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    EXPECT_EQ(usb.DevicePaths().at(0), Wide(longPath));  // listed whole
    EXPECT_EQ(traces.Lines().at(0), Wide(kBoxPath));
    ASSERT_TRUE(usb.SetVolume(60));
    EXPECT_EQ(sim::BoxReports().at(0).iface, 2u);
    EXPECT_EQ(Box().interfaces[0].opens, 0u);
}

TEST_F(BoxTest, APathOfExactly259CharactersStillFits) {
    std::string path = std::string(kBoxPath) + std::string(259 - (sizeof(kBoxPath) - 1), 'y');
    Reload("box " + Quoted(path));
    test::TraceCapture traces;
    TOrbixBoxUsb usb;
    ASSERT_TRUE(usb.ConnectToBox());
    EXPECT_EQ(traces.Lines().at(0), Wide(path));
}

TEST_F(BoxTest, ABoxThatRefusesReadWriteIsFoundButNotOpened) {
    Reload("box " + Quoted(kBoxPath) + " readonly");
    TOrbixBoxUsb usb;
    EXPECT_FALSE(usb.ConnectToBox());
    // The failed open leaves the invalid handle, so exchanges are tried and fail.
    EXPECT_FALSE(usb.SetHostState(false));
    EXPECT_EQ(Box().setCalls, 500u);
}

TEST_F(BoxTest, ABoxWithoutPreparsedDataIsNotOpened) {
    Reload("box " + Quoted(kBoxPath) + " nopreparsed");
    TOrbixBoxUsb usb;
    EXPECT_FALSE(usb.ConnectToBox());
    EXPECT_EQ(Box().preparsedHeld, 0u);
}

TEST_F(BoxTest, TheHidLibraryIsLoadedOnceByName) {
    TOrbixBoxUsb first;
    TOrbixBoxUsb second;
    EXPECT_EQ(Box().loadCalls, 1u);
    EXPECT_STREQ(Box().loadedName, "hid.dll");
    EXPECT_TRUE(HidLibraryBound());
}

TEST_F(BoxTest, WithoutTheHidLibraryTheBoxIsAbsent) {
    Apply("hid-library absent");
    TOrbixBoxUsb usb;
    EXPECT_FALSE(usb.ConnectToBox());
    EXPECT_FALSE(usb.OpenDevice(Wide(kBoxPath).c_str()));
    uint8_t volume = 0xEE;
    EXPECT_FALSE(usb.GetVolume(volume));
    EXPECT_EQ(volume, 0);
    EXPECT_FALSE(usb.SetVolume(20));
    GUID guid;
    Hid_GetHidGuid(&guid);
    EXPECT_TRUE(IsEqualGUID(guid, GUID{}));
    EXPECT_EQ(Box().interfaces[1].opens, 0u);
    EXPECT_TRUE(sim::BoxReports().empty());
}

class MissingHidFunctionTest : public BoxTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MissingHidFunctionTest, MakesTheBoxAbsent) {
    Apply(std::string("hid-library missing ") + GetParam());
    TOrbixBoxUsb usb;
    EXPECT_FALSE(HidLibraryBound());
    EXPECT_FALSE(usb.ConnectToBox());
    EXPECT_EQ(Box().interfaces[1].opens, 0u);
}

INSTANTIATE_TEST_SUITE_P(EachOfTheNine, MissingHidFunctionTest,
                         ::testing::Values("HidD_GetHidGuid", "HidD_GetAttributes", "HidD_GetPreparsedData",
                                           "HidD_FreePreparsedData", "HidP_GetCaps",
                                           "HidD_SetNumInputBuffers", "HidD_GetFeature", "HidD_SetFeature",
                                           "HidD_FlushQueue"),
                         [](const auto& info) { return std::string(info.param); });

// The production binding under Wine: the real HID library and SetupAPI, which list no box here.
class SystemHidTest : public test::BoardTest {};

TEST_F(SystemHidTest, TheSystemBindingFindsNoBoxAndNothingBreaks) {
    TOrbixBoxUsb usb;
    EXPECT_TRUE(HidLibraryBound());
    EXPECT_FALSE(usb.ConnectToBox());
    EXPECT_FALSE(usb.SetVolume(20));
}

}  // namespace
