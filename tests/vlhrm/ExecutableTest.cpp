// The built executable, copied to a folder of its own and run as an administrator would.
#include "tests/TestSupport.h"
#include "tests/db/DbFixture.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TcpRelay.h"

#include <fmt/format.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>

using namespace keyrix::test;
using Lines = std::vector<std::string>;

namespace {

class Executable : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(KEYRIX_EXECUTABLE, Binary);
        std::filesystem::permissions(Binary, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_exec);
        std::filesystem::create_directory(UnitDir);
    }
    // Runs from another working directory, so that only the executable's own folder can
    // explain where the log file lands. The settings, the event log and the units go to
    // files of the test's own; no service manager is reachable.
    TCommandResult Run(const std::string& arguments, const std::string& prefix = "") {
        return RunCommand("cd '" + WorkDir.Path() + "' && env -u NOTIFY_SOCKET KEYRIX_REGISTRY='" + Hive +
                          "' KEYRIX_EVENTLOG='" + EventLog + "' KEYRIX_SYSTEMD_DIR='" + UnitDir + "' " + prefix +
                          " '" + Binary + "' " + arguments + " 2>&1");
    }
    static Lines SplitCrLf(const std::string& text) {
        Lines lines;
        std::string::size_type start = 0, end;
        while ((end = text.find("\r\n", start)) != std::string::npos) {
            lines.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return lines;
    }
    // The event-log entries: source, type and text of each line.
    Lines Events() const {
        Lines events;
        std::istringstream in(ReadFile(EventLog));
        std::string line;
        while (std::getline(in, line)) {
            std::vector<std::string> fields;
            std::string::size_type start = 0, tab;
            while ((tab = line.find('\t', start)) != std::string::npos) {
                fields.push_back(line.substr(start, tab - start));
                start = tab + 1;
            }
            fields.push_back(line.substr(start));
            if (fields.size() == 7) events.push_back(fields[2] + " " + fields[3] + ": " + fields[6]);
        }
        return events;
    }

    // Settings that point at the test database, with both imports switched off. A port
    // other than 0 replaces the server's (a relay in front of it); databaseExtra adds
    // values to the "Database" subkey.
    void WriteDatabaseHive(const TTestDatabase& database, const std::string& general,
                           const std::string& password = "",
                           const std::string& hrm = "\"Import enabled\"=dword:00000000\r\n", int port = 0,
                           const std::string& databaseExtra = "") {
        const TFbServer& server = TFbServer::Get();
        const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM";
        const std::string file = database.Path().substr(database.Path().find(':') + 1);
        auto quoted = [](const std::string& text) {
            std::string q;
            for (char c : text) q += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
            return "\"" + q + "\"";
        };
        WriteFile(Hive, "Windows Registry Editor Version 5.00\r\n\r\n" + key + "]\r\n\"Version\"=dword:00000001\r\n\r\n" +
                            key + "\\Database]\r\n\"Server address\"=" + quoted(server.Host) +
                            "\r\n\"Port number\"=dword:" + fmt::format("{:08x}", port != 0 ? port : std::stoi(server.Port)) +
                            "\r\n\"Database name\"=" + quoted(file) + "\r\n\"Username\"=" + quoted(server.User) +
                            "\r\n\"Password\"=" + quoted(password.empty() ? server.Password : password) +
                            "\r\n" + databaseExtra + "\r\n" + key + "\\General]\r\n" + general + "\r\n" + key +
                            "\\HRM]\r\n" + hrm + "\r\n" + key +
                            "\\BRAKON]\r\n\"Import enabled\"=dword:00000000\r\n\r\n");
    }

    TTempDir InstallDir, WorkDir;
    std::string Binary = InstallDir.File("KeyrixSyncVLHRM");
    std::string LogFile = InstallDir.File("VLHRMSync_log.txt");
    std::string Hive = WorkDir.File("registry.reg");
    std::string EventLog = WorkDir.File("events.log");
    std::string UnitDir = WorkDir.File("units");
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

TEST_F(Executable, ConfigModeWithoutTheMenuScreenFailsLoudly) {
    TCommandResult result = Run("");
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(Events(), Lines{"KeyrixSyncVLHRM error: Unhandled exception!\\r\\nClass: ENotAvailable\\r\\n"
                              "Message: The settings menu screen is not available in this build"});
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
    };
    for (const Case& c : cases) {
        WriteFile(Hive, c.hive);
        TCommandResult result = Run("/SVC /DEBUG");
        EXPECT_EQ(result.ExitCode, 1);
        EXPECT_NE(result.Output.find(c.message), std::string::npos) << result.Output;
        EXPECT_EQ(ReadFile(Hive), c.hive) << "the hive is never rewritten";
        EXPECT_FALSE(FileExists(LogFile)) << "no run was started";
    }
    EXPECT_NE(Run("/SVC /DEBUG").Output.find("registry.reg"), std::string::npos) << "the message names the file";
}

TEST_F(Executable, DebugRunImportsTheFeedAndKeepsACopyBesideTheExecutable) {
    TTestDatabase database;
    const std::string feed =
        "<?xml version=\"1.0\"?><ArrayOfBrakonData><BrakonData><EmployeeID>E1</EmployeeID>"
        "<FirstName>Ann</FirstName><LastName>Lee</LastName><Email/><Phone/><PositionTitle>Clerk</PositionTitle>"
        "<Department/><CompanyId>1</CompanyId><CompanyName>Acme</CompanyName><SiteName>North</SiteName>"
        "<SiteId>10</SiteId></BrakonData></ArrayOfBrakonData>";
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
