// What one pass of the program costs, measured in this process: RunPass runs a pass with a
// new TDataModule1 and times it and each of its two imports around their calls (the clock,
// the layer's executions, the client calls and their round trips, the memory, the rows the
// server touched), with the marks in the trace that let the replay time the same calls;
// RunFloor runs the select-1 floor for as many statements. The results of a size's passes
// are kept for the report and the goals.
#pragma once

#include "bench/BenchDatabase.h"
#include "bench/ClientCalls.h"
#include "bench/Replay.h"
#include "bench/RoundTrips.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace keyrix::bench {

// What one segment of a pass (the pass, or an import in it) cost, measured around its call.
struct TSegmentResult {
    bool Ran = false;
    bool Failed = false;  // it raised; the figures are up to the failure
    double Seconds = 0;
    std::uint64_t Executions = 0;  // TFbQuery::ExecuteWith calls
    TClientCalls Calls;
    std::uint64_t RoundTrips = 0;
};

// The rows the server inserted, updated, deleted and read for a connection.
struct TRowStats {
    std::int64_t Inserted = 0, Updated = 0, Deleted = 0, IndexReads = 0, TableReads = 0;
    TRowStats operator-(const TRowStats& earlier) const {
        return {Inserted - earlier.Inserted, Updated - earlier.Updated, Deleted - earlier.Deleted,
                IndexReads - earlier.IndexReads, TableReads - earlier.TableReads};
    }
};

struct TPassResult {
    std::string Name;
    std::string Error;  // empty when the pass went through
    TSegmentResult Pass, Hrm, CardHolders;
    long RssBeforeKiB = -1, PeakKiB = -1;
    bool PeakOfPass = false;  // else the process's peak so far
    std::optional<TRowStats> Rows;
    // The select-1 floor for as many statements.
    double FloorSeconds = 0;
    // The replay floor: the same client calls, bare, on the replay's database.
    std::optional<TReplayResult> Replay;
    std::string ReplayError;

    const TSegmentResult& Of(TTraceSegment segment) const {
        return segment == TTraceSegment::Hrm ? Hrm : segment == TTraceSegment::CardHolders ? CardHolders : Pass;
    }
};

// One size's run: its feed, file, databases and two passes.
struct TSizeResult {
    std::size_t Employees = 0;
    std::size_t CardHolderRecords = 0;
    double FeedMiB = 0;
    std::vector<TPassResult> Passes;
};

// The exception being handled, as "class: message".
std::string ErrorText();

// Connects (untimed), calls beforePass, then runs and measures the pass; with attribute, the
// round trips are also counted by kind of call. A pass that raises is measured up to its
// failure, its error kept in the result.
TPassResult RunPass(const std::string& name, const std::string& logFile, TClientCallCounter& counter,
                    TRoundTripMeter& meter, bool attribute, const std::function<void()>& beforePass);

// Executes "select 1 from rdb$database", prepared once, as many times as the pass executed
// statements, on a connection of its own.
void RunFloor(TPassResult& pass, const TBenchDatabase& database, const TFbAccount& account);

}  // namespace keyrix::bench
