#include "platform/SystemdServiceManager.h"
#include "platform/BoundedProcess.h"
#include "platform/Env.h"
#include "platform/Process.h"

#include "common/Format.h"
#include "platform/WinError.h"
#include "platform/Signals.h"
#include "tests/TestSupport.h"
#include "tests/support/FaultyEnv.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

using namespace keyrix;
using namespace keyrix::platform;
using namespace std::chrono_literals;
using keyrix::test::ReadFile;
using keyrix::test::TTempDir;
using keyrix::test::WithoutSandbox;

namespace {

// The socket systemd listens on for a Type=notify service, played by the test.
class TNotifySocket {
public:
    explicit TNotifySocket(const std::string& path) : FFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot bind the notify socket");
    }
    TNotifySocket(const TNotifySocket&) = delete;
    TNotifySocket& operator=(const TNotifySocket&) = delete;
    ~TNotifySocket() { ::close(FFd); }

    // The next message; empty when none came in time.
    std::string Receive() {
        pollfd ready{FFd, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1) return "";
        char buffer[4096];
        const ssize_t n = ::recv(FFd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
    }

private:
    int FFd;
};

// The control codes a handler received, for another thread to wait on.
class TControls {
public:
    void Add(std::uint32_t control) {
        std::lock_guard guard(FLock);
        FCodes.push_back(control);
        FChanged.notify_all();
    }
    bool WaitFor(std::uint32_t control) {
        std::unique_lock guard(FLock);
        return FChanged.wait_for(guard, 5s,
                                 [&] { return std::find(FCodes.begin(), FCodes.end(), control) != FCodes.end(); });
    }
    std::vector<std::uint32_t> All() {
        std::lock_guard guard(FLock);
        return FCodes;
    }

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<std::uint32_t> FCodes;
};

class SystemdManager : public ::testing::Test {
protected:
    void SetUp() override {
        // Before any thread exists, so that only the signal thread takes SIGTERM and SIGHUP.
        TSignalThread::BlockHandledSignals();
        ::mkdir(Units.c_str(), 0755);
        ::setenv("KEYRIX_SYSTEMD_DIR", Units.c_str(), 1);
        platform::ReloadEnvironment();
        ::unsetenv("NOTIFY_SOCKET");
    }
    void TearDown() override {
        ::unsetenv("KEYRIX_SYSTEMD_DIR");
        platform::ReloadEnvironment();
        ::unsetenv("NOTIFY_SOCKET");
    }

    std::set<std::string> UnitFolder() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Units)) names.insert(entry.path().filename());
        return names;
    }
    static TServiceConfig SyncClient() {
        TServiceConfig config;
        config.ServiceName = "KeyrixSyncVLRM";
        config.DisplayName = "Keyrix Sync Client (VLHRM)";
        config.BinaryPathName = "/opt/keyrix/KeyrixSyncVLHRM /SVC";
        return config;
    }

    TTempDir Dir;
    std::string Units = Dir.File("units");
    std::string UnitPath = Units + "/KeyrixSyncVLRM.service";
    TSystemdServiceManager Manager;
};

const std::string BaseUnit =
    "[Unit]\n"
    "Description=Keyrix Sync Client (VLHRM)\n"
    "\n"
    "[Service]\n"
    "Type=notify\n"
    "ExecStart=/opt/keyrix/KeyrixSyncVLHRM /SVC\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

}  // namespace

TEST_F(SystemdManager, DispatcherWithoutNotifySocketAnswers1063) {
    bool ran = false;
    const std::vector<TServiceTableEntry> table = {
        {"KeyrixSyncVLRM", [&](const std::vector<std::string>&) { ran = true; }}};
    EXPECT_EQ(Manager.StartServiceCtrlDispatcher(table), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    ::setenv("NOTIFY_SOCKET", "", 1);
    EXPECT_EQ(Manager.StartServiceCtrlDispatcher(table), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_FALSE(ran);
}

// The last run's outcome is the status text at once, and follows the state of the stop
// reports after it, so that `systemctl status` shows it once the service has ended.
TEST_F(SystemdManager, RunStatusIsSentAndCarriedByTheStopReports) {
    TNotifySocket socket(Dir.File("notify"));
    ::setenv("NOTIFY_SOCKET", Dir.File("notify").c_str(), 1);
    SetRunStatus("Last sync: failed-work at 2024-05-01T06:00:00.000+02:00 (EFOpenError)\nsecond line");
    EXPECT_EQ(socket.Receive(), "STATUS=Last sync: failed-work at 2024-05-01T06:00:00.000+02:00 (EFOpenError) second line");
    TServiceStatusRecord status;
    status.CurrentState = SERVICE_STOPPED;
    EXPECT_EQ(NotifyMessage(status),
              "STATUS=Stopped; Last sync: failed-work at 2024-05-01T06:00:00.000+02:00 (EFOpenError) second line");
    status.CurrentState = SERVICE_RUNNING;
    EXPECT_EQ(NotifyMessage(status), "READY=1\nSTATUS=Running") << "only the stop reports carry it";
    SetRunStatus("");
    status.CurrentState = SERVICE_STOPPED;
    EXPECT_EQ(NotifyMessage(status), "STATUS=Stopped");
}

TEST_F(SystemdManager, EachServiceRunsOnANamedThreadOfItsOwn) {
    TNotifySocket socket(Dir.File("notify"));
    ::setenv("NOTIFY_SOCKET", Dir.File("notify").c_str(), 1);
    struct TSeen {
        std::string ThreadName;
        std::vector<std::string> Arguments;
        std::thread::id Thread;
    };
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<TSeen> seen;
    auto main = [&](const std::vector<std::string>& arguments) {
        char name[16] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        std::unique_lock guard(lock);
        seen.push_back({name, arguments, std::this_thread::get_id()});
        arrived.notify_all();
        // Both run at once: each waits here for the other.
        arrived.wait_for(guard, 5s, [&] { return seen.size() == 2; });
    };
    EXPECT_EQ(Manager.StartServiceCtrlDispatcher({{"KeyrixSyncVLRM", main}, {"AnotherServiceWithALongName", main}}),
              NO_ERROR);

    ASSERT_EQ(seen.size(), 2u);
    std::sort(seen.begin(), seen.end(), [](const TSeen& a, const TSeen& b) { return a.Arguments < b.Arguments; });
    EXPECT_EQ(seen[0].ThreadName, "Service main");
    EXPECT_EQ(seen[0].Arguments, std::vector<std::string>{"AnotherServiceWithALongName"});
    EXPECT_EQ(seen[1].ThreadName, "Service main");
    EXPECT_EQ(seen[1].Arguments, std::vector<std::string>{"KeyrixSyncVLRM"});
    EXPECT_NE(seen[0].Thread, seen[1].Thread);
    EXPECT_NE(seen[0].Thread, std::this_thread::get_id());
}

TEST_F(SystemdManager, StatusReportsReachTheNotifySocketAndSignalsReachTheHandler) {
    TNotifySocket socket(Dir.File("notify"));
    ::setenv("NOTIFY_SOCKET", Dir.File("notify").c_str(), 1);
    TControls controls;
    auto report = [&](TStatusHandle handle, std::uint32_t state, std::uint32_t waitHint) {
        TServiceStatusRecord status;
        status.CurrentState = state;
        status.WaitHint = waitHint;
        EXPECT_EQ(Manager.SetServiceStatus(handle, status), NO_ERROR) << state;
    };
    auto main = [&](const std::vector<std::string>&) {
        TStatusHandle handle = 0;
        auto handler = [&](std::uint32_t control, std::uint32_t, std::uintptr_t) {
            controls.Add(control);
            return control == 1 ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
        };
        EXPECT_EQ(Manager.RegisterServiceCtrlHandlerEx("KeyrixSyncVLRM", handler, handle), NO_ERROR);
        report(handle, SERVICE_START_PENDING, 5000);
        report(handle, SERVICE_RUNNING, 5000);
        controls.WaitFor(1);
        report(handle, SERVICE_STOP_PENDING, 3000);
        report(handle, SERVICE_STOPPED, 0);
    };
    long result = -1;
    std::thread dispatcher([&] { result = Manager.StartServiceCtrlDispatcher({{"KeyrixSyncVLRM", main}}); });

    EXPECT_EQ(socket.Receive(), "STATUS=Start pending\nEXTEND_TIMEOUT_USEC=5000000");
    EXPECT_EQ(socket.Receive(), "READY=1\nSTATUS=Running");
    ::kill(::getpid(), SIGHUP);
    EXPECT_TRUE(controls.WaitFor(6)) << "SIGHUP is the param change";
    ::kill(::getpid(), SIGTERM);
    EXPECT_EQ(socket.Receive(), "STOPPING=1\nSTATUS=Stop pending\nEXTEND_TIMEOUT_USEC=3000000");
    EXPECT_EQ(socket.Receive(), "STATUS=Stopped");
    dispatcher.join();
    EXPECT_EQ(result, NO_ERROR);
    EXPECT_EQ(controls.All(), (std::vector<std::uint32_t>{6, 1}));
}

TEST_F(SystemdManager, StatusMessagesNameTheState) {
    struct Case {
        std::uint32_t state, waitHint, win32ExitCode, specificExitCode;
        const char* message;
    };
    const Case cases[] = {
        {SERVICE_STOPPED, 5000, 0, 0, "STATUS=Stopped"},
        {SERVICE_START_PENDING, 5000, 0, 0, "STATUS=Start pending\nEXTEND_TIMEOUT_USEC=5000000"},
        {SERVICE_START_PENDING, 0, 0, 0, "STATUS=Start pending"},
        {SERVICE_STOP_PENDING, 1, 0, 0, "STOPPING=1\nSTATUS=Stop pending\nEXTEND_TIMEOUT_USEC=1000"},
        {SERVICE_RUNNING, 5000, 0, 0, "READY=1\nSTATUS=Running"},
        {SERVICE_CONTINUE_PENDING, 2000, 0, 0, "STATUS=Continue pending\nEXTEND_TIMEOUT_USEC=2000000"},
        {SERVICE_PAUSE_PENDING, 2000, 0, 0, "STATUS=Pause pending\nEXTEND_TIMEOUT_USEC=2000000"},
        {SERVICE_PAUSED, 2000, 0, 0, "STATUS=Paused"},
        {SERVICE_STOPPED, 0, 5, 0, "STATUS=Stopped (error 5)"},
        {SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, 42, "STATUS=Stopped (service-specific error 42)"},
    };
    for (const Case& c : cases) {
        TServiceStatusRecord status;
        status.CurrentState = c.state;
        status.WaitHint = c.waitHint;
        status.Win32ExitCode = c.win32ExitCode;
        status.ServiceSpecificExitCode = c.specificExitCode;
        EXPECT_EQ(NotifyMessage(status), c.message);
    }
    TServiceStatusRecord running;
    running.CurrentState = SERVICE_RUNNING;
    EXPECT_EQ(Manager.SetServiceStatus(0, running), ERROR_INVALID_HANDLE) << "no handler registered";
}

TEST_F(SystemdManager, CreateServiceWritesTheUnit) {
    struct Case {
        const char* what;
        std::function<void(TServiceConfig&)> change;
        std::string unit;
    };
    const Case cases[] = {
        {"this system's service", [](TServiceConfig&) {}, BaseUnit},
        {"dependencies, an account, a manual start, characters systemd would expand",
         [](TServiceConfig& c) {
             c.DisplayName = "100% sync\r\nclient";
             c.BinaryPathName = "\"/opt/key rix/$bin\\x\" /SVC";
             c.Dependencies = {"Tcpip", "+NetGroup", "network-online.target"};
             c.ServiceStartName = ".\\keyrix";
             c.Password = "secret";
             c.StartType = 3;
         },
         "[Unit]\n"
         "Description=100%% sync  client\n"
         "After=Tcpip.service NetGroup.target network-online.target\n"
         "Requires=Tcpip.service NetGroup.target network-online.target\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=\"/opt/key rix/$$bin\\\\x\" /SVC\n"
         "User=keyrix\n"},
        {"the system account, disabled",
         [](TServiceConfig& c) {
             c.ServiceStartName = "LocalSystem";
             c.StartType = 4;
         },
         "[Unit]\n"
         "Description=Keyrix Sync Client (VLHRM)\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=/opt/keyrix/KeyrixSyncVLHRM /SVC\n"},
    };
    for (const Case& c : cases) {
        TServiceConfig config = SyncClient();
        c.change(config);
        ASSERT_EQ(Manager.CreateService(config), NO_ERROR) << c.what;
        EXPECT_EQ(WithoutSandbox(ReadFile(UnitPath)), c.unit) << c.what;
        EXPECT_EQ(UnitFolder(), std::set<std::string>{"KeyrixSyncVLRM.service"}) << "no temporary file is left";
        struct stat st {};
        ASSERT_EQ(::stat(UnitPath.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        ASSERT_EQ(Manager.DeleteService(config.ServiceName), NO_ERROR);
    }
}

// A unit is whole or absent: a step of its writing that fails leaves neither a unit nor a
// temporary file and answers the step's code, and a change that fails keeps the unit as it
// was. A file system without RENAME_NOREPLACE gets the new unit by a link.
TEST_F(SystemdManager, FailedUnitWriteLeavesNoUnitAndNoTemporaryFile) {
    using test::FailAt;
    using test::Kind;
    using test::TEnvOp;
    struct Case {
        const char* step;
        test::TFault fault;
        long code;
    };
    const Case cases[] = {
        {"create", FailAt(1, EACCES, Kind(TEnvOp::MakeTemporary)), ERROR_ACCESS_DENIED},
        {"mode", FailAt(1, EPERM, Kind(TEnvOp::ChangeMode)), ERROR_ACCESS_DENIED},
        {"write", FailAt(1, ENOSPC, test::WriteKinds), ERROR_WRITE_FAULT},
        {"flush", FailAt(1, EIO, Kind(TEnvOp::Sync)), ERROR_WRITE_FAULT},
        {"close", FailAt(1, EIO, Kind(TEnvOp::Close)), ERROR_WRITE_FAULT},
        {"rename", FailAt(1, EROFS, Kind(TEnvOp::Rename)), ERROR_ACCESS_DENIED},
        {"folder flush", FailAt(2, EIO, Kind(TEnvOp::Sync)), ERROR_WRITE_FAULT},
        {"no RENAME_NOREPLACE", FailAt(1, EINVAL, Kind(TEnvOp::Rename)), NO_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        test::TFaultyEnv faulty(Env());
        TScopedEnv scoped(faulty);
        faulty.Arm(c.fault);
        EXPECT_EQ(Manager.CreateService(SyncClient()), c.code);
        EXPECT_TRUE(faulty.Fired());
        if (c.code != NO_ERROR) {
            EXPECT_TRUE(UnitFolder().empty());
            continue;
        }
        EXPECT_EQ(UnitFolder(), std::set<std::string>{"KeyrixSyncVLRM.service"});
        EXPECT_EQ(WithoutSandbox(ReadFile(UnitPath)), BaseUnit);
    }

    const std::string installed = ReadFile(UnitPath);
    TServiceConfig2 description;
    description.Description = "Veltrona HRM users sync";
    test::TFaultyEnv faulty(Env());
    TScopedEnv scoped(faulty);
    faulty.Arm(FailAt(1, ENOSPC, test::WriteKinds));
    EXPECT_EQ(Manager.ChangeServiceConfig2("KeyrixSyncVLRM", TConfig2Level::Description, description),
              ERROR_WRITE_FAULT);
    EXPECT_TRUE(faulty.Fired());
    EXPECT_EQ(ReadFile(UnitPath), installed);
    EXPECT_EQ(UnitFolder(), std::set<std::string>{"KeyrixSyncVLRM.service"});
}

TEST_F(SystemdManager, InstalledMeansTheUnitFileExists) {
    EXPECT_EQ(Manager.OpenService("KeyrixSyncVLRM"), ERROR_SERVICE_DOES_NOT_EXIST);
    ASSERT_EQ(Manager.CreateService(SyncClient()), NO_ERROR);
    EXPECT_EQ(Manager.OpenService("KeyrixSyncVLRM"), NO_ERROR);

    TServiceConfig other = SyncClient();
    other.DisplayName = "Other";
    EXPECT_EQ(Manager.CreateService(other), ERROR_SERVICE_EXISTS);
    EXPECT_EQ(WithoutSandbox(ReadFile(UnitPath)), BaseUnit) << "the installed unit stays";

    EXPECT_EQ(Manager.DeleteService("KeyrixSyncVLRM"), NO_ERROR);
    EXPECT_TRUE(UnitFolder().empty());
    EXPECT_EQ(Manager.OpenService("KeyrixSyncVLRM"), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(Manager.DeleteService("KeyrixSyncVLRM"), ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(Manager.ChangeServiceConfig2("KeyrixSyncVLRM", TConfig2Level::Description, TServiceConfig2{}),
              ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(SystemdManager, ExtendedConfigurationMapsOntoTheUnit) {
    struct Step {
        TConfig2Level level;
        std::function<void(TServiceConfig2&)> change;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        std::string unit;
    };
    auto description = [](std::string text) { return [text](TServiceConfig2& c) { c.Description = text; }; };
    auto actions = [](std::vector<TFailureActionRecord> list) {
        return [list](TServiceConfig2& c) { c.Actions = list; };
    };
    const std::string withDescription =
        "[Unit]\n"
        "Description=Keyrix Sync Client (VLHRM)\n"
        "# Veltrona HRM users sync\n"
        "\n"
        "[Service]\n"
        "Type=notify\n"
        "ExecStart=/opt/keyrix/KeyrixSyncVLHRM /SVC\n"
        "\n"
        "[Install]\n"
        "WantedBy=multi-user.target\n";
    const Case cases[] = {
        {"the description", {{TConfig2Level::Description, description("Veltrona HRM users sync")}}, withDescription},
        {"a new description replaces the old one",
         {{TConfig2Level::Description, description("first line\r\nsecond line")},
          {TConfig2Level::Description, description("Veltrona HRM users sync")}},
         withDescription},
        {"no description, no comment",
         {{TConfig2Level::Description, description("Veltrona HRM users sync")},
          {TConfig2Level::Description, description("")}},
         BaseUnit},
        {"restart and reboot",
         {{TConfig2Level::FailureActions, actions({{1, 60000}, {1, 1000}, {2, 0}, {3, 5}})}},
         "[Unit]\n"
         "Description=Keyrix Sync Client (VLHRM)\n"
         "FailureAction=reboot\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=/opt/keyrix/KeyrixSyncVLHRM /SVC\n"
         "Restart=on-failure\n"
         "RestartSec=60000ms\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n"},
        {"failure actions taken away again",
         {{TConfig2Level::FailureActions, actions({{1, 500}, {2, 0}})}, {TConfig2Level::FailureActions, actions({})}},
         BaseUnit},
        {"levels systemd has no counterpart for",
         {{TConfig2Level::DelayedAutoStart, [](TServiceConfig2& c) { c.DelayedAutoStart = true; }},
          {TConfig2Level::FailureActionsFlag, [](TServiceConfig2& c) { c.FailureActionsOnNonCrashFailures = true; }},
          {TConfig2Level::ServiceSidInfo, [](TServiceConfig2& c) { c.ServiceSidType = 3; }},
          {TConfig2Level::RequiredPrivileges,
           [](TServiceConfig2& c) { c.RequiredPrivileges = {"SeShutdownPrivilege"}; }},
          {TConfig2Level::PreShutdownInfo, [](TServiceConfig2& c) { c.PreShutdownTimeout = 1; }}},
         BaseUnit},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(Manager.CreateService(SyncClient()), NO_ERROR) << c.what;
        for (const Step& step : c.steps) {
            TServiceConfig2 config;
            step.change(config);
            EXPECT_EQ(Manager.ChangeServiceConfig2("KeyrixSyncVLRM", step.level, config), NO_ERROR) << c.what;
        }
        EXPECT_EQ(WithoutSandbox(ReadFile(UnitPath)), c.unit) << c.what;
        EXPECT_EQ(UnitFolder(), std::set<std::string>{"KeyrixSyncVLRM.service"}) << c.what;
        ASSERT_EQ(Manager.DeleteService("KeyrixSyncVLRM"), NO_ERROR);
    }
    ASSERT_EQ(Manager.CreateService(SyncClient()), NO_ERROR);
    EXPECT_EQ(Manager.ChangeServiceConfig2("KeyrixSyncVLRM", static_cast<TConfig2Level>(99), TServiceConfig2{}),
              87) << "an unknown level";
}

TEST_F(SystemdManager, ConnectingForChangesNeedsAWritableUnitFolder) {
    EXPECT_EQ(Manager.Connect(true), NO_ERROR);
    EXPECT_EQ(Manager.Connect(false), NO_ERROR);
    const std::string outcome = test::RunInChild(
        [] {
            TSystemdServiceManager manager;
            return Format("%d %d", manager.Connect(true), manager.Connect(false));
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "5 0");
    ::setenv("KEYRIX_SYSTEMD_DIR", Dir.File("missing").c_str(), 1);
    platform::ReloadEnvironment();
    EXPECT_EQ(Manager.Connect(true), 2);
}

TEST_F(SystemdManager, ProgramsRunWithABoundedWait) {
    EXPECT_EQ(RunProgramBounded({"true"}, 5s), 0);
    EXPECT_EQ(RunProgramBounded({"false"}, 5s), 1);
    EXPECT_EQ(RunProgramBounded({"/nonexistent/program"}, 5s), -1);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgramBounded({"sleep", "10"}, 200ms), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "killed at the limit";

    // The process blocks SIGTERM for its signal thread; a program it starts must not inherit that.
    const auto again = std::chrono::steady_clock::now();
    EXPECT_EQ(RunProgramBounded({"sh", "-c", "kill -TERM $$; sleep 10"}, 20s), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - again, 5s);
}

TEST_F(SystemdManager, ProgramsOutputIsCaughtNotPrinted) {
    // Its own input stays open, as the menu's terminal does: the program must not wait on it.
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    const int savedInput = ::dup(STDIN_FILENO);
    ASSERT_EQ(::dup2(input[0], STDIN_FILENO), STDIN_FILENO);
    std::string pattern;
    while (pattern.size() < 1000) pattern += "0123456789\n";
    pattern.resize(1000);
    std::string yeses;
    while (yeses.size() < 100) yeses += "y\n";
    struct Case {
        const char* what;
        std::vector<std::string> arguments;
        std::chrono::milliseconds limit;
        std::size_t outputLimit;
        int status;
        std::string output;  // "<pid>": a process id it started, killed afterwards
        std::chrono::milliseconds within;
    };
    const Case cases[] = {
        {"both streams", {"sh", "-c", "echo out; echo err >&2; exit 3"}, 5s, 16384, 3, "out\nerr\n", 4s},
        {"more than the bound", {"sh", "-c", "yes 0123456789 | head -c 1000000"}, 20s, 1000, 0, pattern, 10s},
        {"prints without end", {"yes"}, 500ms, 100, -1, yeses, 2500ms},
        {"input is empty", {"sh", "-c", "cat; echo done"}, 5s, 16384, 0, "done\n", 4s},
        {"what it left running holds the pipe", {"sh", "-c", "sleep 30 & echo $!"}, 5s, 16384, 0, "<pid>", 4s},
        {"past the limit, with a process that holds the pipe", {"sh", "-c", "sleep 30 & echo $!; exec sleep 30"},
         500ms, 16384, -1, "<pid>", 2500ms},
    };
    for (const Case& c : cases) {
        std::string output = "left from before";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RunProgramBounded(c.arguments, c.limit, &output, c.outputLimit), c.status) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, c.within) << c.what;
        if (c.output != "<pid>") {
            EXPECT_EQ(output, c.output) << c.what;
            continue;
        }
        ASSERT_FALSE(output.empty()) << c.what;
        EXPECT_EQ(output.back(), '\n') << c.what;
        const int pid = std::atoi(output.c_str());
        EXPECT_EQ(output, std::to_string(pid) + "\n") << c.what;
        if (pid > 1) ::kill(pid, SIGKILL);
    }
    ::dup2(savedInput, STDIN_FILENO);
    ::close(savedInput);
    ::close(input[0]);
    ::close(input[1]);
}

// The unit confines the service to what a synchronisation needs, with the folders it writes
// as they are where it is installed; systemd's own rating calls that safe.
TEST_F(SystemdManager, UnitIsConfinedToTheFoldersARunWrites) {
    TTempDir dir;
    const std::string hiveFolder = dir.File("my hive"), target = dir.File("target"), locks = dir.File("locks");
    std::filesystem::create_directory(hiveFolder);
    std::filesystem::create_directory(target);
    std::string executable = ExecutableDirectory();
    executable.pop_back();  // its trailing '/'
    const auto setting = [](const std::string& unit, const std::string& key) {
        const std::string line = "\n" + key + "=";
        const auto at = unit.find(line);
        return at == std::string::npos ? std::string("(none)")
                                       : unit.substr(at + line.size(), unit.find('\n', at + 1) - at - line.size());
    };
    struct Case {
        const char* what;
        std::string hive, runLock, paths, runtime;
    };
    test::WriteFile(target + "/registry.reg", "");
    std::filesystem::create_symlink(target + "/registry.reg", hiveFolder + "/linked.reg");
    const Case cases[] = {
        {"the run lock in its own folder", hiveFolder + "/registry.reg", "",
         "-" + executable + " \"-" + hiveFolder + "\"", "keyrix"},
        {"the run lock elsewhere", hiveFolder + "/registry.reg", locks + "/sync.lock",
         "-" + executable + " \"-" + hiveFolder + "\" -" + locks, "(none)"},
        {"a hive that is a link", hiveFolder + "/linked.reg", "", "-" + executable + " \"-" + hiveFolder + "\" -" + target,
         "keyrix"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::setenv("KEYRIX_REGISTRY", c.hive.c_str(), 1);
        if (c.runLock.empty())
            ::unsetenv("KEYRIX_RUN_LOCK");
        else
            ::setenv("KEYRIX_RUN_LOCK", c.runLock.c_str(), 1);
        platform::ReloadEnvironment();
        ASSERT_EQ(Manager.CreateService(SyncClient()), NO_ERROR);
        const std::string unit = ReadFile(UnitPath);
        EXPECT_EQ(setting(unit, "ReadWritePaths"), c.paths) << unit;
        EXPECT_EQ(setting(unit, "RuntimeDirectory"), c.runtime);
        for (const char* line : {"ProtectSystem=strict", "CapabilityBoundingSet=", "NoNewPrivileges=yes", "UMask=0077",
                                 "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6", "SystemCallFilter=@system-service"})
            EXPECT_NE(unit.find(std::string("\n") + line + "\n"), std::string::npos) << line;

        // systemd's rating of the unit (systemd-analyze reads it from the file).
        const test::TCommandResult rating =
            test::RunCommand("systemd-analyze security --offline=true --no-pager '" + UnitPath + "' 2>&1");
        const auto at = rating.Output.find("Overall exposure level for KeyrixSyncVLRM.service: ");
        ASSERT_NE(at, std::string::npos) << rating.Output;
        const double exposure = std::stod(rating.Output.substr(at + 51));
        EXPECT_LE(exposure, 2.0) << rating.Output;
        ASSERT_EQ(Manager.DeleteService("KeyrixSyncVLRM"), NO_ERROR);
    }
    ::unsetenv("KEYRIX_REGISTRY");
    ::unsetenv("KEYRIX_RUN_LOCK");
    platform::ReloadEnvironment();
}
