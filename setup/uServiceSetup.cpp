#include "setup/uServiceSetup.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "common/ScopeGuard.h"
#include "platform/Registry.h"
#include "platform/TerminalConsole.h"
#include "service/SvcApplication.h"

#include <cstdio>
#include <optional>

namespace keyrix {

using platform::TRegAccess;
using platform::TRegistry;

TCustomSetup* CurrentSetup = nullptr;

TCustomSetup::TCustomSetup(const std::string& caption) : Menu(std::make_unique<TConsoleMenu>()) {
    CurrentSetup = this;
    Menu->SetTitle(caption);
}

TCustomSetup::~TCustomSetup() {
    Menu.reset();
    if (CurrentSetup == this) CurrentSetup = nullptr;
}

void TCustomSetup::BuildMenu(bool coreGroup, bool databaseGroup) {
    if (coreGroup) {
        TCMenuCategory* general = Menu->AddCategory("General");
        general->AddString(CoreServiceAddress, "Core service address", "127.0.0.1", 32);
        general->AddInteger(CoreServicePort, "Core service port", 4701, 1, 65535);
        general->AddString(CoreServicePassword, "Core service password", "", 32);
    }
    if (databaseGroup) {
        TCMenuCategory* database = Menu->AddCategory("Database");
        database->AddString(DatabaseServer, "Server address", "127.0.0.1", 32);
        database->AddInteger(DatabasePort, "Port number", 3050, 1, 65535);
        database->AddString(DatabaseName, "Database name", "keyrix_serv", 32);
        database->AddString(DatabaseUser, "Username", "SYSDBA", 16);
        database->AddString(DatabasePassword, "Password", "lanternox", 16);
    }
    InstallButton = Menu->AddButton("Install service", [this](TConsoleMenu&) { return ToggleServiceInstall(); });
    Menu->AddDefaultsButton("Restore defaults");
    Menu->AddSaveButton("Save and exit");
    Menu->AddExitButton("Exit (ESC)");
}

bool RenameRegistryValue(TRegistry& registry, const std::string& oldName, const std::string& newName) {
    if (!registry.ValueExists(oldName) || registry.ValueExists(newName)) return false;
    std::uint32_t type = 0;
    std::string data;
    if (registry.QueryRaw(oldName, type, data) != platform::ERROR_SUCCESS)
        throw platform::ERegistryException(Format("Failed to get data for '%s'", oldName));
    if (registry.SetRaw(newName, type, data) != platform::ERROR_SUCCESS)
        throw platform::ERegistryException(Format("Failed to set data for '%s'", newName));
    registry.DeleteValue(oldName);
    return true;
}

void TCustomSetup::LoadSettings() {
    std::string key = "\\";
    key += GetKeyPath();
    TRegistry registry(TRegAccess::AllAccess);
    // Without write access (no administrator) the renames are skipped; loading still reads.
    if (registry.OpenKey(key, false)) {
        const bool migrated = registry.ValueExists("Version");
        registry.CloseKey();
        if (!migrated) {
            if (registry.OpenKey(key + "\\General", false)) {
                RenameRegistryValue(registry, "Core service server", "Core service address");
                registry.CloseKey();
            }
            if (registry.OpenKey(key + "\\Database", false)) {
                RenameRegistryValue(registry, "Server", "Server address");
                RenameRegistryValue(registry, "Port", "Port number");
                RenameRegistryValue(registry, "Alias", "Database name");
                registry.CloseKey();
            }
            if (registry.OpenKey(key, false)) {
                registry.WriteInteger("Version", 1);
                registry.CloseKey();
            }
        }
    }
    Menu->SetRegistry(GetRootKey(), GetKeyPath());
    Menu->LoadFromRegistry();
    TRegistry reader(TRegAccess::Read);
    LoadUnlistedSettings(reader);
}

void TCustomSetup::RunConfig(TServiceApplication& sender) {
    // The terminal comes first: without one nothing is asked, written or changed.
    std::optional<platform::TTerminalConsole> console;
    try {
        console.emplace();
    } catch (const platform::ENoTerminal& e) {
        // Whoever started the menu sees why it did not come, not only the event log.
        std::fprintf(stderr, "%s: %s\n", sender.EventLogger().SourceName().c_str(), e.Message().c_str());
        std::fflush(stderr);
        throw;
    }
    // In place for the menu, and out again on every path.
    platform::TScopedConsoleScreen inPlace(*console);
    RunMenu(sender);
}

void TCustomSetup::RunMenu(TServiceApplication& sender) {
    TServiceBase* service = GetService();
    if (service == nullptr) throw EBugCheckError("RunConfig: no service object");
    Application = &sender;
    SetServiceInstalled(sender.IsServiceInstalled(service->ServiceName()));
    // Each failed save goes to the event log as it happens; the terminal belongs to the menu.
    Menu->SaveError.clear();
    Menu->OnSaveError = [&sender](const std::string& message) {
        sender.EventLogger().LogMessage(message, platform::TEventType::Error, 1, 0);
    };
    TScopeGuard unhook([this] { Menu->OnSaveError = nullptr; });
    Menu->Run();
    // The menu ended after a save that failed, and no later one succeeded: the hive does not
    // hold what the administrator set.
    if (!Menu->SaveError.empty()) ExitCode = 1;
}

void TCustomSetup::SetServiceInstalled(bool installed) {
    ServiceInstalled = installed;
    if (InstallButton) InstallButton->SetCaption(installed ? "Uninstall service" : "Install service");
}

namespace {

// The error on one line: line breaks and runs of blanks become one blank.
std::string OneLine(const std::string& ansi) {
    std::string line;
    for (const char c : ansi) {
        const bool blank = c == '\r' || c == '\n' || c == ' ';
        if (!blank)
            line += c;
        else if (!line.empty() && line.back() != ' ')
            line += ' ';
    }
    return line;
}

// The menu shows the install routine's line on one row of the screen. A failure's own line
// ("Service "..." failed to install with error: "System Error.  Code: 2. ..."") is longer
// than the row and would lose its cause, so the row gets the cause first.
// What the service manager's tools printed follows in brackets.
std::string MenuLine(const TInstallResult& result, bool install) {
    const std::string note = result.Note.empty() ? "" : " (" + OneLine(result.Note) + ")";
    if (!result.Failed || result.Error.empty()) return result.Message + note;
    std::string error = OneLine(result.Error);
    // The operating system's errors all begin alike; the code and the text follow.
    const std::string osError = "System Error. ";
    if (error.rfind(osError, 0) == 0) error.erase(0, osError.size());
    return (install ? "Install failed: " : "Uninstall failed: ") + error + note;
}

}  // namespace

bool TCustomSetup::ToggleServiceInstall() {
    if (!InstallServices || Application == nullptr)
        throw ENotAvailable("Service installation is not available in this build");
    TServiceBase* service = GetService();
    if (service == nullptr) throw EBugCheckError("ToggleServiceInstall: no service object");
    const bool install = !ServiceInstalled;
    TInstallResult result;
    try {
        result = InstallServices(install);
    } catch (const Exception& e) {
        // The service manager could not be reached (no unit folder, say): the menu stays
        // open and says why; the exit code records the failure as for a failed service.
        ExitCode = 1;
        result.Failed = true;
        result.Error = e.Message();
    }
    // The manager's answer, not the press, decides: a failed install still reads "Install service".
    SetServiceInstalled(Application->IsServiceInstalled(service->ServiceName()));
    InstallMessage = MenuLine(result, install);
    Menu->ShowMessage(InstallMessage);
    return false;
}

}  // namespace keyrix
