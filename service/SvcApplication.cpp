#include "service/SvcApplication.h"

#include "common/Format.h"
#include "common/ScopeGuard.h"
#include "common/TextUtils.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "platform/WinError.h"
#include "service/SvcConsole.h"
#include "service/SvcInstall.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>

namespace keyrix {

using namespace platform;

int ExitCode = 0;
bool AttachedToParentConsole = false;
std::atomic<bool> ClosedByRequest{false};

namespace {

// The application the console close handler posts its stop requests to.
std::mutex CloseTargetLock;
TServiceApplication* CloseTarget = nullptr;
bool ConsoleAcquired = false;

constexpr int CTRL_C_EVENT = 0;
constexpr int CTRL_CLOSE_EVENT = 2;

void ConsoleCloseHandler(int event) {
    ConsoleWrite("Close request received - shutting down", true, 2);
    {
        std::lock_guard guard(CloseTargetLock);
        if (CloseTarget) CloseTarget->PostStopToRunningServices();
    }
    ClosedByRequest = event == CTRL_CLOSE_EVENT;
    // Returning does not end the process here (unlike a console handler on Windows), so the
    // handler does not wait for the shut-down: the signal thread stays free for the next
    // signal, which is handled the same way.
}

std::string ExecutableFileName() {
    const std::string path = ExecutablePath();
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

void AcquireConsole(TServiceApplication& application) {
    // A process started from a shell shares the shell's terminal: that is attaching to the
    // parent's console. The row above the cursor holds the command just typed, so no cell is
    // blanked and the cursor is not moved.
    AttachedToParentConsole = true;
    AcquireConsoleOutput();
    ConsoleAcquired = true;
    {
        std::lock_guard guard(CloseTargetLock);
        CloseTarget = &application;
    }
    TSignalThread& signals = TSignalThread::Instance();
    signals.SetHandler(SIGINT, [] { ConsoleCloseHandler(CTRL_C_EVENT); });
    signals.SetHandler(SIGHUP, [] { ConsoleCloseHandler(CTRL_CLOSE_EVENT); });
    // A debug run is stopped by SIGTERM (kill, a supervisor) the same way as by Ctrl+C,
    // rather than ended in the middle of its pass.
    if (DebugMode) signals.SetHandler(SIGTERM, [] { ConsoleCloseHandler(CTRL_C_EVENT); });
}

void RemoveConsoleCloseHandler() {
    if (!ConsoleAcquired) return;
    TSignalThread& signals = TSignalThread::Instance();
    signals.SetHandler(SIGINT, nullptr);
    signals.SetHandler(SIGHUP, nullptr);
    if (DebugMode) signals.SetHandler(SIGTERM, nullptr);
}

void ReleaseConsole() {
    // A console of its own would end with "-- Press any key to close window --"; on Linux
    // the console is always the parent's terminal, so there is no prompt.
    ReleaseConsoleOutput();
    ConsoleAcquired = false;
}

bool IsProcessAdmin() { return ::geteuid() == 0; }

void SetDebuggerThreadName(const std::string& name) {
    // The main thread's name is the process's name on Linux (ps, pkill, the journal's
    // _COMM): it keeps the executable's name. The kernel keeps 15 characters of a name.
    if (::gettid() == ::getpid()) return;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

// TServiceApplication ------------------------------------------------------------------------

TServiceApplication::TServiceApplication()
    : FEventLogger(std::make_unique<TEventLogger>(ExecutableFileName())) {
    SetDebuggerThreadName("Service main");
}

TServiceApplication::~TServiceApplication() {
    {
        std::lock_guard guard(CloseTargetLock);
        if (CloseTarget == this) CloseTarget = nullptr;
    }
    FEventLogger.reset();
    std::lock_guard guard(CloseTargetLock);
    FServices.clear();
}

void TServiceApplication::DestroyServices() {
    std::lock_guard guard(CloseTargetLock);
    FServices.clear();
}

int TServiceApplication::PostStopToRunningServices() {
    int posted = 0;
    for (auto& service : FServices) {
        const std::shared_ptr<TServiceThread> thread = service->ServiceThread();
        if (thread && !thread->Finished() && thread->PostMessage(CM_SERVICE_CONTROL_CODE, 1, 0)) ++posted;
    }
    return posted;
}

void TServiceApplication::Run() { Run(ProcessArguments()); }

void TServiceApplication::Run(const std::vector<std::string>& arguments) {
    try {
        if (arguments.size() <= 1) {
            ConsoleWrite("No parameters passed >> config mode", false, 2);
            if (OnConfig) OnConfig(*this);
            return;
        }
        const bool install = FindSwitch("INSTALL", arguments);
        if (install || FindSwitch("UNINSTALL", arguments)) {
            RequestInstall(install);
            return;
        }
        if (FindSwitch("SVC", arguments)) RunServices(FindSwitch("DEBUG", arguments));
    } catch (...) {
        const TErrorInfo error = DescribeCurrentException();
        FEventLogger->LogMessage("Unhandled exception!\r\nClass: " + error.ClassName + "\r\nMessage: " + error.Message,
                                 TEventType::Error, 1, 0);
        ExitCode = 1;
    }
}

void TServiceApplication::RunServices(bool debug) {
    ConsoleWrite(debug ? "Starting services in debug mode" : "Starting services in normal mode", false, 2);
    if (FServices.size() == 1) {
        TServiceBase* service = FServices.front().get();
        ServiceLogInfo.Bind([service](const std::string& text) { service->LogInfo(text); });
        ServiceLogWarning.Bind([service](const std::string& text) { service->LogWarning(text); });
        ServiceLogError.Bind([service](const std::string& text) { service->LogError(text); });
    }
    if (debug) {
        // Whatever happens, the threads are asked to end and waited for here, even when a
        // stop request in flight still holds one of them.
        TScopeGuard release([this] {
            for (auto& service : FServices)
                if (const auto worker = service->ReleaseServiceThread()) worker->TerminateAndWait();
        });
        std::vector<std::shared_ptr<TServiceThread>> threads;
        for (auto& service : FServices) {
            service->DebugRun = true;
            threads.push_back(std::make_shared<TServiceThread>(*service));
            service->SetServiceThread(threads.back());
            threads.back()->Start();
            SetConsoleTitle(service->DisplayName());
        }
        for (const auto& thread : threads) thread->WaitFor();
        ConsoleWrite("All services stopped", false, 2);
        return;
    }
    std::vector<TServiceTableEntry> table;
    for (auto& service : FServices) {
        table.push_back({service->ServiceName(),
                         [this](const std::vector<std::string>& arguments) { DispatchServiceMain(arguments); }});
        SetConsoleTitle(service->DisplayName());
    }
    const long rc = ServiceControlManager().StartServiceCtrlDispatcher(table);
    if (rc != NO_ERROR) FEventLogger->LogMessage(WindowsErrorText(rc), TEventType::Error, 1, 0);
    ConsoleWrite("All services stopped", false, 2);
}

void TServiceApplication::DispatchServiceMain(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return;
    for (auto& service : FServices) {
        if (SameText(service->ServiceName(), arguments[0])) {
            service->ServiceMain(arguments);
            return;
        }
    }
}

TInstallResult TServiceApplication::InstallServices(bool install) {
    IServiceControlManager& manager = ServiceControlManager();
    const long rc = manager.Connect(true);
    if (rc != NO_ERROR) RaiseOSError(rc);
    TInstallResult result;
    for (auto& service : FServices) {
        try {
            if (install)
                InstallService(*service);
            else
                UninstallService(*service);
        } catch (...) {
            ExitCode = 1;
            result.Failed = true;
            result.Error = DescribeCurrentException().Message;
            result.Message = Format(install ? "Service \"%s\" failed to install with error: \"%s\""
                                            : "Service \"%s\" failed to uninstall with error: \"%s\"",
                                    service->DisplayName(), result.Error);
            ConsoleWrite(result.Message, true, 0);
        }
    }
    if (!result.Failed) {
        result.Message = install ? "Service installed successfully" : "Service uninstalled successfully";
        ConsoleWrite(result.Message, false, 1);
    }
    result.Note = manager.TakeNote();
    if (!result.Note.empty()) ConsoleWrite(result.Note, false, 1);
    return result;
}

TInstallResult TServiceApplication::RequestInstall(bool install) {
    if (!IsProcessAdmin()) {
        ConsoleWrite(NeedAdminMessage, true, 0);
        ExitCode = 2;
        return {true, NeedAdminMessage, "", ""};
    }
    ConsoleWrite(install ? "Installing service" : "Uninstalling service", false, 2);
    return InstallServices(install);
}

bool TServiceApplication::IsServiceInstalled(const std::string& serviceName) {
    IServiceControlManager& manager = ServiceControlManager();
    const long rc = manager.Connect(false);
    if (rc != NO_ERROR) RaiseOSError(rc);
    return manager.OpenService(serviceName) == NO_ERROR;
}

}  // namespace keyrix
