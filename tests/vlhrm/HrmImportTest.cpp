// The sync pass and the HRM user import against the real database and a real HTTPS feed.
#include "Services/SyncClients/VLHRM/FeedReader.h"
#include "Services/SyncClients/VLHRM/HrmFeedRecords.h"
#include "Services/SyncClients/VLHRM/HttpClient.h"
#include "tests/support/TcpRelay.h"
#include "tests/vlhrm/PassFixture.h"
#include "tests/support/FaultyClient.h"
#include "tests/support/FaultyEnv.h"
#include "common/ScopeGuard.h"
#include "platform/Process.h"
#include "service/SvcConsole.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

using namespace keyrix;
using namespace keyrix::test;

namespace {

const char* const UsersSql =
    "select employee_number, first_name, last_name, usr_companyid, deleted, "
    "(select d.name from departments d where d.id = users.department_id) from users where class <> 'GROUP' "
    "order by employee_number";
const char* const GroupsSql =
    "select first_name, group_region, usr_companyid, sync_id from users where class = 'GROUP' order by id";
const char* const MembershipsSql =
    "select u.employee_number, g.first_name from user_groups ug join users u on u.id = ug.user_id "
    "join users g on g.id = ug.group_id order by u.employee_number, g.id";

}  // namespace

TEST_F(Pass, BothImportsOffCommitNothingAndRaiseNothing) {
    Setup.HrmImportEnabled = false;
    Journal.Entries.clear();
    Module->SyncPass();
    EXPECT_EQ(Journal.Finish(), (Lines{"console: HRM import disabled", "console: BK import disabled"}));
    ASSERT_TRUE(Module->PassTransaction);
    EXPECT_FALSE(Module->PassTransaction->IsActive()) << "never started";
    EXPECT_TRUE(Server.Requests().empty());
}

TEST_F(Pass, FailingDownloadRecordsAuditEvent26WithoutCrashReport) {
    Setup.HrmUrl = "https://127.0.0.1:1/feed";  // nothing listens
    Journal.Entries.clear();
    EXPECT_THROW(Module->SyncPass(), ESocketError);
    const Lines lines = Journal.Finish();
    for (const std::string& line : lines) EXPECT_EQ(line.find("Crash report"), std::string::npos) << line;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("console: HRM fetch error ESocketError: ", 0), 0u) << lines.back();
    const Rows audit = Query("select event_code, param1, param2 from test_audit_events");
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0][0], "26");
    EXPECT_EQ(audit[0][1], "HRM sync failed!");
    EXPECT_EQ(audit[0][2].rfind("ESocketError\r\n", 0), 0u) << audit[0][2];
}

TEST_F(Pass, DatabaseErrorGetsACrashReportButNoAuditEvent) {
    Module->HrmImport = [](TPassModule& m) {
        dbutils::PQuery q = dbutils::PrepareQuery("update users set first_name = 'x' where id = 1", m.PassTransaction);
        q->ExecuteWith();
        dbutils::FreeQuery(q, false);
        dbutils::PQuery bad = dbutils::PrepareQuery("select no_such_column from users", m.PassTransaction);
    };
    EXPECT_THROW(Module->SyncPass(), EDatabaseError);
    const Lines lines = Journal.Finish();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("eventlog error: Crash report: EFirebirdError\r\n", 0) == 0;
    }));
    EXPECT_TRUE(Query("select * from test_audit_events").empty());
}

TEST_F(Pass, OtherErrorGetsBothAndNothingIsCommitted) {
    Module->HrmImport = [](TPassModule& m) {
        dbutils::PQuery q = dbutils::PrepareQuery(
            "insert into users (first_name, employee_number) values ('Kept?', 'X1')", m.PassTransaction);
        q->ExecuteWith();
        dbutils::FreeQuery(q, false);
        throw EDisplayError("cannot open the card-holder file");
    };
    EXPECT_THROW(Module->SyncPass(), EDisplayError);
    const Lines lines = Journal.Finish();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("eventlog error: Crash report: EDisplayError\r\ncannot open the card-holder file\r\n"
                             "Raised at:\r\n",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(Query("select param2 from test_audit_events"),
              (Rows{{"EDisplayError\r\ncannot open the card-holder file"}}));
    Module->DisconnectDatabase();  // the shut-down rolls the open pass back
    EXPECT_TRUE(Query("select * from users where employee_number = 'X1'").empty());
}

TEST_F(Pass, NewUnchangedAndChangedEmployees) {
    std::vector<TEmployee> feed = {{"E1", "Ann", "Lee"},
                                   {"E2", "Bob", "Ray", 1, "Acme", "South", 20},
                                   {"E3", "Cid", "Orr", 0, "", "South", 20}};
    // An employee's savepoint is set before its first write: one that only reads sets none.
    TFaultyClient client(dbutils::FindClientLibrary());
    const auto savepoints = [&client] {
        const std::vector<std::string> names = client.Names();
        return std::count(names.begin(), names.end(), "isc_dsql_execute_immediate(savepoint user_create_ok)");
    };
    client.Arm(0, TClientFault::ServerError, true);
    Lines first = RunPass(feed);
    EXPECT_EQ(savepoints(), 3) << "three new employees";
    EXPECT_TRUE(Has(first, "console: Added records: 3")) << ::testing::PrintToString(first);
    EXPECT_TRUE(Has(first, "console: Processed records: 3"));
    EXPECT_EQ(Query(UsersSql), (Rows{{"E1", "Ann", "Lee", "1", "0", "Sales (1)"},
                                    {"E2", "Bob", "Ray", "1", "0", "Sales (1)"},
                                    {"E3", "Cid", "Orr", "NULL", "0", "Misc (default)"}}));
    // Created on demand: company group first, then the site group, each once.
    EXPECT_EQ(Query(GroupsSql), (Rows{{"Acme", "North", "1", "NULL"},
                                     {"North", "North", "NULL", "10"},
                                     {"South", "South", "NULL", "20"},
                                     {"", "South", "0", "NULL"}}));
    EXPECT_EQ(Query(MembershipsSql), (Rows{{"E1", "Acme"}, {"E1", "North"}, {"E2", "Acme"}, {"E2", "South"},
                                          {"E3", "South"}, {"E3", ""}}));

    client.Arm(0, TClientFault::ServerError, true);
    Lines second = RunPass(feed);
    EXPECT_EQ(savepoints(), 0) << "nothing changed";
    EXPECT_TRUE(Has(second, "console: Updated records: 0"));
    EXPECT_TRUE(Has(second, "console: Added records: 0"));
    EXPECT_EQ(Query(GroupsSql).size(), 4u) << "nothing created twice";

    feed[1].Last = "Rayner";
    client.Arm(0, TClientFault::ServerError, true);
    Lines third = RunPass(feed);
    EXPECT_EQ(savepoints(), 1) << "one employee changed";
    client.Disarm();
    EXPECT_TRUE(Has(third, "console: Updated records: 1"));
    EXPECT_EQ(Query("select last_name from users where employee_number = 'E2'"), (Rows{{"Rayner"}}));
}

TEST_F(Pass, RecordsThatCreateNoUser) {
    Feed = FeedOf({{"", "No", "Number"},
                   {"E5", "Old", "Timer", 1, "Acme", "North", 10, "2001-01-31T00:00:00"},
                   {"E6", "R2", "D2"},
                   {"E7", "Eve", "Ok", 1, "Acme", "North", 10, "2019-05-31"}});
    Feed.insert(Feed.find("</ArrayOfBrakonData>"), "  <BrakonData/>\n");
    Journal.Entries.clear();
    Module->SyncPass();
    const Lines lines = Journal.Finish();
    EXPECT_TRUE(Has(lines, "console: Processed records: 4")) << "the empty-element tag is no record";
    EXPECT_TRUE(Has(lines, "console: Added records: 1"));
    EXPECT_EQ(Query("select employee_number, usr_termination from users where class <> 'GROUP'"),
              (Rows{{"E7", "NULL"}})) << "a 10-character date is no date";
}

TEST_F(Pass, MalformedTerminationDateEndsTheImport) {
    Feed = FeedOf({{"E1", "Ann", "Lee"}, {"E2", "Bob", "Ray", 1, "Acme", "North", 10, "2019-13-01T00:00:00"}});
    EXPECT_THROW(Module->SyncPass(), EConvertError);
    Module->DisconnectDatabase();
    EXPECT_TRUE(Query(UsersSql).empty()) << "nothing committed";
    // The summary's counters tell what the pass attempted, as its change report does.
    const TRunSummary& s = Module->Summary;
    EXPECT_EQ(std::string(FiguresName(s)), "attempted");
    EXPECT_EQ(s.HrmProcessed, 2);
    EXPECT_EQ(s.HrmAdded, 1);
    EXPECT_EQ(s.Changes.Of(TChangeKind::UserAdded).Count, 1);
    EXPECT_GE(s.HrmImportMs, 0);
}

TEST_F(Pass, LeaversAndNamesWithDigitsAreMarkedDeletedAndLeaveTheirGroups) {
    RunPass({{"E1", "Ann", "Lee"}, {"E2", "Bob", "Ray"}, {"E3", "Cid", "Orr"}});
    Database.Isql("INSERT INTO USERS (FIRST_NAME, LAST_NAME, EMPLOYEE_NUMBER, USR_HRM_SYNC) "
                  "VALUES ('Man', 'Ual9', 'M1', 0);\nCOMMIT;\n");
    const Lines lines =
        RunPass({{"E1", "Ann3", "Lee"}, {"E2", "Bob", "Ray", 1, "Acme", "North", 10, "2001-01-31T00:00:00"},
                 {"E3", "Cid", "Orr"}});
    EXPECT_TRUE(Has(lines, "console: Updated records: 2"));
    EXPECT_TRUE(Has(lines, "console: Deleted records: 2"));
    EXPECT_EQ(Query("select employee_number, deleted from users where class <> 'GROUP' order by employee_number"),
              (Rows{{"E1", "1"}, {"E2", "1"}, {"E3", "0"}, {"M1", "0"}}))
        << "users the import does not manage are never changed";
    EXPECT_EQ(Query(MembershipsSql), (Rows{{"E3", "Acme"}, {"E3", "North"}}));
}

TEST_F(Pass, TwoUsersWithOneEmployeeNumberAreBothVisited) {
    RunPass({{"E1", "Ann", "Lee"}});
    Database.Isql("INSERT INTO USERS (FIRST_NAME, LAST_NAME, EMPLOYEE_NUMBER, USR_HRM_SYNC) "
                  "VALUES ('Manual', 'Copy', 'E1', 0);\nCOMMIT;\n");
    const Lines lines = RunPass({{"E1", "Ann", "Lee"}});
    EXPECT_TRUE(Has(lines, "console: Updated records: 1")) << "counted although left alone";
    EXPECT_EQ(Query("select first_name from users where employee_number = 'E1' order by id"),
              (Rows{{"Ann"}, {"Manual"}}));
    EXPECT_EQ(Query(MembershipsSql).size(), 4u) << "both are grouped";
}

TEST_F(Pass, ServerErrorForOneEmployeeIsRolledBackForItAlone) {
    Database.Isql("CREATE UNIQUE INDEX TEST_UNIQUE_EMAIL ON USERS (EMAIL);\nCOMMIT;\n");
    TEmployee a{"E1", "Ann", "Lee"}, b{"E2", "Bob", "Ray"}, c{"E3", "Cid", "Orr"};
    a.Email = b.Email = "same@example.com";
    const Lines lines = RunPass({a, b, c});
    EXPECT_TRUE(Has(lines, "console: Added records: 2"));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("console: HRM sync error for employee E2: ", 0) == 0;
    }));
    EXPECT_EQ(Query("select employee_number from users where class <> 'GROUP' order by 1"), (Rows{{"E1"}, {"E3"}}));
    const Rows audit = Query("select event_code, param1, param2 from test_audit_events");
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0][0], "11");
    EXPECT_EQ(audit[0][1], "Sync trouble (HRM)");
    EXPECT_EQ(audit[0][2].rfind("Employee: E2; Msg: ", 0), 0u) << audit[0][2];
}

// An employee that fails while it only reads has set no savepoint: its error is handled as
// any employee's, and nothing is rolled back, least of all the employee before it, whose
// savepoint is the last one set.
TEST_F(Pass, ServerErrorBeforeAnEmployeesFirstWriteUndoesNothing) {
    std::vector<TEmployee> feed = {{"E1", "Ann", "Lee"}, {"E2", "Bob", "Ray"}, {"E3", "Cid", "Orr"}};
    RunPass(feed);
    const std::string e2 = Query("select id from users where employee_number = 'E2'").at(0).at(0);
    // Reading E2's memberships divides by zero: the group check of an unchanged E2 fails.
    const std::string alter =
        Database.Isql("ALTER TABLE USER_GROUPS ADD TEST_FAIL COMPUTED BY (1 / (USER_ID - " + e2 + "));\nCOMMIT;\n");
    ASSERT_EQ(alter.find("failed"), std::string::npos) << alter;
    feed[0].Last = "Leeds";  // E1 writes, and sets its savepoint
    const Lines lines = RunPass(feed);
    EXPECT_TRUE(Has(lines, "console: Updated records: 1")) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("console: HRM sync error for employee E2: ", 0) == 0; }),
              1)
        << ::testing::PrintToString(lines);
    EXPECT_EQ(Query("select last_name from users where employee_number = 'E1'"), (Rows{{"Leeds"}}))
        << "E1's update stays";
    const Rows audit = Query("select event_code, param2 from test_audit_events");
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0][0], "11");
    EXPECT_EQ(audit[0][1].rfind("Employee: E2; Msg: ", 0), 0u) << audit[0][1];
}

TEST_F(Pass, GroupsMadeForARolledBackEmployeeAreNotOfferedAgain) {
    // The membership of E1 fails on the server after its groups were created.
    Database.Isql(
        "CREATE EXCEPTION TEST_NO_MEMBERSHIP 'membership refused by the server';\n"
        "SET TERM ^ ;\n"
        "CREATE TRIGGER TEST_FAIL_E1 FOR USER_GROUPS BEFORE INSERT AS BEGIN "
        "IF ((SELECT EMPLOYEE_NUMBER FROM USERS WHERE ID = NEW.USER_ID) = 'E1') THEN EXCEPTION TEST_NO_MEMBERSHIP; "
        "END^\nSET TERM ; ^\nCOMMIT;\n");
    const Lines lines = RunPass({{"E1", "Ann", "Lee", 7, "Beta", "East", 70}, {"E2", "Bob", "Ray", 7, "Beta", "East", 70}});
    EXPECT_TRUE(Has(lines, "console: Added records: 1")) << ::testing::PrintToString(lines);
    EXPECT_EQ(Query(GroupsSql), (Rows{{"Beta", "East", "7", "NULL"}, {"East", "East", "NULL", "70"}}));
    EXPECT_EQ(Query(MembershipsSql), (Rows{{"E2", "Beta"}, {"E2", "East"}}));
    EXPECT_EQ(Query("select count(*) from test_audit_events").at(0).at(0), "1");
}

// A changed employee whose group step the server refuses is rolled back whole: its update
// goes with it, and neither the counters nor the change report count it.
TEST_F(Pass, RolledBackChangedEmployeeCountsNowhere) {
    RunPass({{"E1", "Ann", "Lee"}, {"E2", "Bob", "Ray"}, {"E3", "Cid", "Orr"}});
    // E2 moves to a new site; joining its group fails on the server after E2 was updated.
    const std::string trigger = Database.Isql(
        "CREATE EXCEPTION TEST_NO_MEMBERSHIP 'membership refused by the server';\n"
        "SET TERM ^ ;\n"
        "CREATE TRIGGER TEST_FAIL_E2 FOR USER_GROUPS BEFORE INSERT AS BEGIN "
        "IF ((SELECT EMPLOYEE_NUMBER FROM USERS WHERE ID = NEW.USER_ID) = 'E2') THEN EXCEPTION TEST_NO_MEMBERSHIP; "
        "END^\nSET TERM ; ^\nCOMMIT;\n");
    ASSERT_EQ(trigger.find("failed"), std::string::npos) << trigger;
    Module->Summary = TRunSummary();
    const Lines lines =
        RunPass({{"E1", "Ann", "Leeds"}, {"E2", "Bob", "Rayner", 1, "Acme", "South", 20}, {"E3", "Cid", "Orrin"}});
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("console: HRM sync error for employee E2: ", 0) == 0; }),
              1)
        << ::testing::PrintToString(lines);
    EXPECT_TRUE(Has(lines, "console: Updated records: 2")) << ::testing::PrintToString(lines);
    const TRunSummary& s = Module->Summary;
    EXPECT_EQ(s.HrmProcessed, 3);
    EXPECT_EQ(s.HrmUpdated, 2);
    EXPECT_EQ(s.HrmAdded, 0);
    EXPECT_EQ(s.Changes.Of(TChangeKind::UserUpdated).Count, 2);
    EXPECT_EQ(s.Changes.Of(TChangeKind::UserUpdated).First, (std::vector<std::string>{"E1", "E3"}));
    EXPECT_EQ(Query("select employee_number, last_name from users where class <> 'GROUP' order by 1"),
              (Rows{{"E1", "Leeds"}, {"E2", "Ray"}, {"E3", "Orrin"}}));
    EXPECT_EQ(Query(GroupsSql), (Rows{{"Acme", "North", "1", "NULL"}, {"North", "North", "NULL", "10"}}))
        << "the site group made for E2 went with it";
    EXPECT_EQ(Query(MembershipsSql), (Rows{{"E1", "Acme"}, {"E1", "North"}, {"E2", "Acme"}, {"E2", "North"},
                                          {"E3", "Acme"}, {"E3", "North"}}));
    const Rows audit = Query("select event_code, param2 from test_audit_events");
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0][0], "11");
    EXPECT_EQ(audit[0][1].rfind("Employee: E2; Msg: ", 0), 0u) << audit[0][1];
}

TEST_F(Pass, RefusedMembershipEndsThePassWithNothingCommitted) {
    Database.Isql("INSERT INTO SYS_OBJECTS (ID, OBJECT_NAME, OBJECT_TYPE) VALUES (5, 'Door 1', 1);\n"
                  "INSERT INTO TEST_REFUSALS (PROCEDURE_NAME, OBJECT_ID) VALUES ('PR_USER_GROUP_ADD', 5);\nCOMMIT;\n");
    Feed = FeedOf({{"E1", "Ann", "Lee"}});
    try {
        Module->SyncPass();
        FAIL() << "the refusal did not end the pass";
    } catch (const EGroupAddError& e) {
        EXPECT_EQ(e.Message(), "Failed to add group \"North\"; Object \"Door 1\"; Error \"HY000\"")
            << "the site group is offered first";
    }
    Module->DisconnectDatabase();
    EXPECT_TRUE(Query(UsersSql).empty());
    EXPECT_EQ(Query("select event_code from test_audit_events"), (Rows{{"26"}}));
}

// The group's name comes from the feed: a control character in it is written visibly in the
// refusal, which the run writes to its logs.
TEST_F(Pass, RefusalNamesTheGroupWithItsControlCharactersVisible) {
    Database.Isql("INSERT INTO SYS_OBJECTS (ID, OBJECT_NAME, OBJECT_TYPE) VALUES (5, 'Door 1', 1);\n"
                  "INSERT INTO TEST_REFUSALS (PROCEDURE_NAME, OBJECT_ID) VALUES ('PR_USER_GROUP_ADD', 5);\nCOMMIT;\n");
    Feed = FeedOf({{"E1", "Ann", "Lee", 1, "Acme", "North&#13;&#10;Sync"}});
    try {
        Module->SyncPass();
        FAIL() << "the refusal did not end the pass";
    } catch (const EGroupAddError& e) {
        EXPECT_EQ(e.Message(), "Failed to add group \"North\\r\\nSync\"; Object \"Door 1\"; Error \"HY000\"");
    }
}

TEST_F(Pass, GroupLookupRunsOncePerChangeOfCompanyOrSite) {
    RunPass({{"E1", "Ann", "Lee", 1, "Acme", "North", 10},
             {"E2", "Bob", "Ray", 1, "Acme", "North", 10},
             {"E3", "Cid", "Orr", 1, "Acme", "South", 20},
             {"E4", "Dan", "Poe", 1, "Acme", "South", 20}});
    auto cached = [](std::int32_t& handle) { return dbutils::CachedQuery(handle, "", "Sync")->Executions(); };
    EXPECT_EQ(cached(Module->GroupLookupHandle), 2u) << "first employee, then the change of site";
    EXPECT_EQ(cached(Module->GroupMemberHandle), 8u);
    EXPECT_EQ(cached(Module->GroupAddHandle), 8u);
    // Users already in both groups are not offered again.
    RunPass({{"E1", "Ann", "Lee", 1, "Acme", "North", 10}});
    EXPECT_EQ(Module->GroupAddHandle, 0) << "the add statement was not even needed";
    EXPECT_EQ(cached(Module->GroupMemberHandle), 2u);
}

namespace {

// The feed of the employees with a DTD of its own in front of the records.
std::string FeedWithDtd(const std::vector<TEmployee>& employees, const std::string& declarations) {
    std::string feed = FeedOf(employees);
    feed.insert(feed.find("<ArrayOfBrakonData>"), "<!DOCTYPE ArrayOfBrakonData [" + declarations + "]>\n");
    return feed;
}

}  // namespace

TEST_F(Pass, EntitiesOfTheFeedsOwnDtdAreTheFieldsText) {
    const std::vector<TEmployee> employees = {{"E1", "&n;", "&l;"}, {"E2", "Bob", "Ray"}};
    const std::string declarations = "<!ENTITY n \"Anna\"><!ENTITY l \"Lee &amp; &n;\">";
    Feed = FeedWithDtd(employees, declarations);
    dbutils::FreeQueries("Sync");
    Journal.Entries.clear();
    Module->SyncPass();
    const Lines first = Journal.Finish();
    EXPECT_TRUE(Has(first, "console: Added records: 2")) << ::testing::PrintToString(first);
    EXPECT_EQ(Query("select employee_number, first_name, last_name from users where class <> 'GROUP' order by 1"),
              (Rows{{"E1", "Anna", "Lee & Anna"}, {"E2", "Bob", "Ray"}}));
    // The stored text is the expanded text: the next pass finds nothing to change.
    Feed = FeedWithDtd(employees, declarations);
    dbutils::FreeQueries("Sync");
    Journal.Entries.clear();
    Module->SyncPass();
    EXPECT_TRUE(Has(Journal.Finish(), "console: Updated records: 0"));
}

TEST_F(Pass, ParserLimitOrUnreadEntityEndsThePassWithNothingCommitted) {
    const std::string marker = Dir.File("marker.txt");
    WriteFile(marker, "MARKER-7731");
    std::string laughs = "<!ENTITY e0 \"laugh\">";
    for (int i = 1; i <= 12; ++i) {
        laughs += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&e" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    struct Case {
        const char* what;
        std::string declarations;  // of the feed's DTD
        std::string firstName;     // of the second employee
        std::string error;         // part of the message
    };
    const Case cases[] = {
        {"text node over 10,000,000 characters", "", std::string(10'000'001, 'x'), "limit on text node size"},
        {"entity amplification", laughs, "&e12;", "limit on entity expansion"},
        {"external entity naming a local file", "<!ENTITY m SYSTEM \"file://" + marker + "\">", "&m;",
         "an external entity (\"file://" + marker + "\") is never read"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Feed = FeedWithDtd({{"E1", "Ann", "Lee"}, {"E2", c.firstName, "Ray"}, {"E3", "Cid", "Orr"}}, c.declarations);
        dbutils::FreeQueries("Sync");
        Journal.Entries.clear();
        TErrorInfo raised;
        try {
            Module->SyncPass();
        } catch (const std::exception& e) {
            raised = DescribeException(e);
        }
        const Lines lines = Journal.Finish();
        EXPECT_EQ(raised.ClassName, "EXmlReadError") << raised.Message;
        EXPECT_EQ(raised.Message.rfind("Cannot read \"" + Setup.HrmUrl + "\" in full: ", 0), 0u) << raised.Message;
        EXPECT_NE(raised.Message.find(c.error), std::string::npos) << raised.Message;
        EXPECT_FALSE(Has(lines, "console: Processed records: 1")) << "the import ended before its closing statements";
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("eventlog error: Crash report: EXmlReadError\r\nCannot read ", 0) == 0;
        })) << ::testing::PrintToString(lines);
        // The shut-down rolls the pass back: E1, read before the fault, is not there either.
        Module->DisconnectDatabase();
        EXPECT_EQ(Query("select count(*) from users where class <> 'GROUP'"), (Rows{{"0"}}));
        EXPECT_EQ(Query("select count(*) from users where first_name containing 'MARKER'"), (Rows{{"0"}}));
        Module->ConnectDatabase();
    }
    const Rows audit = Query("select event_code, param2 from test_audit_events order by 1");
    ASSERT_EQ(audit.size(), std::size(cases));
    for (const std::vector<std::string>& row : audit) {
        EXPECT_EQ(row[0], "26");
        EXPECT_EQ(row[1].rfind("EXmlReadError\r\nCannot read ", 0), 0u) << row[1];
        EXPECT_EQ(row[1].find("MARKER"), std::string::npos);
    }
}

// The database path freezes while the feed is served: the import's first database call then
// waits on a socket that never answers, until the call time-out aborts the connection. The
// run reports the time-out and ends; nothing of the pass is committed.
TEST_F(Pass, StalledDatabaseEndsTheRunAtTheCallTimeOut) {
    TTcpRelay relay("127.0.0.1", std::stoi(TFbServer::Get().Port));
    Module->DisconnectDatabase();
    Setup.DatabasePort = relay.Port();
    Setup.DatabaseCallTimeoutSeconds = 2;
    Setup.LogToFile = true;
    Feed = FeedOf({{"E1", "Anna", "Berg"}, {"E2", "Bo", "Ek"}});
    BeforeFeed = [&relay] { relay.Pause(std::chrono::seconds(20)); };
    Journal.Entries.clear();
    const auto start = std::chrono::steady_clock::now();
    Module->RunService();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(20));
    EXPECT_GE(took, std::chrono::milliseconds(1900));

    const Lines lines = Journal.Finish();
    const std::string expected =
        "eventlog error: Critical error on service work:\r\nEFirebirdError\r\n"
        "Database call did not return within 2 seconds (\"Database\" / \"Call time-out seconds\"); the connection "
        "to 127.0.0.1/" + std::to_string(relay.Port()) + ":" + Database.Path().substr(Database.Path().find(':') + 1) +
        " was aborted.\r\n";
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(expected, 0) == 0; }))
        << testing::PrintToString(lines);
    EXPECT_TRUE(Has(lines, "file: Sync finished at <time>")) << testing::PrintToString(lines);
    EXPECT_TRUE(Query(UsersSql).empty());
    EXPECT_EQ(Server.Requests().size(), 1u);
}

// A debug run keeps the feed beside the executable, the owner's alone, as it names people. A
// step of its replacement that fails ends the pass naming the file and the error, keeps the
// copy from before whole and leaves no temporary file.
TEST_F(Pass, DebugRunKeepsACopyOfTheFeedForTheOwnerAlone) {
    const std::string folder = platform::ExecutableDirectory();
    const std::string copy = folder + "GetBrakonData.xml";
    const auto temporaries = [&folder] {
        Lines names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path().filename().string().starts_with("GetBrakonData.xml.")) names.push_back(entry.path());
        return names;
    };
    DebugMode = true;
    const TScopeGuard normal([] { DebugMode = false; });
    RunPass({{"E1", "Ann", "Lee"}});
    EXPECT_EQ(ReadFile(copy), Feed);
    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(temporaries(), Lines{});

    const std::string kept = Feed;
    struct Case {
        const char* step;
        TFault fault;
    };
    const Case cases[] = {
        {"create", FailAt(1, EACCES, Kind(TEnvOp::MakeTemporary))},
        {"write", FailAt(1, ENOSPC, WriteKinds)},
        {"flush", FailAt(1, EIO, Kind(TEnvOp::Sync))},
        {"close", FailAt(1, EIO, Kind(TEnvOp::Close))},
        {"rename", FailAt(1, EIO, Kind(TEnvOp::Rename))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        TFault fault = c.fault;
        fault.PathPart = copy;
        TFaultyEnv faulty(platform::Env());
        platform::TScopedEnv scoped(faulty);
        faulty.Arm(fault);
        try {
            RunPass({{"E2", "Bo", "Ek"}});
            ADD_FAILURE() << "the pass went on";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message().rfind("Cannot create file \"" + copy, 0), 0u) << e.Message();
            EXPECT_TRUE(e.Message().ends_with("\". " + SysErrorMessage(fault.Error))) << e.Message();
        }
        EXPECT_TRUE(faulty.Fired());
        EXPECT_EQ(ReadFile(copy), kept);
        EXPECT_EQ(temporaries(), Lines{});
    }
}
