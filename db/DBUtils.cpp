#include "db/DBUtils.h"

#include "common/Format.h"
#include "common/ScopeGuard.h"
#include "platform/Registry.h"

#include <sys/stat.h>

#include <exception>
#include <memory>

namespace keyrix::dbutils {

namespace {

std::unique_ptr<TDebugCriticalSection> TheDatabaseLock;
TFbConnection* TheDefaultDatabase = nullptr;

struct TQueryRecord {
    std::int32_t* HandleVar;  // the caller's variable
    std::string Owner;
    PQuery Query;
};

// The statement cache and the handler it registered. Shared, so that a FreeQueries that
// runs inside another (a connection lost while rolling back) leaves the outer one a list
// to finish.
struct TQueryCache {
    std::vector<std::unique_ptr<TQueryRecord>> Slots;
    // Through the attachment, which outlives its connection object and forgets it when
    // that goes: a cache left behind by a connection never opened must not reach it.
    std::shared_ptr<TFbAttachment> HandlerAttachment;
    int HandlerId = 0;
};
std::shared_ptr<TQueryCache> QueryCache;

PTransaction NewTransaction(TFbConnection* database, const std::vector<std::string>& params) {
    if (database == nullptr) database = TheDefaultDatabase;
    if (database == nullptr) throw EBugCheckError("NewTransaction: DefaultDatabase not assigned!");
    return std::make_shared<TFbTransaction>(*database, params);
}

// The statement a handle names, or null.
PQuery Lookup(std::int32_t handle) {
    if (!QueryCache || handle < 1 || static_cast<std::size_t>(handle) > QueryCache->Slots.size()) return nullptr;
    const auto& record = QueryCache->Slots[static_cast<std::size_t>(handle) - 1];
    return record ? record->Query : nullptr;
}

bool IsFile(const std::string& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Frees a transaction on an error path, where the error being handled is the one to report.
void FreeQuietly(TFbTransaction& transaction) noexcept {
    try {
        transaction.Free();
    } catch (...) {
    }
}

}  // namespace

void InitializeDatabaseLayer() {
    if (!TheDatabaseLock) TheDatabaseLock = std::make_unique<TDebugCriticalSection>();
}

void FinalizeDatabaseLayer() { TheDatabaseLock.reset(); }

TDebugCriticalSection& DatabaseLock() {
    if (!TheDatabaseLock) throw EBugCheckError("DatabaseLock used outside the life of the database layer");
    return *TheDatabaseLock;
}

void SetDefaultDatabase(TFbConnection* database) { TheDefaultDatabase = database; }

TFbConnection* DefaultDatabase() { return TheDefaultDatabase; }

const std::vector<std::string>& ReadTransactionParams() {
    static const std::vector<std::string> params = {"read", "nowait", "rec_version", "read_committed"};
    return params;
}

const std::vector<std::string>& WriteTransactionParams() {
    static const std::vector<std::string> params = {"write", "nowait", "read_committed", "rec_version"};
    return params;
}

PTransaction NewReadTransaction(TFbConnection* database) { return NewTransaction(database, ReadTransactionParams()); }

PTransaction NewWriteTransaction(TFbConnection* database) { return NewTransaction(database, WriteTransactionParams()); }

PQuery NewQuery(PTransaction transaction, TFbConnection* database) {
    if (!transaction) transaction = NewReadTransaction(database);
    return std::make_shared<TFbQuery>(std::move(transaction));
}

PQuery PrepareQuery(const std::string& sql, PTransaction transaction, TFbConnection* database) {
    const bool madeHere = !transaction;
    TQueryScope query(NewQuery(std::move(transaction), database), madeHere);
    query->SetSQL(sql);
    query->Prepare();
    return query.Release();
}

PQuery PrepareWriteQuery(const std::string& sql) {
    PTransaction transaction = NewWriteTransaction();
    TScopeGuard freeOnError([&transaction] { FreeQuietly(*transaction); });
    PQuery query = PrepareQuery(sql, transaction);
    freeOnError.Dismiss();
    return query;
}

TQueryScope::~TQueryScope() {
    try {
        FreeQuery(FQuery, FFreeTransaction);
    } catch (...) {
        // Only an error path gets here with a statement: its own error is the one reported.
    }
}

void TQueryScope::Free() { FreeQuery(FQuery, FFreeTransaction); }

void CommitIfActive(const PTransaction& transaction) {
    if (transaction && transaction->IsActive()) transaction->Commit();
}

void FreeQuery(PQuery& query, bool freeTransaction) {
    if (!query) return;
    std::exception_ptr rollbackError;
    if (freeTransaction) {
        if (PTransaction transaction = query->Transaction()) {
            try {
                transaction->Free();
            } catch (...) {
                rollbackError = std::current_exception();
            }
        }
    }
    if (QueryCache) {
        for (auto& record : QueryCache->Slots) {
            if (!record || record->Query != query) continue;
            *record->HandleVar = 0;
            record.reset();
        }
    }
    query->Free();
    query.reset();
    if (rollbackError) std::rethrow_exception(rollbackError);
}

PQuery CachedQuery(std::int32_t& handle, const std::string& sql, const std::string& owner, PTransaction transaction) {
    if (!QueryCache) {
        QueryCache = std::make_shared<TQueryCache>();
        if (TheDefaultDatabase != nullptr) {
            QueryCache->HandlerAttachment = TheDefaultDatabase->Attachment();
            // Closing must complete whatever the cache meets on the way.
            QueryCache->HandlerId = TheDefaultDatabase->AddDisconnectHandler([](TFbConnection&) {
                try {
                    FreeQueries("");
                } catch (...) {
                }
            });
        }
    }
    if (PQuery found = Lookup(handle)) return found;

    PQuery query = PrepareQuery(sql, std::move(transaction));
    query->SetCached(true);
    QueryCache->Slots.push_back(std::make_unique<TQueryRecord>(TQueryRecord{&handle, owner, query}));
    handle = static_cast<std::int32_t>(QueryCache->Slots.size());
    return query;
}

PQuery CachedWriteQuery(std::int32_t& handle, const std::string& sql, const std::string& owner,
                        PTransaction transaction) {
    PTransaction made;
    if (!transaction && !Lookup(handle)) transaction = made = NewWriteTransaction();
    TScopeGuard freeOnError([&made] {
        if (made) FreeQuietly(*made);
    });
    PQuery query = CachedQuery(handle, sql, owner, std::move(transaction));
    freeOnError.Dismiss();
    return query;
}

void FreeQueries(const std::string& owner) {
    std::shared_ptr<TQueryCache> cache = QueryCache;
    if (!cache) return;
    std::lock_guard guard(DatabaseLock());
    std::exception_ptr firstError;
    // By index, fresh each time: a nested run may empty slots meanwhile.
    for (std::size_t i = cache->Slots.size(); i-- > 0;) {
        std::unique_ptr<TQueryRecord>& slot = cache->Slots[i];
        if (!slot || (!owner.empty() && slot->Owner != owner)) continue;
        std::unique_ptr<TQueryRecord> record = std::move(slot);
        PQuery query = record->Query;
        try {
            FreeQuery(query, static_cast<bool>(query->Transaction()));
        } catch (...) {
            if (!firstError) firstError = std::current_exception();
        }
        *record->HandleVar = 0;
    }
    if (owner.empty() && QueryCache == cache) {
        if (cache->HandlerAttachment && cache->HandlerAttachment->Connection != nullptr)
            cache->HandlerAttachment->Connection->RemoveDisconnectHandler(cache->HandlerId);
        QueryCache.reset();
    }
    if (firstError) std::rethrow_exception(firstError);
}

namespace {
std::string GeneratorSql(const std::string& name, std::int64_t step) {
    return Format("select gen_id(%s, %d) from rdb$database", name, step);
}
}  // namespace

std::int64_t GeneratorValue(const std::string& name, std::int64_t step, PTransaction transaction,
                            TFbConnection* database) {
    const bool ownTransaction = !transaction;
    TQueryScope query(PrepareQuery(GeneratorSql(name, step), std::move(transaction), database), ownTransaction);
    query->SetSingleton(true);
    query->ExecuteWith({});
    const std::int64_t value = query->FieldAt(0).AsInt64();
    query.Free();
    return value;
}

std::int64_t CachedGeneratorValue(std::int32_t& handle, const std::string& name, std::int64_t step,
                                  const std::string& owner, PTransaction transaction) {
    PQuery query = CachedQuery(handle, GeneratorSql(name, step), owner, std::move(transaction));
    query->SetSingleton(true);
    query->ExecuteWith({});
    return query->FieldAt(0).AsInt64();
}

std::string FindClientLibrary() {
    const std::string fallback = "libfbclient.so.2";
    platform::TRegistry registry(platform::TRegAccess::Read);
    if (!registry.OpenKeyReadOnly("SOFTWARE\\Firebird Project\\Firebird Server\\Instances")) return fallback;
    // A missing value reads as an empty folder.
    const std::string folder = registry.ValueExists("DefaultInstance") ? registry.ReadString("DefaultInstance") : "";
    registry.CloseKey();
    if (IsFile(folder + "lib/libfbclient.so")) return folder + "lib/libfbclient.so";
    if (IsFile(folder + "libfbclient.so")) return folder + "libfbclient.so";
    return fallback;
}

}  // namespace keyrix::dbutils
