// The way into the Keyrix database for the whole process: the default database, read and
// write transactions, one-shot statements, the cache of prepared statements addressed by
// integer handles, generator values and the lookup of the client library.
#pragma once

#include "common/Debug.h"
#include "db/FbConnection.h"
#include "db/FbQuery.h"
#include "db/FbTransaction.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace keyrix::dbutils {

using PTransaction = std::shared_ptr<TFbTransaction>;
using PQuery = std::shared_ptr<TFbQuery>;

// Creates the process-wide database lock; called once at process start.
void InitializeDatabaseLayer();
// Destroys it again at process end.
void FinalizeDatabaseLayer();

// The recursive lock that serialises all database work. Raises EBugCheckError outside
// the life of the database layer.
TDebugCriticalSection& DatabaseLock();

// The connection used where none is given; the owner of the connection sets it and
// clears it (nullptr) before the connection goes. Not owned here.
void SetDefaultDatabase(TFbConnection* database);
TFbConnection* DefaultDatabase();

// The parameter lists of the two kinds of transaction, in block order.
const std::vector<std::string>& ReadTransactionParams();
const std::vector<std::string>& WriteTransactionParams();

// New inactive transactions of the database (the default one when none is given).
// Without any, EBugCheckError "NewTransaction: DefaultDatabase not assigned!".
PTransaction NewReadTransaction(TFbConnection* database = nullptr);
PTransaction NewWriteTransaction(TFbConnection* database = nullptr);

// A one-shot statement without text in the transaction, or in a new read transaction of
// the database made for it.
PQuery NewQuery(PTransaction transaction = nullptr, TFbConnection* database = nullptr);
// NewQuery, the text set, prepared. A failure frees the statement, and the transaction
// when it was made here.
PQuery PrepareQuery(const std::string& sql, PTransaction transaction = nullptr, TFbConnection* database = nullptr);
// The same in a new write transaction of its own, which a failure frees too.
PQuery PrepareWriteQuery(const std::string& sql);

// Owns a statement for a scope and frees it on every path out of it, as FreeQuery does
// (with its transaction when asked). Free ends it on the normal path and raises a failed
// rollback; the end of the scope frees quietly, because on an error path the error being
// handled is the one to report. Release hands the statement on instead.
class TQueryScope {
public:
    TQueryScope(PQuery query, bool freeTransaction) : FQuery(std::move(query)), FFreeTransaction(freeTransaction) {}
    TQueryScope(const TQueryScope&) = delete;
    TQueryScope& operator=(const TQueryScope&) = delete;
    ~TQueryScope();

    TFbQuery* operator->() const { return FQuery.get(); }
    const PQuery& Get() const { return FQuery; }
    void Free();
    PQuery Release() { return std::exchange(FQuery, nullptr); }

private:
    PQuery FQuery;
    bool FFreeTransaction;
};

// Commits when the transaction is active; a missing (or freed) one is nothing to commit.
void CommitIfActive(const PTransaction& transaction);

// Frees the statement and sets the variable to null. With freeTransaction its transaction
// is rolled back when active and freed too. Cache records of the statement are dropped and
// their handle variables set to 0. A failed rollback is raised after all this is done.
void FreeQuery(PQuery& query, bool freeTransaction);

// A statement of the cache. The handle variable names it (slot index + 1; 0 = not made);
// a handle that names one answers it unchanged, in the transaction it was made with.
// Otherwise it is prepared (in the given transaction, else a new read transaction),
// recorded with the owner label, and its handle written to the variable. The variable
// must outlive the record: FreeQueries resets it. The first use registers a
// before-disconnect handler with the default database that frees the whole cache.
PQuery CachedQuery(std::int32_t& handle, const std::string& sql, const std::string& owner,
                   PTransaction transaction = nullptr);
// The same, but a new statement without a given transaction gets a new write transaction.
PQuery CachedWriteQuery(std::int32_t& handle, const std::string& sql, const std::string& owner,
                        PTransaction transaction = nullptr);

// Under DatabaseLock, from the last slot to the first: frees the statements of the owner
// (all when empty) with their transactions, rolling back active ones, and resets their
// handle variables. With an empty owner the cache and its handler go too. A transaction
// that several statements share is freed with the first; the others are freed alone.
void FreeQueries(const std::string& owner);

// The next value of the generator: "select gen_id(NAME, STEP) from rdb$database" in the
// transaction, else in a read transaction of its own.
std::int64_t GeneratorValue(const std::string& name, std::int64_t step, PTransaction transaction = nullptr,
                            TFbConnection* database = nullptr);
// The same statement from the cache (see CachedQuery): prepared at the first draw and kept
// for the next, so that drawing once per record costs one round trip, not a preparation.
std::int64_t CachedGeneratorValue(std::int32_t& handle, const std::string& name, std::int64_t step,
                                  const std::string& owner, PTransaction transaction);

// The Firebird client library to load: from the folder in the registry value
// "DefaultInstance" of "SOFTWARE\Firebird Project\Firebird Server\Instances", first
// "lib/libfbclient.so" then "libfbclient.so" appended to it as it is; else the bare name
// "libfbclient.so.2" for the dynamic linker's search.
std::string FindClientLibrary();

}  // namespace keyrix::dbutils
