// The console of the settings menu: a screen buffer of cells (character and colour
// attribute), a visible window onto it, a cursor, key input and the clipboard, with the
// operations of a text console. Two implementations share the buffer: the terminal
// (TerminalConsole.h), which shows the window's part of the buffer on the terminal and
// decodes its keys, and a headless console for tests, which takes scripted key events.
//
// Coordinates are 0-based buffer cells; rectangles are inclusive. Characters are Unicode
// code points; texts given and taken are UTF-8.
#pragma once

#include "common/Exceptions.h"
#include "platform/Seam.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keyrix::platform {

// The headless console's script has no key left: the test gave too few.
KEYRIX_DECLARE_EXCEPTION(EConsoleInputEnd, Exception);

struct TCoord {
    std::int16_t X = 0, Y = 0;
    bool operator==(const TCoord&) const = default;
};

struct TSmallRect {
    std::int16_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool operator==(const TSmallRect&) const = default;
};

struct TCharInfo {
    char32_t Char = U' ';
    std::uint16_t Attributes = 0x07;  // low four bits text colour, high four background
    bool operator==(const TCharInfo&) const = default;
};

struct TScreenBufferInfo {
    TCoord Size;               // columns, lines of the buffer
    TCoord CursorPosition;
    std::uint16_t Attributes = 0x07;
    TSmallRect Window;         // the visible part of the buffer
};

// Modifier state of a key event.
enum : std::uint32_t {
    RIGHT_ALT_PRESSED = 0x0001,
    LEFT_ALT_PRESSED = 0x0002,
    RIGHT_CTRL_PRESSED = 0x0004,
    LEFT_CTRL_PRESSED = 0x0008,
    SHIFT_PRESSED = 0x0010,
};

// Virtual-key codes of the keys the terminal can report.
enum : std::uint16_t {
    VK_BACK = 0x08, VK_TAB = 0x09, VK_RETURN = 0x0D, VK_SHIFT = 0x10, VK_CONTROL = 0x11, VK_MENU = 0x12,
    VK_ESCAPE = 0x1B, VK_SPACE = 0x20, VK_PRIOR = 0x21, VK_NEXT = 0x22, VK_END = 0x23, VK_HOME = 0x24,
    VK_LEFT = 0x25, VK_UP = 0x26, VK_RIGHT = 0x27, VK_DOWN = 0x28, VK_INSERT = 0x2D, VK_DELETE = 0x2E,
    VK_F1 = 0x70, VK_F12 = 0x7B,
    // Letters and digits are their upper-case ASCII codes ('A' = 0x41, '0' = 0x30).
};

// One key going down (or up), as the console reports it; or, with WindowSize, no key but
// the news that the console's window changed its size.
struct TKeyEvent {
    bool KeyDown = true;
    std::uint16_t VirtualKeyCode = 0;
    char32_t Char = 0;  // 0 for a key without a character
    std::uint32_t ControlKeyState = 0;
    bool WindowSize = false;
    bool operator==(const TKeyEvent&) const = default;

    static TKeyEvent WindowSizeChanged() {
        TKeyEvent event;
        event.KeyDown = false;
        event.WindowSize = true;
        return event;
    }
};

// The buffer and the operations on it that do not depend on where it is shown.
class TScreenBuffer {
public:
    TScreenBuffer(std::int16_t width, std::int16_t height);

    TScreenBufferInfo Info() const;
    TCoord Size() const { return FSize; }
    TCoord Cursor() const { return FCursor; }
    bool CursorVisible() const { return FCursorVisible; }
    std::uint16_t Attributes() const { return FAttributes; }
    TSmallRect Window() const { return FWindow; }
    const TCharInfo& Cell(std::int16_t x, std::int16_t y) const;
    // A row as UTF-8, trailing blanks removed (for tests and diagnostics).
    std::string RowText(std::int16_t y) const;

    void SetAttributes(std::uint16_t attributes) { FAttributes = attributes; }
    // Outside the buffer: false, nothing moves. The window follows the cursor.
    bool SetCursorPosition(TCoord position);
    void SetCursorVisible(bool visible) { FCursorVisible = visible; }
    // Writes at the cursor in the current attributes and moves it on: at the buffer's right
    // edge to the next line's start, below the last line the buffer scrolls up one line.
    void Write(std::u32string_view text);
    // Fill a run of cells from start, continuing on the following lines; the cells filled.
    std::uint32_t FillCharacter(char32_t ch, std::uint32_t length, TCoord start);
    std::uint32_t FillAttribute(std::uint16_t attributes, std::uint32_t length, TCoord start);
    // Moves the cells of scroll (clipped to clip) so that its top-left lands on destination;
    // the cells of scroll that the move leaves get fill. Nothing outside clip changes.
    void Scroll(const TSmallRect& scroll, const TSmallRect& clip, TCoord destination, TCharInfo fill);
    // A new size keeps the cells that fit; new cells are blanks in the current attributes.
    // The window and the cursor are kept inside. False for a size below 1 x 1.
    bool SetSize(TCoord size);
    // A window within the buffer; false (nothing changes) otherwise.
    bool SetWindow(const TSmallRect& window);
    // The size the window may have at most (the terminal's size); the window is cut to it.
    void SetMaximumWindowSize(TCoord size);
    TCoord MaximumWindowSize() const { return FMaximumWindow; }

private:
    void ScrollIntoView();

    TCoord FSize;
    std::vector<TCharInfo> FCells;
    TCoord FCursor;
    bool FCursorVisible = true;
    std::uint16_t FAttributes = 0x07;
    TSmallRect FWindow;
    TCoord FMaximumWindow;
};

// The console operations the menu uses, with the meaning of the text console's.
class IConsoleScreen {
public:
    virtual ~IConsoleScreen() = default;

    virtual TScreenBuffer& Buffer() = 0;
    // Shows what changed (the terminal draws it; the headless console has nothing to do).
    virtual void Present() = 0;
    // Waits for the next input event and answers it. A console that has none left (the
    // headless one after its script) raises EConsoleInputEnd.
    virtual TKeyEvent ReadInput() = 0;
    // A tone; the terminal rings its bell.
    virtual void Beep(std::uint32_t frequency, std::uint32_t duration) = 0;
    virtual void SetTitle(const std::string& title) = 0;
    // The clipboard of the process; the terminal also hands a copy to its own clipboard.
    virtual void SetClipboardText(const std::string& text) = 0;
    virtual std::string ClipboardText() = 0;
};

// The console of a test: a buffer of a given size, key events from a script, and a record of
// the tones and titles.
class THeadlessConsole : public IConsoleScreen {
public:
    THeadlessConsole(std::int16_t width, std::int16_t height);

    TScreenBuffer& Buffer() override { return FBuffer; }
    void Present() override { ++Presented; }
    TKeyEvent ReadInput() override;
    void Beep(std::uint32_t frequency, std::uint32_t duration) override;
    void SetTitle(const std::string& title) override { Title = title; }
    void SetClipboardText(const std::string& text) override { Clipboard = text; }
    std::string ClipboardText() override { return Clipboard; }

    // Queues key-down events: a character, or a virtual key with modifiers.
    void Type(std::u32string_view text);
    void Press(std::uint16_t virtualKey, std::uint32_t modifiers = 0, char32_t ch = 0);
    // Queues a window-size event; the window may be this large from then on (as a resized
    // terminal's).
    void Resize(std::int16_t width, std::int16_t height);

    std::deque<TKeyEvent> Input;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Tones;
    std::string Title, Clipboard;
    int Presented = 0;

private:
    TScreenBuffer FBuffer;
    std::deque<std::pair<std::int16_t, std::int16_t>> FResizes;
};

// The process's console for the menu: none (null) but while a config run has its terminal
// in place, or a test its headless console (TScopedConsoleScreen; the threads of the
// seam's contract in Seam.h: only the menu's thread uses it).
IConsoleScreen* ConsoleScreen();
using TScopedConsoleScreen = TSeam<IConsoleScreen>::TScoped;

}  // namespace keyrix::platform
