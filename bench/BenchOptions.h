// The bench's command line: the sizes to run, the feed and file to make, the databases to
// make them in and what to measure. ParseBenchOptions reads it as Usage describes it; Usage
// is also what --help prints.
#pragma once

#include "tools/DemoFeed.h"

#include <cstddef>
#include <string>
#include <vector>

namespace keyrix::bench {

extern const char* const Usage;

// Runs of more employees are measured beside a run of this many.
constexpr std::size_t BaseEmployees = 20'000;

// The page cache each database gets: room for the largest register measured here. With the
// server's default (2,048 pages of 8 KiB) a 100,000-employee database outgrows the cache in
// its first pass, and with forced writes on every dirty page it evicts is a synchronous write.
constexpr int DefaultPageBuffers = 32'768;

struct TBenchOptions {
    demo::TFeedOptions Feed{BaseEmployees, 1, 8};
    std::vector<std::size_t> Sizes;
    bool CardHolderFaults = true;
    std::string DatabaseFolder = "/var/lib/keyrix-bench";
    std::string Schema = KEYRIX_BENCH_SCHEMA;
    bool Keep = false;
    bool Verbose = false;
    bool AttributeRoundTrips = false;
    bool CheckGoals = true;
    int PageBuffers = DefaultPageBuffers;
    bool RefreshStatistics = true;
    // The first pass finds the statistics as a new installation has them: those the schema
    // steps made on the empty table.
    bool FreshFirstPass = false;
};

// The options of the command line. Raises demo::TUsageError for one it cannot use; --help
// prints Usage and ends the process.
TBenchOptions ParseBenchOptions(int argc, char** argv);

}  // namespace keyrix::bench
