// The floor a pass is measured against: the calls it made into the client library, made
// again by bare client calls with nothing of the program in between, against a second
// database prepared exactly like the first. What the pass takes beyond its replay is what
// the program itself costs: reading the feed and the file, deciding, binding, the layer.
#pragma once

#include "bench/ClientTrace.h"
#include "bench/RoundTrips.h"

#include <array>
#include <cstdint>

#include <memory>
#include <string>
#include <vector>

namespace keyrix::bench {

// What the replay of one segment of the trace (between its Begin and End marks) took.
struct TReplaySegment {
    bool Ran = false;
    double Seconds = 0;
    std::uint64_t RoundTrips = 0;
    std::array<std::uint64_t, static_cast<std::size_t>(TCallKind::Count)> Calls{};  // the calls the replay made
};

struct TReplayResult {
    std::array<TReplaySegment, static_cast<std::size_t>(TTraceSegment::Count)> Segments;
    const TReplaySegment& Of(TTraceSegment segment) const { return Segments[static_cast<std::size_t>(segment)]; }
};

class TReplay;

// Replays a trace through the library at the path, sending every attach of the trace to the
// database at the connection string ("host/port:file") with the trace's own parameter block.
// Calls the program made only to learn what it could know (describes, the statement type)
// are left out; so is every statement-info call but the row counts. Each call is timed on
// its own and counted to the segments its marks open, so the replay may run in pieces while
// the trace is still being written: the pass and its replay then take turns, and a change in
// the machine's load meets both alike. The replay's connection is left out of the pass's
// meter. Raises std::runtime_error when a call answers otherwise than it did in the trace (an
// error where there was none, or the other way round, or a fetch that ends elsewhere).
class TTraceReplay {
public:
    TTraceReplay(const std::string& traceFile, const std::string& libraryPath, const std::string& connection,
                 int serverPort, TRoundTripMeter& passMeter);
    TTraceReplay(const TTraceReplay&) = delete;
    TTraceReplay& operator=(const TTraceReplay&) = delete;
    // Rolls back and detaches what a replay that stopped early left open.
    ~TTraceReplay();

    // Replays the whole records written so far.
    void Catchup();
    // Replays the rest of a trace whose writer has closed it.
    TReplayResult Finish();
    // The replay's own connections.
    const std::vector<int>& Sockets() const;

private:
    std::unique_ptr<TReplay> FReplay;
};

}  // namespace keyrix::bench
