// TCustomSetup: a settings object whose settings are the items of its console menu, kept
// in the registry under one key with one subkey per category.
#pragma once

#include "service/SvcApplication.h"
#include "setup/ConsoleMenu.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace keyrix {

namespace platform {
class TRegistry;
}

class TCustomSetup {
public:
    TCustomSetup(const TCustomSetup&) = delete;
    TCustomSetup& operator=(const TCustomSetup&) = delete;
    virtual ~TCustomSetup();

    // Declares the categories, settings and buttons. Derived classes call the base first.
    virtual void BuildMenu(bool coreGroup, bool databaseGroup);
    // The service whose installation the menu manages.
    virtual TServiceBase* GetService() const = 0;
    virtual TRegRoot GetRootKey() const { return TRegRoot::HKEY_LOCAL_MACHINE; }
    virtual std::string GetKeyPath() const = 0;

    // Renames the value names of older installations (once, marked by "Version" = 1),
    // then loads every setting; missing values keep their defaults.
    void LoadSettings();

    // Config mode: shows whether the service is installed, then runs the menu on the
    // terminal until the administrator leaves it. Without a terminal it raises ENoTerminal
    // before anything is written or asked.
    void RunConfig(TServiceApplication& sender);
    // The part of RunConfig after the console is set: asks the service manager, sets the
    // caption and runs the menu on the console that is set. A failed save is written to the
    // event log; when the menu ends with its last save failed, the exit code is 1.
    void RunMenu(TServiceApplication& sender);

    // The install button's action: installs when the service is not installed, else
    // uninstalls; then asks the service manager again, so that the flag and the caption
    // follow what is really there, and shows the install routine's line. Keeps the menu open.
    bool ToggleServiceInstall();
    // Records whether the service is installed and shows it on the install button.
    void SetServiceInstalled(bool installed);

    // Installs (true) or uninstalls (false) the service and answers the line that tells how
    // it went; bound by the service host.
    std::function<TInstallResult(bool install)> InstallServices;

    // The application that asks the service manager; set by RunConfig.
    TServiceApplication* Application = nullptr;
    // The install routine's result as the menu shows it, on one row (ANSI): its success or
    // refusal line, or "Install failed: " and the cause.
    std::string InstallMessage;

    std::unique_ptr<TConsoleMenu> Menu;
    TCMenuButton* InstallButton = nullptr;
    bool ServiceInstalled = false;

    std::string CoreServiceAddress;
    std::int32_t CoreServicePort = 0;
    std::string CoreServicePassword;

    std::string DatabaseServer;
    std::string DatabaseName;
    std::int32_t DatabasePort = 0;
    std::string DatabaseUser;
    std::string DatabasePassword;

protected:
    // Settings kept in the hive that the menu does not show; read after the menu's.
    virtual void LoadUnlistedSettings(platform::TRegistry&) {}
    // The menu is built by the most derived constructor (a virtual call made from here
    // would not reach the derived BuildMenu).
    explicit TCustomSetup(const std::string& caption);
};

// The settings module's current instance: set by the constructor, cleared by the destructor.
extern TCustomSetup* CurrentSetup;

// Moves a value to a new name when the old name exists and the new one does not, keeping
// its type and data. Answers whether it moved.
bool RenameRegistryValue(platform::TRegistry& registry, const std::string& oldName, const std::string& newName);

}  // namespace keyrix
