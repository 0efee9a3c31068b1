// The schema stand-in keeps the contract the sync client relies on.
#include "db/DBUtils.h"

#include "tests/db/DbFixture.h"

#include <gtest/gtest.h>

using namespace keyrix;
using namespace keyrix::dbutils;
using keyrix::test::DbTest;

namespace {

using DbSchema = DbTest;

std::string CustomColumnInsert(const std::string& name, const std::string& fieldType, const std::string& required,
                               const std::string& defaultValue, const std::string& tableName = "USERS") {
    return "INSERT INTO SYS_CUSTOM_COLUMNS (   TABLE_NAME,   NAME,   FIELD_TYPE,   LABEL,   DESCRIPTION,   REQUIRED,   "
           "DEFAULT_VALUE,   VISIBLE,   CLASS_READ,   CLASS_WRITE,   CHECK_CONDITION,   CHECK_MESSAGE,   PROPERTIES,   "
           "EDITOR,   REQUIRE_UNIQUE ) VALUES (   '" +
           tableName + "',   '" + name + "',   '" + fieldType + "',   'Label',   NULL,   " + required + ",   " +
           defaultValue + ",   0,   'SUPERVISOR',   'SUPERVISOR',   NULL,   NULL,   NULL,   'CheckBox',   0 )";
}

const char* const ColumnCount =
    "select count(*) from rdb$relation_fields where rdb$relation_name = 'USERS' and rdb$field_name = :name";

}  // namespace

TEST_F(DbSchema, CommittedCustomColumnRowAddsTheUsersColumn) {
    Execute("insert into users (last_name) values ('existing')");
    EXPECT_EQ(Scalar(ColumnCount, {"USR_HRM_SYNC"}).ToString(), "0");

    PQuery insert = PrepareWriteQuery(CustomColumnInsert("HRM_SYNC", "\"BOOLEAN\"", "1", "'0'"));
    insert->ExecuteWith();
    CommitIfActive(insert->Transaction());
    FreeQuery(insert, true);
    EXPECT_EQ(Scalar(ColumnCount, {"USR_HRM_SYNC"}).ToString(), "1");
    EXPECT_EQ(Scalar("select usr_hrm_sync from users where last_name = 'existing'").ToString(), "0");

    Execute(CustomColumnInsert("TERMINATION", "DATE", "0", "NULL"));
    Execute("update users set usr_termination = :d", {TDateTime{2030, 1, 31}});
    EXPECT_EQ(Scalar("select usr_termination from users").ToString(), "2030-01-31");
    Execute("CREATE INDEX USR_IDX_HRM_SYNC ON USERS (USR_HRM_SYNC, SYNC_ID)");

    // A row of another table gives USERS nothing.
    Execute(CustomColumnInsert("COMPANY", "VARCHAR(30)", "0", "NULL", "ACCESS_CARDS"));
    EXPECT_EQ(Scalar(ColumnCount, {"USR_COMPANY"}).ToString(), "0");
}

TEST_F(DbSchema, InsertsWithoutAnIdGetOneForReturningId) {
    const std::int64_t user = std::stoll(Scalar("select gen_id(GEN_USERS_ID, 0) from rdb$database").ToString()) + 1;
    PTransaction transaction = NewWriteTransaction();
    auto run = [&](const std::string& sql, const std::vector<TValue>& values) {
        PQuery query = PrepareQuery(sql, transaction);
        query->ExecuteWith(values);
        EXPECT_FALSE(query->FieldAt(0).IsNull()) << sql;
        return query->FieldAt(0).AsInt64();
    };
    const std::int64_t group = run(
        "insert into users (first_name, last_name, class, group_region, notes, sync_id) values (:first_name, '', "
        "'GROUP', :site, 'Automatically created group', :siteid) returning id",
        {"Site", "Site", 4});
    EXPECT_EQ(group, user);
    EXPECT_EQ(GeneratorValue("GEN_USERS_ID", 1, transaction), user + 1);  // no row has it yet
    const std::int64_t account = run(
        "insert into paradox_accounts (user_id, code, card_number, status)   values (:user_id, :code, :card, 1) "
        "returning   id",
        {group, "1234", "1200345"});
    const std::int64_t card = run(
        "insert into access_cards (userid, card_code, card_number, access_mode, sync_id)   values (:user_id, :code, "
        ":card, 4, :sync_id) returning   id",
        {group, "1234", "1200345", 77});
    EXPECT_GT(account, 0);
    EXPECT_GT(card, 0);
    EXPECT_NE(run("insert into access_cards (userid) values (:u) returning id", {group}), card);
    transaction->Commit();
    EXPECT_EQ(Scalar("select fullname || '|' || deleted || valid || '|' || class from users").ToString(), "Site|01|GROUP");
}

TEST_F(DbSchema, GroupProceduresAddOrRefuseOnRequest) {
    Execute("insert into users (id, first_name, class) values (10, 'Company', 'GROUP')");
    Execute("insert into users (id, first_name, last_name) values (20, 'Eva', 'Berg')");
    Execute("insert into sys_objects (id, object_name, object_type) values (5, 'Door 1', 'DOOR')");
    Execute("insert into paradox_accounts (id, user_id, code, card_number) values (30, 20, '1234', '99')");
    Execute("insert into access_cards (id, userid, card_code, card_number) values (40, 20, '1234', '99')");

    struct TCase {
        const char* Procedure;
        const char* Statement;
        std::vector<TValue> Values;
        const char* Membership;  // counts the rows the addition made
        const char* Refusal;     // what a refusal row reads, columns joined by "|"
    };
    const TCase cases[] = {
        {"PR_USER_GROUP_ADD",
         "select   pr.out_component, pr.out_subject_id, pr.out_object_id, pr.out_sqlstate, so.object_name, "
         "so.object_type from   pr_user_group_add(:user_id, :group_id, :operator, 0, 1) pr   left join sys_objects so "
         "on pr.out_object_id = so.id",
         {std::int64_t{20}, std::int64_t{10}, -1},
         "select count(*) from user_groups where user_id = 20 and group_id = 10",
         "0|20|5|42000|Door 1|DOOR"},
        {"PR_PARADOX_USERGROUP_ADD",
         "select   u.first_name, pr.out_component, pr.out_account_id, pr.out_partition_id, pr.out_sqlstate, "
         "so.object_name, so.object_type from   pr_paradox_usergroup_add(:user_id, null, 0, null, 50) pr   left join "
         "users u on pr.out_group_id = u.id   left join sys_objects so on pr.out_partition_id = so.id",
         {std::int64_t{20}},
         "select count(*) from paradox_account_groups where account_id = 30",
         "Company|0|30|5|42000|Door 1|DOOR"},
        {"PR_ACCESS_USERGROUP_ADD",
         "select   u.first_name, pr.out_component, pr.out_card_id, pr.out_object_id, pr.out_sqlstate, so.object_name, "
         "so.object_type from   pr_access_usergroup_add(:in_user_id, null, 0, :card_id, null, 50) pr   left join "
         "users u on pr.out_group_id = u.id   left join sys_objects so on pr.out_group_id = so.id",
         {std::int64_t{20}, 40},
         "select count(*) from access_card_groups where card_id = 40",
         "Company|0|40|5|42000||"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Procedure);
        PTransaction transaction = NewWriteTransaction();
        PQuery add = PrepareQuery(c.Statement, transaction);
        add->ExecuteWith(c.Values);
        EXPECT_TRUE(add->Eof());
        transaction->Commit();
        EXPECT_EQ(Scalar(c.Membership).ToString(), "1");

        Execute("insert into test_refusals (procedure_name, user_id, group_id, object_id, refusal_state) "
                "values (:p, 20, 10, 5, '42000')",
                {c.Procedure});
        add->ExecuteWith(c.Values);
        ASSERT_FALSE(add->Eof());
        std::string row;
        for (std::size_t i = 0; i < add->FieldCount(); ++i) row += (i ? "|" : "") + add->FieldAt(i).AsString();
        EXPECT_EQ(row, c.Refusal);
        transaction->Rollback();
        EXPECT_EQ(Scalar(c.Membership).ToString(), "1");
    }
}

TEST_F(DbSchema, LogEventKeepsEveryInput) {
    PQuery event = PrepareWriteQuery(
        "EXECUTE PROCEDURE PR_LOG_EVENT(   :COMPONENT_ID,   :USER_ID,   :TARGET_USER_ID,   :LOG_TIME,   :PRIORITY,   "
        ":EVENT_CODE,   :OBJECT_ID,   :PARENT_OBJECT_ID,   :PARAM1,   :PARAM2,   :PARAM3,   :PARAM4,   :PARAM5,   "
        ":ALARMS)");
    event->ExecuteWith({0, -1, TValue(), TValue(), TValue(), 11, TValue(), TValue(), "Sync trouble (HRM)",
                        "Employee: 7; Msg: x", TValue(), TValue(), TValue(), 1});
    EXPECT_TRUE(event->Eof());
    CommitIfActive(event->Transaction());
    FreeQuery(event, true);
    EXPECT_EQ(Scalar("select component_id || '|' || user_id || '|' || coalesce(target_user_id, 'null') || '|' || "
                     "event_code || '|' || param1 || '|' || param2 || '|' || coalesce(param3, 'null') || '|' || alarms "
                     "from test_audit_events")
                  .ToString(),
              "0|-1|null|11|Sync trouble (HRM)|Employee: 7; Msg: x|null|1");
}

TEST_F(DbSchema, DepartmentsViewAndTemporaryTable) {
    Execute("insert into departments (name) values ('Sales (12)')");
    Execute("insert into users (last_name, department_id) values ('d', (select first 1 vd.id from vw_departments vd "
            "where vd.name containing :comp_id))",
            {"(12)"});
    EXPECT_EQ(Scalar("select d.name from users u join vw_departments d on d.id = u.department_id").ToString(),
              "Sales (12)");
    Execute("insert into sys_gtt (id) values (1)");
    EXPECT_EQ(Scalar("select count(*) from sys_gtt").ToString(), "0");
}
