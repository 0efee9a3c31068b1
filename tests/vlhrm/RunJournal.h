// Records what a sync run sends to its channels, in the order it happens: the log file,
// the console and the event-log hooks. File lines are picked up whenever another channel
// is written (and at the end), so their place among the other entries is exact.
#pragma once

#include "Services/SyncClients/VLHRM/Unit1.h"
#include "platform/Env.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"
#include "tests/TestSupport.h"
#include "tests/db/DbFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace keyrix::test {

class TRunJournal {
public:
    explicit TRunJournal(std::string logPath) : FLogPath(std::move(logPath)) {}

    void Add(const std::string& entry) {
        SyncFile();
        Entries.push_back(entry);
    }
    // Takes in the file lines written since the last look.
    void SyncFile() {
        std::vector<std::string> lines = ReadCrLfLines(FLogPath);
        for (std::size_t i = FFileLinesSeen; i < lines.size(); ++i) Entries.push_back("file: " + Normalise(lines[i]));
        FFileLinesSeen = lines.size();
    }
    std::vector<std::string> Finish() {
        SyncFile();
        return Entries;
    }

    std::vector<std::string> Entries;

private:
    // The dated lines carry the time of the run; the tests compare them without it.
    static std::string Normalise(const std::string& line) {
        static const std::regex dated("^(Sync (started|finished) at ).+$");
        return std::regex_replace(line, dated, "$1<time>");
    }

    std::string FLogPath;
    std::size_t FFileLinesSeen = 0;
};

class TJournalConsole : public platform::IConsoleOutput {
public:
    explicit TJournalConsole(TRunJournal& journal) : FJournal(journal) {}
    void SetTextAttribute(std::uint16_t) override {}
    void Write(std::string_view text) override {
        std::string line(text);
        if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0) line.resize(line.size() - 2);
        FJournal.Add("console: " + line);
    }

private:
    TRunJournal& FJournal;
};

// A temporary folder for the log file, the settings object, and the journal wired to the
// console and the three hooks.
class RunFixture : public ::testing::Test {
protected:
    void SetUp() override {
        SetupInstance = &Setup;
        ConsoleLevel = 1;
        ConsoleInPlace.emplace(Journal);
        ServiceLogInfo.Bind([this](const std::string& t) { Journal.Add("eventlog info: " + t); });
        ServiceLogWarning.Bind([this](const std::string& t) { Journal.Add("eventlog warning: " + t); });
        ServiceLogError.Bind([this](const std::string& t) { Journal.Add("eventlog error: " + t); });
        // Tests run side by side: each run takes a lock of its own.
        ::setenv("KEYRIX_RUN_LOCK", RunLockPath.c_str(), 1);
        // The run's summary entry goes to a file of the test's, never to the host's journal.
        ::setenv("KEYRIX_EVENTLOG", EventLogPath.c_str(), 1);
        platform::ReloadEnvironment();
    }
    void TearDown() override {
        ServiceLogInfo.Unbind();
        ServiceLogWarning.Unbind();
        ServiceLogError.Unbind();
        ConsoleInPlace.reset();
        SetupInstance = nullptr;
        ::unsetenv("KEYRIX_RUN_LOCK");
        ::unsetenv("KEYRIX_EVENTLOG");
        platform::ReloadEnvironment();
    }

    // Runs of the test read an empty hive of their own and the settings point at the test's
    // database, on the server scripts/firebird started.
    void UseDatabase(const TTestDatabase& database) {
        ::setenv("KEYRIX_REGISTRY", Dir.File("none.reg").c_str(), 1);
        // The overrides are read once: without this the runs would use the host's hive.
        platform::ReloadEnvironment();
        dbutils::InitializeDatabaseLayer();
        const TFbServer& server = TFbServer::Get();
        Setup.DatabaseServer = server.Host;
        Setup.DatabasePort = std::stoi(server.Port);
        Setup.DatabaseName = database.Path().substr(database.Path().find(':') + 1);
        Setup.DatabaseUser = server.User;
        Setup.DatabasePassword = server.Password;
    }

    TTempDir Dir;
    std::string LogPath = Dir.File("VLHRMSync_log.txt");
    std::string RunLockPath = Dir.File("KeyrixSyncVLRM.lock");
    std::string EventLogPath = Dir.File("events.log");
    TRunJournal Journal{LogPath};
    TSetup Setup{false, true, "Keyrix HRM sync service settings"};
    std::optional<TInPlace<platform::IConsoleOutput, TJournalConsole>> ConsoleInPlace;
};

}  // namespace keyrix::test
