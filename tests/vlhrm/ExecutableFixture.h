// The built executable in a folder of its own, run as an administrator would: its settings,
// event log, unit folder and run lock in files of the test's own; and the fixture of the
// runs against the test database with the feed and the card-holder file of the test.
#pragma once

#include "tests/TestSupport.h"
#include "tests/db/DbFixture.h"
#include "tests/support/HttpsTestServer.h"

#include <fmt/format.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace keyrix::test {

using Lines = std::vector<std::string>;

// The tab-separated fields of an event-log file line.
inline std::vector<std::string> TabFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string::size_type start = 0, tab;
    while ((tab = line.find('\t', start)) != std::string::npos) {
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(line.substr(start));
    return fields;
}

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
    // files of the test's own (the run lock too: tests run side by side); no service
    // manager is reachable.
    TCommandResult Run(const std::string& arguments, const std::string& prefix = "") {
        return RunCommand("cd '" + WorkDir.Path() + "' && env -u NOTIFY_SOCKET KEYRIX_REGISTRY='" + Hive +
                          "' KEYRIX_EVENTLOG='" + EventLog + "' KEYRIX_SYSTEMD_DIR='" + UnitDir + "' KEYRIX_RUN_LOCK='" +
                          RunLock + "' " + prefix +
                          " '" + Binary + "' " + arguments + " 2>&1");
    }
    // The environment of Run, for a process started in the background.
    std::vector<std::string> Environment() const {
        std::vector<std::string> environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            bool replaced = false;
            for (const char* name :
                 {"NOTIFY_SOCKET=", "KEYRIX_REGISTRY=", "KEYRIX_EVENTLOG=", "KEYRIX_SYSTEMD_DIR=", "KEYRIX_RUN_LOCK="})
                replaced = replaced || entry.rfind(name, 0) == 0;
            if (replaced) continue;
            environment.push_back(entry);
        }
        environment.push_back("KEYRIX_REGISTRY=" + Hive);
        environment.push_back("KEYRIX_EVENTLOG=" + EventLog);
        environment.push_back("KEYRIX_SYSTEMD_DIR=" + UnitDir);
        environment.push_back("KEYRIX_RUN_LOCK=" + RunLock);
        return environment;
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
            const std::vector<std::string> fields = TabFields(line);
            if (fields.size() == 7) events.push_back(fields[2] + " " + fields[3] + ": " + fields[6]);
        }
        return events;
    }

    // Settings that point at the test database, with both imports switched off. A port
    // other than 0 replaces the server's (a relay in front of it); databaseExtra adds
    // values to the "Database" subkey; brakon holds the card-holder import's values.
    void WriteDatabaseHive(const TTestDatabase& database, const std::string& general,
                           const std::string& password = "",
                           const std::string& hrm = "\"Import enabled\"=dword:00000000\r\n", int port = 0,
                           const std::string& databaseExtra = "",
                           const std::string& brakon = "\"Import enabled\"=dword:00000000\r\n") {
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
                            "\\BRAKON]\r\n" + brakon + "\r\n");
    }

    TTempDir InstallDir, WorkDir;
    std::string Binary = InstallDir.File("KeyrixSyncVLHRM");
    std::string LogFile = InstallDir.File("VLHRMSync_log.txt");
    std::string Hive = WorkDir.File("registry.reg");
    std::string EventLog = WorkDir.File("events.log");
    std::string UnitDir = WorkDir.File("units");
    std::string RunLock = WorkDir.File("KeyrixSyncVLRM.lock");
};


using TFields = std::map<std::string, std::string>;

inline std::string PaddedNumber(int number) { return fmt::format("{:06d}", number); }

// A feed of the employees 000101 ... with the given numbers; those in leavers left in 2020.
inline std::string FeedOfNumbers(const std::vector<int>& numbers, const std::vector<int>& leavers = {},
                          const std::map<int, std::string>& lastNames = {}) {
    std::string feed = "<?xml version=\"1.0\"?><ArrayOfBrakonData>";
    for (int number : numbers) {
        const bool leaver = std::find(leavers.begin(), leavers.end(), number) != leavers.end();
        const auto last = lastNames.find(number);
        feed += "<BrakonData><EmployeeID>" + PaddedNumber(number) + "</EmployeeID><FirstName>Ann</FirstName><LastName>" +
                (last != lastNames.end() ? last->second : std::string("Lee")) +
                "</LastName><Email/><Phone/><PositionTitle>Clerk</PositionTitle><Department/><CompanyId>1"
                "</CompanyId><CompanyName>Acme</CompanyName><SiteName>North</SiteName><SiteId>10</SiteId>"
                "<a/><b/><c/><d/><TerminationDate>" +
                (leaver ? "2020-01-31T00:00:00" : "") + "</TerminationDate></BrakonData>";
    }
    return feed + "</ArrayOfBrakonData>";
}

// A card-holder file: employee n holds card-holder id n, card n at site 1, the given PIN.
inline std::string CardsOfNumbers(const std::vector<int>& numbers, const std::map<int, std::string>& pins = {}) {
    std::string file = "<?xml version=\"1.0\"?>\n<Employees>";
    for (int number : numbers) {
        const auto pin = pins.find(number);
        file += "<Employee ID=\"" + std::to_string(number) + "\"><AUId>" + std::to_string(number) +
                "</AUId><Name/><Dept/><PIN1>" + (pin != pins.end() ? pin->second : std::string("1234")) +
                "</PIN1><a/><b/><c/><d/><SiteCode>1</SiteCode><CardNr>" + std::to_string(number) +
                "</CardNr></Employee>";
    }
    return file + "</Employees>\n";
}

class RunRecord : public Executable {
protected:
    // The settings of the test database with both imports on (unless switched off), the
    // feed from the test server and the card-holder file of the test; safety adds the
    // "Safety" subkey's values, general more values of "General".
    void WriteHive(const TTestDatabase& database, bool hrm, bool cards, const std::string& safety = "",
                   const std::string& password = "", const std::string& general = "") {
        WriteDatabaseHive(database, "\"Log messages to file\"=dword:00000001\r\n" + general, password,
                          std::string("\"Import enabled\"=dword:0000000") + (hrm ? "1" : "0") +
                              "\r\n\"Data source URL\"=\"" + Server.Url() + "\"\r\n",
                          0, "",
                          std::string("\"Import enabled\"=dword:0000000") + (cards ? "1" : "0") +
                              "\r\n\"Data source file\"=\"" + Cards + "\"\r\n");
        if (!safety.empty())
            WriteFile(Hive, ReadFile(Hive) + "[HKEY_LOCAL_MACHINE\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM\\Safety]\r\n" +
                                safety + "\r\n");
    }
    // The summary entries of the event-log file: the lines with named fields after the
    // seven of a plain entry. TYPE and MESSAGE are the entry's own.
    std::vector<TFields> SummaryEntries() const {
        std::vector<TFields> entries;
        std::istringstream in(ReadFile(EventLog));
        std::string line;
        while (std::getline(in, line)) {
            const std::vector<std::string> fields = TabFields(line);
            if (fields.size() <= 7) continue;
            TFields entry{{"SOURCE", fields[2]}, {"TYPE", fields[3]}, {"MESSAGE", fields[6]}};
            for (std::size_t i = 7; i < fields.size(); ++i) {
                const auto equals = fields[i].find('=');
                entry[fields[i].substr(0, equals)] = equals == std::string::npos ? "" : fields[i].substr(equals + 1);
            }
            entries.push_back(entry);
        }
        return entries;
    }
    // jq's compact answer over the summary file, as an alert script would ask it ("-r": its
    // strings without their quotes).
    std::string Jq(const std::string& filter, const std::string& options = "-c") const {
        const TCommandResult result = RunCommand("jq " + options + " '" + filter + "' '" + SummaryFile + "' 2>&1");
        EXPECT_EQ(result.ExitCode, 0) << filter << ": " << result.Output;
        std::string text = result.Output;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    // Every row of the tables a pass writes or audits, for telling whether anything changed.
    static std::string Snapshot(const TTestDatabase& database) {
        std::string rows = database.Isql(
            "SELECT * FROM USERS ORDER BY ID;\nSELECT * FROM USER_GROUPS ORDER BY 1, 2;\n"
            "SELECT * FROM PARADOX_ACCOUNTS ORDER BY ID;\nSELECT * FROM ACCESS_CARDS ORDER BY ID;\n"
            "SELECT * FROM PARADOX_ACCOUNT_GROUPS ORDER BY 1, 2;\nSELECT * FROM ACCESS_CARD_GROUPS ORDER BY 1, 2;\n"
            "SELECT EVENT_CODE, PARAM1, PARAM2 FROM TEST_AUDIT_EVENTS ORDER BY ID;\n");
        // A statement that failed would compare equal to itself: no snapshot at all.
        EXPECT_EQ(rows.find("Statement failed"), std::string::npos) << rows;
        EXPECT_EQ(rows.find("SQLSTATE"), std::string::npos) << rows;
        return rows;
    }
    static int AuditEvents(const TTestDatabase& database, const std::string& firstText) {
        const std::string out =
            database.Isql("SELECT 'N=' || COUNT(*) FROM TEST_AUDIT_EVENTS WHERE PARAM1 = '" + firstText + "';");
        const auto at = out.find("N=");
        return at == std::string::npos ? -1 : std::stoi(out.substr(at + 2));
    }

    std::string Feed;
    THttpsTestServer Server{[this](const THttpRequest&) {
        THttpResponse response;
        response.Body = Feed;
        return response;
    }};
    std::string Cards = WorkDir.File("cards.xml");
    std::string SummaryFile = InstallDir.File("VLHRMSync_last.json");
};

}  // namespace keyrix::test
