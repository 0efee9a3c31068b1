#include "platform/ConsoleScreen.h"

#include "common/Utf8.h"

#include <algorithm>

namespace keyrix::platform {

namespace {

bool Inside(const TSmallRect& r, int x, int y) { return x >= r.Left && x <= r.Right && y >= r.Top && y <= r.Bottom; }

}  // namespace

IConsoleScreen* ConsoleScreen() { return TSeam<IConsoleScreen>::Find(); }

TScreenBuffer::TScreenBuffer(std::int16_t width, std::int16_t height)
    : FSize{std::max<std::int16_t>(width, 1), std::max<std::int16_t>(height, 1)},
      FCells(static_cast<std::size_t>(FSize.X) * static_cast<std::size_t>(FSize.Y)),
      FWindow{0, 0, static_cast<std::int16_t>(FSize.X - 1), static_cast<std::int16_t>(FSize.Y - 1)},
      FMaximumWindow(FSize) {}

TScreenBufferInfo TScreenBuffer::Info() const { return {FSize, FCursor, FAttributes, FWindow}; }

const TCharInfo& TScreenBuffer::Cell(std::int16_t x, std::int16_t y) const {
    // A column past the row's end would otherwise read a cell of the next row.
    if (x < 0 || y < 0 || x >= FSize.X || y >= FSize.Y)
        throw EBugCheckError("Screen cell (" + std::to_string(x) + ", " + std::to_string(y) + ") outside a buffer of " +
                             std::to_string(FSize.X) + " x " + std::to_string(FSize.Y));
    return FCells.at(static_cast<std::size_t>(y) * static_cast<std::size_t>(FSize.X) + static_cast<std::size_t>(x));
}

std::string TScreenBuffer::RowText(std::int16_t y) const {
    std::u32string row;
    for (std::int16_t x = 0; x < FSize.X; ++x) row += Cell(x, y).Char;
    row.erase(row.find_last_not_of(U' ') == std::u32string::npos ? 0 : row.find_last_not_of(U' ') + 1);
    std::string text;
    for (char32_t ch : row) AppendUtf8(text, ch);
    return text;
}

bool TScreenBuffer::SetCursorPosition(TCoord position) {
    if (position.X < 0 || position.Y < 0 || position.X >= FSize.X || position.Y >= FSize.Y) return false;
    FCursor = position;
    ScrollIntoView();
    return true;
}

void TScreenBuffer::ScrollIntoView() {
    const int width = FWindow.Right - FWindow.Left, height = FWindow.Bottom - FWindow.Top;
    if (FCursor.Y < FWindow.Top) FWindow.Top = FCursor.Y;
    if (FCursor.Y > FWindow.Bottom) FWindow.Top = static_cast<std::int16_t>(FCursor.Y - height);
    if (FCursor.X < FWindow.Left) FWindow.Left = FCursor.X;
    if (FCursor.X > FWindow.Right) FWindow.Left = static_cast<std::int16_t>(FCursor.X - width);
    FWindow.Right = static_cast<std::int16_t>(FWindow.Left + width);
    FWindow.Bottom = static_cast<std::int16_t>(FWindow.Top + height);
}

void TScreenBuffer::Write(std::u32string_view text) {
    const auto newLine = [this] {
        FCursor.X = 0;
        if (FCursor.Y + 1 < FSize.Y) {
            ++FCursor.Y;
        } else {
            const TSmallRect all{0, 0, static_cast<std::int16_t>(FSize.X - 1), static_cast<std::int16_t>(FSize.Y - 1)};
            Scroll(all, all, {0, -1}, {U' ', FAttributes});
        }
    };
    for (char32_t ch : text) {
        switch (ch) {
            case U'\r': FCursor.X = 0; break;
            case U'\n': newLine(); break;
            case U'\b':
                if (FCursor.X > 0) --FCursor.X;
                break;
            case U'\t': {
                const int stop = std::min<int>((FCursor.X / 8 + 1) * 8, FSize.X - 1);
                while (FCursor.X < stop) Write(U" ");
                break;
            }
            case U'\a': break;  // the tone is the console's, not the buffer's
            default:
                FCells[static_cast<std::size_t>(FCursor.Y) * static_cast<std::size_t>(FSize.X) +
                       static_cast<std::size_t>(FCursor.X)] = {ch, FAttributes};
                if (FCursor.X + 1 < FSize.X)
                    ++FCursor.X;
                else
                    newLine();
        }
    }
    ScrollIntoView();
}

std::uint32_t TScreenBuffer::FillCharacter(char32_t ch, std::uint32_t length, TCoord start) {
    if (start.X < 0 || start.Y < 0 || start.X >= FSize.X || start.Y >= FSize.Y) return 0;
    const std::size_t first = static_cast<std::size_t>(start.Y) * static_cast<std::size_t>(FSize.X) +
                              static_cast<std::size_t>(start.X);
    const std::size_t count = std::min<std::size_t>(length, FCells.size() - first);
    for (std::size_t i = 0; i < count; ++i) FCells[first + i].Char = ch;
    return static_cast<std::uint32_t>(count);
}

std::uint32_t TScreenBuffer::FillAttribute(std::uint16_t attributes, std::uint32_t length, TCoord start) {
    if (start.X < 0 || start.Y < 0 || start.X >= FSize.X || start.Y >= FSize.Y) return 0;
    const std::size_t first = static_cast<std::size_t>(start.Y) * static_cast<std::size_t>(FSize.X) +
                              static_cast<std::size_t>(start.X);
    const std::size_t count = std::min<std::size_t>(length, FCells.size() - first);
    for (std::size_t i = 0; i < count; ++i) FCells[first + i].Attributes = attributes;
    return static_cast<std::uint32_t>(count);
}

void TScreenBuffer::Scroll(const TSmallRect& scroll, const TSmallRect& clip, TCoord destination, TCharInfo fill) {
    const TSmallRect all{0, 0, static_cast<std::int16_t>(FSize.X - 1), static_cast<std::int16_t>(FSize.Y - 1)};
    const TSmallRect limit{std::max(clip.Left, all.Left), std::max(clip.Top, all.Top),
                           std::min(clip.Right, all.Right), std::min(clip.Bottom, all.Bottom)};
    const TSmallRect source{std::max(scroll.Left, all.Left), std::max(scroll.Top, all.Top),
                            std::min(scroll.Right, all.Right), std::min(scroll.Bottom, all.Bottom)};
    if (source.Left > source.Right || source.Top > source.Bottom) return;
    const std::vector<TCharInfo> before = FCells;
    const auto at = [this](int x, int y) -> TCharInfo& {
        return FCells[static_cast<std::size_t>(y) * static_cast<std::size_t>(FSize.X) + static_cast<std::size_t>(x)];
    };
    for (int y = source.Top; y <= source.Bottom; ++y)
        for (int x = source.Left; x <= source.Right; ++x)
            if (Inside(limit, x, y)) at(x, y) = fill;
    for (int y = source.Top; y <= source.Bottom; ++y)
        for (int x = source.Left; x <= source.Right; ++x) {
            const int dx = destination.X + (x - scroll.Left), dy = destination.Y + (y - scroll.Top);
            if (Inside(limit, dx, dy))
                at(dx, dy) = before[static_cast<std::size_t>(y) * static_cast<std::size_t>(FSize.X) +
                                    static_cast<std::size_t>(x)];
        }
}

bool TScreenBuffer::SetSize(TCoord size) {
    if (size.X < 1 || size.Y < 1) return false;
    std::vector<TCharInfo> cells(static_cast<std::size_t>(size.X) * static_cast<std::size_t>(size.Y),
                                 TCharInfo{U' ', FAttributes});
    for (int y = 0; y < std::min(size.Y, FSize.Y); ++y)
        for (int x = 0; x < std::min(size.X, FSize.X); ++x)
            cells[static_cast<std::size_t>(y) * static_cast<std::size_t>(size.X) + static_cast<std::size_t>(x)] =
                Cell(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
    FCells = std::move(cells);
    FSize = size;
    FCursor = {std::min<std::int16_t>(FCursor.X, static_cast<std::int16_t>(size.X - 1)),
               std::min<std::int16_t>(FCursor.Y, static_cast<std::int16_t>(size.Y - 1))};
    SetMaximumWindowSize(FMaximumWindow);
    return true;
}

bool TScreenBuffer::SetWindow(const TSmallRect& window) {
    if (window.Left < 0 || window.Top < 0 || window.Left > window.Right || window.Top > window.Bottom ||
        window.Right >= FSize.X || window.Bottom >= FSize.Y)
        return false;
    FWindow = window;
    FWindow.Right = std::min<std::int16_t>(FWindow.Right, static_cast<std::int16_t>(FWindow.Left + FMaximumWindow.X - 1));
    FWindow.Bottom = std::min<std::int16_t>(FWindow.Bottom, static_cast<std::int16_t>(FWindow.Top + FMaximumWindow.Y - 1));
    return true;
}

void TScreenBuffer::SetMaximumWindowSize(TCoord size) {
    FMaximumWindow = {std::max<std::int16_t>(size.X, 1), std::max<std::int16_t>(size.Y, 1)};
    // The window shows as much of the buffer as fits, from its current origin if it can.
    const std::int16_t width = std::min(FMaximumWindow.X, FSize.X), height = std::min(FMaximumWindow.Y, FSize.Y);
    FWindow.Left = std::min<std::int16_t>(FWindow.Left, static_cast<std::int16_t>(FSize.X - width));
    FWindow.Top = std::min<std::int16_t>(FWindow.Top, static_cast<std::int16_t>(FSize.Y - height));
    FWindow.Right = static_cast<std::int16_t>(FWindow.Left + width - 1);
    FWindow.Bottom = static_cast<std::int16_t>(FWindow.Top + height - 1);
}

THeadlessConsole::THeadlessConsole(std::int16_t width, std::int16_t height) : FBuffer(width, height) {}

TKeyEvent THeadlessConsole::ReadInput() {
    if (Input.empty()) throw EConsoleInputEnd("The console's scripted input has no key left");
    TKeyEvent event = Input.front();
    Input.pop_front();
    if (event.WindowSize) {
        const auto [width, height] = FResizes.front();
        FResizes.pop_front();
        FBuffer.SetMaximumWindowSize({width, height});
    }
    return event;
}

void THeadlessConsole::Resize(std::int16_t width, std::int16_t height) {
    // The size applies when the event is read, as a terminal's applies when it is resized.
    FResizes.emplace_back(width, height);
    Input.push_back(TKeyEvent::WindowSizeChanged());
}

void THeadlessConsole::Beep(std::uint32_t frequency, std::uint32_t duration) { Tones.emplace_back(frequency, duration); }

void THeadlessConsole::Type(std::u32string_view text) {
    for (char32_t ch : text) {
        std::uint16_t key = 0;
        if (ch >= U'a' && ch <= U'z') key = static_cast<std::uint16_t>(ch - U'a' + U'A');
        else if ((ch >= U'A' && ch <= U'Z') || (ch >= U'0' && ch <= U'9') || ch == U' ') key = static_cast<std::uint16_t>(ch);
        Input.push_back({true, key, ch, 0});
    }
}

void THeadlessConsole::Press(std::uint16_t virtualKey, std::uint32_t modifiers, char32_t ch) {
    Input.push_back({true, virtualKey, ch, modifiers});
}

}  // namespace keyrix::platform
