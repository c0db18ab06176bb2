// FanStore.xml as the store writes it, byte for byte, and as it reads files written by hand.
#include <windows.h>

#include <fstream>
#include <sstream>
#include <thread>

#include <tinyxml.h>

#include "fancore/FanStore.h"
#include "support/BoardTest.h"
#include "support/Capture.h"

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

// A document of the test's own for the node operations.
struct TiXmlElementHolder {
    TiXmlDocument doc;
    TiXmlElement* root = new TiXmlElement("root");
    TiXmlElementHolder() { doc.LinkEndChild(root); }
};

const char kDecl[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";

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
    void TearDown() override { DeleteFileA(path_.c_str()); }
    std::string File() const { return Flat(Slurp(path_)); }
    // Source sensors: items of type 3 in BIOS group 6.
    void SourceSensors(int n) {
        for (int i = 0; i < n; ++i) Apply("item " + std::to_string(0x06030001 + i) + " desc \"T\" 0 0 0 1 2");
    }
    std::string path_;
};

TEST_F(FanStoreTest, AMissingFileIsCreatedWithTheDeclarationAndAnEmptyRoot) {
    FanStore::Instance();
    EXPECT_EQ(File(), std::string(kDecl) + "<root />");
}

TEST_F(FanStoreTest, NamesAreLowerCasedAndFansKeyed) {
    FanStore& s = FanStore::Instance();
    EXPECT_TRUE(s.SetStepUpTime(1, 7));    // key 0
    EXPECT_TRUE(s.SetTolerance(10, 3));    // key 5
    EXPECT_TRUE(s.SetManualMode(100, 1));  // key 6
    EXPECT_TRUE(s.SetIsChangeFan(255));
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"0\"><stepuptime>7</stepuptime></fan>"
                          "<fan key=\"5\"><tolerance>3</tolerance></fan>"
                          "<fan key=\"6\"><manualmode>1</manualmode></fan>"
                          "<ischangefan>255</ischangefan></root>");
    EXPECT_EQ(s.GetStepUpTime(0), 7);
    EXPECT_EQ(s.GetTolerance(5), 3);
    EXPECT_EQ(s.GetIsChangeFan(), 255);
    EXPECT_EQ(s.GetInverse(), -1);
    EXPECT_EQ(s.GetGpio34(), -1);
}

TEST_F(FanStoreTest, CurvesAreWrittenOverTheirOldPoints) {
    FanStore& s = FanStore::Instance();
    s.WriteCurve(2, {{20, 50}, {40, 100}, {60, 150}, {80, 255}}, false);
    s.WriteCurve(2, {{25, 55}, {45, 105}}, false);
    s.WriteCurve(2, {{1, 2}}, true);
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"1\"><curvedata>"
                          "<point key=\"0\"><x>25</x><y>55</y></point>"
                          "<point key=\"1\"><x>45</x><y>105</y></point>"
                          "<point key=\"2\"><x>60</x><y>150</y></point>"
                          "<point key=\"3\"><x>80</x><y>255</y></point>"
                          "</curvedata><extracurve><point key=\"0\"><x>1</x><y>2</y></point></extracurve>"
                          "</fan></root>");
    FanPoints read(4, FanPoint{-1, -1});
    s.ReadCurve(3, &read, false);
    EXPECT_EQ(read, (FanPoints{{25, 55}, {45, 105}, {60, 150}, {80, 255}}));
    FanPoints extra(2, FanPoint{-1, -1});
    s.ReadCurve(2, &extra, true);
    EXPECT_EQ(extra, (FanPoints{{1, 2}, {-1, -1}}));
}

TEST_F(FanStoreTest, HasCurveSeesCurvesReadIntoMemory) {
    FanStore& s = FanStore::Instance();
    EXPECT_FALSE(s.HasCurve(2));
    FanPoints p(3);
    s.ReadCurve(2, &p, false);
    EXPECT_TRUE(s.HasCurve(2));
    DeleteFileA(path_.c_str());
    EXPECT_FALSE(s.HasCurve(2));  // the file must still load
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
    s.SetGpio34(2);
    EXPECT_EQ(File().find("key=\"9\""), std::string::npos);
}

TEST_F(FanStoreTest, DefaultWeightsAreStoredWhenMissing) {
    SourceSensors(4);
    FanStore& s = FanStore::Instance();
    std::vector<int> w;
    s.ReadWeights(0, &w);
    EXPECT_EQ(w, (std::vector<int>{100, 0, 0, 0}));
    EXPECT_NE(File().find("<weights><sensor_0>100</sensor_0><sensor_1>0</sensor_1><sensor_2>0</sensor_2>"
                          "<sensor_3>0</sensor_3></weights>"),
              std::string::npos);
    s.WriteWeights(0, {10, 20});
    s.ReadWeights(0, &w);
    EXPECT_EQ(w, (std::vector<int>{10, 20, 0, 0}));  // always as many as there are sensors
}

TEST_F(FanStoreTest, NoSourceSensorsMeansAnEmptyWeightList) {
    FanStore& s = FanStore::Instance();
    std::vector<int> w{1};
    s.ReadWeights(0, &w);
    EXPECT_TRUE(w.empty());
    EXPECT_NE(File().find("<fan key=\"0\"><weights /></fan>"), std::string::npos);
}

TEST_F(FanStoreTest, MultiSourcesStopAtTheFirstZero) {
    SourceSensors(3);
    FanStore& s = FanStore::Instance();
    s.WriteMultiSource(4, {3, 0, 5});
    EXPECT_NE(
        File().find("<multisourceindex><source_0>3</source_0><source_1>0</source_1><source_2>5</source_2>"),
        std::string::npos);
    EXPECT_EQ(s.ReadMultiSource(4), (std::vector<int>{3}));
    s.WriteMultiSource(4, {7});
    EXPECT_EQ(File().find("source_1"), std::string::npos);  // rebuilt, not written over
}

TEST_F(FanStoreTest, HandWrittenFilesKeysInOtherCaseAndNonNumbers) {
    Spit(path_, std::string(kDecl) +
                    "\n<settings><fan key=\"A\"><rpm>12</rpm></fan><fan key=\"1\"><rpm>x7</rpm>"
                    "<StepUnit>3</StepUnit></fan><Inverse>4</Inverse></settings>\n");
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(2), 0);       // key "1": text that is not a number reads 0
    EXPECT_EQ(s.GetStepUnit(2), 0);  // names are looked up in lower case only
    EXPECT_EQ(s.GetInverse(), -1);
    s.SetRpm(2, 8);  // the root keeps its own name
    EXPECT_NE(File().find("<settings><fan key=\"A\">"), std::string::npos);
}

TEST_F(FanStoreTest, AFanIsFoundByItsWholeKey) {
    Spit(path_, std::string(kDecl) +
                    "<root><fan key=\"11\"><rpm>12</rpm></fan><fan key=\"1\"><rpm>5</rpm></fan></root>");
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(2), 5);
    s.SetRpm(2, 6);
    EXPECT_NE(File().find("<fan key=\"1\"><rpm>6</rpm></fan>"), std::string::npos);
}

TEST_F(FanStoreTest, AFileWithoutDeclarationLeavesTheStoreEmptyAndTheFileAlone) {
    const std::string text = "<root><fan key=\"0\"><rpm>9</rpm></fan></root>";
    Spit(path_, text);
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(0), 0);
    EXPECT_FALSE(s.SetRpm(0, 1));
    EXPECT_FALSE(s.WriteCurve(0, {{1, 2}}, false));
    std::vector<int> w;
    s.ReadWeights(0, &w);
    EXPECT_FALSE(s.HasCurve(0));
    EXPECT_EQ(s.GetIsChangeFan(), -1);
    EXPECT_EQ(Slurp(path_), text);
}

TEST_F(FanStoreTest, AnUnparsableFileIsSetAsideAndTheStoreStartsAfresh) {
    const std::string broken = "<root><fan key=\"0\"><rpm>12";
    Spit(path_, broken);
    FanStore& s = FanStore::Instance();
    EXPECT_TRUE(s.SetRpm(0, 3));
    EXPECT_EQ(File(), std::string(kDecl) + "<root><fan key=\"0\"><rpm>3</rpm></fan></root>");
    EXPECT_EQ(Slurp(path_ + ".bad"), broken);
    DeleteFileA((path_ + ".bad").c_str());
}

TEST_F(FanStoreTest, AnUnparsableFileAfterAGoodStartKeepsWhatWasRead) {
    Spit(path_, std::string(kDecl) + "<root><fan key=\"0\"><rpm>12</rpm></fan></root><broken");
    FanStore& s = FanStore::Instance();
    EXPECT_EQ(s.GetRpm(0), 12);
    EXPECT_TRUE(s.SetRpm(0, 13));
}

TEST_F(FanStoreTest, AFileDeletedWhileRunningIsWrittenAgainWhole) {
    FanStore& s = FanStore::Instance();
    s.SetRpm(0, 1200);
    DeleteFileA(path_.c_str());
    s.SetTolerance(0, 2);
    EXPECT_EQ(File(), std::string(kDecl) +
                          "<root><fan key=\"0\"><rpm>1200</rpm><tolerance>2</tolerance></fan></root>");
}

TEST_F(FanStoreTest, AnInterruptedSaveLeavesTheOldFileWhole) {
    FanStore& s = FanStore::Instance();
    s.SetRpm(0, 1200);
    const std::string before = Slurp(path_);
    g_fanStoreReplace = [](const char*, const char*) { return false; };
    EXPECT_FALSE(s.SetRpm(0, 1500));
    EXPECT_EQ(Slurp(path_), before);
    EXPECT_FALSE(Exists(path_ + ".tmp"));
    g_fanStoreReplace = [](const char* from, const char* to) {
        return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
    };
    EXPECT_TRUE(s.SetTolerance(0, 1));
    EXPECT_NE(File().find("<rpm>1500</rpm>"), std::string::npos);  // memory kept the change
}

TEST_F(FanStoreTest, TwoThreadsWritingLoseNoValue) {
    FanStore& s = FanStore::Instance();
    auto writer = [&s](int fan) {
        for (int i = 0; i < 40; ++i) s.SetRpm(fan, i), s.SetStepUpTime(fan, i);
    };
    std::thread a(writer, 0), b(writer, 2);
    a.join();
    b.join();
    EXPECT_EQ(s.GetRpm(0), 39);
    EXPECT_EQ(s.GetRpm(2), 39);
    const std::string f = File();
    EXPECT_NE(f.find("<fan key=\"0\"><rpm>39</rpm><stepuptime>39</stepuptime></fan>"), std::string::npos)
        << f;
    EXPECT_NE(f.find("<fan key=\"1\"><rpm>39</rpm><stepuptime>39</stepuptime></fan>"), std::string::npos)
        << f;
}

TEST_F(FanStoreTest, FanNames) {
    FanStore& s = FanStore::Instance();
    std::string name = "unchanged";
    EXPECT_TRUE(s.GetFanName(0, &name));
    EXPECT_EQ(name, "unchanged");
    s.SetFanName(0, "CPU Fan");
    s.GetFanName(0, &name);
    EXPECT_EQ(name, "CPU Fan");
}

TEST_F(FanStoreTest, BiosFanNamesAreCutBeforeControl) {
    Apply(
        "item 0x04070010 desc \"CPU FAN control\" 0 0 0 1 3\n"
        "item 0x04070020 desc \"SYS Z-FAN 1\" 0 0 0 1 3\n"
        "item 0x04070030 desc \"PUMP Control\" 0 0 0 1 3\n");
    EXPECT_EQ(GetBiosFanName(0x04070010), "CPU FAN ");
    EXPECT_EQ(GetBiosFanName(0x04070020), "SYS ");
    EXPECT_EQ(GetBiosFanName(0x04070030), "PUMP Control");
    EXPECT_EQ(GetBiosFanName(0x04070040), "");
}

TEST(FanStoreKeys, FanTypesToKeys) {
    EXPECT_EQ(FanStoreKeyFromFanType(0), FanStoreKeyFromFanType(1));
    EXPECT_EQ(FanStoreKeyFromFanType(5), 5);
    EXPECT_EQ(FanStoreKeyFromFanType(10), 5);
    EXPECT_EQ(FanStoreKeyFromFanType(100), 6);
    EXPECT_EQ(FanStoreKeyFromFanType(12), 12);
}

}  // namespace

namespace {

TEST(FanStoreNodes, KeysFoldCaseAndMustMatchWholly) {
    TiXmlElementHolder holder;
    FanStoreNode root(holder.root);
    root.Child("fan", "A").SetInt("rpm", 1);
    EXPECT_FALSE(root.Find("fan", "a").IsNull());
    EXPECT_TRUE(root.Find("fan", "A1").IsNull());
    root.Child("Fan", "1").SetInt("rpm", 2);
    EXPECT_TRUE(root.Find("fan", "01").IsNull());
    int v = 0;
    EXPECT_TRUE(root.Find("FAN", "1").GetInt("RPM", &v));
    EXPECT_EQ(v, 2);
}

}  // namespace
