#include "bench/Measure.h"

#include "Services/SyncClients/VLHRM/Unit1.h"
#include "common/Exceptions.h"
#include "common/ScopeGuard.h"
#include "db/DBUtils.h"

#include <chrono>
#include <cstdlib>
#include <fstream>

namespace keyrix::bench {

namespace {

// Times one segment: the clock, the layer's and the library's counts, the round trips, and
// the marks in the trace that let the replay time the same calls.
class TSegmentTimer {
public:
    TSegmentTimer(TSegmentResult& result, TTraceSegment segment, TClientCallCounter& counter, const TRoundTripMeter& meter)
        : FResult(result), FSegment(segment), FCounter(counter), FMeter(meter) {
        FCounter.Mark(TTraceMark::Begin, FSegment);
        FCalls = FCounter.Now();
        FExecutions = TFbQuery::TotalExecutions();
        FTrips = FMeter.Sent();
        FPaused = FCounter.PausedSeconds();
        FStart = std::chrono::steady_clock::now();
    }
    ~TSegmentTimer() {
        FResult.Ran = true;
        // Less the replay's turns taken meanwhile.
        FResult.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count() -
                          (FCounter.PausedSeconds() - FPaused);
        FResult.RoundTrips = FMeter.Sent() - FTrips;
        FResult.Executions = TFbQuery::TotalExecutions() - FExecutions;
        FResult.Calls = FCounter.Now() - FCalls;
        FCounter.Mark(TTraceMark::End, FSegment);
    }
    TSegmentTimer(const TSegmentTimer&) = delete;
    TSegmentTimer& operator=(const TSegmentTimer&) = delete;

private:
    TSegmentResult& FResult;
    TTraceSegment FSegment;
    TClientCallCounter& FCounter;
    const TRoundTripMeter& FMeter;
    TClientCalls FCalls;
    std::uint64_t FExecutions = 0, FTrips = 0;
    double FPaused = 0;
    std::chrono::steady_clock::time_point FStart;
};

// The phases of a run, reachable one by one; each import is measured as the pass calls it.
class TBenchModule : public TDataModule1 {
public:
    TBenchModule(const std::string& logFile, TClientCallCounter& counter, const TRoundTripMeter& meter)
        : TDataModule1(logFile), FCounter(counter), FMeter(meter) {}
    void Open() {
        ConnectDatabase();
        PrepareSchema();
    }
    void Pass() { SyncPass(); }
    void Close() {
        DisconnectDatabase();
        FreeQueries("");
    }

    TSegmentResult Hrm, CardHolders;

protected:
    void ImportHrmUsers() override {
        Measure(Hrm, TTraceSegment::Hrm, [this] { TDataModule1::ImportHrmUsers(); });
    }
    void ImportCardHolders() override {
        Measure(CardHolders, TTraceSegment::CardHolders, [this] { TDataModule1::ImportCardHolders(); });
    }

private:
    template <class TImport>
    void Measure(TSegmentResult& result, TTraceSegment segment, TImport import) {
        // Also when the import fails: the report shows how far it got.
        TSegmentTimer timer(result, segment, FCounter, FMeter);
        try {
            import();
        } catch (...) {
            result.Failed = true;
            throw;
        }
    }

    TClientCallCounter& FCounter;
    const TRoundTripMeter& FMeter;
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

}  // namespace

std::string ErrorText() {
    const TErrorInfo error = DescribeCurrentException();
    return error.ClassName + ": " + error.Message;
}

TPassResult RunPass(const std::string& name, const std::string& logFile, TClientCallCounter& counter,
                    TRoundTripMeter& meter, bool attribute, const std::function<void()>& beforePass) {
    TPassResult result;
    result.Name = name;
    TBenchModule module(logFile, counter, meter);
    DataModule1 = &module;
    TScopeGuard forget([] { DataModule1 = nullptr; });
    // Connecting and the schema are the run's, not the pass's.
    module.Open();
    beforePass();
    meter.Refresh();
    const std::optional<TRowStats> rowsBefore = RowStats(module.dbDatabase);

    result.RssBeforeKiB = StatusKiB("VmRSS");
    result.PeakOfPass = ResetPeakMemory();
    if (attribute) counter.AttributeRoundTrips(&meter);
    {
        TSegmentTimer timer(result.Pass, TTraceSegment::Pass, counter, meter);
        try {
            module.Pass();
        } catch (...) {
            result.Error = ErrorText();
            result.Pass.Failed = true;
        }
    }
    counter.AttributeRoundTrips(nullptr);
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
void RunFloor(TPassResult& pass, const TBenchDatabase& database, const TFbAccount& account) {
    const std::uint64_t count = pass.Pass.Calls.Statements();
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

    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < count; ++i) query->ExecuteWith();
    pass.FloorSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    dbutils::FreeQuery(query, true);
    connection.CloseConnection();
}

}  // namespace keyrix::bench
