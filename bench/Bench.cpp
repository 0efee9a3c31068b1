// keyrix-bench: how fast the two imports take a large feed and card-holder file, and how
// much memory they need.
//
// A feed of N employees is served by keyrix-demo-server, and the card-holder file of the
// same employees lies in the work folder; the pass of the program itself (TDataModule1's
// SyncPass: download, HRM import, card-holder import, commit) runs twice in this process
// against a fresh database on the local Firebird server: first with every employee new,
// then with nothing changed. Each pass, and each import in it, is compared with the floor,
// the cost of one trivial prepared statement through the same database layer, executed as
// many times as the pass executed statements.
#include "Services/SyncClients/VLHRM/Unit1.h"
#include "platform/Env.h"
#include "bench/BenchDatabase.h"
#include "bench/ClientCalls.h"
#include "bench/Processes.h"
#include "common/Exceptions.h"
#include "common/ScopeGuard.h"
#include "db/DBUtils.h"
#include "platform/ConsoleOutput.h"
#include "platform/Process.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"
#include "tools/DemoCardHolders.h"
#include "tools/DemoFeed.h"
#include "tools/ToolOptions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace keyrix;
using namespace keyrix::bench;

namespace {

const char* const Usage =
    "Usage: keyrix-bench [--employees N] [--seed S] [--leavers PERCENT] [--no-faults]\n"
    "                    [--db-folder DIR] [--schema FILE] [--keep] [--verbose]\n"
    "Times two passes of the HRM and card-holder imports over a feed of N employees (default\n"
    "20000) and their card-holder file against a fresh database on the local Firebird server\n"
    "(KEYRIX_TEST_FB_* or the package's SYSDBA password), made in DIR (default\n"
    "/var/lib/keyrix-bench) from FILE (default the tests' schema). --no-faults leaves out the\n"
    "card-holder file's few faults (missing employees, invalid cards, a second card-holder\n"
    "id). --keep leaves the database and the work folder; --verbose shows the imports' own\n"
    "progress lines.\n";

const std::string HrmPath = "/General/HrDataService.asmx/GetBrakonData";
const std::string HrmUser = "BENCH\\hrmsync";
const std::string HrmPassword = "Bench-Feed-7431";

struct TBenchOptions {
    demo::TFeedOptions Feed{20'000, 1, 8};
    bool CardHolderFaults = true;
    std::string DatabaseFolder = "/var/lib/keyrix-bench";
    std::string Schema = KEYRIX_BENCH_SCHEMA;
    bool Keep = false;
    bool Verbose = false;
};

// What one import of a pass cost, measured around its call.
struct TImportResult {
    bool Ran = false;
    bool Failed = false;  // it raised; the figures are up to the failure
    double Seconds = 0;
    std::uint64_t Executions = 0;  // TFbQuery::ExecuteWith calls
    TClientCalls Calls;
};

// The phases of a run, reachable one by one; each import is measured as the pass calls it.
class TBenchModule : public TDataModule1 {
public:
    TBenchModule(const std::string& logFile, const TClientCallCounter& counter)
        : TDataModule1(logFile), FCounter(counter) {}
    void Open() {
        ConnectDatabase();
        PrepareSchema();
    }
    void Pass() { SyncPass(); }
    void Close() {
        DisconnectDatabase();
        FreeQueries("");
    }

    TImportResult Hrm, CardHolders;

protected:
    void ImportHrmUsers() override {
        Measure(Hrm, [this] { TDataModule1::ImportHrmUsers(); });
    }
    void ImportCardHolders() override {
        Measure(CardHolders, [this] { TDataModule1::ImportCardHolders(); });
    }

private:
    template <class TImport>
    void Measure(TImportResult& result, TImport import) {
        const TClientCalls callsBefore = FCounter.Now();
        const std::uint64_t executionsBefore = TFbQuery::TotalExecutions();
        const auto start = std::chrono::steady_clock::now();
        // Also when the import fails: the report shows how far it got.
        TScopeGuard note([&] {
            result.Ran = true;
            result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            result.Executions = TFbQuery::TotalExecutions() - executionsBefore;
            result.Calls = FCounter.Now() - callsBefore;
        });
        try {
            import();
        } catch (...) {
            result.Failed = true;
            throw;
        }
    }

    const TClientCallCounter& FCounter;
};

// A "VmRSS"-like line of /proc/self/status, in KiB; -1 when absent.
long StatusKiB(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
    return -1;
}

// Sets the peak resident size (VmHWM) back to the current one, so that the next reading
// is the peak of what ran in between. False where the kernel does not allow it.
bool ResetPeakMemory() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.close();
    return static_cast<bool>(out);
}

struct TRowStats {
    std::int64_t Inserted = 0, Updated = 0, Deleted = 0, IndexReads = 0, TableReads = 0;
    TRowStats operator-(const TRowStats& earlier) const {
        return {Inserted - earlier.Inserted, Updated - earlier.Updated, Deleted - earlier.Deleted,
                IndexReads - earlier.IndexReads, TableReads - earlier.TableReads};
    }
};

// The record counts the server keeps for the connection, from its monitoring tables (a new
// transaction sees a new snapshot of them).
std::optional<TRowStats> RowStats(TFbConnection& database) {
    try {
        dbutils::PQuery query = dbutils::PrepareQuery(
            "select r.mon$record_inserts as inserted, r.mon$record_updates as updated, "
            "r.mon$record_deletes as deleted, r.mon$record_idx_reads as index_reads, "
            "r.mon$record_seq_reads as table_reads "
            "from mon$attachments a join mon$record_stats r on r.mon$stat_id = a.mon$stat_id "
            "where a.mon$attachment_id = current_connection",
            nullptr, &database);
        query->ExecuteWith();
        const TRowStats stats{query->FieldByName("INSERTED").AsInt64(), query->FieldByName("UPDATED").AsInt64(),
                              query->FieldByName("DELETED").AsInt64(), query->FieldByName("INDEX_READS").AsInt64(),
                              query->FieldByName("TABLE_READS").AsInt64()};
        dbutils::FreeQuery(query, true);
        return stats;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

struct TPassResult {
    std::string Name;
    std::string Error;  // empty when the pass went through
    double Seconds = 0;
    std::uint64_t Executions = 0;  // TFbQuery::ExecuteWith calls, as the layer counts them
    TClientCalls Calls;            // what reached the client library
    long RssBeforeKiB = -1, PeakKiB = -1;
    bool PeakOfPass = false;  // else the process's peak so far
    std::optional<TRowStats> Rows;
    // The floor for as many statements.
    double FloorSeconds = 0;
    TClientCalls FloorCalls;
    TImportResult Hrm, CardHolders;
};

std::string ErrorText() {
    const TErrorInfo error = DescribeCurrentException();
    return error.ClassName + ": " + error.Message;
}

TPassResult RunPass(const std::string& name, const std::string& logFile, const TClientCallCounter& counter) {
    TPassResult result;
    result.Name = name;
    TBenchModule module(logFile, counter);
    DataModule1 = &module;
    TScopeGuard forget([] { DataModule1 = nullptr; });
    // Connecting and the schema are the run's, not the pass's.
    module.Open();
    const std::optional<TRowStats> rowsBefore = RowStats(module.dbDatabase);

    result.RssBeforeKiB = StatusKiB("VmRSS");
    result.PeakOfPass = ResetPeakMemory();
    const TClientCalls callsBefore = counter.Now();
    const std::uint64_t executionsBefore = TFbQuery::TotalExecutions();
    const auto start = std::chrono::steady_clock::now();
    try {
        module.Pass();
    } catch (...) {
        result.Error = ErrorText();
    }
    result.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.Executions = TFbQuery::TotalExecutions() - executionsBefore;
    result.Calls = counter.Now() - callsBefore;
    result.PeakKiB = StatusKiB("VmHWM");

    result.Hrm = module.Hrm;
    result.CardHolders = module.CardHolders;

    const std::optional<TRowStats> rowsAfter = RowStats(module.dbDatabase);
    if (rowsBefore && rowsAfter) result.Rows = *rowsAfter - *rowsBefore;
    module.Close();
    return result;
}

// Executes "select 1 from rdb$database", prepared once, as many times as the pass executed
// statements, on a connection of its own.
void RunFloor(TPassResult& pass, const TBenchDatabase& database, const TFbAccount& account,
              const TClientCallCounter& counter) {
    const std::uint64_t count = pass.Calls.Statements();
    if (count == 0) return;
    TFbConnection connection("dbFloor", "Bench");
    connection.SetDatabaseName(database.Connection());
    connection.SetUserName(account.User);
    connection.SetPassword(account.Password);
    connection.SetSQLDialect(3);
    connection.SetClientLibrary(dbutils::FindClientLibrary());
    connection.OpenConnection();
    dbutils::PTransaction transaction = dbutils::NewReadTransaction(&connection);
    dbutils::PQuery query = dbutils::PrepareQuery("select 1 from rdb$database", transaction, &connection);
    // Kept prepared between executions, as the pass keeps its cached statements.
    query->SetCached(true);
    query->ExecuteWith();  // the transaction starts here, outside the timing

    const TClientCalls before = counter.Now();
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < count; ++i) query->ExecuteWith();
    pass.FloorSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    pass.FloorCalls = counter.Now() - before;

    dbutils::FreeQuery(query, true);
    connection.CloseConnection();
}

std::string Quoted(const std::string& text) {
    std::string q = "\"";
    for (char c : text) q += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
    return q + "\"";
}

// The settings of the passes, loaded the way the service loads them.
void WriteHive(const std::string& path, const TBenchDatabase& database, const TFbAccount& account, int port,
               const std::string& cardHolderFile) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM";
    char dword[16];
    std::snprintf(dword, sizeof dword, "dword:%08x", static_cast<unsigned>(account.Port));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\r\n\r\n"
        << key << "]\r\n\"Version\"=dword:00000001\r\n\r\n"
        << key << "\\Database]\r\n\"Server address\"=" << Quoted(account.Host) << "\r\n\"Port number\"=" << dword
        << "\r\n\"Database name\"=" << Quoted(database.File()) << "\r\n\"Username\"=" << Quoted(account.User)
        << "\r\n\"Password\"=" << Quoted(account.Password) << "\r\n\r\n"
        << key << "\\General]\r\n\"Log messages to file\"=dword:00000000\r\n\r\n"
        << key << "\\HRM]\r\n\"Import enabled\"=dword:00000001\r\n\"Data source URL\"="
        << Quoted("https://127.0.0.1:" + std::to_string(port) + HrmPath) << "\r\n\"Username\"=" << Quoted(HrmUser)
        << "\r\n\"Password\"=" << Quoted(HrmPassword) << "\r\n\r\n"
        << key << "\\BRAKON]\r\n\"Import enabled\"=dword:00000001\r\n\"Data source file\"="
        << Quoted(cardHolderFile) << "\r\n\r\n";
    if (!out) throw std::runtime_error("cannot write " + path);
}

double MiB(long kib) { return static_cast<double>(kib) / 1024.0; }

double PerEmployee(std::uint64_t count, std::size_t employees) {
    return employees == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(employees);
}

// One import's figures beside the floor's time per execution (0 when the floor did not run).
void ReportImport(const char* name, const TImportResult& import, std::size_t records, const char* units,
                  const char* unit, double floorEach) {
    if (!import.Ran) {
        std::printf("  %s: did not run\n", name);
        return;
    }
    const double statements = static_cast<double>(import.Calls.Statements());
    const double each = statements > 0 ? import.Seconds / statements * 1e6 : 0.0;
    std::printf("  %s%s: %.3f s, %.0f %s/s; %llu statements, %.2f per %s, besides them %llu savepoints; "
                "%.1f us per server execution",
                name, import.Failed ? " (failed)" : "", import.Seconds, import.Seconds > 0 ? static_cast<double>(records) / import.Seconds : 0.0,
                units, static_cast<unsigned long long>(import.Executions), PerEmployee(import.Executions, records), unit,
                static_cast<unsigned long long>(import.Calls.Immediates), each);
    if (floorEach > 0 && statements > 0) std::printf(", %.1f x the floor", each / floorEach);
    std::printf("\n");
}

void Report(const TPassResult& pass, std::size_t employees, std::size_t cardHolderRecords) {
    std::printf("\n%s\n", pass.Name.c_str());
    if (!pass.Error.empty()) std::printf("  FAILED after %.3f s: %s\n", pass.Seconds, pass.Error.c_str());
    std::printf("  %.3f s, %.0f employees/s, peak resident memory %.1f MiB (%.1f MiB before the pass)%s\n",
                pass.Seconds, pass.Seconds > 0 ? static_cast<double>(employees) / pass.Seconds : 0.0,
                MiB(pass.PeakKiB), MiB(pass.RssBeforeKiB), pass.PeakOfPass ? "" : " [process peak: cannot reset VmHWM]");
    const TClientCalls& c = pass.Calls;
    std::printf("  statements executed: %llu, %.2f per employee; besides them %llu immediate texts (savepoints), "
                "%llu prepares, %llu fetch calls, %llu commits, %llu rollbacks\n",
                static_cast<unsigned long long>(pass.Executions), PerEmployee(pass.Executions, employees),
                static_cast<unsigned long long>(c.Immediates), static_cast<unsigned long long>(c.Prepares),
                static_cast<unsigned long long>(c.Fetches), static_cast<unsigned long long>(c.Commits),
                static_cast<unsigned long long>(c.Rollbacks));
    if (pass.Rows)
        std::printf("  rows (server's count): %lld inserted, %lld updated, %lld deleted; %lld read by index, "
                    "%lld read in table order\n",
                    static_cast<long long>(pass.Rows->Inserted), static_cast<long long>(pass.Rows->Updated),
                    static_cast<long long>(pass.Rows->Deleted), static_cast<long long>(pass.Rows->IndexReads),
                    static_cast<long long>(pass.Rows->TableReads));
    // Every execution the server made counts here, the immediate texts included.
    const double statements = static_cast<double>(c.Statements());
    const double floorEach = statements > 0 ? pass.FloorSeconds / statements * 1e6 : 0.0;
    ReportImport("HRM import (download included)", pass.Hrm, employees, "employees", "employee", floorEach);
    ReportImport("card-holder import", pass.CardHolders, cardHolderRecords, "records", "record", floorEach);
    if (c.Statements() == 0) return;
    const double passEach = pass.Seconds / statements * 1e6;
    std::printf("  floor: %llu x \"select 1 from rdb$database\" in %.3f s, %.1f us each; the pass: %.1f us per "
                "server execution, %.1f x the floor\n",
                static_cast<unsigned long long>(pass.FloorCalls.Statements()), pass.FloorSeconds, floorEach, passEach,
                floorEach > 0 ? passEach / floorEach : 0.0);
}

int Run(const TBenchOptions& options) {
    const std::string bin = platform::ExecutableDirectory();
    char pattern[] = "/tmp/keyrix-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a work folder in /tmp");
    const std::string work = pattern;
    TScopeGuard removeWork([&work, keep = options.Keep] {
        std::error_code ignored;
        if (!keep) std::filesystem::remove_all(work, ignored);
    });

    const std::string feedFile = work + "/GetBrakonData.xml";
    demo::TFeedSummary feed;
    std::vector<demo::TFeedEmployee> employees;
    {
        std::ofstream out(feedFile, std::ios::binary | std::ios::trunc);
        feed = demo::WriteFeed(out, options.Feed, &employees);
        if (!out) throw std::runtime_error("cannot write " + feedFile);
    }
    std::printf("feed: %zu employees (%zu leavers, %zu names with a digit, %zu without a company), %zu companies, "
                "%zu sites in %zu runs; %.1f MiB\n",
                feed.Employees, feed.Leavers, feed.NamesWithDigit, feed.WithoutCompany, feed.Companies, feed.Sites,
                feed.Runs, static_cast<double>(std::filesystem::file_size(feedFile)) / (1024.0 * 1024.0));

    const std::string cardHolderFile = work + "/card-holders.xml";
    demo::TCardHolderSummary cards;
    {
        std::ofstream out(cardHolderFile, std::ios::binary | std::ios::trunc);
        demo::TCardHolderOptions cardOptions;
        cardOptions.Seed = options.Feed.Seed;
        cardOptions.Faults = options.CardHolderFaults;
        cards = demo::WriteCardHolders(out, employees, cardOptions);
        if (!out) throw std::runtime_error("cannot write " + cardHolderFile);
    }
    std::printf("card-holder file: %zu records (%zu missing employees): %zu with a user, %zu without a user, "
                "%zu second card-holder ids, %zu invalid card numbers, %zu invalid site codes; %.1f MiB\n",
                cards.Records, cards.Missing, cards.WithUser, cards.WithoutUser, cards.SecondIds,
                cards.InvalidCardNumbers, cards.InvalidSiteCodes,
                static_cast<double>(std::filesystem::file_size(cardHolderFile)) / (1024.0 * 1024.0));

    const TFbAccount account = TFbAccount::FromEnvironment();
    TBenchDatabase database(account, options.DatabaseFolder, options.Schema, work);
    database.Keep = options.Keep;
    std::printf("database: %s (%d departments)\n", database.Connection().c_str(), database.Departments());

    TServerProcess server(bin + "keyrix-demo-server", {"--file", feedFile, "--user", HrmUser, "--password",
                                                       HrmPassword, "--path", HrmPath, "--quiet"});
    std::printf("HRM service: keyrix-demo-server at https://127.0.0.1:%d%s\n", server.Port(), HrmPath.c_str());

    // The passes read the hive of their own, as the service reads its hive.
    const std::string hive = work + "/registry.reg";
    WriteHive(hive, database, account, server.Port(), cardHolderFile);
    ::setenv("KEYRIX_REGISTRY", hive.c_str(), 1);
    ::setenv("KEYRIX_EVENTLOG", (work + "/events.log").c_str(), 1);
    platform::ReloadEnvironment();
    if (options.Verbose) {
        SetConsoleOutput(std::make_unique<platform::TFdConsoleOutput>(STDOUT_FILENO));
        ConsoleLevel = 2;
    }

    dbutils::InitializeDatabaseLayer();
    TScopeGuard finalize([] { dbutils::FinalizeDatabaseLayer(); });
    TSetup setup(false, true, "Keyrix HRM sync benchmark");
    SetupInstance = &setup;
    TScopeGuard forgetSetup([] { SetupInstance = nullptr; });
    setup.LoadSettings();

    const TClientCallCounter counter(dbutils::FindClientLibrary());
    const std::string logFile = work + "/VLHRMSync_log.txt";
    bool failed = false;
    // A second card-holder id makes a copy of the user in the first pass, which gets its
    // account and card in the second.
    const char* second = cards.SecondIds == 0 ? "pass 2 (nothing changed)"
                                              : "pass 2 (nothing changed but the credentials of the copies made for "
                                                "a second card-holder id)";
    for (const char* name : {"pass 1 (all employees new)", second}) {
        TPassResult pass = RunPass(name, logFile, counter);
        RunFloor(pass, database, account, counter);
        Report(pass, feed.Employees, cards.Records);
        failed = failed || !pass.Error.empty();
    }
    if (options.Keep) std::printf("\nkept: %s and %s\n", database.File().c_str(), work.c_str());
    return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Each line as it is made, also into a file: a pass of a large feed takes a while.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TBenchOptions options;
    try {
        demo::TToolOptions arguments(argc, argv, Usage);
        while (arguments.More()) {
            if (arguments.Is("--employees"))
                options.Feed.Employees = static_cast<std::size_t>(arguments.Number(1, 10'000'000));
            else if (arguments.Is("--seed"))
                options.Feed.Seed = arguments.Number(0, UINT64_MAX);
            else if (arguments.Is("--leavers"))
                options.Feed.LeaverPercent = static_cast<unsigned>(arguments.Number(0, 100));
            else if (arguments.Is("--no-faults"))
                options.CardHolderFaults = false;
            else if (arguments.Is("--db-folder"))
                options.DatabaseFolder = arguments.Text();
            else if (arguments.Is("--schema"))
                options.Schema = arguments.Text();
            else if (arguments.Is("--keep"))
                options.Keep = true;
            else if (arguments.Is("--verbose"))
                options.Verbose = true;
            else
                arguments.Unknown();
        }
    } catch (const demo::TUsageError& error) {
        std::fprintf(stderr, "keyrix-bench: %s\n%s", error.what(), Usage);
        return 2;
    }
    try {
        return Run(options);
    } catch (...) {
        std::fprintf(stderr, "keyrix-bench: %s\n", ErrorText().c_str());
        return 1;
    }
}
