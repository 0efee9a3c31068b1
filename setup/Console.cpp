#include "setup/Console.h"

#include "common/Exceptions.h"

#include <algorithm>
#include <array>
#include <vector>

namespace keyrix {

using platform::TCoord;
using platform::TScreenBuffer;
using platform::TSmallRect;

namespace {

struct TConsoleState {
    TSmallRect Window;  // 0-based buffer cells, inclusive
    std::uint8_t Attribute = 0x07;
    TCoord BufferSize{80, 25};
    TCoord VisibleSize{80, 25};
    std::uint8_t PendingExtended = 0;
    bool WindowWriter = false;  // WriteText wraps and scrolls inside the window
};

TConsoleState& State() {
    static TConsoleState state;
    return state;
}

platform::IConsoleScreen& Screen() {
    platform::IConsoleScreen* console = platform::ConsoleScreen();
    if (console == nullptr) throw ENotAvailable("The settings menu has no console to draw on");
    return *console;
}

TScreenBuffer& Buffer() { return Screen().Buffer(); }

std::int16_t S16(int value) { return static_cast<std::int16_t>(value); }

int WindowWidth() { return State().Window.Right - State().Window.Left + 1; }

// Extended keys: the code for the key alone, with Shift, with Ctrl and with Alt. 0x100 + n
// stands for extended code n, a value below 0x100 for a key that arrives as its character,
// 0xFFFF for none.
struct TExtendedKey {
    std::uint16_t VirtualKey;
    std::uint16_t Plain, Shift, Ctrl, Alt;
};

constexpr std::uint16_t X(int code) { return static_cast<std::uint16_t>(0x100 + code); }
constexpr std::uint16_t None = 0xFFFF;

constexpr TExtendedKey ExtendedKeys[] = {
    {0x08, 8, 8, 127, X(14)},             // Backspace
    {0x09, 9, X(15), X(148), X(165)},     // Tab
    {0x0D, 13, 13, 10, X(28)},            // Enter
    {0x1B, 27, 27, 27, X(1)},             // Esc
    {0x20, 32, 32, 32, X(57)},            // space
    {0x21, X(73), X(73), X(132), X(153)},  // PgUp
    {0x22, X(81), X(81), X(118), X(161)},  // PgDn
    {0x23, X(79), X(79), X(117), X(159)},  // End
    {0x24, X(71), X(71), X(119), X(151)},  // Home
    {0x25, X(75), X(75), X(115), X(155)},  // Left
    {0x26, X(72), X(72), X(141), X(152)},  // Up
    {0x27, X(77), X(77), X(116), X(157)},  // Right
    {0x28, X(80), X(80), X(145), X(160)},  // Down
    {0x2D, X(82), X(82), X(146), X(162)},  // Ins
    {0x2E, X(83), X(83), X(147), X(163)},  // Del
    {0x30, '0', ')', None, X(129)},
    {0x31, '1', '!', None, X(120)},
    {0x32, '2', '@', X(3), X(121)},
    {0x33, '3', '#', None, X(122)},
    {0x34, '4', '$', None, X(123)},
    {0x35, '5', '%', None, X(124)},
    {0x36, '6', '^', 30, X(125)},
    {0x37, '7', '&', None, X(126)},
    {0x38, '8', '*', None, X(127)},
    {0x39, '9', '(', None, X(128)},
    {0x41, 'a', 'A', 1, X(30)},
    {0x42, 'b', 'B', 2, X(48)},
    {0x43, 'c', 'C', 3, X(46)},
    {0x44, 'd', 'D', 4, X(32)},
    {0x45, 'e', 'E', 5, X(18)},
    {0x46, 'f', 'F', 6, X(33)},
    {0x47, 'g', 'G', 7, X(34)},
    {0x48, 'h', 'H', 8, X(35)},
    {0x49, 'i', 'I', 9, X(23)},
    {0x4A, 'j', 'J', 10, X(36)},
    {0x4B, 'k', 'K', 11, X(37)},
    {0x4C, 'l', 'L', 12, X(38)},
    {0x4D, 'm', 'M', 13, X(50)},
    {0x4E, 'n', 'N', 14, X(49)},
    {0x4F, 'o', 'O', 15, X(24)},
    {0x50, 'p', 'P', 16, X(25)},
    {0x51, 'q', 'Q', 17, X(16)},
    {0x52, 'r', 'R', 18, X(19)},
    {0x53, 's', 'S', 19, X(31)},
    {0x54, 't', 'T', 20, X(20)},
    {0x55, 'u', 'U', 21, X(22)},
    {0x56, 'v', 'V', 22, X(47)},
    {0x57, 'w', 'W', 23, X(17)},
    {0x58, 'x', 'X', 24, X(45)},
    {0x59, 'y', 'Y', 25, X(21)},
    {0x5A, 'z', 'Z', 26, X(44)},
    // Keypad digits: with NumLock on Shift gives the navigation key printed on them.
    {0x60, '0', X(82), X(146), None},
    {0x61, '1', X(79), X(117), None},
    {0x62, '2', X(80), X(145), None},
    {0x63, '3', X(81), X(118), None},
    {0x64, '4', X(75), X(115), None},
    {0x65, '5', X(76), X(143), None},
    {0x66, '6', X(77), X(116), None},
    {0x67, '7', X(71), X(119), None},
    {0x68, '8', X(72), X(141), None},
    {0x69, '9', X(73), X(132), None},
    {0x6A, '*', '*', X(150), X(55)},   // keypad *
    {0x6B, '+', '+', X(144), X(78)},   // keypad +
    {0x6D, '-', '-', X(142), X(74)},   // keypad -
    {0x6E, '.', '.', X(147), None},    // keypad .
    {0x6F, '/', '/', X(149), X(164)},  // keypad /
    {0x70, X(59), X(84), X(94), X(104)},   // F1
    {0x71, X(60), X(85), X(95), X(105)},
    {0x72, X(61), X(86), X(96), X(106)},
    {0x73, X(62), X(87), X(97), X(107)},
    {0x74, X(63), X(88), X(98), X(108)},
    {0x75, X(64), X(89), X(99), X(109)},
    {0x76, X(65), X(90), X(100), X(110)},
    {0x77, X(66), X(91), X(101), X(111)},
    {0x78, X(67), X(92), X(102), X(112)},
    {0x79, X(68), X(93), X(103), X(113)},  // F10
    {0x7A, X(133), X(135), X(137), X(139)},  // F11
    {0x7B, X(134), X(136), X(138), X(140)},  // F12
    {0xBA, ';', ':', None, X(39)},
    {0xBB, '=', '+', None, X(131)},
    {0xBC, ',', '<', None, X(51)},
    {0xBD, '-', '_', 31, X(130)},
    {0xBE, '.', '>', None, X(52)},
    {0xBF, '/', '?', None, X(53)},
    {0xC0, '`', '~', None, X(41)},
    {0xDB, '[', '{', 27, X(26)},
    {0xDC, '\\', '|', 28, X(43)},
    {0xDD, ']', '}', 29, X(27)},
    {0xDE, '\'', '"', None, X(40)},
};

const TExtendedKey* FindExtendedKey(std::uint16_t virtualKey) {
    for (const TExtendedKey& key : ExtendedKeys)
        if (key.VirtualKey == virtualKey) return &key;
    return nullptr;
}

// The window-aware writer's line feed: one row down, or on the window's bottom row the
// window's rows move up and the cursor stays.
void WindowLineFeed() {
    TScreenBuffer& buffer = Buffer();
    const TSmallRect& w = State().Window;
    TCoord cursor = buffer.Cursor();
    if (cursor.Y < w.Bottom) {
        ++cursor.Y;
        buffer.SetCursorPosition(cursor);
    } else {
        buffer.Scroll(w, w, {w.Left, S16(w.Top - 1)}, {U' ', State().Attribute});
    }
}

void WindowCarriageReturn() {
    TScreenBuffer& buffer = Buffer();
    buffer.SetCursorPosition({State().Window.Left, buffer.Cursor().Y});
}

// Writes the pending characters at the cursor. The buffer would move the cursor on to the
// next row (and scroll everything) after its last column; the writer places the cursor
// itself, so a character there is put in place without moving the cursor.
void WindowFlush(std::u32string& pending) {
    TScreenBuffer& buffer = Buffer();
    buffer.SetAttributes(State().Attribute);
    const TCoord cursor = buffer.Cursor();
    const int lastColumn = buffer.Size().X - 1;
    if (!pending.empty() && cursor.X + static_cast<int>(pending.size()) - 1 >= lastColumn) {
        const std::size_t head = static_cast<std::size_t>(std::max(0, lastColumn - cursor.X));
        buffer.Write(std::u32string_view(pending).substr(0, head));
        const TCoord last{S16(lastColumn), cursor.Y};
        buffer.FillCharacter(pending[head], 1, last);
        buffer.FillAttribute(State().Attribute, 1, last);
        buffer.SetCursorPosition(last);
    } else {
        buffer.Write(pending);
    }
    pending.clear();
}

void WindowWrite(std::u32string_view text) {
    if (text.empty()) return;
    TScreenBuffer& buffer = Buffer();
    std::u32string pending;
    int room = State().Window.Right - buffer.Cursor().X + 1;
    std::size_t i = 0;
    do {
        while (room >= 1 && i < text.size()) {
            const char32_t ch = text[i++];
            switch (ch) {
                case 7: Sound(800, 200); break;
                case 8:
                    if (!pending.empty()) {
                        pending.pop_back();
                        ++room;
                    }
                    break;
                case 9: {
                    const int blanks = std::min<int>(8 - static_cast<int>(pending.size() % 8), room);
                    pending.append(static_cast<std::size_t>(blanks), U' ');
                    room -= blanks;
                    break;
                }
                case 10:
                    WindowFlush(pending);
                    WindowCarriageReturn();
                    WindowLineFeed();
                    room = WindowWidth();
                    break;
                case 13:
                    WindowFlush(pending);
                    WindowCarriageReturn();
                    room = WindowWidth();
                    break;
                default:
                    pending += ch;
                    --room;
            }
        }
        WindowFlush(pending);
        if (room < 1) {
            // The row is full: on at the left edge of the window's next row.
            WindowCarriageReturn();
            WindowLineFeed();
        }
        room = WindowWidth();
    } while (i < text.size());
}

}  // namespace

void InitConsoleIO() {
    Screen();
    State().WindowWriter = false;
}

void ReadConsoleState() {
    const platform::TScreenBufferInfo info = Buffer().Info();
    TConsoleState& state = State();
    state.Window = {0, 0, S16(info.Size.X - 1), S16(info.Size.Y - 1)};
    state.Attribute = static_cast<std::uint8_t>(info.Attributes);
    state.BufferSize = info.Size;
    state.VisibleSize = {S16(info.Window.Right - info.Window.Left + 1), S16(info.Window.Bottom - info.Window.Top + 1)};
}

void SetTextColor(std::uint8_t color) {
    State().Attribute = static_cast<std::uint8_t>((State().Attribute & 0xF0) | (color & 0x0F));
    Buffer().SetAttributes(State().Attribute);
}

void SetTextBackground(std::uint8_t color) {
    State().Attribute = static_cast<std::uint8_t>((State().Attribute & 0x0F) | ((color & 0x0F) << 4));
    Buffer().SetAttributes(State().Attribute);
}

std::uint8_t TextColor() { return State().Attribute & 0x0F; }
std::uint8_t TextBackground() { return static_cast<std::uint8_t>(State().Attribute >> 4); }

void SetWindow(int left, int top, int right, int bottom) {
    TConsoleState& state = State();
    const int width = state.BufferSize.X, height = state.BufferSize.Y;
    if (1 <= left && left < right && right <= width && 1 <= top && top <= bottom && bottom <= height) {
        state.Window = {S16(left - 1), S16(top - 1), S16(right - 1), S16(bottom - 1)};
        state.WindowWriter = left > 1 || top > 1 || right < width || bottom < height;
    } else {
        state.Window = {0, 0, S16(width - 1), S16(height - 1)};
        state.WindowWriter = false;
    }
}

void MoveCursor(int x, int y) {
    const TSmallRect& w = State().Window;
    const int column = w.Left + x - 1, row = w.Top + y - 1;
    if (column < w.Left || column > w.Right || row < w.Top || row > w.Bottom) return;
    Buffer().SetCursorPosition({S16(column), S16(row)});
}

TCoord CursorPosition() { return Buffer().Cursor(); }

void ClearWindow() {
    TScreenBuffer& buffer = Buffer();
    TConsoleState& state = State();
    const TSmallRect& w = state.Window;
    const bool whole = w.Left == 0 && w.Top == 0 && w.Right == state.BufferSize.X - 1 &&
                       w.Bottom == state.BufferSize.Y - 1;
    if (whole) {
        const auto cells = static_cast<std::uint32_t>(state.BufferSize.X) * static_cast<std::uint32_t>(state.BufferSize.Y);
        const std::uint32_t filled = buffer.FillCharacter(U' ', cells, {0, 0});
        buffer.FillAttribute(state.Attribute, cells, {0, 0});
        if (filled < cells) {
            const platform::TSmallRect view = buffer.Window();
            state.VisibleSize = {S16(view.Right - view.Left + 1), S16(view.Bottom - view.Top + 1)};
        }
    } else {
        const auto width = static_cast<std::uint32_t>(WindowWidth());
        for (std::int16_t y = w.Top; y <= w.Bottom; ++y) {
            buffer.FillCharacter(U' ', width, {w.Left, y});
            buffer.FillAttribute(state.Attribute, width, {w.Left, y});
        }
    }
    MoveCursor(1, 1);
}

void ClearToLineEnd() {
    TScreenBuffer& buffer = Buffer();
    const TCoord cursor = buffer.Cursor();
    const int count = State().Window.Right - cursor.X + 1;
    if (count <= 0) return;
    buffer.FillCharacter(U' ', static_cast<std::uint32_t>(count), cursor);
    buffer.FillAttribute(State().Attribute, static_cast<std::uint32_t>(count), cursor);
}

void InsertLine() {
    TScreenBuffer& buffer = Buffer();
    const TSmallRect& w = State().Window;
    const std::int16_t row = buffer.Cursor().Y;
    const TSmallRect rows{w.Left, row, w.Right, w.Bottom};
    buffer.Scroll(rows, rows, {w.Left, S16(row + 1)}, {U' ', State().Attribute});
}

void DeleteLine() {
    TScreenBuffer& buffer = Buffer();
    const TSmallRect& w = State().Window;
    const std::int16_t row = buffer.Cursor().Y;
    const TSmallRect rows{w.Left, row, w.Right, w.Bottom};
    if (row >= w.Bottom) {
        // Nothing below to move up: the cursor's row alone turns blank.
        const auto width = static_cast<std::uint32_t>(WindowWidth());
        buffer.FillCharacter(U' ', width, {w.Left, row});
        buffer.FillAttribute(State().Attribute, width, {w.Left, row});
        return;
    }
    buffer.Scroll({w.Left, S16(row + 1), w.Right, w.Bottom}, rows, {w.Left, row}, {U' ', State().Attribute});
}

void ShowCursor(bool visible) { Buffer().SetCursorVisible(visible); }

char32_t ReadKey() {
    TConsoleState& state = State();
    if (state.PendingExtended != 0) {
        const char32_t code = state.PendingExtended;
        state.PendingExtended = 0;
        return code;
    }
    platform::IConsoleScreen& console = Screen();
    // What was drawn shows before the wait, as on a console that draws at once.
    console.Present();
    for (;;) {
        const platform::TKeyEvent event = console.ReadInput();
        if (event.WindowSize) return KeyWindowResized;
        if (!event.KeyDown) continue;
        if (event.Char != 0) return event.Char;
        const TExtendedKey* key = FindExtendedKey(event.VirtualKeyCode);
        if (key == nullptr) continue;
        const std::uint32_t modifiers = event.ControlKeyState;
        std::uint32_t code = key->Plain;
        if (modifiers & (platform::LEFT_ALT_PRESSED | platform::RIGHT_ALT_PRESSED))
            code = key->Alt;
        else if (modifiers & (platform::LEFT_CTRL_PRESSED | platform::RIGHT_CTRL_PRESSED))
            code = key->Ctrl;
        else if (modifiers & platform::SHIFT_PRESSED)
            code = key->Shift;
        else if (event.VirtualKeyCode >= 'A' && event.VirtualKeyCode <= 'Z')
            code = event.Char;
        if (code <= 0xFF || code == None) continue;
        state.PendingExtended = static_cast<std::uint8_t>(code & 0xFF);
        return 0;
    }
}

int VisibleWidth() {
    const TSmallRect view = Buffer().Window();
    return view.Right - view.Left + 1;
}

int VisibleHeight() {
    const TSmallRect view = Buffer().Window();
    return view.Bottom - view.Top + 1;
}

int BufferWidth() { return Buffer().Size().X; }
int BufferHeight() { return Buffer().Size().Y; }

int LargestWindowWidth() { return Buffer().MaximumWindowSize().X; }
int LargestWindowHeight() { return Buffer().MaximumWindowSize().Y; }

void SetBufferSize(int width, int height) { Buffer().SetSize({S16(width), S16(height)}); }

void GrowBuffer(int width, int height) {
    TScreenBuffer& buffer = Buffer();
    const TCoord size = buffer.Size();
    buffer.SetSize({S16(std::max<int>(size.X, width)), S16(std::max<int>(size.Y, height))});
}

void GrowWindow(int width, int height) {
    TScreenBuffer& buffer = Buffer();
    const int columns = std::max(VisibleWidth(), width), rows = std::max(VisibleHeight(), height);
    buffer.SetWindow({0, 0, S16(columns - 1), S16(rows - 1)});
}

void Sound(std::uint32_t frequency, std::uint32_t duration) {
    if (frequency < 37) return;
    Screen().Beep(frequency, duration);
}

void WriteText(std::string_view text) {
    const std::u32string codePoints = CodePointsOf(text);
    if (State().WindowWriter) {
        WindowWrite(codePoints);
        return;
    }
    TScreenBuffer& buffer = Buffer();
    buffer.SetAttributes(State().Attribute);
    buffer.Write(codePoints);
}

void WriteRaw(std::string_view text) {
    TScreenBuffer& buffer = Buffer();
    if (text.empty()) {
        buffer.Write(U"\r\n");
        return;
    }
    buffer.Write(CodePointsOf(text));
}

}  // namespace keyrix
