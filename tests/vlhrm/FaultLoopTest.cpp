// Fault loops over a whole synchronisation: a clean run counts the calls into the database
// client (or the download's transfer callbacks, or the feed's bytes), then the run is made
// again for every N with the Nth one failing. Every failing run must end cleanly, report
// what went wrong, and leave the database as it was before the pass (or, for an error the
// server reported about one record, as the clean run would less that record); a clean run
// afterwards must give the clean result. A last loop kills the real executable at random
// points of a pass.
//
// By default each loop runs a sample of the N over a small feed; KEYRIX_LONG_LOOPS=1 runs
// every N over a feed of a few hundred employees (KEYRIX_LOOP_EMPLOYEES sets the number).
#include "Services/SyncClients/VLHRM/HttpClient.h"
#include "Services/SyncClients/VLHRM/Unit1.h"
#include "db/DBUtils.h"
#include "db/FbQuery.h"
#include "db/FbTransaction.h"
#include "tests/db/DbFixture.h"
#include "tests/support/FaultyClient.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/vlhrm/RunJournal.h"
#include "tools/DemoCardHolders.h"
#include "tools/DemoFeed.h"

#include <fmt/format.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <chrono>
#include <functional>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

using namespace keyrix;
using namespace keyrix::test;
using Lines = std::vector<std::string>;

namespace {

bool LongLoops() {
    const char* value = std::getenv("KEYRIX_LONG_LOOPS");
    return value != nullptr && std::string(value) == "1";
}

// The employees of the loops' feed: KEYRIX_LOOP_EMPLOYEES, or 300 in the long variant and
// 8 otherwise (the clean run then makes about 460 client calls).
std::size_t LoopEmployees() {
    const char* value = std::getenv("KEYRIX_LOOP_EMPLOYEES");
    if (value != nullptr && std::atoi(value) >= 4) return static_cast<std::size_t>(std::atoi(value));
    return LongLoops() ? 300 : 8;
}

// The seed of the sampled N (and of the kill points): KEYRIX_FAULT_SEED, or the time.
std::uint64_t LoopSeed() {
    static const std::uint64_t seed = [] {
        const char* value = std::getenv("KEYRIX_FAULT_SEED");
        if (value != nullptr && *value != '\0') return static_cast<std::uint64_t>(std::strtoull(value, nullptr, 10));
        return static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count() % 1000000);
    }();
    return seed;
}

// The N of a loop over 1..count: about sample of them (in the long variant longSample, or
// all of them when it is 0), evenly spread from an offset the seed picks, with the first
// and the last always in.
std::vector<std::uint64_t> PickN(std::uint64_t count, std::uint64_t sample, std::uint64_t longSample = 0) {
    if (LongLoops()) sample = longSample != 0 ? longSample : count;
    std::vector<std::uint64_t> picked;
    if (count <= sample) {
        for (std::uint64_t n = 1; n <= count; ++n) picked.push_back(n);
        return picked;
    }
    const std::uint64_t stride = (count + sample - 1) / sample;
    std::set<std::uint64_t> chosen{1, count};
    for (std::uint64_t n = 1 + LoopSeed() % stride; n <= count; n += stride) chosen.insert(n);
    return {chosen.begin(), chosen.end()};
}

// A demo feed and its card-holder file.
struct TWorkload {
    std::string Feed, Cards;
};

TWorkload MakeWorkload(std::size_t employees, std::uint64_t seed) {
    TWorkload workload;
    std::vector<demo::TFeedEmployee> listed;
    std::ostringstream feed, cards;
    demo::WriteFeed(feed, demo::TFeedOptions{employees, seed, 8}, &listed);
    demo::TCardHolderOptions options;
    options.Seed = seed;
    demo::WriteCardHolders(cards, listed, options);
    workload.Feed = feed.str();
    workload.Cards = cards.str();
    return workload;
}

// What the database holds, compared without the ids the generators hand out: every
// reference to a user, department, account or card is replaced by what it stands for (a
// user by its class, employee number and card-holder id). The audit events are kept apart:
// a failed pass records some legitimately.
struct TImage {
    std::map<std::string, std::multiset<std::string>> Tables;
    std::vector<std::string> AuditEvents;  // event code, first and second text

    bool SameTables(const TImage& other) const { return Tables == other.Tables; }
    // The rows of this image not in the other (table: row).
    std::vector<std::string> Missing(const TImage& other) const {
        std::vector<std::string> rows;
        for (const auto& [table, mine] : Tables) {
            const auto theirs = other.Tables.find(table);
            std::multiset<std::string> rest = mine;
            if (theirs != other.Tables.end())
                for (const std::string& row : theirs->second)
                    if (auto at = rest.find(row); at != rest.end()) rest.erase(at);
            for (const std::string& row : rest) rows.push_back(table + ": " + row);
        }
        return rows;
    }
    std::string Difference(const TImage& other) const {
        std::string text;
        for (const std::string& row : Missing(other)) text += "  only before: " + row + "\n";
        for (const std::string& row : other.Missing(*this)) text += "  only after:  " + row + "\n";
        return text;
    }
};

class TImageReader {
public:
    explicit TImageReader(TFbConnection& database) : FDatabase(database) {}

    TImage Read() {
        FTransaction = std::make_shared<TFbTransaction>(FDatabase, dbutils::ReadTransactionParams());
        TImage image;
        FUsers.clear();
        FDepartments.clear();
        FAccounts.clear();
        FCards.clear();
        // The referenced tables first, so that their ids can be named.
        for (const char* table : {"DEPARTMENTS", "USERS", "PARADOX_ACCOUNTS", "ACCESS_CARDS"})
            image.Tables[table] = Rows(table);
        for (const std::string& table : Tables()) {
            if (image.Tables.count(table) != 0) continue;
            if (table == "TEST_AUDIT_EVENTS") continue;
            image.Tables[table] = Rows(table);
        }
        for (const std::vector<std::string>& row :
             Select("select event_code, param1, param2 from test_audit_events order by id"))
            image.AuditEvents.push_back(row[0] + " | " + row[1] + " | " + row[2]);
        FTransaction->Rollback();
        FTransaction.reset();
        return image;
    }

private:
    std::vector<std::vector<std::string>> Select(const std::string& sql, std::vector<std::string>* names = nullptr) {
        TFbQuery query(FTransaction);
        query.SetSQL(sql);
        query.ExecuteWith();
        std::vector<std::vector<std::string>> rows;
        if (names != nullptr)
            for (std::size_t i = 0; i < query.FieldCount(); ++i) names->push_back(query.FieldAt(i).Name());
        for (; !query.Eof(); query.NextRow()) {
            std::vector<std::string> row;
            for (std::size_t i = 0; i < query.FieldCount(); ++i)
                row.push_back(query.FieldAt(i).IsNull() ? "NULL" : query.FieldAt(i).AsString());
            rows.push_back(std::move(row));
        }
        return rows;
    }

    // Every table of the database: no system table, no temporary one, no view.
    std::vector<std::string> Tables() {
        std::vector<std::string> tables;
        for (const auto& row : Select("select trim(rdb$relation_name) from rdb$relations where coalesce(rdb$system_flag, 0) = 0 "
                                      "and rdb$view_blr is null and coalesce(rdb$relation_type, 0) not in (4, 5) "
                                      "order by 1"))
            tables.push_back(row[0]);
        return tables;
    }

    static std::string Named(const std::map<std::string, std::string>& names, const std::string& id) {
        if (id == "NULL") return id;
        const auto at = names.find(id);
        return at != names.end() ? at->second : "unknown#" + id;
    }

    std::multiset<std::string> Rows(const std::string& table) {
        std::vector<std::string> columns;
        const auto rows = Select("select * from " + table, &columns);
        std::multiset<std::string> texts;
        for (const auto& row : rows) {
            std::map<std::string, std::string> value;
            for (std::size_t i = 0; i < columns.size(); ++i) value[columns[i]] = row[i];
            std::string text;
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const std::string& column = columns[i];
                if (column == "ID") continue;
                std::string shown = row[i];
                if (column == "USER_ID" || column == "USERID" || column == "TARGET_USER_ID" ||
                    (column == "GROUP_ID" && table == "USER_GROUPS"))
                    shown = Named(FUsers, shown);
                else if (column == "DEPARTMENT_ID")
                    shown = Named(FDepartments, shown);
                else if (column == "ACCOUNT_ID")
                    shown = Named(FAccounts, shown);
                else if (column == "CARD_ID")
                    shown = Named(FCards, shown);
                text += column + "=" + shown + " ";
            }
            texts.insert(text);
            if (value.count("ID") == 0) continue;
            const std::string& id = value["ID"];
            if (table == "DEPARTMENTS")
                FDepartments[id] = "department(" + value["NAME"] + ")";
            else if (table == "USERS")
                FUsers[id] = value["CLASS"] == "GROUP"
                                 ? "group(" + value["FIRST_NAME"] + "/" + value["SYNC_ID"] + ")"
                                 : "user(#" + value["EMPLOYEE_NUMBER"] + "/" + value["SYNC_ID"] + ")";
            else if (table == "PARADOX_ACCOUNTS")
                FAccounts[id] = "account(" + Named(FUsers, value["USER_ID"]) + ")";
            else if (table == "ACCESS_CARDS")
                FCards[id] = "card(" + Named(FUsers, value["USERID"]) + "/" + value["SYNC_ID"] + ")";
        }
        return texts;
    }

    TFbConnection& FDatabase;
    dbutils::PTransaction FTransaction;
    std::map<std::string, std::string> FUsers, FDepartments, FAccounts, FCards;
};

// What a failing run left: its journal, and the per-record error it reported, if any.
struct TOutcome {
    Lines Journal;
    std::vector<std::string> Criticals;  // "Critical error on service <phase>" entries
    std::string RecordEmployee;          // the employee of a per-record error
    std::size_t RecordErrors = 0;
};

// A database prepared once, a start state made by a first pass, and the sync object run in
// this process as the service runs it.
class FaultLoop : public RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        std::cout << "Fault loop seed " << LoopSeed() << " (KEYRIX_FAULT_SEED repeats it)"
                  << (LongLoops() ? ", long variant" : "") << std::endl;
        UseDatabase(Database);
        Setup.HrmImportEnabled = true;
        Setup.CardHolderImportEnabled = true;
        Setup.CardHolderFile = CardPath;
        Setup.LogToFile = true;
        Database.Isql("INSERT INTO DEPARTMENTS (NAME) VALUES ('Misc (default)');\nCOMMIT;\n");
        Database.Configure(Check);
        Check.OpenConnection();
        Client = std::make_unique<TFaultyClient>(dbutils::FindClientLibrary());

        const std::size_t employees = LoopEmployees();
        StartLoad = MakeWorkload(employees * 3 / 4, 1);
        Load = MakeWorkload(employees, 2);
        ASSERT_NO_FATAL_FAILURE(Reset());
        Start = Reader.Read();
        ASSERT_GT(Start.Tables["USERS"].size(), 3u) << "the start state has users to change";
        ASSERT_NO_FATAL_FAILURE(CleanRun());
        Clean = Reader.Read();
        ASSERT_FALSE(Clean.SameTables(Start)) << "the pass changes something";
        ASSERT_EQ(Clean.AuditEvents, Start.AuditEvents) << "a clean pass records no audit event";
        ASSERT_NO_FATAL_FAILURE(Reset());
        ASSERT_TRUE(Reader.Read().SameTables(Start)) << "the reset gives the start state";
    }
    void TearDown() override {
        Client.reset();
        Check.CloseConnection();
        dbutils::FreeQueries("");
        dbutils::FinalizeDatabaseLayer();
        ::unsetenv("KEYRIX_REGISTRY");
        RunFixture::TearDown();
    }

    // The transfer callbacks since the count was last set to 0, and the one to fail (0: none).
    std::uint64_t Callbacks = 0;
    std::uint64_t FailCallback = 0;

    // One run of the service, as the service's thread makes it.
    Lines Run(const TWorkload& load) {
        ServeFeed();
        Feed = load.Feed;
        WriteFile(CardPath, load.Cards);
        // A log of this run alone: the journal reads the whole file at every entry.
        ::unlink(LogPath.c_str());
        Journal = TRunJournal(LogPath);
        auto module = std::make_unique<TDataModule1>(LogPath);
        // The download's header and body callbacks are counted; the FailCallback-th fails.
        module->HttpCallbackCheck = [this] {
            const std::uint64_t callback = ++Callbacks;
            if (callback == FailCallback) throw EWriteError(fmt::format("Test fault in transfer callback {}", callback));
        };
        DataModule1 = module.get();
        module->RunService();
        module.reset();
        DataModule1 = nullptr;
        return Journal.Finish();
    }
    static bool IsClean(const Lines& journal) {
        return std::none_of(journal.begin(), journal.end(), [](const std::string& entry) {
            return entry.rfind("eventlog error: ", 0) == 0 || entry.find("sync error for employee") != std::string::npos;
        });
    }
    void CleanRun() {
        const Lines journal = Run(Load);
        ASSERT_TRUE(IsClean(journal)) << Joined(journal);
    }
    // Back to the start state: the tables emptied, then the first pass again.
    void Reset() {
        auto transaction = std::make_shared<TFbTransaction>(Check, dbutils::WriteTransactionParams());
        for (const char* table : {"PARADOX_ACCOUNT_GROUPS", "ACCESS_CARD_GROUPS", "ACCESS_CARDS", "PARADOX_ACCOUNTS",
                                  "USER_GROUPS", "USERS", "TEST_AUDIT_EVENTS"}) {
            TFbQuery query(transaction);
            query.SetSQL(std::string("delete from ") + table);
            query.ExecuteWith();
        }
        transaction->Commit();
        const Lines journal = Run(StartLoad);
        ASSERT_TRUE(IsClean(journal)) << Joined(journal);
    }
    static std::string Joined(const Lines& lines) {
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        return text;
    }
    // The phase a "Critical error on service <phase>:" entry names.
    static std::string Phase(const std::string& critical) {
        const std::string::size_type at = critical.find("service ") + 8;
        return critical.substr(at, critical.find(':', at) - at);
    }
    static TOutcome Outcome(Lines journal) {
        TOutcome outcome;
        static const std::regex record("^console: (HRM|Brakon) sync error for employee ([^ ,:]+)");
        for (const std::string& entry : journal) {
            if (entry.rfind("eventlog error: Critical error on service ", 0) == 0) outcome.Criticals.push_back(entry);
            std::smatch match;
            if (std::regex_search(entry, match, record)) {
                ++outcome.RecordErrors;
                outcome.RecordEmployee = match[2];
            }
        }
        outcome.Journal = std::move(journal);
        return outcome;
    }

    // The checks of one failed run against the images; the trace names the run. failedCall
    // names the client call that failed, if it was one.
    void CheckFailedRun(const TOutcome& outcome, const TImage& after, const std::string& failedCall = "") {
        const std::string journal = Joined(outcome.Journal);
        // The calls whose failure the layer lets pass: a statement's drop (the server drops
        // it with the attachment) and a blob's close after it was read whole. The run goes
        // on as if nothing had happened.
        if (failedCall == "isc_dsql_free_statement(DSQL_drop)" || failedCall == "isc_close_blob") {
            EXPECT_TRUE(IsClean(outcome.Journal)) << journal;
            EXPECT_TRUE(after.SameTables(Clean)) << Clean.Difference(after) << journal;
            EXPECT_EQ(after.AuditEvents, Start.AuditEvents) << journal;
            return;
        }
        if (outcome.RecordErrors > 0) {
            // An error the server reported about one record: the pass went on without it.
            ASSERT_EQ(outcome.RecordErrors, 1u) << journal;
            EXPECT_TRUE(outcome.Criticals.empty()) << journal;
            const std::string tag = "#" + outcome.RecordEmployee + "/";
            for (const std::string& row : Clean.Missing(after)) EXPECT_TRUE(BelongsTo(row, tag)) << row << "\n" << journal;
            for (const std::string& row : after.Missing(Clean)) EXPECT_TRUE(BelongsTo(row, tag)) << row << "\n" << journal;
            ASSERT_EQ(after.AuditEvents.size(), Start.AuditEvents.size() + 1) << journal;
            const std::string& event = after.AuditEvents.back();
            EXPECT_EQ(event.rfind("11 | Sync trouble (", 0), 0u) << event;
            EXPECT_NE(event.find(outcome.RecordEmployee), std::string::npos) << event;
            return;
        }
        ASSERT_EQ(outcome.Criticals.size(), 1u) << "the failure is reported once:\n" << journal;
        const std::string& critical = outcome.Criticals.front();
        if (critical.find("service shutdown") != std::string::npos) {
            // Past the pass's commit: what it committed stays.
            EXPECT_TRUE(after.SameTables(Clean)) << Clean.Difference(after) << journal;
        } else {
            EXPECT_TRUE(after.SameTables(Start)) << "nothing of the failed pass is kept:\n"
                                                 << Start.Difference(after) << journal;
        }
        EXPECT_EQ(after.AuditEvents, Start.AuditEvents) << "a database error records no audit event\n" << journal;
    }
    // Whether a row (of the difference) is the employee's: it names the employee, or it is a
    // group whose only members in the clean result are the employee's users.
    bool BelongsTo(const std::string& row, const std::string& tag) const {
        if (row.find(tag) != std::string::npos) return true;
        if (row.rfind("USERS: ", 0) == 0 && row.find(" EMPLOYEE_NUMBER=" + tag.substr(1, tag.size() - 2) + " ") != std::string::npos)
            return true;
        static const std::regex group("^USERS: .*CLASS=GROUP .*FIRST_NAME=([^ ]*) .*SYNC_ID=([^ ]*) ");
        std::smatch match;
        if (!std::regex_search(row, match, group)) return false;
        const std::string key = "GROUP_ID=group(" + match[1].str() + "/" + match[2].str() + ")";
        for (const std::string& membership : Clean.Tables.at("USER_GROUPS"))
            if (membership.find(key) != std::string::npos && membership.find(tag) == std::string::npos) return false;
        return true;
    }

    // The loop over the client calls with one kind of fault.
    void ClientCallLoop(TClientFault fault, std::uint64_t sample) {
        Client->Arm(0, fault, true);
        ASSERT_NO_FATAL_FAILURE(CleanRun());
        Client->Disarm();
        const std::uint64_t calls = Client->Calls();
        // The pass's commit: after it, the shut-down only drops statements, ends the
        // prepare transaction and detaches.
        const std::vector<std::string> names = Client->Names();
        ASSERT_EQ(names.size(), calls);
        static const std::set<std::string> shutDownCalls = {"isc_dsql_free_statement", "isc_commit_transaction",
                                                            "isc_rollback_transaction", "isc_detach_database"};
        std::uint64_t passCommit = calls;
        while (passCommit > 0 && shutDownCalls.count(names[passCommit - 1].substr(0, names[passCommit - 1].find('('))) != 0)
            --passCommit;
        ++passCommit;
        ASSERT_LE(passCommit, calls);
        ASSERT_EQ(names[passCommit - 1], "isc_commit_transaction");
        ASSERT_TRUE(Reader.Read().SameTables(Clean)) << "the clean run is repeatable";
        const std::vector<std::uint64_t> picked = PickN(calls, sample);
        std::cout << "Client calls of a clean run: C = " << calls << " (the pass commits in call " << passCommit
                  << "); failing " << picked.size() << " of them" << std::endl;
        std::map<std::string, int> kinds;
        const auto loopStart = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < picked.size(); ++i) {
            const std::uint64_t n = picked[i];
            if (i > 0 && i % 100 == 0)
                std::cout << "  " << i << " of " << picked.size() << " after "
                          << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - loopStart).count()
                          << " s" << std::endl;
            ASSERT_NO_FATAL_FAILURE(Reset());
            Client->Arm(n, fault);
            const TOutcome outcome = Outcome(Run(Load));
            Client->Disarm();
            SCOPED_TRACE(fmt::format("client call {} of {} ({}) failed", n, calls, Client->FiredIn()));
            ASSERT_TRUE(Client->Fired());
            const TImage after = Reader.Read();
            if (fault == TClientFault::LostConnection && n > passCommit && outcome.Criticals.empty()) {
                // Lost after the commit, while shutting down: the layer lets a lost
                // connection's detach pass, and nothing is lost.
                EXPECT_TRUE(IsClean(outcome.Journal)) << Joined(outcome.Journal);
                EXPECT_TRUE(after.SameTables(Clean)) << Clean.Difference(after);
                ++kinds["lost while shutting down, after the commit"];
                continue;
            }
            CheckFailedRun(outcome, after, fault == TClientFault::ServerError ? Client->FiredIn() : "");
            ++kinds[outcome.RecordErrors > 0        ? "per-record error"
                    : outcome.Criticals.empty() ? "ignored " + Client->FiredIn()
                                                : "failed " + Phase(outcome.Criticals[0])];
            if (HasFailure()) return;  // the first failing N is the one to look at
            // A clean run from the state the failure left.
            if (outcome.RecordErrors == 0 && !after.SameTables(Clean)) {
                ASSERT_NO_FATAL_FAILURE(CleanRun());
                const TImage again = Reader.Read();
                ASSERT_TRUE(again.SameTables(Clean)) << Clean.Difference(again);
            }
        }
        for (const auto& [kind, count] : kinds) std::cout << "  " << count << " x " << kind << std::endl;
    }

    // The checks of a run whose download failed: reported as the pass's failure, nothing
    // committed, and the one audit event of a failed pass (26) with the error's class.
    void CheckFailedDownload(const TOutcome& outcome, const TImage& before, const TImage& after,
                             const std::string& errorClass) {
        const std::string journal = Joined(outcome.Journal);
        ASSERT_EQ(outcome.Criticals.size(), 1u) << journal;
        EXPECT_EQ(Phase(outcome.Criticals[0]), "work") << journal;
        EXPECT_NE(outcome.Criticals[0].find("\r\n" + errorClass + "\r\n"), std::string::npos) << journal;
        EXPECT_EQ(outcome.RecordErrors, 0u) << journal;
        EXPECT_TRUE(after.SameTables(Start)) << Start.Difference(after) << journal;
        ASSERT_EQ(after.AuditEvents.size(), before.AuditEvents.size() + 1) << journal;
        EXPECT_EQ(after.AuditEvents.back().rfind("26 | HRM sync failed! | " + errorClass + "\r\n", 0), 0u)
            << after.AuditEvents.back();
    }
    // A clean run from the start state gives the clean result; then the start state again.
    void CleanRunGivesTheCleanResult() {
        ASSERT_NO_FATAL_FAILURE(CleanRun());
        const TImage again = Reader.Read();
        ASSERT_TRUE(again.SameTables(Clean)) << Clean.Difference(again);
        ASSERT_NO_FATAL_FAILURE(Reset());
    }

    TTestDatabase Database;
    std::string CardPath = Dir.File("cards.xml");
    std::string Feed;
    std::function<void(THttpResponse&)> Shape;  // changes the feed's response
    // The feed server, made anew before it would stop serving by itself (the long loops
    // outlast its lifetime); the settings follow its port.
    void ServeFeed() {
        const auto now = std::chrono::steady_clock::now();
        if (Server && now - ServerStarted < THttpsTestServer::Lifetime / 2) return;
        Server.reset();
        Server = std::make_unique<THttpsTestServer>([this](const THttpRequest&) {
            THttpResponse response;
            response.Body = Feed;
            if (Shape) Shape(response);
            return response;
        });
        ServerStarted = now;
        Setup.HrmUrl = Server->Url("/General/HrDataService.asmx/GetBrakonData");
    }
    std::unique_ptr<THttpsTestServer> Server;
    std::chrono::steady_clock::time_point ServerStarted;
    TFbConnection Check{"check"};
    TImageReader Reader{Check};
    std::unique_ptr<TFaultyClient> Client;
    TWorkload StartLoad, Load;
    TImage Start, Clean;
};

}  // namespace

TEST_F(FaultLoop, EveryClientCallFailingAsAServerError) {
    ClientCallLoop(TClientFault::ServerError, 60);
}

TEST_F(FaultLoop, EveryClientCallFailingAsALostConnection) {
    ClientCallLoop(TClientFault::LostConnection, 60);
}

// The faults the loops found, each at the call that showed it, whatever N the sample picks.
TEST_F(FaultLoop, CallsThatShowedFaults) {
    Client->Arm(0, TClientFault::ServerError, true);
    ASSERT_NO_FATAL_FAILURE(CleanRun());
    Client->Disarm();
    const std::vector<std::string> names = Client->Names();
    ASSERT_NO_FATAL_FAILURE(Reset());
    // The call number of the count-th call of that name after the first call of another.
    auto find = [&names](const std::string& name, int count, const std::string& after = "") -> std::uint64_t {
        std::size_t i = 0;
        if (!after.empty())
            while (i < names.size() && names[i] != after) ++i;
        for (; i < names.size(); ++i)
            if (names[i] == name && --count == 0) return i + 1;
        return 0;
    };
    struct Case {
        const char* what;
        std::uint64_t n;
    };
    const Case cases[] = {
        // Rolled back to the first employee's savepoint, undoing that employee's changes.
        {"the second employee's savepoint", find("isc_dsql_execute_immediate(savepoint user_create_ok)", 2)},
        {"the second card-holder record's savepoint", find("isc_dsql_execute_immediate(savepoint card_create_ok)", 2)},
        // The cursor stayed open and every later employee failed on it.
        {"the first employee's cursor close", find("isc_dsql_free_statement(DSQL_close)", 1,
                                                   "isc_dsql_execute_immediate(savepoint user_create_ok)")},
        // The transaction stayed open at the server, and the detach was refused.
        {"the first rollback", find("isc_rollback_transaction", 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{}: client call {}", c.what, c.n));
        ASSERT_NE(c.n, 0u) << "the clean run makes that call";
        Client->Arm(c.n, TClientFault::ServerError);
        const TOutcome outcome = Outcome(Run(Load));
        Client->Disarm();
        const TImage after = Reader.Read();
        CheckFailedRun(outcome, after, Client->FiredIn());
        if (outcome.RecordErrors == 0 && !after.SameTables(Clean)) {
            ASSERT_NO_FATAL_FAILURE(CleanRun());
            const TImage again = Reader.Read();
            EXPECT_TRUE(again.SameTables(Clean)) << Clean.Difference(again);
        }
        ASSERT_NO_FATAL_FAILURE(Reset());
    }
}

TEST_F(FaultLoop, EveryTransferCallbackFailing) {
    // The callbacks of a clean run: the headers' and the body's.
    Callbacks = 0;
    ASSERT_NO_FATAL_FAILURE(CleanRun());
    const std::uint64_t callbacks = Callbacks;
    ASSERT_NO_FATAL_FAILURE(Reset());
    const std::vector<std::uint64_t> picked = PickN(callbacks, 40);
    std::cout << "Transfer callbacks of a clean run: C = " << callbacks << "; failing " << picked.size() << " of them"
              << std::endl;
    for (std::uint64_t n : picked) {
        SCOPED_TRACE(fmt::format("transfer callback {} of {} failed", n, callbacks));
        const TImage before = Reader.Read();
        Callbacks = 0;
        FailCallback = n;
        const TOutcome outcome = Outcome(Run(Load));
        FailCallback = 0;
        CheckFailedDownload(outcome, before, Reader.Read(), "EWriteError");
        EXPECT_NE(Joined(outcome.Journal).find(fmt::format("Test fault in transfer callback {}", n)), std::string::npos);
        if (HasFailure()) return;
        ASSERT_NO_FATAL_FAILURE(CleanRunGivesTheCleanResult());
    }
}

TEST_F(FaultLoop, FeedServerClosingAfterEveryByte) {
    const std::size_t length = Load.Feed.size();
    // Every byte count would be hundreds of thousands of runs in the long variant.
    const std::vector<std::uint64_t> picked = PickN(length, 15, 400);
    std::cout << "Feed body of " << length << " bytes; the server closes after " << picked.size()
              << " different byte counts" << std::endl;
    for (std::uint64_t n : picked) {
        const std::size_t sent = static_cast<std::size_t>(n - 1);  // 0 to length - 1 bytes
        SCOPED_TRACE(fmt::format("the server closed after {} of {} body bytes", sent, length));
        const TImage before = Reader.Read();
        Shape = [sent](THttpResponse& response) { response.CloseAfter = sent; };
        const TOutcome outcome = Outcome(Run(Load));
        Shape = nullptr;
        CheckFailedDownload(outcome, before, Reader.Read(), "ESocketError");
        if (HasFailure()) return;
        ASSERT_NO_FATAL_FAILURE(CleanRunGivesTheCleanResult());
    }
}

namespace {

std::string RegQuoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) quoted += (c == '\\' || c == '"') ? std::string("\\") + c : std::string(1, c);
    return quoted + "\"";
}

std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

// The real executable, killed with SIGKILL at random points of a full pass: the database
// is always as before the pass (or, killed after the commit, as after it), and the next
// complete run gives the clean result.
TEST_F(FaultLoop, KilledRunsLeaveTheDatabaseAsBefore) {
    const std::string binary = Dir.File("KeyrixSyncVLHRM");
    std::filesystem::copy_file(KEYRIX_EXECUTABLE, binary);
    std::filesystem::permissions(binary, std::filesystem::perms::owner_all);
    const std::string hive = Dir.File("registry.reg");
    const std::string events = Dir.File("events.log");
    const std::string runLog = Dir.File("VLHRMSync_log.txt");  // beside the executable
    const TFbServer& server = TFbServer::Get();
    const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM";
    const auto writeHive = [&] {
        WriteFile(hive, "Windows Registry Editor Version 5.00\r\n\r\n" + key + "]\r\n\"Version\"=dword:00000001\r\n\r\n" +
                            key + "\\Database]\r\n\"Server address\"=" + RegQuoted(server.Host) + "\r\n\"Port number\"=dword:" +
                            fmt::format("{:08x}", std::stoi(server.Port)) + "\r\n\"Database name\"=" +
                            RegQuoted(Setup.DatabaseName) + "\r\n\"Username\"=" + RegQuoted(server.User) +
                            "\r\n\"Password\"=" + RegQuoted(server.Password) + "\r\n\r\n" + key +
                            "\\General]\r\n\"Log messages to file\"=dword:00000001\r\n\r\n" + key +
                            "\\HRM]\r\n\"Import enabled\"=dword:00000001\r\n\"Data source URL\"=" + RegQuoted(Setup.HrmUrl) +
                            "\r\n\r\n" + key + "\\BRAKON]\r\n\"Import enabled\"=dword:00000001\r\n\"Data source file\"=" +
                            RegQuoted(CardPath) + "\r\n");
    };
    // The run of the service in debug mode, killed after the limit (fractions of a second).
    auto run = [&](double limitSeconds) {
        ServeFeed();
        writeHive();
        Feed = Load.Feed;
        WriteFile(CardPath, Load.Cards);
        ::unlink(runLog.c_str());
        return RunCommand("env -u NOTIFY_SOCKET KEYRIX_REGISTRY=" + ShellQuoted(hive) + " KEYRIX_EVENTLOG=" +
                          ShellQuoted(events) + " KEYRIX_SYSTEMD_DIR=" + ShellQuoted(Dir.File("units")) +
                          " KEYRIX_RUN_LOCK=" + ShellQuoted(RunLockPath) + " timeout -s KILL " +
                          fmt::format("{:.3f}", limitSeconds) + " " + ShellQuoted(binary) + " /SVC /DEBUG 2>&1");
    };
    auto completeRun = [&] {
        const TCommandResult result = run(120);
        ASSERT_EQ(result.ExitCode, 0) << result.Output;
        ASSERT_EQ(result.Output.find("sync error"), std::string::npos) << result.Output;
        ASSERT_EQ(result.Output.find("Critical error"), std::string::npos) << result.Output;
        const TImage image = Reader.Read();
        ASSERT_TRUE(image.SameTables(Clean)) << Clean.Difference(image) << result.Output;
    };

    // How long a complete run takes, for the range of the kill points: the shorter of two,
    // since the first one also loads the executable from disk.
    double seconds = 0;
    for (int i = 0; i < 2; ++i) {
        const auto started = std::chrono::steady_clock::now();
        ASSERT_NO_FATAL_FAILURE(completeRun());
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        seconds = i == 0 ? took : std::min(seconds, took);
        ASSERT_NO_FATAL_FAILURE(Reset());
    }

    std::mt19937_64 random(LoopSeed());
    std::uniform_real_distribution<double> point(0.0, seconds);
    const int kills = LongLoops() ? 100 : 20;
    std::map<std::string, int> reached;  // the last line of the sync log at the kill
    for (int kill = 1; kill <= kills; ++kill) {
        const double at = point(random);
        SCOPED_TRACE(fmt::format("kill {} of {} after {:.3f} s (a complete run takes {:.3f} s)", kill, kills, at, seconds));
        const TCommandResult killed = run(at);
        const Lines log = FileExists(runLog) ? ReadCrLfLines(runLog) : Lines{};
        const std::string last = log.empty() ? "(no log)" : log.back().substr(0, std::min<std::size_t>(log.back().find_first_of("0123456789:"), 30));
        const TImage image = Reader.Read();
        if (killed.ExitCode == 0) {
            // The run ended before the kill.
            ++reached["(run complete)"];
            EXPECT_TRUE(image.SameTables(Clean)) << Clean.Difference(image);
        } else {
            EXPECT_EQ(killed.ExitCode, 128 + SIGKILL) << killed.Output;
            ++reached[last];
            const bool passDone = std::any_of(log.begin(), log.end(), [](const std::string& line) {
                return line.rfind("Associated existing cards (soyal):", 0) == 0;
            });
            if (passDone && image.SameTables(Clean)) {
                // Killed after the commit.
            } else {
                EXPECT_TRUE(image.SameTables(Start)) << Start.Difference(image) << killed.Output;
                EXPECT_EQ(image.AuditEvents, Start.AuditEvents);
                if (HasFailure()) return;
                ASSERT_NO_FATAL_FAILURE(completeRun());
            }
        }
        if (HasFailure()) return;
        ASSERT_NO_FATAL_FAILURE(Reset());
    }
    std::cout << "Killed " << kills << " runs; the sync log's last line at the kill:" << std::endl;
    for (const auto& [line, count] : reached) std::cout << "  " << count << " x " << line << std::endl;
}
