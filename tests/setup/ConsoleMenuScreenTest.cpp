// The settings menu as an administrator meets it: this system's settings on an 80 x 40
// console, driven by keys.
#include "setup/ConsoleMenu.h"

#include "platform/ConsoleScreen.h"
#include "platform/Registry.h"
#include "setup/Console.h"
#include "setup/SetupWindow.h"
#include "tests/setup/HiveFixture.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace keyrix;
using namespace keyrix::test;
using platform::TKeyEvent;
using platform::TScreenBuffer;

namespace {

constexpr std::uint16_t BlackOnWhite = 0xF0, GreenOnWhite = 0xF2, BlackOnGrey = 0x70, RedOnWhite = 0xF4,
                        WhiteOnRed = 0x4F;

// A headless console that keeps the screen and the selection as they stood before each
// key was read.
class TWatchedConsole : public platform::THeadlessConsole {
public:
    using THeadlessConsole::THeadlessConsole;
    TKeyEvent ReadInput() override {
        Screens.push_back(Buffer());
        if (Watch) Watch();
        return THeadlessConsole::ReadInput();
    }
    std::vector<TScreenBuffer> Screens;
    std::function<void()> Watch;
};

// Text of the cells from a 1-based column of a 1-based row, count cells long.
std::string Text(const TScreenBuffer& screen, int row, int column, int count) {
    std::u32string text;
    for (int x = column; x < column + count; ++x)
        text += screen.Cell(static_cast<std::int16_t>(x - 1), static_cast<std::int16_t>(row - 1)).Char;
    return Utf8Of(text);
}

std::uint16_t Attr(const TScreenBuffer& screen, int row, int column) {
    return screen.Cell(static_cast<std::int16_t>(column - 1), static_cast<std::int16_t>(row - 1)).Attributes;
}

std::string Row(const TScreenBuffer& screen, int row) { return screen.RowText(static_cast<std::int16_t>(row - 1)); }

class MenuScreen : public HiveFixture {
protected:
    void SetUp() override {
        HiveFixture::SetUp();
        InPlace.emplace(Con);
        Con.Watch = [this] { Selected.push_back(S ? S->Menu->Current : nullptr); };
    }
    void TearDown() override {
        InPlace.reset();
        HiveFixture::TearDown();
    }

    void Load() {
        S = std::make_unique<TSetup>(false, true, "Keyrix HRM sync service settings");
        S->LoadSettings();
    }
    // Runs the menu over the keys queued; the keys must leave it.
    void Run() {
        if (!S) Load();
        S->Menu->Run();
        EXPECT_TRUE(Con.Input.empty()) << "keys left after the menu ended";
    }

    // The setting or button with this caption; category names a setting's category.
    TCMenuBaseItem* Item(const std::string& caption, const std::string& category = "") {
        for (TCMenuBaseItem* item = S->Menu->FirstItem(); item; item = item->Next) {
            auto* setting = dynamic_cast<TCMenuSetting*>(item);
            if (item->Caption == caption && (category.empty() || (setting && setting->Category->Caption == category)))
                return item;
        }
        ADD_FAILURE() << "no item " << caption;
        return nullptr;
    }

    // Key scripts.
    void Down(int times = 1) {
        for (int i = 0; i < times; ++i) Con.Press(platform::VK_DOWN);
    }
    void Up(int times = 1) {
        for (int i = 0; i < times; ++i) Con.Press(platform::VK_UP);
    }
    void PgDn() { Con.Press(platform::VK_NEXT); }
    void PgUp() { Con.Press(platform::VK_PRIOR); }
    void Tab() { Con.Press(platform::VK_TAB, 0, 9); }
    void Enter() { Con.Press(platform::VK_RETURN, 0, 13); }
    void Esc() { Con.Press(platform::VK_ESCAPE, 0, 27); }
    void Backspace(int times = 1) {
        for (int i = 0; i < times; ++i) Con.Press(platform::VK_BACK, 0, 8);
    }
    void CtrlBackspace() { Con.Press(platform::VK_BACK, platform::LEFT_CTRL_PRESSED, 127); }
    void CtrlC() { Con.Press('C', platform::LEFT_CTRL_PRESSED, 3); }
    void CtrlV() { Con.Press('V', platform::LEFT_CTRL_PRESSED, 22); }
    void Type(const std::u32string& text) { Con.Type(text); }
    // The index of the next key queued: Screen(mark) and Selected[mark] are the state in
    // which that key is read.
    std::size_t Mark() const { return Con.Input.size(); }
    const TScreenBuffer& Screen(std::size_t mark) const { return Con.Screens.at(mark); }
    // The state before the last key (the one that left the menu).
    const TScreenBuffer& Last() const { return Con.Screens.back(); }

    TWatchedConsole Con{80, 40};
    std::optional<platform::TScopedConsoleScreen> InPlace;
    std::unique_ptr<TSetup> S;
    std::vector<TCMenuBaseItem*> Selected;
};

// Rows, captions and values of this system's settings at 80 columns.
TEST_F(MenuScreen, LayoutAndColoursAt80Columns) {
    Esc();
    Run();
    const TScreenBuffer& screen = Con.Screens.at(0);

    struct Line {
        int row;
        const char* caption;  // a category at column 3, a setting at column 5
        const char* value;    // at column 32; null for a category
    };
    const std::vector<Line> lines = {
        {2, "Database", nullptr},
        {3, "Server address:", "127.0.0.1"},
        {4, "Port number:", "3050"},
        {5, "Database name:", "keyrix_serv"},
        {6, "Username:", "SYSDBA"},
        {7, "Password:", "lanternox"},
        {9, "Server", nullptr},
        {10, "Port:", "4702"},
        {11, "Password:", "moonlake"},
        {13, "General", nullptr},
        {14, "Log messages to file", "[ ]"},
        {16, "HRM", nullptr},
        {17, "Import enabled", "[X]"},
        {18, "Data source URL:", "https://hrm.example.com/General/HrDataService"},  // 45 of 64
        {19, "Username:", "EXAMPLE\\hrmsync"},
        {20, "Password:", "RimaSelo473"},
        {22, "BRAKON", nullptr},
        {23, "Import enabled", "[X]"},
        {24, "Data source file:", "C:\\BKE\\whgppu4xel.xml"},
    };
    for (const Line& line : lines) {
        const std::string caption = line.caption;
        if (line.value == nullptr) {
            EXPECT_EQ(Row(screen, line.row), "  " + caption) << line.row;
            EXPECT_EQ(Attr(screen, line.row, 3), GreenOnWhite) << caption;
            continue;
        }
        EXPECT_EQ(Text(screen, line.row, 5, static_cast<int>(caption.size())), caption) << line.row;
        EXPECT_EQ(Attr(screen, line.row, 5), BlackOnWhite) << caption;
        const std::string value = line.value;
        EXPECT_EQ(Text(screen, line.row, 32, 46), (value + std::string(46, ' ')).substr(0, 46)) << line.row;
        EXPECT_EQ(Row(screen, line.row).size(), 31 + value.size()) << "nothing after the value on row " << line.row;
        EXPECT_EQ(Attr(screen, line.row, 32), line.row == 3 ? BlackOnGrey : BlackOnWhite) << line.row;
    }
    for (int row : {1, 8, 12, 15, 21, 25, 26, 31, 32}) EXPECT_EQ(Row(screen, row), "") << row;
    const std::vector<std::string> buttons = {"Install service", "Restore defaults", "Save and exit", "Exit (ESC)"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Row(screen, 27 + i), "  " + buttons[static_cast<std::size_t>(i)]);
        EXPECT_EQ(Attr(screen, 27 + i, 3), RedOnWhite) << buttons[static_cast<std::size_t>(i)];
    }

    // The first setting is selected: marked, its field light grey over the value column.
    EXPECT_EQ(Text(screen, 3, 3, 2), " >");
    for (int column = 32; column <= 76; ++column) EXPECT_EQ(Attr(screen, 3, column), BlackOnGrey) << column;
    EXPECT_EQ(Attr(screen, 3, 77) >> 4, 15) << "white after the field";
    EXPECT_EQ(screen.Cursor(), (platform::TCoord{40, 2})) << "the cursor at the end of the value";
    EXPECT_TRUE(screen.CursorVisible());
    EXPECT_EQ(Attr(screen, 1, 1) >> 4, 15) << "the screen is white";
    EXPECT_EQ(Attr(screen, 40, 80) >> 4, 15);
    EXPECT_EQ(Con.Title, "Keyrix HRM sync service settings");

    // Afterwards: the whole buffer cleared in the colours found at the start.
    const TScreenBuffer& end = Con.Buffer();
    int dirty = 0;
    for (std::int16_t y = 0; y < 40; ++y)
        for (std::int16_t x = 0; x < 80; ++x) dirty += !(end.Cell(x, y) == platform::TCharInfo{U' ', 0x07});
    EXPECT_EQ(dirty, 0);
    EXPECT_EQ(end.Attributes(), 0x07);
}

TEST_F(MenuScreen, SelectedButtonIsWhiteOnRedAndHidesTheCursor) {
    PgDn();
    Esc();
    Run();
    const TScreenBuffer& screen = Last();
    EXPECT_EQ(Attr(screen, 30, 3), WhiteOnRed);
    EXPECT_EQ(Attr(screen, 30, 12), WhiteOnRed);
    EXPECT_EQ(Attr(screen, 30, 13) >> 4, 15);
    for (int row = 27; row <= 29; ++row) EXPECT_EQ(Attr(screen, row, 3), RedOnWhite) << row;
    EXPECT_EQ(Text(screen, 3, 3, 2), "  ") << "the mark of the setting left is gone";
    EXPECT_EQ(Attr(screen, 3, 32), BlackOnWhite);
    EXPECT_FALSE(screen.CursorVisible());
}

TEST_F(MenuScreen, LongValueGrowsTheFieldAndTheItemsMoveBack) {
    Down(9);  // "Data source URL", 64 characters
    const std::size_t open = Mark();
    Down();
    Esc();
    Run();
    const std::string url = S->HrmUrl;
    ASSERT_EQ(url.size(), 64u);

    const TScreenBuffer& grown = Screen(open);
    EXPECT_EQ(Text(grown, 18, 32, 45), url.substr(0, 45));
    EXPECT_EQ(Text(grown, 19, 32, 45), (url.substr(45) + std::string(45, ' ')).substr(0, 45));
    for (int row : {18, 19}) {
        EXPECT_EQ(Attr(grown, row, 32), BlackOnGrey) << row;
        EXPECT_EQ(Attr(grown, row, 76), BlackOnGrey) << row;
    }
    EXPECT_EQ(Text(grown, 20, 5, 9), "Username:") << "the items below moved down one row";
    EXPECT_EQ(Row(grown, 23), "  BRAKON");
    EXPECT_EQ(Row(grown, 31), "  Exit (ESC)");
    EXPECT_EQ(grown.Cursor(), (platform::TCoord{31 + 19, 18})) << "after the 64th character";

    const TScreenBuffer& back = Last();
    EXPECT_EQ(Text(back, 18, 32, 46), url.substr(0, 45) + " ") << "truncated in the normal view";
    EXPECT_EQ(Text(back, 19, 5, 9), "Username:");
    EXPECT_EQ(Row(back, 22), "  BRAKON");
    EXPECT_EQ(Row(back, 30), "  Exit (ESC)");
    EXPECT_EQ(Row(back, 31), "");
    EXPECT_EQ(Attr(back, 19, 32), BlackOnGrey) << "Username is selected now";
}

TEST_F(MenuScreen, TypingStopsAtMaxLengthAndTheFieldGrowsWithTheText) {
    Down(3);  // "Username" (Database), 16 at most
    Type(U"abcdefghijklmnopqrst");
    Down(6);  // "Data source URL", 120 at most
    CtrlBackspace();
    Type(std::u32string(130, U'u'));
    const std::size_t typed = Mark();
    Down();
    Esc();
    Run();
    EXPECT_EQ(S->DatabaseUser, "SYSDBAabcdefghij");
    EXPECT_EQ(S->HrmUrl, std::string(120, 'u'));

    const TScreenBuffer& full = Screen(typed);
    for (int row : {18, 19}) EXPECT_EQ(Text(full, row, 32, 45), std::string(45, 'u')) << row;
    EXPECT_EQ(Text(full, 20, 32, 45), std::string(30, 'u') + std::string(15, ' '));
    EXPECT_EQ(Text(full, 21, 5, 9), "Username:") << "the field took two more rows";
    EXPECT_EQ(Row(full, 32), "  Exit (ESC)");
    const TScreenBuffer& back = Last();
    EXPECT_EQ(Text(back, 19, 5, 9), "Username:");
    EXPECT_EQ(Row(back, 30), "  Exit (ESC)");
    EXPECT_EQ(Row(back, 31), "");
    EXPECT_EQ(Row(back, 32), "");
}

TEST_F(MenuScreen, PasteKeepsWhatTheSettingAccepts) {
    struct Case {
        int downs;
        std::string clipboard;
        std::function<std::string(const TSetup&)> field;
        std::string expected;
        bool bell = false;
    };
    const std::vector<Case> cases = {
        {0, "0123456789012345678901234567890123456789", [](const TSetup& s) { return s.DatabaseServer; },
         "0123456789012345678901234567890"},  // MaxLength 32 - 1
        {0, "ab\tc\xd0\x96" "d\xc3\xa9\xff", [](const TSetup& s) { return s.DatabaseServer; }, "abcd\xe9"},
        {1, " 12a34 ", [](const TSetup& s) { return std::to_string(s.DatabasePort); }, "1234"},
        // Nothing copied: the value stays, and the bell says why nothing happened.
        {3, "", [](const TSetup& s) { return s.DatabaseUser; }, "SYSDBA", true},
        {3, std::string(4 << 20, 'p'), [](const TSetup& s) { return s.DatabaseUser; }, std::string(15, 'p')},
    };
    for (const Case& c : cases) {
        S.reset();
        Con.Input.clear();
        Con.Tones.clear();
        Con.Clipboard = c.clipboard;
        Down(c.downs);
        CtrlV();
        Down();
        Esc();
        Run();
        EXPECT_EQ(c.field(*S), c.expected) << c.clipboard.substr(0, 50);
        EXPECT_EQ(Con.Tones.size(), c.bell ? 1u : 0u) << c.clipboard.substr(0, 50);
    }
}

TEST_F(MenuScreen, CopyPutsTheFieldOnTheClipboard) {
    Load();
    S->DatabaseServer = "M\xfcller";  // ANSI
    CtrlC();
    Down(4);
    Con.Clipboard = "kept";
    CtrlBackspace();
    CtrlC();  // an empty field copies nothing
    Esc();
    Run();
    EXPECT_EQ(Con.Clipboard, "M\xc3\xbcller");
}

TEST_F(MenuScreen, RejectedIntegerSoundsAndKeepsTheSelection) {
    Down();  // "Port number"
    CtrlBackspace();
    const std::size_t empty = Mark();
    Down();
    Type(U"70000");
    const std::size_t tooLarge = Mark();
    Down();
    Backspace(5);
    Type(U"99999999999");
    const std::size_t beyond32Bits = Mark();
    Down();
    Backspace(11);
    Type(U"0");
    const std::size_t zero = Mark();
    Down();
    Backspace();
    Type(U"7000");
    Down();
    const std::size_t accepted = Mark();
    Esc();
    Run();
    TCMenuBaseItem* port = Item("Port number");
    for (std::size_t mark : {empty + 1, tooLarge + 1, beyond32Bits + 1, zero + 1})
        EXPECT_EQ(Selected.at(mark), port) << "the selection stays after key " << mark;
    EXPECT_EQ(Text(Screen(tooLarge + 1), 4, 32, 6), "70000 ") << "the rejected text stays in the field";
    EXPECT_EQ(Attr(Screen(tooLarge + 1), 4, 32), BlackOnGrey);
    EXPECT_EQ(Con.Tones, (std::vector<std::pair<std::uint32_t, std::uint32_t>>(4, {6000, 200})));
    EXPECT_EQ(S->DatabasePort, 7000);
    EXPECT_EQ(Selected.at(accepted), Item("Database name"));
}

TEST_F(MenuScreen, EditingBackToTheShownTextIsAcceptedWithoutValidation) {
    Load();
    S->DatabasePort = 70000;  // beyond the bounds (loading refuses it; a caller may set it)
    Down();
    Backspace();
    Type(U"0");  // "70000" again
    Down();
    const std::size_t left = Mark();
    Up();
    Backspace();
    Type(U"1");
    Down();
    const std::size_t rejected = Mark();
    Esc();
    Run();
    EXPECT_EQ(Selected.at(left), Item("Database name"));
    EXPECT_EQ(Selected.at(rejected), Item("Port number"));
    EXPECT_EQ(Con.Tones.size(), 1u);
    EXPECT_EQ(S->DatabasePort, 70000);
}

TEST_F(MenuScreen, Navigation) {
    struct Case {
        const char* name;
        std::function<void()> keys;
        const char* selected;
        const char* category;
    };
    const std::vector<Case> cases = {
        {"Down on the last setting selects the first button", [this] { Down(14); }, "Install service", ""},
        {"Up on the first setting does nothing", [this] { Up(); }, "Server address", ""},
        {"Down on the last button does nothing", [this] { PgDn(); Down(); }, "Exit (ESC)", ""},
        {"PgDn selects the last button", [this] { PgDn(); }, "Exit (ESC)", ""},
        {"PgUp selects the first setting", [this] { PgDn(); Up(); PgUp(); }, "Server address", ""},
        {"Up from a category's first setting", [this] { Down(5); Up(); }, "Password", "Database"},
        {"Down into the next category", [this] { Down(4); Down(); }, "Port", "Server"},
        {"Up from the first button", [this] { Down(14); Up(); }, "Data source file", ""},
        {"Tab on a setting moves on", [this] { Tab(); }, "Port number", ""},
        {"Tab on a button moves to the next button", [this] { Down(14); Tab(); }, "Restore defaults", ""},
        {"Enter on a string does nothing", [this] { Enter(); }, "Server address", ""},
        {"Left, Right, Home, End, Del stay", [this] {
             for (std::uint16_t vk : std::vector<std::uint16_t>{platform::VK_LEFT, platform::VK_RIGHT, platform::VK_HOME,
                                                                 platform::VK_END, platform::VK_DELETE, 0x70})
                 Con.Press(vk);
         }, "Server address", ""},
    };
    for (const Case& c : cases) {
        S.reset();
        Selected.clear();
        Con.Input.clear();
        c.keys();
        Esc();
        Run();
        EXPECT_EQ(Selected.back(), Item(c.selected, c.category)) << c.name;
    }
    EXPECT_TRUE(Con.Tones.empty());
    EXPECT_EQ(S->DatabaseServer, "127.0.0.1") << "Enter and the cursor keys changed nothing";
}

TEST_F(MenuScreen, CursorKeysEditInsideTheField) {
    Down(2);  // "Database name": keyrix_serv
    Con.Press(platform::VK_HOME);
    Type(U"A");
    Con.Press(platform::VK_RIGHT);
    Con.Press(platform::VK_DELETE);
    Con.Press(platform::VK_END);
    Con.Press(platform::VK_LEFT);
    Backspace();
    Type(U"Z");
    const std::size_t edited = Mark();
    Down();
    Esc();
    Run();
    EXPECT_EQ(S->DatabaseName, "Akyrix_seZv") << "A at the start, the e after k deleted, r replaced by Z";
    EXPECT_EQ(Screen(edited).Cursor(), (platform::TCoord{31 + 10, 4})) << "the cursor after the Z";
}

TEST_F(MenuScreen, BooleanFlipsWithEnterSpaceAndX) {
    Down(7);  // "Log messages to file"
    Enter();
    const std::size_t on = Mark();
    Type(U" x");  // off and on again
    Type(U"a");   // refused: nothing changes
    Down();
    Esc();
    Run();
    EXPECT_TRUE(S->LogToFile);
    EXPECT_EQ(Text(Screen(on), 14, 32, 3), "[X]");
    EXPECT_EQ(Text(Last(), 14, 32, 3), "[X]");
    EXPECT_EQ(Attr(Last(), 14, 32), BlackOnWhite);
}

TEST_F(MenuScreen, EscWithAnInvalidEditLeavesAtOnce) {
    Down();
    CtrlBackspace();
    Esc();
    Run();
    EXPECT_TRUE(Con.Tones.empty());
    EXPECT_EQ(S->DatabasePort, 3050);
}

TEST_F(MenuScreen, RestoreDefaultsThenEscWritesNothing) {
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") +
              "\"Server address\"=\"db.example.org\"\r\n\r\n" + Section("HRM") + "\"Import enabled\"=dword:00000000\r\n\r\n");
    Load();
    const std::string hive = ReadFile(HivePath);
    ASSERT_EQ(S->DatabaseServer, "db.example.org");
    Down(15);  // "Restore defaults"
    const std::size_t before = Mark();
    Enter();
    Esc();
    Run();
    EXPECT_EQ(Text(Screen(before), 3, 32, 15), "db.example.org ");
    EXPECT_EQ(Text(Last(), 3, 32, 15), "127.0.0.1      ") << "the defaults show at once";
    EXPECT_EQ(Text(Last(), 17, 32, 3), "[X]");
    EXPECT_EQ(S->DatabaseServer, "127.0.0.1");
    EXPECT_TRUE(S->HrmImportEnabled);
    EXPECT_EQ(ReadFile(HivePath), hive);
}

TEST_F(MenuScreen, SaveAndExitSavesTheEditLeftForTheButton) {
    CtrlBackspace();
    Type(U"db.local");
    PgDn();
    Up();  // "Save and exit"
    Enter();
    Run();
    EXPECT_EQ(Open("Database")->ReadString("Server address"), "db.local");
    EXPECT_EQ(Open("Server")->ReadInteger("Port"), 4702);
}

TEST_F(MenuScreen, LongStoredStringStaysUnlessChangedThenMustBeCut) {
    const std::string stored(40, 'n');  // "Database name" takes 32 at most
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") + "\"Database name\"=\"" + stored +
              "\"\r\n\r\n");
    Down(2);
    Down();  // left unchanged
    const std::size_t unchanged = Mark();
    Up();
    Backspace();
    Type(U"x");  // refused: the field is full
    Down();       // a change: rejected
    const std::size_t changed = Mark();
    Backspace(7);
    Down();  // 32 characters: accepted
    const std::size_t cut = Mark();
    Esc();
    Run();
    EXPECT_EQ(Selected.at(unchanged), Item("Username", "Database"));
    EXPECT_EQ(Selected.at(changed), Item("Database name"));
    EXPECT_EQ(Selected.at(cut), Item("Username", "Database"));
    EXPECT_EQ(Con.Tones.size(), 1u);
    EXPECT_EQ(S->DatabaseName, std::string(32, 'n'));
}

TEST_F(MenuScreen, ButtonCaptionAndMessageRedrawWhileRunning) {
    TConsoleMenu menu;
    std::string text = "x";
    std::int32_t number = 1;
    menu.AddCategory("Only")->AddString(text, "Text", "x", 8);
    menu.AddCategory("Other")->AddInteger(number, "Number", 1, 0, 9);
    int presses = 0;
    TCMenuButton* toggle = nullptr;
    toggle = menu.AddButton("Uninstall service", [&](TConsoleMenu& m) {
        ++presses;
        toggle->SetCaption(presses % 2 ? "Install service" : "Uninstall service");
        m.ShowMessage(presses % 2 ? "The service could not be removed: permission denied" : "Done");
        return false;
    });
    menu.AddExitButton("Exit (ESC)");
    toggle->SetCaption("Install service");  // not running: stored only
    toggle->SetCaption("Uninstall service");
    EXPECT_EQ(Con.Buffer().RowText(0), "");

    menu.SetTitle("Test menu");
    Down(2);
    Enter();
    const std::size_t first = Mark();
    Enter();
    const std::size_t second = Mark();
    Down();
    Enter();
    menu.Run();
    EXPECT_TRUE(Con.Input.empty());
    EXPECT_EQ(Con.Title, "Test menu");

    // Rows: 2 Only, 3 Text, 5 Other, 6 Number; buttons on 9 and 10; the message on 11.
    const TScreenBuffer& installed = Screen(first);
    EXPECT_EQ(Row(installed, 9), "  Install service");
    EXPECT_EQ(Attr(installed, 9, 3), WhiteOnRed);
    EXPECT_EQ(Attr(installed, 9, 18), 0xFF) << "the old caption's tail is erased white on white";
    EXPECT_EQ(Row(installed, 11), "  The service could not be removed: permission denied");
    EXPECT_EQ(Attr(installed, 11, 3), BlackOnWhite);
    const TScreenBuffer& again = Screen(second);
    EXPECT_EQ(Row(again, 9), "  Uninstall service");
    EXPECT_EQ(Row(again, 11), "  Done") << "the row is cleared before the new message";
    EXPECT_EQ(presses, 2);

    menu.ShowMessage("after the run");  // nothing: the menu does not run
    EXPECT_EQ(Con.Buffer().RowText(10), "");
}

TEST_F(MenuScreen, ShortConsoleViewFollowsTheSelection) {
    TWatchedConsole small(80, 24);
    platform::TScopedConsoleScreen inPlace(small);
    PgDn();
    Esc();
    small.Input = Con.Input;
    Con.Input.clear();
    Load();
    S->Menu->Run();
    EXPECT_EQ(small.Buffer().Size(), (platform::TCoord{80, 33})) << "the buffer holds every row";
    const TScreenBuffer& first = small.Screens.at(0);
    EXPECT_EQ(first.Window().Top, 0);
    const TScreenBuffer& last = small.Screens.back();
    EXPECT_GE(last.Window().Bottom, 29) << "the view moved down to the buttons";
    EXPECT_EQ(Row(last, 30), "  Exit (ESC)");
    EXPECT_EQ(Attr(last, 30, 3), WhiteOnRed);
}

TEST_F(MenuScreen, AResizeLaysTheMenuOutAgainAndTheEditGoesOn) {
    Load();
    // The install button's line, shown while the menu runs, stays over a relayout.
    const auto record = Con.Watch;
    Con.Watch = [&] {
        if (Con.Screens.size() == 1) S->Menu->ShowMessage("Service installed successfully");
        record();
    };
    Down();  // Port number
    Backspace(4);
    Type(U"70000");  // not valid yet
    Con.Resize(120, 30);
    const std::size_t resized = Mark();
    Down();  // refused: the edit survived the resize
    Backspace(5);
    Type(U"8080");
    Con.Resize(60, 20);
    const std::size_t shrunk = Mark();
    Down();
    Esc();
    Run();

    const TScreenBuffer& wide = Screen(resized);
    EXPECT_EQ(wide.Size(), (platform::TCoord{120, 33})) << "as wide as the console, every row";
    EXPECT_EQ(wide.Window(), (platform::TSmallRect{0, 0, 119, 29}));
    EXPECT_EQ(Attr(wide, 30, 120), BlackOnWhite) << "white to the corner";
    EXPECT_EQ(Text(wide, 4, 32, 5), "70000");
    EXPECT_EQ(Attr(wide, 4, 32 + 84), BlackOnGrey) << "a field 85 cells wide";
    EXPECT_EQ(Attr(wide, 4, 32 + 85), BlackOnWhite);
    EXPECT_EQ(wide.Cursor(), (platform::TCoord{36, 3})) << "the cursor after the text";
    EXPECT_EQ(Con.Tones.size(), 1u);
    EXPECT_EQ(Selected.at(resized + 1), Item("Port number")) << "the invalid edit kept the selection";

    const TScreenBuffer& narrow = Screen(shrunk);
    EXPECT_EQ(narrow.Size(), (platform::TCoord{60, 33}));
    EXPECT_EQ(Text(narrow, 4, 32, 4), "8080");
    EXPECT_EQ(Text(narrow, 4, 3, 14), " >Port number:") << "still selected";
    EXPECT_EQ(Row(narrow, 31), "  Service installed successfully");
    EXPECT_EQ(S->Menu->ValueWidth, 25);
    EXPECT_EQ(S->DatabasePort, 8080);
}

TEST_F(MenuScreen, NarrowConsoleKeepsAUsableValueColumn) {
    TWatchedConsole narrow(40, 40);
    platform::TScopedConsoleScreen inPlace(narrow);
    narrow.Type(U"db");
    narrow.Press(platform::VK_DOWN);
    narrow.Press(platform::VK_ESCAPE, 0, 27);
    Load();
    S->Menu->Run();
    EXPECT_EQ(S->Menu->ValueWidth, 10);
    EXPECT_EQ(narrow.Buffer().Size().X, 45);
    EXPECT_EQ(S->DatabaseServer, "127.0.0.1db");
}

}  // namespace

namespace {

// A long value on a 24-line console pushes the buttons out of the menu's window; they are
// drawn again when the field closes.
TEST_F(MenuScreen, ItemsPushedOutOfTheWindowAreDrawnAgain) {
    TWatchedConsole small(80, 24);
    platform::TScopedConsoleScreen inPlace(small);
    const std::string stored(300, 'f');
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("BRAKON") + "\"Data source file\"=\"" + stored +
              "\"\r\n\r\n");
    Load();
    for (int i = 0; i < 13; ++i) small.Press(platform::VK_DOWN);
    small.Press(platform::VK_DOWN);  // on to "Install service"
    small.Press(platform::VK_ESCAPE, 0, 27);
    S->Menu->Run();
    const TScreenBuffer& open = small.Screens.at(13);
    for (int row = 24; row <= 30; ++row) EXPECT_EQ(Attr(open, row, 32), BlackOnGrey) << row;
    EXPECT_EQ(Text(open, 30, 32, 30), std::string(30, 'f') + "") << "300 characters over 7 rows";
    EXPECT_EQ(Row(open, 32), "") << "the buttons left the window";
    const TScreenBuffer& back = small.Screens.back();
    const std::vector<std::string> buttons = {"Install service", "Restore defaults", "Save and exit", "Exit (ESC)"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(Row(back, 27 + i), "  " + buttons[static_cast<std::size_t>(i)]);
    EXPECT_EQ(Text(back, 24, 32, 46), std::string(45, 'f') + " ");
    EXPECT_EQ(S->CardHolderFile, stored) << "left unchanged";
}

}  // namespace

namespace {

// A value far beyond any field in the hive: the field stays inside the menu window, the
// value can be looked at and left as it is, and the screen comes back whole.
TEST_F(MenuScreen, HugeStoredValueCanBeSelectedAndLeft) {
    const std::string stored(100000, 'h');
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") + "\"Server address\"=\"" + stored +
              "\"\r\n\r\n");
    Con.Press(platform::VK_END);
    const std::size_t open = Mark();
    Down();
    Esc();
    Run();
    const TScreenBuffer& field = Screen(open);
    EXPECT_EQ(Attr(field, 39, 32), BlackOnGrey) << "the field reaches the window's last row";
    EXPECT_EQ(Attr(field, 40, 32) >> 4, 15) << "and no further";
    EXPECT_EQ(Text(field, 2, 3, 8), "Database");
    const TScreenBuffer& back = Last();
    EXPECT_EQ(Text(back, 3, 32, 46), std::string(45, 'h') + " ");
    EXPECT_EQ(Text(back, 4, 5, 12), "Port number:");
    EXPECT_EQ(Row(back, 30), "  Exit (ESC)");
    EXPECT_EQ(S->DatabaseServer, stored);
    EXPECT_TRUE(Con.Tones.empty());
}

}  // namespace
