#include "bench/ClientCalls.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace keyrix::bench {

namespace {

constexpr std::size_t Kinds = TClientCalls::Kinds;

constexpr TCallKind KindOf(TFbEntry entry) {
    switch (entry) {
        case TFbEntry::isc_attach_database: return TCallKind::Attach;
        case TFbEntry::isc_detach_database: return TCallKind::Detach;
        case TFbEntry::isc_start_transaction: return TCallKind::Start;
        case TFbEntry::isc_commit_transaction: return TCallKind::Commit;
        case TFbEntry::isc_rollback_transaction: return TCallKind::Rollback;
        case TFbEntry::isc_dsql_allocate_statement: return TCallKind::Allocate;
        case TFbEntry::isc_dsql_prepare: return TCallKind::Prepare;
        case TFbEntry::isc_dsql_describe: return TCallKind::Describe;
        case TFbEntry::isc_dsql_describe_bind: return TCallKind::DescribeBind;
        case TFbEntry::isc_dsql_execute: return TCallKind::Execute;
        case TFbEntry::isc_dsql_execute2: return TCallKind::Execute2;
        case TFbEntry::isc_dsql_execute_immediate: return TCallKind::Immediate;
        case TFbEntry::isc_dsql_fetch: return TCallKind::Fetch;
        case TFbEntry::isc_dsql_free_statement: return TCallKind::Free;
        case TFbEntry::isc_dsql_sql_info: return TCallKind::Info;
        case TFbEntry::isc_open_blob2: return TCallKind::BlobOpen;
        case TFbEntry::isc_get_segment: return TCallKind::BlobSegment;
        case TFbEntry::isc_close_blob: return TCallKind::BlobClose;
        default: std::abort();  // the interposer leaves the others to the library
    }
}

std::uint32_t H(const FB_API_HANDLE* handle) { return handle != nullptr ? static_cast<std::uint32_t>(*handle) : 0; }

std::size_t Length(short length) { return static_cast<std::size_t>(length > 0 ? length : 0); }

// A length of 0 means a text ended by NUL.
std::size_t TextLength(unsigned short length, const ISC_SCHAR* text) { return length != 0 ? length : std::strlen(text); }

short BaseType(short type) { return static_cast<short>(type & ~1); }

// The payload of an execution, built in storage that is reused from call to call.
const std::string& Values(const XSQLDA* area) {
    thread_local std::string out;
    out.clear();
    const std::uint16_t count = area != nullptr ? static_cast<std::uint16_t>(area->sqld) : 0;
    out.append(reinterpret_cast<const char*>(&count), sizeof count);
    for (int i = 0; i < count; ++i) {
        const XSQLVAR& var = area->sqlvar[i];
        TTraceValue value{var.sqltype, var.sqlscale, var.sqlsubtype, var.sqllen,
                          static_cast<std::int16_t>((var.sqltype & 1) != 0 && var.sqlind != nullptr ? *var.sqlind : 0), 0};
        if (value.Indicator >= 0 && var.sqldata != nullptr) {
            value.Size = static_cast<std::uint32_t>(var.sqllen);
            if (BaseType(var.sqltype) == SQL_VARYING) {
                short length = 0;
                std::memcpy(&length, var.sqldata, sizeof length);
                value.Size = static_cast<std::uint32_t>(sizeof length + static_cast<std::size_t>(length));
            } else if (BaseType(var.sqltype) == SQL_NULL) {
                value.Size = 0;
            }
        }
        out.append(reinterpret_cast<const char*>(&value), sizeof value);
        out.append(var.sqldata != nullptr ? var.sqldata : "", value.Size);
    }
    return out;
}

// What the trace keeps of one call.
struct TRecord {
    std::uint16_t Small = 0;
    std::uint32_t A = 0, B = 0, C = 0;
    const void* Payload = nullptr;
    std::size_t Size = 0;
    bool Failed = false;
};

// The call's record: its handles as the library gave them out (before the call for those
// it clears), its text, values or parameter block, and whether it failed.
TRecord RecordOf(const TFbCall& call, ISC_STATUS result, std::uint32_t handleBefore) {
    TRecord r;
    r.Failed = call.Status != nullptr && call.Status[1] != 0;
    switch (call.Entry) {
        case TFbEntry::isc_attach_database: {
            const auto& [nameLength, name, db, dpbLength, dpb] = call.Arguments<TFbEntry::isc_attach_database>();
            r.A = H(db);
            r.Payload = dpb;
            r.Size = Length(dpbLength);
            break;
        }
        case TFbEntry::isc_start_transaction: {
            const auto& [tr, count, db, length, block] = call.Arguments<TFbEntry::isc_start_transaction>();
            r.A = H(tr);
            r.B = H(db);
            r.Payload = block;
            r.Size = static_cast<std::size_t>(length > 0 ? length : 0);
            break;
        }
        case TFbEntry::isc_detach_database:
        case TFbEntry::isc_commit_transaction:
        case TFbEntry::isc_rollback_transaction:
        case TFbEntry::isc_close_blob:
            r.A = handleBefore;
            break;
        case TFbEntry::isc_dsql_allocate_statement: {
            const auto& [db, stmt] = call.Arguments<TFbEntry::isc_dsql_allocate_statement>();
            r.A = H(db);
            r.B = H(stmt);
            break;
        }
        case TFbEntry::isc_dsql_prepare: {
            const auto& [tr, stmt, length, sql, dialect, out] = call.Arguments<TFbEntry::isc_dsql_prepare>();
            r.Small = dialect;
            r.A = H(tr);
            r.B = H(stmt);
            r.Payload = sql;
            r.Size = TextLength(length, sql);
            break;
        }
        case TFbEntry::isc_dsql_describe: {
            const auto& [stmt, dialect, area] = call.Arguments<TFbEntry::isc_dsql_describe>();
            r.Small = dialect;
            r.A = H(stmt);
            break;
        }
        case TFbEntry::isc_dsql_describe_bind: {
            const auto& [stmt, dialect, area] = call.Arguments<TFbEntry::isc_dsql_describe_bind>();
            r.Small = dialect;
            r.A = H(stmt);
            break;
        }
        case TFbEntry::isc_dsql_execute: {
            const auto& [tr, stmt, dialect, in] = call.Arguments<TFbEntry::isc_dsql_execute>();
            const std::string& values = Values(in);
            r.Small = dialect;
            r.A = H(tr);
            r.B = H(stmt);
            r.Payload = values.data();
            r.Size = values.size();
            break;
        }
        case TFbEntry::isc_dsql_execute2: {
            const auto& [tr, stmt, dialect, in, out] = call.Arguments<TFbEntry::isc_dsql_execute2>();
            const std::string& values = Values(in);
            r.Small = dialect;
            r.A = H(tr);
            r.B = H(stmt);
            r.C = out != nullptr ? 1 : 0;
            r.Payload = values.data();
            r.Size = values.size();
            break;
        }
        case TFbEntry::isc_dsql_execute_immediate: {
            const auto& [db, tr, length, sql, dialect, in] = call.Arguments<TFbEntry::isc_dsql_execute_immediate>();
            r.Small = dialect;
            r.A = H(db);
            r.B = H(tr);
            // Values bound to an immediate text would be lost: the layer binds none.
            r.C = in != nullptr && in->sqld > 0 ? 1 : 0;
            r.Payload = sql;
            r.Size = TextLength(length, sql);
            break;
        }
        case TFbEntry::isc_dsql_fetch: {
            const auto& [stmt, dialect, out] = call.Arguments<TFbEntry::isc_dsql_fetch>();
            // The end of the rows is an answer, not a failure.
            if (result == 100) r.Failed = false;
            r.Small = dialect;
            r.A = H(stmt);
            r.C = static_cast<std::uint32_t>(result == 100 ? 100 : (result == 0 ? 0 : 1));
            break;
        }
        case TFbEntry::isc_dsql_free_statement: {
            r.Small = std::get<1>(call.Arguments<TFbEntry::isc_dsql_free_statement>());
            r.A = handleBefore;
            break;
        }
        case TFbEntry::isc_dsql_sql_info: {
            const auto& [stmt, itemsLength, items, bufferLength, buffer] = call.Arguments<TFbEntry::isc_dsql_sql_info>();
            r.A = H(stmt);
            r.Payload = items;
            r.Size = Length(itemsLength);
            break;
        }
        case TFbEntry::isc_open_blob2: {
            const auto& [db, tr, blob, id, bpbLength, bpb] = call.Arguments<TFbEntry::isc_open_blob2>();
            r.A = H(db);
            r.B = H(tr);
            r.C = H(blob);
            break;
        }
        case TFbEntry::isc_get_segment:
            r.A = H(std::get<0>(call.Arguments<TFbEntry::isc_get_segment>()));
            break;
        default:
            break;
    }
    return r;
}

// The handle of a call whose handle the library clears; 0 for the others.
std::uint32_t HandleBefore(const TFbCall& call) {
    switch (call.Entry) {
        case TFbEntry::isc_detach_database: return H(std::get<0>(call.Arguments<TFbEntry::isc_detach_database>()));
        case TFbEntry::isc_commit_transaction: return H(std::get<0>(call.Arguments<TFbEntry::isc_commit_transaction>()));
        case TFbEntry::isc_rollback_transaction:
            return H(std::get<0>(call.Arguments<TFbEntry::isc_rollback_transaction>()));
        case TFbEntry::isc_dsql_free_statement: return H(std::get<0>(call.Arguments<TFbEntry::isc_dsql_free_statement>()));
        case TFbEntry::isc_close_blob: return H(std::get<0>(call.Arguments<TFbEntry::isc_close_blob>()));
        default: return 0;
    }
}

}  // namespace

// Around each call: counts it, measures its round trips when asked, records it, and gives
// the replay its turns.
class TClientCallCounter::TRecorder final : public IFbClientObserver {
public:
    ISC_STATUS Before(TFbCall& call) override {
        const TCallKind kind = KindOf(call.Entry);
        Counts[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
        std::lock_guard guard(StateLock);
        if (Alongside != nullptr && Writer != nullptr && ++SinceTurn >= AlongsideEvery) ReplayTurn();
        if (Meter != nullptr) call.Memo[0] = Meter->Sent();
        call.Memo[1] = HandleBefore(call);
        return 0;
    }

    void After(TFbCall& call, ISC_STATUS result, std::chrono::nanoseconds took) override {
        const TCallKind kind = KindOf(call.Entry);
        ClientNanos.fetch_add(static_cast<std::uint64_t>(took.count()), std::memory_order_relaxed);
        std::lock_guard guard(StateLock);
        if (Meter != nullptr) {
            if (kind == TCallKind::Attach || kind == TCallKind::Detach) Meter->Refresh();
            const std::uint64_t sent = Meter->Sent();
            if (sent > call.Memo[0]) Trips[static_cast<std::size_t>(kind)].fetch_add(sent - call.Memo[0]);
        }
        if (Writer == nullptr) return;
        const TRecord record = RecordOf(call, result, static_cast<std::uint32_t>(call.Memo[1]));
        const TTraceHeader header{kind, static_cast<std::uint8_t>(record.Failed), record.Small, record.A, record.B,
                                  record.C, static_cast<std::uint32_t>(record.Size)};
        Writer->Write(header, record.Payload, record.Size);
    }

    // The replay's turn, before the run's next call: the calls so far, made again.
    void ReplayTurn() {
        SinceTurn = 0;
        const auto start = std::chrono::steady_clock::now();
        Writer->Flush();
        try {
            Alongside->Catchup();
        } catch (const std::exception& error) {
            // The twin database no longer follows the run; the pass goes on without it.
            AlongsideError = error.what();
            Alongside = nullptr;
        }
        Paused += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    std::array<std::atomic<std::uint64_t>, Kinds> Counts{};
    std::array<std::atomic<std::uint64_t>, Kinds> Trips{};
    std::atomic<std::uint64_t> ClientNanos{0};
    // The run's thread makes the calls; the lock only keeps a late call of another thread
    // (the watchdog cancels through a function that is not interposed) from racing the switch.
    mutable std::mutex StateLock;
    std::unique_ptr<TTraceWriter> OwnWriter;
    TTraceWriter* Writer = nullptr;
    TRoundTripMeter* Meter = nullptr;
    // The replay that takes turns with the run, and its bookkeeping.
    TTraceReplay* Alongside = nullptr;
    std::uint64_t AlongsideEvery = 0, SinceTurn = 0;
    double Paused = 0;
    std::string AlongsideError;
};

TClientCalls TClientCalls::operator-(const TClientCalls& earlier) const {
    TClientCalls difference;
    for (std::size_t i = 0; i < Kinds; ++i) {
        difference.Calls[i] = Calls[i] - earlier.Calls[i];
        difference.Trips[i] = Trips[i] - earlier.Trips[i];
    }
    difference.ClientNanoseconds = ClientNanoseconds - earlier.ClientNanoseconds;
    return difference;
}

TClientCallCounter::TClientCallCounter(const std::string& libraryPath)
    : FRecorder(std::make_unique<TRecorder>()),
      FInterposer(std::make_unique<TFbClientInterposer>(TFbClient::Load(libraryPath), *FRecorder)) {}

TClientCallCounter::~TClientCallCounter() {
    AttributeRoundTrips(nullptr);
    try {
        StopRecording();
    } catch (const std::exception&) {
        // The trace is the bench's own scratch; nothing reads it after a failed run.
    }
    FInterposer.reset();
}

TClientCalls TClientCallCounter::Now() const {
    TClientCalls now;
    for (std::size_t i = 0; i < Kinds; ++i) {
        now.Calls[i] = FRecorder->Counts[i].load(std::memory_order_relaxed);
        now.Trips[i] = FRecorder->Trips[i].load(std::memory_order_relaxed);
    }
    now.ClientNanoseconds = FRecorder->ClientNanos.load(std::memory_order_relaxed);
    return now;
}

void TClientCallCounter::StartRecording(const std::string& traceFile) {
    StopRecording();
    auto writer = std::make_unique<TTraceWriter>(traceFile);
    std::lock_guard guard(FRecorder->StateLock);
    FRecorder->OwnWriter = std::move(writer);
    FRecorder->Writer = FRecorder->OwnWriter.get();
}

void TClientCallCounter::Mark(TTraceMark mark, TTraceSegment segment) {
    std::lock_guard guard(FRecorder->StateLock);
    if (FRecorder->Writer == nullptr) return;
    const TTraceHeader header{TCallKind::Mark, 0, 0, static_cast<std::uint32_t>(mark), static_cast<std::uint32_t>(segment),
                              0, 0};
    FRecorder->Writer->Write(header, nullptr, 0);
}

void TClientCallCounter::StopRecording() {
    std::unique_ptr<TTraceWriter> writer;
    {
        std::lock_guard guard(FRecorder->StateLock);
        FRecorder->Writer = nullptr;
        writer = std::move(FRecorder->OwnWriter);
    }
    if (writer) writer->Close();
}

void TClientCallCounter::ReplayAlongside(TTraceReplay* replay, std::uint64_t everyCalls) {
    std::lock_guard guard(FRecorder->StateLock);
    FRecorder->Alongside = replay;
    FRecorder->AlongsideEvery = everyCalls;
    FRecorder->SinceTurn = 0;
    if (replay != nullptr) FRecorder->AlongsideError.clear();
}

void TClientCallCounter::ReplayTurnNow() {
    std::lock_guard guard(FRecorder->StateLock);
    if (FRecorder->Alongside != nullptr && FRecorder->Writer != nullptr) FRecorder->ReplayTurn();
}

double TClientCallCounter::PausedSeconds() const {
    std::lock_guard guard(FRecorder->StateLock);
    return FRecorder->Paused;
}

std::string TClientCallCounter::ReplayError() const {
    std::lock_guard guard(FRecorder->StateLock);
    return FRecorder->AlongsideError;
}

void TClientCallCounter::AttributeRoundTrips(TRoundTripMeter* meter) {
    std::lock_guard guard(FRecorder->StateLock);
    if (meter != nullptr) meter->Refresh();
    FRecorder->Meter = meter;
}

}  // namespace keyrix::bench
