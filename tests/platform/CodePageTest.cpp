#include "platform/CodePage.h"

#include <gtest/gtest.h>

using namespace keyrix::platform;

TEST(CodePage, AnsiAndUtf8RoundTrip) {
    const std::string ansi = "M\xfcller \x80 5 \xe9t\xe9";  // "Müller € 5 été" in Windows-1252
    const std::string utf8 = "M\xc3\xbcller \xe2\x82\xac 5 \xc3\xa9t\xc3\xa9";
    EXPECT_EQ(AnsiToUtf8(ansi), utf8);
    EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
    EXPECT_EQ(AnsiToUtf8("plain"), "plain");
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarks) {
    // Cyrillic Zhe has no Windows-1252 form; 0x81 is undefined in Windows-1252;
    // a lone continuation byte is no UTF-8.
    EXPECT_EQ(Utf8ToAnsi("a\xd0\x96z"), "a?z");
    EXPECT_EQ(AnsiToUtf8("a\x81z"), "a?z");
    EXPECT_EQ(Utf8ToAnsi("a\x80z"), "a?z");
    EXPECT_EQ(Utf8ToAnsi("end\xc3"), "end?") << "a sequence cut off at the end";
}
