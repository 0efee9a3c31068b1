// The built executable, copied to a folder of its own and run as an administrator would.
#include "common/ScopeGuard.h"
#include "tests/TestSupport.h"
#include "tests/db/DbFixture.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TcpRelay.h"
#include "tests/vlhrm/ExecutableFixture.h"

#include <fmt/format.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

using namespace keyrix::test;

namespace {

using namespace std::chrono_literals;

// A feed of one employee of company 1 at site 10.
const std::string OneEmployeeFeed =
    "<?xml version=\"1.0\"?><ArrayOfBrakonData><BrakonData><EmployeeID>E1</EmployeeID>"
    "<FirstName>Ann</FirstName><LastName>Lee</LastName><Email/><Phone/><PositionTitle>Clerk</PositionTitle>"
    "<Department/><CompanyId>1</CompanyId><CompanyName>Acme</CompanyName><SiteName>North</SiteName>"
    "<SiteId>10</SiteId></BrakonData></ArrayOfBrakonData>";

// Polls the condition until it holds or the limit has passed; answers whether it held.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by ") + ::strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// The executable started in the background, as a shell would start it in the foreground:
// nothing blocked, every signal at its default action. Its standard output and error go to
// the given descriptor. Every wait is bounded; a process still there at the end is killed.
class TBackgroundRun {
public:
    TBackgroundRun(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
                   const std::string& folder, int output) {
        std::vector<std::string> args = arguments, env = environment;
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, output, STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigfillset(&defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const int rc = ::posix_spawn(&FPid, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(rc));
    }
    TBackgroundRun(const TBackgroundRun&) = delete;
    TBackgroundRun& operator=(const TBackgroundRun&) = delete;
    ~TBackgroundRun() {
        if (FStatus) return;
        ::kill(FPid, SIGKILL);
        int status = 0;
        while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
        }
    }

    pid_t Pid() const { return FPid; }
    // The wait status once the process has ended, or nothing after the limit.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        WaitUntil(
            [this] {
                int status = 0;
                if (::waitpid(FPid, &status, WNOHANG) == FPid) FStatus = status;
                return FStatus.has_value();
            },
            limit);
        return FStatus;
    }
    // Whether the process has the file open (it is past its start-up and at work on it).
    bool HasOpen(const std::string& path) const {
        std::error_code error;
        for (const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(FPid) + "/fd", error)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(entry.path(), linkError) == path) return true;
        }
        return false;
    }

private:
    pid_t FPid = -1;
    std::optional<int> FStatus;
};

// An open descriptor, closed at the end of the scope.
struct TOpenFd {
    int Fd;
    ~TOpenFd() {
        if (Fd >= 0) ::close(Fd);
    }
};

}  // namespace

TEST_F(Executable, DebugRunWritesEveryChannel) {
    TTestDatabase database;
    WriteDatabaseHive(database, "");
    TCommandResult result = Run("/SVC /DEBUG");
    EXPECT_EQ(result.ExitCode, 0);
    Lines expected = {"Application initalizing",
                      "Starting services in debug mode",
                      "Worker thread execute",
                      "LogMessage: Keyrix Sync Client (VLHRM) started!",
                      "LogMessage: Keyrix sync server started!",
                      "HRM import disabled",
                      "BK import disabled",
                      "LogMessage: Keyrix sync server finished!",
                      "Worker thread exiting",
                      "All services stopped",
                      "Application finished"};
    EXPECT_EQ(SplitCrLf(result.Output), expected) << result.Output;

    Lines log = ReadCrLfLines(LogFile);
    ASSERT_EQ(log.size(), 2u) << "file logging is off";
    EXPECT_EQ(log[0].rfind("Sync started at ", 0), 0u) << log[0];
    EXPECT_EQ(log[1].rfind("Sync finished at ", 0), 0u) << log[1];
    EXPECT_FALSE(FileExists(WorkDir.File("VLHRMSync_log.txt")));

    EXPECT_EQ(Events(), (Lines{"KeyrixSyncVLRM information: Keyrix Sync Client (VLHRM) started!",
                               "KeyrixSyncVLRM information: Keyrix sync server started!",
                               "KeyrixSyncVLRM information: Keyrix sync server finished!"}));
    // The schema was prepared: the custom columns exist.
    EXPECT_NE(database.Isql("SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS;").find("5"), std::string::npos);
}

TEST_F(Executable, WrongDatabasePasswordGivesTheStartupErrorLines) {
    TTestDatabase database;
    WriteDatabaseHive(database, "\"Log messages to file\"=dword:00000001\r\n", "not-the-password");
    TCommandResult result = Run("/SVC /DEBUG");
    EXPECT_EQ(result.ExitCode, 0);
    const Lines output = SplitCrLf(result.Output);
    ASSERT_GE(output.size(), 6u) << result.Output;
    EXPECT_EQ(output[4], "Error connecting database: DataModule1.dbDatabase:");
    Lines log = ReadCrLfLines(LogFile);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1], "Error connecting database: DataModule1.dbDatabase:");
    const Lines events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].rfind("KeyrixSyncVLRM error: Critical error on service startup:\\r\\nEDisplayError\\r\\n"
                              "Error connecting to database - DataModule1.dbDatabase:\\r\\n",
                              0),
              0u)
        << events[1];
    EXPECT_EQ(events[2], "KeyrixSyncVLRM information: Keyrix sync server finished!");
}

TEST_F(Executable, VerboseHidesTheEventLogEcho) {
    TCommandResult result = Run("/SVC /DEBUG /VERBOSE");
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output.find("LogMessage: "), std::string::npos) << result.Output;
    EXPECT_NE(result.Output.find("Application initalizing\r\n"), std::string::npos);
    EXPECT_GE(Events().size(), 3u) << "the entries are written all the same";
}

TEST_F(Executable, ServiceModeFromAShellCannotReachTheServiceManager) {
    TCommandResult result = Run("/SVC");
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, "") << "no console without /DEBUG";
    EXPECT_EQ(Events(), Lines{"KeyrixSyncVLHRM error: The service process could not connect to the service controller."});
    EXPECT_FALSE(FileExists(LogFile)) << "no run was started";
}

TEST_F(Executable, ConfigModeWithoutATerminalFailsLoudly) {
    // Input from /dev/null, output into the test's pipe: neither is a terminal; the first
    // one checked is named.
    TCommandResult result = Run("< /dev/null");
    EXPECT_EQ(result.ExitCode, 1);
    // Standard error (in the same pipe) has the reason, and nothing else is written.
    EXPECT_EQ(result.Output,
              "KeyrixSyncVLHRM: The settings menu needs a terminal: standard input and output must be a terminal "
              "(standard input is not)\n");
    EXPECT_EQ(Events(), Lines{"KeyrixSyncVLHRM error: Unhandled exception!\\r\\nClass: ENoTerminal\\r\\n"
                              "Message: The settings menu needs a terminal: standard input and output must be a "
                              "terminal (standard input is not)"});
    EXPECT_FALSE(FileExists(Hive)) << "no settings written";
}

TEST_F(Executable, InstallAndUninstallTheUnit) {
    const std::string unit = UnitDir + "/KeyrixSyncVLRM.service";
    TCommandResult installed = Run("/INSTALL");
    EXPECT_EQ(installed.ExitCode, 0) << installed.Output;
    EXPECT_NE(installed.Output.find("Service installed successfully\r\n"), std::string::npos) << installed.Output;
    ASSERT_TRUE(FileExists(unit));
    EXPECT_NE(ReadFile(unit).find("ExecStart=" + Binary + " /SVC"), std::string::npos) << ReadFile(unit);
    EXPECT_NE(ReadFile(Hive).find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Keyrix\\KeyrixSyncVLRM]"),
              std::string::npos);

    TCommandResult again = Run("/INSTALL /SILENT");
    EXPECT_EQ(again.ExitCode, 1);
    EXPECT_EQ(again.Output, "");

    TCommandResult removed = Run("/UNINSTALL");
    EXPECT_EQ(removed.ExitCode, 0);
    EXPECT_NE(removed.Output.find("Service uninstalled successfully\r\n"), std::string::npos);
    EXPECT_FALSE(FileExists(unit));
    EXPECT_EQ(ReadFile(Hive).find("EventLog\\Keyrix"), std::string::npos) << "the log went with its last source";
}

TEST_F(Executable, InstallNeedsRoot) {
    std::filesystem::permissions(WorkDir.Path(), std::filesystem::perms::all);
    std::filesystem::permissions(InstallDir.Path(), std::filesystem::perms::owner_all |
                                                        std::filesystem::perms::group_exec |
                                                        std::filesystem::perms::others_exec);
    const std::string asNobody = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
    TCommandResult result = Run("/INSTALL", asNobody);
    EXPECT_EQ(result.ExitCode, 2) << result.Output;
    EXPECT_NE(result.Output.find("Need administrator privileges for service install/uninstall!"), std::string::npos);
    EXPECT_FALSE(FileExists(UnitDir + "/KeyrixSyncVLRM.service"));
    EXPECT_EQ(Run("/INSTALL /SILENT", asNobody).Output, "") << "silent: the exit code is the only result";
}

TEST_F(Executable, ArgumentsThatSelectNoModeDoNothing) {
    TCommandResult result = Run("report.txt /debugx");
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Output, "");
    EXPECT_FALSE(FileExists(LogFile));
    EXPECT_FALSE(FileExists(EventLog));
}

TEST_F(Executable, SettingsThatCannotBeLoadedStopTheProcess) {
    struct Case {
        std::string hive, message;
    };
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM";
    const Case cases[] = {
        {header + key + "]\r\n\"Version\"=dword:00000001\r\n" + key + "\\Database]\r\n\"Port number\"=\"3050\"\r\n",
         "ERegistryException: Invalid data type for 'Port number'"},
        {header + key + "]\r\n\"Version\"=dword:00000001\r\n\"broken\r\n", "\", line 5: "},
        // Numbers out of the menu's bounds are refused as they are loaded, not used.
        {header + key + "]\r\n\"Version\"=dword:00000001\r\n" + key + "\\Database]\r\n\"Port number\"=dword:00011170\r\n",
         "ERegistryException: Invalid value 70000 for 'Port number' in "
         "\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM\\Database of \""},
        {header + key + "]\r\n\"Version\"=dword:00000001\r\n" + key + "\\Server]\r\n\"Port\"=dword:00000000\r\n",
         "ERegistryException: Invalid value 0 for 'Port' in "
         "\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM\\Server of \""},
    };
    for (const Case& c : cases) {
        WriteFile(Hive, c.hive);
        TCommandResult result = Run("/SVC /DEBUG");
        EXPECT_EQ(result.ExitCode, 1);
        EXPECT_NE(result.Output.find(c.message), std::string::npos) << result.Output;
        if (c.message.find("Invalid value") != std::string::npos) {
            EXPECT_NE(result.Output.find("registry.reg\": expected 1 to 65535"), std::string::npos) << result.Output;
        }
        EXPECT_EQ(ReadFile(Hive), c.hive) << "the hive is never rewritten";
        EXPECT_FALSE(FileExists(LogFile)) << "no run was started";
    }
    EXPECT_NE(Run("/SVC /DEBUG").Output.find("registry.reg"), std::string::npos) << "the message names the file";
}

TEST_F(Executable, DebugRunImportsTheFeedAndKeepsACopyBesideTheExecutable) {
    TTestDatabase database;
    const std::string feed = OneEmployeeFeed;
    THttpsTestServer server([&](const THttpRequest& request) {
        THttpResponse response;
        if (request.Header("Authorization") != "Basic aHJtOnNlY3JldA==") {  // hrm:secret
            response.Status = 401;
            response.Reason = "Unauthorized";
            response.Headers = {"WWW-Authenticate: Basic realm=\"hrm\""};
        } else {
            response.Body = feed;
        }
        return response;
    });
    WriteDatabaseHive(database, "", "",
                      "\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=\"" + server.Url() +
                          "\"\r\n\"Username\"=\"hrm\"\r\n\"Password\"=\"secret\"\r\n");
    TCommandResult result = Run("/SVC /DEBUG");
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_NE(result.Output.find("Added records: 1\r\n"), std::string::npos) << result.Output;
    EXPECT_NE(result.Output.find("HTTP response code: 200\r\n"), std::string::npos) << result.Output;
    EXPECT_EQ(ReadFile(InstallDir.File("GetBrakonData.xml")), feed) << "the body byte for byte";
    const std::string users = database.Isql("SELECT EMPLOYEE_NUMBER, USR_HRM_SYNC FROM USERS WHERE CLASS <> 'GROUP';");
    EXPECT_NE(users.find("E1"), std::string::npos) << users;
    EXPECT_EQ(Events().back(), "KeyrixSyncVLRM information: Keyrix sync server finished!");
}

// Both imports in one debug run: the feed's employees become users, those of the
// card-holder file get their account and card, and one commit keeps it all.
TEST_F(Executable, DebugRunImportsTheFeedAndTheCardHolderFile) {
    TTestDatabase database;
    std::string feed = "<?xml version=\"1.0\"?><ArrayOfBrakonData>";
    for (const char* number : {"000101", "000102", "000103"})
        feed += std::string("<BrakonData><EmployeeID>") + number +
                "</EmployeeID><FirstName>Ann</FirstName><LastName>Lee</LastName><Email/><Phone/>"
                "<PositionTitle>Clerk</PositionTitle><Department/><CompanyId>1</CompanyId><CompanyName>Acme"
                "</CompanyName><SiteName>North</SiteName><SiteId>10</SiteId></BrakonData>";
    feed += "</ArrayOfBrakonData>";
    THttpsTestServer server([&](const THttpRequest&) {
        THttpResponse response;
        response.Body = feed;
        return response;
    });
    auto holder = [](const char* id, const char* auid, const char* pin, const char* site, const char* card) {
        return std::string("<Employee ID=\"") + id + "\"><AUId>" + auid + "</AUId><Name/><Dept/><PIN1>" + pin +
               "</PIN1><a/><b/><c/><d/><SiteCode>" + site + "</SiteCode><CardNr>" + card + "</CardNr></Employee>";
    };
    const std::string cards = WorkDir.File("cards.xml");
    WriteFile(cards, "<?xml version=\"1.0\"?>\n<Employees>" + holder("101", "1", "1234", "1", "101") +
                         holder("102", "2", "65535", "0", "102") + holder("999", "3", "1", "1", "999") +
                         "</Employees>\n");
    WriteDatabaseHive(database, "\"Log messages to file\"=dword:00000001\r\n", "",
                      "\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=\"" + server.Url() + "\"\r\n", 0, "",
                      "\"Import enabled\"=dword:00000001\r\n\"Data source file\"=\"" + cards + "\"\r\n");
    TCommandResult result = Run("/SVC /DEBUG");
    EXPECT_EQ(result.ExitCode, 0);
    const Lines counters = {"Processed records: 3",          "Updated records: 0",
                            "Updated records (soyal): 0",    "Added records: 2",
                            "Added records (soyal): 2",      "Associated existing cards (soyal): 0"};
    for (const Lines& lines : {SplitCrLf(result.Output), ReadCrLfLines(LogFile)}) {
        SCOPED_TRACE(::testing::PrintToString(lines));
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Added records: 3"), lines.end()) << "the HRM import's";
        const auto took = std::find_if(lines.begin(), lines.end(),
                                       [](const std::string& l) { return l.rfind("BK import took: ", 0) == 0; });
        ASSERT_GE(std::distance(took, lines.end()), 7);
        EXPECT_EQ(Lines(took + 1, took + 7), counters);
    }
    const std::string rows = database.Isql(
        "SELECT U.EMPLOYEE_NUMBER || '/' || U.SYNC_ID || '/' || PA.CODE || '/' || AC.CARD_CODE || '/' || "
        "AC.CARD_NUMBER AS R FROM USERS U JOIN PARADOX_ACCOUNTS PA ON PA.USER_ID = U.ID "
        "JOIN ACCESS_CARDS AC ON AC.USERID = U.ID ORDER BY 1;");
    EXPECT_NE(rows.find("000101/1/1234/1234/100101"), std::string::npos) << rows;
    EXPECT_NE(rows.find("000102/2//9517/102"), std::string::npos) << rows;
    EXPECT_EQ(rows.find("000103"), std::string::npos) << rows;
    EXPECT_EQ(Events().back(), "KeyrixSyncVLRM information: Keyrix sync server finished!");
}

// Console output is best effort: output into a pipe whose reader has gone (a pipe into
// head) neither kills the run with SIGPIPE nor loses its pass.
TEST_F(Executable, OutputIntoAClosedPipeDoesNotEndTheRun) {
    TTestDatabase database;
    WriteDatabaseHive(database, "");
    const std::string statusFile = WorkDir.File("status");
    struct Case {
        const char* name;
        std::function<std::optional<int>()> run;  // answers the executable's exit status
    };
    const Case cases[] = {
        {"reader closed before the start",
         [&]() -> std::optional<int> {
             int fds[2];
             if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
             ::close(fds[0]);
             TOpenFd writer{fds[1]};
             TBackgroundRun run({Binary, "/SVC", "/DEBUG"}, Environment(), WorkDir.Path(), writer.Fd);
             const std::optional<int> status = run.Wait(120s);
             if (!status) return std::nullopt;
             EXPECT_TRUE(WIFEXITED(*status)) << DescribeStatus(*status);
             return WIFEXITED(*status) ? std::optional<int>(WEXITSTATUS(*status)) : std::nullopt;
         }},
        {"a pipe into head -n 1",
         [&]() -> std::optional<int> {
             const TCommandResult result =
                 RunCommand("cd '" + WorkDir.Path() + "' && { env -u NOTIFY_SOCKET KEYRIX_REGISTRY='" + Hive +
                            "' KEYRIX_EVENTLOG='" + EventLog + "' KEYRIX_SYSTEMD_DIR='" + UnitDir + "' KEYRIX_RUN_LOCK='" + RunLock + "' '" + Binary +
                            "' /SVC /DEBUG 2>&1; echo $? > '" + statusFile + "'; } | head -n 1");
             EXPECT_EQ(result.Output, "Application initalizing\r\n");
             if (!FileExists(statusFile)) return std::nullopt;
             return std::stoi(ReadFile(statusFile));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(LogFile);
        std::filesystem::remove(EventLog);
        const std::optional<int> status = c.run();
        ASSERT_TRUE(status.has_value()) << "the run did not end with an exit status";
        EXPECT_EQ(*status, 0) << "141 is death by SIGPIPE";
        const Lines log = ReadCrLfLines(LogFile);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().rfind("Sync finished at ", 0), 0u) << log.back();
        ASSERT_FALSE(Events().empty());
        EXPECT_EQ(Events().back(), "KeyrixSyncVLRM information: Keyrix sync server finished!");
    }
}

// In a debug run SIGTERM is a stop request like Ctrl+C, and so is every later signal: each
// is announced at once, the pass runs to its end, and the process ends normally.
TEST_F(Executable, SignalsDuringADebugRunAreStopRequestsHandledAfterThePass) {
    TTestDatabase database;
    const std::string feed = OneEmployeeFeed;
    // The feed server holds each answer until the test lets it go, so the run is in the
    // middle of its pass while the signals arrive.
    std::mutex lock;
    std::condition_variable changed;
    int arrived = 0, released = 0;
    THttpsTestServer server([&](const THttpRequest&) {
        std::unique_lock guard(lock);
        const int number = ++arrived;
        changed.notify_all();
        changed.wait_for(guard, 60s, [&] { return released >= number; });
        THttpResponse response;
        response.Body = feed;
        return response;
    });
    keyrix::TScopeGuard releaseAll([&] {
        std::lock_guard guard(lock);
        released = 1000;
        changed.notify_all();
    });
    WriteDatabaseHive(database, "", "",
                      "\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=\"" + server.Url() + "\"\r\n");
    const std::string outputFile = WorkDir.File("output.txt");
    auto announcements = [&] {
        const std::string output = ReadFile(outputFile);
        int count = 0;
        for (auto at = output.find("Close request received - shutting down"); at != std::string::npos;
             at = output.find("Close request received - shutting down", at + 1))
            ++count;
        return count;
    };

    struct Case {
        const char* name;
        std::vector<int> signals;
    };
    const Case cases[] = {
        {"SIGTERM", {SIGTERM}},
        {"Ctrl+C, then SIGTERM", {SIGINT, SIGTERM}},
        {"SIGTERM, Ctrl+C, SIGTERM", {SIGTERM, SIGINT, SIGTERM}},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++round;
        std::filesystem::remove(LogFile);
        std::filesystem::remove(EventLog);
        TOpenFd output{::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
        ASSERT_GE(output.Fd, 0);
        TBackgroundRun run({Binary, "/SVC", "/DEBUG"}, Environment(), WorkDir.Path(), output.Fd);
        {
            std::unique_lock guard(lock);
            ASSERT_TRUE(changed.wait_for(guard, 60s, [&] { return arrived >= round; }))
                << "the run never asked for the feed: " << ReadFile(outputFile);
        }
        for (std::size_t i = 0; i < c.signals.size(); ++i) {
            ::kill(run.Pid(), c.signals[i]);
            EXPECT_TRUE(WaitUntil([&] { return announcements() >= static_cast<int>(i) + 1; }, 10s))
                << "signal " << i + 1 << " (" << ::strsignal(c.signals[i]) << ") was not taken";
            EXPECT_FALSE(run.Wait(0ms).has_value()) << "the pass is not cut short";
        }
        {
            std::lock_guard guard(lock);
            released = round;
            changed.notify_all();
        }
        const std::optional<int> status = run.Wait(120s);
        ASSERT_TRUE(status.has_value()) << "the run did not end";
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << DescribeStatus(*status);
        const std::string text = ReadFile(outputFile);
        EXPECT_NE(text.find("HTTP response code: 200\r\n"), std::string::npos) << text;
        EXPECT_EQ(announcements(), static_cast<int>(c.signals.size())) << text;
        const Lines log = ReadCrLfLines(LogFile);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().rfind("Sync finished at ", 0), 0u) << log.back();
        const Lines events = Events();
        EXPECT_NE(std::find(events.begin(), events.end(),
                            "KeyrixSyncVLRM information: Keyrix Sync Client (VLHRM) stopping!"),
                  events.end())
            << text;
        EXPECT_NE(std::find(events.begin(), events.end(),
                            "KeyrixSyncVLRM information: Keyrix sync server finished!"),
                  events.end())
            << text;
    }
}

// The modes that take no signals (the settings menu, a silent install) leave SIGINT and
// SIGTERM at their default actions: either ends the process at once. The process is held
// in a write to its event log, a FIFO whose buffer the test has filled.
TEST_F(Executable, ModesWithoutASignalThreadKeepTheDefaultActions) {
    struct Case {
        const char* arguments;
        int signal;
    };
    std::vector<Case> cases = {{"", SIGTERM}, {"", SIGINT}};
    // A silent install as root writes its "installed!" entry; without root it ends at once.
    if (::geteuid() == 0) cases.push_back({"/INSTALL /SILENT", SIGTERM});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("arguments \"") + c.arguments + "\", " + ::strsignal(c.signal));
        std::filesystem::remove(EventLog);
        std::filesystem::remove_all(UnitDir);
        std::filesystem::create_directory(UnitDir);
        ASSERT_EQ(::mkfifo(EventLog.c_str(), 0644), 0);
        TOpenFd reader{::open(EventLog.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
        TOpenFd filler{::open(EventLog.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)};
        ASSERT_GE(reader.Fd, 0);
        ASSERT_GE(filler.Fd, 0);
        const std::string block(4096, 'x');
        while (::write(filler.Fd, block.data(), block.size()) > 0) {
        }
        TOpenFd output{::open(WorkDir.File("output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
        std::vector<std::string> arguments = {Binary};
        std::istringstream words(c.arguments);
        for (std::string word; words >> word;) arguments.push_back(word);
        TBackgroundRun run(arguments, Environment(), WorkDir.Path(), output.Fd);
        ASSERT_TRUE(WaitUntil([&] { return run.HasOpen(EventLog); }, 30s))
            << "the process never reached its event log: " << ReadFile(WorkDir.File("output.txt"));
        ::kill(run.Pid(), c.signal);
        std::optional<int> status = run.Wait(10s);
        if (!status) {
            // Let it finish its entry, to see how it ends.
            std::string drained(1 << 20, '\0');
            WaitUntil(
                [&] { return ::read(reader.Fd, drained.data(), drained.size()) <= 0 && run.Wait(0ms).has_value(); },
                10s);
            status = run.Wait(10s);
        }
        ASSERT_TRUE(status.has_value()) << "the process did not end";
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == c.signal)
            << DescribeStatus(*status) << ": the signal was held";
    }
}

TEST_F(Executable, SecondRunAtTheSameTimeDoesNoDatabaseWork) {
    TTestDatabase database;
    std::string feed = "<?xml version=\"1.0\"?><ArrayOfBrakonData>";
    for (const char* name : {"Ann", "Bea", "Cid", "Dan", "Eve"})
        feed += fmt::format(
            "<BrakonData><EmployeeID>E{0}</EmployeeID><FirstName>{0}</FirstName><LastName>Lee</LastName><Email/>"
            "<Phone/><PositionTitle>Clerk</PositionTitle><Department/><CompanyId>1</CompanyId>"
            "<CompanyName>Acme</CompanyName><SiteName>North</SiteName><SiteId>10</SiteId></BrakonData>",
            name);
    feed += "</ArrayOfBrakonData>";
    // The first request is held until the second process has ended, so the two runs overlap
    // for certain; every wait is bounded, so a run that is not refused cannot hang the test.
    std::mutex lock;
    std::condition_variable changed;
    bool firstHeld = false, secondEnded = false;
    THttpsTestServer server([&](const THttpRequest&) {
        std::unique_lock guard(lock);
        if (!firstHeld) {
            firstHeld = true;
            changed.notify_all();
            changed.wait_for(guard, std::chrono::seconds(30), [&] { return secondEnded; });
        }
        THttpResponse response;
        response.Body = feed;
        return response;
    });
    WriteDatabaseHive(database, "", "", "\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=\"" + server.Url() + "\"\r\n");

    TCommandResult first;
    std::thread firstRun([&] { first = Run("/SVC /DEBUG", "timeout 90"); });
    std::string holder, holderBinary;
    {
        std::unique_lock guard(lock);
        if (changed.wait_for(guard, std::chrono::seconds(60), [&] { return firstHeld; })) {
            holder = ReadFile(RunLock);
            if (!holder.empty() && holder.back() == '\n') {
                holder.pop_back();
                std::error_code error;
                holderBinary = std::filesystem::read_symlink("/proc/" + holder + "/exe", error).string();
            }
        }
    }
    TCommandResult second = Run("/SVC /DEBUG", "timeout 60");
    {
        std::lock_guard guard(lock);
        secondEnded = true;
        changed.notify_all();
    }
    firstRun.join();

    EXPECT_FALSE(holder.empty()) << "the first run reached the feed holding the lock\n" << first.Output;
    EXPECT_EQ(holderBinary, Binary) << "the lock file names the running holder, process " << holder;

    EXPECT_EQ(first.ExitCode, 0);
    EXPECT_NE(first.Output.find("Added records: 5\r\n"), std::string::npos) << first.Output;
    EXPECT_EQ(second.ExitCode, 0) << "a refused run ends normally\n" << second.Output;
    const std::string warning =
        "Sync skipped: another process holds the run lock file \"" + RunLock + "\" (the file names process " + holder + ")";
    EXPECT_NE(second.Output.find("LogMessage: " + warning + "\r\n"), std::string::npos) << second.Output;
    EXPECT_EQ(second.Output.find("Keyrix sync server started!"), std::string::npos) << second.Output;
    const Lines events = Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "KeyrixSyncVLRM warning: " + warning), 1)
        << ::testing::PrintToString(events);
    EXPECT_EQ(std::count(events.begin(), events.end(), "KeyrixSyncVLRM information: Keyrix sync server started!"), 1)
        << ::testing::PrintToString(events);
    EXPECT_EQ(ReadCrLfLines(LogFile).size(), 2u) << "one run's start and finish lines, none of the refused run";
    const std::string eventFile = ReadFile(EventLog);
    std::size_t summaries = 0;
    for (auto at = eventFile.find("\tKEYRIX_OUTCOME="); at != std::string::npos;
         at = eventFile.find("\tKEYRIX_OUTCOME=", at + 1))
        ++summaries;
    EXPECT_EQ(summaries, 1u) << "the refused run is no run: no summary of its own\n" << eventFile;
    EXPECT_EQ(server.Requests().size(), 1u) << "the refused run did not download";

    const std::string users = database.Isql(
        "SELECT 'users=' || COUNT(*) FROM USERS WHERE CLASS <> 'GROUP';"
        "SELECT 'twice=' || COUNT(*) FROM (SELECT EMPLOYEE_NUMBER FROM USERS WHERE CLASS <> 'GROUP' "
        "GROUP BY EMPLOYEE_NUMBER HAVING COUNT(*) > 1);");
    EXPECT_NE(users.find("users=5"), std::string::npos) << users;
    EXPECT_NE(users.find("twice=0"), std::string::npos) << "no employee number twice: " << users;
    EXPECT_EQ(ReadFile(RunLock), "") << "the lock file names no holder once the run is over";
}

TEST_F(Executable, HiveThatIsNoRegularFileOrCannotBeReadStopsTheProcess) {
    std::filesystem::permissions(WorkDir.Path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                     std::filesystem::perms::others_exec);
    std::filesystem::permissions(InstallDir.Path(), std::filesystem::perms::owner_all |
                                                        std::filesystem::perms::group_exec |
                                                        std::filesystem::perms::others_exec);
    ASSERT_EQ(::mkfifo(WorkDir.File("fifo.reg").c_str(), 0600), 0);
    std::filesystem::create_directory(WorkDir.File("folder.reg"));
    const std::string unreadable = WorkDir.File("private.reg");
    WriteFile(unreadable, "Windows Registry Editor Version 5.00\r\n\r\n");
    std::filesystem::permissions(unreadable, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    struct Case {
        std::string hive, arguments, prefix, message;
    };
    std::vector<Case> cases = {
        {"fifo.reg", "/SVC /DEBUG", "", "is a FIFO, not a regular file"},
        {"fifo.reg", "/INSTALL", "", "is a FIFO, not a regular file"},
        {"folder.reg", "/SVC /DEBUG", "", "is a directory, not a regular file"},
    };
    if (::geteuid() == 0) {
        // A device node of the test's own, never /dev/null itself.
        ASSERT_EQ(::mknod(WorkDir.File("device.reg").c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
        cases.push_back({"device.reg", "/INSTALL", "", "is a character device, not a regular file"});
        // Root reads anything: the 0600 file is read by an ordinary account.
        cases.push_back({"private.reg", "/SVC /DEBUG", "setpriv --reuid=65534 --regid=65534 --clear-groups",
                         "Cannot read registry file \"" + unreadable + "\". Permission denied"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hive + " " + c.arguments);
        Hive = WorkDir.File(c.hive);
        struct stat before;
        ASSERT_EQ(::stat(Hive.c_str(), &before), 0);
        // Bounded: the fault was a start that waited on the FIFO for ever.
        TCommandResult result = Run(c.arguments, "timeout 30 " + c.prefix);
        EXPECT_EQ(result.ExitCode, 1) << result.Output;
        if (c.message.starts_with("Cannot"))
            EXPECT_NE(result.Output.find("EHiveFileError: " + c.message), std::string::npos) << result.Output;
        else
            EXPECT_NE(result.Output.find("EHiveFileError: Registry file \"" + Hive + "\" " + c.message), std::string::npos)
                << result.Output;
        struct stat after;
        ASSERT_EQ(::stat(Hive.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << "the node was left as it was";
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_FALSE(FileExists(Hive + ".lock"));
        EXPECT_FALSE(FileExists(UnitDir + "/KeyrixSyncVLRM.service")) << "nothing was installed";
        EXPECT_FALSE(FileExists(LogFile)) << "no run was started";
    }
}

// The database path freezes in the middle of a debug run (the relay stops forwarding as the
// feed is served). The hive's call time-out of 2 seconds ends the wait: the run reports the
// time-out and finishes normally, and nothing is committed.
TEST_F(Executable, FrozenDatabasePathEndsAtTheCallTimeOutFromTheHive) {
    TTestDatabase database;
    TTcpRelay relay("127.0.0.1", std::stoi(TFbServer::Get().Port));
    THttpsTestServer server([&](const THttpRequest&) {
        relay.Pause(std::chrono::seconds(20));
        THttpResponse response;
        response.Body =
            "<?xml version=\"1.0\"?><ArrayOfBrakonData><BrakonData><EmployeeID>E1</EmployeeID>"
            "<FirstName>Ann</FirstName><LastName>Lee</LastName></BrakonData></ArrayOfBrakonData>";
        return response;
    });
    WriteDatabaseHive(database, "\"Log messages to file\"=dword:00000001\r\n", "",
                      "\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=\"" + server.Url() + "\"\r\n",
                      relay.Port(), "\"Call time-out seconds\"=dword:00000002\r\n");
    const auto start = std::chrono::steady_clock::now();
    TCommandResult result = Run("/SVC /DEBUG", "timeout -s KILL 120");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.ExitCode, 0) << result.Output;
    EXPECT_LT(took, std::chrono::seconds(30));
    const std::string limit = "Database call did not return within 2 seconds (\"Database\" / \"Call time-out seconds\"); "
                              "the connection to 127.0.0.1/" + std::to_string(relay.Port()) + ":";
    EXPECT_NE(result.Output.find("ServiceRun exception: " + limit), std::string::npos) << result.Output;
    EXPECT_NE(ReadFile(LogFile).find("ServiceRun exception: " + limit), std::string::npos);
    const Lines events = Events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const std::string& e) {
        return e.rfind("KeyrixSyncVLRM error: Critical error on service work:\\r\\nEFirebirdError\\r\\n" + limit, 0) == 0;
    })) << testing::PrintToString(events);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "KeyrixSyncVLRM information: Keyrix sync server finished!");
    relay.CutAll();
    const std::string users = database.Isql("SELECT COUNT(*) FROM USERS WHERE CLASS <> 'GROUP';");
    EXPECT_NE(users.find(" 0"), std::string::npos) << users;
}


// Every run leaves one summary, whatever its outcome: one event-log line with the figures
// as fields (the plain entries unchanged around it), and the JSON file beside the log.
TEST_F(RunRecord, EveryRunEndsWithOneSummary) {
    struct Case {
        const char* outcome;
        const char* password;  // empty: the right one
        bool cardFile;         // false: the card-holder file is missing
        const char* added;     // the HRM import's "added" counter
        const char* type;      // of the event-log entry
    };
    const Case cases[] = {
        {"done", "", true, "3", "information"},
        {"failed-startup", "not-the-password", true, "0", "error"},
        {"failed-work", "", false, "3", "error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        TTestDatabase database;
        Feed = FeedOfNumbers({101, 102, 103});
        std::filesystem::remove(Cards);
        if (c.cardFile) WriteFile(Cards, CardsOfNumbers({101, 102}));
        WriteHive(database, true, true, "", c.password);
        std::filesystem::remove(EventLog);
        const TCommandResult result = Run("/SVC /DEBUG");
        EXPECT_EQ(result.ExitCode, 0) << result.Output;

        const std::vector<TFields> entries = SummaryEntries();
        ASSERT_EQ(entries.size(), 1u) << ReadFile(EventLog);
        TFields e = entries[0];
        EXPECT_EQ(e["SOURCE"], "KeyrixSyncVLRM");
        EXPECT_EQ(e["TYPE"], c.type);
        EXPECT_EQ(e["KEYRIX_OUTCOME"], c.outcome);
        EXPECT_EQ(e["MESSAGE"].rfind(std::string("Sync summary: ") + c.outcome + " in ", 0), 0u) << e["MESSAGE"];
        EXPECT_EQ(e["KEYRIX_DRY_RUN"], "0");
        EXPECT_EQ(e["KEYRIX_ADDED"], c.added);
        EXPECT_EQ(Jq(".outcome"), std::string("\"") + c.outcome + "\"");
        EXPECT_EQ(Jq(".hrm.added"), c.added);
        EXPECT_EQ(Jq(".dryRun"), "false");
        const bool done = std::string(c.outcome) == "done";
        EXPECT_EQ(Jq(".committed"), done ? "true" : "false");
        EXPECT_EQ(e["KEYRIX_COMMITTED"], done ? "1" : "0");
        EXPECT_EQ(Jq(".phasesMs.startUp | type"), "\"number\"");
        EXPECT_EQ(Jq(".phasesMs.shutDown | type"), "\"number\"");
        struct stat st {};
        ASSERT_EQ(::stat(SummaryFile.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        // The plain entries are those of a run without the summary.
        EXPECT_EQ(Events().back(), "KeyrixSyncVLRM information: Keyrix sync server finished!");
        if (std::string(c.outcome) == "done") {
            EXPECT_EQ(e.count("KEYRIX_ERROR_CLASS"), 0u);
            EXPECT_EQ(Jq(".errorClass"), "null");
            EXPECT_EQ(e["KEYRIX_FEED_BYTES"], std::to_string(Feed.size()));
            EXPECT_EQ(Jq(".feedBytes"), std::to_string(Feed.size()));
            EXPECT_EQ(e["KEYRIX_BK_PROCESSED"], "2");
            EXPECT_EQ(e["KEYRIX_BK_ADDED"], "2");
            EXPECT_EQ(Jq(".cardHolders.addedSoyal"), "2");
            EXPECT_EQ(Jq("[.phasesMs.download, .phasesMs.hrmImport, .phasesMs.cardHolderImport] | map(type)"),
                      "[\"number\",\"number\",\"number\"]");
        } else {
            EXPECT_FALSE(e["KEYRIX_ERROR_CLASS"].empty());
            EXPECT_EQ(Jq(".errorClass"), "\"" + e["KEYRIX_ERROR_CLASS"] + "\"");
            EXPECT_EQ(Jq(".errorMessage | length > 0"), "true");
        }
        if (std::string(c.outcome) == "failed-startup") {
            EXPECT_EQ(e["KEYRIX_ERROR_CLASS"], "EDisplayError");
            EXPECT_EQ(Jq(".phasesMs.hrmImport"), "null") << "no pass was made";
        }
        if (std::string(c.outcome) == "failed-work") {
            EXPECT_NE(e["KEYRIX_ERROR_MESSAGE"].find(Cards), std::string::npos) << e["KEYRIX_ERROR_MESSAGE"];
        }
    }
}

// A dry run leaves every table as it was, audit events included, and reports what the
// real run then does, kind by kind, with the same employee numbers.
TEST_F(RunRecord, DryRunChangesNothingAndReportsWhatTheRealRunDoes) {
    TTestDatabase database;
    Feed = FeedOfNumbers({101, 102, 103, 104});
    WriteFile(Cards, CardsOfNumbers({101, 102, 103}));
    WriteHive(database, true, true);
    ASSERT_EQ(Run("/SVC /DEBUG").ExitCode, 0);
    ASSERT_EQ(Jq(".outcome"), "\"done\"");

    // 102 renamed, 103 left, 105 joins, 106 is refused by the server; 102's PIN changes,
    // 103 leaves the card-holder file, 104 and 105 enter it.
    const std::string refuse = database.Isql(
        "CREATE EXCEPTION TEST_REFUSED 'refused';\nSET TERM ^;\nCREATE TRIGGER TEST_REFUSE_106 FOR USERS BEFORE "
        "INSERT AS BEGIN IF (NEW.EMPLOYEE_NUMBER = '000106') THEN EXCEPTION TEST_REFUSED; END^\nSET TERM ;^\n"
        "COMMIT;\n");
    ASSERT_EQ(refuse.find("failed"), std::string::npos) << refuse;
    Feed = FeedOfNumbers({101, 102, 103, 104, 105, 106}, {103}, {{102, "Lee-Smith"}});
    WriteFile(Cards, CardsOfNumbers({101, 102, 104, 105}, {{102, "4321"}}));
    const std::string before = Snapshot(database);
    ASSERT_NE(before.find("000104"), std::string::npos) << before;
    // Generators are outside transactions: the ids the rolled-back inserts drew (users, keypad
    // accounts, access cards) stay drawn.
    const char* const generators[] = {"GEN_USERS_ID", "GEN_PARADOX_ACCOUNTS_ID", "GEN_ACCESS_CARDS_ID"};
    const auto drawn = [&database, &generators] {
        std::vector<std::string> values;
        for (const char* name : generators)
            values.push_back(database.Isql("SELECT 'N=' || GEN_ID(" + std::string(name) + ", 0) FROM RDB$DATABASE;\n"));
        return values;
    };
    const std::vector<std::string> drawnBefore = drawn();
    const TCommandResult dry = Run("/SVC /DEBUG -dryrun");
    EXPECT_EQ(dry.ExitCode, 0);
    EXPECT_EQ(Snapshot(database), before) << dry.Output;
    const std::vector<std::string> drawnAfter = drawn();
    for (std::size_t i = 0; i < drawnAfter.size(); ++i) {
        EXPECT_NE(drawnBefore[i].find("N="), std::string::npos) << drawnBefore[i];
        EXPECT_NE(drawnAfter[i], drawnBefore[i]) << generators[i] << " advanced";
    }
    const std::string report = Jq(".changes");
    EXPECT_EQ(report,
              "{\"usersAdded\":{\"count\":1,\"first\":[\"000105\"]},"
              "\"usersUpdated\":{\"count\":2,\"first\":[\"000102\",\"000103\"]},"
              "\"usersMarkedDeleted\":{\"count\":1,\"first\":[\"000103\"]},"
              "\"usersLinked\":{\"count\":2,\"first\":[\"000104\",\"000105\"]},"
              "\"usersUnlinked\":{\"count\":1,\"first\":[\"000103\"]},"
              "\"accountsAdded\":{\"count\":2,\"first\":[\"000104\",\"000105\"]},"
              "\"accountsUpdated\":{\"count\":1,\"first\":[\"000102\"]},"
              "\"cardsAdded\":{\"count\":2,\"first\":[\"000104\",\"000105\"]},"
              "\"cardsUpdated\":{\"count\":1,\"first\":[\"000102\"]}}");
    EXPECT_EQ(Jq("[.dryRun, .outcome, .committed, .auditEventsSkipped]"), "[true,\"done\",false,1]");
    const Lines output = SplitCrLf(dry.Output);
    for (const char* line : {"Dry run: 1 users added: 000105", "Dry run: 1 users marked deleted: 000103",
                             "Dry run: 2 access cards added: 000104, 000105"})
        EXPECT_NE(std::find(output.begin(), output.end(), line), output.end()) << line << "\n" << dry.Output;
    EXPECT_NE(dry.Output.find("Dry run: audit event 11 not recorded: Sync trouble (HRM); Employee: 000106"),
              std::string::npos)
        << dry.Output;
    const Lines events = Events();
    EXPECT_NE(std::find(events.begin(), events.end(),
                        "KeyrixSyncVLRM information: Dry run: the pass was rolled back; nothing was written to the "
                        "database"),
              events.end());
    ASSERT_FALSE(SummaryEntries().empty());
    EXPECT_EQ(SummaryEntries().back()["KEYRIX_DRY_RUN"], "1");
    EXPECT_EQ(SummaryEntries().back()["MESSAGE"].rfind("Sync summary (dry run): done", 0), 0u);

    // The real run, with both guards at 100%: at the limit a pass goes through, and the
    // shares are measured as in the dry run.
    WriteHive(database, true, true,
              "\"Maximum leavers percent\"=dword:00000064\r\n\"Maximum unlinks percent\"=dword:00000064\r\n");
    const TCommandResult real = Run("/SVC /DEBUG");
    EXPECT_EQ(real.ExitCode, 0);
    EXPECT_EQ(Jq("[.dryRun, .outcome]"), "[false,\"done\"]") << real.Output;
    EXPECT_EQ(Jq(".changes"), report);
    EXPECT_NE(Snapshot(database), before);
    EXPECT_EQ(AuditEvents(database, "Sync trouble (HRM)"), 1) << "the real run records its audit event";
}

// The guard at its limit lets the pass through; one user past it, the pass is rolled back,
// with an event-log error and an audit event giving the figures and the limit.
TEST_F(RunRecord, GuardAtItsLimitPassesAndOnePastRollsBack) {
    const char* const leavers50 = "\"Maximum leavers percent\"=dword:00000032\r\n";
    const char* const unlinks25 = "\"Maximum unlinks percent\"=dword:00000019\r\n";
    const std::string leaversError =
        "the pass would mark 3 of 4 active HRM-managed users deleted, more than the limit of 50% "
        "(\"Safety\"/\"Maximum leavers percent\"); the pass was rolled back";
    struct Case {
        const char* what;
        std::vector<int> leavers;                // of 101 ... 104, in the second run's feed
        std::optional<std::vector<int>> cards;  // the second run's card-holder file; none: import off
        const char* safety;
        bool dry;
        const char* outcome;
        std::string error;  // the event-log error's text after "Mass-change guard: "
    };
    const Case cases[] = {
        {"2 of 4 leavers at 50%", {101, 102}, std::nullopt, leavers50, false, "done", ""},
        {"3 of 4 leavers at 50%", {101, 102, 103}, std::nullopt, leavers50, false, "guarded", leaversError},
        {"1 of 4 unlinked at 25%", {}, std::vector<int>{101, 102, 103}, unlinks25, false, "done", ""},
        {"2 of 4 unlinked at 25%", {}, std::vector<int>{101, 102}, unlinks25, false, "guarded",
         "the pass would unlink 2 of 4 linked users, more than the limit of 25% "
         "(\"Safety\"/\"Maximum unlinks percent\"); the pass was rolled back"},
        {"an empty card-holder file at 25%", {}, std::vector<int>{}, unlinks25, false, "guarded",
         "the pass would unlink 4 of 4 linked users, more than the limit of 25% "
         "(\"Safety\"/\"Maximum unlinks percent\"); the pass was rolled back"},
        {"3 of 4 leavers at 50% in a dry run", {101, 102, 103}, std::nullopt, leavers50, true, "guarded",
         leaversError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TTestDatabase database;
        Feed = FeedOfNumbers({101, 102, 103, 104});
        WriteFile(Cards, CardsOfNumbers({101, 102, 103, 104}));
        WriteHive(database, true, true);
        ASSERT_EQ(Run("/SVC /DEBUG").ExitCode, 0);

        Feed = FeedOfNumbers({101, 102, 103, 104}, c.leavers);
        WriteFile(Cards, CardsOfNumbers(c.cards.value_or(std::vector<int>{})));
        WriteHive(database, !c.cards, c.cards.has_value(), c.safety);
        std::filesystem::remove(EventLog);
        const std::string before = Snapshot(database);
        const TCommandResult result = Run(c.dry ? "/SVC /DEBUG /DRYRUN" : "/SVC /DEBUG");
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_EQ(Jq("[.outcome, .dryRun, .committed]"), std::string("[\"") + c.outcome + "\"," +
                                                             (c.dry ? "true" : "false") + "," +
                                                             (std::string(c.outcome) == "done" ? "true" : "false") + "]")
            << result.Output;
        ASSERT_EQ(SummaryEntries().size(), 1u);
        EXPECT_EQ(SummaryEntries()[0]["KEYRIX_OUTCOME"], c.outcome);
        const Lines events = Events();
        const bool guarded = std::string(c.outcome) == "guarded";
        if (guarded) {
            // The audit event, unless a dry run (which writes none).
            EXPECT_EQ(AuditEvents(database, "HRM sync guarded!"), c.dry ? 0 : 1);
            const std::string error = "KeyrixSyncVLRM error: Mass-change guard: " + c.error;
            EXPECT_NE(std::find(events.begin(), events.end(), error), events.end())
                << error << "\n" << ::testing::PrintToString(events);
            // Apart from the audit event, every table is as before.
            database.Isql("DELETE FROM TEST_AUDIT_EVENTS WHERE PARAM1 = 'HRM sync guarded!';\nCOMMIT;\n");
            EXPECT_EQ(Snapshot(database), before);
        } else {
            EXPECT_EQ(AuditEvents(database, "HRM sync guarded!"), 0);
            EXPECT_EQ(events.back(), "KeyrixSyncVLRM information: Keyrix sync server finished!");
            EXPECT_NE(Snapshot(database), before) << "the pass was committed";
        }
    }
}

// On a terminal each import draws its status line in place and erases it; redirected
// output and the log file hold nothing of it.
TEST_F(RunRecord, ProgressLineOnlyOnATerminal) {
    TTestDatabase database;
    Feed = FeedOfNumbers({101, 102, 103});
    WriteFile(Cards, CardsOfNumbers({101, 102}));
    WriteHive(database, true, true);

    // tmux gives the run a real terminal; the pane's raw output is copied to a file. The
    // run waits for a key until the copy is in place.
    const std::string socket = WorkDir.File("tmux.socket"), raw = WorkDir.File("raw.out");
    const std::string tmux = "tmux -S '" + socket + "' -f /dev/null ";
    const std::string command = "read go; cd '" + WorkDir.Path() + "' && env -u NOTIFY_SOCKET KEYRIX_REGISTRY='" +
                                Hive + "' KEYRIX_EVENTLOG='" + EventLog + "' KEYRIX_RUN_LOCK='" + RunLock + "' '" +
                                Binary + "' /SVC /DEBUG; echo RUN-ENDED; sleep 60";
    ASSERT_EQ(RunCommand(tmux + "new-session -d -x 100 -y 30 -s run \"sh -c \\\"" + command + "\\\"\" 2>&1").ExitCode, 0);
    keyrix::TScopeGuard stop([&] { RunCommand(tmux + "kill-server 2>/dev/null"); });
    ASSERT_EQ(RunCommand(tmux + "pipe-pane -t run 'cat >> \"" + raw + "\"' 2>&1").ExitCode, 0);
    ASSERT_EQ(RunCommand(tmux + "send-keys -t run Enter 2>&1").ExitCode, 0);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile(raw).find("RUN-ENDED") != std::string::npos; }, 60s))
        << ReadFile(raw);
    const std::string terminal = ReadFile(raw);
    for (const char* drawn : {"\rHRM import: 1 records, ", "\rCard-holder import: 1 of 2 records, ", "\r\x1b[K"})
        EXPECT_NE(terminal.find(drawn), std::string::npos) << drawn << "\n" << terminal;
    // Erased before the lines that follow each import, so no row of the screen keeps it.
    const std::string screen = RunCommand(tmux + "capture-pane -p -t run").Output;
    EXPECT_EQ(screen.find(" records, "), std::string::npos) << screen;
    EXPECT_NE(screen.find("Added records: 3"), std::string::npos) << screen;

    const TCommandResult redirected = Run("/SVC /DEBUG");
    EXPECT_EQ(redirected.ExitCode, 0);
    EXPECT_NE(redirected.Output.find("Processed records: 3"), std::string::npos) << redirected.Output;
    EXPECT_EQ(redirected.Output.find(" records, "), std::string::npos) << redirected.Output;
    EXPECT_EQ(redirected.Output.find('\x1b'), std::string::npos) << redirected.Output;
    EXPECT_EQ(ReadFile(LogFile).find(" records, "), std::string::npos);
}

// A run killed in the middle of its pass leaves "running" in the summary file, with its
// start: the last run's "done" is not left standing for a monitor to trust.
TEST_F(RunRecord, KilledRunLeavesRunningInTheSummary) {
    TTestDatabase database;
    Feed = FeedOfNumbers({101});
    WriteFile(Cards, CardsOfNumbers({101}));
    WriteHive(database, true, true);
    ASSERT_EQ(Run("/SVC /DEBUG").ExitCode, 0);
    ASSERT_EQ(Jq(".outcome"), "\"done\"");

    // The second run's feed request is held until the run has been killed.
    std::mutex lock;
    std::condition_variable changed;
    bool asked = false, released = false;
    THttpsTestServer held([&](const THttpRequest&) {
        std::unique_lock guard(lock);
        asked = true;
        changed.notify_all();
        changed.wait_for(guard, 60s, [&] { return released; });
        THttpResponse response;
        response.Body = Feed;
        return response;
    });
    keyrix::TScopeGuard release([&] {
        std::lock_guard guard(lock);
        released = true;
        changed.notify_all();
    });
    WriteDatabaseHive(database, "", "", "\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=\"" + held.Url() + "\"\r\n");
    const std::string outputFile = WorkDir.File("output.txt");
    TOpenFd output{::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    ASSERT_GE(output.Fd, 0);
    TBackgroundRun run({Binary, "/SVC", "/DEBUG"}, Environment(), WorkDir.Path(), output.Fd);
    {
        std::unique_lock guard(lock);
        ASSERT_TRUE(changed.wait_for(guard, 60s, [&] { return asked; })) << ReadFile(outputFile);
    }
    EXPECT_EQ(Jq("[.outcome, .end, (.start | type)]"), "[\"running\",null,\"string\"]");
    ::kill(run.Pid(), SIGKILL);
    const std::optional<int> status = run.Wait(30s);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFSIGNALED(*status)) << DescribeStatus(*status);
    EXPECT_EQ(Jq(".outcome"), "\"running\"") << "nothing else is written by a killed run";
}
