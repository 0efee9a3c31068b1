// Counts, and on request records, the calls the database layer makes into the Firebird
// client library. The layer keeps one TFbClient per library path, and every connection of
// the process that loads that path calls through its function table. The counter observes
// the table's entries through a TFbClientInterposer and keeps the table alive while it
// lives, so every connection made in the meantime, the run's own included, is counted.
#pragma once

#include "bench/ClientTrace.h"
#include "bench/Replay.h"
#include "bench/RoundTrips.h"
#include "db/FbClientInterposer.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace keyrix::bench {

struct TClientCalls {
    static constexpr std::size_t Kinds = static_cast<std::size_t>(TCallKind::Count);
    std::array<std::uint64_t, Kinds> Calls{};
    // Round trips each kind of call cost; only while the counter attributes them.
    std::array<std::uint64_t, Kinds> Trips{};
    // Time spent inside the library's functions (waiting on the server included).
    std::uint64_t ClientNanoseconds = 0;

    std::uint64_t Of(TCallKind kind) const { return Calls[static_cast<std::size_t>(kind)]; }
    std::uint64_t Executes() const { return Of(TCallKind::Execute) + Of(TCallKind::Execute2); }
    std::uint64_t Immediates() const { return Of(TCallKind::Immediate); }
    // What the server executed.
    std::uint64_t Statements() const { return Executes() + Immediates(); }
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

    // Writes every call to the trace from now on until StopRecording, which closes it.
    void StartRecording(const std::string& traceFile);
    void Mark(TTraceMark mark, TTraceSegment segment);
    void StopRecording();

    // While a trace is written: every so many calls, before the next one, hands the trace's
    // new records to the replay, so that the pass and its replay take turns. The time it
    // takes is PausedSeconds; a replay that fails is dropped and its error kept.
    void ReplayAlongside(TTraceReplay* replay, std::uint64_t everyCalls);
    double PausedSeconds() const;
    // The replay's turn now: it catches up with everything recorded so far.
    void ReplayTurnNow();
    std::string ReplayError() const;

    // Measures the round trips of every call with the meter (two system calls per call, so
    // not while timing), or stops with nullptr.
    void AttributeRoundTrips(TRoundTripMeter* meter);

private:
    class TRecorder;
    std::unique_ptr<TRecorder> FRecorder;
    // Goes first, before the recorder it calls.
    std::unique_ptr<TFbClientInterposer> FInterposer;
};

}  // namespace keyrix::bench
