#include "platform/TerminalConsole.h"

#include "common/Utf8.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

// Last: term.h defines lower-case macros for every capability.
#include <term.h>

namespace keyrix::platform {

namespace {

// How long a started escape sequence waits for its next byte before a lone Esc is Esc, and
// how long a bracketed paste may pause before it counts as ended.
constexpr int EscapeWaitMs = 50;
constexpr int PasteWaitMs = 1000;

constexpr const char* PasteOn = "\x1b[?2004h";
constexpr const char* PasteOff = "\x1b[?2004l";
// xterm's window operations 22 and 23: save the title on the terminal's stack, and restore it.
constexpr const char* PushTitle = "\x1b[22;0t";
constexpr const char* PopTitle = "\x1b[23;0t";
constexpr int EndSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
// What the self-pipe carries from the signal handlers to the console.
constexpr char ResizedByte = 'W', ContinuedByte = 'C';

// What the signal handlers need, prepared before they can run: they may only make
// async-signal-safe calls. One console at a time owns it.
bool GInUse = false;
volatile sig_atomic_t GActive = 0;
volatile sig_atomic_t GSuspended = 0;  // SIGTSTP gave the terminal back; SIGCONT takes it again
int GInFd = -1, GOutFd = -1, GSignalFd = -1;
termios GSaved;
char GLeave[512];
std::size_t GLeaveLength = 0;
struct sigaction GOldEnd[std::size(EndSignals)], GOldResize, GOldSuspend, GOldContinue;
bool GInstalled[std::size(EndSignals)], GSuspendInstalled = false;
TERMINAL* GTerm = nullptr;

void GiveTerminalBack() {
    tcsetattr(GInFd, TCSANOW, &GSaved);
    [[maybe_unused]] const ssize_t written = write(GOutFd, GLeave, GLeaveLength);
}

void Notify(char byte) {
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = write(GSignalFd, &byte, 1);
    errno = savedErrno;
}

extern "C" void OnEndSignal(int signal) {
    if (GActive && !GSuspended) GiveTerminalBack();
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);  // delivered with the default action once this handler returns
}

extern "C" void OnResize(int) { Notify(ResizedByte); }

extern "C" void OnContinue(int) { Notify(ContinuedByte); }

// Stops as the default action would, with the terminal given back first, as a shell expects
// of a stopped program; the console takes it again on SIGCONT.
extern "C" void OnSuspend(int signal) {
    const int savedErrno = errno;
    if (GActive && !GSuspended) {
        GiveTerminalBack();
        GSuspended = 1;
    }
    struct sigaction action {}, own {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, &own);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signal);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    kill(getpid(), signal);  // stops here; in an orphaned process group the kernel ignores it
    sigaction(signal, &own, nullptr);
    // Continued, or never stopped: either way the console must take the terminal again.
    Notify(ContinuedByte);
    errno = savedErrno;
}

// terminfo writes delays as $<n>; a terminal emulator needs none, and writing them would
// show them.
std::string WithoutPadding(const char* text) {
    std::string out;
    for (const char* p = text; *p; ++p) {
        if (p[0] == '$' && p[1] == '<') {
            const char* end = std::strchr(p, '>');
            if (end) {
                p = end;
                continue;
            }
        }
        out += *p;
    }
    return out;
}

std::string Cap(const char* name, std::string fallback) {
    if (!GTerm) return fallback;
    const char* text = tigetstr(name);
    if (!text || text == reinterpret_cast<const char*>(-1) || !*text) return fallback;
    return WithoutPadding(text);
}

// The console colours the menu's roles are told apart by.
constexpr int Black = 0, LightGrey = 7, White = 15;

// The console's colour (bit 0 blue, bit 1 green, bit 2 red, bit 3 intensity) as an ANSI
// colour (0 black, 1 red, 2 green, 3 yellow, 4 blue, ... plus 8 for the bright ones).
int AnsiColour(int colour) { return ((colour & 4) >> 2) | (colour & 2) | ((colour & 1) << 2) | (colour & 8); }

std::string Describe(int fd, const char* role) {
    char name[256];
    if (ttyname_r(fd, name, sizeof name) == 0) return std::string(role) + " " + name;
    return std::string(role) + " (descriptor " + std::to_string(fd) + ")";
}

int RequireTerminal(int inFd, int outFd) {
    const auto notTerminal = [](const char* which) {
        throw ENoTerminal(std::string("The settings menu needs a terminal: standard input and output must be a terminal (") +
                          which + " is not)");
    };
    if (!isatty(inFd)) notTerminal(inFd == 0 ? "standard input" : "the input");
    if (!isatty(outFd)) notTerminal(outFd == 1 ? "standard output" : "the output");
    if (GInUse) throw EBugCheckError("A second terminal console while one is open");
    GInUse = true;  // given back by Restore, which every later path reaches
    return inFd;
}

bool HasFlag(const char* name) { return GTerm && tigetflag(name) > 0; }

}  // namespace

TTerminalConsole::TCaps TTerminalConsole::ReadCaps(int outFd) {
    TCaps caps;
    int error = 0;
    // No entry for TERM: plain ANSI, which every terminal emulator of today speaks. An entry
    // is taken at its word: without smcup (the Linux console) there is no alternate screen.
    GTerm = setupterm(nullptr, outFd, &error) == 0 ? cur_term : nullptr;  // 0 is OK
    caps.Enter = Cap("smcup", GTerm ? "" : "\x1b[?1049h");
    caps.Leave = Cap("rmcup", GTerm ? "" : "\x1b[?1049l");
    caps.Clear = Cap("clear", "\x1b[H\x1b[2J");
    caps.Bold = Cap("bold", "\x1b[1m");
    caps.Reverse = Cap("rev", "\x1b[7m");
    caps.Cup = Cap("cup", "");
    caps.HideCursor = Cap("civis", "\x1b[?25l");
    caps.ShowCursor = Cap("cnorm", "\x1b[?25h");
    caps.Reset = Cap("sgr0", "\x1b[0m");
    caps.Setaf = Cap("setaf", "");
    caps.Setab = Cap("setab", "");
    caps.ClearLine = Cap("el", "\x1b[K");
    caps.Bell = Cap("bel", "\a");
    // el clears in the current background only where the terminal has bce.
    caps.ClearLineInColour = GTerm && tigetflag("bce") > 0;
    // XT marks a terminal that speaks xterm's sequences: the title, and the bright colours as
    // SGR 90-107 whatever its entry counts.
    const bool xtermLike = HasFlag("XT");
    const bool setColours = !caps.Setaf.empty() && !caps.Setab.empty();
    const int colours = GTerm ? tigetnum("colors") : 0;
    caps.Colours16 = GTerm && colours >= 16 && setColours;
    caps.Colours8 = GTerm && !xtermLike && !caps.Colours16 && colours >= 8 && setColours;
    caps.NoColours = GTerm && !xtermLike && !caps.Colours16 && !caps.Colours8;
    // A title sent to a terminal that has none would show as text (the Linux console).
    caps.Titles = !GTerm || xtermLike || !Cap("tsl", "").empty();
    const std::string backspace = Cap("kbs", "\x7f");
    if (backspace.size() == 1) caps.Backspace = static_cast<unsigned char>(backspace[0]);
    static const std::pair<const char*, std::uint16_t> keys[] = {
        {"kcuu1", VK_UP}, {"kcud1", VK_DOWN}, {"kcub1", VK_LEFT}, {"kcuf1", VK_RIGHT}, {"khome", VK_HOME},
        {"kend", VK_END}, {"kpp", VK_PRIOR}, {"knp", VK_NEXT}, {"kich1", VK_INSERT}, {"kdch1", VK_DELETE},
        {"kf1", VK_F1}, {"kf2", VK_F1 + 1}, {"kf3", VK_F1 + 2}, {"kf4", VK_F1 + 3}, {"kf5", VK_F1 + 4},
        {"kf6", VK_F1 + 5}, {"kf7", VK_F1 + 6}, {"kf8", VK_F1 + 7}, {"kf9", VK_F1 + 8}, {"kf10", VK_F1 + 9},
        {"kf11", VK_F1 + 10}, {"kf12", VK_F12}};
    for (const auto& [name, vk] : keys) {
        std::string bytes = Cap(name, "");
        if (!bytes.empty()) caps.Keys.push_back({std::move(bytes), TKeyEvent{true, vk, 0, 0}});
    }
    return caps;
}

TTerminalConsole::TTerminalConsole(int inFd, int outFd)
    : FIn(RequireTerminal(inFd, outFd)), FOut(outFd), FCaps(ReadCaps(outFd)),
      FDecoder(FCaps.Backspace, FCaps.Keys), FBuffer(1, 1) {
    try {
        // A terminal that cannot place the cursor would get escape sequences it prints.
        if (GTerm && (FCaps.Cup.empty() || HasFlag("hc") || HasFlag("gn"))) {
            const char* term = std::getenv("TERM");
            throw ENoTerminal(std::string("The settings menu needs a terminal that can place the cursor (TERM=") +
                              (term ? term : "") + " cannot)");
        }
        // Named now: a terminal that is gone has no name any more.
        FInName = Describe(FIn, "terminal");
        FOutName = Describe(FOut, "terminal");
        if (tcgetattr(FIn, &FSaved) != 0) {
            const int error = errno;
            throw EOSError(error, "Cannot read the modes of " + FInName + ": " + std::strerror(error));
        }
        // Our own open file description of the terminal, non-blocking, so that a write to a
        // terminal that takes nothing can time out without touching the shell's descriptor.
        char name[256];
        if (ttyname_r(FOut, name, sizeof name) == 0)
            FOutNonBlocking.Reset(::open(name, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        int pipeFds[2];
        if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
            const int error = errno;
            throw EOSError(error, std::string("Cannot create the pipe for terminal signals: ") + std::strerror(error));
        }
        FSignalRead.Reset(pipeFds[0]);
        FSignalWrite.Reset(pipeFds[1]);

        FShownSize = TerminalSize();
        FBuffer.SetSize(FShownSize);
        FBuffer.SetMaximumWindowSize(FShownSize);

        // The screen is cleared in the terminal's own colours before it is left: where there
        // is no alternate screen, that is all that takes the menu away.
        const std::string leave = FCaps.Reset + FCaps.Clear + PasteOff + FCaps.ShowCursor + FCaps.Leave +
                                  (FCaps.Titles ? PopTitle : "");
        GLeaveLength = std::min(leave.size(), sizeof GLeave);
        std::memcpy(GLeave, leave.data(), GLeaveLength);
        GInFd = FIn;
        GOutFd = FOutNonBlocking.Get() >= 0 ? FOutNonBlocking.Get() : FOut;
        GSignalFd = FSignalWrite.Get();
        GSaved = FSaved;
        GSuspended = 0;
        GActive = 1;

        struct sigaction action {};
        sigemptyset(&action.sa_mask);
        for (int signal : EndSignals) sigaddset(&action.sa_mask, signal);
        action.sa_handler = OnEndSignal;
        for (std::size_t i = 0; i < std::size(EndSignals); ++i) {
            sigaction(EndSignals[i], nullptr, &GOldEnd[i]);
            // A signal the process was told to ignore (nohup) stays ignored.
            GInstalled[i] = GOldEnd[i].sa_handler != SIG_IGN;
            if (GInstalled[i]) sigaction(EndSignals[i], &action, nullptr);
        }
        action.sa_handler = OnSuspend;
        sigaction(SIGTSTP, nullptr, &GOldSuspend);
        GSuspendInstalled = GOldSuspend.sa_handler != SIG_IGN;
        if (GSuspendInstalled) sigaction(SIGTSTP, &action, nullptr);
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        action.sa_handler = OnResize;
        sigaction(SIGWINCH, &action, &GOldResize);
        action.sa_handler = OnContinue;
        sigaction(SIGCONT, &action, &GOldContinue);

        // Raw input: every key byte as it comes, no echo, and Ctrl+C as the byte 3.
        FRaw = FSaved;
        cfmakeraw(&FRaw);
        FRaw.c_cc[VMIN] = 1;
        FRaw.c_cc[VTIME] = 0;
        if (tcsetattr(FIn, TCSANOW, &FRaw) != 0) {
            const int error = errno;
            throw EOSError(error, "Cannot set raw mode on " + FInName + ": " + std::strerror(error));
        }
        Write(EnterSequence());
    } catch (...) {
        Restore();
        throw;
    }
}

TTerminalConsole::~TTerminalConsole() { Restore(); }

void TTerminalConsole::Restore() noexcept {
    if (GActive) {
        // The end signals wait until everything is back, then act as they would have.
        sigset_t block, previous;
        sigemptyset(&block);
        for (int signal : EndSignals) sigaddset(&block, signal);
        sigaddset(&block, SIGTSTP);
        pthread_sigmask(SIG_BLOCK, &block, &previous);
        GActive = 0;
        // Stopped and given back already: leaving again would clear the shell's screen.
        if (!FLost && !GSuspended) {
            const int fd = FOutNonBlocking.Get() >= 0 ? FOutNonBlocking.Get() : FOut;
            std::string_view rest(GLeave, GLeaveLength);
            // A terminal that takes nothing gets one short try: leaving must not hang.
            for (int tries = 0; !rest.empty() && tries < 20;) {
                const ssize_t written = ::write(fd, rest.data(), rest.size());
                if (written > 0) {
                    rest.remove_prefix(static_cast<std::size_t>(written));
                } else if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
                    pollfd out{fd, POLLOUT, 0};
                    ::poll(&out, 1, 50);
                    ++tries;
                } else {
                    break;
                }
            }
        }
        tcsetattr(FIn, TCSANOW, &FSaved);
        for (std::size_t i = 0; i < std::size(EndSignals); ++i)
            if (GInstalled[i]) sigaction(EndSignals[i], &GOldEnd[i], nullptr);
        if (GSuspendInstalled) sigaction(SIGTSTP, &GOldSuspend, nullptr);
        sigaction(SIGWINCH, &GOldResize, nullptr);
        sigaction(SIGCONT, &GOldContinue, nullptr);
        GSuspended = 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    if (GTerm) {
        del_curterm(GTerm);
        GTerm = nullptr;
    }
    GInUse = false;
}

TCoord TTerminalConsole::TerminalSize() const {
    winsize size{};
    if (ioctl(FOut, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return {80, 24};
    // The buffer's coordinates are 16-bit; no real terminal comes near this.
    return {static_cast<std::int16_t>(std::min<int>(size.ws_col, 4000)),
            static_cast<std::int16_t>(std::min<int>(size.ws_row, 4000))};
}

std::string TTerminalConsole::EnterSequence() const {
    return (FCaps.Titles ? PushTitle : "") + FCaps.Enter + PasteOn + FCaps.Reset;
}

void TTerminalConsole::CheckSignals() {
    pollfd signals{FSignalRead.Get(), POLLIN, 0};
    if (::poll(&signals, 1, 0) > 0) TakeSignals();
}

// What the handlers reported: a new size (reported once by ReadInput), a continue after a stop.
void TTerminalConsole::TakeSignals() {
    bool continued = false;
    char bytes[64];
    for (;;) {
        const ssize_t got = ::read(FSignalRead.Get(), bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        continued = continued || std::string_view(bytes, static_cast<std::size_t>(got)).find(ContinuedByte) != std::string_view::npos;
    }
    if (continued) Resume();
    const TCoord size = TerminalSize();
    if (size == FShownSize) return;
    FShownSize = size;
    FBuffer.SetMaximumWindowSize(FShownSize);
    FFullRedraw = true;
    FResized = true;
}

void TTerminalConsole::Resume() {
    // Whatever the terminal showed meanwhile is not the menu: everything is drawn anew.
    FFullRedraw = true;
    FCursorShown = -1;
    if (!GSuspended) return;  // stopped by SIGSTOP: the terminal stayed as it was
    if (tcsetattr(FIn, TCSANOW, &FRaw) != 0) {
        const int error = errno;
        throw ETerminalClosed("Cannot set raw mode on " + FInName + " again: " + std::strerror(error));
    }
    GSuspended = 0;
    Write(EnterSequence());
}

std::string TTerminalConsole::MoveTo(int row, int column) const {
    if (!FCaps.Cup.empty() && GTerm) return WithoutPadding(tiparm(FCaps.Cup.c_str(), row, column));
    return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "H";
}

std::string TTerminalConsole::Colour(std::uint16_t attributes) const {
    const int text = AnsiColour(attributes & 0x0F), background = AnsiColour((attributes >> 4) & 0x0F);
    if (FCaps.Colours16 && GTerm)
        return WithoutPadding(tiparm(FCaps.Setaf.c_str(), text)) + WithoutPadding(tiparm(FCaps.Setab.c_str(), background));
    if (FCaps.NoColours) {
        // No colours: a background other than the screen's in reverse video, text in a colour
        // or bright in bold.
        const int fg = attributes & 0x0F, bg = (attributes >> 4) & 0x0F;
        return FCaps.Reset + (bg != Black && bg != White ? FCaps.Reverse : "") +
               (fg != Black && fg != LightGrey ? FCaps.Bold : "");
    }
    if (FCaps.Colours8 && GTerm) {
        // Eight colours: white is light grey, so the light grey of the edit field shows in
        // reverse (grey on its text colour) and bright text is bold.
        const int fg = attributes & 0x0F, bg = (attributes >> 4) & 0x0F;
        const bool field = bg == LightGrey;
        const int shownText = field ? LightGrey : fg & 7, shownBackground = field ? fg & 7 : bg & 7;
        return FCaps.Reset + (!field && (fg & 8) ? FCaps.Bold : "") +
               WithoutPadding(tiparm(FCaps.Setaf.c_str(), AnsiColour(shownText))) +
               WithoutPadding(tiparm(FCaps.Setab.c_str(), AnsiColour(shownBackground)));
    }
    // No terminfo entry, or xterm's kind with fewer colours in it: the bright colours as SGR
    // 90-97 and 100-107 anyway, which terminal emulators take.
    const auto sgr = [](int colour, int base, int brightBase) {
        return std::to_string(colour & 8 ? brightBase + (colour & 7) : base + colour);
    };
    return "\x1b[" + sgr(text, 30, 90) + ";" + sgr(background, 40, 100) + "m";
}

void TTerminalConsole::Present() {
    CheckSignals();
    const int width = FShownSize.X, height = FShownSize.Y;
    const std::size_t cells = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (FShown.size() != cells) {
        FShown.assign(cells, TCharInfo{});
        FFullRedraw = true;
    }
    const TSmallRect window = FBuffer.Window();
    std::string out;
    int attributes = -1;
    std::vector<TCharInfo> row(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        // The terminal shows the window from its top-left corner; what lies beyond the
        // window is blank.
        for (int x = 0; x < width; ++x) {
            const int bx = window.Left + x, by = window.Top + y;
            TCharInfo cell{U' ', 0x07};
            if (bx <= window.Right && by <= window.Bottom)
                cell = FBuffer.Cell(static_cast<std::int16_t>(bx), static_cast<std::int16_t>(by));
            // A control character would act on the terminal instead of showing.
            if (cell.Char < 0x20 || (cell.Char >= 0x7F && cell.Char < 0xA0)) cell.Char = U'?';
            row[static_cast<std::size_t>(x)] = cell;
        }
        TCharInfo* shown = &FShown[static_cast<std::size_t>(y) * static_cast<std::size_t>(width)];
        int first = 0, last = width - 1;
        if (!FFullRedraw) {
            while (first < width && row[static_cast<std::size_t>(first)] == shown[first]) ++first;
            if (first == width) continue;
            while (row[static_cast<std::size_t>(last)] == shown[last]) --last;
        }
        if (out.empty() && FCursorShown != 0) {
            // No cursor wandering over the screen while it is drawn.
            out += FCaps.HideCursor;
            FCursorShown = 0;
        }
        // A row that ends in blanks of one colour is cleared to its end at once.
        int blanks = width;
        while (blanks > 0 && row[static_cast<std::size_t>(blanks - 1)].Char == U' ' &&
               row[static_cast<std::size_t>(blanks - 1)].Attributes == row[static_cast<std::size_t>(width - 1)].Attributes)
            --blanks;
        const bool clear = FCaps.ClearLineInColour && last - std::max(blanks, first) >= 4;
        if (clear) last = std::max(blanks, first) - 1;
        out += MoveTo(y, first);
        for (int x = first; x <= last; ++x) {
            const TCharInfo& cell = row[static_cast<std::size_t>(x)];
            if (cell.Attributes != attributes) {
                attributes = cell.Attributes;
                out += Colour(cell.Attributes);
            }
            AppendUtf8(out, cell.Char);
            // Outside the Latin blocks a character may take two columns or none on the
            // terminal: the next one is placed anew so that the columns stay the buffer's.
            if (cell.Char >= 0x300 && x < last) out += MoveTo(y, x + 1);
            shown[x] = cell;
        }
        if (clear) {
            const TCharInfo& blank = row[static_cast<std::size_t>(width - 1)];
            if (last >= first) out += MoveTo(y, last + 1);
            if (blank.Attributes != attributes) {
                attributes = blank.Attributes;
                out += Colour(blank.Attributes);
            }
            out += FCaps.ClearLine;
            std::fill(shown + last + 1, shown + width, blank);
        }
    }
    FFullRedraw = false;

    const TCoord cursor = FBuffer.Cursor();
    const int cx = cursor.X - window.Left, cy = cursor.Y - window.Top;
    const bool visible = FBuffer.CursorVisible() && cursor.X >= window.Left && cursor.X <= window.Right &&
                         cursor.Y >= window.Top && cursor.Y <= window.Bottom && cx < width && cy < height;
    if (visible) {
        out += MoveTo(cy, cx);
        if (FCursorShown != 1) out += FCaps.ShowCursor;
        FCursorShown = 1;
    } else if (FCursorShown != 0) {
        out += FCaps.HideCursor;
        FCursorShown = 0;
    }
    if (!out.empty()) Write(out);
}

TKeyEvent TTerminalConsole::ReadInput() {
    Present();
    for (;;) {
        if (FResized) {
            FResized = false;
            return TKeyEvent::WindowSizeChanged();
        }
        if (std::optional<TDecodedInput> input = FDecoder.Next()) {
            if (input->Kind == TDecodedInput::TKind::Key) return input->Key;
            FClipboard = std::move(input->Paste);
            return TKeyEvent{true, 'V', 22, LEFT_CTRL_PRESSED};
        }
        const int timeout = FDecoder.InPaste() ? PasteWaitMs : FDecoder.Holding() ? EscapeWaitMs : -1;
        pollfd fds[2] = {{FIn, POLLIN, 0}, {FSignalRead.Get(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            throw ETerminalClosed("Waiting for a key on " + FInName + " failed: " + std::strerror(error));
        }
        if (ready == 0) {
            FDecoder.Timeout();
            continue;
        }
        if (fds[1].revents) {
            TakeSignals();
            Present();
            continue;  // a new size is reported before the next key
        }
        if (fds[0].revents) {
            char bytes[4096];
            const ssize_t got = ::read(FIn, bytes, sizeof bytes);
            if (got > 0) {
                FDecoder.Feed(std::string_view(bytes, static_cast<std::size_t>(got)));
            } else if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            } else {
                // End of input (a closed terminal answers EIO): the menu ends, never spins.
                const std::string reason = got == 0 ? "end of input" : std::strerror(errno);
                throw ETerminalClosed("The " + FInName + " is gone: " + reason);
            }
        }
    }
}

void TTerminalConsole::Write(const std::string& bytes) {
    if (FLost) throw ETerminalClosed("The " + FOutName + " is gone: an earlier write failed");
    const int fd = FOutNonBlocking.Get() >= 0 ? FOutNonBlocking.Get() : FOut;
    std::string_view rest(bytes);
    while (!rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written > 0) {
            rest.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) {
            pollfd out{fd, POLLOUT, 0};
            const int ready = ::poll(&out, 1, WriteTimeoutMs);
            if (ready > 0 || (ready < 0 && errno == EINTR)) continue;
            FLost = true;
            throw ETerminalClosed("The " + FOutName + " took no output for " + std::to_string(WriteTimeoutMs / 1000) + " s");
        }
        const int error = written < 0 ? errno : EIO;
        FLost = true;
        throw ETerminalClosed("Writing to the " + FOutName + " failed: " + std::strerror(error));
    }
}

void TTerminalConsole::Beep(std::uint32_t, std::uint32_t) { Write(FCaps.Bell); }

void TTerminalConsole::SetTitle(const std::string& title) {
    if (!FCaps.Titles) return;
    // Control characters (C0, DEL and C1) would end the sequence early or start another.
    std::string clean;
    const std::string text = SanitizeUtf8(title);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) continue;
        if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            ++i;
            continue;
        }
        clean += text[i];
    }
    Write("\x1b]0;" + clean + "\a");
}

void TTerminalConsole::SetClipboardText(const std::string& text) {
    FClipboard = text;
    std::string encoded(4 * ((text.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    encoded.resize(static_cast<std::size_t>(length));
    Write("\x1b]52;c;" + encoded + "\a");
}

}  // namespace keyrix::platform
