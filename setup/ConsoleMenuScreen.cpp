// How the settings menu runs on the console: drawing, the selection, the edit field and the
// keys of every kind of item.
#include "common/Exceptions.h"
#include "common/ScopeGuard.h"
#include "platform/CodePage.h"
#include "platform/ConsoleScreen.h"
#include "setup/Console.h"
#include "setup/ConsoleMenu.h"

#include <algorithm>

namespace keyrix {

namespace {

// Colours of the 16-colour console palette.
constexpr std::uint8_t Black = 0, Green = 2, Red = 4, LightGrey = 7, White = 15;

// Extended codes of the keys the menu moves the selection with.
constexpr char32_t KeyHome = 71, KeyUp = 72, KeyPgUp = 73, KeyLeft = 75, KeyRight = 77, KeyEnd = 79, KeyDown = 80,
                   KeyPgDn = 81, KeyDel = 83;
constexpr char32_t CtrlC = 3, BackspaceKey = 8, TabKey = 9, EnterKey = 13, CtrlV = 22, EscKey = 27,
                   CtrlBackspace = 127;

// A paste longer than this is cut first: no field holds anywhere near as much, and the
// character-by-character check below should not take long on a huge clipboard.
constexpr std::size_t MaxPasteLength = 4096;

// The narrowest value column: on a narrower terminal the buffer is made wide enough for it
// and the view follows the cursor.
constexpr std::int32_t MinValueWidth = 10;

std::string ToConsole(const std::string& ansi) { return platform::AnsiToUtf8(ansi); }

std::int32_t Length(const std::string& utf8) { return static_cast<std::int32_t>(CodePointsOf(utf8).size()); }

platform::IConsoleScreen& Console() {
    platform::IConsoleScreen* console = platform::ConsoleScreen();
    if (console == nullptr) throw ENotAvailable("The settings menu has no console to run on");
    return *console;
}

// The rows an edit field on this row may take below it: a very long value gets no more
// than the menu window has, rather than a window past the buffer's end.
std::int32_t FieldRowsBelow(std::int32_t row, std::int32_t wanted) {
    return std::clamp(wanted, 0, std::max(0, BufferHeight() - 1 - row));
}

// The edit field: the value column of the setting's row and the rows below it.
void SetFieldWindow(const TConsoleMenu& menu, std::int32_t row, std::int32_t extraRows) {
    SetWindow(0, 0, 0, 0);
    SetWindow(menu.CaptionWidth + 2, row, BufferWidth() - 4, row + extraRows);
}

}  // namespace

// Items -------------------------------------------------------------------------------------

std::int32_t TCMenuBaseItem::Row() const {
    std::int32_t row = 1;
    for (const TCMenuBaseItem* item = Menu->FirstItem(); item && item != this; item = item->Next)
        row += dynamic_cast<const TCMenuCategory*>(item) ? 2 : 1;
    return row;
}

void TCMenuBaseItem::DrawText(const std::string& text, int x, int y, std::uint8_t color, std::uint8_t background) {
    SetTextColor(color);
    SetTextBackground(background);
    MoveCursor(x, y);
    if (!text.empty()) WriteRaw(ToConsole(text));
}

void TCMenuCategory::Draw() {
    SetTextColor(Green);
    MoveCursor(1, Row() + 1);
    WriteRaw(ToConsole(Caption));
    SetTextColor(Black);
    SetTextBackground(White);
    for (TCMenuSetting* setting = FirstSetting; setting; setting = setting->NextSetting) setting->Draw();
}

void TCMenuSetting::Draw() {
    const std::int32_t valueWidth = Menu->ValueWidth;
    if (Menu->Current != this) {
        const std::int32_t row = Row();
        SetTextColor(Black);
        SetTextBackground(White);
        MoveCursor(1, row);
        WriteText("  " + ToConsole(Caption) + (ShowColon ? ":" : ""));
        MoveCursor(Menu->CaptionWidth, row);
        const std::u32string text = CodePointsOf(GetDisplayText());
        WriteText(Utf8Of(std::u32string_view(text).substr(0, static_cast<std::size_t>(valueWidth))));
        if (text.size() < static_cast<std::size_t>(valueWidth)) ClearToLineEnd();
        return;
    }
    // The edit view: the text window is the edit field.
    GrowField();
    MoveCursor(1, 1);
    SetTextColor(Black);
    SetTextBackground(LightGrey);
    ClearWindow();
    WriteText(EditText);
    SetTextColor(Black);
    SetTextBackground(White);
    MoveCursor(CursorPos % valueWidth + 1, CursorPos / valueWidth + 1);
}

void TCMenuSetting::GrowField() {
    const std::int32_t row = Row();
    const std::int32_t needed = FieldRowsBelow(row, Length(EditText) / Menu->ValueWidth);
    if (needed <= FieldExtraRows) return;
    // Typed or pasted text that no longer fits gets more rows, as the value got them when the
    // field opened, so that all of it stays in view.
    Menu->SetMenuWindow();
    for (; FieldExtraRows < needed; ++FieldExtraRows) {
        MoveCursor(1, row + 1);
        InsertLine();
    }
    SetFieldWindow(*Menu, row, FieldExtraRows);
}

void TCMenuSetting::BeginEdit() {
    const std::int32_t row = Row();
    const std::string shown = GetDisplayText();
    const std::int32_t extraRows = FieldRowsBelow(row, Length(shown) / Menu->ValueWidth);
    // The field's extra rows push the following items down.
    for (std::int32_t i = 0; i < extraRows; ++i) {
        MoveCursor(1, row + 1);
        InsertLine();
    }
    FieldExtraRows = extraRows;
    SetFieldWindow(*Menu, row, extraRows);
    EditText = shown;
    SetCursorPos(Length(EditText));
    ShowCursor(true);
}

bool TCMenuSetting::EndEdit() {
    if (EditText != GetDisplayText()) {
        if (!Validate(EditText)) {
            Sound(6000, 200);
            return false;
        }
        ApplyText(EditText);
    }
    Menu->SetMenuWindow();
    const std::int32_t row = Row();
    const std::int32_t extraRows = FieldExtraRows;
    FieldExtraRows = 0;
    for (std::int32_t i = 0; i < extraRows; ++i) {
        MoveCursor(1, row + 1);
        DeleteLine();
    }
    // The items below moved back up: they show again where they belong.
    if (extraRows > 0)
        for (TCMenuBaseItem* item = Next; item; item = item->Next) item->Draw();
    return true;
}

bool TCMenuSetting::HandleKey(char32_t key, bool extended) {
    std::u32string text = CodePointsOf(EditText);
    const auto length = static_cast<std::int32_t>(text.size());
    const std::int32_t cursor = std::clamp(CursorPos, 0, length);
    const auto at = static_cast<std::size_t>(cursor);
    if (extended) {
        switch (key) {
            case KeyUp:
            case KeyPgUp:
            case KeyDown:
            case KeyPgDn: return false;  // the menu moves the selection
            case KeyHome: SetCursorPos(0); break;
            case KeyLeft:
                if (cursor > 0) SetCursorPos(cursor - 1);
                break;
            case KeyRight:
                if (cursor < length) SetCursorPos(cursor + 1);
                break;
            case KeyEnd: SetCursorPos(length); break;
            case KeyDel:
                if (cursor < length) EditText = Utf8Of(text.erase(at, 1));
                break;
            default: break;
        }
        Draw();
        return true;
    }
    switch (key) {
        case CtrlC:
            if (!EditText.empty()) Console().SetClipboardText(EditText);
            break;
        case BackspaceKey:
            if (cursor > 0) {
                EditText = Utf8Of(text.erase(at - 1, 1));
                SetCursorPos(cursor - 1);
            }
            break;
        case CtrlV: {
            std::u32string pasted = CodePointsOf(Console().ClipboardText());
            if (pasted.empty()) {
                // Nothing copied: a paste would only wipe the value.
                Sound(6000, 200);
                return true;
            }
            if (pasted.size() > MaxPasteLength) pasted.resize(MaxPasteLength);
            EditText = Utf8Of(pasted);
            // From the last character to the first, so that a string setting, full while the
            // text is long, keeps its first characters.
            for (std::size_t i = pasted.size(); i-- > 0;)
                if (!AcceptChar(pasted[i])) EditText = Utf8Of(pasted.erase(i, 1));
            SetCursorPos(static_cast<std::int32_t>(pasted.size()));
            break;
        }
        case CtrlBackspace:
            EditText.clear();
            SetCursorPos(0);
            break;
        default:
            // Tab and Enter are refused here too: Tab moves on, Enter does nothing.
            if (!AcceptChar(key)) return key != TabKey;
            text.insert(at, 1, key);
            EditText = Utf8Of(text);
            SetCursorPos(cursor + 1);
    }
    Draw();
    return true;
}

bool TCMenuSettingBln::HandleKey(char32_t key, bool extended) {
    const bool flip = !extended && (key == EnterKey || key == U' ' || key == U'X' || key == U'x');
    if (flip) {
        *Value = !*Value;
        EditText = GetDisplayText();
    }
    Draw();
    return flip;
}

void TCMenuButton::SetCaption(const std::string& caption) {
    if (caption == Caption) return;
    const bool shown = Menu->Running();
    const std::int32_t row = Menu->RowCount + Index + 3;
    // Blanks in white on white erase the old caption, whatever its length.
    if (shown && !Caption.empty()) DrawText(std::string(static_cast<std::size_t>(Length(ToConsole(Caption))), ' '), 1, row, White, White);
    Caption = caption;
    if (shown) Draw();
}

void TCMenuButton::Draw() {
    const bool selected = Menu->Current == this;
    SetTextColor(selected ? White : Red);
    SetTextBackground(selected ? Red : White);
    MoveCursor(1, Menu->RowCount + Index + 3);
    WriteRaw(ToConsole(Caption));
    SetTextColor(Black);
    if (selected) SetTextBackground(White);
}

void TCMenuButton::BeginEdit() { ShowCursor(false); }

bool TCMenuButton::HandleKey(char32_t key, bool extended) {
    if (extended || key != EnterKey) return false;
    Menu->ExitRequested = Action(*Menu);
    return true;
}

// Menu --------------------------------------------------------------------------------------

void TConsoleMenu::SetMenuWindow() {
    SetWindow(0, 0, 0, 0);
    SetWindow(3, 1, BufferWidth() - 4, BufferHeight() - 1);
}

void TConsoleMenu::Run() {
    platform::IConsoleScreen& console = Console();
    InitConsoleIO();
    ReadConsoleState();
    console.SetTitle(Title);
    SavedTextColor = TextColor();
    SavedBackground = TextBackground();

    LayOut(VisibleWidth(), VisibleHeight(), true);

    FRunning = true;
    TScopeGuard stopped([this] { FRunning = false; });
    ExitRequested = false;
    Current = nullptr;
    FMessage.clear();
    DrawItems();
    MoveCursor(1, 1);
    SelectFirst();

    while (!ExitRequested) {
        const char32_t key = ReadKey();
        if (key == EscKey) break;  // at once: no edit is closed, nothing is saved
        if (key == KeyWindowResized) {
            Relayout();
            continue;
        }
        if (key == 0) {
            const char32_t code = ReadKey();
            if (Current == nullptr || Current->HandleKey(code, true)) continue;
            switch (code) {
                case KeyUp: SelectPrevious(); break;
                case KeyPgUp: SelectFirst(); break;
                case KeyDown: SelectNext(); break;
                case KeyPgDn: SelectLast(); break;
                default: break;
            }
        } else if (Current == nullptr) {
            continue;
        } else if (key == TabKey) {
            if (!Current->HandleKey(key, false)) SelectNext();
        } else if (key == CtrlC || key == BackspaceKey || key == EnterKey || key == CtrlV || key >= 32) {
            Current->HandleKey(key, false);
        }
    }

    SetWindow(0, 0, 0, 0);
    SetTextColor(static_cast<std::uint8_t>(SavedTextColor));
    SetTextBackground(static_cast<std::uint8_t>(SavedBackground));
    ClearWindow();
}

void TConsoleMenu::LayOut(std::int32_t width, std::int32_t height, bool grow) {
    ScreenWidth = width;
    ScreenHeight = height;
    ValueWidth = std::max(ScreenWidth - CaptionWidth - 5, MinValueWidth);
    const std::int32_t rows = RowCount + CategoryCount + 4;
    if (grow)
        GrowBuffer(CaptionWidth + ValueWidth + 5, rows);
    else
        SetBufferSize(std::max(ScreenWidth, CaptionWidth + ValueWidth + 5), std::max(ScreenHeight, rows));
    ScreenHeight = std::min(ScreenHeight, rows);
    GrowWindow(ScreenWidth, ScreenHeight);
    ReadConsoleState();

    SetTextBackground(White);
    ClearWindow();
    SetMenuWindow();
}

void TConsoleMenu::DrawItems() {
    for (TCMenuBaseItem* item = FirstItem(); item; item = item->Next) item->Draw();
}

void TConsoleMenu::Relayout() {
    TCMenuBaseItem* selected = Current;
    auto* setting = dynamic_cast<TCMenuSetting*>(selected);
    const std::string editText = setting ? setting->EditText : std::string();
    const std::int32_t cursorPos = setting ? setting->CursorPos : 0;
    // The buffer is laid out anew: the field's extra rows go with the old layout.
    if (setting) setting->FieldExtraRows = 0;
    Current = nullptr;
    LayOut(LargestWindowWidth(), LargestWindowHeight(), false);
    DrawItems();
    if (!FMessage.empty()) ShowMessage(FMessage);
    MoveCursor(1, 1);
    Select(selected);
    if (setting) {
        // The edit goes on where it was, even when its text is not valid yet.
        setting->EditText = editText;
        setting->SetCursorPos(cursorPos);
        setting->Draw();
    }
}

void TConsoleMenu::Select(TCMenuBaseItem* item) {
    if (item == nullptr || item == Current) return;
    const platform::TCoord noted = CursorPosition();
    if (Current != nullptr) {
        if (!Current->EndEdit()) return;
        TCMenuBaseItem* old = Current;
        Current = nullptr;
        old->Draw();
    }
    const std::int32_t row = item->Row();
    // The view follows the cursor: two rows around the item come into view.
    MoveCursor(noted.X, row >= VisibleHeight() - 3 ? row + 2 : row - 2);
    MoveCursor(1, row);
    if (dynamic_cast<TCMenuSetting*>(item)) WriteText(" >");
    Current = item;
    item->BeginEdit();
    item->Draw();
}

void TConsoleMenu::SelectNext() {
    if (Current == nullptr) return;
    TCMenuBaseItem* next = Current->Next;
    if (auto* category = dynamic_cast<TCMenuCategory*>(next)) next = category->FirstSetting;
    if (next != nullptr) Select(next);
}

void TConsoleMenu::SelectPrevious() {
    if (Current == nullptr) return;
    TCMenuBaseItem* previous = Current->Prev;
    if (previous == nullptr || previous == FirstCategory) return;
    if (dynamic_cast<TCMenuCategory*>(previous)) previous = previous->Prev;
    if (previous != nullptr) Select(previous);
}

void TConsoleMenu::SelectFirst() {
    // A menu of buttons alone starts on its first button.
    if (FirstCategory != nullptr && FirstCategory->FirstSetting != nullptr)
        Select(FirstCategory->FirstSetting);
    else
        Select(FirstButton);
}

void TConsoleMenu::SelectLast() { Select(LastButton); }

void TConsoleMenu::ShowMessage(const std::string& text) {
    if (!FRunning || platform::ConsoleScreen() == nullptr) return;
    FMessage = text;
    SetTextColor(Black);
    SetTextBackground(White);
    MoveCursor(1, RowCount + ButtonCount + 3);
    ClearToLineEnd();
    // One line: what does not fit in the menu window is cut.
    std::u32string line = CodePointsOf(ToConsole(text));
    line.resize(std::min<std::size_t>(line.size(), static_cast<std::size_t>(std::max(0, BufferWidth() - 6))));
    if (!line.empty()) WriteRaw(Utf8Of(line));
}

}  // namespace keyrix
