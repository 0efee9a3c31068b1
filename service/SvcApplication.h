// TServiceApplication: owns the service objects and starts them in the mode the switches
// choose; and the process's console (acquisition, close handling, release).
#pragma once

#include "service/EventLogger.h"
#include "service/SvcObject.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace keyrix {

// The process's exit code: 1 after a failed install or uninstall, a settings menu left
// after a save that failed, or an error that reached Run; 2 when install or uninstall was
// refused for lack of rights.
extern int ExitCode;
// The console came from the process's parent (always, on Linux: the shell's terminal).
extern bool AttachedToParentConsole;
// The console is being closed (the terminal went away); set on the signal thread.
extern std::atomic<bool> ClosedByRequest;

class TServiceApplication;

// What an install or uninstall came to: the last line it wrote (or would have written, with
// no console acquired) and whether it failed.
struct TInstallResult {
    bool Failed = false;
    std::string Message;  // ANSI, as the console writer takes it
    std::string Error;    // a failed service's error text alone (the last one)
    std::string Note;     // the first line the service manager's tools printed, or empty
};

// The line that refuses an install or uninstall to a process without administrator rights.
inline constexpr const char* NeedAdminMessage = "Need administrator privileges for service install/uninstall!";

// Takes the process's standard output as its console and installs the close handler:
// Ctrl+C (SIGINT) and a closed terminal (SIGHUP), and in debug mode SIGTERM, ask the
// running services to stop. Every such signal is handled, not only the first.
void AcquireConsole(TServiceApplication& application);
// Removes the close handler.
void RemoveConsoleCloseHandler();
// Releases the console at the very end; from then on ConsoleWrite writes nothing.
void ReleaseConsole();

// Whether the process has administrator rights (effective user id 0).
bool IsProcessAdmin();
// Names the calling thread for debuggers and tools (top, gdb, /proc).
void SetDebuggerThreadName(const std::string& name);

class TServiceApplication {
public:
    TServiceApplication();
    TServiceApplication(const TServiceApplication&) = delete;
    TServiceApplication& operator=(const TServiceApplication&) = delete;
    ~TServiceApplication();

    // Creates a service object owned by the application.
    template <class T, class... Args>
    T* AddService(Args&&... args) {
        if constexpr (!std::is_base_of_v<TServiceBase, T>) {
            throw EServiceError("Service does not inherit from TServiceBase");
        } else {
            auto service = std::make_unique<T>(std::forward<Args>(args)...);
            T* raw = service.get();
            FServices.push_back(std::move(service));
            return raw;
        }
    }
    const std::vector<std::unique_ptr<TServiceBase>>& Services() const { return FServices; }
    // Destroys the service objects (shut-down takes them down before the application).
    void DestroyServices();

    // Selects the mode from the process's arguments and runs it.
    void Run();
    void Run(const std::vector<std::string>& arguments);

    // Installs or uninstalls every service and writes its success or failure line; a failed
    // service sets the exit code to 1. The manager's refusal to connect is raised.
    TInstallResult InstallServices(bool install);
    // The /INSTALL and /UNINSTALL switches and the settings menu's install button: refused
    // without administrator rights (exit code 2), else InstallServices.
    TInstallResult RequestInstall(bool install);
    bool IsServiceInstalled(const std::string& serviceName);
    void DispatchServiceMain(const std::vector<std::string>& arguments);

    // Called with no arguments at all (the settings menu).
    std::function<void(TServiceApplication& sender)> OnConfig;

    TEventLogger& EventLogger() { return *FEventLogger; }

    // Posts a stop request to every service whose worker thread runs; answers how many.
    int PostStopToRunningServices();

private:
    void RunServices(bool debug);

    std::vector<std::unique_ptr<TServiceBase>> FServices;
    std::unique_ptr<TEventLogger> FEventLogger;
};

}  // namespace keyrix
