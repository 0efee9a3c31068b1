// Audit events: entries in the access-control product's own event log, committed at once.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/Statements.h"
#include "common/TextUtils.h"
#include "db/DBUtils.h"

#include <mutex>

namespace keyrix {

namespace {

using namespace statements::audit;

// Null stays Null; anything else becomes its string form, at most 200 characters.
TValue AuditText(const TValue& value) {
    if (value.IsNull()) return value;
    std::string text = value.ToString();
    if (text.size() > 200) text.resize(200);
    return TValue(std::move(text));
}

}  // namespace

void TDataModule1::LogAuditEvent(const TValue& targetUser, std::int32_t eventCode, const TValue& firstText,
                                 const TValue& secondText) {
    const TValue param1 = AuditText(firstText);
    const TValue param2 = AuditText(secondText);
    // A dry run writes nothing. The event is left out rather than sent into the pass's
    // transaction: it would then depend on the record's savepoint and on a connection that
    // may be gone when the pass fails, and one committed by mistake would be a lasting trace.
    if (DryRun) {
        ++Summary.AuditEventsSkipped;
        SyncLogInfo("Dry run: audit event %d not recorded: %s; %s", eventCode,
                    VisibleText(param1.IsNull() ? std::string() : param1.ToString()),
                    VisibleText(param2.IsNull() ? std::string() : param2.ToString()));
        return;
    }
    std::lock_guard guard(dbutils::DatabaseLock());
    // The statement has a write transaction of its own, never the pass's: the event stays
    // when the pass is rolled back.
    dbutils::PQuery query = dbutils::CachedWriteQuery(AuditQueryHandle, AuditStatement, "");
    try {
        query->ExecuteWith({std::int32_t{0}, std::int32_t{-1}, targetUser, TValue(), TValue(), eventCode, TValue(),
                            TValue(), param1, param2, TValue(), TValue(), TValue(), std::int32_t{1}});
    } catch (...) {
        // A failed call leaves nothing to commit, but the transaction is ended all the same.
        try {
            dbutils::CommitIfActive(query->Transaction());
        } catch (...) {
        }
        throw;
    }
    dbutils::CommitIfActive(query->Transaction());
}

}  // namespace keyrix
