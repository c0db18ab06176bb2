// The BIOS item library over the ACPI stand-in, in the service build (QuilAcpi.dll by ordinal) and
// in the tool build (quilacpiex.dll bound by name).
#include <windows.h>

#include <thread>

#include "bios/AcpiLibrary.h"
#include "bios/BiosInterface.h"
#include "support/BoardTest.h"
#include "support/Capture.h"
#ifdef QUIL_BIOS_TOOL_BUILD
#include "support/ToolAcpiBinding.h"
#endif
#include "system/Handles.h"

namespace {

class BiosTest : public test::BoardTest {
protected:
    void SetUp() override {
        test::BoardTest::SetUp();
#ifdef QUIL_BIOS_TOOL_BUILD
        ASSERT_TRUE(test::BindToolAcpiLibrary());
#endif
    }

    std::string BoardText() const override {
        return
            // Fan mode items of group 4: number items, minimum 0, step 1, three values.
            "item 0x04070010 value 1 desc \"CPU FAN\" 0 5 0 1 3\n"
            "item 0x04070020 value 2 desc \"SYS FAN 1\" 0 5 0 1 3\n"
            // Minimum 0, step 1, four values, two extra texts.
            "item 0x05000001 value 0 desc \"Extras\" 0 0 0 1 4 2 \"Auto\" \"Off\"\n"
            // 1.250 + index * 0.005
            "item 0x05000002 desc \"Volts\" 0 0 0xFD0004E2 5 3\n"
            "item 0x05000003 desc \"Five\" 0 0 5 5 3\n"
            "item 0x05000004 desc \"Low\" 0 0 0x00FFD8F0 1 2\n"
            "item 0x05000005 desc \"High\" 0 0 0x00FFD8EF 1 2\n"
            "item 0x05020006 desc \"Type 2\" 0 0 1250 5 3\n"
            "item 0x05000007 desc \"Negative\" 0 0 0x00FFFFFB 1 12\n"
            "item 0x05000008 desc \"Cents\" 0 0 0xFE000005 0xFE000005 3\n"
            "item 0x050D0009 value 3 desc \"Composite\" 0 0 0 1 3\n"
            "item 0x0508000A value 1 desc \"Mode\" 0 9 3 \"Standard\" \"Silent\" \"Turbo\"\n"
            "item 0x0507000B value 1 desc \"Switch\" 0 1\n"
            // Not enough elements for a number item: present, but its description tells nothing.
            "item 0x0500000C desc \"Broken\" 0 0 0\n"
            "item 0x0600000D value 4 desc \"Refused\" 0 0 0 1 3\n"
            "refuse-group 6\n";
    }

    uint32_t GroupFetches(int group) const {
        return Board()->acpi.ggrpCalls[group];
    }
};

TEST_F(BiosTest, LookupsIgnoreTheTypeBitsOfTheId) {
    EXPECT_TRUE(IsBiosItemPresent(0x04070010));
    EXPECT_TRUE(IsBiosItemPresent(0x04000010));
    EXPECT_TRUE(IsBiosItemPresent(0x04FF0010));
    EXPECT_FALSE(IsBiosItemPresent(0x04070030));
    EXPECT_EQ(BiosItemManager::Instance().GetItem(0x04000020),
              BiosItemManager::Instance().GetItem(0x04070020));
}

TEST_F(BiosTest, AGroupIsFetchedOnceHoweverManyItemsAreAsked) {
    EXPECT_TRUE(IsBiosItemPresent(0x04070010));
    uint32_t descriptions = Board()->acpi.callMethodCalls;
    EXPECT_TRUE(IsBiosItemPresent(0x04070020));
    EXPECT_FALSE(IsBiosItemPresent(0x04070099));
    EXPECT_TRUE(IsBiosItemPresent(0x04070010));
    EXPECT_EQ(GroupFetches(4), 1u);
    EXPECT_EQ(Board()->acpi.callMethodCalls, descriptions);
}

TEST_F(BiosTest, ARefusedGroupAnswersAbsentWithoutASecondFetch) {
    EXPECT_FALSE(IsBiosItemPresent(0x0600000D));
    EXPECT_FALSE(IsBiosItemPresent(0x0600000D));
    EXPECT_FALSE(IsBiosItemPresent(0x06000001));
    EXPECT_EQ(GroupFetches(6), 1u);
}

TEST_F(BiosTest, TwoThreadsLoadingOneGroupFetchItOnce) {
    std::thread a([] { IsBiosItemPresent(0x05000001); });
    std::thread b([] { IsBiosItemPresent(0x05000002); });
    a.join();
    b.join();
    EXPECT_EQ(GroupFetches(5), 1u);
}

// ACPI device items are only tested for presence: a description the library cannot parse must
// not make the firmware's device look absent. What reads the description answers empty.
class UnparsedItemTest : public BiosTest {
protected:
    std::string BoardText() const override {
        return "item 0x11060009 desc \"SIO REGISTER\" 0 7\n"                // too short for a number item
               "item 0x040D007D desc \"CURVE1\" 0 7 0 1 2 5 \"A\"\n"        // five extra texts, one given
               "item 0x04060020 desc\n"                                     // the id alone
               "item 0x04080030 value 1 desc \"MODE\" 0 7 4 \"A\" \"B\"\n"  // four texts, two given
               "item 0x04060040 empty-desc\n";                              // no id: names no item
    }
};

TEST_F(UnparsedItemTest, AnItemWithItsIdIsPresentAndItsDescriptionReadersAnswerEmpty) {
    test::MessageBoxCapture boxes;
    for (uint32_t id : {0x11060009u, 0x040D007Du, 0x04060020u, 0x04080030u}) {
        SCOPED_TRACE(id);
        EXPECT_TRUE(IsBiosItemPresent(id));
        BiosItemW* item = BiosItemManager::Instance().GetItem(id);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->GetId(), id);
        EXPECT_EQ(item->GetName(), "");
        EXPECT_EQ(item->GetCount(), 0);
        EXPECT_EQ(item->GetHeaderValue(), 0);
        EXPECT_EQ(item->IndexToString(0), L"");
    }
    for (uint32_t id : {0x11060009u, 0x040D007Du, 0x04060020u}) {
        BiosItemW* number = BiosItemManager::Instance().GetItem(id);
        EXPECT_EQ(number->IndexToValue(1), 0.0);
        int num = 77, den = 88;
        EXPECT_FALSE(number->IndexToRational(1, &num, &den));
        EXPECT_EQ(num, 77);
        EXPECT_EQ(den, 88);
    }
    EXPECT_EQ(boxes.Count(), 0u);
    // Its value still goes to the firmware.
    int v = 0;
    EXPECT_TRUE(BiosItemManager::Instance().GetItem(0x04080030)->Get(&v));
    EXPECT_EQ(v, 1);
    EXPECT_FALSE(IsBiosItemPresent(0x04060040));
}

TEST_F(BiosTest, NumberItemWithExtraTexts) {
    test::MessageBoxCapture boxes;
    BiosItemW* item = BiosItemManager::Instance().GetItem(0x05000001);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->GetCount(), 6);
    EXPECT_EQ(item->IndexToString(0), L"Auto");
    EXPECT_EQ(item->IndexToString(1), L"Off");
    EXPECT_EQ(item->IndexToString(2), L"0");
    EXPECT_EQ(item->IndexToValue(5), 3.0);
    EXPECT_EQ(boxes.Count(), 0u);

    EXPECT_EQ(item->IndexToValue(1), 0.0);
    int num = 77, den = 88;
    item->IndexToRational(0, &num, &den);
    EXPECT_EQ(num, 77);
    EXPECT_EQ(den, 88);
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, L"Can not convert extra string to value");
    EXPECT_EQ(shown[0].caption, L"IndexToValue Fail");
    EXPECT_EQ(shown[1].caption, L"IndexToRational Fail");
}

TEST_F(BiosTest, NumberTextsKeepTheDigitsOfTheirScale) {
    auto& m = BiosItemManager::Instance();
    // Minimum 1250 with exponent -3, step 5.
    BiosItemW* volts = m.GetItem(0x05000002);
    ASSERT_NE(volts, nullptr);
    EXPECT_EQ(volts->IndexToString(0), L"1.250");
    EXPECT_EQ(volts->IndexToString(2), L"1.260");
    int num = 0, den = 0;
    EXPECT_TRUE(volts->IndexToRational(2, &num, &den));
    EXPECT_EQ(num, 1260);
    EXPECT_EQ(den, 1000);

    BiosItemW* five = m.GetItem(0x05000003);
    EXPECT_EQ(five->IndexToString(0), L"5");
    EXPECT_EQ(five->IndexToString(1), L"10");
    EXPECT_EQ(five->IndexToString(2), L"15");
    EXPECT_TRUE(five->IndexToRational(2, &num, &den));
    EXPECT_EQ(num, 15);
    EXPECT_EQ(den, 1);

    // Type 2 scales by a thousand.
    BiosItemW* type2 = m.GetItem(0x05020006);
    EXPECT_DOUBLE_EQ(type2->IndexToValue(1), 1.255);
    EXPECT_EQ(type2->IndexToString(1), L"1.255");

    // With a negative step exponent the minimum is scaled up to the step's exponent and both
    // exponents apply: 500e-4 + index * 5e-4.
    BiosItemW* cents = m.GetItem(0x05000008);
    EXPECT_EQ(cents->IndexToString(0), L"0.0500");
    EXPECT_EQ(cents->IndexToString(1), L"0.0505");

    BiosItemW* negative = m.GetItem(0x05000007);  // -5 + index
    EXPECT_EQ(negative->IndexToString(0), L"-5");
    EXPECT_EQ(negative->IndexToString(5), L"0");
    EXPECT_EQ(negative->IndexToString(6), L"1");
}

TEST_F(BiosTest, MantissasBelowMinusTenThousandReadUnsigned) {
    auto& m = BiosItemManager::Instance();
    EXPECT_EQ(m.GetItem(0x05000004)->IndexToValue(0), -10000.0);
    EXPECT_EQ(m.GetItem(0x05000005)->IndexToValue(0), 16767215.0);
}

TEST_F(BiosTest, CompositeItemsNeitherReadNorWrite) {
    BiosItemW* item = BiosItemManager::Instance().GetItem(0x050D0009);
    ASSERT_NE(item, nullptr);
    uint32_t from = sim::NextWriteSeq();
    int v = -1;
    EXPECT_FALSE(item->Get(&v));
    EXPECT_EQ(v, -1);
    EXPECT_FALSE(item->Set(1));
    EXPECT_EQ(item->Set(1, 2), -1);
    EXPECT_TRUE(sim::Writes(from).empty());
    EXPECT_EQ(sim::FindItem(0x050D0009)->value, 3);
}

TEST_F(BiosTest, StringAndBooleanItems) {
    test::MessageBoxCapture boxes;
    auto& m = BiosItemManager::Instance();
    BiosItemW* mode = m.GetItem(0x0508000A);
    ASSERT_NE(mode, nullptr);
    EXPECT_EQ(mode->GetCount(), 3);
    EXPECT_EQ(mode->GetHeaderValue(), 9);
    EXPECT_EQ(mode->IndexToString(2), L"Turbo");
    EXPECT_EQ(mode->GetName(), "Mode");

    BiosItemW* sw = m.GetItem(0x0507000B);
    ASSERT_NE(sw, nullptr);
    EXPECT_EQ(sw->GetCount(), 0);
    EXPECT_EQ(sw->IndexToValue(0), 0.0);
    EXPECT_EQ(sw->IndexToString(0), L"");
    auto shown = boxes.Boxes();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].text, L"Item[507000b] does not supports IndexToValue");
    EXPECT_EQ(shown[0].caption, L"BiosItem");
    EXPECT_EQ(shown[1].text, L"Item[507000b] does not supports IndexToString");
}

TEST_F(BiosTest, ItemValuesGoToTheFirmware) {
    BiosItemW* item = BiosItemManager::Instance().GetItem(0x04070010);
    int v = 0;
    ASSERT_TRUE(item->Get(&v));
    EXPECT_EQ(v, 1);
    uint32_t from = sim::NextWriteSeq();
    EXPECT_TRUE(item->Set(2));
    EXPECT_TRUE(SetBiosItemValue(0x04070020, 0));
    EXPECT_EQ(sim::FindItem(0x04070010)->value, 2);
    EXPECT_TRUE(GetBiosItemValue(0x04070020, &v));
    EXPECT_EQ(v, 0);
    auto w = sim::Writes(from);
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[0].kind, sim::WriteKind::ItemSet);
    EXPECT_EQ(w[0].a, 0x04070010u);
    EXPECT_EQ(w[0].b, 2u);
    EXPECT_EQ(w[0].c, 1u);

    Apply("item 0x04070020 fail-set");
    EXPECT_FALSE(SetBiosItemValue(0x04070020, 1));
    EXPECT_FALSE(GetBiosItemValue(0x04070077, &v));
}

TEST_F(BiosTest, BoardInformationValues) {
    int out[3] = {-1, -1, -1};
    EXPECT_FALSE(ReadMbifValues(out, 0, 1));  // no package at all
    EXPECT_EQ(out[0], -1);

    Apply("mbif 7");
    EXPECT_FALSE(ReadMbifValues(out, 0, 1));  // fewer than two elements
    EXPECT_EQ(out[0], -1);

    Apply("mbif 100 101 0 1 2 3 4 5 6");
    EXPECT_TRUE(ReadMbifValues(out, 5, 1));
    EXPECT_EQ(out[0], 5);
    EXPECT_TRUE(ReadMbifValues(out, 5, 3));  // cut to what the package holds
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 6);
    EXPECT_EQ(out[2], -1);
    EXPECT_FALSE(ReadMbifValues(out + 2, 7, 1));
    EXPECT_EQ(out[2], -1);

    // A library that returns 0 with a good package: the package counts, not the result.
    Apply("mbif 100 101 0 1 2 3 4 5 6\nmbif-result 0");
    out[0] = -1;
    EXPECT_TRUE(ReadMbifValues(out, 5, 1));
    EXPECT_EQ(out[0], 5);
}

#ifndef QUIL_BIOS_TOOL_BUILD
TEST_F(BiosTest, ParametersAndDeviceBuffers) {
    Apply("item 0x11060009 desc \"SIO\" 0 0\nchip 0xD120 0");
    EXPECT_EQ(SetBiosItemParam(0x11060009, 0x0210, 0x44), 1);
    int v = 0;
    EXPECT_TRUE(GetBiosItemParam(0x11060009, 0x0210, &v));
    EXPECT_EQ(v, 0x44);
    EXPECT_EQ(Board()->sio.hwm[2][0x10], 0x44);

    Apply("buffer 0x040D007D 00");
    uint8_t data[] = {1, 2, 3, 4, 5};
    uint32_t n = sizeof data;
    EXPECT_TRUE(WriteBiosItemBuffer(0x040D007D, data, &n));
    EXPECT_EQ(sim::ItemBuffer(0x040D007D), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_FALSE(WriteBiosItemBuffer(0x040D0070, data, &n));
}
#else
TEST_F(BiosTest, RealValuesReadTheIndexThenScaleIt) {
    Apply("item 0x05000002 value 2");
    double v = 0;
    EXPECT_TRUE(GetBiosItemRealValue(BiosItemManager::Instance().GetItem(0x05000002), &v));
    EXPECT_DOUBLE_EQ(v, 1.26);
    EXPECT_FALSE(GetBiosItemRealValue(BiosItemManager::Instance().GetItem(0x05000003), &v));  // no value
    EXPECT_FALSE(GetBiosItemRealValue(nullptr, &v));
}

TEST(BiosToolBuild, WithoutTheLibraryEveryItemIsAbsent) {
    sim::UseBoardFile(test::FreshBoardFile());
    ASSERT_TRUE(sim::LoadBoardText("item 0x04070010 value 1 desc \"CPU FAN\" 0 5 0 1 3", nullptr));
    EXPECT_FALSE(IsBiosItemPresent(0x04070010));
    int v = 0;
    EXPECT_FALSE(GetBiosItemValue(0x04070010, &v));
}
#endif

}  // namespace
