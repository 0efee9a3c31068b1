#include "platform/SystemdServiceManager.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/BoundedProcess.h"
#include "platform/CodePage.h"
#include "platform/FileHandles.h"
#include "platform/PosixFiles.h"
#include "platform/Signals.h"
#include "platform/SystemdUnitFile.h"
#include "platform/WinError.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <thread>
#include <utility>

namespace keyrix::platform {

namespace {

// daemon-reload re-reads every unit, which takes a while on a busy machine.
constexpr std::chrono::seconds SystemctlLimit{30};

long WindowsCodeOf(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR: return ERROR_FILE_NOT_FOUND;
        default: return ERROR_WRITE_FAULT;
    }
}

// The unit folder and the systemd of this machine belong together only without the override.
bool SystemdRuns() {
    if (!Env().Config().SystemdDir.empty()) return false;
    struct stat st;
    return Env().Stat("/run/systemd/system", st) == 0 && S_ISDIR(st.st_mode);
}

// The first line of a program's output that holds more than blanks, without them.
std::string FirstLine(const std::string& output) {
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const std::string_view line = Trim(std::string_view(output).substr(start, end - start), " \t\r");
        if (!line.empty()) return std::string(line);
        start = end + 1;
    }
    return {};
}

bool ValidServiceName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

long ReadUnitFile(const std::string& path, std::string& text) {
    TFd file(Env().Open(path, O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) return errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : WindowsCodeOf(errno);
    text.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = Env().Read(file.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ERROR_READ_FAULT;
        if (n == 0) return NO_ERROR;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// Writes the unit beside its final place and renames it there, so that systemd never
// reads half a file. With mustBeNew an existing unit is left alone (ERROR_SERVICE_EXISTS).
long WriteUnitFile(const std::string& path, const std::string& content, bool mustBeNew) {
    TReplaceOptions options;
    options.Temporary = FolderOf(path) + "/." + BaseName(path) + ".XXXXXX";
    options.Mode = 0644;
    options.MustBeNew = mustBeNew;
    const TReplaceResult result = ReplaceFile(path, content, options);
    switch (result.Step) {
        case TReplaceStep::None: return NO_ERROR;
        case TReplaceStep::Rename:
            return mustBeNew && result.Error == EEXIST ? ERROR_SERVICE_EXISTS : WindowsCodeOf(result.Error);
        case TReplaceStep::FlushFolder:
            // A new unit whose creation is reported as failed must not stay: nothing would remove it.
            if (mustBeNew) Env().Unlink(path);
            return ERROR_WRITE_FAULT;
        default: return WindowsCodeOf(result.Error);
    }
}

}  // namespace

// Run side -----------------------------------------------------------------------------------

TSystemdServiceManager::~TSystemdServiceManager() { StopRoutingSignals(); }

long TSystemdServiceManager::StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& table) {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') return ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    if (table.empty()) return ERROR_INVALID_PARAMETER;

    std::vector<std::exception_ptr> errors(table.size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < table.size(); ++i) {
            threads.emplace_back([&entry = table[i], &error = errors[i]] {
                // The thread that runs a service's main, as tools show it.
                ::pthread_setname_np(::pthread_self(), "Service main");
                try {
                    entry.ServiceMain({entry.ServiceName});
                } catch (...) {
                    error = std::current_exception();
                }
            });
        }
    }  // the jthreads join here, also when starting one of them failed
    StopRoutingSignals();
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
    return NO_ERROR;
}

long TSystemdServiceManager::RegisterServiceCtrlHandlerEx(const std::string&, TControlHandler handler,
                                                          TStatusHandle& handle) {
    TMutexLock guard(FLock);
    FHandlers.push_back(std::move(handler));
    handle = FHandlers.size();
    if (!FRoutingSignals) {
        FRoutingSignals = true;
        TSignalThread& signals = TSignalThread::Instance();
        signals.SetHandler(SIGTERM, [this] { DeliverControl(1); });  // SERVICE_CONTROL_STOP
        signals.SetHandler(SIGHUP, [this] { DeliverControl(6); });   // SERVICE_CONTROL_PARAMCHANGE
    }
    return NO_ERROR;
}

void TSystemdServiceManager::DeliverControl(std::uint32_t control) {
    // Held while the handlers run, so that no handler runs once routing has stopped and
    // the services may be gone.
    TMutexLock delivering(FDeliveryLock);
    std::vector<TControlHandler> handlers;
    {
        TMutexLock guard(FLock);
        handlers = FHandlers;
    }
    // A refused control (param change without the service allowing it) is simply dropped.
    for (const TControlHandler& handler : handlers)
        if (handler) handler(control, 0, 0);
}

void TSystemdServiceManager::StopRoutingSignals() {
    TMutexLock delivering(FDeliveryLock);
    TMutexLock guard(FLock);
    if (FRoutingSignals) {
        // From now on SIGTERM ends the process as it would any other.
        TSignalThread& signals = TSignalThread::Instance();
        signals.SetHandler(SIGTERM, nullptr);
        signals.SetHandler(SIGHUP, nullptr);
        FRoutingSignals = false;
    }
    FHandlers.clear();
}

long TSystemdServiceManager::SetServiceStatus(TStatusHandle handle, const TServiceStatusRecord& status) {
    {
        TMutexLock guard(FLock);
        if (handle == 0 || handle > FHandlers.size()) return ERROR_INVALID_HANDLE;
    }
    if (status.CurrentState < SERVICE_STOPPED || status.CurrentState > SERVICE_PAUSED) return ERROR_INVALID_PARAMETER;
    const int rc = ::sd_notify(0, NotifyMessage(status).c_str());
    if (rc > 0) return NO_ERROR;
    return rc == 0 ? ERROR_FAILED_SERVICE_CONTROLLER_CONNECT : ERROR_WRITE_FAULT;
}

// Install side -------------------------------------------------------------------------------

// systemctl reports its own failures (and warnings) in its output; the unit file is already
// in its final state, and installed or not is decided by that file. What it said is kept for
// the install routine to show, rather than written over the settings menu's screen.
void TSystemdServiceManager::Systemctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"systemctl", "--quiet"});
    std::string output;
    RunProgramBounded(arguments, SystemctlLimit, &output);
    const std::string line = FirstLine(output);
    TMutexLock guard(FLock);
    if (FNote.empty() && !line.empty()) FNote = "systemctl: " + Utf8ToAnsi(line);
}

std::string TSystemdServiceManager::TakeNote() {
    TMutexLock guard(FLock);
    return std::exchange(FNote, std::string());
}

long TSystemdServiceManager::Connect(bool allAccess) {
    if (!allAccess) return NO_ERROR;
    const std::string folder = SystemdUnitDirectory();
    // A unit is written beside its place and renamed there: the folder must take new files.
    if (Env().Access(folder, W_OK | X_OK) == 0) return NO_ERROR;
    return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
}

long TSystemdServiceManager::CreateService(const TServiceConfig& config) {
    if (!ValidServiceName(config.ServiceName)) return ERROR_INVALID_PARAMETER;
    const std::string path = SystemdUnitPath(config.ServiceName);
    struct stat st;
    if (Env().LinkStat(path, st) == 0) return ERROR_SERVICE_EXISTS;
    if (long rc = WriteUnitFile(path, RenderUnit(config), true)) return rc;
    if (SystemdRuns()) {
        Systemctl({"daemon-reload"});
        if (config.StartType <= 2) Systemctl({"enable", ServiceUnitName(config.ServiceName)});
    }
    return NO_ERROR;
}

long TSystemdServiceManager::OpenService(const std::string& serviceName) {
    if (!ValidServiceName(serviceName)) return ERROR_SERVICE_DOES_NOT_EXIST;
    struct stat st;
    if (Env().Stat(SystemdUnitPath(serviceName), st) == 0)
        return S_ISREG(st.st_mode) ? NO_ERROR : ERROR_SERVICE_DOES_NOT_EXIST;
    return errno == ENOENT || errno == ENOTDIR ? ERROR_SERVICE_DOES_NOT_EXIST : WindowsCodeOf(errno);
}

long TSystemdServiceManager::DeleteService(const std::string& serviceName) {
    if (long rc = OpenService(serviceName)) return rc;
    const std::string path = SystemdUnitPath(serviceName);
    const bool systemd = SystemdRuns();
    if (systemd) {
        // disable reads the unit's [Install] section to know which links to remove.
        std::string text;
        if (ReadUnitFile(path, text) == NO_ERROR && TUnitFile::Parse(text).HasSection("Install"))
            Systemctl({"disable", ServiceUnitName(serviceName)});
    }
    if (Env().Unlink(path) != 0) return errno == ENOENT ? ERROR_SERVICE_DOES_NOT_EXIST : WindowsCodeOf(errno);
    if (SyncFolder(FolderOf(path)) != 0) return ERROR_WRITE_FAULT;
    if (systemd) Systemctl({"daemon-reload"});
    return NO_ERROR;
}

long TSystemdServiceManager::ChangeServiceConfig2(const std::string& serviceName, TConfig2Level level,
                                                  const TServiceConfig2& config) {
    if (long rc = OpenService(serviceName)) return rc;
    const std::string path = SystemdUnitPath(serviceName);
    std::string text;
    if (long rc = ReadUnitFile(path, text)) return rc;
    TUnitFile unit = TUnitFile::Parse(text);

    switch (level) {
        case TConfig2Level::Description:
            unit.SetDescriptionComment(config.Description);
            break;
        case TConfig2Level::FailureActions: {
            // systemd restarts a failed service itself and can reboot when it fails; the reset
            // period, the reboot message and a command to run have no counterpart.
            unit.Remove("Service", "Restart");
            unit.Remove("Service", "RestartSec");
            unit.Remove("Unit", "FailureAction");
            const auto& actions = config.Actions;
            auto restart =
                std::find_if(actions.begin(), actions.end(), [](const TFailureActionRecord& a) { return a.Type == 1; });
            if (restart != actions.end()) {
                unit.Set("Service", "Restart", "on-failure");
                unit.Set("Service", "RestartSec", Format("%ums", restart->Delay));
            }
            if (std::any_of(actions.begin(), actions.end(), [](const TFailureActionRecord& a) { return a.Type == 2; }))
                unit.Set("Unit", "FailureAction", "reboot");
            break;
        }
        case TConfig2Level::DelayedAutoStart:
        case TConfig2Level::FailureActionsFlag:
        case TConfig2Level::ServiceSidInfo:
        case TConfig2Level::RequiredPrivileges:
        case TConfig2Level::PreShutdownInfo:
            return NO_ERROR;  // no systemd counterpart: accepted as set
        default:
            return ERROR_INVALID_PARAMETER;
    }

    const std::string changed = unit.Text();
    if (changed == text) return NO_ERROR;
    if (long rc = WriteUnitFile(path, changed, false)) return rc;
    if (SystemdRuns()) Systemctl({"daemon-reload"});
    return NO_ERROR;
}

}  // namespace keyrix::platform
