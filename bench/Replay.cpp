#include "bench/Replay.h"

#include "db/FbClient.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <vector>

namespace keyrix::bench {

namespace {

// The library's own functions, looked up afresh: the table of the program's layer may have
// the counter's forwarders in front of them.
class TBareClient {
public:
    explicit TBareClient(const std::string& path) {
        FLibrary = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (FLibrary == nullptr) throw std::runtime_error("replay: cannot load " + path);
#define KEYRIX_BARE_RESOLVE(name)                                                                    \
    name = reinterpret_cast<decltype(name)>(::dlsym(FLibrary, #name));                              \
    if (name == nullptr) throw std::runtime_error("replay: " + path + " has no function " #name);
        KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_BARE_RESOLVE)
#undef KEYRIX_BARE_RESOLVE
    }
    TBareClient(const TBareClient&) = delete;
    TBareClient& operator=(const TBareClient&) = delete;
    ~TBareClient() { ::dlclose(FLibrary); }

#define KEYRIX_BARE_MEMBER(name) decltype(&::name) name = nullptr;
    KEYRIX_FB_CLIENT_FUNCTIONS(KEYRIX_BARE_MEMBER)
#undef KEYRIX_BARE_MEMBER

private:
    void* FLibrary = nullptr;
};

struct TXsqldaFree {
    void operator()(XSQLDA* area) const { std::free(area); }
};
using PXsqlda = std::unique_ptr<XSQLDA, TXsqldaFree>;

PXsqlda NewXsqlda(int count) {
    if (count < 1) count = 1;
    auto* area = static_cast<XSQLDA*>(std::calloc(1, XSQLDA_LENGTH(count)));
    if (area == nullptr) throw std::bad_alloc();
    area->version = SQLDA_VERSION1;
    area->sqln = static_cast<ISC_SHORT>(count);
    return PXsqlda(area);
}

// A statement of the replay and the output area its rows land in.
struct TStatement {
    isc_stmt_handle Handle = 0;
    std::string Sql;
    PXsqlda Output;
    std::vector<std::int64_t> Buffer;  // 8-byte aligned
    std::vector<ISC_SHORT> Indicators;
};

std::size_t DataSize(const XSQLVAR& var) {
    switch (var.sqltype & ~1) {
        case SQL_VARYING: return static_cast<std::size_t>(var.sqllen) + sizeof(short);
        case SQL_NULL: return 1;
        default: return static_cast<std::size_t>(var.sqllen);
    }
}

void AllocateOutput(TStatement& statement) {
    XSQLDA& area = *statement.Output;
    std::size_t total = 0;
    std::vector<std::size_t> offsets;
    for (int i = 0; i < area.sqld; ++i) {
        offsets.push_back(total);
        total += (DataSize(area.sqlvar[i]) + 7) / 8 * 8;
    }
    statement.Buffer.assign(total / 8 + 1, 0);
    statement.Indicators.assign(static_cast<std::size_t>(area.sqld) + 1, 0);
    for (int i = 0; i < area.sqld; ++i) {
        area.sqlvar[i].sqldata = reinterpret_cast<ISC_SCHAR*>(statement.Buffer.data()) + offsets[static_cast<std::size_t>(i)];
        area.sqlvar[i].sqlind = &statement.Indicators[static_cast<std::size_t>(i)];
        area.sqlvar[i].sqltype |= 1;
    }
}

// The input area of one execution, rebuilt from the trace's values in reused storage.
class TInput {
public:
    const XSQLDA* From(const std::string& payload) {
        std::uint16_t count = 0;
        if (payload.size() < sizeof count) throw std::runtime_error("replay: an execution without its values");
        std::memcpy(&count, payload.data(), sizeof count);
        if (count == 0) return nullptr;
        if (!FArea || FArea->sqln < count) FArea = NewXsqlda(count);
        if (FData.size() * 8 < payload.size() + 8 * count) FData.resize((payload.size() + 8 * count) / 8 + 1);
        FIndicators.resize(count);
        FArea->sqld = static_cast<ISC_SHORT>(count);
        std::size_t at = sizeof count;
        auto* data = reinterpret_cast<char*>(FData.data());
        for (std::size_t i = 0; i < count; ++i) {
            TTraceValue v{};
            if (at + sizeof v > payload.size()) throw std::runtime_error("replay: an execution's values are cut");
            std::memcpy(&v, payload.data() + at, sizeof v);
            at += sizeof v;
            if (at + v.Size > payload.size()) throw std::runtime_error("replay: a bound value is cut");
            XSQLVAR& var = FArea->sqlvar[i];
            var.sqltype = v.Type;
            var.sqlscale = v.Scale;
            var.sqlsubtype = v.SubType;
            var.sqllen = v.Length;
            FIndicators[i] = v.Indicator;
            var.sqlind = &FIndicators[i];
            // Each value 8-byte aligned, as the client's own areas are.
            std::memcpy(data, payload.data() + at, v.Size);
            var.sqldata = data;
            data += (v.Size + 7) / 8 * 8;
            at += v.Size;
        }
        return FArea.get();
    }

private:
    PXsqlda FArea;
    std::vector<std::int64_t> FData;
    std::vector<ISC_SHORT> FIndicators;
};

}  // namespace

class TReplay {
public:
    TReplay(const std::string& traceFile, const std::string& library, const std::string& connection, int port,
            TRoundTripMeter& passMeter)
        : FClient(library), FConnection(connection), FMeter(port), FPassMeter(passMeter), FReader(traceFile) {}

    void Catchup(bool follow) {
        TTraceHeader header{};
        while (FReader.Next(header, FPayload, follow)) {
            FRecord = FReader.Position();
            if (header.Kind == TCallKind::Mark) {
                Mark(header);
                continue;
            }
            if (FTiming == 0) {
                Replay(header, FPayload);
                continue;
            }
            // Each call timed on its own, the round trips read outside the clock: the
            // replay may run in pieces between the pass's calls.
            const std::uint64_t tripsBefore = FMeter.Sent();
            const auto start = std::chrono::steady_clock::now();
            Replay(header, FPayload);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const std::uint64_t trips = FMeter.Sent() - tripsBefore;
            for (std::size_t i = 0; i < FResult.Segments.size(); ++i) {
                if ((FTiming & (1u << i)) == 0) continue;
                FResult.Segments[i].Seconds += seconds;
                FResult.Segments[i].RoundTrips += trips;
            }
        }
    }

    TReplayResult Finish() {
        Catchup(false);
        if (FTiming != 0) throw std::runtime_error("replay: the trace ends inside a timed segment");
        return FResult;
    }

    const std::vector<int>& Sockets() const { return FMeter.Sockets(); }

    ~TReplay() {
        // What a replay that stopped early left open: an attachment with an active
        // transaction cannot be detached, and the database could then not be dropped.
        for (auto& [recorded, handle] : FTransactions) {
            ISC_STATUS_ARRAY status{};
            if (handle != 0) FClient.isc_rollback_transaction(status, &handle);
        }
        for (auto& [recorded, handle] : FDatabases) {
            ISC_STATUS_ARRAY status{};
            if (handle != 0) FClient.isc_detach_database(status, &handle);
        }
    }

private:
    void Mark(const TTraceHeader& h) {
        if (h.B >= FResult.Segments.size()) throw std::runtime_error("replay: a mark of no known segment");
        if (h.A == static_cast<std::uint32_t>(TTraceMark::Begin)) {
            FTiming |= 1u << h.B;
            FResult.Segments[h.B].Ran = true;
        } else {
            FTiming &= ~(1u << h.B);
        }
    }

    void Count(TCallKind kind) {
        for (std::size_t i = 0; i < FResult.Segments.size(); ++i)
            if ((FTiming & (1u << i)) != 0) ++FResult.Segments[i].Calls[static_cast<std::size_t>(kind)];
    }

    template <class TMap>
    auto& Of(TMap& map, std::uint32_t recorded, const char* what) {
        static typename TMap::mapped_type none{};
        if (recorded == 0) {
            none = {};
            return none;
        }
        auto found = map.find(recorded);
        if (found == map.end())
            throw std::runtime_error("replay: record " + std::to_string(FRecord) + " uses a " + what +
                                     " handle that the trace never gave out");
        return found->second;
    }

    void Check(const TTraceHeader& header, const ISC_STATUS* status, const std::string& sql = {}) {
        const bool failed = status[1] != 0;
        if (failed == (header.Failed != 0)) return;
        std::string text;
        if (failed) {
            char line[512];
            const ISC_STATUS* vector = status;
            while (FClient.fb_interpret(line, sizeof line, &vector) > 0) text += std::string(text.empty() ? "" : "; ") + line;
        }
        throw std::runtime_error("replay: record " + std::to_string(FRecord) + " (" + CallKindName(header.Kind) + ") " +
                                 (failed ? "failed where the pass's call went through: " + text
                                         : std::string("went through where the pass's call failed")) +
                                 (sql.empty() ? "" : " [" + sql + "]"));
    }

    void Replay(const TTraceHeader& h, const std::string& payload) {
        ISC_STATUS_ARRAY s{};
        switch (h.Kind) {
            case TCallKind::Mark:
                Mark(h);
                return;
            case TCallKind::Attach: {
                Count(h.Kind);
                isc_db_handle handle = 0;
                const std::vector<int> before = FMeter.Connections();
                FClient.isc_attach_database(s, static_cast<short>(FConnection.size()), FConnection.data(), &handle,
                                            static_cast<short>(payload.size()), payload.data());
                Check(h, s);
                if (handle != 0) FDatabases[h.A] = handle;
                // The replay's connections are the new ones; the pass's meter leaves them out.
                std::vector<int> mine = FMeter.Sockets();
                for (int fd : FMeter.Connections())
                    if (std::find(before.begin(), before.end(), fd) == before.end()) mine.push_back(fd);
                FMeter.Use(mine);
                FPassMeter.Exclude(mine);
                return;
            }
            case TCallKind::Detach:
                Count(h.Kind);
                FClient.isc_detach_database(s, &Of(FDatabases, h.A, "database"));
                Check(h, s);
                FDatabases.erase(h.A);
                return;
            case TCallKind::Start: {
                Count(h.Kind);
                isc_tr_handle handle = 0;
                FClient.isc_start_transaction(s, &handle, 1, &Of(FDatabases, h.B, "database"),
                                              static_cast<int>(payload.size()), payload.data());
                Check(h, s);
                if (handle != 0) FTransactions[h.A] = handle;
                return;
            }
            case TCallKind::Commit:
            case TCallKind::Rollback: {
                Count(h.Kind);
                auto& handle = Of(FTransactions, h.A, "transaction");
                if (h.Kind == TCallKind::Commit)
                    FClient.isc_commit_transaction(s, &handle);
                else
                    FClient.isc_rollback_transaction(s, &handle);
                Check(h, s);
                if (s[1] == 0) FTransactions.erase(h.A);
                return;
            }
            case TCallKind::Allocate: {
                Count(h.Kind);
                TStatement statement;
                FClient.isc_dsql_allocate_statement(s, &Of(FDatabases, h.A, "database"), &statement.Handle);
                Check(h, s);
                if (statement.Handle != 0) FStatements[h.B] = std::move(statement);
                return;
            }
            case TCallKind::Prepare: {
                Count(h.Kind);
                TStatement& statement = Of(FStatements, h.B, "statement");
                statement.Sql = payload;
                statement.Output = NewXsqlda(64);
                FClient.isc_dsql_prepare(s, &Of(FTransactions, h.A, "transaction"), &statement.Handle,
                                         static_cast<unsigned short>(payload.size()), payload.data(), h.Small,
                                         statement.Output.get());
                Check(h, s, payload);
                if (s[1] != 0) return;
                if (statement.Output->sqld > statement.Output->sqln) {
                    statement.Output = NewXsqlda(statement.Output->sqld);
                    Count(TCallKind::Describe);
                    FClient.isc_dsql_describe(s, &statement.Handle, h.Small, statement.Output.get());
                    Check(h, s, payload);
                }
                AllocateOutput(statement);
                return;
            }
            case TCallKind::Describe:
            case TCallKind::DescribeBind:
                return;  // the replay knows its statements' shapes
            case TCallKind::Execute:
            case TCallKind::Execute2: {
                Count(h.Kind);
                TStatement& statement = Of(FStatements, h.B, "statement");
                const XSQLDA* input = FInput.From(payload);
                if (h.Kind == TCallKind::Execute)
                    FClient.isc_dsql_execute(s, &Of(FTransactions, h.A, "transaction"), &statement.Handle, h.Small, input);
                else
                    FClient.isc_dsql_execute2(s, &Of(FTransactions, h.A, "transaction"), &statement.Handle, h.Small, input,
                                              h.C != 0 ? statement.Output.get() : nullptr);
                Check(h, s, statement.Sql);
                return;
            }
            case TCallKind::Immediate: {
                Count(h.Kind);
                if (h.C != 0) throw std::runtime_error("replay: an immediate text with bound values: " + payload);
                FClient.isc_dsql_execute_immediate(s, &Of(FDatabases, h.A, "database"), &Of(FTransactions, h.B, "transaction"),
                                                   static_cast<unsigned short>(payload.size()), payload.data(), h.Small,
                                                   nullptr);
                Check(h, s, payload);
                return;
            }
            case TCallKind::Fetch: {
                Count(h.Kind);
                TStatement& statement = Of(FStatements, h.A, "statement");
                const ISC_STATUS result = FClient.isc_dsql_fetch(s, &statement.Handle, h.Small, statement.Output.get());
                const std::uint32_t outcome = result == 100 ? 100 : (result == 0 ? 0 : 1);
                if (outcome != h.C)
                    throw std::runtime_error("replay: record " + std::to_string(FRecord) + " (fetch) " +
                                             (outcome == 100 ? "found no row where the pass found one"
                                                             : outcome == 0 ? "found a row where the pass found none"
                                                                            : "failed where the pass's fetch did not") +
                                             " [" + statement.Sql + "]");
                return;
            }
            case TCallKind::Free: {
                Count(h.Kind);
                TStatement& statement = Of(FStatements, h.A, "statement");
                FClient.isc_dsql_free_statement(s, &statement.Handle, h.Small);
                Check(h, s, statement.Sql);
                if (h.Small == DSQL_drop) FStatements.erase(h.A);
                return;
            }
            case TCallKind::Info: {
                // The row counts are the program's to know; everything else it asks was known.
                if (payload.size() != 1 || payload[0] != isc_info_sql_records) return;
                Count(h.Kind);
                TStatement& statement = Of(FStatements, h.A, "statement");
                char buffer[128];
                FClient.isc_dsql_sql_info(s, &statement.Handle, 1, payload.data(), sizeof buffer, buffer);
                Check(h, s, statement.Sql);
                return;
            }
            case TCallKind::BlobOpen:
            case TCallKind::BlobSegment:
            case TCallKind::BlobClose:
                throw std::runtime_error("replay: the trace reads blobs, which the replay does not make");
            case TCallKind::Count:
                break;
        }
        throw std::runtime_error("replay: record " + std::to_string(FRecord) + " is of no known kind");
    }

    TBareClient FClient;
    std::string FConnection;
    TRoundTripMeter FMeter;
    TRoundTripMeter& FPassMeter;
    TTraceReader FReader;
    std::string FPayload;
    std::unordered_map<std::uint32_t, isc_db_handle> FDatabases;
    std::unordered_map<std::uint32_t, isc_tr_handle> FTransactions;
    std::unordered_map<std::uint32_t, TStatement> FStatements;
    TInput FInput;
    TReplayResult FResult;
    std::uint64_t FRecord = 0;
    unsigned FTiming = 0;  // a bit for each segment under way
};

TTraceReplay::TTraceReplay(const std::string& traceFile, const std::string& libraryPath, const std::string& connection,
                           int serverPort, TRoundTripMeter& passMeter)
    : FReplay(std::make_unique<TReplay>(traceFile, libraryPath, connection, serverPort, passMeter)) {}

TTraceReplay::~TTraceReplay() = default;

void TTraceReplay::Catchup() { FReplay->Catchup(true); }

TReplayResult TTraceReplay::Finish() { return FReplay->Finish(); }

const std::vector<int>& TTraceReplay::Sockets() const { return FReplay->Sockets(); }

}  // namespace keyrix::bench
