// Text-mode screen and keyboard for the settings menu, over the process's console screen
// (platform::ConsoleScreen()): a current colour attribute, a text window inside the screen
// buffer with the cursor placed relative to it, clearing, inserting and deleting lines in
// the window, text that wraps and scrolls inside the window, keys with extended codes,
// cursor visibility, tones and the console's geometry.
//
// The state is module-wide, as the menu is the only user and runs on the main thread.
// Coordinates taken are 1-based and relative to the text window ((1, 1) is its top-left
// cell), except for SetWindow, which takes 1-based buffer coordinates. Texts are UTF-8; the
// window-aware writer counts code points. Every operation needs a console set with
// platform::TScopedConsoleScreen; without one they raise ENotAvailable.
#pragma once

#include "common/Utf8.h"

#include "platform/ConsoleScreen.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace keyrix {

// Forgets the window-aware writer and starts the module afresh on the current console.
void InitConsoleIO();
// Reads the buffer's size, the visible window's size and the console's attribute; the text
// window becomes the whole buffer.
void ReadConsoleState();

void SetTextColor(std::uint8_t color);
void SetTextBackground(std::uint8_t color);
std::uint8_t TextColor();
std::uint8_t TextBackground();

// A valid rectangle (1 <= left < right <= width, 1 <= top <= bottom <= height) becomes the
// text window; while it is smaller than the buffer, WriteText wraps and scrolls inside it.
// Anything else (the menu passes all zeros) makes the whole buffer the window again.
void SetWindow(int left, int top, int right, int bottom);
// To column x, row y of the text window; a cell outside the window leaves the cursor alone.
void MoveCursor(int x, int y);
// The cursor in buffer cells, 0-based.
platform::TCoord CursorPosition();
// Blanks in the current attribute; the cursor goes to (1, 1).
void ClearWindow();
// From the cursor to the window's right edge; the cursor stays.
void ClearToLineEnd();
// The window's rows from the cursor's row down move one row down; the cursor's row is blank.
void InsertLine();
// The window's rows below the cursor's row move one row up; the bottom row is blank.
void DeleteLine();
void ShowCursor(bool visible);

// What ReadKey answers when the console's window changed its size: no key gives it, as it
// lies beyond Unicode.
constexpr char32_t KeyWindowResized = 0x110000;

// One character code; an extended key reads as 0 and then its extended code (the PC
// keyboard's codes: Up is 0, 72). Keys that give neither are skipped. A change of the
// window's size reads as KeyWindowResized.
char32_t ReadKey();

// The visible window's and the buffer's size, read anew each time.
int VisibleWidth();
int VisibleHeight();
int BufferWidth();
int BufferHeight();
// The largest window the console can show now (the terminal's size).
int LargestWindowWidth();
int LargestWindowHeight();
// The buffer, or the visible window placed at the buffer's top-left, at least this large.
void GrowBuffer(int width, int height);
void GrowWindow(int width, int height);
// The buffer exactly this large; the cells that fit are kept.
void SetBufferSize(int width, int height);

// A tone; nothing below 37 Hz.
void Sound(std::uint32_t frequency, std::uint32_t duration);

// Writes at the cursor in the current attribute; inside a text window smaller than the
// buffer the text wraps at the window's right edge and scrolls the window alone.
void WriteText(std::string_view text);
// Writes at the cursor in the console's attribute, ignoring the text window; an empty text
// is a carriage return and a line feed.
void WriteRaw(std::string_view text);

}  // namespace keyrix
