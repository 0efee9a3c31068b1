// Entry point of KeyrixSyncVLHRM: start-up, mode selection from the switches, shut-down.
#include "Services/SyncClients/VLHRM/MainService.h"
#include "common/Exceptions.h"
#include "db/DBUtils.h"
#include "platform/ConsoleOutput.h"
#include "platform/Process.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"

#include <fmt/core.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>

using namespace keyrix;

namespace {

int Refuse(const char* what) {
    fmt::print(stderr, "KeyrixSyncVLHRM: {} is not available in this build\n", what);
    return 1;
}

// Until the event log is written, its entries are shown the way the event logger echoes
// them to the console of a debug run.
void BindConsoleEchoHooks() {
    auto echo = [](bool error) {
        return [error](const std::string& text) { ConsoleWrite("LogMessage: " + text, error, 3); };
    };
    ServiceLogInfo.Bind(echo(false));
    ServiceLogWarning.Bind(echo(false));
    ServiceLogError.Bind(echo(true));
}

int RunDebugService(TKeyrixSyncVLRM& service) {
    ConsoleWrite("Starting services in debug mode", false, 2);
    BindConsoleEchoHooks();
    try {
        service.ServiceExecute();
    } catch (...) {
        ServiceLogError(Format("Service failed on %s: %s", "execute", DescribeCurrentException().Message));
    }
    ConsoleWrite("All services stopped", false, 2);
    return 0;
}

int Run(const std::vector<std::string>& arguments, TKeyrixSyncVLRM& service) {
    if (arguments.size() <= 1) return Refuse("the settings menu");
    if (FindSwitch("INSTALL", arguments) || FindSwitch("UNINSTALL", arguments))
        return Refuse("service installation");
    if (FindSwitch("SVC", arguments)) {
        if (!DebugMode) return Refuse("running under the service manager");
        return RunDebugService(service);
    }
    return 0;  // arguments that select no mode do nothing
}

}  // namespace

int main() {
    std::setlocale(LC_TIME, "");
    const std::vector<std::string> arguments = platform::ProcessArguments();
    InitializeSwitches(arguments);
    const bool installing = FindSwitch("INSTALL", arguments) || FindSwitch("UNINSTALL", arguments);
    if (DebugMode || (installing && !FindSwitch("SILENT", arguments)))
        SetConsoleOutput(std::make_unique<platform::TFdConsoleOutput>(STDOUT_FILENO));
    ConsoleWrite("Application initalizing", false, 2);

    int exitCode = 0;
    dbutils::InitializeDatabaseLayer();
    {
        TSetup setup;
        SetupInstance = &setup;
        TKeyrixSyncVLRM service;
        exitCode = Run(arguments, service);
        SetupInstance = nullptr;
    }
    dbutils::FinalizeDatabaseLayer();

    ConsoleWrite("Application finished", false, 2);
    SetConsoleOutput(nullptr);
    return exitCode;
}
