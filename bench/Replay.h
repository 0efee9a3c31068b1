// The floor a pass is measured against: the calls it made into the client library, made
// again by bare client calls with nothing of the program in between, against a second
// database prepared exactly like the first. What the pass takes beyond its replay is what
// the program itself costs: reading the feed and the file, deciding, binding, the layer.
#pragma once

#include "bench/ClientCalls.h"

#include <string>

namespace keyrix::bench {

// What the replay of one segment of the trace (between its Begin and End marks) took.
struct TReplaySegment {
    bool Ran = false;
    double Seconds = 0;
    std::uint64_t RoundTrips = 0;
    TClientCalls Calls;  // the calls the replay made
};

struct TReplayResult {
    std::array<TReplaySegment, static_cast<std::size_t>(TTraceSegment::Count)> Segments;
    std::uint64_t Records = 0;  // trace records read
    const TReplaySegment& Of(TTraceSegment segment) const { return Segments[static_cast<std::size_t>(segment)]; }
};

// Replays the trace through the library at the path, sending every attach of the trace to
// the database at the connection string ("host/port:file") with the trace's own parameter
// block. Calls the program made only to learn what it could know (describes, the statement
// type) are left out; so is every statement-info call but the row counts. Raises
// std::runtime_error when a call answers otherwise than it did in the trace (an error where
// there was none, or the other way round, or a fetch that ends elsewhere).
TReplayResult ReplayTrace(const std::string& traceFile, const std::string& libraryPath,
                          const std::string& connection, int serverPort);

}  // namespace keyrix::bench
