#include "setup/ConsoleMenu.h"

#include "platform/Registry.h"
#include "tests/setup/HiveFixture.h"

using namespace keyrix;
using namespace keyrix::test;

namespace {

std::vector<std::string> Captions(const TConsoleMenu& menu) {
    std::vector<std::string> captions;
    const TCMenuBaseItem* last = nullptr;
    for (TCMenuBaseItem* item = menu.FirstItem(); item; item = item->Next) {
        EXPECT_EQ(item->Prev, last) << "back link of " << item->Caption;
        captions.push_back(item->Caption);
        last = item;
    }
    return captions;
}

struct TFields {
    std::string Text = "unset";
    std::int32_t Number = -1;
    bool Flag = false;
    std::string Other;
};

class Menu : public HiveFixture {
protected:
    // Two categories and the built-in buttons, with a third category added after them.
    void Build() {
        TCMenuCategory* first = M.AddCategory("First");
        Str = first->AddString(F.Text, "Text", "abc", 5);
        Int = first->AddInteger(F.Number, "Number", 10, 1, 100);
        M.AddButton("Custom", [this](TConsoleMenu&) {
            ++CustomPresses;
            return false;
        });
        M.AddDefaultsButton("Restore defaults");
        M.AddSaveButton("Save and exit");
        M.AddExitButton("Exit (ESC)");
        TCMenuCategory* second = M.AddCategory("Second");
        Bln = second->AddBoolean(F.Flag, "Flag", true);
        second->AddString(F.Other, "Other", "", 10);
    }

    TConsoleMenu M;
    TFields F;
    TCMenuSettingStr* Str = nullptr;
    TCMenuSettingInt* Int = nullptr;
    TCMenuSettingBln* Bln = nullptr;
    int CustomPresses = 0;
};

}  // namespace

TEST_F(Menu, CategoriesAddedAfterTheButtonsStandBeforeThem) {
    Build();
    EXPECT_EQ(Captions(M), (std::vector<std::string>{"First", "Text", "Number", "Second", "Flag", "Other", "Custom",
                                                     "Restore defaults", "Save and exit", "Exit (ESC)"}));
    EXPECT_EQ(M.RowCount, 2 * 2 + 4);
    EXPECT_EQ(M.CategoryCount, 2);
    EXPECT_EQ(M.ButtonCount, 4);
    EXPECT_EQ(M.FirstButton->Index, 0);
    EXPECT_EQ(M.LastButton->Index, 3);
    EXPECT_EQ(M.FirstCategory->NextCategory, M.LastCategory);
    EXPECT_EQ(M.LastCategory->PrevCategory, M.FirstCategory);
    EXPECT_EQ(Str->NextSetting, Int);
    EXPECT_EQ(Int->PrevSetting, Str);
    EXPECT_EQ(Bln->Category, M.LastCategory);
    EXPECT_TRUE(Str->ShowColon);
    EXPECT_FALSE(Bln->ShowColon);
}

TEST_F(Menu, AddingASettingAssignsItsDefaultAtOnce) {
    Build();
    EXPECT_EQ(F.Text, "abc");
    EXPECT_EQ(F.Number, 10);
    EXPECT_TRUE(F.Flag);
}

TEST_F(Menu, FirstCategoryAfterButtonsStartsTheList) {
    M.AddExitButton("Exit (ESC)");
    TCMenuCategory* c = M.AddCategory("Late");
    c->AddString(F.Text, "Text", "", 3);
    EXPECT_EQ(Captions(M), (std::vector<std::string>{"Late", "Text", "Exit (ESC)"}));
}

TEST(MenuInteger, ParsesOnlyPlainDecimalIn32Bits) {
    struct Case {
        const char* text;
        bool parses;
        std::int32_t value;
    };
    for (Case c : {Case{"42", true, 42}, Case{"  -12", true, -12}, Case{"+5", true, 5},
                   Case{"2147483647", true, 2147483647}, Case{"-2147483648", true, INT32_MIN},
                   Case{"2147483648", false, 0}, Case{"-2147483649", false, 0}, Case{"", false, 0},
                   Case{"  ", false, 0}, Case{"-", false, 0}, Case{"12 ", false, 0}, Case{"1a", false, 0},
                   Case{"0x10", false, 0}, Case{"99999999999999999999", false, 0}}) {
        std::int32_t value = 0;
        EXPECT_EQ(ParseMenuInteger(c.text, value), c.parses) << '"' << c.text << '"';
        if (c.parses) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST_F(Menu, StringSettingShowsAndTakesConsoleText) {
    Build();
    F.Text = "M\xfcl";  // ANSI
    EXPECT_EQ(Str->GetDisplayText(), "M\xc3\xbcl");
    Str->ApplyText("\xc3\xa9t\xc3\xa9s et plus");  // longer than 5 characters
    EXPECT_EQ(F.Text, "\xe9t\xe9s ");
    EXPECT_TRUE(Str->Validate("\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9")) << "five characters, ten bytes";
    EXPECT_FALSE(Str->Validate("123456"));

    Str->EditText = "ab";
    EXPECT_TRUE(Str->AcceptChar(U'x'));
    EXPECT_TRUE(Str->AcceptChar(U'\u00e9'));   // 0xE9 in Windows-1252
    EXPECT_TRUE(Str->AcceptChar(U'\u20ac'));   // 0x80
    EXPECT_FALSE(Str->AcceptChar(U'\u00ff'));  // 0xFF is outside 128 to 254
    EXPECT_FALSE(Str->AcceptChar(U'\u0416'));  // no Windows-1252 form
    EXPECT_FALSE(Str->AcceptChar(U'\t'));
    EXPECT_FALSE(Str->AcceptChar(U'\x7f'));
    Str->EditText = "ab\xc3\xa9\xc3\xa9\xc3\xa9";  // five characters: full
    EXPECT_FALSE(Str->AcceptChar(U'x'));
}

TEST_F(Menu, IntegerAndBooleanSettings) {
    Build();
    EXPECT_EQ(Int->GetDisplayText(), "10");
    Int->ApplyText("100");
    EXPECT_EQ(F.Number, 100);
    Int->ApplyText("101");  // out of range: unchanged
    Int->ApplyText("x");
    Int->ApplyText("");
    EXPECT_EQ(F.Number, 100);
    EXPECT_FALSE(Int->Validate("0"));
    EXPECT_TRUE(Int->Validate(" 7"));
    EXPECT_TRUE(Int->AcceptChar(U'7'));
    EXPECT_FALSE(Int->AcceptChar(U'-'));
    Int->SetCursorPos(2);
    EXPECT_EQ(Int->CursorPos, 2);

    EXPECT_EQ(Bln->GetDisplayText(), "[X]");
    F.Flag = false;
    EXPECT_EQ(Bln->GetDisplayText(), "[ ]");
    Bln->ApplyText("[X]");
    EXPECT_FALSE(F.Flag);
    EXPECT_FALSE(Bln->AcceptChar(U'x'));
    EXPECT_FALSE(Bln->Validate("1"));
    Bln->SetCursorPos(7);
    EXPECT_EQ(Bln->CursorPos, 1);
}

TEST_F(Menu, ButtonsRestoreSaveAndExit) {
    Build();
    M.SetRegistry(TRegRoot::HKEY_LOCAL_MACHINE, "Software\\Test");
    F.Text = "zz";
    F.Number = 55;
    F.Flag = false;

    auto press = [&](const std::string& caption) {
        for (TCMenuButton* b = M.FirstButton; b; b = static_cast<TCMenuButton*>(b->Next))
            if (b->Caption == caption) return b->Action(M);
        ADD_FAILURE() << caption;
        return false;
    };
    EXPECT_FALSE(press("Custom"));
    EXPECT_EQ(CustomPresses, 1);
    EXPECT_FALSE(press("Restore defaults"));
    EXPECT_EQ(F.Text, "abc");
    EXPECT_EQ(F.Number, 10);
    EXPECT_TRUE(F.Flag);
    EXPECT_FALSE(FileExists(HivePath)) << "restoring the defaults writes nothing";

    F.Number = 77;
    EXPECT_TRUE(press("Save and exit"));
    platform::TRegistry registry(platform::TRegAccess::Read);
    ASSERT_TRUE(registry.OpenKeyReadOnly("\\Software\\Test\\First"));
    EXPECT_EQ(registry.ReadInteger("Number"), 77);
    EXPECT_EQ(registry.ReadString("Text"), "abc");
    ASSERT_TRUE(registry.OpenKeyReadOnly("\\Software\\Test\\Second"));
    EXPECT_EQ(registry.GetDataType("Flag"), platform::REG_DWORD);
    EXPECT_TRUE(registry.ReadBool("Flag"));
    EXPECT_TRUE(press("Exit (ESC)"));
}

TEST_F(Menu, LoadingTakesStoredValuesAndKeepsDefaultsForTheRest) {
    Build();
    WriteHive(
        "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Test\\First]\r\n"
        "\"Text\"=\"longer than five\"\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Test\\Second]\r\n"
        "\"Flag\"=dword:00000000\r\n\r\n");
    M.LoadFromRegistry();
    EXPECT_EQ(F.Text, "abc") << "nothing is loaded before SetRegistry";

    M.SetRegistry(TRegRoot::HKEY_LOCAL_MACHINE, "Software\\Test");
    M.LoadFromRegistry();
    EXPECT_EQ(F.Text, "longer than five") << "the bounds hold for input only";
    EXPECT_EQ(F.Number, 10);
    EXPECT_FALSE(F.Flag);
}

TEST_F(Menu, LoadingWithoutTheKeyChangesNothing) {
    Build();
    F.Number = 3;
    M.SetRegistry(TRegRoot::HKEY_LOCAL_MACHINE, "Software\\Missing");
    M.LoadFromRegistry();
    EXPECT_EQ(F.Number, 3);
    EXPECT_FALSE(FileExists(HivePath));
}

TEST_F(Menu, SaveThatFailsHalfWayWritesNothing) {
    struct Case {
        const char* what;
        std::string category, value, reason;
    };
    const Case cases[] = {
        {"a key that cannot be made", "Bad\nKey", "Number",
         "Cannot open the key Software\\Test\\Bad\nKey: The parameter is incorrect."},
        {"a value that cannot be set", "Second", "Bad\nName",
         "Failed to set data for 'Bad\nName': The parameter is incorrect."},
    };
    for (const Case& c : cases) {
        WriteHive("[HKEY_LOCAL_MACHINE\\Software\\Test\\First]\r\n\"Text\"=\"old\"\r\n\r\n");
        const std::string before = ReadFile(HivePath);
        // The first category is good and goes first: its values must not reach the file alone.
        TConsoleMenu menu;
        TFields fields;
        menu.AddCategory("First")->AddString(fields.Text, "Text", "new", 5);
        menu.AddCategory(c.category)->AddInteger(fields.Number, c.value, 10, 1, 100);
        menu.SetRegistry(TRegRoot::HKEY_LOCAL_MACHINE, "Software\\Test");
        try {
            menu.SaveToRegistry();
            ADD_FAILURE() << c.what << ": saved";
        } catch (const ESettingsNotSaved& e) {
            EXPECT_EQ(e.Message(), "Cannot save the settings to \"" + HivePath + "\": " + c.reason) << c.what;
        }
        EXPECT_EQ(ReadFile(HivePath), before) << c.what;
    }
}
