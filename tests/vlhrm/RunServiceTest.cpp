#include "Services/SyncClients/VLHRM/MainService.h"
#include "platform/Env.h"
#include "common/Exceptions.h"
#include "db/DBUtils.h"
#include "platform/RunLock.h"
#include "tests/vlhrm/RunJournal.h"
#include "tests/support/FaultyEnv.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace keyrix;
using namespace keyrix::test;
using Lines = std::vector<std::string>;

namespace {

// A sync object whose phase operations are scripted by the test; each records its call.
class TScriptedModule : public TDataModule1 {
public:
    using TStep = std::function<void(TScriptedModule&)>;
    TScriptedModule(const std::string& logPath, TRunJournal& journal) : TDataModule1(logPath), FJournal(journal) {}
    ~TScriptedModule() override {
        if (Destroyed) *Destroyed = true;
    }

    TStep OnConnect, OnPrepare, OnPass, OnDisconnect, OnFree;
    bool* Destroyed = nullptr;

protected:
    void ConnectDatabase() override { Step("ConnectDatabase", OnConnect); }
    void PrepareSchema() override { Step("PrepareSchema", OnPrepare); }
    void SyncPass() override { Step("SyncPass", OnPass); }
    void DisconnectDatabase() override { Step("DisconnectDatabase", OnDisconnect); }
    void FreeQueries(const std::string& owner) override { Step("FreeQueries(" + owner + ")", OnFree); }

private:
    void Step(const std::string& name, const TStep& step) {
        FJournal.Add("call: " + name);
        if (step) step(*this);
    }
    TRunJournal& FJournal;
};

// What a database connect that cannot reach its server does.
void FailingConnect(TScriptedModule& module) {
    module.SyncLogError("Error connecting database: %s", "server down");
    throw EDisplayError("Error connecting to database - server down");
}

class RunService : public RunFixture {
protected:
    std::unique_ptr<TScriptedModule> Module() { return std::make_unique<TScriptedModule>(LogPath, Journal); }
};

const std::string Started = "file: Sync started at <time>";
const std::string Finished = "file: Sync finished at <time>";
const std::string ShutDownCalls[] = {"call: DisconnectDatabase", "call: FreeQueries()"};

}  // namespace

TEST_F(RunService, FailedConnectReportsInChannelOrder) {
    for (bool logToFile : {false, true}) {
        Setup.LogToFile = logToFile;
        ::unlink(LogPath.c_str());
        Journal = TRunJournal(LogPath);
        auto module = Module();
        module->OnConnect = FailingConnect;
        module->RunService();

        Lines expected = {Started, "call: ConnectDatabase", "console: Error connecting database: server down"};
        if (logToFile) expected.push_back("file: Error connecting database: server down");
        expected.push_back(
            "eventlog error: Critical error on service startup:\r\nEDisplayError\r\n"
            "Error connecting to database - server down");
        expected.insert(expected.end(), std::begin(ShutDownCalls), std::end(ShutDownCalls));
        expected.push_back(Finished);
        expected.push_back("eventlog info: Keyrix sync server finished!");
        EXPECT_EQ(Journal.Finish(), expected) << "LogToFile " << logToFile;
    }
}

TEST_F(RunService, FileLoggingOffLeavesTwoLinesPerRun) {
    for (int run = 1; run <= 2; ++run) {
        auto module = Module();
        module->OnPass = [](TScriptedModule& m) { m.SyncLogInfo("HRM import disabled"); };
        module->RunService();
    }
    EXPECT_EQ(ReadCrLfLines(LogPath).size(), 4u) << "two complete runs, two lines each";
    Lines oneRun = {Started,
                    "call: ConnectDatabase",
                    "call: PrepareSchema",
                    "eventlog info: Keyrix sync server started!",
                    "call: SyncPass",
                    "console: HRM import disabled",
                    ShutDownCalls[0],
                    ShutDownCalls[1],
                    Finished,
                    "eventlog info: Keyrix sync server finished!"};
    Lines expected = oneRun;
    expected.insert(expected.end(), oneRun.begin(), oneRun.end());
    EXPECT_EQ(Journal.Finish(), expected);
}

TEST_F(RunService, FailedSchemaSkipsThePass) {
    auto module = Module();
    module->OnPrepare = [](TScriptedModule&) { throw EOSError(5, "no rights"); };
    module->RunService();
    Lines expected = {Started, "call: ConnectDatabase", "call: PrepareSchema",
                      "eventlog error: Critical error on service startup:\r\nEOSError\r\nno rights",
                      ShutDownCalls[0], ShutDownCalls[1], Finished,
                      "eventlog info: Keyrix sync server finished!"};
    EXPECT_EQ(Journal.Finish(), expected);
}

TEST_F(RunService, FailedPassIsLoggedAndTheRunGoesOn) {
    Setup.LogToFile = true;
    auto module = Module();
    module->OnPass = [](TScriptedModule&) { throw EFOpenError("Cannot open file \"cards.xml\". No such file"); };
    module->RunService();
    Lines expected = {Started,
                      "call: ConnectDatabase",
                      "call: PrepareSchema",
                      "eventlog info: Keyrix sync server started!",
                      "call: SyncPass",
                      "console: ServiceRun exception: Cannot open file \"cards.xml\". No such file",
                      "file: ServiceRun exception: Cannot open file \"cards.xml\". No such file",
                      "eventlog error: Critical error on service work:\r\nEFOpenError\r\n"
                      "Cannot open file \"cards.xml\". No such file",
                      ShutDownCalls[0],
                      ShutDownCalls[1],
                      Finished,
                      "eventlog info: Keyrix sync server finished!"};
    EXPECT_EQ(Journal.Finish(), expected);
}

TEST_F(RunService, FailedShutDownStillWritesTheFinishLines) {
    auto module = Module();
    module->OnDisconnect = [](TScriptedModule&) { throw std::runtime_error("socket closed"); };
    module->RunService();
    Lines tail(Journal.Finish());
    tail.erase(tail.begin(), tail.end() - 4);
    EXPECT_EQ(tail, (Lines{"call: DisconnectDatabase",
                           "eventlog error: Critical error on service shutdown:\r\nstd::runtime_error\r\nsocket closed",
                           Finished, "eventlog info: Keyrix sync server finished!"}))
        << "FreeQueries is skipped once the disconnect has failed";
}

TEST_F(RunService, UnwritableLogAtTheStartStopsTheRunBeforeAnyDatabaseWork) {
    ASSERT_EQ(::mkdir(LogPath.c_str(), 0755), 0);  // the log file's name is taken by a folder
    auto module = Module();
    EXPECT_THROW(module->RunService(), EFOpenError);
    EXPECT_TRUE(Journal.Entries.empty()) << "no phase ran and nothing was reported";
}

TEST_F(RunService, UnwritableLogAtTheFinishLeavesOutTheFinishedEntry) {
    auto module = Module();
    module->OnPass = [this](TScriptedModule&) {
        ::unlink(LogPath.c_str());
        ::mkdir(LogPath.c_str(), 0755);
    };
    EXPECT_THROW(module->RunService(), EFOpenError);
    Lines entries = Journal.Entries;
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back(), "call: FreeQueries()") << "shut-down ran, \"finished!\" was not written";
}

TEST_F(RunService, UnreachableDatabaseIsReportedThroughTheRealClient) {
    dbutils::InitializeDatabaseLayer();
    Setup.DatabasePort = 1;  // nothing listens there
    ::setenv("KEYRIX_REGISTRY", Dir.File("none.reg").c_str(), 1);
    platform::ReloadEnvironment();
    {
        TDataModule1 module(LogPath);
        module.RunService();
    }
    ::unsetenv("KEYRIX_REGISTRY");
    platform::ReloadEnvironment();
    dbutils::FinalizeDatabaseLayer();
    Lines entries = Journal.Finish();
    ASSERT_EQ(entries.size(), 5u) << ::testing::PrintToString(entries);
    EXPECT_EQ(entries[0], Started);
    EXPECT_EQ(entries[1].rfind("console: Error connecting database: DataModule1.dbDatabase:\r\n", 0), 0u) << entries[1];
    EXPECT_EQ(entries[2].rfind("eventlog error: Critical error on service startup:\r\nEDisplayError\r\n"
                               "Error connecting to database - DataModule1.dbDatabase:\r\n",
                               0),
              0u)
        << entries[2];
    EXPECT_EQ(entries[3], Finished) << "a connection that never opened closes without complaint";
    EXPECT_EQ(entries[4], "eventlog info: Keyrix sync server finished!");
}

TEST_F(RunService, ServiceExecuteKeepsTheModuleOnlyWhileItRuns) {
    for (bool failingLog : {false, true}) {
        if (failingLog) {
            ::unlink(LogPath.c_str());
            ASSERT_EQ(::mkdir(LogPath.c_str(), 0755), 0);
        }
        bool destroyed = false;
        TDataModule1* seenDuringPass = nullptr;
        TDataModule1* created = nullptr;
        TKeyrixSyncVLRM service;
        service.DataModuleFactory = [&] {
            auto module = Module();
            module->Destroyed = &destroyed;
            module->OnPass = [&](TScriptedModule&) { seenDuringPass = DataModule1; };
            created = module.get();
            return module;
        };
        if (failingLog) {
            EXPECT_THROW(service.ServiceExecute(service), EFOpenError);
        } else {
            service.ServiceExecute(service);
        }
        EXPECT_EQ(seenDuringPass, failingLog ? nullptr : created);
        EXPECT_TRUE(destroyed);
        EXPECT_EQ(DataModule1, nullptr);
    }
}

TEST_F(RunService, ServiceExecuteHoldsTheRunLockForTheWholeRun) {
    TKeyrixSyncVLRM service;
    std::string holderDuringRun;
    service.DataModuleFactory = [&] {
        auto module = Module();
        module->OnConnect = [&](TScriptedModule&) { holderDuringRun = ReadFile(RunLockPath); };
        return module;
    };
    service.ServiceExecute(service);
    EXPECT_EQ(holderDuringRun, std::to_string(::getpid()) + "\n") << "taken before the database is connected";
    platform::TRunLock after(RunLockPath);
    EXPECT_TRUE(after.Held()) << "released when the run is over";
}

TEST_F(RunService, ServiceExecuteSkipsTheRunWhileAnotherHoldsTheLock) {
    // Another open of the file conflicts as another process would: flock is per open file.
    platform::TRunLock other(RunLockPath);
    ASSERT_TRUE(other.Held());
    TKeyrixSyncVLRM service;
    bool created = false;
    service.DataModuleFactory = [&] {
        created = true;
        return Module();
    };
    service.ServiceExecute(service);
    EXPECT_FALSE(created) << "no sync object, no database work";
    EXPECT_EQ(Journal.Finish(), Lines{"eventlog warning: Sync skipped: another process holds the run lock file \"" +
                                      RunLockPath + "\" (the file names process " + std::to_string(::getpid()) + ")"});
    EXPECT_FALSE(FileExists(LogPath)) << "a skipped run is no synchronisation: no sync log lines";
}

// A lock file that cannot be made or trusted fails the run before the database is touched;
// the error goes on to the service's report, and the summary says why.
TEST_F(RunService, ServiceExecuteFailsWhenTheLockFileCannotBeMadeOrTrusted) {
    const std::string missing = Dir.File("no-such-folder/KeyrixSyncVLRM.lock");
    const std::string linked = Dir.File("linked.lock");
    WriteFile(Dir.File("other"), "");
    ASSERT_EQ(::link(Dir.File("other").c_str(), linked.c_str()), 0);
    struct Case {
        std::string lock, error;
    };
    const Case cases[] = {{missing, "No such file or directory"}, {linked, "has 2 names (hard links)"}};
    const std::string summaryFile = Dir.File("VLHRMSync_last.json");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lock);
        ::setenv("KEYRIX_RUN_LOCK", c.lock.c_str(), 1);
        platform::ReloadEnvironment();
        Journal = TRunJournal(LogPath);
        TKeyrixSyncVLRM service;
        std::vector<TScriptedModule*> modules;
        service.DataModuleFactory = [&] {
            auto module = Module();
            modules.push_back(module.get());
            return module;
        };
        try {
            service.ServiceExecute(service);
            ADD_FAILURE() << "no error";
        } catch (const platform::ERunLockError& e) {
            EXPECT_NE(e.Message().find("\"" + c.lock + "\""), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find(c.error), std::string::npos) << e.Message();
        }
        EXPECT_EQ(modules.size(), 1u) << "one object, for the summary";
        const Lines journal = Journal.Finish();
        EXPECT_TRUE(std::none_of(journal.begin(), journal.end(),
                                 [](const std::string& line) { return line.rfind("call: ", 0) == 0; }))
            << "no phase ran: " << ::testing::PrintToString(journal);
        EXPECT_FALSE(FileExists(LogPath)) << "no sync log lines";
        const TCommandResult json =
            RunCommand("jq -j '.outcome, \"|\", .errorClass, \"|\", .errorMessage' '" + summaryFile + "' 2>&1");
        EXPECT_EQ(json.Output.rfind("failed-startup|ERunLockError|", 0), 0u) << json.Output;
        EXPECT_NE(json.Output.find(c.lock), std::string::npos) << json.Output;
        EXPECT_NE(ReadFile(EventLogPath).find("\tKEYRIX_OUTCOME=failed-startup\t"), std::string::npos);
    }
}

// The outcome of the summary is the first failure of the run, with its class and message;
// the JSON file beside the log says the same.
TEST_F(RunService, SummaryOutcomeIsTheFirstFailure) {
    using TStep = TScriptedModule::TStep;
    const TStep fails = [](TScriptedModule&) { throw EOSError(5, "no rights"); };
    // The log file's name is taken by a folder.
    const TStep takeLog = [this](TScriptedModule&) {
        ::unlink(LogPath.c_str());
        ::mkdir(LogPath.c_str(), 0755);
    };
    struct Case {
        const char* what;
        TStep prepare, pass, disconnect, start;
        TRunOutcome outcome;
        const char* errorClass;
        bool raises;
    };
    const Case cases[] = {
        {"clean", nullptr, nullptr, nullptr, nullptr, TRunOutcome::Done, "", false},
        {"schema", fails, nullptr, nullptr, nullptr, TRunOutcome::FailedStartUp, "EOSError", false},
        {"pass", nullptr, fails, nullptr, nullptr, TRunOutcome::FailedWork, "EOSError", false},
        {"disconnect", nullptr, nullptr, fails, nullptr, TRunOutcome::FailedShutDown, "EOSError", false},
        {"pass, then disconnect", nullptr,
         [](TScriptedModule&) { throw EFOpenError("Cannot open file \"cards.xml\""); }, fails, nullptr,
         TRunOutcome::FailedWork, "EFOpenError", false},
        {"start line", nullptr, nullptr, nullptr, takeLog, TRunOutcome::FailedStartUp, "EFOpenError", true},
        {"finish line", nullptr, takeLog, nullptr, nullptr, TRunOutcome::FailedShutDown, "EFOpenError", true},
    };
    const std::string summaryFile = Dir.File("VLHRMSync_last.json");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::rmdir(LogPath.c_str());
        ::unlink(LogPath.c_str());
        ::unlink(summaryFile.c_str());
        auto module = Module();
        EXPECT_EQ(module->SummaryFilePath(), summaryFile);
        module->OnPrepare = c.prepare;
        module->OnPass = c.pass;
        module->OnDisconnect = c.disconnect;
        if (c.start) c.start(*module);
        if (c.raises)
            EXPECT_THROW(module->RunService(), EFOpenError);
        else
            EXPECT_NO_THROW(module->RunService());
        EXPECT_EQ(module->Summary.Outcome, c.outcome);
        EXPECT_EQ(module->Summary.ErrorClass, c.errorClass);
        const TCommandResult json = RunCommand("jq -j '.outcome, \"|\", .errorClass' '" + summaryFile + "' 2>&1");
        EXPECT_EQ(json.Output, std::string(OutcomeName(c.outcome)) + "|" + (*c.errorClass ? c.errorClass : "null"));
    }
}

// A summary that cannot be written is one warning naming the file; the run is otherwise
// the same.
TEST_F(RunService, UnwritableSummaryIsAWarningOnly) {
    const std::string summaryFile = Dir.File("VLHRMSync_last.json");
    ASSERT_EQ(::mkdir(summaryFile.c_str(), 0755), 0);  // the name is taken by a folder
    auto module = Module();
    EXPECT_NO_THROW(module->RunService());
    Lines entries = Journal.Finish();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[entries.size() - 2], "eventlog info: Keyrix sync server finished!");
    EXPECT_EQ(entries.back().rfind("eventlog warning: Cannot write the run summary \"" + summaryFile + "\" (rename \"" + summaryFile + ".", 0),
              0u)
        << entries.back();
    EXPECT_EQ(module->Summary.Outcome, TRunOutcome::Done);
    EXPECT_NE(ReadFile(EventLogPath).find("\tKEYRIX_OUTCOME=done\t"), std::string::npos)
        << "the journal entry is written all the same";
}

// A full disk: neither the summary nor the metrics file may go on saying "done" for the
// previous run. Both are removed, one warning names each, and the run is otherwise the same.
TEST_F(RunService, FullDiskRemovesTheLastRunsReports) {
    const std::string summaryFile = Dir.File("VLHRMSync_last.json");
    Setup.MetricsFile = Dir.File("keyrix_sync.prom");
    Module()->RunService();
    ASSERT_TRUE(FileExists(summaryFile));
    ASSERT_NE(ReadFile(Setup.MetricsFile).find("keyrix_sync_outcome{outcome=\"done\"} 1\n"), std::string::npos);

    TFaultyEnv faulty(platform::Env());
    platform::TScopedEnv scoped(faulty);
    TFault full = FailAt(1, ENOSPC, WriteKinds);
    full.Repeat = 1000;
    full.PathPart = Dir.Path() + "/VLHRMSync_last.json.";
    faulty.Arm(full);
    auto module = Module();
    module->OnPass = [](TScriptedModule&) { throw EOSError(5, "no rights"); };
    EXPECT_NO_THROW(module->RunService());
    EXPECT_EQ(module->Summary.Outcome, TRunOutcome::FailedWork);
    EXPECT_FALSE(FileExists(summaryFile));
    EXPECT_NE(ReadFile(Setup.MetricsFile).find("keyrix_sync_outcome{outcome=\"failed-work\"} 1\n"), std::string::npos)
        << "the metrics file is written on its own";

    // Now the metrics file's folder is full too.
    full.PathPart = Dir.Path() + "/keyrix_sync.prom.";
    faulty.Arm(full);
    Journal.Finish();
    Journal.Entries.clear();
    EXPECT_NO_THROW(Module()->RunService());
    EXPECT_FALSE(FileExists(Setup.MetricsFile));
    Lines warnings;
    for (const std::string& entry : Journal.Finish())
        if (entry.rfind("eventlog warning: ", 0) == 0) warnings.push_back(entry);
    ASSERT_EQ(warnings.size(), 1u) << "only the metrics file failed this time";
    EXPECT_EQ(warnings[0].rfind("eventlog warning: Cannot write the metrics file \"" + Setup.MetricsFile + "\" (write \"", 0), 0u)
        << warnings[0];
    EXPECT_NE(warnings[0].find("No space left on device; the previous file was removed"), std::string::npos) << warnings[0];
}
