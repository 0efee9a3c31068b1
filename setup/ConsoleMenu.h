// The settings menu's model: categories of typed settings bound to fields of the owner's
// settings object, followed by buttons with actions, and how all settings are loaded,
// saved and reset against one registry key (one subkey per category, one value per
// setting, named by the captions).
//
// Values are held in the ANSI code page (Windows-1252); what the menu shows and edits is in
// the console's encoding (UTF-8 on Linux). How the menu draws itself and handles keys on the
// console (setup/Console.h) is in ConsoleMenuScreen.cpp.
#pragma once

#include "platform/Registry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace keyrix {

// The settings could not be saved, and nothing was written. Reason says why (the system's
// text); Where names the file or folder that refused, or the hive file for other failures.
class ESettingsNotSaved : public platform::ERegistryException {
public:
    ESettingsNotSaved(const std::string& reason, const std::string& path, bool folder);
    const char* ClassName() const noexcept override { return "ESettingsNotSaved"; }
    // The reason first, so that a row that cuts the line keeps it.
    std::string Summary() const { return Reason + " (" + Where + ")"; }

    std::string Reason;
    std::string Where;  // "\"<path>\"" or "folder \"<path>\""
};

class TConsoleMenu;
class TCMenuCategory;

enum class TRegRoot { HKEY_LOCAL_MACHINE };

class TCMenuBaseItem {
public:
    TCMenuBaseItem(const TCMenuBaseItem&) = delete;
    TCMenuBaseItem& operator=(const TCMenuBaseItem&) = delete;
    virtual ~TCMenuBaseItem() = default;

    virtual void SetCaption(const std::string& caption) { Caption = caption; }
    // Writes the (ANSI) text at (x, y) of the current text window in the given colours,
    // straight to the console.
    virtual void DrawText(const std::string& text, int x, int y, std::uint8_t color, std::uint8_t background);
    virtual void Draw() = 0;
    // The item becomes the selection.
    virtual void BeginEdit() {}
    // The selection is to leave the item: false keeps it there.
    virtual bool EndEdit() { return true; }
    // A key offered to the selected item (extended: an extended code after 0); true when the
    // item took it, false leaves it to the menu.
    virtual bool HandleKey(char32_t key, bool extended) = 0;

    // The item's row in the menu window, counted from 1.
    std::int32_t Row() const;

    // For settings also the registry value name, for categories the subkey name.
    std::string Caption;
    TConsoleMenu* Menu = nullptr;  // not owned
    TCMenuBaseItem* Next = nullptr;  // neighbours in screen order
    TCMenuBaseItem* Prev = nullptr;

protected:
    TCMenuBaseItem(TConsoleMenu& menu, const std::string& caption) : Caption(caption), Menu(&menu) {}
};

class TCMenuSetting : public TCMenuBaseItem {
public:
    void Draw() override;
    void BeginEdit() override;
    bool EndEdit() override;
    bool HandleKey(char32_t key, bool extended) override;
    virtual void SetCursorPos(std::int32_t pos) { CursorPos = pos; }
    // The bound value as the console shows it.
    virtual std::string GetDisplayText() const = 0;
    // Stores an edited console text into the bound field, when it is acceptable.
    virtual void ApplyText(const std::string& text) = 0;
    // Whether a typed character (a Unicode code point) may join the edit text.
    virtual bool AcceptChar(char32_t ch) const = 0;
    virtual void SaveTo(platform::TRegistry& registry) const = 0;
    virtual void LoadFrom(const platform::TRegistry& registry) = 0;
    virtual void ResetToDefault() = 0;
    virtual bool Validate(const std::string& text) const = 0;

    TCMenuSetting* NextSetting = nullptr;
    TCMenuSetting* PrevSetting = nullptr;
    TCMenuCategory* Category = nullptr;
    std::string EditText;  // console encoding
    std::int32_t CursorPos = 0;
    bool ShowColon = true;
    // Rows the open edit field has below the setting's own row.
    std::int32_t FieldExtraRows = 0;

protected:
    // Makes room for the edit text: the field grows by rows inserted below it.
    void GrowField();
    TCMenuSetting(TCMenuCategory& category, const std::string& caption, bool showColon);
};

class TCMenuSettingStr : public TCMenuSetting {
public:
    TCMenuSettingStr(TCMenuCategory& category, std::string& value, const std::string& caption,
                     const std::string& defaultValue, std::int32_t maxLength);
    std::string GetDisplayText() const override;
    void ApplyText(const std::string& text) override;
    bool AcceptChar(char32_t ch) const override;
    void SaveTo(platform::TRegistry& registry) const override;
    void LoadFrom(const platform::TRegistry& registry) override;
    void ResetToDefault() override { *Value = Default; }
    bool Validate(const std::string& text) const override;

    std::string* Value;
    std::string Default;
    std::int32_t MaxLength;
};

class TCMenuSettingInt : public TCMenuSetting {
public:
    TCMenuSettingInt(TCMenuCategory& category, std::int32_t& value, const std::string& caption,
                     std::int32_t defaultValue, std::int32_t minValue, std::int32_t maxValue);
    std::string GetDisplayText() const override;
    void ApplyText(const std::string& text) override;
    bool AcceptChar(char32_t ch) const override { return ch >= U'0' && ch <= U'9'; }
    void SaveTo(platform::TRegistry& registry) const override;
    void LoadFrom(const platform::TRegistry& registry) override;
    void ResetToDefault() override { *Value = Default; }
    bool Validate(const std::string& text) const override;

    std::int32_t* Value;
    std::int32_t Default, MaxValue, MinValue;
};

class TCMenuSettingBln : public TCMenuSetting {
public:
    TCMenuSettingBln(TCMenuCategory& category, bool& value, const std::string& caption, bool defaultValue);
    void SetCursorPos(std::int32_t) override { CursorPos = 1; }  // the cursor sits inside "[ ]"
    std::string GetDisplayText() const override { return *Value ? "[X]" : "[ ]"; }
    void ApplyText(const std::string&) override {}
    bool AcceptChar(char32_t) const override { return false; }
    void SaveTo(platform::TRegistry& registry) const override;
    void LoadFrom(const platform::TRegistry& registry) override;
    void ResetToDefault() override { *Value = Default; }
    bool Validate(const std::string&) const override { return false; }
    bool HandleKey(char32_t key, bool extended) override;

    bool* Value;
    bool Default;
};

class TCMenuCategory : public TCMenuBaseItem {
public:
    TCMenuCategory(TConsoleMenu& menu, const std::string& caption) : TCMenuBaseItem(menu, caption) {}
    // The caption on the category's second row, then its settings.
    void Draw() override;
    bool HandleKey(char32_t, bool) override { return false; }

    // Each adds the setting after the category's last one, assigns the default to the bound
    // field at once and answers the new setting.
    TCMenuSettingStr* AddString(std::string& field, const std::string& caption, const std::string& defaultValue,
                                std::int32_t maxLength);
    TCMenuSettingInt* AddInteger(std::int32_t& field, const std::string& caption, std::int32_t defaultValue,
                                 std::int32_t minValue, std::int32_t maxValue);
    TCMenuSettingBln* AddBoolean(bool& field, const std::string& caption, bool defaultValue);

    TCMenuCategory* NextCategory = nullptr;
    TCMenuCategory* PrevCategory = nullptr;
    TCMenuSetting* FirstSetting = nullptr;
    TCMenuSetting* LastSetting = nullptr;

private:
    template <class T>
    T* Append(std::unique_ptr<T> setting);

    std::vector<std::unique_ptr<TCMenuSetting>> FSettings;  // owned
};

class TCMenuButton : public TCMenuBaseItem {
public:
    // Runs on Enter; true ends the menu.
    using TAction = std::function<bool(TConsoleMenu&)>;
    TCMenuButton(TConsoleMenu& menu, const std::string& caption, std::int32_t index, TAction action)
        : TCMenuBaseItem(menu, caption), Index(index), Action(std::move(action)) {}
    // While the menu runs, the old caption is erased and the button redrawn.
    void SetCaption(const std::string& caption) override;
    void Draw() override;
    void BeginEdit() override;
    // Enter runs the action; its answer ends the menu or keeps it open.
    bool HandleKey(char32_t key, bool extended) override;

    std::int32_t Index;
    TAction Action;
};

class TConsoleMenu {
public:
    TConsoleMenu() = default;
    TConsoleMenu(const TConsoleMenu&) = delete;
    TConsoleMenu& operator=(const TConsoleMenu&) = delete;
    ~TConsoleMenu();

    // Keeps the title in the console's encoding.
    void SetTitle(const std::string& ansiTitle);
    void SetRegistry(TRegRoot rootKey, const std::string& keyPath);

    // A category goes after the last setting of the last category, always before the buttons.
    TCMenuCategory* AddCategory(const std::string& caption);
    TCMenuButton* AddButton(const std::string& caption, TCMenuButton::TAction action);
    TCMenuButton* AddDefaultsButton(const std::string& caption);  // RestoreDefaults, stays open
    // SaveToRegistry, ends the menu; a save that fails keeps it open, shows "Cannot save: "
    // and the reason on the message row, and records the failure (SaveError, OnSaveError).
    TCMenuButton* AddSaveButton(const std::string& caption);
    TCMenuButton* AddExitButton(const std::string& caption);      // ends the menu

    // Each setting whose value exists under KeyPath\<category> takes the stored value.
    void LoadFromRegistry();
    // Writes every setting, creating the key and the category subkeys as needed: all of
    // them in one change of the hive, or none. A hive that may not be written, a key or
    // value that cannot be, or a write that fails raises ESettingsNotSaved.
    void SaveToRegistry();
    // Every bound field back to its default, in memory only.
    void RestoreDefaults();

    // Shows the menu on the process's console and handles keys until Esc or a button's
    // action ends it. A new window size lays the screen out again for it.
    void Run();
    // Makes item the selection, when the current one lets the selection go.
    void Select(TCMenuBaseItem* item);
    void SelectNext();
    void SelectPrevious();
    void SelectFirst();
    void SelectLast();
    // One line (ANSI text, as the system's messages are) in black on white on the row below
    // the last button, cleared first; an empty text only clears it. Nothing while the menu
    // does not run.
    void ShowMessage(const std::string& text);
    bool Running() const { return FRunning; }
    // The text window of the menu: everything is drawn in it unless an edit field is open.
    void SetMenuWindow();

    // The first item in screen order.
    TCMenuBaseItem* FirstItem() const;

    TCMenuBaseItem* Current = nullptr;
    std::string Title;  // console encoding
    std::int32_t RowCount = 0;  // 2 per category, 1 per setting
    std::int32_t ButtonCount = 0;
    std::int32_t CategoryCount = 0;
    TRegRoot RootKey = TRegRoot::HKEY_LOCAL_MACHINE;
    std::string KeyPath;
    bool ExitRequested = false;
    bool RegistrySet = false;
    std::uint16_t SavedTextColor = 7, SavedBackground = 0;
    std::int32_t CaptionWidth = 30;
    std::int32_t ValueWidth = 45;
    std::int32_t ScreenWidth = 80, ScreenHeight = 25;
    TCMenuCategory* FirstCategory = nullptr;
    TCMenuCategory* LastCategory = nullptr;
    TCMenuButton* FirstButton = nullptr;
    TCMenuButton* LastButton = nullptr;
    // The save button's last failure, as the error's message; a save that succeeds clears it.
    std::string SaveError;
    // Told the message of every failed save of the save button (for the event log).
    std::function<void(const std::string& message)> OnSaveError;

private:
    friend class TCMenuCategory;
    // The item after which the next category or first button goes (null: the list head).
    TCMenuBaseItem* EndOfSettings() const;
    void InsertAfter(TCMenuBaseItem& item, TCMenuBaseItem* anchor);

    // Sizes the value column, the buffer and the window for a console window of this size
    // and clears the screen to white.
    void LayOut(std::int32_t width, std::int32_t height, bool grow);
    void DrawItems();
    // The window changed its size: everything is laid out and drawn again, and the item
    // being edited stays selected with its text and cursor.
    void Relayout();

    bool FRunning = false;
    std::string FMessage;  // the row below the buttons, shown again after a relayout

    std::vector<std::unique_ptr<TCMenuButton>> FButtons;        // owned
    std::vector<std::unique_ptr<TCMenuCategory>> FCategories;   // owned; each owns its settings
};

// Integer input: optional leading blanks, an optional sign, decimal digits and nothing
// else, within 32 signed bits. An empty text does not parse.
bool ParseMenuInteger(const std::string& text, std::int32_t& value);

}  // namespace keyrix
