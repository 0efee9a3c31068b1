// Controller user groups: a new keypad account or access card joins the groups that the
// database's procedures choose for it.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "common/TextUtils.h"
#include "db/DBUtils.h"

namespace keyrix {

namespace {

const char* const ParadoxGroupSql =
    "select   u.first_name, pr.out_component, pr.out_account_id, pr.out_partition_id, pr.out_sqlstate, so.object_name, so.object_type from   pr_paradox_usergroup_add(:user_id, null, 0, null, 50) pr   left join users u on pr.out_group_id = u.id   left join sys_objects so on pr.out_partition_id = so.id";
const char* const AccessGroupSql =
    "select   u.first_name, pr.out_component, pr.out_card_id, pr.out_object_id, pr.out_sqlstate, so.object_name, so.object_type from   pr_access_usergroup_add(:in_user_id, null, 0, :card_id, null, 50) pr   left join users u on pr.out_group_id = u.id   left join sys_objects so on pr.out_group_id = so.id";

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
