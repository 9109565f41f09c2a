#include "kvx/platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

using namespace kvx::platform;

namespace {

std::string AllBytes() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    return bytes;
}

}  // namespace

TEST(Codepage, AsciiIsUnchangedByEveryConversion) {
    std::string ascii;
    for (int b = 1; b < 128; ++b) ascii.push_back(static_cast<char>(b));
    EXPECT_EQ(OemToAnsi(ascii), ascii);
    EXPECT_EQ(AnsiToOem(ascii), ascii);
    EXPECT_EQ(Utf16ToAnsi(AnsiToUtf16(ascii)), ascii);
    EXPECT_EQ(AnsiToUtf8(ascii), ascii);
    EXPECT_EQ(Utf8ToAnsi(ascii), ascii);
}

TEST(Codepage, GermanLettersBetweenOemAndAnsi) {
    // OEM 850: 8E=Ä 99=Ö 9A=Ü 84=ä 94=ö 81=ü E1=ß; ANSI: C4 D6 DC E4 F6 FC DF.
    const std::string oem = "\x8E\x99\x9A\x84\x94\x81\xE1";
    const std::string ansi = "\xC4\xD6\xDC\xE4\xF6\xFC\xDF";
    EXPECT_EQ(OemToAnsi(oem), ansi);
    EXPECT_EQ(AnsiToOem(ansi), oem);
    EXPECT_EQ(AnsiToUtf16(ansi), u"ÄÖÜäöüß");
    EXPECT_EQ(Utf16ToAnsi(u"ÄÖÜäöüß"), ansi);
    EXPECT_EQ(AnsiToUtf8(ansi), "ÄÖÜäöüß");
    EXPECT_EQ(Utf8ToAnsi("ÄÖÜäöüß"), ansi);
    EXPECT_EQ(OemToAnsiChar('\x8E'), '\xC4');
    EXPECT_EQ(AnsiToUtf16Char('\x80'), u'€');
}

TEST(Codepage, CharactersWithoutAFormBecomeQuestionMarks) {
    // Box drawing (OEM B3) has no ANSI form; the euro sign (ANSI 80) has no OEM 850 form.
    EXPECT_EQ(OemToAnsi("\xB3"), "?");
    EXPECT_EQ(AnsiToOem("\x80"), "?");
    EXPECT_EQ(Utf16ToAnsi(u"a\u4E2Db"), "a?b");
    // A character outside the basic plane is one question mark, not two.
    EXPECT_EQ(Utf16ToAnsi(u"x\U0001F600y"), "x?y");
}

TEST(Codepage, EveryAnsiByteSurvivesUtf16AndUtf8) {
    const std::string all = AllBytes();
    EXPECT_EQ(Utf16ToAnsi(AnsiToUtf16(all)), all);
    EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
}

TEST(Codepage, OemLettersSurviveARoundTripThroughAnsi) {
    // Every OEM byte with an ANSI form comes back unchanged.
    const std::string all = AllBytes();
    const std::string ansi = OemToAnsi(all);
    const std::string back = AnsiToOem(ansi);
    int lost = 0;
    for (int b = 0; b < 256; ++b) {
        if (ansi[b] == '?' && b != '?') {
            ++lost;
            continue;
        }
        EXPECT_EQ(static_cast<unsigned char>(back[b]), b) << "byte " << b;
    }
    // 850 has 128 upper characters; the box-drawing and a few others have no 1252 form.
    EXPECT_GT(lost, 0);
    EXPECT_LT(lost, 64);
}

TEST(Codepage, BrokenUtf8GivesQuestionMarksWithoutSwallowingText) {
    EXPECT_EQ(Utf8ToAnsi("a\xC3"), "a?");    // cut sequence at the end
    EXPECT_EQ(Utf8ToAnsi("a\x80z"), "a?z");  // stray continuation byte
    EXPECT_EQ(Utf8ToAnsi("\xC3(z"), "?(z");  // lead byte without continuation
    EXPECT_EQ(Utf8ToAnsi("\xC0\xAF"), "?");  // overlong form of '/'
    EXPECT_EQ(Utf8ToAnsi("\xFF\xFE"), "??");
}
