// The host's value handling and the OLE-automation stand-in it shares with the plug-in.

#include "values.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "fenlodrv/oleauto.h"
#include "namespace_tree.h"
#include "session.h"

namespace kvx::host {
namespace {

using ::testing::ElementsAre;

BSTR bstrOf(const VARIANT& v) {
    BSTR text = nullptr;
    std::memcpy(&text, &v.value, sizeof(text));
    return text;
}

TEST(OleAuto, BstrCarriesItsByteLengthBeforeTheTextAndATerminator) {
    const OLECHAR text[] = {u'K', u'V', 0x00E4, u'X', 0};
    BSTR b = SysAllocString(text);
    ASSERT_NE(b, nullptr);
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(b) - 4, 4);
    EXPECT_EQ(prefix, 8u);
    EXPECT_EQ(SysStringLen(b), 4u);
    EXPECT_EQ(b[2], 0x00E4);
    EXPECT_EQ(b[4], 0);
    SysFreeString(b);

    // Embedded zeros are kept by length.
    const OLECHAR withZero[] = {u'a', 0, u'b'};
    b = SysAllocStringLen(withZero, 3);
    EXPECT_EQ(SysStringLen(b), 3u);
    EXPECT_EQ(b[2], u'b');
    SysFreeString(b);

    b = SysAllocStringLen(nullptr, 2);  // room only, zero-filled
    EXPECT_EQ(SysStringLen(b), 2u);
    EXPECT_EQ(b[0], 0);
    SysFreeString(b);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(OleAuto, VariantClearFreesTheTextAndEmptiesTheVariant) {
    VARIANT v;
    std::memset(static_cast<void*>(&v), 0x5A, sizeof(v));
    VariantInit(&v);
    EXPECT_EQ(+v.vt, VT_EMPTY);
    EXPECT_EQ(+v.value.llVal, 0);

    const OLECHAR text[] = {u'h', u'i', 0};
    BSTR b = SysAllocString(text);
    v.vt = VT_BSTR;
    std::memcpy(&v.value, &b, sizeof(b));
    EXPECT_EQ(VariantClear(&v), 0);  // the leak checker sees a missed free
    EXPECT_EQ(+v.vt, VT_EMPTY);
#if !defined(_WIN32)
    // The stand-in also clears the value; the system's VariantClear leaves it as it was.
    EXPECT_EQ(bstrOf(v), nullptr);
#endif

    v.vt = VT_R8;
    v.value.dblVal = 1.5;
    VariantClear(&v);
    EXPECT_EQ(+v.vt, VT_EMPTY);
}

TEST(OleAuto, FileTimeCountsTenthsOfMicrosecondsSince1601) {
    FILETIME now{};
    CoFileTimeNow(&now);
    const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    const auto unixSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    const auto expected = static_cast<std::uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
    EXPECT_LT(ticks > expected ? ticks - expected : expected - ticks, 50000000ULL);  // 5 s
    EXPECT_EQ(FileTimeToText(FILETIME{0xD53E8000u, 0x019DB1DEu}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(FileTimeToText(FILETIME{0, 0}), "");
}

TEST(HostValues, Utf8AndUtf16RoundTripIncludingSurrogatesAndBadBytes) {
    const std::string text =
        "Temp \xC2\xB0"
        "C \xE2\x82\xAC \xF0\x9F\x98\x80";
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide, u"Temp \u00B0C \u20AC \U0001F600");
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD\uFFFD");  // cut sequence
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(HostValues, ParseValueConvertsToTheRegisteredTypeWithinItsRange) {
    std::string error;
    auto v = ParseValue(VT_I2, "-32768", error);
    ASSERT_TRUE(v);
    EXPECT_EQ(+v->vt, VT_I2);
    EXPECT_EQ(+v->value.iVal, -32768);
    EXPECT_FALSE(ParseValue(VT_I2, "32768", error));
    EXPECT_NE(error.find("VT_I2"), std::string::npos);
    EXPECT_FALSE(ParseValue(VT_UI1, "256", error));
    EXPECT_FALSE(ParseValue(VT_UI2, "-1", error));
    EXPECT_FALSE(ParseValue(VT_I4, "12abc", error));
    EXPECT_FALSE(ParseValue(VT_I4, "", error));
    EXPECT_EQ(+ParseValue(VT_UI4, "+4294967295", error)->value.ulVal, 4294967295u);
    EXPECT_FLOAT_EQ(+ParseValue(VT_R4, "2.5e1", error)->value.fltVal, 25.0f);
    EXPECT_FALSE(ParseValue(VT_R4, "1e39", error));
    EXPECT_FALSE(ParseValue(VT_R8, "nan", error));
    EXPECT_EQ(+ParseValue(VT_BOOL, "true", error)->value.boolVal, -1);
    EXPECT_EQ(+ParseValue(VT_BOOL, "0", error)->value.boolVal, 0);
    EXPECT_FALSE(ParseValue(VT_BOOL, "yes", error));
    EXPECT_FALSE(ParseValue(65535, "1", error));
    EXPECT_NE(error.find("65535"), std::string::npos);

    auto text = ParseValue(VT_BSTR, "Ofen \xC3\xA4", error);
    ASSERT_TRUE(text);
    EXPECT_EQ(+text->vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(bstrOf(*text)), 6u);
    EXPECT_EQ(VariantToJson(*text), "Ofen \xC3\xA4");
    VariantClear(&*text);
}

TEST(HostValues, VariantToJsonGivesNumbersForNumbersAndNullForTheUnknown) {
    VARIANT v = ZeroVariant(VT_R4);
    v.value.fltVal = 0.1f;
    EXPECT_EQ(VariantToJson(v).dump(), "0.1");
    v = ZeroVariant(VT_UI4);
    v.value.ulVal = 4000000000u;
    EXPECT_EQ(VariantToJson(v), 4000000000u);
    v = ZeroVariant(VT_BOOL);
    v.value.boolVal = 1;
    EXPECT_EQ(VariantToJson(v), 1);
    v = ZeroVariant(VT_BSTR);  // a null text is an empty one
    EXPECT_EQ(VariantToJson(v), "");
    EXPECT_TRUE(VariantToJson(ZeroVariant(VT_EMPTY)).is_null());
    EXPECT_TRUE(VariantToJson(ZeroVariant(31002)).is_null());
}

TEST(HostSession, CommandLinesSplitAtBlanksWithQuotes) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(SplitCommandLine("  write A.B=\"two words\" C=\"say \\\"hi\\\"\"  ", words, error));
    EXPECT_THAT(words, ElementsAre("write", "A.B=two words", "C=say \"hi\""));
    ASSERT_TRUE(SplitCommandLine("read X=\"\"", words, error));
    EXPECT_THAT(words, ElementsAre("read", "X="));
    EXPECT_FALSE(SplitCommandLine("write A=\"open", words, error));
    EXPECT_EQ(error, "unterminated quote");
}

TEST(HostNamespace, PathsJoinNamesFromTheRootAndTheFirstOfTwoEqualPathsCounts) {
    NamespaceTree tree;
    std::uint32_t adr = 0, folder = 0;
    tree.addNode(0, "ADR03", &adr);
    tree.addTag(adr, "DEVICE_ID", VT_BSTR, 1, 11, 0);
    tree.addNode(adr, "Analog", &folder);
    tree.addTag(folder, "Temp", 0x10004, 3, 12, 0);  // high bits are not the VARIANT type
    tree.addTag(folder, "Temp", VT_I2, 1, 13, 0);
    tree.addNode(0, "Gr\xE4t", &folder);  // ANSI name
    EXPECT_EQ(tree.listing(),
              "node\tADR03\ntag\tADR03.DEVICE_ID\t8\t1\nnode\tADR03.Analog\n"
              "tag\tADR03.Analog.Temp\t4\t3\ntag\tADR03.Analog.Temp\t2\t1\nnode\tGr\xC3\xA4t\n");
    const auto item = tree.find("ADR03.Analog.Temp");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->handle, 12u);
    EXPECT_EQ(+item->vt, VT_R4);
    EXPECT_FALSE(tree.find("ADR03.Analog"));
    EXPECT_NE(adr, folder);
}

}  // namespace
}  // namespace kvx::host
