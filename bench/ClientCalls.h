// Counts the calls the database layer makes into the Firebird client library. The layer
// counts its statements' executions itself (TFbQuery::TotalExecutions); this adds what a
// pass costs besides them: the texts run immediately (savepoints), the prepares, fetches,
// commits and rollbacks.
//
// The layer keeps one TFbClient per library path, and every connection of the process
// that loads that path calls through its function table. The counter puts a forwarding
// function in front of the entries it counts and keeps the table alive while it lives, so
// every connection made in the meantime, the run's own included, is counted.
#pragma once

#include "db/FbClient.h"

#include <cstdint>
#include <memory>
#include <string>

namespace keyrix::bench {

struct TClientCalls {
    std::uint64_t Executes = 0;    // isc_dsql_execute, isc_dsql_execute2: prepared statements run
    std::uint64_t Immediates = 0;  // isc_dsql_execute_immediate: savepoints and other one-off texts
    std::uint64_t Prepares = 0;    // isc_dsql_prepare
    std::uint64_t Fetches = 0;     // isc_dsql_fetch (the client buffers rows; not one round trip each)
    std::uint64_t Commits = 0;
    std::uint64_t Rollbacks = 0;

    // What the server executed.
    std::uint64_t Statements() const { return Executes + Immediates; }
    TClientCalls operator-(const TClientCalls& earlier) const;
};

class TClientCallCounter {
public:
    // Counts the calls through the library at the path (as dbutils::FindClientLibrary
    // names it) from now on. One counter at a time.
    explicit TClientCallCounter(const std::string& libraryPath);
    TClientCallCounter(const TClientCallCounter&) = delete;
    TClientCallCounter& operator=(const TClientCallCounter&) = delete;
    // Puts the library's own functions back.
    ~TClientCallCounter();

    TClientCalls Now() const;

private:
    std::shared_ptr<TFbClient> FClient;
};

}  // namespace keyrix::bench
