#include "platform/ConsoleScreen.h"

#include "common/Exceptions.h"

#include <gtest/gtest.h>

using namespace keyrix;
using namespace keyrix::platform;

namespace {

std::string Row(const TScreenBuffer& b, int y) { return b.RowText(static_cast<std::int16_t>(y)); }

TEST(ScreenBuffer, WriteWrapsAtTheEdgeAndScrollsBelowTheLastLine) {
    TScreenBuffer b(10, 3);
    b.SetAttributes(0x1E);
    b.Write(U"0123456789abcdefghijKLMNOPQRSTxy");
    EXPECT_EQ(Row(b, 0), "abcdefghij") << "the first line scrolled away";
    EXPECT_EQ(Row(b, 1), "KLMNOPQRST");
    EXPECT_EQ(Row(b, 2), "xy");
    EXPECT_EQ(b.Cursor(), (TCoord{2, 2}));
    EXPECT_EQ(b.Cell(5, 2).Attributes, 0x1E) << "the new line is blank in the current attributes";
    b.Write(U"\rZ\n\bQ");
    EXPECT_EQ(Row(b, 1), "Zy");
    EXPECT_EQ(Row(b, 2), "Q") << "backspace at the line's start stays there";
}

TEST(ScreenBuffer, ScrollMovesInsideTheClipAndFillsWhatItLeaves) {
    TScreenBuffer b(6, 4);
    for (std::int16_t y = 0; y < 4; ++y) b.FillCharacter(static_cast<char32_t>(U'a' + y), 6, {0, y});
    // Rows 1 to 3, columns 1 to 4, one row up, clipped to rows 1 to 3.
    const TSmallRect rows{1, 1, 4, 3};
    b.Scroll(rows, rows, {1, 0}, {U'.', 0x70});
    EXPECT_EQ(Row(b, 0), "aaaaaa") << "above the clip nothing changes";
    EXPECT_EQ(Row(b, 1), "bccccb");
    EXPECT_EQ(Row(b, 2), "cddddc");
    EXPECT_EQ(Row(b, 3), "d....d");
    EXPECT_EQ(b.Cell(2, 3).Attributes, 0x70);
}

TEST(ScreenBuffer, SizeWindowAndCursor) {
    TScreenBuffer b(20, 10);
    b.Write(U"keep");
    b.SetMaximumWindowSize({8, 4});
    EXPECT_EQ(b.Window(), (TSmallRect{0, 0, 7, 3}));
    EXPECT_TRUE(b.SetCursorPosition({15, 8}));
    EXPECT_EQ(b.Window(), (TSmallRect{8, 5, 15, 8})) << "the window follows the cursor";
    EXPECT_FALSE(b.SetCursorPosition({20, 0}));
    EXPECT_EQ(b.Cursor(), (TCoord{15, 8}));
    EXPECT_FALSE(b.SetWindow({0, 0, 20, 3})) << "past the buffer";
    EXPECT_TRUE(b.SetWindow({0, 0, 19, 9}));
    EXPECT_EQ(b.Window(), (TSmallRect{0, 0, 7, 3})) << "cut to the largest window";
    EXPECT_TRUE(b.SetSize({6, 3}));
    EXPECT_EQ(Row(b, 0), "keep");
    EXPECT_EQ(b.Cursor(), (TCoord{5, 2})) << "kept inside";
    EXPECT_EQ(b.Window(), (TSmallRect{0, 0, 5, 2}));
    EXPECT_FALSE(b.SetSize({0, 3}));
}

TEST(ScreenBuffer, CellOutsideTheBufferIsAnError) {
    TScreenBuffer b(4, 2);
    b.Write(U"abcdef");
    EXPECT_EQ(b.Cell(3, 0).Char, U'd');
    EXPECT_EQ(b.Cell(0, 1).Char, U'e');
    for (auto [x, y] : std::vector<std::pair<int, int>>{{4, 0}, {-1, 1}, {0, 2}, {0, -1}}) {
        try {
            (void)b.Cell(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
            ADD_FAILURE() << "no error for " << x << "," << y;
        } catch (const EBugCheckError& e) {
            EXPECT_NE(e.Message().find("4 x 2"), std::string::npos) << e.Message();
        }
    }
}

TEST(HeadlessConsole, ScriptedKeysThenTheEnd) {
    THeadlessConsole console(10, 2);
    console.Type(U"a1");
    console.Press(VK_UP, LEFT_CTRL_PRESSED);
    EXPECT_EQ(console.ReadInput(), (TKeyEvent{true, 'A', U'a', 0}));
    EXPECT_EQ(console.ReadInput(), (TKeyEvent{true, '1', U'1', 0}));
    EXPECT_EQ(console.ReadInput(), (TKeyEvent{true, VK_UP, 0, LEFT_CTRL_PRESSED}));
    EXPECT_THROW(console.ReadInput(), EConsoleInputEnd);
}

}  // namespace
