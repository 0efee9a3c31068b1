#include "common/TextUtils.h"

#include <gtest/gtest.h>

using namespace keyrix;
using Strings = std::vector<std::string>;

TEST(TextUtils, SameTextFoldsAsciiLettersOnly) {
    EXPECT_TRUE(SameText("LocalSystem", "LOCALSYSTEM"));
    EXPECT_TRUE(SameText("", ""));
    EXPECT_FALSE(SameText("Basic", "Basic "));
    EXPECT_FALSE(SameText("[", "{")) << "only letters fold: '[' is not '{' in any case";
    EXPECT_FALSE(SameText("\xc4", "\xe4")) << "8-bit letters are not ASCII letters";
}

TEST(TextUtils, TrimTakesBlanksAndTabsByDefault) {
    EXPECT_EQ(Trim(" \t value \t"), "value");
    EXPECT_EQ(Trim("  "), "");
    EXPECT_EQ(Trim("a\r\n"), "a\r\n") << "line ends are text unless asked for";
    EXPECT_EQ(Trim("\r\n a \n", " \r\n"), "a");
    EXPECT_EQ(TrimLeft("  a  "), "a  ");
    EXPECT_EQ(TrimRight("  a  "), "  a");
}

TEST(TextUtils, SplitNulEndsAtAnEmptyStringOnlyWhenAsked) {
    using namespace std::string_literals;
    const struct {
        std::string Data;
        bool StopAtEmpty;
        Strings Expected;
    } cases[] = {
        {"a\0b\0\0"s, true, {"a", "b"}},
        {"a\0b"s, true, {"a", "b"}},
        {"a\0\0b\0\0"s, true, {"a"}},
        {""s, true, {}},
        {"prog\0\0/SVC\0"s, false, {"prog", "", "/SVC"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitNul(c.Data, c.StopAtEmpty), c.Expected) << c.Data.size();
}

TEST(TextUtils, VisibleTextWritesControlCharactersVisibly) {
    using namespace std::string_literals;
    struct {
        std::string Text, Expected;
    } cases[] = {
        {"\r\nSync finished at 01/01/26 00:00:00", "\\r\\nSync finished at 01/01/26 00:00:00"},
        {"a\tb\x1b[2Jc\x7f", "a\\tb\\x1b[2Jc\\x7f"},
        {"nul\0one\x01"s, "nul\\x00one\\x01"},
        {"M\xfcller \x80 C:\\BKE", "M\xfcller \x80 C:\\BKE"},  // 8-bit text and backslashes stay
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(VisibleText(c.Text), c.Expected) << c.Text;
    EXPECT_EQ(VisibleText("a\nb\tc\rd", "\n\t"), "a\nb\tc\\rd") << "the characters kept stay";
}

TEST(TextUtils, LittleEndianRoundTrip) {
    std::string bytes;
    AppendUInt16LE(bytes, 0xBEEF);
    AppendUInt32LE(bytes, 0x80010203u);
    EXPECT_EQ(bytes, std::string("\xEF\xBE\x03\x02\x01\x80", 6));
    EXPECT_EQ(ReadUInt16LE(bytes, 0), 0xBEEF);
    EXPECT_EQ(ReadUInt32LE(bytes, 2), 0x80010203u);
}
