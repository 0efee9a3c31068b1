#include "bench/ClientCalls.h"

#include <array>
#include <atomic>
#include <stdexcept>

namespace keyrix::bench {

namespace {

enum TCounted : std::size_t { cExecute, cExecute2, cImmediate, cPrepare, cFetch, cCommit, cRollback, cCountedCount };

std::array<std::atomic<std::uint64_t>, cCountedCount> Counts{};
std::atomic<bool> Installed{false};

// The forwarding function of one table entry, and the library function it forwards to.
template <TCounted Which, class TFunction>
struct TForward;

template <TCounted Which, class TResult, class... TArguments>
struct TForward<Which, TResult (*)(TArguments...)> {
    static inline TResult (*Real)(TArguments...) = nullptr;
    static TResult Call(TArguments... arguments) {
        Counts[Which].fetch_add(1, std::memory_order_relaxed);
        return Real(arguments...);
    }
};

template <TCounted Which, class TFunction>
void Install(TFunction& entry) {
    TForward<Which, TFunction>::Real = entry;
    entry = &TForward<Which, TFunction>::Call;
}

template <TCounted Which, class TFunction>
void Restore(TFunction& entry) {
    entry = TForward<Which, TFunction>::Real;
}

std::uint64_t Count(TCounted which) { return Counts[which].load(std::memory_order_relaxed); }

}  // namespace

TClientCalls TClientCalls::operator-(const TClientCalls& earlier) const {
    return {Executes - earlier.Executes, Immediates - earlier.Immediates, Prepares - earlier.Prepares,
            Fetches - earlier.Fetches,   Commits - earlier.Commits,       Rollbacks - earlier.Rollbacks};
}

TClientCallCounter::TClientCallCounter(const std::string& libraryPath) : FClient(TFbClient::Load(libraryPath)) {
    if (Installed.exchange(true)) throw std::logic_error("only one client call counter at a time");
    TFbClient& client = *FClient;
    Install<cExecute>(client.isc_dsql_execute);
    Install<cExecute2>(client.isc_dsql_execute2);
    Install<cImmediate>(client.isc_dsql_execute_immediate);
    Install<cPrepare>(client.isc_dsql_prepare);
    Install<cFetch>(client.isc_dsql_fetch);
    Install<cCommit>(client.isc_commit_transaction);
    Install<cRollback>(client.isc_rollback_transaction);
}

TClientCallCounter::~TClientCallCounter() {
    TFbClient& client = *FClient;
    Restore<cExecute>(client.isc_dsql_execute);
    Restore<cExecute2>(client.isc_dsql_execute2);
    Restore<cImmediate>(client.isc_dsql_execute_immediate);
    Restore<cPrepare>(client.isc_dsql_prepare);
    Restore<cFetch>(client.isc_dsql_fetch);
    Restore<cCommit>(client.isc_commit_transaction);
    Restore<cRollback>(client.isc_rollback_transaction);
    Installed = false;
}

TClientCalls TClientCallCounter::Now() const {
    return {Count(cExecute) + Count(cExecute2), Count(cImmediate), Count(cPrepare),
            Count(cFetch),                     Count(cCommit),     Count(cRollback)};
}

}  // namespace keyrix::bench
