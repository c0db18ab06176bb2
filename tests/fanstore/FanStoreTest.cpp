// FanStore.xml as the store writes it, byte for byte, and as it reads files written by hand.
#include <windows.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <tinyxml.h>

#include "fancore/FanStore.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#include "system/Handles.h"

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Strips line breaks and indentation so that tests compare the document, not its layout.
std::string Flat(const std::string& xml) {
    std::string out;
    bool lineStart = true;
    for (char c : xml) {
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

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

const char kDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";

// Every test has a file of its own: tests run side by side in processes of the same directory.
class FanStoreTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        path_ = std::string(temp) + "quilsim\\FanStore-" + std::to_string(GetCurrentProcessId()) + ".xml";
        DeleteFileA(path_.c_str());
        UseFanStorePath(path_);
    }
    void TearDown() override {
        SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path_.c_str());
        DeleteFileA((path_ + ".bad").c_str());
    }
    std::string File() const { return Flat(Slurp(path_)); }
    // Source sensors: items of type 3 in BIOS group 6.
    void SourceSensors(int n) {
        for (int i = 0; i < n; ++i) Apply("item " + std::to_string(0x06030001 + i) + " desc \"T\" 0 0 0 1 2");
    }
    std::string path_;
};

// --- what the writers store -----------------------------------------------------------------------

TEST_F(FanStoreTest, AMissingFileIsCreatedAtOnceWithTheDeclarationAndAnEmptyRoot) {
    FanStore::Instance();
    EXPECT_EQ(Slurp(path_), std::string(kDecl) + "\r\n<root />\r\n");
}

TEST_F(FanStoreTest, AnEmptyFileCountsAsMissing) {
    Spit(path_, "");
    FanStore::Instance();
    EXPECT_EQ(File(), std::string(kDecl) + "<root />");
    EXPECT_FALSE(Exists(path_ + ".bad"));
}

TEST_F(FanStoreTest, TheFileIsTinyXmlsIndentedTextWithWindowsLineEnds) {
    EXPECT_TRUE(FanStore::Instance().SetRpm(0, 1200));
    EXPECT_EQ(Slurp(path_),
              std::string(kDecl) +
                  "\r\n<root>\r\n    <fan key=\"0\">\r\n        <rpm>1200</rpm>\r\n    </fan>\r\n"
                  "</root>\r\n");
}

TEST_F(FanStoreTest, EveryPerFanWriterStoresItsLowerCasedElementUnderTheFansKey) {
    FanStore& s = FanStore::Instance();
    EXPECT_TRUE(s.SetEcFanOff(4, 255));
    EXPECT_TRUE(s.SetEcEnable(4, 1));
    EXPECT_TRUE(s.SetFanSourceIndex(4, 3));
    EXPECT_TRUE(s.SetManualMode(4, 1));
    EXPECT_TRUE(s.SetRpmMode(4, 1));
    EXPECT_TRUE(s.SetRpmDuty(4, 128));
    EXPECT_TRUE(s.SetTolerance(4, 50));
    EXPECT_TRUE(s.SetRpm(4, 1800));
    EXPECT_TRUE(s.SetStepDownTime(4, 6));
    EXPECT_TRUE(s.SetStepUnit(4, 2));
    EXPECT_TRUE(s.SetStepUpTime(4, -3));
    EXPECT_TRUE(s.SetT1DelayTime(4, 9));
    EXPECT_TRUE(s.SetFanName(4, "CPU Fan"));
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"2\"><ecfanoff>255</ecfanoff><ecenable>1</ecenable>"
                          "<fansourceindex>3</fansourceindex><manualmode>1</manualmode><rpmmode>1</rpmmode>"
                          "<rpmduty>128</rpmduty><tolerance>50</tolerance><rpm>1800</rpm>"
                          "<stepdowntime>6</stepdowntime><stepunit>2</stepunit><stepuptime>-3</stepuptime>"
                          "<t1delaytime>9</t1delaytime><fanname>CPU Fan</fanname></fan></root>");
    EXPECT_TRUE(s.GetEcFanOff(4));
    EXPECT_TRUE(s.GetEcEnable(4));
    EXPECT_EQ(s.GetFanSourceIndex(4), 3);
    EXPECT_EQ(s.GetManualMode(4), 1);
    EXPECT_TRUE(s.GetRpmMode(4));
    EXPECT_EQ(s.GetRpmDuty(4), 128);
    EXPECT_EQ(s.GetTolerance(4), 50);
    EXPECT_EQ(s.GetRpm(4), 1800);
    EXPECT_EQ(s.GetStepDownTime(4), 6);
    EXPECT_EQ(s.GetStepUnit(4), 2);
    // Stored as given, but read as none: no client can give a fan a step time below 0.
    EXPECT_EQ(s.GetStepUpTime(4), 0);
    EXPECT_EQ(s.GetT1DelayTime(4), 9);
    std::string name;
    EXPECT_TRUE(s.GetFanName(4, &name));
    EXPECT_EQ(name, "CPU Fan");
}

TEST_F(FanStoreTest, ANewValueOverwritesTheOldOneInPlace) {
    FanStore& s = FanStore::Instance();
    s.SetRpm(0, 1200);
    s.SetTolerance(0, 5);
    s.SetRpm(0, 900);
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"0\"><rpm>900</rpm><tolerance>5</tolerance></fan></root>");
}

TEST_F(FanStoreTest, FanTypesOfOneKeyShareTheirElement) {
    FanStore& s = FanStore::Instance();
    EXPECT_TRUE(s.SetStepUpTime(1, 7));    // key 0
    EXPECT_TRUE(s.SetTolerance(10, 3));    // key 5
    EXPECT_TRUE(s.SetManualMode(100, 1));  // key 6
    EXPECT_TRUE(s.SetRpm(12, 4));          // key 12
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"0\"><stepuptime>7</stepuptime></fan>"
                          "<fan key=\"5\"><tolerance>3</tolerance></fan>"
                          "<fan key=\"6\"><manualmode>1</manualmode></fan>"
                          "<fan key=\"12\"><rpm>4</rpm></fan></root>");
    EXPECT_EQ(s.GetStepUpTime(0), 7);
    EXPECT_EQ(s.GetTolerance(5), 3);
    EXPECT_EQ(s.GetManualMode(100), 1);
}

TEST_F(FanStoreTest, TopLevelValuesSitBesideTheFans) {
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetIsChangeFan(), -1);
    EXPECT_EQ(s.GetGpio34(), -1);
    EXPECT_EQ(s.GetInverse(), -1);
    EXPECT_TRUE(s.SetRpm(0, 1));
    EXPECT_TRUE(s.SetIsChangeFan(255));
    EXPECT_TRUE(s.SetGpio34(0));
    EXPECT_TRUE(s.SetIsChangeFan(7));
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"0\"><rpm>1</rpm></fan><ischangefan>7</ischangefan>"
                          "<gpio34>0</gpio34></root>");
    EXPECT_EQ(s.GetIsChangeFan(), 7);
    EXPECT_EQ(s.GetGpio34(), 0);
}

TEST_F(FanStoreTest, TopLevelValuesAreWrittenToAnElementWithoutKeyAndReadFromTheFirst) {
    Spit(path_,
         std::string(kDecl) + "<root><ischangefan key=\"x\">4</ischangefan><inverse>2</inverse></root>");
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetInverse(), 2);
    EXPECT_TRUE(s.SetIsChangeFan(9));
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><ischangefan key=\"x\">4</ischangefan><inverse>2</inverse>"
                          "<ischangefan>9</ischangefan></root>");
    EXPECT_EQ(s.GetIsChangeFan(), 4);
}

TEST_F(FanStoreTest, FlagReadersTellZeroFromTheRest) {
    FanStore& s = FanStore::Instance();
    EXPECT_FALSE(s.GetEcFanOff(0));
    EXPECT_FALSE(s.GetRpmMode(0));
    EXPECT_FALSE(s.GetEcEnable(0));
    s.SetEcFanOff(0, 2);
    s.SetRpmMode(0, -1);
    s.SetEcEnable(0, 2);
    EXPECT_TRUE(s.GetEcFanOff(0));
    EXPECT_TRUE(s.GetRpmMode(0));
    EXPECT_FALSE(s.GetEcEnable(0));  // only 1 enables
    s.SetEcEnable(0, 1);
    EXPECT_TRUE(s.GetEcEnable(0));
}

// A curve is written over the stored one, and a longer one saved before leaves no points behind.
TEST_F(FanStoreTest, CurvesAreWrittenOverTheirOldPointsAndEndWithTheirOwn) {
    FanStore& s = FanStore::Instance();
    EXPECT_TRUE(s.WriteCurve(2, {{20, 50}, {40, 100}, {60, 150}, {80, 255}}, false));
    EXPECT_TRUE(s.WriteCurve(2, {{20, 50}, {40, 100}, {60, 150}, {80, 255}}, true));
    EXPECT_TRUE(s.WriteCurve(2, {{25, 55}, {45, 105}, {65, 155}}, false));
    EXPECT_TRUE(s.WriteCurve(2, {{1, 2}}, true));
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"1\"><curvedata>"
                          "<point key=\"0\"><x>25</x><y>55</y></point>"
                          "<point key=\"1\"><x>45</x><y>105</y></point>"
                          "<point key=\"2\"><x>65</x><y>155</y></point>"
                          "</curvedata><extracurve><point key=\"0\"><x>1</x><y>2</y></point></extracurve>"
                          "</fan></root>");
    FanPoints read(4, FanPoint{-1, -1});
    EXPECT_EQ(3u, s.ReadCurve(3, &read, false));
    EXPECT_EQ(read, (FanPoints{{25, 55}, {45, 105}, {65, 155}, {-1, -1}}));  // a point not stored stays
    FanPoints extra(2, FanPoint{-1, -1});
    EXPECT_EQ(1u, s.ReadCurve(2, &extra, true));
    EXPECT_EQ(extra, (FanPoints{{1, 2}, {-1, -1}}));
}

TEST_F(FanStoreTest, CurvesByNameAndPointsWithMissingCoordinates) {
    Spit(path_, std::string(kDecl) +
                    "<root><fan key=\"0\"><Custom><point key=\"1\"><y>70</y></point></Custom>"
                    "<custom><point key=\"0\"><x>30</x><y>40</y></point><point key=\"1\"><x>50</x></point>"
                    "</custom></fan></root>");
    FanStore& s = FanStore::Instance();
    FanPoints read(3, FanPoint{-1, -1});
    EXPECT_EQ(2u, s.ReadCurveByName(0, &read, "CUSTOM"));
    EXPECT_EQ(read, (FanPoints{{30, 40}, {50, 0}, {-1, -1}}));
    EXPECT_TRUE(s.WriteCurveByName(0, {{1, 1}}, "Custom"));
    EXPECT_TRUE(Contains(File(), "<custom><point key=\"0\"><x>1</x><y>1</y></point></custom>"));
}

TEST_F(FanStoreTest, HasCurveSeesCurvesReadIntoMemoryWhileTheFileStillLoads) {
    FanStore& s = FanStore::Instance();
    EXPECT_FALSE(s.HasCurve(2));
    s.WriteCurve(2, {{1, 2}}, true);
    EXPECT_FALSE(s.HasCurve(2));  // the second curve does not count
    FanPoints p(3);
    s.ReadCurve(2, &p, false);
    EXPECT_TRUE(s.HasCurve(2));
    EXPECT_TRUE(s.HasCurve(3));
    const std::string good = Slurp(path_);
    Spit(path_, "<root><fan");
    EXPECT_FALSE(s.HasCurve(2));
    Spit(path_, good);
    EXPECT_TRUE(s.HasCurve(2));
    DeleteFileA(path_.c_str());
    EXPECT_FALSE(s.HasCurve(2));
}

TEST_F(FanStoreTest, ReadingAMissingValueTracesCreatesInMemoryAndDoesNotSave) {
    test::TraceCapture traces;
    FanStore& s = FanStore::Instance();
    const std::string before = File();
    EXPECT_EQ(s.GetStepUpTime(8), 0);
    EXPECT_TRUE(traces.Contains(L"type=stepuptime key=(null)"));
    EXPECT_EQ(File(), before);
    s.SetGpio34(1);
    EXPECT_EQ(File(), std::string(kDecl) + "<root><fan key=\"4\" /><gpio34>1</gpio34></root>");
    EXPECT_FALSE(s.GetEcEnable(9));  // creates nothing
    EXPECT_FALSE(s.HasCurve(9));     // neither
    s.SetGpio34(2);
    EXPECT_FALSE(Contains(File(), "key=\"9\""));
}

TEST_F(FanStoreTest, AnEmptyValueElementReadsZeroAndGetsAnEmptyText) {
    Spit(path_, std::string(kDecl) + "<root><fan key=\"0\"><rpm /><fanname /></fan></root>");
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(0), 0);
    std::string name = "x";
    s.GetFanName(0, &name);
    EXPECT_EQ(name, "");
    s.SetTolerance(0, 1);
    EXPECT_TRUE(Contains(File(), "<fan key=\"0\"><rpm></rpm><fanname></fanname><tolerance>1</tolerance>"));
}

TEST_F(FanStoreTest, DefaultWeightsAreStoredWhenMissing) {
    SourceSensors(4);
    FanStore& s = FanStore::Instance();
    std::vector<int> w{7, 7, 7, 7, 7};
    s.ReadWeights(0, &w);
    EXPECT_EQ(w, (std::vector<int>{100, 0, 0, 0}));
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"0\"><weights><sensor_0>100</sensor_0><sensor_1>0</sensor_1>"
                          "<sensor_2>0</sensor_2><sensor_3>0</sensor_3></weights></fan></root>");
    EXPECT_TRUE(s.WriteWeights(0, {10, 20}));
    EXPECT_TRUE(Contains(File(),
                         "<weights><sensor_0>10</sensor_0><sensor_1>20</sensor_1><sensor_2>0</sensor_2>"
                         "<sensor_3>0</sensor_3></weights>"));
    s.ReadWeights(0, &w);
    EXPECT_EQ(w, (std::vector<int>{10, 20, 0, 0}));  // always as many as there are sensors
}

// A weight outside 0..100, which no client could set, reads as a missing one.
TEST_F(FanStoreTest, StoredWeightsAreReadAsManyAsThereAreSensors) {
    SourceSensors(4);
    Spit(path_, std::string(kDecl) +
                    "<root><fan key=\"1\"><weights><sensor_0>40</sensor_0><sensor_2>60</sensor_2>"
                    "<sensor_3>101</sensor_3><sensor_4>9</sensor_4></weights></fan></root>");
    FanStore& s = FanStore::Instance();
    std::vector<int> w;
    s.ReadWeights(2, &w);
    EXPECT_EQ(w, (std::vector<int>{40, 0, 60, 0}));
}

TEST_F(FanStoreTest, NoSourceSensorsMeansAnEmptyWeightList) {
    FanStore& s = FanStore::Instance();
    std::vector<int> w{1};
    s.ReadWeights(0, &w);
    EXPECT_TRUE(w.empty());
    EXPECT_EQ(File(), std::string(kDecl) + "<root><fan key=\"0\"><weights /></fan></root>");
}

TEST_F(FanStoreTest, MultiSourcesStopAtTheFirstZeroAndAtTheSensorCount) {
    SourceSensors(3);
    FanStore& s = FanStore::Instance();
    EXPECT_TRUE(s.WriteMultiSource(4, {3, 0, 5}));
    EXPECT_EQ(File(),
              std::string(kDecl) +
                  "<root><fan key=\"2\"><multisourceindex><source_0>3</source_0><source_1>0</source_1>"
                  "<source_2>5</source_2></multisourceindex></fan></root>");
    EXPECT_EQ(s.ReadMultiSource(4), (std::vector<int>{3}));
    s.SetRpm(4, 1);
    EXPECT_TRUE(s.WriteMultiSource(4, {7, 8, 9, 10}));
    EXPECT_EQ(s.ReadMultiSource(4), (std::vector<int>{7, 8, 9}));
    EXPECT_TRUE(s.WriteMultiSource(4, {6}));
    // Rebuilt, not written over, and moved behind the fan's other values.
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"2\"><rpm>1</rpm><multisourceindex><source_0>6</source_0>"
                          "</multisourceindex></fan></root>");
    EXPECT_TRUE(s.ReadMultiSource(0).empty());
}

// --- files written by hand ------------------------------------------------------------------------

TEST_F(FanStoreTest, HandWrittenFilesKeysInOtherCaseAndNonNumbers) {
    // A note the user left before the root is no reason to ignore the file.
    Spit(path_,
         std::string(kDecl) +
             "\n<!-- tuned by hand -->\n  \n<settings><fan key=\"A\"><rpm>12</rpm></fan><fan "
             "key=\"1\"><rpm>x7</rpm>"
             "<tolerance>15abc</tolerance><StepUnit>3</StepUnit></fan><Inverse>4</Inverse></settings>\n");
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(2), 0);         // key "1": text that is not a number reads 0
    EXPECT_EQ(s.GetTolerance(2), 15);  // a number followed by other text reads the number
    EXPECT_EQ(s.GetStepUnit(2), 0);    // names are looked up in lower case only
    EXPECT_EQ(s.GetInverse(), -1);
    s.SetRpm(2, 8);  // the root keeps its own name
    EXPECT_TRUE(Contains(File(),
                         "<!-- tuned by hand --><settings><fan key=\"A\"><rpm>12</rpm></fan>"
                         "<fan key=\"1\"><rpm>8</rpm>"));
}

TEST_F(FanStoreTest, AFanIsFoundByItsWholeKey) {
    Spit(path_, std::string(kDecl) +
                    "<root><fan key=\"11\"><rpm>12</rpm></fan><fan key=\"01\"><rpm>3</rpm></fan>"
                    "<fan key=\"1\"><rpm>5</rpm></fan></root>");
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(2), 5);
    s.SetRpm(2, 6);
    EXPECT_TRUE(Contains(File(), "<fan key=\"01\"><rpm>3</rpm></fan><fan key=\"1\"><rpm>6</rpm></fan>"));
}

TEST_F(FanStoreTest, AFileWithoutDeclarationLeavesTheStoreWithoutDocumentAndTheFileAlone) {
    const std::string text = "<root><fan key=\"0\"><rpm>9</rpm><curvedata /></fan><gpio34>1</gpio34></root>";
    Spit(path_, text);
    SourceSensors(2);
    FanStore& s = FanStore::Instance();
    // Every operation gives its missing-value result and none writes.
    EXPECT_EQ(s.GetRpm(0), 0);
    EXPECT_EQ(s.GetStepUpTime(0), 0);
    EXPECT_FALSE(s.GetEcFanOff(0));
    EXPECT_FALSE(s.GetRpmMode(0));
    EXPECT_FALSE(s.GetEcEnable(0));
    EXPECT_EQ(s.GetGpio34(), -1);
    EXPECT_EQ(s.GetIsChangeFan(), -1);
    EXPECT_EQ(s.GetInverse(), -1);
    std::string name = "kept";
    EXPECT_TRUE(s.GetFanName(0, &name));
    EXPECT_EQ(name, "kept");
    FanPoints points(2, FanPoint{-1, -1});
    s.ReadCurve(0, &points, false);
    EXPECT_EQ(points, (FanPoints(2, FanPoint{-1, -1})));
    EXPECT_FALSE(s.HasCurve(0));
    EXPECT_TRUE(s.ReadMultiSource(0).empty());
    std::vector<int> w;
    s.ReadWeights(0, &w);
    EXPECT_EQ(w, (std::vector<int>{100, 0}));
    EXPECT_FALSE(s.SetRpm(0, 1));
    EXPECT_FALSE(s.SetEcFanOff(0, 1));
    EXPECT_FALSE(s.SetIsChangeFan(1));
    EXPECT_FALSE(s.SetGpio34(1));
    EXPECT_TRUE(s.SetFanName(0, "x"));
    EXPECT_FALSE(s.WriteCurve(0, {{1, 2}}, false));
    EXPECT_FALSE(s.WriteMultiSource(0, {1}));
    EXPECT_FALSE(s.WriteWeights(0, {1}));
    EXPECT_EQ(Slurp(path_), text);
    EXPECT_FALSE(Exists(path_ + ".tmp"));
}

TEST_F(FanStoreTest, AnUnparsableFileIsRewrittenWithWhatTinyXmlKeptAndItsBytesKeptBeside) {
    const std::string broken = std::string(kDecl) + "<root><fan key=\"0\"><rpm>12</rpm></fan></root><broken";
    Spit(path_, broken);
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(Slurp(path_ + ".bad"), broken);
    EXPECT_EQ(File(), std::string(kDecl) + "<root><fan key=\"0\"><rpm>12</rpm></fan></root><broken />" +
                          kDecl + "<root />");
    EXPECT_EQ(s.GetRpm(0), 12);
    EXPECT_TRUE(s.SetRpm(0, 13));
    EXPECT_TRUE(Contains(File(), "<root><fan key=\"0\"><rpm>13</rpm></fan></root><broken />"));
}

TEST_F(FanStoreTest, AnUnparsableFileWithoutUsableRootIsLeftAlone) {
    // Rewriting it would give a file the store refuses at every later start, and the user's
    // settings would be gone as well.
    const std::string broken = "<root><fan key=\"0\"><rpm>12";
    Spit(path_, broken);
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(0), 0);
    EXPECT_FALSE(s.SetRpm(0, 3));
    EXPECT_EQ(Slurp(path_), broken);
    EXPECT_FALSE(Exists(path_ + ".bad"));
}

TEST_F(FanStoreTest, AReadOnlyFileIsNotReplaced) {
    FanStore& s = FanStore::Instance();
    ASSERT_TRUE(s.SetRpm(0, 1200));
    const std::string before = Slurp(path_);
    ASSERT_TRUE(SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(s.SetRpm(0, 1500));
    EXPECT_FALSE(s.WriteCurve(0, {{20, 60}}, false));
    EXPECT_EQ(Slurp(path_), before);
    EXPECT_FALSE(Exists(path_ + ".tmp"));
    EXPECT_EQ(s.GetRpm(0), 1500);  // memory keeps the change for the next save
    ASSERT_TRUE(SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(s.SetTolerance(0, 2));
    EXPECT_TRUE(Contains(File(), "<rpm>1500</rpm>"));
}

TEST_F(FanStoreTest, AFileAReaderHoldsForAMomentIsReplacedWhenItLetsGo) {
    FanStore& s = FanStore::Instance();
    ASSERT_TRUE(s.SetRpm(0, 1200));
    // Open as a viewer or a scanner opens it: reading, letting others read and write, not delete.
    HANDLE reader = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    std::thread letGo([reader] {
        Sleep(150);
        CloseHandle(reader);
    });
    const unsigned failed = FanStoreFailedSaves();
    EXPECT_TRUE(s.SetRpm(0, 1500));
    letGo.join();
    EXPECT_EQ(FanStoreFailedSaves(), failed);
    EXPECT_TRUE(Contains(File(), "<rpm>1500</rpm>"));
    EXPECT_FALSE(Exists(path_ + ".tmp"));
}

TEST_F(FanStoreTest, AFileAReaderKeepsOpenIsNotReplacedAndTheChangeWaitsInMemory) {
    FanStore& s = FanStore::Instance();
    ASSERT_TRUE(s.SetRpm(0, 1200));
    const std::string before = Slurp(path_);
    tolo::UniqueHandle reader(CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_FALSE(s.SetRpm(0, 1500));
    reader.Reset();
    EXPECT_EQ(Slurp(path_), before);
    EXPECT_FALSE(Exists(path_ + ".tmp"));
    EXPECT_TRUE(s.SetTolerance(0, 2));
    EXPECT_TRUE(Contains(File(), "<rpm>1500</rpm>"));
}

// A program that opens the file without sharing at start-up (a scanner, a backup at boot).
tolo::UniqueHandle HoldWithoutSharing(const std::string& path) {
    return tolo::UniqueHandle(
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

TEST_F(FanStoreTest, AFileHeldAtTheFirstUseIsWaitedFor) {
    Spit(path_, std::string(kDecl) + "<root><fan key=\"0\"><rpm>12</rpm></fan></root>");
    tolo::UniqueHandle holder = HoldWithoutSharing(path_);
    ASSERT_TRUE(holder);
    std::thread letGo([&holder] {
        Sleep(1500);
        holder.Reset();
    });
    FanStore& s = FanStore::Instance();
    letGo.join();
    EXPECT_TRUE(s.IsUsable());
    EXPECT_EQ(s.GetRpm(0), 12);
}

TEST_F(FanStoreTest, AFileStillHeldIsNotTakenForNoneAndIsReadOnceItIsFree) {
    const std::string text = std::string(kDecl) + "<root><fan key=\"0\"><rpm>12</rpm></fan></root>";
    Spit(path_, text);
    tolo::UniqueHandle holder = HoldWithoutSharing(path_);
    ASSERT_TRUE(holder);
    FanStore& s = FanStore::Instance();
    const unsigned failed = FanStoreFailedSaves();
    EXPECT_FALSE(s.IsUsable());
    EXPECT_EQ(s.GetRpm(0), 0);
    EXPECT_FALSE(s.SetTolerance(0, 2));
    EXPECT_EQ(FanStoreFailedSaves(), failed + 1);
    holder.Reset();
    EXPECT_EQ(Slurp(path_), text) << "a file that could not be read was written over";
    EXPECT_FALSE(Exists(path_ + ".bad"));

    EXPECT_EQ(s.GetRpm(0), 12);
    EXPECT_TRUE(s.SetTolerance(0, 3));
    EXPECT_EQ(File(),
              std::string(kDecl) + "<root><fan key=\"0\"><rpm>12</rpm><tolerance>3</tolerance></fan></root>");
}

TEST_F(FanStoreTest, FailedSavesAreCountedForTheThreadThatMadeThem) {
    FanStore& s = FanStore::Instance();
    const unsigned start = FanStoreFailedSaves();
    ASSERT_TRUE(s.SetRpm(0, 1200));
    EXPECT_EQ(FanStoreFailedSaves(), start);
    ASSERT_TRUE(SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_READONLY));
    std::thread other([&] { EXPECT_FALSE(s.SetRpm(0, 1300)); });
    other.join();
    EXPECT_EQ(FanStoreFailedSaves(), start) << "another thread's failure counted here";
    EXPECT_FALSE(s.WriteWeights(0, {100}));
    EXPECT_FALSE(s.SetGpio34(1));
    EXPECT_EQ(FanStoreFailedSaves(), start + 2);
}

TEST_F(FanStoreTest, AFileDeletedWhileRunningIsWrittenAgainWhole) {
    FanStore& s = FanStore::Instance();
    s.SetRpm(0, 1200);
    DeleteFileA(path_.c_str());
    EXPECT_EQ(s.GetRpm(0), 1200);  // the document in memory is the truth
    s.SetTolerance(0, 2);
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"0\"><rpm>1200</rpm><tolerance>2</tolerance></fan></root>");
}

// --- saving whole, one caller at a time -----------------------------------------------------------

std::string g_replacedWith;  // what the temporary file held when the replace was asked for

TEST_F(FanStoreTest, AnInterruptedSaveLeavesTheOldFileWhole) {
    FanStore& s = FanStore::Instance();
    s.SetRpm(0, 1200);
    const std::string before = Slurp(path_);
    g_fanStoreReplace = [](const char* from, const char*) {
        g_replacedWith = Slurp(from);
        return false;
    };
    EXPECT_FALSE(s.SetRpm(0, 1500));
    EXPECT_EQ(Flat(g_replacedWith), std::string(kDecl) + "<root><fan key=\"0\"><rpm>1500</rpm></fan></root>");
    EXPECT_EQ(Slurp(path_), before);
    EXPECT_FALSE(Exists(path_ + ".tmp"));
    g_fanStoreReplace = [](const char* from, const char* to) {
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
    };
    EXPECT_TRUE(s.SetTolerance(0, 1));
    EXPECT_TRUE(Contains(File(), "<rpm>1500</rpm>"));  // memory kept the change
    EXPECT_FALSE(Exists(path_ + ".tmp"));
}

TEST_F(FanStoreTest, TwoThreadsWritingLoseNoValue) {
    // Both threads start with the first Instance: one opens the store, the other waits for it.
    std::atomic<int> failed{0};
    auto writer = [&failed](int fanType, int other) {
        FanStore& s = FanStore::Instance();
        for (int i = 0; i < 60; ++i) {
            failed += !s.SetRpm(fanType, i);
            failed += !s.SetStepUpTime(fanType, i);
            failed += !s.SetTolerance(0, other * 100 + i);  // one fan written by both
            s.SetFanName(fanType * 10 + i, "F");            // new fans, some of them the other thread's too
        }
        failed += !s.WriteCurve(0, {{other, other}}, other == 2);
    };
    std::thread a(writer, 4, 1), b(writer, 6, 2);
    a.join();
    b.join();
    EXPECT_EQ(failed, 0);
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(4), 59);
    EXPECT_EQ(s.GetRpm(6), 59);
    const std::string f = File();
    EXPECT_TRUE(Contains(f, "<fan key=\"2\"><rpm>59</rpm><stepuptime>59</stepuptime></fan>")) << f;
    EXPECT_TRUE(Contains(f, "<fan key=\"3\"><rpm>59</rpm><stepuptime>59</stepuptime></fan>")) << f;
    // One element for the shared fan, holding both curves and the last tolerance of either thread.
    EXPECT_EQ(f.find("<fan key=\"0\">"), f.rfind("<fan key=\"0\">")) << f;
    EXPECT_TRUE(Contains(f, "<tolerance>159</tolerance>") || Contains(f, "<tolerance>259</tolerance>")) << f;
    for (const char* shared : {"<fan key=\"70\">", "<fan key=\"99\">", "<fan key=\"25\">"}) {
        EXPECT_NE(f.find(shared), std::string::npos) << shared;
        EXPECT_EQ(f.find(shared), f.rfind(shared)) << shared;
    }
    EXPECT_TRUE(Contains(f, "<curvedata><point key=\"0\"><x>1</x><y>1</y></point></curvedata>")) << f;
    EXPECT_TRUE(Contains(f, "<extracurve><point key=\"0\"><x>2</x><y>2</y></point></extracurve>")) << f;
}

// --- where the file is ------------------------------------------------------------------------------

class FanStorePathTest : public test::BoardTest {};

TEST_F(FanStorePathTest, TheFileIsBesideTheExecutableHoweverLongItsPath) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string bin(self);
    bin.resize(bin.rfind('\\') + 1);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    // Longer than the first buffer the store asks the module path into.
    const std::string dir = std::string(temp) + "quilsim\\probe-" + std::to_string(GetCurrentProcessId()) +
                            "-" + std::string(140, 'd');
    const std::string probe = dir + "\\fanstore_probe.exe";
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileA((bin + "fanstore_probe.exe").c_str(), probe.c_str(), FALSE));

    std::string command = "\"" + probe + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Started from another directory: the file follows the executable, not the working directory.
    const std::string elsewhere = std::string(temp) + "quilsim";
    ASSERT_TRUE(CreateProcessA(probe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               elsewhere.c_str(), &si, &pi));
    tolo::UniqueHandle process(pi.hProcess), thread(pi.hThread);
    WaitForSingleObject(process.Get(), INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.Get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(Flat(Slurp(dir + "\\FanStore.xml")),
              std::string(kDecl) + "<root><fan key=\"0\"><rpm>1200</rpm></fan></root>");
    EXPECT_FALSE(Exists(elsewhere + "\\FanStore.xml"));

    DeleteFileA((dir + "\\FanStore.xml").c_str());
    DeleteFileA(probe.c_str());
    RemoveDirectoryA(dir.c_str());
}

// --- firmware queries -------------------------------------------------------------------------------

TEST_F(FanStoreTest, SourceSensorsAreTheType3ItemsOfGroup6CountedAfresh) {
    Apply(
        "item 0x06030001 desc \"CPU\" 0 0 0 1 2\n"
        "item 0x06020002 desc \"Other\" 0 0 0 1 2\n"
        "item 0x06330003 desc \"MB\" 0 0 0 1 2\n"
        "item 0x05030004 desc \"Elsewhere\" 0 0 0 1 2\n");
    EXPECT_EQ(CountSourceSensorItems(), 2);
    Apply("item 0x06030005 desc \"PCH\" 0 0 0 1 2");
    EXPECT_EQ(CountSourceSensorItems(), 3);
}

TEST_F(FanStoreTest, BiosFanNamesAreCutBeforeControl) {
    Apply(
        "item 0x04070010 desc \"CPU FAN control\" 0 0 0 1 3\n"
        "item 0x04070020 desc \"SYS Z-FAN 1\" 0 0 0 1 3\n"
        "item 0x04070030 desc \"PUMP Control\" 0 0 0 1 3\n"
        "item 0x04070050 desc \"CPU OPT\" 0 0 0 1 3\n");
    EXPECT_EQ(GetBiosFanName(0x04070010), "CPU FAN ");
    EXPECT_EQ(GetBiosFanName(0x04070020), "SYS ");
    EXPECT_EQ(GetBiosFanName(0x04070030), "PUMP Control");
    EXPECT_EQ(GetBiosFanName(0x04070050), "CPU OPT");
    EXPECT_EQ(GetBiosFanName(0x04070040), "");
    EXPECT_EQ(GetBiosFanName(0x04000010), "");  // the whole id must match
}

// --- keys and nodes ---------------------------------------------------------------------------------

TEST(FanStoreKeys, FanTypesToKeys) {
    EXPECT_EQ(FanStoreKeyFromFanType(0), 0);
    EXPECT_EQ(FanStoreKeyFromFanType(1), 0);
    EXPECT_EQ(FanStoreKeyFromFanType(2), 1);
    EXPECT_EQ(FanStoreKeyFromFanType(3), 1);
    EXPECT_EQ(FanStoreKeyFromFanType(4), 2);
    EXPECT_EQ(FanStoreKeyFromFanType(5), 5);
    EXPECT_EQ(FanStoreKeyFromFanType(6), 3);
    EXPECT_EQ(FanStoreKeyFromFanType(8), 4);
    EXPECT_EQ(FanStoreKeyFromFanType(10), 5);
    EXPECT_EQ(FanStoreKeyFromFanType(12), 12);
    EXPECT_EQ(FanStoreKeyFromFanType(98), 98);
    EXPECT_EQ(FanStoreKeyFromFanType(99), 99);
    EXPECT_EQ(FanStoreKeyFromFanType(100), 6);
    EXPECT_EQ(FanStoreKeyFromFanType(131), 37);
}

// A document of the test's own for the node operations.
struct Document {
    TiXmlDocument doc;
    TiXmlElement* root = new TiXmlElement("root");
    Document() { doc.LinkEndChild(root); }
};

TEST(FanStoreNodes, KeysFoldCaseAndMustMatchWholly) {
    Document d;
    FanStoreNode root(d.root);
    root.Child("fan", "A").SetInt("rpm", 1);
    EXPECT_FALSE(root.Find("fan", "a").IsNull());
    EXPECT_TRUE(root.Find("fan", "A1").IsNull());
    root.Child("Fan", "1").SetInt("rpm", 2);
    EXPECT_TRUE(root.Find("fan", "01").IsNull());
    int v = 0;
    EXPECT_TRUE(root.Find("FAN", "1").GetInt("RPM", &v));
    EXPECT_EQ(v, 2);
    root.Child("fan", "\xE4");                       // a-umlaut in the ANSI code page
    EXPECT_TRUE(root.Find("fan", "\xC4").IsNull());  // only ASCII letters fold
}

TEST(FanStoreNodes, AChildWithoutKeyIsAnElementWithoutKeyAttribute) {
    Document d;
    FanStoreNode root(d.root);
    root.Child("fan", "0");
    EXPECT_FALSE(root.Find("fan").IsNull());  // finding without a key takes any
    FanStoreNode plain = root.Child("fan");   // but a child without a key is a new one
    plain.SetOwnInt(5);
    EXPECT_EQ(root.Child("fan", "").Node(), plain.Node());
    root.Remove("fan");
    EXPECT_FALSE(root.Find("fan", "0").IsNull());
    EXPECT_EQ(d.root->FirstChildElement("fan")->NextSiblingElement("fan"), nullptr);
}

TEST(FanStoreNodes, AValueWhoseFirstChildIsNoTextIsNeitherReadNorWritten) {
    Document d;
    FanStoreNode root(d.root);
    FanStoreNode rpm = root.Child("rpm");
    rpm.Child("inner");
    int v = 7;
    EXPECT_FALSE(root.GetInt("rpm", &v));
    EXPECT_EQ(v, 7);
    EXPECT_FALSE(root.SetInt("rpm", 3));
    EXPECT_EQ(d.root->FirstChildElement("rpm")->FirstChild()->ToElement()->Value(), std::string("inner"));
    EXPECT_FALSE(FanStoreNode().GetOwnInt(&v));
    EXPECT_FALSE(FanStoreNode().SetOwnInt(1));
    EXPECT_TRUE(FanStoreNode().Child("x").IsNull());
}

}  // namespace
