// Controller user groups: a new keypad account or access card joins the groups that the
// database's procedures choose for it.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/Statements.h"
#include "common/TextUtils.h"
#include "db/DBUtils.h"

namespace keyrix {

namespace {

using namespace statements::controller_groups;

// A row back is the procedure's refusal; the first one names it (NULL parts read as "").
void RaiseOnRefusal(const dbutils::PQuery& query) {
    if (query->Eof()) return;
    // The names come from the register (a group's from the feed): kept visible in log lines.
    throw EGroupAddError(Format("Failed to add group \"%s\"; Object \"%s\"; Error \"%s\"",
                                VisibleText(query->FieldByName("FIRST_NAME").AsString()),
                                VisibleText(query->FieldByName("OBJECT_NAME").AsString()),
                                VisibleText(query->FieldByName("OUT_SQLSTATE").AsString())));
}

}  // namespace

void TDataModule1::AddToParadoxUserGroup(std::int64_t userId) {
    dbutils::PQuery query = dbutils::CachedWriteQuery(ParadoxGroupHandle, ParadoxGroupSql, "Sync", PassTransaction);
    query->ExecuteWith({userId});
    RaiseOnRefusal(query);
}

void TDataModule1::AddToAccessUserGroup(std::int32_t cardId, std::int64_t userId) {
    dbutils::PQuery query = dbutils::CachedWriteQuery(AccessGroupHandle, AccessGroupSql, "Sync", PassTransaction);
    query->ExecuteWith({userId, cardId});
    RaiseOnRefusal(query);
}

}  // namespace keyrix
