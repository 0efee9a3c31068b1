// The terminal console on a real pseudo-terminal: the test holds the master side, as a
// terminal emulator would, and reads what the console draws with a small screen model.
#include "platform/TerminalConsole.h"

#include "tests/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <thread>

namespace keyrix::platform {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t Ctrl = LEFT_CTRL_PRESSED;

// A pseudo-terminal; the console gets the slave, the test reads and types on the master.
class TPty {
public:
    explicit TPty(unsigned short columns = 80, unsigned short rows = 24) {
        winsize size{rows, columns, 0, 0};
        int master = -1, slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty failed");
        Master.Reset(master);
        Slave.Reset(slave);
    }

    // What the console wrote, until the text shows up or the time is out.
    std::string ReadUntil(std::string_view until, std::chrono::milliseconds limit = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (Output.find(until) == std::string::npos && std::chrono::steady_clock::now() < deadline)
            if (!ReadSome(10)) continue;
        return Output;
    }
    // Everything written so far: reads until the master has been quiet for a while.
    std::string ReadQuiet() {
        while (ReadSome(250)) {
        }
        return Output;
    }
    std::string Take() {
        ReadQuiet();
        return std::exchange(Output, {});
    }
    void Type(std::string_view bytes) { ASSERT_EQ(::write(Master.Get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }

    termios Modes() const {
        termios modes{};
        EXPECT_EQ(tcgetattr(Slave.Get(), &modes), 0);
        return modes;
    }

    TFd Master, Slave;
    std::string Output;

private:
    bool ReadSome(int waitMs) {
        pollfd in{Master.Get(), POLLIN, 0};
        if (::poll(&in, 1, waitMs) <= 0) return false;
        char bytes[4096];
        const ssize_t got = ::read(Master.Get(), bytes, sizeof bytes);
        if (got <= 0) return false;
        Output.append(bytes, static_cast<std::size_t>(got));
        return true;
    }
};

void ExpectSameModes(const termios& a, const termios& b) {
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc), 0);
    EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
}

// The part of a terminal the console uses: cursor addressing, SGR colours, erasing to the
// line's end in the current colour, cursor visibility, the alternate screen and bracketed paste modes, OSC strings and the bell.
// Colours are kept as console colours (ANSI's bits 0 and 2 swapped) to compare with cells.
class TScreenModel {
public:
    TScreenModel(int columns, int rows)
        : Columns(columns), Rows(rows), Cells(static_cast<std::size_t>(columns * rows), TCharInfo{U'.', 0xEE}) {}

    void Feed(std::string_view bytes) {
        for (std::size_t i = 0; i < bytes.size();) {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            if (byte == 0x1B) {
                i = Escape(bytes, i);
            } else if (byte == 7) {
                ++Bells, ++i;
            } else if (byte < 0x20) {
                ++i;  // SI and the like: no effect on cells
            } else {
                std::size_t length = byte < 0xE0 ? (byte < 0x80 ? 1 : 2) : byte < 0xF0 ? 3 : 4;
                const std::u32string ch = Decode(bytes.substr(i, length));
                if (X < Columns && Y < Rows) Cells[static_cast<std::size_t>(Y * Columns + X)] = {ch[0], Attr};
                ++X;
                i += length;
            }
        }
    }
    const TCharInfo& Cell(int x, int y) const { return Cells[static_cast<std::size_t>(y * Columns + x)]; }

    // Beside the console's colour bits: bold and reverse video, which only terminals with
    // fewer than 16 colours are sent.
    static constexpr std::uint16_t Bold = 0x100, Reverse = 0x200;

    int Columns, Rows, X = 0, Y = 0, Bells = 0;
    std::uint16_t Attr = 0x07;
    bool CursorVisible = true, Alternate = false, Paste = false;
    std::vector<std::string> Osc;
    std::vector<TCharInfo> Cells;

private:
    static std::u32string Decode(std::string_view utf8) {
        const auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(utf8[i])); };
        if (utf8.size() == 1) return {b(0)};
        if (utf8.size() == 2) return {((b(0) & 0x1F) << 6) | (b(1) & 0x3F)};
        if (utf8.size() == 3) return {((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F)};
        return {((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F)};
    }
    static int Console(int ansi) { return ((ansi & 4) >> 2) | (ansi & 2) | ((ansi & 1) << 2) | (ansi & 8); }

    std::size_t Escape(std::string_view s, std::size_t i) {
        if (i + 1 >= s.size()) return s.size();
        if (s[i + 1] == '(') return i + 3;  // character set
        if (s[i + 1] == ']') {                // OSC up to BEL
            const std::size_t end = s.find('\a', i);
            Osc.emplace_back(s.substr(i + 2, end - i - 2));
            return end == std::string_view::npos ? s.size() : end + 1;
        }
        if (s[i + 1] != '[') return i + 2;
        std::size_t j = i + 2;
        while (j < s.size() && !(s[j] >= 0x40 && s[j] <= 0x7E)) ++j;
        const std::string params(s.substr(i + 2, j - i - 2));
        const char final = j < s.size() ? s[j] : 0;
        std::vector<int> numbers;
        for (std::size_t p = 0; p <= params.size();) {
            const std::size_t semicolon = std::min(params.find(';', p), params.size());
            numbers.push_back(std::atoi(params.substr(p, semicolon - p).c_str()));
            p = semicolon + 1;
        }
        if (!params.empty() && params[0] == '?') {
            const int mode = std::atoi(params.c_str() + 1);
            const bool on = final == 'h';
            if (mode == 25) CursorVisible = on;
            if (mode == 1049) Alternate = on;
            if (mode == 2004) Paste = on;
        } else if (final == 'H') {
            Y = std::max(numbers[0], 1) - 1;
            X = numbers.size() > 1 ? std::max(numbers[1], 1) - 1 : 0;
        } else if (final == 'K') {
            for (int x = X; x < Columns && Y < Rows; ++x) Cells[static_cast<std::size_t>(Y * Columns + x)] = {U' ', Attr};
        } else if (final == 'm') {
            for (int n : numbers) {
                if (n == 0) Attr = 0x07;
                if (n == 1) Attr |= Bold;
                if (n == 7) Attr |= Reverse;
                if (n >= 30 && n <= 37) Attr = static_cast<std::uint16_t>((Attr & ~0x0F) | Console(n - 30));
                if (n >= 90 && n <= 97) Attr = static_cast<std::uint16_t>((Attr & ~0x0F) | Console(n - 90 + 8));
                if (n >= 40 && n <= 47) Attr = static_cast<std::uint16_t>((Attr & ~0xF0) | (Console(n - 40) << 4));
                if (n >= 100 && n <= 107) Attr = static_cast<std::uint16_t>((Attr & ~0xF0) | (Console(n - 100 + 8) << 4));
            }
        }
        return j + 1;
    }
};

class TerminalConsoleTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("TERM", "xterm-256color", 1); }
};

// The terminal shows the buffer's window, cell by cell, in the cells' colours.
void ExpectScreenShowsWindow(const TScreenModel& screen, const TScreenBuffer& buffer) {
    const TSmallRect window = buffer.Window();
    int wrong = 0;
    for (int y = 0; y <= window.Bottom - window.Top && y < screen.Rows; ++y)
        for (int x = 0; x <= window.Right - window.Left && x < screen.Columns; ++x) {
            const TCharInfo& want = buffer.Cell(static_cast<std::int16_t>(window.Left + x), static_cast<std::int16_t>(window.Top + y));
            const TCharInfo& got = screen.Cell(x, y);
            if (want != got && ++wrong < 5)
                ADD_FAILURE() << "cell " << x << "," << y << ": terminal has U+" << std::hex << static_cast<std::uint32_t>(got.Char)
                              << " attr " << got.Attributes << ", buffer U+" << static_cast<std::uint32_t>(want.Char)
                              << " attr " << want.Attributes;
        }
    EXPECT_EQ(wrong, 0);
}

TEST_F(TerminalConsoleTest, WithoutTerminalItFailsAndWritesNothing) {
    // As the program would start it: standard input and output redirected.
    const std::string result = test::RunInChild([] {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) return std::string("pipe failed");
        TPty pty;
        const termios before = pty.Modes();
        std::string answer;
        for (bool ttyIn : {false, true}) {
            ::dup2(ttyIn ? pty.Slave.Get() : in[0], 0);
            ::dup2(out[1], 1);
            try {
                TTerminalConsole console;
                answer += "constructed;";
            } catch (const ENoTerminal& e) {
                answer += std::string(e.ClassName()) + ": " + e.Message() + ";";
            }
            pollfd written{out[0], POLLIN, 0};
            if (::poll(&written, 1, 0) != 0) answer += "wrote something;";
            const termios now = pty.Modes();
            if (std::memcmp(&before, &now, sizeof before) != 0) answer += "modes changed;";
        }
        if (pty.ReadQuiet().size()) answer += "terminal got output;";
        return answer;
    });
    EXPECT_EQ(result,
              "ENoTerminal: The settings menu needs a terminal: standard input and output must be a terminal "
              "(standard input is not);"
              "ENoTerminal: The settings menu needs a terminal: standard input and output must be a terminal "
              "(standard output is not);");
}

TEST_F(TerminalConsoleTest, RawModeAndAlternateScreenWhileItLivesRestoredExactlyAfter) {
    TPty pty;
    const termios before = pty.Modes();
    {
        TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
        const termios during = pty.Modes();
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(during.c_iflag & (ICRNL | IXON), 0u);
        const std::string entered = pty.ReadUntil("\x1b[?2004h");
        EXPECT_NE(entered.find("\x1b[?1049h"), std::string::npos) << entered;
        EXPECT_NE(entered.find("\x1b[?2004h"), std::string::npos) << entered;
        EXPECT_EQ(console.Buffer().Size(), (TCoord{80, 24}));
        EXPECT_EQ(console.Buffer().Window(), (TSmallRect{0, 0, 79, 23}));
        console.Buffer().SetCursorVisible(false);
        console.Present();
        pty.Take();
    }
    ExpectSameModes(pty.Modes(), before);
    TScreenModel screen(80, 24);
    screen.Alternate = true, screen.Paste = true, screen.CursorVisible = false;
    screen.Feed(pty.ReadUntil("\x1b[?1049l"));
    EXPECT_FALSE(screen.Alternate);
    EXPECT_FALSE(screen.Paste);
    EXPECT_TRUE(screen.CursorVisible);
}

TEST_F(TerminalConsoleTest, PresentDrawsTheWindowInItsColoursAndThenOnlyWhatChanged) {
    // xterm-256color has 16 colours in terminfo; xterm 8, but it speaks xterm's bright colours
    // (SGR written directly); a terminal terminfo does not know gets plain ANSI.
    for (const char* term : {"xterm-256color", "xterm", "no-such-terminal-here"}) {
        SCOPED_TRACE(term);
        ::setenv("TERM", term, 1);
        TPty pty(40, 10);
        TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
        TScreenBuffer& buffer = console.Buffer();
        TScreenModel screen(40, 10);
        screen.Feed(pty.Take());

        // Every colour as text and background, and characters of 2, 3 and 4 bytes.
        for (std::uint16_t a = 0; a < 256; a += 17) {
            buffer.SetAttributes(a);
            buffer.Write(U"ab");
            buffer.SetAttributes(static_cast<std::uint16_t>(255 - a));
            buffer.Write(U"\u00e9\u20ac");
        }
        buffer.SetAttributes(0x4F);
        buffer.Write(U"!");
        buffer.SetAttributes(0xF0);
        buffer.SetCursorPosition({5, 8});
        buffer.Write(U"Datenbank-Server: \U0001D11E x");
        buffer.SetCursorPosition({3, 4});
        console.Present();
        const std::string first = pty.Take();
        screen.Feed(first);
        ExpectScreenShowsWindow(screen, buffer);
        EXPECT_TRUE(screen.CursorVisible);
        EXPECT_EQ(screen.X, 3);
        EXPECT_EQ(screen.Y, 4);
        if (std::string(term) == "xterm-256color") {
            EXPECT_NE(first.find("\x1b[97m\x1b[41m"), std::string::npos);  // white on red from terminfo
        } else {
            EXPECT_NE(first.find("\x1b[97;41m"), std::string::npos);  // written directly
        }

        // A change in one row redraws that row's changed part alone.
        buffer.SetCursorPosition({10, 6});
        buffer.SetAttributes(0x1E);
        buffer.Write(U"ok");
        console.Present();
        const std::string second = pty.Take();
        screen.Feed(second);
        ExpectScreenShowsWindow(screen, buffer);
        EXPECT_LT(second.size(), 60u) << second;
        EXPECT_EQ(screen.X, 12);

        // A row blanked in a colour, as a cleared window is: the terminal shows the colour
        // to the row's end (xterm clears it with el).
        buffer.FillCharacter(U' ', 40, {0, 2});
        buffer.FillAttribute(0x70, 40, {0, 2});
        buffer.FillAttribute(0x1F, 3, {0, 3});
        console.Present();
        screen.Feed(pty.Take());
        ExpectScreenShowsWindow(screen, buffer);

        // Nothing changed: nothing but the cursor.
        console.Present();
        const std::string third = pty.Take();
        EXPECT_EQ(third.find("ok"), std::string::npos);

        // A hidden cursor is hidden on the terminal.
        buffer.SetCursorVisible(false);
        console.Present();
        screen.Feed(pty.Take());
        EXPECT_FALSE(screen.CursorVisible);
    }
}

TEST_F(TerminalConsoleTest, WithFewerThan16ColoursTheMenusRolesStayApart) {
    // The menu's screen (black on white), edit field (black on light grey), button (red on
    // white) and selected button (white on red). The Linux console has 8 colours and shows a
    // bright background as the plain one; vt100 has none.
    constexpr std::uint16_t roles[] = {0xF0, 0x70, 0xF4, 0x4F};
    struct Case {
        const char* term;
        std::uint16_t shown[std::size(roles)];
    };
    constexpr std::uint16_t Bold = TScreenModel::Bold, Reverse = TScreenModel::Reverse;
    const Case cases[] = {
        // The field in reverse: light grey on black; bright text bold.
        {"linux", {0x70, 0x07, 0x74, 0x47 | Bold}},
        {"vt100", {0x07, 0x07 | Reverse, 0x07 | Bold, 0x07 | Reverse | Bold}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.term);
        ::setenv("TERM", c.term, 1);
        TPty pty(40, 10);
        TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
        TScreenBuffer& buffer = console.Buffer();
        for (std::size_t i = 0; i < std::size(roles); ++i) {
            buffer.SetAttributes(roles[i]);
            buffer.SetCursorPosition({static_cast<std::int16_t>(4 * i), 1});
            buffer.Write(U"ab");
        }
        console.Present();
        const std::string bytes = pty.Take();
        TScreenModel screen(40, 10);
        screen.Feed(bytes);
        for (std::size_t i = 0; i < std::size(roles); ++i)
            EXPECT_EQ(screen.Cell(static_cast<int>(4 * i), 1).Attributes, c.shown[i]) << "role " << i;
        EXPECT_FALSE(std::regex_search(bytes, std::regex("\x1b\\[[0-9;]*(9[0-7]|10[0-7])m"))) << "no bright colours";
        EXPECT_EQ(bytes.find("\x1b[?1049h"), std::string::npos) << "no alternate screen in terminfo";
        EXPECT_EQ(bytes.find("\x1b]"), std::string::npos) << "no title: the console would print it";
    }
}

TEST_F(TerminalConsoleTest, TheTerminalShowsTheWindowThatFollowsTheCursor) {
    TPty pty(40, 10);
    TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
    TScreenBuffer& buffer = console.Buffer();
    ASSERT_TRUE(buffer.SetSize({60, 30}));
    for (std::int16_t y = 0; y < 30; ++y) {
        buffer.SetCursorPosition({0, y});
        std::u32string line;
        for (int x = 0; x < 60; ++x) line += static_cast<char32_t>(U'A' + (x + y) % 26);
        buffer.Write(line.substr(0, y == 29 ? 59 : 60));
    }
    buffer.SetCursorPosition({50, 25});
    ASSERT_EQ(buffer.Window().Right - buffer.Window().Left + 1, 40);
    ASSERT_GT(buffer.Window().Left, 0);
    console.Present();
    TScreenModel screen(40, 10);
    screen.Feed(pty.Take());
    ExpectScreenShowsWindow(screen, buffer);
    EXPECT_EQ(screen.X, 50 - buffer.Window().Left);
    EXPECT_EQ(screen.Y, 25 - buffer.Window().Top);

    // A cursor outside the window is hidden.
    buffer.SetWindow({0, 0, 39, 9});
    console.Present();
    screen.Feed(pty.Take());
    ExpectScreenShowsWindow(screen, buffer);
    EXPECT_FALSE(screen.CursorVisible);
}

TEST_F(TerminalConsoleTest, KeysTypedOnTheTerminalArriveAsKeyEvents) {
    const test::TCommandResult kbs = test::RunCommand("tput -T xterm-256color kbs");
    ASSERT_EQ(kbs.Output.size(), 1u);
    const std::string other = kbs.Output == "\x7f" ? "\x08" : "\x7f";

    TPty pty;
    TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
    struct {
        std::string Bytes;
        TKeyEvent Key;
    } cases[] = {
        {"\x1b[A", {true, VK_UP, 0, 0}},
        {"\x1bOB", {true, VK_DOWN, 0, 0}},
        {"\x1b[1;5C", {true, VK_RIGHT, 0, Ctrl}},
        {"\x1b[6~", {true, VK_NEXT, 0, 0}},
        {"\x1b[[A", {true, VK_F1, 0, 0}},
        {"x", {true, 'X', U'x', 0}},
        {"\xc3\xa9", {true, 0, U'\u00e9', 0}},
        {"\r", {true, VK_RETURN, 13, 0}},
        {"\t", {true, VK_TAB, 9, 0}},
        {"\x03", {true, 'C', 3, Ctrl}},  // Ctrl+C is a key, not a signal
        {kbs.Output, {true, VK_BACK, 8, 0}},
        {other, {true, VK_BACK, 127, Ctrl}},
        {"\x1bx", {true, 'X', U'x', LEFT_ALT_PRESSED}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Bytes.substr(c.Bytes[0] == 0x1b ? 1 : 0));
        pty.Type(c.Bytes);
        EXPECT_EQ(console.ReadInput(), c.Key);
    }

    // Esc alone, after the short wait for a sequence.
    pty.Type("\x1b");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(console.ReadInput(), (TKeyEvent{true, VK_ESCAPE, 27, 0}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

    // A bracketed paste, cut over two writes: Ctrl+V with the text on the clipboard.
    std::thread typist([&pty] {
        pty.Type("\x1b[200~Server \xc3\xa9");
        std::this_thread::sleep_for(20ms);
        pty.Type("1\x1b[201~");
    });
    EXPECT_EQ(console.ReadInput(), (TKeyEvent{true, 'V', 22, Ctrl}));
    typist.join();
    EXPECT_EQ(console.ClipboardText(), "Server \xc3\xa9" "1");
}

TEST_F(TerminalConsoleTest, ResizeChangesTheMaximumWindowAndRedrawsInFull) {
    TPty pty(80, 24);
    TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
    console.Buffer().Write(U"first line");
    console.Present();
    pty.Take();

    winsize smaller{20, 60, 0, 0};
    ASSERT_EQ(ioctl(pty.Master.Get(), TIOCSWINSZ, &smaller), 0);
    ::raise(SIGWINCH);
    pty.Type("q");
    // The new size is news before the key.
    EXPECT_EQ(console.ReadInput(), TKeyEvent::WindowSizeChanged());
    EXPECT_EQ(console.ReadInput(), (TKeyEvent{true, 'Q', U'q', 0}));
    EXPECT_EQ(console.Buffer().MaximumWindowSize(), (TCoord{60, 20}));
    EXPECT_EQ(console.Buffer().Window(), (TSmallRect{0, 0, 59, 19}));
    // Redrawn in full at the new size: every row, the unchanged text too.
    TScreenModel screen(60, 20);
    screen.Feed(pty.Take());
    ExpectScreenShowsWindow(screen, console.Buffer());

    winsize larger{30, 100, 0, 0};
    ASSERT_EQ(ioctl(pty.Master.Get(), TIOCSWINSZ, &larger), 0);
    ::raise(SIGWINCH);
    console.Present();
    EXPECT_EQ(console.Buffer().MaximumWindowSize(), (TCoord{100, 30}));
    EXPECT_EQ(console.ReadInput(), TKeyEvent::WindowSizeChanged()) << "a size seen while drawing is news too";
    // A SIGWINCH without a new size is no news.
    ::raise(SIGWINCH);
    pty.Type("w");
    EXPECT_EQ(console.ReadInput(), (TKeyEvent{true, 'W', U'w', 0}));
}

TEST_F(TerminalConsoleTest, BellTitleAndClipboard) {
    TPty pty;
    TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
    pty.Take();
    console.Beep(800, 200);
    EXPECT_EQ(pty.Take(), "\a");
    console.SetTitle("Keyrix \x1b]2;evil\a \xc2\x9c\xc3\xa9");
    EXPECT_EQ(pty.Take(), "\x1b]0;Keyrix ]2;evil \xc3\xa9\a");
    console.SetClipboardText("hello world");
    EXPECT_EQ(pty.Take(), "\x1b]52;c;aGVsbG8gd29ybGQ=\a");
    EXPECT_EQ(console.ClipboardText(), "hello world");
}

TEST_F(TerminalConsoleTest, AClosedTerminalEndsReadInputInsteadOfSpinning) {
    // Input and output on two terminals, so that the end of input is seen by the read.
    TPty in, out;
    TTerminalConsole console(in.Slave.Get(), out.Slave.Get());
    in.Type("a");
    EXPECT_EQ(console.ReadInput().Char, U'a');
    const std::string name = ttyname(in.Slave.Get());
    in.Master.Reset();
    try {
        console.ReadInput();
        ADD_FAILURE() << "ReadInput returned from a closed terminal";
    } catch (const ETerminalClosed& e) {
        // The message names the terminal.
        EXPECT_NE(e.Message().find(name), std::string::npos) << e.Message();
    }
    EXPECT_THROW(console.ReadInput(), EConsoleInputEnd);

    // The output gone: drawing fails the same way, and so does everything after it.
    out.Master.Reset();
    console.Buffer().Write(U"x");
    EXPECT_THROW(console.Present(), ETerminalClosed);
    EXPECT_THROW(console.Beep(800, 200), ETerminalClosed);
}

TEST_F(TerminalConsoleTest, ATerminalThatTakesNoOutputFailsTheWriteInTime) {
    TPty pty;
    const termios before = pty.Modes();
    {
        TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
        // Fill the terminal's buffers: nobody reads the master.
        TFd filler(::open(ttyname(pty.Slave.Get()), O_WRONLY | O_NONBLOCK | O_NOCTTY));
        ASSERT_GE(filler.Get(), 0);
        // The kernel moves what was written on to the master's line discipline a moment
        // later, which makes room again: fill until a round after a pause takes nothing.
        const std::string block(4096, 'z');
        for (bool tookSome = true; tookSome;) {
            tookSome = false;
            for (std::size_t size = block.size(); size > 0; size /= 2)
                while (::write(filler.Get(), block.data(), size) > 0) tookSome = true;
            std::this_thread::sleep_for(100ms);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(console.Beep(800, 200), ETerminalClosed);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(TTerminalConsole::WriteTimeoutMs - 500));
        EXPECT_LT(waited, std::chrono::milliseconds(TTerminalConsole::WriteTimeoutMs + 5000));
    }
    // Leaving did not hang either, and the modes are back.
    ExpectSameModes(pty.Modes(), before);
}

// Runs a console on the pty in a child process: prepare first, then the console is made
// and shown, then body runs on it and answers the exit code (3 when anything raised).
// Answers the child once the console is shown, or -1 when it never is.
pid_t StartConsoleChild(TPty& pty, const std::function<void()>& prepare,
                        const std::function<int(TTerminalConsole&)>& body) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        prepare();
        int code = 3;
        try {
            TTerminalConsole console(pty.Slave.Get(), pty.Slave.Get());
            console.Present();
            (void)!::write(ready[1], "r", 1);
            code = body(console);
        } catch (...) {
        }
        ::_exit(code);
    }
    ::close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    const bool shown = child > 0 && ::poll(&wait, 1, 10000) == 1;
    ::close(ready[0]);
    return shown ? child : -1;
}

TEST_F(TerminalConsoleTest, SuspendGivesTheTerminalBackAndContinueTakesItAgain) {
    TPty pty;
    const termios before = pty.Modes();
    const pid_t child = StartConsoleChild(
        pty,
        // A process group of its own, as a shell gives a job: the kernel ignores SIGTSTP in
        // an orphaned one.
        [] { ::setpgid(0, 0); },
        [](TTerminalConsole& console) {
            console.Buffer().Write(U"menu");
            TKeyEvent key = console.ReadInput();
            while (key.WindowSize) key = console.ReadInput();
            return key.Char == U'q' ? 0 : 4;
        });
    ASSERT_GT(child, 0);
    pty.ReadUntil("menu");
    pty.Take();

    ::kill(child, SIGTSTP);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
    ASSERT_TRUE(WIFSTOPPED(status)) << "status " << status;
    // Stopped: the terminal is as it was before, off the alternate screen.
    ExpectSameModes(pty.Modes(), before);
    const std::string left = pty.Take();
    EXPECT_NE(left.find("\x1b[?1049l"), std::string::npos) << left;
    EXPECT_NE(left.find("\x1b[?25h"), std::string::npos) << left;

    ::kill(child, SIGCONT);
    // Continued: raw mode and the alternate screen again, and the screen drawn whole.
    const std::string back = pty.ReadUntil("menu");
    EXPECT_NE(back.find("\x1b[?1049h"), std::string::npos) << back;
    EXPECT_NE(back.find("menu"), std::string::npos) << back;
    EXPECT_EQ(pty.Modes().c_lflag & ICANON, 0u);
    pty.Type("q");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (::waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the key after the continue reached the console";
    ExpectSameModes(pty.Modes(), before);
}

TEST_F(TerminalConsoleTest, AnEndSignalRestoresTheTerminalAndEndsTheProcess) {
    for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        SCOPED_TRACE(strsignal(signal));
        TPty pty;
        const termios before = pty.Modes();
        const pid_t child = StartConsoleChild(
            pty,
            [] {
                const rlimit noCore{0, 0};
                ::setrlimit(RLIMIT_CORE, &noCore);
            },
            [](TTerminalConsole& console) {
                console.ReadInput();
                return 3;
            });
        ASSERT_GT(child, 0);
        pty.ReadUntil("\x1b[?2004h");
        // The console is in raw mode now; the child waits for a key.
        EXPECT_EQ(pty.Modes().c_lflag & ICANON, 0u);
        ::kill(child, signal);

        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (::waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), signal);
        ExpectSameModes(pty.Modes(), before);
        const std::string output = pty.ReadUntil("\x1b[?1049l");
        const std::size_t leave = output.rfind("\x1b[?2004l");
        ASSERT_NE(leave, std::string::npos);
        EXPECT_NE(output.find("\x1b[?25h", leave), std::string::npos);
        EXPECT_NE(output.find("\x1b[?1049l", leave), std::string::npos);
    }
}

}  // namespace
}  // namespace keyrix::platform
