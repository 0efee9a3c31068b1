#include "platform/SystemdServiceManager.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/CodePage.h"
#include "platform/FileHandles.h"
#include "platform/PosixFiles.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/RunLock.h"
#include "platform/WinError.h"
#include "platform/Signals.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <thread>
#include <utility>

extern char** environ;

namespace keyrix::platform {

namespace {

constexpr const char* DefaultUnitDirectory = "/etc/systemd/system";
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
    const std::string folder = FolderOf(path);
    std::string pattern = folder + "/." + BaseName(path) + ".XXXXXX";
    TFd file(Env().MakeTemporary(pattern, O_CLOEXEC));
    if (file.Get() < 0) return WindowsCodeOf(errno);
    TTempFile temp(pattern);
    if (Env().ChangeMode(file.Get(), 0644) != 0) return WindowsCodeOf(errno);
    if (int error = WriteAll(file.Get(), content)) return WindowsCodeOf(error);
    if (Env().Sync(file.Get()) != 0 || file.Close() != 0) return WindowsCodeOf(errno);

    if (mustBeNew) {
        if (Env().Rename(temp.Path(), path, RENAME_NOREPLACE) != 0) {
            if (errno == EEXIST) return ERROR_SERVICE_EXISTS;
            if (errno != EINVAL) return WindowsCodeOf(errno);
            // A file system without RENAME_NOREPLACE: link refuses an existing name too.
            if (Env().Link(temp.Path(), path) != 0)
                return errno == EEXIST ? ERROR_SERVICE_EXISTS : WindowsCodeOf(errno);
        } else {
            temp.Keep();
        }
    } else if (Env().Rename(temp.Path(), path) != 0) {
        return WindowsCodeOf(errno);
    } else {
        temp.Keep();
    }
    if (SyncFolder(folder) == 0) return NO_ERROR;
    // A new unit whose creation is reported as failed must not stay: nothing would remove it.
    if (mustBeNew) Env().Unlink(path);
    return ERROR_WRITE_FAULT;
}

// A unit file as sections of lines, so that a change touches only the lines it owns.
class TUnitFile {
public:
    static TUnitFile Parse(const std::string& text) {
        TUnitFile unit;
        TSection* current = &unit.Section("");
        std::string::size_type start = 0;
        while (start < text.size()) {
            auto end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos) continue;
            if (line.front() == '[' && line.back() == ']')
                current = &unit.Section(line.substr(1, line.size() - 2));
            else
                current->Lines.push_back(std::move(line));
        }
        return unit;
    }

    std::string Text() const {
        std::string text;
        for (const TSection& section : FSections) {
            if (section.Name.empty() && section.Lines.empty()) continue;
            if (!text.empty()) text += '\n';
            if (!section.Name.empty()) text += "[" + section.Name + "]\n";
            for (const std::string& line : section.Lines) text += line + '\n';
        }
        return text;
    }

    bool HasSection(const std::string& name) const {
        return std::any_of(FSections.begin(), FSections.end(),
                           [&](const TSection& s) { return s.Name == name && !s.Lines.empty(); });
    }

    void Set(const std::string& section, const std::string& key, const std::string& value) {
        std::vector<std::string>& lines = Section(section).Lines;
        const std::string line = key + "=" + value;
        auto it = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return IsKey(l, key); });
        if (it != lines.end())
            *it = line;
        else
            lines.push_back(line);
    }

    void Comment(const std::string& section, const std::string& text) { Section(section).Lines.push_back("# " + text); }

    void Remove(const std::string& section, const std::string& key) {
        std::erase_if(Section(section).Lines, [&](const std::string& l) { return IsKey(l, key); });
    }

    // The description lives in the comment lines right after Description=.
    void SetDescriptionComment(const std::string& description) {
        std::vector<std::string>& lines = Section("Unit").Lines;
        auto at =
            std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return IsKey(l, "Description"); });
        at = at == lines.end() ? lines.begin() : at + 1;
        auto end = std::find_if(at, lines.end(), [](const std::string& l) { return l.front() != '#'; });
        at = lines.erase(at, end);
        std::vector<std::string> comment;
        std::string::size_type start = 0;
        while (start < description.size()) {
            auto stop = description.find_first_of("\r\n", start);
            if (stop == std::string::npos) stop = description.size();
            if (stop > start) comment.push_back("# " + description.substr(start, stop - start));
            start = stop + 1;
        }
        lines.insert(at, comment.begin(), comment.end());
    }

private:
    struct TSection {
        std::string Name;
        std::vector<std::string> Lines;
    };

    static bool IsKey(const std::string& line, const std::string& key) {
        if (line.compare(0, key.size(), key) != 0) return false;
        const auto next = line.find_first_not_of(" \t", key.size());
        return next != std::string::npos && line[next] == '=';
    }

    // New sections go in the order systemd's documentation shows them.
    TSection& Section(const std::string& name) {
        for (TSection& section : FSections)
            if (section.Name == name) return section;
        static const std::vector<std::string> order = {"", "Unit", "Service", "Install"};
        auto rank = [&](const std::string& n) {
            return static_cast<std::size_t>(std::find(order.begin(), order.end(), n) - order.begin());
        };
        auto at = std::find_if(FSections.begin(), FSections.end(),
                               [&](const TSection& s) { return rank(s.Name) > rank(name); });
        return *FSections.insert(at, TSection{name, {}});
    }

    std::vector<TSection> FSections;
};

// A value on one line; '%' would start a specifier.
std::string UnitValue(const std::string& text) {
    std::string value;
    for (char c : text) {
        if (c == '\r' || c == '\n')
            value += ' ';
        else if (c == '%')
            value += "%%";
        else
            value += c;
    }
    return value;
}

// The command line keeps its quotes; '$' would expand a variable and '\' start an escape.
std::string ExecStartValue(const std::string& commandLine) {
    std::string value;
    for (char c : UnitValue(commandLine)) {
        if (c == '$')
            value += "$$";
        else if (c == '\\')
            value += "\\\\";
        else
            value += c;
    }
    return value;
}

// A group of services has no unit of its own in systemd: a target stands for it.
std::string DependencyUnit(const std::string& dependency) {
    if (!dependency.empty() && dependency.front() == '+') return dependency.substr(1) + ".target";
    return dependency.find('.') != std::string::npos ? dependency : dependency + ".service";
}

// The account of the service: none for the system account; a Windows-style ".\name" or
// "DOMAIN\name" becomes the name.
std::string UserOf(const std::string& account) {
    if (account.empty() || SameText(account, "LocalSystem")) return "";
    const auto slash = account.rfind('\\');
    return slash == std::string::npos ? account : account.substr(slash + 1);
}

// A path in a list of ReadWritePaths=: "-" lets a missing folder be, quotes keep blanks.
std::string SandboxPath(const std::string& path) {
    const std::string value = "-" + UnitValue(path);
    if (value.find_first_of(" \t\"'\\") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The folders a synchronisation writes, as they are where the unit is installed: the
// executable's (sync log, summary, the feed's copy), the hive's (its lock file, the rewrite
// of the migration; the target's too when the hive is a link) and the run lock's.
std::vector<std::string> WritableFolders(const std::string& runLock) {
    std::vector<std::string> folders = {WithoutTrailingSlash(ExecutableDirectory())};
    const std::string hive = TRegistryHive::DefaultPath();
    folders.push_back(FolderOf(hive));
    const std::string real = Env().RealPath(hive);
    if (!real.empty()) folders.push_back(FolderOf(real));
    if (FolderOf(runLock) != TRunLock::DefaultFolder) folders.push_back(FolderOf(runLock));
    std::vector<std::string> unique;
    for (const std::string& folder : folders)
        if (std::find(unique.begin(), unique.end(), folder) == unique.end()) unique.push_back(folder);
    return unique;
}

// The service needs little: TCP and local sockets, reading the hive, the card-holder file
// and its libraries, writing the folders above. Everything else is closed, so that a fault
// in the program or its libraries reaches no further.
void AddSandbox(TUnitFile& unit, const std::string& serviceName) {
    const std::string runLock = TRunLock::DefaultPath(serviceName);
    std::string paths;
    for (const std::string& folder : WritableFolders(runLock)) paths += (paths.empty() ? "" : " ") + SandboxPath(folder);
    unit.Comment("Service", Format("Confined to what a synchronisation needs; widen it with a drop-in (systemctl edit "
                                   "%s), for example ReadWritePaths= for another folder.",
                                   UnitValue(serviceName)));
    unit.Set("Service", "ProtectSystem", "strict");
    unit.Set("Service", "ReadWritePaths", paths);
    if (FolderOf(runLock) == TRunLock::DefaultFolder) {
        // Made by systemd for the run lock, root's and kept between runs: a run in progress
        // keeps its lock file.
        unit.Set("Service", "RuntimeDirectory", BaseName(TRunLock::DefaultFolder));
        unit.Set("Service", "RuntimeDirectoryMode", "0755");
        unit.Set("Service", "RuntimeDirectoryPreserve", "yes");
    }
    for (const auto& [key, value] : std::initializer_list<std::pair<const char*, const char*>>{
             {"ProtectHome", "read-only"},
             {"PrivateTmp", "yes"},
             {"PrivateDevices", "yes"},
             {"PrivateIPC", "yes"},
             {"PrivateMounts", "yes"},
             {"NoNewPrivileges", "yes"},
             {"CapabilityBoundingSet", ""},
             {"ProtectKernelTunables", "yes"},
             {"ProtectKernelModules", "yes"},
             {"ProtectKernelLogs", "yes"},
             {"ProtectClock", "yes"},
             {"ProtectControlGroups", "yes"},
             {"ProtectHostname", "yes"},
             {"ProtectProc", "invisible"},
             {"ProcSubset", "pid"},
             {"RestrictAddressFamilies", "AF_UNIX AF_INET AF_INET6"},
             {"RestrictNamespaces", "yes"},
             {"RestrictRealtime", "yes"},
             {"RestrictSUIDSGID", "yes"},
             {"LockPersonality", "yes"},
             {"MemoryDenyWriteExecute", "yes"},
             {"SystemCallArchitectures", "native"},
             {"SystemCallFilter", "@system-service"},
             // A call outside the filter fails with an error the program reports, rather than
             // killing it.
             {"SystemCallErrorNumber", "EPERM"},
             {"DevicePolicy", "closed"},
             {"KeyringMode", "private"},
             {"RemoveIPC", "yes"},
             {"UMask", "0077"},
         })
        unit.Set("Service", key, value);
}

std::string RenderUnit(const TServiceConfig& config) {
    TUnitFile unit;
    unit.Set("Unit", "Description", UnitValue(config.DisplayName));
    if (!config.Dependencies.empty()) {
        std::string units;
        for (const std::string& dependency : config.Dependencies) {
            if (dependency.empty() || dependency == "+") continue;
            if (!units.empty()) units += ' ';
            units += UnitValue(DependencyUnit(dependency));
        }
        if (!units.empty()) {
            unit.Set("Unit", "After", units);
            unit.Set("Unit", "Requires", units);
        }
    }
    unit.Set("Service", "Type", "notify");
    unit.Set("Service", "ExecStart", ExecStartValue(config.BinaryPathName));
    const std::string user = UserOf(config.ServiceStartName);
    if (!user.empty()) unit.Set("Service", "User", UnitValue(user));
    AddSandbox(unit, config.ServiceName);
    // Boot and system start exist only for drivers; both mean "at boot" here as well.
    if (config.StartType <= 2) unit.Set("Install", "WantedBy", "multi-user.target");
    return unit.Text();
}

std::string ServiceUnitName(const std::string& serviceName) { return serviceName + ".service"; }

// The process blocks the signals its signal thread waits for and ignores SIGPIPE, and a
// spawned program would inherit that: it starts with them unblocked and at their default
// action instead.
void ResetSignalsForChild(posix_spawnattr_t& attributes) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR2, SIGPIPE}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

}  // namespace

std::string SystemdUnitDirectory() {
    std::string dir = Env().Config().SystemdDir;
    return !dir.empty() ? dir : std::string(DefaultUnitDirectory);
}

std::string SystemdUnitPath(const std::string& serviceName) {
    return SystemdUnitDirectory() + "/" + ServiceUnitName(serviceName);
}

int RunProgramBounded(const std::vector<std::string>& arguments, std::chrono::milliseconds limit, std::string* output,
                      std::size_t outputLimit) {
    if (output != nullptr) output->clear();
    if (arguments.empty()) return -1;
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (std::string& argument : copies) argv.push_back(argument.data());
    argv.push_back(nullptr);

    // Both streams into one pipe, in the order the program wrote them; the pipe's own ends
    // are closed in the program by close-on-exec.
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    TFd reader(pipeEnds[0]), writer(pipeEnds[1]);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writer.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writer.Get(), STDERR_FILENO);
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    ResetSignalsForChild(attributes);
    // A group of its own, so that what it starts goes with it when the time is up.
    short flags = 0;
    posix_spawnattr_getflags(&attributes, &flags);
    posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETPGROUP));
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    writer.Reset();  // the end of the output comes when the program's copies close
    if (rc != 0) return -1;
    ::fcntl(reader.Get(), F_SETFL, ::fcntl(reader.Get(), F_GETFL) | O_NONBLOCK);

    // Reads what is there now, at most count bytes, so that a program that never stops
    // printing still meets the limit; answers false at the end of the output. Beyond the
    // bound it is read and dropped, so that a program that prints much is not held up by a
    // full pipe.
    auto drain = [&](std::size_t count) {
        char buffer[4096];
        while (count > 0) {
            const ssize_t n = ::read(reader.Get(), buffer, std::min(sizeof buffer, count));
            if (n > 0) {
                const auto got = static_cast<std::size_t>(n);
                if (output != nullptr && output->size() < outputLimit)
                    output->append(buffer, std::min(got, outputLimit - output->size()));
                count -= got;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 && errno == EAGAIN;
        }
        return true;
    };

    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool open = true;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            // Its writes are all in the pipe now; what it left running may hold the pipe
            // open and go on writing, and is neither waited for nor read.
            int pending = 0;
            if (open && ::ioctl(reader.Get(), FIONREAD, &pending) == 0 && pending > 0)
                drain(static_cast<std::size_t>(pending));
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) return -1;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            ::kill(-pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        // Woken by output, else soon enough to see the program end.
        const auto wait = std::min<std::chrono::milliseconds>(
            std::chrono::milliseconds(10), std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (open) {
            pollfd ready{reader.Get(), POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(wait.count())) > 0) open = drain(65536);
        } else {
            std::this_thread::sleep_for(wait);
        }
    }
}

namespace {

std::mutex& RunStatusLock() {
    static std::mutex lock;
    return lock;
}
std::string& RunStatus() {
    static std::string status;
    return status;
}

// A status text is one line of the notification.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

void SetRunStatus(const std::string& utf8Text) {
    {
        std::lock_guard guard(RunStatusLock());
        RunStatus() = OneLine(utf8Text);
    }
    if (!utf8Text.empty() && std::getenv("NOTIFY_SOCKET") != nullptr)
        ::sd_notify(0, ("STATUS=" + OneLine(utf8Text)).c_str());
}

std::string NotifyMessage(const TServiceStatusRecord& status) {
    static const char* const names[] = {"Stopped",          "Start pending", "Stop pending", "Running",
                                        "Continue pending", "Pause pending", "Paused"};
    const std::uint32_t state = status.CurrentState;
    std::string message;
    if (state == SERVICE_RUNNING) message += "READY=1\n";
    if (state == SERVICE_STOP_PENDING) message += "STOPPING=1\n";
    message += "STATUS=";
    message += state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? names[state - 1] : "Unknown state";
    if (state == SERVICE_STOPPED && status.Win32ExitCode != 0) {
        message += status.Win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                       ? Format(" (service-specific error %u)", status.ServiceSpecificExitCode)
                       : Format(" (error %u)", status.Win32ExitCode);
    }
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
        std::lock_guard guard(RunStatusLock());
        if (!RunStatus().empty()) message += "; " + RunStatus();
    }
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
    // The wait hint is how long until the next report: systemd's timeout stretches by as much.
    if (pending && status.WaitHint > 0)
        message += Format("\nEXTEND_TIMEOUT_USEC=%u", static_cast<unsigned long long>(status.WaitHint) * 1000);
    return message;
}

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
    std::lock_guard guard(FLock);
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
    std::lock_guard delivering(FDeliveryLock);
    std::vector<TControlHandler> handlers;
    {
        std::lock_guard guard(FLock);
        handlers = FHandlers;
    }
    // A refused control (param change without the service allowing it) is simply dropped.
    for (const TControlHandler& handler : handlers)
        if (handler) handler(control, 0, 0);
}

void TSystemdServiceManager::StopRoutingSignals() {
    std::lock_guard delivering(FDeliveryLock);
    std::lock_guard guard(FLock);
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
        std::lock_guard guard(FLock);
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
    std::lock_guard guard(FLock);
    if (FNote.empty() && !line.empty()) FNote = "systemctl: " + Utf8ToAnsi(line);
}

std::string TSystemdServiceManager::TakeNote() {
    std::lock_guard guard(FLock);
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
