#include "bench/ClientCalls.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace keyrix::bench {

namespace {

constexpr std::size_t Kinds = TClientCalls::Kinds;

std::array<std::atomic<std::uint64_t>, Kinds> Counts{};
std::array<std::atomic<std::uint64_t>, Kinds> Trips{};
std::atomic<std::uint64_t> ClientNanos{0};
std::atomic<bool> Installed{false};
// The run's thread makes the calls; the lock only keeps a late call of another thread
// (the watchdog cancels through a function that is not forwarded) from racing the switch.
std::mutex StateLock;
TTraceWriter* Writer = nullptr;
TRoundTripMeter* Meter = nullptr;
// The replay that takes turns with the run, and its bookkeeping.
TTraceReplay* Alongside = nullptr;
std::uint64_t AlongsideEvery = 0, SinceTurn = 0;
double Paused = 0;
std::string AlongsideError;

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

// Around one call: counts it, measures its round trips when asked, and records it.
class TNote {
public:
    explicit TNote(TCallKind kind) : FKind(kind) {
        Counts[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
        std::lock_guard guard(StateLock);
        if (Alongside != nullptr && Writer != nullptr && ++SinceTurn >= AlongsideEvery) ReplayTurn();
        if (Meter != nullptr) FSentBefore = Meter->Sent();
        FStart = std::chrono::steady_clock::now();
    }
    // After the call: what to write, if a trace is being written.
    void Done(const ISC_STATUS* status, std::uint16_t small, std::uint32_t a, std::uint32_t b, std::uint32_t c,
              const void* payload = nullptr, std::size_t size = 0) {
        ClientNanos.fetch_add(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now() - FStart).count()),
                              std::memory_order_relaxed);
        std::lock_guard guard(StateLock);
        if (Meter != nullptr) {
            if (FKind == TCallKind::Attach || FKind == TCallKind::Detach) Meter->Refresh();
            const std::uint64_t sent = Meter->Sent();
            if (sent > FSentBefore) Trips[static_cast<std::size_t>(FKind)].fetch_add(sent - FSentBefore);
        }
        if (Writer == nullptr) return;
        const TTraceHeader header{FKind, static_cast<std::uint8_t>(status != nullptr && status[1] != 0), small,
                                  a, b, c, static_cast<std::uint32_t>(size)};
        Writer->Write(header, payload, size);
    }

private:
    TCallKind FKind;
    std::uint64_t FSentBefore = 0;
    std::chrono::steady_clock::time_point FStart;
};

std::uint32_t H(const FB_API_HANDLE* handle) { return handle != nullptr ? static_cast<std::uint32_t>(*handle) : 0; }

// The library's functions, as they were before the counter.
struct TRealFunctions {
#define KEYRIX_FB_MEMBER(name) decltype(&::name) name = nullptr;
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_FB_MEMBER)
#undef KEYRIX_FB_MEMBER
} Real;

ISC_STATUS Attach(ISC_STATUS* s, short nameLength, const ISC_SCHAR* name, isc_db_handle* db, short dpbLength,
                  const ISC_SCHAR* dpb) {
    TNote note(TCallKind::Attach);
    const ISC_STATUS r = Real.isc_attach_database(s, nameLength, name, db, dpbLength, dpb);
    note.Done(s, 0, H(db), 0, 0, dpb, static_cast<std::size_t>(dpbLength > 0 ? dpbLength : 0));
    return r;
}

ISC_STATUS Detach(ISC_STATUS* s, isc_db_handle* db) {
    TNote note(TCallKind::Detach);
    const std::uint32_t handle = H(db);
    const ISC_STATUS r = Real.isc_detach_database(s, db);
    note.Done(s, 0, handle, 0, 0);
    return r;
}

// isc_start_transaction takes its attachments as variable arguments, which cannot be passed
// on; the layer starts every transaction on one attachment. The library's signature puts a
// short before the "...": clang warns that va_start after a promoted parameter is undefined
// by the standard, but every ABI the client library exists for passes it as an int.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
ISC_STATUS Start(ISC_STATUS* s, isc_tr_handle* tr, short count, ...) {
    va_list arguments;
    va_start(arguments, count);
    isc_db_handle* db = va_arg(arguments, isc_db_handle*);
    const int length = va_arg(arguments, int);
    const ISC_SCHAR* block = va_arg(arguments, const ISC_SCHAR*);
    va_end(arguments);
    if (count != 1) std::abort();  // a use the layer does not make
    TNote note(TCallKind::Start);
    const ISC_STATUS r = Real.isc_start_transaction(s, tr, count, db, length, block);
    note.Done(s, 0, H(tr), H(db), 0, block, static_cast<std::size_t>(length > 0 ? length : 0));
    return r;
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

ISC_STATUS Commit(ISC_STATUS* s, isc_tr_handle* tr) {
    TNote note(TCallKind::Commit);
    const std::uint32_t handle = H(tr);
    const ISC_STATUS r = Real.isc_commit_transaction(s, tr);
    note.Done(s, 0, handle, 0, 0);
    return r;
}

ISC_STATUS Rollback(ISC_STATUS* s, isc_tr_handle* tr) {
    TNote note(TCallKind::Rollback);
    const std::uint32_t handle = H(tr);
    const ISC_STATUS r = Real.isc_rollback_transaction(s, tr);
    note.Done(s, 0, handle, 0, 0);
    return r;
}

ISC_STATUS Allocate(ISC_STATUS* s, isc_db_handle* db, isc_stmt_handle* stmt) {
    TNote note(TCallKind::Allocate);
    const ISC_STATUS r = Real.isc_dsql_allocate_statement(s, db, stmt);
    note.Done(s, 0, H(db), H(stmt), 0);
    return r;
}

ISC_STATUS Prepare(ISC_STATUS* s, isc_tr_handle* tr, isc_stmt_handle* stmt, unsigned short length,
                   const ISC_SCHAR* sql, unsigned short dialect, XSQLDA* out) {
    TNote note(TCallKind::Prepare);
    const ISC_STATUS r = Real.isc_dsql_prepare(s, tr, stmt, length, sql, dialect, out);
    // A length of 0 means a text ended by NUL.
    const std::size_t size = length != 0 ? length : std::strlen(sql);
    note.Done(s, dialect, H(tr), H(stmt), 0, sql, size);
    return r;
}

ISC_STATUS Describe(ISC_STATUS* s, isc_stmt_handle* stmt, unsigned short dialect, XSQLDA* area) {
    TNote note(TCallKind::Describe);
    const ISC_STATUS r = Real.isc_dsql_describe(s, stmt, dialect, area);
    note.Done(s, dialect, H(stmt), 0, 0);
    return r;
}

ISC_STATUS DescribeBind(ISC_STATUS* s, isc_stmt_handle* stmt, unsigned short dialect, XSQLDA* area) {
    TNote note(TCallKind::DescribeBind);
    const ISC_STATUS r = Real.isc_dsql_describe_bind(s, stmt, dialect, area);
    note.Done(s, dialect, H(stmt), 0, 0);
    return r;
}

ISC_STATUS Execute(ISC_STATUS* s, isc_tr_handle* tr, isc_stmt_handle* stmt, unsigned short dialect, const XSQLDA* in) {
    TNote note(TCallKind::Execute);
    const ISC_STATUS r = Real.isc_dsql_execute(s, tr, stmt, dialect, in);
    const std::string& values = Values(in);
    note.Done(s, dialect, H(tr), H(stmt), 0, values.data(), values.size());
    return r;
}

ISC_STATUS Execute2(ISC_STATUS* s, isc_tr_handle* tr, isc_stmt_handle* stmt, unsigned short dialect, const XSQLDA* in,
                    const XSQLDA* out) {
    TNote note(TCallKind::Execute2);
    const ISC_STATUS r = Real.isc_dsql_execute2(s, tr, stmt, dialect, in, out);
    const std::string& values = Values(in);
    note.Done(s, dialect, H(tr), H(stmt), out != nullptr ? 1 : 0, values.data(), values.size());
    return r;
}

ISC_STATUS Immediate(ISC_STATUS* s, isc_db_handle* db, isc_tr_handle* tr, unsigned short length, const ISC_SCHAR* sql,
                     unsigned short dialect, const XSQLDA* in) {
    TNote note(TCallKind::Immediate);
    const ISC_STATUS r = Real.isc_dsql_execute_immediate(s, db, tr, length, sql, dialect, in);
    const std::size_t size = length != 0 ? length : std::strlen(sql);
    // Values bound to an immediate text would be lost: the layer binds none.
    note.Done(s, dialect, H(db), H(tr), in != nullptr && in->sqld > 0 ? 1 : 0, sql, size);
    return r;
}

ISC_STATUS Fetch(ISC_STATUS* s, isc_stmt_handle* stmt, unsigned short dialect, const XSQLDA* out) {
    TNote note(TCallKind::Fetch);
    const ISC_STATUS r = Real.isc_dsql_fetch(s, stmt, dialect, out);
    note.Done(r == 100 ? nullptr : s, dialect, H(stmt), 0, static_cast<std::uint32_t>(r == 100 ? 100 : (r == 0 ? 0 : 1)));
    return r;
}

ISC_STATUS Free(ISC_STATUS* s, isc_stmt_handle* stmt, unsigned short option) {
    TNote note(TCallKind::Free);
    const std::uint32_t handle = H(stmt);
    const ISC_STATUS r = Real.isc_dsql_free_statement(s, stmt, option);
    note.Done(s, option, handle, 0, 0);
    return r;
}

ISC_STATUS Info(ISC_STATUS* s, isc_stmt_handle* stmt, short itemsLength, const ISC_SCHAR* items, short bufferLength,
                ISC_SCHAR* buffer) {
    TNote note(TCallKind::Info);
    const ISC_STATUS r = Real.isc_dsql_sql_info(s, stmt, itemsLength, items, bufferLength, buffer);
    note.Done(s, 0, H(stmt), 0, 0, items, static_cast<std::size_t>(itemsLength > 0 ? itemsLength : 0));
    return r;
}

ISC_STATUS OpenBlob(ISC_STATUS* s, isc_db_handle* db, isc_tr_handle* tr, isc_blob_handle* blob, ISC_QUAD* id,
                    ISC_USHORT bpbLength, const ISC_UCHAR* bpb) {
    TNote note(TCallKind::BlobOpen);
    const ISC_STATUS r = Real.isc_open_blob2(s, db, tr, blob, id, bpbLength, bpb);
    note.Done(s, 0, H(db), H(tr), H(blob));
    return r;
}

ISC_STATUS GetSegment(ISC_STATUS* s, isc_blob_handle* blob, unsigned short* length, unsigned short size,
                      ISC_SCHAR* buffer) {
    TNote note(TCallKind::BlobSegment);
    const ISC_STATUS r = Real.isc_get_segment(s, blob, length, size, buffer);
    note.Done(s, 0, H(blob), 0, 0);
    return r;
}

ISC_STATUS CloseBlob(ISC_STATUS* s, isc_blob_handle* blob) {
    TNote note(TCallKind::BlobClose);
    const std::uint32_t handle = H(blob);
    const ISC_STATUS r = Real.isc_close_blob(s, blob);
    note.Done(s, 0, handle, 0, 0);
    return r;
}

// Every entry that talks to the server, with its forwarder.
template <class TVisit>
void EachEntry(TFbClient& client, TVisit visit) {
    visit(client.isc_attach_database, Real.isc_attach_database, &Attach);
    visit(client.isc_detach_database, Real.isc_detach_database, &Detach);
    visit(client.isc_start_transaction, Real.isc_start_transaction, &Start);
    visit(client.isc_commit_transaction, Real.isc_commit_transaction, &Commit);
    visit(client.isc_rollback_transaction, Real.isc_rollback_transaction, &Rollback);
    visit(client.isc_dsql_allocate_statement, Real.isc_dsql_allocate_statement, &Allocate);
    visit(client.isc_dsql_prepare, Real.isc_dsql_prepare, &Prepare);
    visit(client.isc_dsql_describe, Real.isc_dsql_describe, &Describe);
    visit(client.isc_dsql_describe_bind, Real.isc_dsql_describe_bind, &DescribeBind);
    visit(client.isc_dsql_execute, Real.isc_dsql_execute, &Execute);
    visit(client.isc_dsql_execute2, Real.isc_dsql_execute2, &Execute2);
    visit(client.isc_dsql_execute_immediate, Real.isc_dsql_execute_immediate, &Immediate);
    visit(client.isc_dsql_fetch, Real.isc_dsql_fetch, &Fetch);
    visit(client.isc_dsql_free_statement, Real.isc_dsql_free_statement, &Free);
    visit(client.isc_dsql_sql_info, Real.isc_dsql_sql_info, &Info);
    visit(client.isc_open_blob2, Real.isc_open_blob2, &OpenBlob);
    visit(client.isc_get_segment, Real.isc_get_segment, &GetSegment);
    visit(client.isc_close_blob, Real.isc_close_blob, &CloseBlob);
}

}  // namespace

TClientCalls TClientCalls::operator-(const TClientCalls& earlier) const {
    TClientCalls difference;
    for (std::size_t i = 0; i < Kinds; ++i) {
        difference.Calls[i] = Calls[i] - earlier.Calls[i];
        difference.Trips[i] = Trips[i] - earlier.Trips[i];
    }
    difference.ClientNanoseconds = ClientNanoseconds - earlier.ClientNanoseconds;
    return difference;
}

TClientCallCounter::TClientCallCounter(const std::string& libraryPath) : FClient(TFbClient::Load(libraryPath)) {
    if (Installed.exchange(true)) throw std::logic_error("only one client call counter at a time");
    EachEntry(*FClient, [](auto& entry, auto& real, auto forward) {
        real = entry;
        entry = forward;
    });
}

TClientCallCounter::~TClientCallCounter() {
    AttributeRoundTrips(nullptr);
    try {
        StopRecording();
    } catch (const std::exception&) {
        // The trace is the bench's own scratch; nothing reads it after a failed run.
    }
    EachEntry(*FClient, [](auto& entry, auto& real, auto) { entry = real; });
    Installed = false;
}

TClientCalls TClientCallCounter::Now() const {
    TClientCalls now;
    for (std::size_t i = 0; i < Kinds; ++i) {
        now.Calls[i] = Counts[i].load(std::memory_order_relaxed);
        now.Trips[i] = Trips[i].load(std::memory_order_relaxed);
    }
    now.ClientNanoseconds = ClientNanos.load(std::memory_order_relaxed);
    return now;
}

void TClientCallCounter::StartRecording(const std::string& traceFile) {
    StopRecording();
    auto writer = std::make_unique<TTraceWriter>(traceFile);
    std::lock_guard guard(StateLock);
    FWriter = std::move(writer);
    Writer = FWriter.get();
}

void TClientCallCounter::Mark(TTraceMark mark, TTraceSegment segment) {
    std::lock_guard guard(StateLock);
    if (Writer == nullptr) return;
    const TTraceHeader header{TCallKind::Mark, 0, 0, static_cast<std::uint32_t>(mark), static_cast<std::uint32_t>(segment),
                              0, 0};
    Writer->Write(header, nullptr, 0);
}

void TClientCallCounter::StopRecording() {
    std::unique_ptr<TTraceWriter> writer;
    {
        std::lock_guard guard(StateLock);
        Writer = nullptr;
        writer = std::move(FWriter);
    }
    if (writer) writer->Close();
}

void TClientCallCounter::ReplayAlongside(TTraceReplay* replay, std::uint64_t everyCalls) {
    std::lock_guard guard(StateLock);
    Alongside = replay;
    AlongsideEvery = everyCalls;
    SinceTurn = 0;
    if (replay != nullptr) AlongsideError.clear();
}

void TClientCallCounter::ReplayTurnNow() {
    std::lock_guard guard(StateLock);
    if (Alongside != nullptr && Writer != nullptr) ReplayTurn();
}

double TClientCallCounter::PausedSeconds() const {
    std::lock_guard guard(StateLock);
    return Paused;
}

std::string TClientCallCounter::ReplayError() const {
    std::lock_guard guard(StateLock);
    return AlongsideError;
}

void TClientCallCounter::AttributeRoundTrips(TRoundTripMeter* meter) {
    std::lock_guard guard(StateLock);
    if (meter != nullptr) meter->Refresh();
    Meter = meter;
}

}  // namespace keyrix::bench
