#include "setup/ConsoleMenu.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "platform/CodePage.h"
#include "platform/Registry.h"
#include "platform/WinError.h"
#include "service/SvcConsole.h"
#include "setup/Console.h"

#include <cctype>
#include <limits>

namespace keyrix {

using platform::TRegAccess;
using platform::TRegistry;

namespace {

// Characters of a UTF-8 text (continuation bytes do not count).
std::int32_t CharCount(const std::string& utf8) {
    std::int32_t count = 0;
    for (const char c : utf8) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

std::string ToConsole(const std::string& ansi) { return platform::AnsiToUtf8(ansi); }
std::string FromConsole(const std::string& console) { return platform::Utf8ToAnsi(console); }

}  // namespace

ESettingsNotSaved::ESettingsNotSaved(const std::string& reason, const std::string& path, bool folder)
    : ERegistryException(Format("Cannot save the settings %s\"%s\": %s", folder ? "in folder " : "to ", path, reason)),
      Reason(reason),
      Where(Format("%s\"%s\"", folder ? "folder " : "", path)) {}

bool ParseMenuInteger(const std::string& text, std::int32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    std::int64_t result = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        result = result * 10 + (text[i] - '0');
        if (result > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return false;
    }
    if (negative) result = -result;
    if (result > std::numeric_limits<std::int32_t>::max()) return false;
    value = static_cast<std::int32_t>(result);
    return true;
}

// Settings ----------------------------------------------------------------------------------

TCMenuSetting::TCMenuSetting(TCMenuCategory& category, const std::string& caption, bool showColon)
    : TCMenuBaseItem(*category.Menu, caption), Category(&category), ShowColon(showColon) {}

TCMenuSettingStr::TCMenuSettingStr(TCMenuCategory& category, std::string& value, const std::string& caption,
                                   const std::string& defaultValue, std::int32_t maxLength)
    : TCMenuSetting(category, caption, true), Value(&value), Default(defaultValue), MaxLength(maxLength) {}

std::string TCMenuSettingStr::GetDisplayText() const { return ToConsole(*Value); }

void TCMenuSettingStr::ApplyText(const std::string& text) {
    // Windows-1252 has one byte per character, so the cut counts characters.
    std::string ansi = FromConsole(text);
    if (ansi.size() > static_cast<std::size_t>(MaxLength)) ansi.resize(static_cast<std::size_t>(MaxLength));
    *Value = ansi;
}

bool TCMenuSettingStr::AcceptChar(char32_t ch) const {
    if (CharCount(EditText) >= MaxLength) return false;
    // The character must have an 8-bit form to be stored: printable ASCII, or 128 to 254.
    if (ch >= 32 && ch <= 126) return true;
    if (ch < 128) return false;
    const std::string ansi = FromConsole(Utf8Of(std::u32string(1, ch)));
    if (ansi.size() != 1 || ansi == "?") return false;
    const unsigned char b = static_cast<unsigned char>(ansi[0]);
    return b >= 128 && b <= 254;
}

bool TCMenuSettingStr::Validate(const std::string& text) const { return CharCount(text) <= MaxLength; }

void TCMenuSettingStr::SaveTo(TRegistry& registry) const { registry.WriteString(Caption, *Value); }

void TCMenuSettingStr::LoadFrom(const TRegistry& registry) { *Value = registry.ReadString(Caption); }

TCMenuSettingInt::TCMenuSettingInt(TCMenuCategory& category, std::int32_t& value, const std::string& caption,
                                   std::int32_t defaultValue, std::int32_t minValue, std::int32_t maxValue)
    : TCMenuSetting(category, caption, true),
      Value(&value),
      Default(defaultValue),
      MaxValue(maxValue),
      MinValue(minValue) {}

std::string TCMenuSettingInt::GetDisplayText() const { return std::to_string(*Value); }

void TCMenuSettingInt::ApplyText(const std::string& text) {
    if (Validate(text)) ParseMenuInteger(text, *Value);
}

bool TCMenuSettingInt::Validate(const std::string& text) const {
    std::int32_t parsed = 0;
    return ParseMenuInteger(text, parsed) && parsed >= MinValue && parsed <= MaxValue;
}

void TCMenuSettingInt::SaveTo(TRegistry& registry) const { registry.WriteInteger(Caption, *Value); }

void TCMenuSettingInt::LoadFrom(const TRegistry& registry) {
    const std::int32_t value = registry.ReadInteger(Caption);
    // A number the menu would refuse (a port of 70000) would otherwise be used, and fail
    // only later and far from its cause.
    if (value < MinValue || value > MaxValue)
        throw platform::ERegistryException(Format("Invalid value %d for '%s' in \\%s of \"%s\": expected %d to %d", value,
                                                  Caption, registry.CurrentPath(), registry.Hive().FilePath(),
                                                  MinValue, MaxValue));
    *Value = value;
}

TCMenuSettingBln::TCMenuSettingBln(TCMenuCategory& category, bool& value, const std::string& caption,
                                   bool defaultValue)
    : TCMenuSetting(category, caption, false), Value(&value), Default(defaultValue) {}

void TCMenuSettingBln::SaveTo(TRegistry& registry) const { registry.WriteBool(Caption, *Value); }

void TCMenuSettingBln::LoadFrom(const TRegistry& registry) { *Value = registry.ReadBool(Caption); }

// Categories --------------------------------------------------------------------------------

template <class T>
T* TCMenuCategory::Append(std::unique_ptr<T> setting) {
    T* raw = setting.get();
    Menu->InsertAfter(*raw, LastSetting ? static_cast<TCMenuBaseItem*>(LastSetting) : this);
    raw->PrevSetting = LastSetting;
    if (LastSetting) LastSetting->NextSetting = raw;
    if (!FirstSetting) FirstSetting = raw;
    LastSetting = raw;
    raw->ResetToDefault();
    ++Menu->RowCount;
    FSettings.push_back(std::move(setting));
    return raw;
}

TCMenuSettingStr* TCMenuCategory::AddString(std::string& field, const std::string& caption,
                                            const std::string& defaultValue, std::int32_t maxLength) {
    return Append(std::make_unique<TCMenuSettingStr>(*this, field, caption, defaultValue, maxLength));
}

TCMenuSettingInt* TCMenuCategory::AddInteger(std::int32_t& field, const std::string& caption,
                                             std::int32_t defaultValue, std::int32_t minValue,
                                             std::int32_t maxValue) {
    return Append(std::make_unique<TCMenuSettingInt>(*this, field, caption, defaultValue, minValue, maxValue));
}

TCMenuSettingBln* TCMenuCategory::AddBoolean(bool& field, const std::string& caption, bool defaultValue) {
    return Append(std::make_unique<TCMenuSettingBln>(*this, field, caption, defaultValue));
}

// Menu --------------------------------------------------------------------------------------

TConsoleMenu::~TConsoleMenu() {
    FCategories.clear();  // each category takes its settings with it
    FButtons.clear();
}

void TConsoleMenu::SetTitle(const std::string& ansiTitle) {
    Title = ToConsole(ansiTitle);
    SetConsoleTitle(ansiTitle);
    if (platform::IConsoleScreen* console = platform::ConsoleScreen()) console->SetTitle(Title);
}

void TConsoleMenu::SetRegistry(TRegRoot rootKey, const std::string& keyPath) {
    RootKey = rootKey;
    KeyPath = keyPath;
    RegistrySet = true;
}

TCMenuBaseItem* TConsoleMenu::FirstItem() const {
    if (FirstCategory) return FirstCategory;
    return FirstButton;
}

TCMenuBaseItem* TConsoleMenu::EndOfSettings() const {
    if (!LastCategory) return nullptr;
    // A category still without settings ends the list of settings itself.
    return LastCategory->LastSetting ? static_cast<TCMenuBaseItem*>(LastCategory->LastSetting) : LastCategory;
}

void TConsoleMenu::InsertAfter(TCMenuBaseItem& item, TCMenuBaseItem* anchor) {
    TCMenuBaseItem* next = anchor ? anchor->Next : FirstItem();
    item.Prev = anchor;
    item.Next = next;
    if (anchor) anchor->Next = &item;
    if (next) next->Prev = &item;
}

TCMenuCategory* TConsoleMenu::AddCategory(const std::string& caption) {
    auto category = std::make_unique<TCMenuCategory>(*this, caption);
    TCMenuCategory* raw = category.get();
    InsertAfter(*raw, EndOfSettings());
    raw->PrevCategory = LastCategory;
    if (LastCategory) LastCategory->NextCategory = raw;
    if (!FirstCategory) FirstCategory = raw;
    LastCategory = raw;
    RowCount += 2;
    ++CategoryCount;
    FCategories.push_back(std::move(category));
    return raw;
}

TCMenuButton* TConsoleMenu::AddButton(const std::string& caption, TCMenuButton::TAction action) {
    auto button = std::make_unique<TCMenuButton>(*this, caption, LastButton ? LastButton->Index + 1 : 0,
                                                 std::move(action));
    TCMenuButton* raw = button.get();
    InsertAfter(*raw, LastButton ? static_cast<TCMenuBaseItem*>(LastButton) : EndOfSettings());
    if (!FirstButton) FirstButton = raw;
    LastButton = raw;
    ++ButtonCount;
    FButtons.push_back(std::move(button));
    return raw;
}

TCMenuButton* TConsoleMenu::AddDefaultsButton(const std::string& caption) {
    return AddButton(caption, [](TConsoleMenu& menu) {
        menu.RestoreDefaults();
        return false;
    });
}

TCMenuButton* TConsoleMenu::AddSaveButton(const std::string& caption) {
    return AddButton(caption, [](TConsoleMenu& menu) {
        try {
            menu.SaveToRegistry();
        } catch (const Exception& e) {
            // Nothing was written: the menu stays, so that the administrator sees why, can
            // put it right and press the button again.
            menu.SaveError = e.Message();
            const auto* notSaved = dynamic_cast<const ESettingsNotSaved*>(&e);
            menu.ShowMessage(FromConsole("Cannot save: " + (notSaved ? notSaved->Summary() : e.Message())));
            if (menu.OnSaveError) menu.OnSaveError(e.Message());
            return false;
        }
        menu.SaveError.clear();
        return true;
    });
}

TCMenuButton* TConsoleMenu::AddExitButton(const std::string& caption) {
    return AddButton(caption, [](TConsoleMenu&) { return true; });
}

void TConsoleMenu::LoadFromRegistry() {
    if (!RegistrySet) return;
    TRegistry registry(TRegAccess::Read);
    if (!registry.OpenKeyReadOnly("\\" + KeyPath)) return;
    for (TCMenuCategory* category = FirstCategory; category; category = category->NextCategory) {
        if (!registry.OpenKeyReadOnly("\\" + KeyPath + "\\" + category->Caption)) continue;
        for (TCMenuSetting* setting = category->FirstSetting; setting; setting = setting->NextSetting)
            if (registry.ValueExists(setting->Caption)) setting->LoadFrom(registry);
        registry.CloseKey();
    }
}

void TConsoleMenu::SaveToRegistry() {
    if (!RegistrySet) return;
    TRegistry registry(TRegAccess::AllAccess);
    platform::TRegistryHive& hive = registry.Hive();
    const std::string& file = hive.FilePath();
    // Asked first, so that a refusal names the file or folder that refuses, and why.
    if (const auto access = hive.CheckWriteAccess(); access.Error != 0)
        throw ESettingsNotSaved(SysErrorMessage(access.Error), access.Path, access.Folder);

    // Every change goes to the batch; the first that fails ends the save before anything
    // reaches the file.
    platform::TRegistryBatch batch(hive);
    for (TCMenuCategory* category = FirstCategory; category; category = category->NextCategory) {
        const std::string key = KeyPath + "\\" + category->Caption;
        if (!registry.OpenKey("\\" + key, true))
            throw ESettingsNotSaved(
                Format("Cannot open the key %s: %s", key, platform::WindowsErrorText(registry.LastError())), file, false);
        for (TCMenuSetting* setting = category->FirstSetting; setting; setting = setting->NextSetting) {
            try {
                setting->SaveTo(registry);
            } catch (const platform::ERegistryException& e) {
                throw ESettingsNotSaved(e.Message() + ": " + platform::WindowsErrorText(registry.LastError()), file,
                                        false);
            }
        }
        registry.CloseKey();
    }
    if (const long code = batch.Commit()) {
        const int error = batch.SystemError();
        throw ESettingsNotSaved(error != 0 ? SysErrorMessage(error) : platform::WindowsErrorText(code), file, false);
    }
}

void TConsoleMenu::RestoreDefaults() {
    // Through the categories and their settings, up to the first button; while the menu
    // runs, each setting shows its default at once.
    for (TCMenuBaseItem* item = FirstCategory; item; item = item->Next) {
        if (dynamic_cast<TCMenuCategory*>(item)) continue;
        auto* setting = dynamic_cast<TCMenuSetting*>(item);
        if (!setting) break;
        setting->ResetToDefault();
        if (FRunning) setting->Draw();
    }
}

}  // namespace keyrix
