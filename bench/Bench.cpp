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
//
// This file holds the run: each size's feed, file, databases, server and settings, and its
// two passes with their recording and replay. BenchOptions reads the command line, Measure
// measures a pass, Report prints it, and Goals sums the run up.
#include "bench/BenchDatabase.h"
#include "bench/BenchOptions.h"
#include "bench/ClientCalls.h"
#include "bench/Goals.h"
#include "bench/Measure.h"
#include "bench/Processes.h"
#include "bench/Replay.h"
#include "bench/Report.h"
#include "bench/RoundTrips.h"
#include "common/ScopeGuard.h"
#include "db/DBUtils.h"
#include "platform/Env.h"
#include "platform/Process.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"
#include "tools/DemoCardHolders.h"
#include "tools/DemoFeed.h"
#include "tools/ToolOptions.h"

#include <sys/stat.h>
#include <unistd.h>

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

const std::string HrmPath = "/General/HrDataService.asmx/GetBrakonData";
const std::string HrmUser = "BENCH\\hrmsync";
const std::string HrmPassword = "Bench-Feed-7431";

// How many calls of the pass go between two turns of its replay: about a tenth of a second.
constexpr std::uint64_t ReplayTurnCalls = 2'000;

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

TSizeResult RunSize(const TBenchOptions& options, std::size_t employeeCount, const std::string& bin,
                    const std::string& work) {
    TSizeResult size;
    demo::TFeedOptions feedOptions = options.Feed;
    feedOptions.Employees = employeeCount;
    const std::string feedFile = work + "/GetBrakonData.xml";
    demo::TFeedSummary feed;
    std::vector<demo::TFeedEmployee> employees;
    {
        std::ofstream out(feedFile, std::ios::binary | std::ios::trunc);
        feed = demo::WriteFeed(out, feedOptions, &employees);
        if (!out) throw std::runtime_error("cannot write " + feedFile);
    }
    size.Employees = feed.Employees;
    size.FeedMiB = static_cast<double>(std::filesystem::file_size(feedFile)) / (1024.0 * 1024.0);
    std::printf("\n=== %zu employees ===\nfeed: %zu employees (%zu leavers, %zu names with a digit, %zu without a "
                "company), %zu companies, %zu sites in %zu runs; %.1f MiB\n",
                feed.Employees, feed.Employees, feed.Leavers, feed.NamesWithDigit, feed.WithoutCompany, feed.Companies,
                feed.Sites, feed.Runs, size.FeedMiB);

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
    size.CardHolderRecords = cards.Records;
    // The bench's own copy of the employees is not the passes' memory.
    std::vector<demo::TFeedEmployee>().swap(employees);
    std::printf("card-holder file: %zu records (%zu missing employees): %zu with a user, %zu without a user, "
                "%zu second card-holder ids, %zu invalid card numbers, %zu invalid site codes; %.1f MiB\n",
                cards.Records, cards.Missing, cards.WithUser, cards.WithoutUser, cards.SecondIds,
                cards.InvalidCardNumbers, cards.InvalidSiteCodes,
                static_cast<double>(std::filesystem::file_size(cardHolderFile)) / (1024.0 * 1024.0));

    const TFbAccount account = TFbAccount::FromEnvironment();
    TBenchDatabase database(account, options.DatabaseFolder, options.Schema, work, "run");
    TBenchDatabase replayDatabase(account, options.DatabaseFolder, options.Schema, work, "replay");
    database.Keep = replayDatabase.Keep = options.Keep;
    if (options.PageBuffers > 0) {
        database.SetPageBuffers(options.PageBuffers);
        replayDatabase.SetPageBuffers(options.PageBuffers);
    }
    std::printf("database: %s (%d departments, %s); replayed on %s, made the same way\n", database.Connection().c_str(),
                database.Departments(),
                options.PageBuffers > 0 ? (std::to_string(options.PageBuffers) + " pages of cache").c_str()
                                        : "the server's default cache",
                replayDatabase.File().c_str());

    TServerProcess server(bin + "keyrix-demo-server", {"--file", feedFile, "--user", HrmUser, "--password",
                                                       HrmPassword, "--path", HrmPath, "--quiet"});
    std::printf("HRM service: keyrix-demo-server at https://127.0.0.1:%d%s\n", server.Port(), HrmPath.c_str());

    // The passes read the hive of their own, as the service reads its hive.
    const std::string hive = work + "/registry.reg";
    WriteHive(hive, database, account, server.Port(), cardHolderFile);
    ::setenv("KEYRIX_REGISTRY", hive.c_str(), 1);
    ::setenv("KEYRIX_EVENTLOG", (work + "/events.log").c_str(), 1);
    platform::ReloadEnvironment();

    TSetup setup(false, true, "Keyrix HRM sync benchmark");
    SetupInstance = &setup;
    TScopeGuard forgetSetup([] { SetupInstance = nullptr; });
    setup.LoadSettings();

    const std::string library = dbutils::FindClientLibrary();
    TClientCallCounter counter(library);
    TRoundTripMeter meter(account.Port);
    const std::string logFile = work + "/VLHRMSync_log.txt";
    const std::string trace = work + "/client-calls.trace";
    // A second card-holder id makes a copy of the user in the first pass, which gets its
    // account and card in the second.
    const char* second = cards.SecondIds == 0 ? "pass 2 (nothing changed)"
                                              : "pass 2 (nothing changed but the credentials of the copies made for "
                                                "a second card-holder id)";
    bool replayable = true;
    bool firstPass = true;
    for (const char* name : {"pass 1 (all employees new)", second}) {
        const bool refresh = options.RefreshStatistics && !(firstPass && options.FreshFirstPass);
        firstPass = false;
        // The run's connection and schema steps go into the trace too (untimed), so that the
        // replay's database goes through them as well. The replay takes its turns while the
        // pass runs, every ReplayTurnCalls calls of the pass.
        counter.StartRecording(trace);
        std::optional<TTraceReplay> replay;
        if (replayable) {
            replay.emplace(trace, library, replayDatabase.Connection(), account.Port, meter);
            counter.ReplayAlongside(&*replay, ReplayTurnCalls);
        }
        TPassResult pass = RunPass(name, logFile, counter, meter, options.AttributeRoundTrips, [&] {
            if (!refresh) return;
            // Both databases alike: the replay first catches up with the run's schema steps.
            counter.ReplayTurnNow();
            database.RefreshIndexStatistics();
            if (replay) replayDatabase.RefreshIndexStatistics();
        });
        counter.ReplayAlongside(nullptr, 0);
        counter.StopRecording();
        if (replay) {
            pass.ReplayError = counter.ReplayError();
            if (pass.ReplayError.empty()) {
                try {
                    pass.Replay = replay->Finish();
                } catch (const std::exception& error) {
                    pass.ReplayError = error.what();
                }
            }
            // The replay's database no longer follows the run's: later passes cannot be replayed.
            replayable = pass.ReplayError.empty();
            replay.reset();
            meter.Exclude({});
        }
        std::remove(trace.c_str());
        RunFloor(pass, database, account);
        Report(pass, feed.Employees, cards.Records, options.AttributeRoundTrips);
        size.Passes.push_back(std::move(pass));
    }
    if (options.Keep) std::printf("\nkept: %s, %s and %s\n", database.File().c_str(), replayDatabase.File().c_str(), work.c_str());
    return size;
}

int Run(const TBenchOptions& options) {
    const std::string bin = platform::ExecutableDirectory();
    if (options.Verbose) {
        AcquireConsoleOutput();
        ConsoleLevel = 2;
    }
    dbutils::InitializeDatabaseLayer();
    TScopeGuard finalize([] { dbutils::FinalizeDatabaseLayer(); });

    std::vector<TSizeResult> sizes;
    for (const std::size_t employees : options.Sizes) {
        char pattern[] = "/tmp/keyrix-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a work folder in /tmp");
        const std::string work = pattern;
        TScopeGuard removeWork([&work, keep = options.Keep] {
            std::error_code ignored;
            if (!keep) std::filesystem::remove_all(work, ignored);
        });
        sizes.push_back(RunSize(options, employees, bin, work));
    }
    bool failed = false;
    for (const TSizeResult& size : sizes)
        for (const TPassResult& pass : size.Passes) failed = failed || !pass.Error.empty() || !pass.ReplayError.empty();
    const bool met = Summarise(sizes);
    return failed ? 1 : met || !options.CheckGoals ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    // Each line as it is made, also into a file: a pass of a large feed takes a while.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    TBenchOptions options;
    try {
        options = ParseBenchOptions(argc, argv);
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
