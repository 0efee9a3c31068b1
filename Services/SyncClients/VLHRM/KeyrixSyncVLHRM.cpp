// Entry point of KeyrixSyncVLHRM: start-up, mode selection, shut-down, exit code.
#include "Services/SyncClients/VLHRM/Check.h"
#include "Services/SyncClients/VLHRM/MainService.h"
#include "common/Exceptions.h"
#include "common/ScopeGuard.h"
#include "db/DBUtils.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "service/SvcApplication.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"

#include <fmt/core.h>

#include <clocale>
#include <csignal>
#include <cstdio>

using namespace keyrix;

namespace {

// Start-up after the console: the application, the database lock, the settings and the
// service; then the mode; then the settings go again.
void StartAndRun(TServiceApplication& application) {
    dbutils::InitializeDatabaseLayer();
    TSetup setup(false, true, "Keyrix HRM sync service settings");
    SetupInstance = &setup;
    TScopeGuard forget([] { SetupInstance = nullptr; });
    // A hive that cannot be read, or a value of the wrong type, stops the process here.
    setup.LoadSettings();
    KeyrixSyncVLRM = application.AddService<TKeyrixSyncVLRM>();
    setup.Service = KeyrixSyncVLRM;
    setup.InstallServices = [&application](bool install) { return application.RequestInstall(install); };
    application.OnConfig = [&setup](TServiceApplication& sender) { setup.RunConfig(sender); };
    application.Run();
}

}  // namespace

int main() {
    // Console output is best effort: a reader that goes away (a pipe into head) must not end
    // the run; the write fails with EPIPE instead, and the line is dropped.
    std::signal(SIGPIPE, SIG_IGN);
    std::setlocale(LC_TIME, "");
    const std::vector<std::string> arguments = platform::ProcessArguments();
    InitializeSwitches(arguments);
    // The monitoring system's own account runs the check: it reads the last summary and
    // touches nothing else, neither the settings nor the logs.
    if (FindSwitch("CHECK", arguments)) return RunCheck();

    const bool installing = FindSwitch("INSTALL", arguments) || FindSwitch("UNINSTALL", arguments);
    const bool console = DebugMode || (installing && !FindSwitch("SILENT", arguments));
    const bool serviceMode = !installing && FindSwitch("SVC", arguments);
    // The modes that take signals (Ctrl+C on the console, systemd's stop) start the signal
    // thread now, before any other thread, so that every thread inherits the blocked mask.
    // The other modes leave SIGINT and SIGTERM at their default actions.
    if (console || serviceMode) platform::TSignalThread::Instance();

    auto application = std::make_unique<TServiceApplication>();
    if (console) AcquireConsole(*application);
    ConsoleWrite("Application initalizing", false, 2);

    try {
        StartAndRun(*application);
    } catch (...) {
        // What reaches here happened before the mode was selected: the settings could not be
        // loaded. The process stops with the error.
        const TErrorInfo error = DescribeCurrentException();
        fmt::print(stderr, "KeyrixSyncVLHRM: {}: {}\n", error.ClassName, error.Message);
        std::fflush(stderr);
        ExitCode = 1;
    }

    dbutils::FinalizeDatabaseLayer();
    application->DestroyServices();
    KeyrixSyncVLRM = nullptr;
    application.reset();
    ConsoleWrite("Application finished", false, 2);
    RemoveConsoleCloseHandler();
    ReleaseConsole();
    return ExitCode;
}
