#include "setup/Console.h"

#include "common/Exceptions.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

using namespace keyrix;
using platform::TCoord;
using platform::THeadlessConsole;
using platform::TKeyEvent;
using platform::TScreenBuffer;

namespace {

class ConsoleIO : public ::testing::Test {
protected:
    void SetUp() override {
        InPlace.emplace(Con);
        InitConsoleIO();
        ReadConsoleState();
    }
    void TearDown() override {
        SetWindow(0, 0, 0, 0);
        InPlace.reset();
    }

    TScreenBuffer& Buf() { return Con.Buffer(); }

    // Every cell of the buffer holds a mark of its own row: 'A' on row 0, 'B' on row 1 ...
    void FillRowsWithLetters() {
        for (std::int16_t y = 0; y < Buf().Size().Y; ++y)
            Buf().FillCharacter(static_cast<char32_t>(U'A' + y % 26), 80, {0, y});
    }

    // The cells from column left to right (1-based, inclusive) of a row (1-based), as text.
    std::string Cells(int row, int left, int right) {
        std::u32string text;
        for (int x = left; x <= right; ++x)
            text += Buf().Cell(static_cast<std::int16_t>(x - 1), static_cast<std::int16_t>(row - 1)).Char;
        return Utf8Of(text);
    }

    // Every cell outside the rectangle (1-based, inclusive) is as in before.
    void ExpectOutsideUnchanged(const TScreenBuffer& before, int left, int top, int right, int bottom) {
        int changed = 0;
        for (std::int16_t y = 0; y < Buf().Size().Y; ++y)
            for (std::int16_t x = 0; x < Buf().Size().X; ++x) {
                const bool inside = x + 1 >= left && x + 1 <= right && y + 1 >= top && y + 1 <= bottom;
                if (!inside && !(Buf().Cell(x, y) == before.Cell(x, y))) ++changed;
            }
        EXPECT_EQ(changed, 0) << "cells outside the window changed";
    }

    THeadlessConsole Con{80, 40};
    std::optional<platform::TScopedConsoleScreen> InPlace;
};

TEST_F(ConsoleIO, WriterWrapsAtTheWindowEdgeAndScrollsTheWindowAlone) {
    FillRowsWithLetters();
    SetWindow(11, 3, 20, 6);  // 10 columns, 4 rows
    ClearWindow();
    const TScreenBuffer before = Buf();

    WriteText("abcdefghijKLMNOPQRSTuvwxyz0123");
    EXPECT_EQ(Cells(3, 11, 20), "abcdefghij");
    EXPECT_EQ(Cells(4, 11, 20), "KLMNOPQRST");
    EXPECT_EQ(Cells(5, 11, 20), "uvwxyz0123");
    EXPECT_EQ(Buf().Cursor(), (TCoord{10, 5})) << "a full row moves on to the next row's left edge";

    WriteText("row4\nrow5\nrow6");
    EXPECT_EQ(Cells(3, 11, 20), "uvwxyz0123") << "the window's rows moved up twice";
    EXPECT_EQ(Cells(4, 11, 20), "row4      ");
    EXPECT_EQ(Cells(5, 11, 20), "row5      ");
    EXPECT_EQ(Cells(6, 11, 20), "row6      ");
    EXPECT_EQ(Buf().Cursor(), (TCoord{14, 5})) << "a line feed on the bottom row leaves the cursor there";
    ExpectOutsideUnchanged(before, 11, 3, 20, 6);
}

TEST_F(ConsoleIO, WindowInTheBufferCornerScrollsInsideTheWindow) {
    // Right edge on the buffer's last column, bottom on its last row: the buffer's own wrap
    // after the last column would scroll the whole buffer.
    FillRowsWithLetters();
    SetWindow(71, 39, 80, 40);
    ClearWindow();
    const TScreenBuffer before = Buf();
    WriteText("0123456789abcdefghijABCDE");
    EXPECT_EQ(Cells(39, 71, 80), "abcdefghij");
    EXPECT_EQ(Cells(40, 71, 80), "ABCDE     ");
    ExpectOutsideUnchanged(before, 71, 39, 80, 40);
}

TEST_F(ConsoleIO, TabStopsCountFromTheStartOfThePendingLine) {
    struct Case {
        int column;        // where the cursor starts in the window
        const char* text;
        const char* row;   // the window's first row afterwards
        const char* next;  // its second row
    };
    const auto pad = [](const std::string& text) { return (text + std::string(30, ' ')).substr(0, 30); };
    for (const Case& c : {Case{1, "ab\tc", "ab      c", ""}, Case{4, "\tX", "           X", ""},
                          Case{1, "abcdefg\tZ", "abcdefg Z", ""}, Case{1, "a\tb\tc", "a       b       c", ""},
                          Case{3, "x\rab\tc", "ab      c", ""},
                          Case{1, "abcdefghijklmnopqrstuvwxyz12\tZ", "abcdefghijklmnopqrstuvwxyz12", "Z"}}) {
        SetWindow(0, 0, 0, 0);
        ClearWindow();
        SetWindow(11, 3, 40, 6);  // 30 columns
        MoveCursor(c.column, 1);
        WriteText(c.text);
        EXPECT_EQ(Cells(3, 11, 40), pad(c.row)) << c.text;
        EXPECT_EQ(Cells(4, 11, 40), pad(c.next)) << c.text;
    }
}

TEST_F(ConsoleIO, BackspaceRemovesPendingCharactersOnly) {
    SetWindow(11, 3, 30, 6);
    MoveCursor(1, 1);
    WriteText("abc\bd");
    EXPECT_EQ(Cells(3, 11, 14), "abd ");
    MoveCursor(3, 2);
    WriteText("\bX");
    EXPECT_EQ(Cells(4, 11, 14), "  X ") << "nothing pending: the cursor stays";
}

TEST_F(ConsoleIO, BellSoundsAndWritesNothing) {
    SetWindow(11, 3, 30, 6);
    MoveCursor(1, 1);
    WriteText("a\ab");
    EXPECT_EQ(Cells(3, 11, 13), "ab ");
    EXPECT_EQ(Con.Tones, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{800, 200}}));
}

TEST_F(ConsoleIO, InsertAndDeleteLineMoveTheWindowsRowsOnly) {
    FillRowsWithLetters();
    SetTextBackground(1);
    SetWindow(11, 3, 20, 6);  // rows C, D, E, F
    MoveCursor(4, 2);
    InsertLine();
    EXPECT_EQ(Cells(3, 11, 20), "CCCCCCCCCC");
    EXPECT_EQ(Cells(4, 11, 20), "          ");
    EXPECT_EQ(Cells(5, 11, 20), "DDDDDDDDDD");
    EXPECT_EQ(Cells(6, 11, 20), "EEEEEEEEEE") << "the bottom row is lost";
    EXPECT_EQ(Cells(4, 1, 10), "DDDDDDDDDD") << "columns outside the window stay";
    EXPECT_EQ(Cells(4, 21, 22), "DD");
    EXPECT_EQ(Cells(7, 11, 20), "GGGGGGGGGG") << "rows below the window stay";
    EXPECT_EQ(Buf().Cell(10, 3).Attributes, 0x17) << "the new row is blank in the current attribute";
    EXPECT_EQ(Buf().Cursor(), (TCoord{13, 3})) << "the cursor stays";

    DeleteLine();
    EXPECT_EQ(Cells(4, 11, 20), "DDDDDDDDDD");
    EXPECT_EQ(Cells(5, 11, 20), "EEEEEEEEEE");
    EXPECT_EQ(Cells(6, 11, 20), "          ");
    EXPECT_EQ(Buf().Cell(15, 5).Attributes, 0x17);
    EXPECT_EQ(Cells(6, 21, 22), "FF");

    MoveCursor(1, 4);  // the bottom row: deleting it blanks it
    Buf().FillCharacter(U'z', 10, {10, 5});
    DeleteLine();
    EXPECT_EQ(Cells(6, 11, 20), "          ");
    EXPECT_EQ(Cells(5, 11, 20), "EEEEEEEEEE");
}

TEST_F(ConsoleIO, MoveCursorOutsideTheWindowIsIgnored) {
    SetWindow(11, 3, 20, 6);
    MoveCursor(2, 2);
    const TCoord inside{11, 3};
    EXPECT_EQ(Buf().Cursor(), inside);
    for (auto [x, y] : std::vector<std::pair<int, int>>{{0, 1}, {1, 0}, {11, 1}, {1, 5}, {-3, 2}, {100, 100}}) {
        MoveCursor(x, y);
        EXPECT_EQ(Buf().Cursor(), inside) << x << "," << y;
    }
    MoveCursor(10, 4);
    EXPECT_EQ(Buf().Cursor(), (TCoord{19, 5}));
}

TEST_F(ConsoleIO, InvalidWindowRestoresTheWholeBufferAndTheNormalWriter) {
    for (auto [l, t, r, b] : std::vector<std::array<int, 4>>{{0, 0, 0, 0}, {5, 1, 5, 3}, {1, 1, 81, 40}, {1, 2, 10, 1}}) {
        SetWindow(11, 3, 20, 6);
        SetWindow(l, t, r, b);
        ClearWindow();
        EXPECT_EQ(Buf().Cursor(), (TCoord{0, 0})) << l << "," << t << "," << r << "," << b;
        WriteText(std::string(85, 'x'));
        EXPECT_EQ(Buf().RowText(0), std::string(80, 'x')) << "wraps at the buffer's edge, not the window's";
        EXPECT_EQ(Buf().RowText(1), std::string(5, 'x'));
    }
}

TEST_F(ConsoleIO, ColoursAndClearing) {
    SetTextBackground(1);
    SetTextColor(14);
    EXPECT_EQ(Buf().Attributes(), 0x1E);
    EXPECT_EQ(TextColor(), 14);
    EXPECT_EQ(TextBackground(), 1);
    SetTextColor(0x2A);
    EXPECT_EQ(TextColor(), 0x0A) << "the colour takes four bits";
    EXPECT_EQ(TextBackground(), 1);

    FillRowsWithLetters();
    SetWindow(11, 3, 20, 6);
    MoveCursor(5, 2);
    ClearToLineEnd();
    EXPECT_EQ(Cells(4, 11, 21), "DDDD      D");
    EXPECT_EQ(Buf().Cell(14, 3).Attributes, 0x1A);
    EXPECT_EQ(Buf().Cursor(), (TCoord{14, 3}));

    ClearWindow();
    for (int row = 3; row <= 6; ++row) EXPECT_EQ(Cells(row, 10, 21), std::string(1, char('A' + row - 1)) + std::string(10, ' ') + char('A' + row - 1));
    EXPECT_EQ(Buf().Cursor(), (TCoord{10, 2}));
}

TEST_F(ConsoleIO, WriteRawIgnoresTheWindow) {
    SetWindow(11, 3, 20, 6);
    MoveCursor(1, 1);
    WriteRaw("0123456789abcde");
    EXPECT_EQ(Cells(3, 11, 25), "0123456789abcde");
    WriteRaw("");
    EXPECT_EQ(Buf().Cursor(), (TCoord{0, 3})) << "an empty text is a new line";
}

TEST_F(ConsoleIO, GeometryGrowsOnly) {
    GrowBuffer(10, 10);
    EXPECT_EQ(BufferWidth(), 80);
    EXPECT_EQ(BufferHeight(), 40);
    GrowBuffer(100, 50);
    EXPECT_EQ(BufferWidth(), 100);
    EXPECT_EQ(BufferHeight(), 50);
    EXPECT_EQ(VisibleWidth(), 80);
    EXPECT_EQ(VisibleHeight(), 40);
    Buf().SetWindow({20, 10, 59, 29});
    GrowWindow(10, 10);
    EXPECT_EQ(Buf().Window(), (platform::TSmallRect{0, 0, 39, 19})) << "placed at the top-left, not smaller";
}

TEST_F(ConsoleIO, SoundBelow37HertzIsSilent) {
    Sound(36, 100);
    Sound(37, 100);
    EXPECT_EQ(Con.Tones, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{37, 100}}));
}

TEST_F(ConsoleIO, ReadKeyGivesCharactersAndExtendedCodes) {
    using platform::LEFT_ALT_PRESSED;
    using platform::LEFT_CTRL_PRESSED;
    using platform::RIGHT_CTRL_PRESSED;
    using platform::SHIFT_PRESSED;
    struct Case {
        const char* name;
        std::vector<TKeyEvent> events;
        std::vector<char32_t> codes;
    };
    const auto down = [](std::uint16_t vk, std::uint32_t mods = 0, char32_t ch = 0) {
        return TKeyEvent{true, vk, ch, mods};
    };
    const std::vector<Case> cases = {
        {"Up", {down(platform::VK_UP)}, {0, 72}},
        {"Ctrl+Up", {down(platform::VK_UP, LEFT_CTRL_PRESSED)}, {0, 141}},
        {"a bare Shift, then a", {down(platform::VK_SHIFT, SHIFT_PRESSED), down('A', 0, U'a')}, {U'a'}},
        {"a bare Ctrl, then Enter", {down(platform::VK_CONTROL, LEFT_CTRL_PRESSED), down(platform::VK_RETURN, 0, 13)}, {13}},
        {"key up skipped", {TKeyEvent{false, platform::VK_DOWN, 0, 0}, down(platform::VK_DOWN)}, {0, 80}},
        {"F1", {down(platform::VK_F1)}, {0, 59}},
        {"Shift+F1", {down(platform::VK_F1, SHIFT_PRESSED)}, {0, 84}},
        {"Ctrl+F1", {down(platform::VK_F1, RIGHT_CTRL_PRESSED)}, {0, 94}},
        {"Alt+F1", {down(platform::VK_F1, LEFT_ALT_PRESSED)}, {0, 104}},
        {"F10", {down(0x79)}, {0, 68}},
        {"F11", {down(0x7A)}, {0, 133}},
        {"F12", {down(platform::VK_F12)}, {0, 134}},
        {"Ctrl+F12", {down(platform::VK_F12, LEFT_CTRL_PRESSED)}, {0, 138}},
        {"Alt wins over Ctrl", {down(platform::VK_NEXT, LEFT_ALT_PRESSED | LEFT_CTRL_PRESSED)}, {0, 161}},
        {"Ctrl+Home", {down(platform::VK_HOME, LEFT_CTRL_PRESSED)}, {0, 119}},
        {"Shift+End", {down(platform::VK_END, SHIFT_PRESSED)}, {0, 79}},
        {"Del", {down(platform::VK_DELETE)}, {0, 83}},
        {"Ins", {down(platform::VK_INSERT)}, {0, 82}},
        {"Shift+Tab", {down(platform::VK_TAB, SHIFT_PRESSED)}, {0, 15}},
        {"Alt+X", {down('X', LEFT_ALT_PRESSED)}, {0, 45}},
        {"a letter without its character, then Esc", {down('Q'), down(platform::VK_ESCAPE, 0, 27)}, {27}},
        {"Shift+keypad 8", {down(0x68, SHIFT_PRESSED)}, {0, 72}},
        {"a character beyond ASCII", {down(0, 0, U'\u00e9')}, {U'\u00e9'}},
        {"Ctrl+C as its character", {down('C', LEFT_CTRL_PRESSED, 3)}, {3}},
        {"an unknown key, then Tab", {down(0xFF), down(platform::VK_TAB, 0, 9)}, {9}},
    };
    for (const Case& c : cases) {
        Con.Input.assign(c.events.begin(), c.events.end());
        std::vector<char32_t> codes;
        for (std::size_t i = 0; i < c.codes.size(); ++i) codes.push_back(ReadKey());
        EXPECT_EQ(codes, c.codes) << c.name;
        EXPECT_TRUE(Con.Input.empty()) << c.name;
    }
    EXPECT_GT(Con.Presented, 0) << "the screen shows before a key is awaited";
    EXPECT_THROW(ReadKey(), platform::EConsoleInputEnd);
}

TEST(ConsoleIOWithoutConsole, NamesWhatIsMissing) {
    ASSERT_EQ(platform::ConsoleScreen(), nullptr) << "no test left its console in place";
    try {
        InitConsoleIO();
        FAIL() << "no error";
    } catch (const ENotAvailable& e) {
        EXPECT_NE(e.Message().find("no console"), std::string::npos) << e.Message();
    }
}

TEST(ConsoleText, Utf8AndCodePoints) {
    EXPECT_EQ(CodePointsOf("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), (std::u32string{U'a', U'\u00e9', U'\u20ac', U'\U0001F600'}));
    EXPECT_EQ(CodePointsOf("\xff" "a\xc3"), (std::u32string{U'\uFFFD', U'a', U'\uFFFD'}));
    EXPECT_EQ(CodePointsOf("\xc0\xaf"), (std::u32string{U'\uFFFD', U'\uFFFD'})) << "overlong";
    EXPECT_EQ(CodePointsOf("\xed\xa0\x80"), (std::u32string(3, U'\uFFFD'))) << "a surrogate";
    EXPECT_EQ(Utf8Of(U"a\u00e9\u20ac\U0001F600"), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
}

}  // namespace
