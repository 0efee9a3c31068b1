#include "tests/support/FaultyClient.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>

namespace keyrix::test {

namespace {

// The entries that talk to the server.
#define KEYRIX_FAULTY_ENTRIES(X)                                                                            \
    X(isc_attach_database) X(isc_detach_database) X(isc_start_transaction) X(isc_commit_transaction)        \
    X(isc_rollback_transaction) X(isc_dsql_allocate_statement) X(isc_dsql_prepare) X(isc_dsql_describe)     \
    X(isc_dsql_describe_bind) X(isc_dsql_execute) X(isc_dsql_execute2) X(isc_dsql_execute_immediate)        \
    X(isc_dsql_fetch) X(isc_dsql_free_statement) X(isc_dsql_sql_info) X(isc_open_blob2) X(isc_get_segment) \
    X(isc_close_blob)

enum TEntry : std::size_t {
#define KEYRIX_FAULTY_ENUM(name) e_##name,
    KEYRIX_FAULTY_ENTRIES(KEYRIX_FAULTY_ENUM)
#undef KEYRIX_FAULTY_ENUM
        EntryCount
};

constexpr const char* EntryNames[] = {
#define KEYRIX_FAULTY_NAME(name) #name,
    KEYRIX_FAULTY_ENTRIES(KEYRIX_FAULTY_NAME)
#undef KEYRIX_FAULTY_NAME
};

// What the forwarding functions share; the watchdog thread may read while the run's
// thread calls, so the counters are atomics and the rest is behind the lock.
std::atomic<bool> Installed{false};
std::atomic<bool> Armed{false};
std::atomic<std::uint64_t> CallCount{0};
std::atomic<std::uint64_t> FailAt{0};
std::atomic<int> FiredEntry{-1};
std::atomic<TClientFault> Fault{TClientFault::ServerError};
std::atomic<bool> RecordNames{false};
std::string FiredName;  // under the lock
std::mutex Lock;
std::vector<std::string> CallNames;
std::vector<isc_db_handle> Attachments;  // opened while armed
decltype(&::fb_cancel_operation) RealCancel = nullptr;
// The text of the server error, alive while the layer reads the status vector.
char FaultText[64];

// Fills the status vector as the server or the network would have; answers its error code.
ISC_STATUS MakeFault(ISC_STATUS* status, std::uint64_t call) {
    if (Fault == TClientFault::LostConnection) {
        std::vector<isc_db_handle> attachments;
        {
            std::lock_guard guard(Lock);
            attachments.swap(Attachments);
        }
        // The connection really goes: the calls after this one meet a dead attachment.
        for (isc_db_handle handle : attachments) {
            ISC_STATUS_ARRAY ignored{};
            RealCancel(ignored, &handle, fb_cancel_abort);
        }
        status[0] = isc_arg_gds;
        status[1] = isc_network_error;
        status[2] = isc_arg_string;
        status[3] = reinterpret_cast<ISC_STATUS>("127.0.0.1");
        status[4] = isc_arg_gds;
        status[5] = isc_net_read_err;
        status[6] = isc_arg_end;
        return status[1];
    }
    std::snprintf(FaultText, sizeof FaultText, "Test fault on client call %llu", static_cast<unsigned long long>(call));
    status[0] = isc_arg_gds;
    status[1] = isc_random;
    status[2] = isc_arg_string;
    status[3] = reinterpret_cast<ISC_STATUS>(FaultText);
    status[4] = isc_arg_end;
    return status[1];
}

// Counts the call; answers true when this is the one to fail. The detail tells calls of
// one entry apart in the names ("DSQL_close", the text run immediately).
bool CountCall(TEntry which, std::uint64_t& call, const std::string& detail = "") {
    call = ++CallCount;
    const bool fail = call == FailAt.load();
    if (RecordNames || fail) {
        const std::string name = std::string(EntryNames[which]) + (detail.empty() ? "" : "(" + detail + ")");
        std::lock_guard guard(Lock);
        if (RecordNames) CallNames.push_back(name);
        if (fail) FiredName = name;
    }
    if (fail) FiredEntry = static_cast<int>(which);
    return fail;
}

template <TEntry Which, class... TArguments>
std::string Detail(const TArguments&... arguments) {
    if constexpr (Which == e_isc_dsql_free_statement) {
        const auto option = std::get<1>(std::tie(arguments...));
        return option == DSQL_drop ? "DSQL_drop" : option == DSQL_close ? "DSQL_close" : "DSQL_unprepare";
    } else if constexpr (Which == e_isc_dsql_execute_immediate) {
        const auto& [database, transaction, length, text, dialect, sqlda] = std::tie(arguments...);
        return text != nullptr ? std::string(text, length != 0 ? length : std::char_traits<char>::length(text)) : "";
    } else {
        return "";
    }
}

template <TEntry Which, class TFunction>
struct TForward;

template <TEntry Which, class... TArguments>
struct TForward<Which, ISC_STATUS (*)(ISC_STATUS*, TArguments...)> {
    static inline ISC_STATUS (*Real)(ISC_STATUS*, TArguments...) = nullptr;
    static ISC_STATUS Call(ISC_STATUS* status, TArguments... arguments) {
        if (!Armed.load()) return Real(status, arguments...);
        std::uint64_t call = 0;
        if (CountCall(Which, call, Detail<Which>(arguments...))) return MakeFault(status, call);
        const ISC_STATUS result = Real(status, arguments...);
        if constexpr (Which == e_isc_attach_database) {
            if (result == 0) {
                const isc_db_handle* handle = std::get<2>(std::tuple<TArguments...>(arguments...));
                std::lock_guard guard(Lock);
                Attachments.push_back(*handle);
            }
        }
        return result;
    }
};

// isc_start_transaction takes its attachments as variable arguments, which cannot be passed
// on; the layer starts every transaction on one attachment. The library's signature puts a
// short before the "...": clang warns that va_start after a promoted parameter is undefined
// by the standard, but every ABI the client library exists for passes it as an int.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wvarargs"
#endif
template <TEntry Which>
struct TForward<Which, ISC_STATUS (*)(ISC_STATUS*, isc_tr_handle*, short, ...)> {
    static inline ISC_STATUS (*Real)(ISC_STATUS*, isc_tr_handle*, short, ...) = nullptr;
    static ISC_STATUS Call(ISC_STATUS* status, isc_tr_handle* transaction, short count, ...) {
        va_list arguments;
        va_start(arguments, count);
        isc_db_handle* database = va_arg(arguments, isc_db_handle*);
        const int length = va_arg(arguments, int);
        const ISC_SCHAR* block = va_arg(arguments, const ISC_SCHAR*);
        va_end(arguments);
        if (count != 1) std::abort();  // a use the layer does not make
        std::uint64_t call = 0;
        if (Armed.load() && CountCall(Which, call)) return MakeFault(status, call);
        return Real(status, transaction, count, database, length, block);
    }
};
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

template <TEntry Which, class TFunction>
void Install(TFunction& entry) {
    TForward<Which, TFunction>::Real = entry;
    entry = &TForward<Which, TFunction>::Call;
}

template <TEntry Which, class TFunction>
void Restore(TFunction& entry) {
    entry = TForward<Which, TFunction>::Real;
}

}  // namespace

TFaultyClient::TFaultyClient(const std::string& libraryPath) : FClient(TFbClient::Load(libraryPath)) {
    if (Installed.exchange(true)) throw std::logic_error("only one faulty client at a time");
    TFbClient& client = *FClient;
    RealCancel = client.fb_cancel_operation;
#define KEYRIX_FAULTY_INSTALL(name) Install<e_##name>(client.name);
    KEYRIX_FAULTY_ENTRIES(KEYRIX_FAULTY_INSTALL)
#undef KEYRIX_FAULTY_INSTALL
}

TFaultyClient::~TFaultyClient() {
    Disarm();
    TFbClient& client = *FClient;
#define KEYRIX_FAULTY_RESTORE(name) Restore<e_##name>(client.name);
    KEYRIX_FAULTY_ENTRIES(KEYRIX_FAULTY_RESTORE)
#undef KEYRIX_FAULTY_RESTORE
    Installed = false;
}

void TFaultyClient::Arm(std::uint64_t failAt, TClientFault fault, bool recordNames) {
    Disarm();
    {
        std::lock_guard guard(Lock);
        CallNames.clear();
        Attachments.clear();
    }
    CallCount = 0;
    FiredEntry = -1;
    {
        std::lock_guard guard(Lock);
        FiredName.clear();
    }
    FailAt = failAt;
    Fault = fault;
    RecordNames = recordNames;
    Armed = true;
}

void TFaultyClient::Disarm() { Armed = false; }

std::uint64_t TFaultyClient::Calls() const { return CallCount.load(); }

bool TFaultyClient::Fired() const { return FiredEntry.load() >= 0; }

std::string TFaultyClient::FiredIn() const {
    std::lock_guard guard(Lock);
    return FiredName;
}

std::vector<std::string> TFaultyClient::Names() const {
    std::lock_guard guard(Lock);
    return CallNames;
}

}  // namespace keyrix::test
