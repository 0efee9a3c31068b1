// Schema preparation: the custom user columns and the indexes the imports need.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "db/DBUtils.h"

#include <mutex>

namespace keyrix {

namespace {

struct TSchemaStep {
    const char* Check;   // answers COUNT > 0 when the object exists
    const char* Create;
};

// In this order: each creation is committed before the next check, so the columns exist
// when the indexes that use them are made.
const TSchemaStep SchemaSteps[] = {
    {"SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'HRM_SYNC'",
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'HRM_SYNC',   '\"BOOLEAN\"',   'HRM Sync',   NULL,   1,   '0',   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   'CheckBox',   0 )"},
    {"SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'BK_DELETED'",
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'BK_DELETED',   '\"BOOLEAN\"',   'BK Deleted',   NULL,   1,   '0',   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   'CheckBox',   0 )"},
    {"SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'TERMINATION'",
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'TERMINATION',   'DATE',   'Termination date',   NULL,   0,   NULL,   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   'DateEdit',   0 )"},
    {"SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'COMPANY'",
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'COMPANY',   'VARCHAR(30)',   'Company',   NULL,   0,   NULL,   1,   'USER',   'USER',   NULL,   NULL,   NULL,   'ComboBox',   0 )"},
    {"SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'COMPANYID'",
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'COMPANYID',   'INTEGER',   'CompanyId',   NULL,   0,   NULL,   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   NULL,   0 )"},
    {"select count(*) from rdb$indices where rdb$index_name = 'USR_IDX_EMPLOYEE_NR' and rdb$relation_name = 'USERS'",
     "CREATE INDEX USR_IDX_EMPLOYEE_NR ON USERS (EMPLOYEE_NUMBER)"},
    {"select count(*) from rdb$indices where rdb$index_name = 'USR_IDX_HRM_SYNC' and rdb$relation_name = 'USERS'",
     "CREATE INDEX USR_IDX_HRM_SYNC ON USERS (USR_HRM_SYNC, USR_COMPANYID, SYNC_ID)"},
};

// Frees on an error path, where the error being handled is the one to report.
void FreeQuietly(dbutils::PQuery& query) {
    try {
        dbutils::FreeQuery(query, true);
    } catch (...) {
    }
}

bool ObjectExists(const char* check) {
    dbutils::PQuery query = dbutils::PrepareQuery(check);
    bool exists = false;
    try {
        query->ExecuteWith();
        exists = query->FieldByName("COUNT").AsInteger() > 0;
    } catch (...) {
        FreeQuietly(query);
        throw;
    }
    dbutils::FreeQuery(query, true);
    return exists;
}

// Committed at once, so that nothing of it waits for the sync pass.
void CreateObject(const char* create) {
    dbutils::PQuery query = dbutils::PrepareWriteQuery(create);
    try {
        query->ExecuteWith();
        query->Transaction()->Commit();
    } catch (...) {
        FreeQuietly(query);
        throw;
    }
    dbutils::FreeQuery(query, true);
}

}  // namespace

void TDataModule1::PrepareSchema() {
    std::lock_guard guard(dbutils::DatabaseLock());
    for (const TSchemaStep& step : SchemaSteps)
        if (!ObjectExists(step.Check)) CreateObject(step.Create);
}

}  // namespace keyrix
