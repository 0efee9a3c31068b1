// The console of the settings menu on a real terminal: the screen buffer's window is drawn on
// the terminal's alternate screen with terminfo's sequences (plain ANSI where terminfo does
// not know the terminal), keys come from the terminal in raw mode through TKeyDecoder.
//
// While it lives the terminal is in raw mode, on the alternate screen, with bracketed paste
// on and the terminal's title saved; its destructor, and SIGTERM, SIGHUP, SIGINT or SIGQUIT,
// put everything back (the signals then end the process as they would have). Leaving clears
// the screen first, so that a terminal without an alternate screen (the Linux console) keeps
// no frame of the menu. SIGTSTP gives the terminal back before the process stops; SIGCONT
// takes it again and draws everything anew. One console at a time.
#pragma once

#include "platform/ConsoleScreen.h"
#include "platform/FileHandles.h"
#include "platform/KeyDecoder.h"

#include <termios.h>

#include <string>
#include <vector>

namespace keyrix::platform {

// Standard input or output is not a terminal (a pipe, a file, systemd's journal).
KEYRIX_DECLARE_EXCEPTION(ENoTerminal, Exception);
// The terminal went away or stopped taking output: the menu cannot go on.
KEYRIX_DECLARE_EXCEPTION(ETerminalClosed, EConsoleInputEnd);

class TTerminalConsole : public IConsoleScreen {
public:
    // Raises ENoTerminal, having written nothing and changed no mode, when inFd or outFd is
    // not a terminal, or the terminal cannot place the cursor (TERM=dumb).
    explicit TTerminalConsole(int inFd = 0, int outFd = 1);
    ~TTerminalConsole() override;
    TTerminalConsole(const TTerminalConsole&) = delete;
    TTerminalConsole& operator=(const TTerminalConsole&) = delete;

    TScreenBuffer& Buffer() override { return FBuffer; }
    // Draws the rows of the window that changed since the last call and places the cursor.
    void Present() override;
    // Presents, then waits for a key. A bracketed paste puts its text on the clipboard and
    // reads as Ctrl+V. A new terminal size reads as a window-size event (the maximum window
    // is the new size by then). The end of input or a lost terminal raises ETerminalClosed.
    TKeyEvent ReadInput() override;
    void Beep(std::uint32_t frequency, std::uint32_t duration) override;
    void SetTitle(const std::string& title) override;
    void SetClipboardText(const std::string& text) override;
    std::string ClipboardText() override { return FClipboard; }

    // How long a write may wait for a terminal that takes no output before it counts as lost.
    static constexpr int WriteTimeoutMs = 10000;

private:
    struct TCaps {
        std::string Enter, Leave, Cup, HideCursor, ShowCursor, Reset, Setaf, Setab, ClearLine, Bell, Clear, Bold,
            Reverse;
        // Colours16: terminfo has as many colours as the console; Colours8: eight, so the
        // menu's roles are kept apart by other means; NoColours: none at all. None of them:
        // SGR written directly, bright colours included.
        bool Colours16 = false, Colours8 = false, NoColours = false, ClearLineInColour = false;
        bool Titles = false;  // the terminal takes a title (and saves and restores it)
        unsigned char Backspace = 0x7F;
        std::vector<TKeySequence> Keys;
    };
    static TCaps ReadCaps(int outFd);
    TCoord TerminalSize() const;
    std::string EnterSequence() const;
    void CheckSignals();
    void TakeSignals();
    void Resume();
    std::string MoveTo(int row, int column) const;
    std::string Colour(std::uint16_t attributes) const;
    void Write(const std::string& bytes);
    void Restore() noexcept;

    int FIn, FOut;
    std::string FInName, FOutName;  // for messages: "terminal /dev/pts/3"
    TFd FOutNonBlocking;  // our own open of the terminal, so that a write can time out
    TFd FSignalRead, FSignalWrite;  // SIGWINCH's and SIGCONT's self-pipe
    termios FSaved{}, FRaw{};
    TCaps FCaps;
    TKeyDecoder FDecoder;
    TScreenBuffer FBuffer;
    TCoord FShownSize;                 // the terminal's size as last drawn
    std::vector<TCharInfo> FShown;     // what the terminal shows, row by row
    bool FFullRedraw = true;
    bool FResized = false;             // a new size not yet reported by ReadInput
    int FCursorShown = -1;             // -1 unknown, 0 hidden, 1 shown
    bool FLost = false;                // a write failed: write nothing more
    std::string FClipboard;
};

}  // namespace keyrix::platform
