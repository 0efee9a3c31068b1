// Schema preparation: the custom user columns and the indexes the imports need, and the
// statistics of those indexes.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/Statements.h"
#include "db/DBUtils.h"
#include "db/FbErrors.h"

#include <mutex>

namespace keyrix {

namespace {

using namespace statements::schema;

// The indexes the schema steps make, on a table that may still be empty then.
const char* const SyncIndexes[] = {"USR_IDX_EMPLOYEE_NR", "USR_IDX_HRM_SYNC"};

bool ObjectExists(const char* check) {
    dbutils::TQueryScope query(dbutils::PrepareQuery(check), true);
    query->ExecuteWith();
    const bool exists = query->FieldByName("COUNT").AsInteger() > 0;
    query.Free();
    return exists;
}

// Committed at once, so that nothing of it waits for the sync pass.
void ExecuteCommitted(const std::string& statement) {
    dbutils::TQueryScope query(dbutils::PrepareWriteQuery(statement), true);
    query->ExecuteWith();
    query->Transaction()->Commit();
    query.Free();
}

}  // namespace

void TDataModule1::PrepareSchema() {
    std::lock_guard guard(dbutils::DatabaseLock());
    for (const TSchemaStep& step : SchemaSteps)
        if (!ObjectExists(step.Check)) ExecuteCommitted(step.Create);
}

// The server keeps an index's selectivity from when it was made or last recomputed. Made on
// an empty table, it says nothing, and the card-holder import's statements, prepared after
// the HRM import has filled the table, would combine both indexes and read every HRM user's
// entry for each record. The server counts every entry of the index, the pass's uncommitted
// ones too, and a statement prepared afterwards takes the new figures. In a transaction of
// its own, committed at once: the pass's transaction holds data only.
void TDataModule1::RecomputeIndexStatistics() {
    for (const char* index : SyncIndexes) {
        try {
            ExecuteCommitted(std::string("SET STATISTICS INDEX ") + index);
        } catch (const EFirebirdError& error) {
            // Only a plan is at stake for an account without the right to alter the table:
            // it synchronises all the same. Every other error ends the pass, as any
            // database error outside a record does.
            if (!error.HasCode(isc_no_priv)) throw;
            SyncLogError("Index statistics of %s not recomputed: %s", std::string(index), error.Message());
        }
    }
}

}  // namespace keyrix
