// The settings menu of the built executable in a real terminal: tmux runs it, send-keys
// types, capture-pane reads the screen. Each test has tmux servers of its own (their sockets
// in its folder), so tests run side by side; every wait is bounded and each server is
// killed at the end.
#include "tests/TestSupport.h"
#include "tests/setup/HiveFixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace keyrix::test;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {

std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A tmux server of the test's own with one session of 80 x 40 cells and no status line. Its
// panes are 16-colour terminals with an alternate screen (TERM=tmux-256color) unless the
// test sets other options.
class TTmux {
public:
    explicit TTmux(const std::string& folder) : FFolder(folder), FConfig(folder + "/tmux.conf") { Configure(""); }
    // Options for the servers started from now on, beside the usual ones.
    void Configure(const std::string& options) {
        WriteFile(FConfig, "set -g status off\nset -g history-limit 0\nset -g default-terminal tmux-256color\n" + options);
    }
    TTmux(const TTmux&) = delete;
    TTmux& operator=(const TTmux&) = delete;
    ~TTmux() { Stop(); }

    // Ends the server and everything in its pane; Start may follow.
    void Stop() {
        if (!FSocket.empty()) Tmux("kill-server");
    }

    // Starts a server of its own: a server that is still going away cannot take the session.
    void Start(const std::string& command) {
        // The socket lies in the test's folder, which goes with the test.
        FSocket = Quoted(FFolder + "/tmux-" + std::to_string(++FServers) + ".socket");
        const TCommandResult started = RunCommand("tmux -S " + FSocket + " -f " + Quoted(FConfig) +
                                                  " new-session -d -x 80 -y 40 -s menu " + Quoted(command) + " 2>&1");
        ASSERT_EQ(started.ExitCode, 0) << started.Output;
    }
    // Sends tmux key names (Down, Enter, Escape, BSpace, ...), one after another.
    void Keys(const std::vector<std::string>& keys) {
        for (const std::string& key : keys) {
            Tmux("send-keys -t menu " + key);
            // A lone Esc is told from a key sequence by the pause after it.
            if (key == "Escape") std::this_thread::sleep_for(150ms);
        }
    }
    void Type(const std::string& text) { Tmux("send-keys -t menu -l " + Quoted(text)); }
    void Resize(int columns, int rows) {
        Tmux("resize-window -t menu -x " + std::to_string(columns) + " -y " + std::to_string(rows));
    }
    // The pane's rows, 0-based; with escapes, the colours as SGR sequences and every cell.
    Lines Screen(bool escapes = false) {
        Lines rows;
        std::istringstream in(Tmux(std::string("capture-pane -p") + (escapes ? " -e -N" : "") + " -t menu").Output);
        std::string row;
        while (std::getline(in, row)) rows.push_back(row);
        return rows;
    }
    std::string Row(std::size_t index) {
        const Lines rows = Screen();
        return index < rows.size() ? rows[index] : std::string();
    }
    std::string Display(const std::string& format) {
        std::string text = Tmux("display -p -t menu " + Quoted(format)).Output;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    std::string Dump() {
        std::string text;
        for (const std::string& row : Screen()) text += "|" + row + "\n";
        return text;
    }

private:
    TCommandResult Tmux(const std::string& arguments) {
        return RunCommand("tmux -S " + FSocket + " " + arguments + " 2>/dev/null");
    }

    std::string FFolder, FConfig, FSocket;
    int FServers = 0;
};

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(40ms);
    }
    return true;
}

// Screen rows (0-based) of the settings screen on an 80-column terminal.
constexpr std::size_t ButtonRow = 26;      // "Install service"; the other buttons follow
constexpr std::size_t MessageRow = 30;     // the install routine's line
constexpr std::size_t CaptionColumn = 2;   // categories and buttons
constexpr std::size_t SettingColumn = 4;   // setting captions
constexpr std::size_t ValueColumn = 31;

std::string Cut(const std::string& row, std::size_t from, std::size_t count = std::string::npos) {
    if (from >= row.size()) return "";
    std::string text = row.substr(from, count);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The colours of a cell as tmux reports them: SGR foreground and background codes.
struct TSgr {
    int Fg = 39, Bg = 49;
    bool Bold = false;
    bool operator==(const TSgr&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TSgr& colour) {
    return out << "fg " << colour.Fg << ", bg " << colour.Bg << (colour.Bold ? ", bold" : "");
}

// The colours of every character of a screen captured with escapes; tmux carries the state
// from one row into the next.
std::vector<std::vector<TSgr>> Colours(const Lines& rows) {
    std::vector<std::vector<TSgr>> cells;
    TSgr state;
    for (const std::string& row : rows) {
        cells.emplace_back();
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (row[i] == '\033' && i + 1 < row.size() && row[i + 1] == '[') {
                std::size_t end = i + 2;
                while (end < row.size() && !(row[end] >= 0x40 && row[end] <= 0x7E)) ++end;
                if (end < row.size() && row[end] == 'm') {
                    std::vector<int> codes;
                    std::istringstream in(row.substr(i + 2, end - i - 2));
                    std::string code;
                    while (std::getline(in, code, ';')) codes.push_back(code.empty() ? 0 : std::stoi(code));
                    if (codes.empty()) codes.push_back(0);
                    for (std::size_t k = 0; k < codes.size(); ++k) {
                        const int n = codes[k];
                        if (n == 0) state = TSgr{};
                        else if (n == 1) state.Bold = true;
                        else if (n == 22) state.Bold = false;
                        else if ((n >= 30 && n <= 37) || (n >= 90 && n <= 97) || n == 39) state.Fg = n;
                        else if ((n >= 40 && n <= 47) || (n >= 100 && n <= 107) || n == 49) state.Bg = n;
                        else if ((n == 38 || n == 48) && k + 2 < codes.size() && codes[k + 1] == 5) {
                            (n == 38 ? state.Fg : state.Bg) = 1000 + codes[k + 2];  // a 256-colour index
                            k += 2;
                        }
                    }
                }
                i = end;
                continue;
            }
            if ((static_cast<unsigned char>(row[i]) & 0xC0) != 0x80) cells.back().push_back(state);
        }
    }
    return cells;
}

// The executable in a shell script inside the pane: the script marks the shell's screen
// before and after, records the terminal modes on both sides and the exit status, then
// stays, so that the pane can still be read.
class MenuTerminal : public HiveFixture {
protected:
    void SetUp() override {
        HiveFixture::SetUp();
        ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
        std::filesystem::create_directory(UnitDir);
    }

    // Starts the menu; the redirection applies to the executable alone, the prefix goes
    // before it (another user, say).
    void StartMenu(const std::string& redirection = "", const std::string& prefix = "") {
        const std::string script = Dir.File("run.sh");
        WriteFile(script, "stty -g > " + Quoted(Dir.File("modes.before")) +
                              "\nprintf '\\033]0;shell title\\007shell line before the menu\\n'\n"
                              "env -u NOTIFY_SOCKET KEYRIX_REGISTRY=" +
                              Quoted(HivePath) + " KEYRIX_EVENTLOG=" + Quoted(EventLog) + " KEYRIX_SYSTEMD_DIR=" +
                              Quoted(UnitDir) + " KEYRIX_RUN_LOCK=" + Quoted(Dir.File("run.lock")) + " " + prefix +
                              " " + Quoted(KEYRIX_EXECUTABLE) + " " + redirection +
                              "\nstatus=$?\nstty -g > " + Quoted(Dir.File("modes.after")) +
                              "\nprintf 'shell line after the menu\\n'\n"
                              "echo $status > " +
                              Quoted(Dir.File("status.part")) + " && mv " + Quoted(Dir.File("status.part")) + " " +
                              Quoted(StatusFile) + "\nexec sleep 600\n");
        Terminal.Start("sh " + Quoted(script));
    }
    // Waits for the settings screen, whole, with the first setting selected.
    void WaitForMenu() {
        ASSERT_TRUE(WaitUntil([this] { return Cut(Terminal.Row(ButtonRow + 3), CaptionColumn) == "Exit (ESC)"; }))
            << Terminal.Dump();
        ASSERT_TRUE(WaitUntil([this] { return Terminal.Row(2).substr(0, 4) == "   >"; })) << Terminal.Dump();
    }
    // Waits for the script to record the executable's exit status; -1 when it does not.
    int WaitForExit() {
        if (!WaitUntil([this] { return FileExists(StatusFile); })) {
            ADD_FAILURE() << "the menu did not end\n" << Terminal.Dump();
            return -1;
        }
        return std::stoi(ReadFile(StatusFile));
    }
    // Selects the nth setting (0-based) from the first one, where the menu starts.
    void SelectSetting(int index) {
        for (int i = 0; i < index; ++i) Terminal.Keys({"Down"});
        ASSERT_TRUE(WaitUntil([&] { return Terminal.Row(SettingRow(index)).substr(0, 4) == "   >"; }))
            << Terminal.Dump();
    }
    // The screen row of the nth setting: categories take two rows each.
    static std::size_t SettingRow(int index) {
        static const std::size_t rows[] = {2, 3, 4, 5, 6, 9, 10, 13, 16, 17, 18, 19, 22, 23};
        return rows[index];
    }
    // The executable: the only child of the pane's shell.
    std::string MenuPid() {
        std::string pid = RunCommand("pgrep -P " + Terminal.Display("#{pane_pid}")).Output;
        while (!pid.empty() && pid.back() == '\n') pid.pop_back();
        return pid;
    }
    bool ShowsAt(std::size_t row, const std::string& text) {
        return WaitUntil([&] { return Terminal.Row(row).find(text) != std::string::npos; }, 10s);
    }

    std::string UnitDir = Dir.File("units");
    std::string Unit = UnitDir + "/KeyrixSyncVLRM.service";
    std::string EventLog = Dir.File("events.log");
    std::string StatusFile = Dir.File("status");
    TTmux Terminal{Dir.Path()};
};

}  // namespace

TEST_F(MenuTerminal, SettingsScreenShowsEveryRowInItsPlace) {
    StartMenu();
    WaitForMenu();
    const Lines screen = Terminal.Screen();
    ASSERT_GE(screen.size(), 31u) << Terminal.Dump();
    struct Row {
        std::size_t row, column;
        std::string caption, value;
    };
    const Row rows[] = {
        {1, CaptionColumn, "Database", ""},
        {2, SettingColumn, "Server address:", "127.0.0.1"},
        {3, SettingColumn, "Port number:", "3050"},
        {4, SettingColumn, "Database name:", "keyrix_serv"},
        {5, SettingColumn, "Username:", "SYSDBA"},
        {6, SettingColumn, "Password:", "lanternox"},
        {8, CaptionColumn, "Server", ""},
        {9, SettingColumn, "Port:", "4702"},
        {10, SettingColumn, "Password:", "moonlake"},
        {12, CaptionColumn, "General", ""},
        {13, SettingColumn, "Log messages to file", "[ ]"},
        {15, CaptionColumn, "HRM", ""},
        {16, SettingColumn, "Import enabled", "[X]"},
        // 45 characters of the value show.
        {17, SettingColumn, "Data source URL:", "https://hrm.example.com/General/HrDataService"},
        {18, SettingColumn, "Username:", "EXAMPLE\\hrmsync"},
        {19, SettingColumn, "Password:", "RimaSelo473"},
        {21, CaptionColumn, "BRAKON", ""},
        {22, SettingColumn, "Import enabled", "[X]"},
        {23, SettingColumn, "Data source file:", "C:\\BKE\\whgppu4xel.xml"},
        {26, CaptionColumn, "Install service", ""},
        {27, CaptionColumn, "Restore defaults", ""},
        {28, CaptionColumn, "Save and exit", ""},
        {29, CaptionColumn, "Exit (ESC)", ""},
    };
    std::vector<bool> described(screen.size(), false);
    for (const Row& r : rows) {
        const std::string& line = screen[r.row];
        described[r.row] = true;
        EXPECT_EQ(Cut(line, 0, r.column), r.row == 2 ? "   >" : "") << "row " << r.row + 1 << ": " << line;
        EXPECT_EQ(Cut(line, r.column, ValueColumn - r.column), r.caption) << "row " << r.row + 1 << ": " << line;
        EXPECT_EQ(Cut(line, ValueColumn), r.value) << "row " << r.row + 1 << ": " << line;
    }
    for (std::size_t row = 0; row < screen.size(); ++row) {
        if (described[row]) continue;
        EXPECT_EQ(Cut(screen[row], 0), "") << "row " << row + 1 << " stays blank";
    }

    // Black on white, categories green, buttons red, the field being edited on light grey,
    // the selected button white on red (as SGR codes: 30 black, 31 red, 32 green, 97 white;
    // backgrounds 107 white, 47 light grey, 41 red).
    struct Colour {
        std::size_t row, column;
        TSgr colour;
    };
    const Colour colours[] = {
        {0, 0, {37, 107}},     // the screen: blank and white
        {1, CaptionColumn, {32, 107}},
        {2, SettingColumn, {30, 107}},
        {2, ValueColumn, {30, 47}},
        {2, ValueColumn + 44, {30, 47}},  // the field is 45 cells wide
        {2, ValueColumn + 45, {37, 107}},
        {3, ValueColumn, {30, 107}},
        {ButtonRow, CaptionColumn, {31, 107}},
        {ButtonRow + 3, CaptionColumn, {31, 107}},
    };
    std::vector<std::vector<TSgr>> cells = Colours(Terminal.Screen(true));
    for (const Colour& c : colours) {
        ASSERT_LT(c.row, cells.size());
        ASSERT_LT(c.column, cells[c.row].size()) << "row " << c.row + 1;
        EXPECT_EQ(cells[c.row][c.column], c.colour) << "row " << c.row + 1 << ", column " << c.column + 1;
    }
    Terminal.Keys({"PageDown"});
    ASSERT_TRUE(WaitUntil([&] {
        cells = Colours(Terminal.Screen(true));
        return cells.size() > ButtonRow + 3 && cells[ButtonRow + 3].size() > CaptionColumn &&
               cells[ButtonRow + 3][CaptionColumn] == TSgr{97, 41};
    })) << "the selected button is white on red";
    EXPECT_EQ(cells[2][ValueColumn], (TSgr{30, 107})) << "the field closed";

    Terminal.Keys({"Escape"});
    EXPECT_EQ(WaitForExit(), 0);
    EXPECT_FALSE(FileExists(HivePath)) << "leaving writes nothing";
}

TEST_F(MenuTerminal, EditsAreSavedWithSaveAndExit) {
    StartMenu();
    WaitForMenu();
    SelectSetting(1);  // Port number
    Terminal.Keys({"BSpace", "BSpace", "BSpace", "BSpace"});
    Terminal.Type("3100");
    ASSERT_TRUE(ShowsAt(3, "3100")) << Terminal.Dump();
    Terminal.Keys({"Down", "End"});  // Database name
    Terminal.Type("_north");
    ASSERT_TRUE(ShowsAt(4, "keyrix_serv_north")) << Terminal.Dump();
    for (int i = 2; i < 7; ++i) Terminal.Keys({"Down"});  // to "Log messages to file"
    ASSERT_TRUE(WaitUntil([this] { return Terminal.Row(13).substr(0, 4) == "   >"; })) << Terminal.Dump();
    Terminal.Keys({"Space"});
    ASSERT_TRUE(ShowsAt(13, "[X]")) << Terminal.Dump();
    Terminal.Keys({"PageDown", "Up", "Enter"});  // "Save and exit"
    ASSERT_EQ(WaitForExit(), 0) << Terminal.Dump();

    auto database = Open("Database");
    EXPECT_EQ(database->ReadInteger("Port number"), 3100);
    EXPECT_EQ(database->ReadString("Database name"), "keyrix_serv_north");
    EXPECT_EQ(database->ReadString("Server address"), "127.0.0.1");
    EXPECT_EQ(Open("General")->ReadInteger("Log messages to file"), 1);
    EXPECT_EQ(Open("Server")->ReadInteger("Port"), 4702);
}

TEST_F(MenuTerminal, LeavingWithoutSavingKeepsTheHiveByteForByte) {
    struct Case {
        const char* how;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {"Esc", {"Escape"}},
        {"Restore defaults, then the exit button", {"PageDown", "Up", "Up", "Enter", "PageDown", "Enter"}},
    };
    for (const Case& c : cases) {
        WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") +
                  "\"Server address\"=\"db.example.org\"\r\n\"Port number\"=dword:00000c1c\r\n\r\n");
        const std::string before = ReadFile(HivePath);
        ::unlink(StatusFile.c_str());
        StartMenu();
        WaitForMenu();
        ASSERT_NE(Terminal.Row(2).find("db.example.org"), std::string::npos) << Terminal.Dump();
        Terminal.Keys({"BSpace", "BSpace", "BSpace"});
        Terminal.Type("net");
        SelectSetting(1);
        Terminal.Keys({"BSpace"});
        Terminal.Type("9");
        ASSERT_TRUE(ShowsAt(3, "3109")) << Terminal.Dump();
        Terminal.Keys(c.keys);
        EXPECT_EQ(WaitForExit(), 0) << c.how;
        EXPECT_EQ(ReadFile(HivePath), before) << c.how;
        Terminal.Stop();
    }
}

TEST_F(MenuTerminal, PortOutsideItsRangeIsRefusedWithTheBell) {
    StartMenu();
    WaitForMenu();
    SelectSetting(1);
    Terminal.Keys({"BSpace", "BSpace", "BSpace", "BSpace"});
    Terminal.Type("70000");
    ASSERT_TRUE(ShowsAt(3, "70000")) << Terminal.Dump();
    EXPECT_EQ(Terminal.Display("#{window_bell_flag}"), "0");
    Terminal.Keys({"Down"});
    EXPECT_TRUE(WaitUntil([this] { return Terminal.Display("#{window_bell_flag}") == "1"; })) << "no bell";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Terminal.Row(3).substr(0, 4), "   >") << "the selection stays\n" << Terminal.Dump();
    EXPECT_EQ(Terminal.Row(4).substr(0, 4), "    ") << Terminal.Dump();
    EXPECT_NE(Terminal.Row(3).find("70000"), std::string::npos) << "the text stays in the field";

    Terminal.Keys({"BSpace", "BSpace", "BSpace", "BSpace", "BSpace"});
    Terminal.Type("8080");
    Terminal.Keys({"Down"});
    ASSERT_TRUE(WaitUntil([this] { return Terminal.Row(4).substr(0, 4) == "   >"; })) << Terminal.Dump();
    EXPECT_EQ(Cut(Terminal.Row(3), ValueColumn), "8080");
    Terminal.Keys({"PageDown", "Up", "Enter"});
    ASSERT_EQ(WaitForExit(), 0);
    EXPECT_EQ(Open("Database")->ReadInteger("Port number"), 8080);
}

TEST_F(MenuTerminal, InstallButtonFollowsTheServiceAndShowsTheResult) {
    StartMenu();
    WaitForMenu();
    EXPECT_EQ(Cut(Terminal.Row(ButtonRow), CaptionColumn), "Install service");
    Terminal.Keys({"PageDown", "Up", "Up", "Up", "Enter"});
    ASSERT_TRUE(ShowsAt(ButtonRow, "Uninstall service")) << Terminal.Dump();
    ASSERT_TRUE(ShowsAt(MessageRow, "Service installed successfully")) << Terminal.Dump();
    EXPECT_EQ(Cut(Terminal.Row(MessageRow), 0), "  Service installed successfully");
    EXPECT_TRUE(FileExists(Unit));
    EXPECT_NE(ReadFile(Unit).find(std::string("ExecStart=") + KEYRIX_EXECUTABLE + " /SVC"), std::string::npos);

    Terminal.Keys({"Enter"});
    ASSERT_TRUE(WaitUntil([this] { return Cut(Terminal.Row(ButtonRow), CaptionColumn) == "Install service"; }))
        << Terminal.Dump();
    ASSERT_TRUE(ShowsAt(MessageRow, "Service uninstalled successfully")) << Terminal.Dump();
    EXPECT_FALSE(FileExists(Unit));

    Terminal.Keys({"Enter", "Escape"});
    EXPECT_EQ(WaitForExit(), 0);
    ASSERT_TRUE(FileExists(Unit)) << "installed again before leaving";

    // The next start asks the service manager: the service is there.
    Terminal.Stop();
    ::unlink(StatusFile.c_str());
    StartMenu();
    WaitForMenu();
    EXPECT_EQ(Cut(Terminal.Row(ButtonRow), CaptionColumn), "Uninstall service");
    EXPECT_EQ(Cut(Terminal.Row(MessageRow), 0), "") << "no line before a press";
    Terminal.Keys({"Escape"});
    EXPECT_EQ(WaitForExit(), 0);
}

TEST_F(MenuTerminal, FailedInstallKeepsInstallServiceAndSaysWhy) {
    struct Case {
        const char* cause;
        std::string prefix, message;
        int exitCode;
    };
    const Case cases[] = {
        {"no unit folder", "KEYRIX_SYSTEMD_DIR=" + Quoted(Dir.File("missing")),
         "Install failed: Code: 2. The system cannot find the file specified.",
         1},
        {"no administrator", ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "",
         "Need administrator privileges for service install/uninstall!", 2},
    };
    for (const Case& c : cases) {
        ::unlink(StatusFile.c_str());
        StartMenu("", c.prefix);
        WaitForMenu();
        Terminal.Keys({"PageDown", "Up", "Up", "Up", "Enter"});
        ASSERT_TRUE(ShowsAt(MessageRow, c.message)) << c.cause << "\n" << Terminal.Dump();
        EXPECT_EQ(Cut(Terminal.Row(MessageRow), 0), "  " + c.message) << c.cause << ": the whole line fits the row";
        EXPECT_EQ(Cut(Terminal.Row(ButtonRow), CaptionColumn), "Install service") << c.cause;
        EXPECT_FALSE(FileExists(Unit)) << c.cause;
        Terminal.Keys({"Escape"});
        EXPECT_EQ(WaitForExit(), c.exitCode) << c.cause << ": the exit code records the failure";
        Terminal.Stop();
    }
}

TEST_F(MenuTerminal, TheShellsScreenAndModesComeBackWhenTheMenuEnds) {
    struct Case {
        const char* how;
        std::function<void()> leave;
        int exitCode;
    };
    const Case cases[] = {
        {"Esc", [this] { Terminal.Keys({"Escape"}); }, 0},
        {"Save and exit", [this] { Terminal.Keys({"PageDown", "Up", "Enter"}); }, 0},
        // The executable is the only child of the pane's shell.
        {"SIGTERM", [this] { RunCommand("kill -TERM " + MenuPid()); }, 128 + 15},
    };
    for (const Case& c : cases) {
        ::unlink(StatusFile.c_str());
        StartMenu();
        WaitForMenu();
        EXPECT_EQ(Terminal.Display("#{alternate_on}"), "1") << c.how << ": the menu has a screen of its own";
        EXPECT_EQ(Terminal.Display("#{pane_title}"), "Keyrix HRM sync service settings") << c.how;
        c.leave();
        EXPECT_EQ(WaitForExit(), c.exitCode) << c.how;
        // The shell may report the signal on a line of its own first.
        ASSERT_TRUE(WaitUntil([this] { return Terminal.Dump().find("|shell line after the menu\n") != std::string::npos; }))
            << c.how << "\n" << Terminal.Dump();
        EXPECT_EQ(Terminal.Row(0), "shell line before the menu") << c.how;
        EXPECT_EQ(Terminal.Display("#{alternate_on}"), "0") << c.how;
        EXPECT_EQ(Terminal.Display("#{cursor_flag}"), "1") << c.how << ": the cursor is shown again";
        EXPECT_EQ(Terminal.Display("#{pane_title}"), "shell title") << c.how << ": the title is the shell's again";
        EXPECT_EQ(ReadFile(Dir.File("modes.after")), ReadFile(Dir.File("modes.before"))) << c.how;
        Terminal.Stop();
    }
}

TEST_F(MenuTerminal, WithoutAUsableTerminalTheMenuDoesNotStartAndSaysWhy) {
    const std::string needs = "The settings menu needs a terminal: standard input and output must be a terminal ";
    struct Case {
        const char* what;
        std::string redirection, prefix, message;
    };
    const Case cases[] = {
        {"no terminal on input", "< /dev/null", "", needs + "(standard input is not)"},
        {"no terminal on output", "> " + Quoted(Dir.File("output.txt")), "", needs + "(standard output is not)"},
        {"a terminal that cannot place the cursor", "", "TERM=dumb",
         "The settings menu needs a terminal that can place the cursor (TERM=dumb cannot)"},
    };
    const std::string errors = Dir.File("errors.txt");
    for (const Case& c : cases) {
        ::unlink(StatusFile.c_str());
        ::unlink(EventLog.c_str());
        StartMenu(c.redirection + " 2> " + Quoted(errors), c.prefix);
        EXPECT_EQ(WaitForExit(), 1) << c.what;
        ASSERT_TRUE(ShowsAt(1, "shell line after the menu")) << Terminal.Dump();
        EXPECT_EQ(Terminal.Row(0), "shell line before the menu") << c.what << ": nothing written\n" << Terminal.Dump();
        EXPECT_EQ(Cut(Terminal.Row(2), 0), "") << Terminal.Dump();
        EXPECT_EQ(Terminal.Display("#{alternate_on}"), "0");
        EXPECT_EQ(ReadFile(Dir.File("modes.after")), ReadFile(Dir.File("modes.before"))) << c.what;
        EXPECT_FALSE(FileExists(HivePath)) << c.what;
        EXPECT_EQ(ReadFile(errors), "KeyrixSyncVLHRM: " + c.message + "\n") << c.what;
        const std::string events = FileExists(EventLog) ? ReadFile(EventLog) : "";
        EXPECT_NE(events.find("Class: ENoTerminal"), std::string::npos) << events;
        EXPECT_NE(events.find("Message: " + c.message), std::string::npos) << events;
        Terminal.Stop();
    }
    EXPECT_EQ(ReadFile(Dir.File("output.txt")), "");
}

TEST_F(MenuTerminal, WithoutAnAlternateScreenNoFrameOfTheMenuStays) {
    struct Case {
        const char* terminal;
        std::string options, prefix;
        const char* how;
        std::function<void()> leave;
    };
    const auto esc = [this] { Terminal.Keys({"Escape"}); };
    const auto term = [this] { RunCommand("kill -TERM " + MenuPid()); };
    const Case cases[] = {
        {"tmux without its alternate screen", "set -g alternate-screen off\n", "", "Esc", esc},
        {"tmux without its alternate screen", "set -g alternate-screen off\n", "", "SIGTERM", term},
        // The Linux console's terminfo has no smcup.
        {"TERM=linux", "", "TERM=linux", "Save and exit", [this] { Terminal.Keys({"PageDown", "Up", "Enter"}); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.terminal) + ", " + c.how);
        Terminal.Configure(c.options);
        ::unlink(StatusFile.c_str());
        StartMenu("", c.prefix);
        WaitForMenu();
        EXPECT_EQ(Terminal.Display("#{alternate_on}"), "0") << "the menu draws on the shell's screen";
        c.leave();
        WaitForExit();
        ASSERT_TRUE(WaitUntil([this] { return Terminal.Dump().find("|shell line after the menu\n") != std::string::npos; }))
            << Terminal.Dump();
        const Lines screen = Terminal.Screen();
        // Cleared and the cursor home: the shell's next line is on top (after the shell's
        // note of the signal, if any), and nothing of the menu is left.
        const std::size_t after = static_cast<std::size_t>(
            std::find(screen.begin(), screen.end(), "shell line after the menu") - screen.begin());
        EXPECT_LE(after, 1u) << Terminal.Dump();
        for (const std::string& row : screen)
            for (const char* menuText : {"Database", "Exit (ESC)", "Port number", "   >"})
                EXPECT_EQ(row.find(menuText), std::string::npos) << Terminal.Dump();
        EXPECT_EQ(Terminal.Display("#{cursor_flag}"), "1");
        Terminal.Stop();
    }
}

TEST_F(MenuTerminal, OnAnEightColourConsoleTheFourRolesStayApart) {
    StartMenu("", "TERM=linux");
    WaitForMenu();
    // The Linux console shows a bright background as the plain one: the screen is black on
    // light grey, so the field being edited shows in reverse, light grey on black; bright
    // white text is bold.
    struct Colour {
        const char* role;
        std::size_t row, column;
        TSgr colour;
    };
    const Colour colours[] = {
        {"the screen", 3, CaptionColumn, {30, 47}},
        {"a category", 1, CaptionColumn, {32, 47}},
        {"a setting", 3, SettingColumn, {30, 47}},
        {"its value", 3, ValueColumn, {30, 47}},
        {"the field being edited", 2, ValueColumn, {37, 40}},
        {"the field's end", 2, ValueColumn + 44, {37, 40}},
        {"a button", ButtonRow, CaptionColumn, {31, 47}},
    };
    std::vector<std::vector<TSgr>> cells = Colours(Terminal.Screen(true));
    for (const Colour& c : colours) {
        ASSERT_LT(c.row, cells.size());
        ASSERT_LT(c.column, cells[c.row].size()) << c.role;
        EXPECT_EQ(cells[c.row][c.column], c.colour) << c.role;
    }
    Terminal.Keys({"PageDown"});
    ASSERT_TRUE(WaitUntil([&] {
        cells = Colours(Terminal.Screen(true));
        return cells.size() > ButtonRow + 3 && cells[ButtonRow + 3].size() > CaptionColumn &&
               cells[ButtonRow + 3][CaptionColumn] == TSgr{37, 41, true};
    })) << "the selected button is bold white on red";
    Terminal.Keys({"Escape"});
    EXPECT_EQ(WaitForExit(), 0);
}

TEST_F(MenuTerminal, AResizeLaysTheScreenOutAgainAndKeepsTheEdit) {
    const std::string url = "https://hrm.example.com/General/HrDataService.asmx/GetBrakonData";
    StartMenu();
    WaitForMenu();
    SelectSetting(9);  // Data source URL: 65 characters, a field of two rows at 80 columns
    Terminal.Type("?x=1");
    ASSERT_TRUE(ShowsAt(18, "Data?x=1")) << Terminal.Dump();

    Terminal.Resize(200, 60);
    // The value column is 165 wide now: the whole text on the setting's row, and no field
    // row below it.
    ASSERT_TRUE(ShowsAt(17, url + "?x=1")) << Terminal.Dump();
    ASSERT_TRUE(WaitUntil([this] { return Cut(Terminal.Row(18), SettingColumn, 9) == "Username:"; })) << Terminal.Dump();
    std::vector<std::vector<TSgr>> cells = Colours(Terminal.Screen(true));
    ASSERT_EQ(cells.size(), 60u);
    EXPECT_EQ(cells[59][199].Bg, 107) << "white to the corner, no black border";
    EXPECT_EQ(cells[17][ValueColumn + 164], (TSgr{30, 47})) << "the field reaches the new width";

    Terminal.Resize(40, 12);
    // Narrower than the menu: the view follows the cursor, which stays in the field.
    ASSERT_TRUE(WaitUntil([this] {
        const std::size_t y = static_cast<std::size_t>(std::stoi(Terminal.Display("#{cursor_y}")));
        return Terminal.Display("#{cursor_flag}") == "1" && Terminal.Row(y).find("?x=1") != std::string::npos;
    })) << Terminal.Dump();

    Terminal.Resize(80, 40);
    // Back to the first layout, captions in view.
    ASSERT_TRUE(WaitUntil([this] { return Cut(Terminal.Row(17), SettingColumn, 16) == "Data source URL:"; }))
        << Terminal.Dump();
    ASSERT_TRUE(ShowsAt(18, "Data?x=1")) << Terminal.Dump();
    EXPECT_EQ(Cut(Terminal.Row(1), CaptionColumn), "Database") << Terminal.Dump();
    Terminal.Type("&y");
    Terminal.Keys({"PageDown", "Up", "Enter"});
    ASSERT_EQ(WaitForExit(), 0) << Terminal.Dump();
    EXPECT_EQ(Open("HRM")->ReadString("Data source URL"), url + "?x=1&y");
}

TEST_F(MenuTerminal, SuspendGivesTheShellItsTerminalAndContinueDrawsTheMenuAgain) {
    // As a shell with job control starts a program: in a process group of its own, in the
    // terminal's foreground (the kernel ignores SIGTSTP in an orphaned group).
    const std::string job = "perl -MPOSIX -e " +
                            Quoted("setpgid(0, 0); $SIG{TTOU} = 'IGNORE'; tcsetpgrp(0, getpgrp()); "
                                   "$SIG{TTOU} = 'DEFAULT'; exec @ARGV or die \"exec: $!\"") +
                            " --";
    StartMenu("", job);
    WaitForMenu();
    const std::string tty = Terminal.Display("#{pane_tty}");
    const auto modes = [&] { return RunCommand("stty -a -F " + Quoted(tty)).Output; };
    ASSERT_NE(modes().find("-icanon"), std::string::npos) << modes();

    // Ctrl+Z typed in the menu is a key like others: nothing happens.
    Terminal.Keys({"C-z"});
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Terminal.Display("#{alternate_on}"), "1");

    const std::string pid = MenuPid();
    RunCommand("kill -TSTP " + pid);
    ASSERT_TRUE(WaitUntil([&] { return RunCommand("ps -o stat= -p " + pid).Output.find('T') != std::string::npos; }));
    EXPECT_TRUE(WaitUntil([this] { return Terminal.Display("#{alternate_on}") == "0"; })) << "back on the shell's screen";
    const std::string stopped = modes();
    EXPECT_NE(stopped.find(" icanon"), std::string::npos) << stopped;
    EXPECT_NE(stopped.find(" echo "), std::string::npos) << stopped;
    EXPECT_EQ(Terminal.Display("#{cursor_flag}"), "1");

    RunCommand("kill -CONT " + pid);
    ASSERT_TRUE(WaitUntil([this] { return Terminal.Display("#{alternate_on}") == "1"; }));
    WaitForMenu();
    EXPECT_NE(modes().find("-icanon"), std::string::npos) << modes();
    Terminal.Keys({"Escape"});
    EXPECT_EQ(WaitForExit(), 0);
    EXPECT_EQ(ReadFile(Dir.File("modes.after")), ReadFile(Dir.File("modes.before")));
}

TEST_F(MenuTerminal, SaveThatMayNotWriteTheHiveKeepsTheMenuOpenAndSaysWhy) {
    // Root may write any file: the menu runs as an ordinary account.
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    const std::string etc = Dir.File("etc");
    ASSERT_EQ(::mkdir(etc.c_str(), 0755), 0);
    struct Case {
        const char* what;
        std::string hive;
        bool exists;
        std::string where, reported;  // as the message row and the event log name it
    };
    const std::string file = HivePath;
    const Case cases[] = {
        {"read-only hive", file, true, "\"" + file + "\"", "to \"" + file + "\""},
        {"no hive yet, in a folder nobody may write", etc + "/registry.reg", false, "folder \"" + etc + "\"",
         "in folder \"" + etc + "\""},
    };
    for (const Case& c : cases) {
        HivePath = c.hive;
        if (c.exists) {
            WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") +
                      "\"Server address\"=\"db.example.org\"\r\n\r\n");
            ASSERT_EQ(::chmod(HivePath.c_str(), 0644), 0);
        }
        const std::string before = c.exists ? ReadFile(HivePath) : "";
        WriteFile(EventLog, "");
        ASSERT_EQ(::chmod(EventLog.c_str(), 0666), 0);  // the account logs there
        ::unlink(StatusFile.c_str());
        StartMenu("", asNobody);
        WaitForMenu();
        Terminal.Keys({"End", "BSpace"});
        Terminal.Type("X");
        ASSERT_TRUE(ShowsAt(2, c.exists ? "db.example.orX" : "127.0.0.X")) << c.what << "\n" << Terminal.Dump();
        Terminal.Keys({"PageDown", "Up", "Enter"});  // "Save and exit"
        ASSERT_TRUE(ShowsAt(MessageRow, "Cannot save: Permission denied")) << c.what << "\n" << Terminal.Dump();
        EXPECT_EQ(Cut(Terminal.Row(MessageRow), 0), "  Cannot save: Permission denied (" + c.where + ")") << c.what;
        EXPECT_FALSE(FileExists(StatusFile)) << c.what << ": the menu stays open";
        EXPECT_EQ(Cut(Terminal.Row(ButtonRow + 2), CaptionColumn), "Save and exit") << c.what;
        const Lines screen = Terminal.Screen();
        for (std::size_t row = MessageRow + 1; row < screen.size(); ++row)
            EXPECT_EQ(Cut(screen[row], 0), "") << c.what << ": nothing else on the screen, row " << row + 1;
        Terminal.Keys({"Escape"});
        EXPECT_EQ(WaitForExit(), 1) << c.what << ": the exit code records the failure";
        EXPECT_EQ(c.exists ? ReadFile(HivePath) : "", before) << c.what;
        EXPECT_FALSE(FileExists(HivePath + ".lock")) << c.what;
        // One entry, an error, with the whole message.
        const std::string error = "\terror\t1\t0\tCannot save the settings " + c.reported + ": Permission denied\n";
        const std::string events = ReadFile(EventLog);
        const std::size_t at = events.find(error);
        EXPECT_NE(at, std::string::npos) << c.what << "\n" << events;
        EXPECT_EQ(events.find('\n'), events.size() - 1) << c.what << ": one entry\n" << events;
        Terminal.Stop();
    }
}
