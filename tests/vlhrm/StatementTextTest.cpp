// The text the server receives for each statement of the synchronisation, joined from the
// literals of Statements.h: laying a statement out in the source must not change a byte of
// what is sent.
#include "Services/SyncClients/VLHRM/Statements.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string_view>

namespace keyrix {
namespace {

struct TStatementCase {
    const char* Name;
    std::string_view Joined;
    std::string_view Sent;  // the one-line text the server has always received
};

const TStatementCase StatementCases[] = {
    {"hrm_import::MatchSql", statements::hrm_import::MatchSql,
     "select   id,   case when (     first_name is distinct from :first or     last_name is distinct from :last or     email is distinct from :email or     occupation is distinct from :occupation or     usr_termination is distinct from :termination or     usr_companyid is distinct from :companyid or     usr_company is distinct from :company or     department_id is distinct from (select first 1 vd.id from vw_departments vd where vd.name containing :comp_id)   ) then 1 else 0 end as changed from   users where   class <> 'GROUP' and   employee_number = :nr"},
    {"hrm_import::InsertSql", statements::hrm_import::InsertSql,
     "insert into users (id, first_name, last_name, email, occupation, employee_number, usr_companyid, usr_company, usr_hrm_sync, department_id)   values (:id, :first, :last, :mail, :occupation, :empno, :companyid, :company_name, 1, (select first 1 vd.id from vw_departments vd where vd.name containing :comp_id))"},
    {"hrm_import::UpdateSql", statements::hrm_import::UpdateSql,
     "update users set   first_name = :first,   last_name = :last,   email = :mail,   occupation = :occupation,   usr_termination = :term,   usr_companyid = :company_id,   usr_company = :company_name,   deleted = 0,   department_id = (select first 1 vd.id from vw_departments vd where vd.name containing :comp_id) where   id = :id and   usr_hrm_sync = 1"},
    {"hrm_import::RemoveLeaversFromGroupsSql", statements::hrm_import::RemoveLeaversFromGroupsSql,
     "delete from user_groups ug where    exists (     select       *     from       users u     where       ((usr_termination < current_date) or (fullname similar to '%[0-9]%'))       and u.usr_hrm_sync = 1       and u.id = ug.user_id   )"},
    {"hrm_import::MarkLeaversDeletedSql", statements::hrm_import::MarkLeaversDeletedSql,
     "update users set deleted = 1 where ((usr_termination < current_date) or (fullname similar to '%[0-9]%')) and usr_hrm_sync = 1 and class <> 'GROUP'"},
    {"card_holder_import::AdoptSql", statements::card_holder_import::AdoptSql,
     "update users u set   u.phone_number2 = :cardno,   u.sync_id = :sync_id where   u.class <> 'GROUP' and   u.employee_number = :emp_no and   u.sync_id is null and   u.usr_hrm_sync = 1 and   exists (select * from paradox_accounts pa where pa.user_id = u.id and pa.card_number = :card_number)"},
    {"card_holder_import::MatchSql", statements::card_holder_import::MatchSql,
     "select   u.id,   pa.id as account_id,   ac.id as card_id,   u.sync_id,   u.usr_hrm_sync,   u.deleted,   case when (     pa.code is distinct from :pin or     pa.card_number is distinct from :cardno   ) then 1 else 0 end as changed,   case when (     ac.card_code is distinct from :pin or     ac.card_number is distinct from :cardno   ) then 1 else 0 end as changed_soyal from   users u   left join paradox_accounts pa on pa.user_id = u.id   left join access_cards ac on ac.userid = u.id and ac.sync_id = :sync_id where   u.class <> 'GROUP' and   u.employee_number = :emp_no and   ((u.sync_id = :sync_id) or (u.sync_id is null)) order by   u.sync_id nulls last"},
    {"card_holder_import::FindSql", statements::card_holder_import::FindSql,
     "select first 1 id, deleted from users where employee_number = :emp_no and class <> 'GROUP'"},
    {"card_holder_import::CopyUserSql", statements::card_holder_import::CopyUserSql,
     "insert into users (     first_name, last_name, email, occupation, employee_number,     usr_termination, usr_companyid, usr_company, department_id, usr_hrm_sync, sync_id   )   select     u2.first_name,     u2.last_name,     u2.email,     u2.occupation,     u2.employee_number,     u2.usr_termination,     u2.usr_companyid,     u2.usr_company,     u2.department_id,     1,     :sync_id   from     users u2   where     u2.id = :id returning   id"},
    {"card_holder_import::CopyGroupsSql", statements::card_holder_import::CopyGroupsSql,
     "insert into user_groups (user_id, group_id)   select :new_user_id, group_id from user_groups where user_id = :old_user_id"},
    {"card_holder_import::MarkSeenSql", statements::card_holder_import::MarkSeenSql,
     "insert into sys_gtt (id)   select :id from rdb$database where not exists (select * from sys_gtt where id = :id)"},
    {"card_holder_import::AssociateCardSql", statements::card_holder_import::AssociateCardSql,
     "update access_cards ac   set ac.sync_id = :sync_id where   ac.card_number = :card_number and ac.userid = :user_id returning   ac.id"},
    {"card_holder_import::LinkUserSql", statements::card_holder_import::LinkUserSql,
     "update users u set   u.phone_number2 = :cardno,   u.sync_id = :sync_id,   u.deleted = 0,   u.valid = 1 where   id = :userid"},
    {"card_holder_import::AddAccountSql", statements::card_holder_import::AddAccountSql,
     "insert into paradox_accounts (user_id, code, card_number, status)   values (:user_id, :code, :card, 1) returning   id"},
    {"card_holder_import::AddCardSql", statements::card_holder_import::AddCardSql,
     "insert into access_cards (userid, card_code, card_number, access_mode, sync_id)   values (:user_id, :code, :card, 4, :sync_id) returning   id"},
    {"card_holder_import::UpdateAccountSql", statements::card_holder_import::UpdateAccountSql,
     "update paradox_accounts set   code = :code,   card_number = :card where   id = :account"},
    {"card_holder_import::UpdateCardSql", statements::card_holder_import::UpdateCardSql,
     "update access_cards ac set   ac.card_code = :code,   ac.card_number = :card_number where   ac.id = :card_id and   ac.userid = :user_id"},
    {"card_holder_import::FlagGoneSql", statements::card_holder_import::FlagGoneSql,
     "update users u set   u.usr_bk_deleted =     case when exists (select * from sys_gtt sg where sg.id = u.id)       then 0       else 1     end where   u.class <> 'GROUP' and   u.sync_id is not null"},
    {"card_holder_import::UnlinkGoneSql", statements::card_holder_import::UnlinkGoneSql,
     "update users u set u.sync_id = null where u.class <> 'GROUP' and u.usr_bk_deleted = 1"},
    {"card_holder_import::KeepLinksSql", statements::card_holder_import::KeepLinksSql,
     "insert into sys_gtt (id)   select u.id from users u where u.class <> 'GROUP' and u.employee_number = :emp_no and u.sync_id is not null and not exists (select * from sys_gtt sg where sg.id = u.id)"},
    {"groups::GroupLookupSql", statements::groups::GroupLookupSql,
     "select   (select first 1 u.id from users u where u.class = 'GROUP' and u.usr_companyid = :companyid and u.usr_hrm_sync = 1) as group_company,   (select first 1 u.id from users u where u.class = 'GROUP' and u.sync_id = :siteid and u.usr_hrm_sync = 1) as group_site from   rdb$database"},
    {"groups::GroupCreateSql", statements::groups::GroupCreateSql,
     "insert into users (first_name, last_name, class, group_region, notes, sync_id, usr_companyid, usr_hrm_sync)   values (:first_name, '', 'GROUP', :site, 'Automatically created group', :siteid, :companyid, 1)   returning id"},
    {"groups::GroupMemberSql", statements::groups::GroupMemberSql,
     "select * from user_groups where user_id = :user_id and group_id = :group_id"},
    {"groups::GroupAddSql", statements::groups::GroupAddSql,
     "select   pr.out_component, pr.out_subject_id, pr.out_object_id, pr.out_sqlstate, so.object_name, so.object_type from   pr_user_group_add(:user_id, :group_id, :operator, 0, 1) pr   left join sys_objects so on pr.out_object_id = so.id"},
    {"controller_groups::ParadoxGroupSql", statements::controller_groups::ParadoxGroupSql,
     "select   u.first_name, pr.out_component, pr.out_account_id, pr.out_partition_id, pr.out_sqlstate, so.object_name, so.object_type from   pr_paradox_usergroup_add(:user_id, null, 0, null, 50) pr   left join users u on pr.out_group_id = u.id   left join sys_objects so on pr.out_partition_id = so.id"},
    {"controller_groups::AccessGroupSql", statements::controller_groups::AccessGroupSql,
     "select   u.first_name, pr.out_component, pr.out_card_id, pr.out_object_id, pr.out_sqlstate, so.object_name, so.object_type from   pr_access_usergroup_add(:in_user_id, null, 0, :card_id, null, 50) pr   left join users u on pr.out_group_id = u.id   left join sys_objects so on pr.out_group_id = so.id"},
    {"schema::SchemaSteps[0].Check", statements::schema::SchemaSteps[0].Check,
     "SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'HRM_SYNC'"},
    {"schema::SchemaSteps[0].Create", statements::schema::SchemaSteps[0].Create,
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'HRM_SYNC',   '\"BOOLEAN\"',   'HRM Sync',   NULL,   1,   '0',   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   'CheckBox',   0 )"},
    {"schema::SchemaSteps[1].Check", statements::schema::SchemaSteps[1].Check,
     "SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'BK_DELETED'"},
    {"schema::SchemaSteps[1].Create", statements::schema::SchemaSteps[1].Create,
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'BK_DELETED',   '\"BOOLEAN\"',   'BK Deleted',   NULL,   1,   '0',   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   'CheckBox',   0 )"},
    {"schema::SchemaSteps[2].Check", statements::schema::SchemaSteps[2].Check,
     "SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'TERMINATION'"},
    {"schema::SchemaSteps[2].Create", statements::schema::SchemaSteps[2].Create,
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'TERMINATION',   'DATE',   'Termination date',   NULL,   0,   NULL,   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   'DateEdit',   0 )"},
    {"schema::SchemaSteps[3].Check", statements::schema::SchemaSteps[3].Check,
     "SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'COMPANY'"},
    {"schema::SchemaSteps[3].Create", statements::schema::SchemaSteps[3].Create,
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'COMPANY',   'VARCHAR(30)',   'Company',   NULL,   0,   NULL,   1,   'USER',   'USER',   NULL,   NULL,   NULL,   'ComboBox',   0 )"},
    {"schema::SchemaSteps[4].Check", statements::schema::SchemaSteps[4].Check,
     "SELECT COUNT(*) FROM SYS_CUSTOM_COLUMNS SCC WHERE SCC.TABLE_NAME = 'USERS' AND SCC.NAME = 'COMPANYID'"},
    {"schema::SchemaSteps[4].Create", statements::schema::SchemaSteps[4].Create,
     "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   EDITOR,   REQUIRE_UNIQUE ) VALUES (   'USERS',   'COMPANYID',   'INTEGER',   'CompanyId',   NULL,   0,   NULL,   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   NULL,   0 )"},
    {"schema::SchemaSteps[5].Check", statements::schema::SchemaSteps[5].Check,
     "select count(*) from rdb$indices where rdb$index_name = 'USR_IDX_EMPLOYEE_NR' and rdb$relation_name = 'USERS'"},
    {"schema::SchemaSteps[5].Create", statements::schema::SchemaSteps[5].Create,
     "CREATE INDEX USR_IDX_EMPLOYEE_NR ON USERS (EMPLOYEE_NUMBER)"},
    {"schema::SchemaSteps[6].Check", statements::schema::SchemaSteps[6].Check,
     "select count(*) from rdb$indices where rdb$index_name = 'USR_IDX_HRM_SYNC' and rdb$relation_name = 'USERS'"},
    {"schema::SchemaSteps[6].Create", statements::schema::SchemaSteps[6].Create,
     "CREATE INDEX USR_IDX_HRM_SYNC ON USERS (USR_HRM_SYNC, USR_COMPANYID, SYNC_ID)"},
    {"sync_pass::StateBeforePassSql", statements::sync_pass::StateBeforePassSql,
     "select u.id, case when u.usr_hrm_sync = 1 and u.deleted = 0 then 1 else 0 end as active, case when u.sync_id is not null then 1 else 0 end as linked from users u where u.class <> 'GROUP' and ((u.usr_hrm_sync = 1 and u.deleted = 0) or u.sync_id is not null)"},
    {"sync_pass::StateAfterPassSql", statements::sync_pass::StateAfterPassSql,
     "select u.id, u.employee_number, u.deleted, case when u.sync_id is null then 1 else 0 end as unlinked from users u where u.class <> 'GROUP' and (u.deleted = 1 or u.sync_id is null) order by u.id"},
    {"audit::AuditStatement", statements::audit::AuditStatement,
     "EXECUTE PROCEDURE PR_LOG_EVENT(   :COMPONENT_ID,   :USER_ID,   :TARGET_USER_ID,   :LOG_TIME,   :PRIORITY,   :EVENT_CODE,   :OBJECT_ID,   :PARENT_OBJECT_ID,   :PARAM1,   :PARAM2,   :PARAM3,   :PARAM4,   :PARAM5,   :ALARMS)"},
};

TEST(StatementTextTest, EveryStatementJoinsIntoTheTextTheServerReceives) {
    for (const TStatementCase& c : StatementCases) EXPECT_EQ(c.Joined, c.Sent) << c.Name;
}

TEST(StatementTextTest, TheTableHoldsEverySchemaStep) {
    // A step added to the schema without its text here would go unchecked.
    EXPECT_EQ(std::size(statements::schema::SchemaSteps), 7u);
}

}  // namespace
}  // namespace keyrix
