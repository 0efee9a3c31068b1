// The statement layer against the real server: binding, rows, row counts, savepoints,
// texts, errors and the loss of the connection.
#include "db/FbQuery.h"

#include "db/DBUtils.h"
#include "tests/db/DbFixture.h"
#include "tests/support/FaultyClient.h"
#include "tests/support/TcpRelay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

using namespace keyrix;
using namespace keyrix::dbutils;
using keyrix::test::DbTest;

namespace {

const char* const InsertDepartmentSql = "insert into departments (name) values (:name)";

class DbStatements : public DbTest {
protected:
    PTransaction Write() { return NewWriteTransaction(); }
    PQuery Query(const PTransaction& transaction, const std::string& sql) {
        auto query = std::make_shared<TFbQuery>(transaction);
        query->SetSQL(sql);
        return query;
    }
    std::int64_t NewUser(const std::string& lastName, const std::string& employeeNumber = "") {
        auto transaction = Write();
        auto query = Query(transaction, "insert into users (last_name, employee_number) values (:last, :nr) returning id");
        query->ExecuteWith({lastName, employeeNumber});
        std::int64_t id = query->FieldByName("ID").AsInt64();
        transaction->Commit();
        return id;
    }
};

}  // namespace

TEST_F(DbStatements, RepeatedMarkerTakesOneValuePerOccurrence) {
    auto transaction = Write();
    auto query = Query(transaction,
                       "insert into sys_gtt (id)   select :id from rdb$database where not exists (select * from "
                       "sys_gtt where id = :id)");
    EXPECT_EQ(query->Markers(), (std::vector<std::string>{"id", "id"}));
    query->ExecuteWith({7, 7});
    query->ExecuteWith({7, 7});  // already there: the second copy is not inserted
    query->ExecuteWith({8, 8});
    auto count = Query(transaction, "select count(*), sum(id) from sys_gtt");
    count->ExecuteWith();
    EXPECT_EQ(count->FieldAt(0).AsInteger(), 2);
    EXPECT_EQ(count->FieldAt(1).AsInteger(), 15);
    // The temporary rows are not kept past the transaction.
    transaction->Commit();
    EXPECT_EQ(Scalar("select count(*) from sys_gtt").ToString(), "0");
}

TEST_F(DbStatements, ValueCountMustMatchTheMarkers) {
    auto query = Query(Write(), "select :a, :a from rdb$database");
    EXPECT_THROW(query->ExecuteWith({1}), EDatabaseError);
}

TEST_F(DbStatements, ColonInLiteralIdentifierOrCommentIsNoMarker) {
    auto query = Query(NewReadTransaction(),
                       "select ':x' as \"A:B\", /* :c */ cast(:d as varchar(5)) as d -- :e\n from rdb$database");
    EXPECT_EQ(query->Markers(), std::vector<std::string>{"d"});
    query->ExecuteWith({"dee"});
    EXPECT_EQ(query->FieldByName("A:B").AsString(), ":x");
    EXPECT_EQ(query->FieldByName("d").AsString(), "dee");
}

TEST_F(DbStatements, UpdateReturningThatMatchesNothingGivesOneNullRow) {
    auto query = Query(Write(), "update users set last_name = 'x' where id = :id returning id");
    query->ExecuteWith({-5});
    ASSERT_FALSE(query->Eof());
    EXPECT_EQ(query->FieldByName("ID").AsInteger(), 0);
    EXPECT_TRUE(query->FieldByName("ID").IsNull());
    query->NextRow();
    EXPECT_TRUE(query->Eof());
}

TEST_F(DbStatements, UnknownFieldNameRaisesAlsoWhenTheRowIsNull) {
    auto query = Query(Write(), "update users set last_name = 'x' where id = -1 returning id");
    query->ExecuteWith();
    EXPECT_THROW(query->FieldByName("NO_SUCH_COLUMN"), EDatabaseError);
    EXPECT_THROW(query->FieldAt(1), EDatabaseError);
    EXPECT_NO_THROW(query->FieldByName("id"));
}

TEST_F(DbStatements, RowsFollowEachOtherUntilEof) {
    for (const char* name : {"Ann", "Bob", "Cid"}) NewUser(name);
    auto query = Query(NewReadTransaction(), "select last_name from users where last_name starting with :p order by 1");
    query->ExecuteWith({""});
    std::vector<std::string> names;
    for (; !query->Eof(); query->NextRow()) names.push_back(query->FieldAt(0).AsString());
    EXPECT_EQ(names, (std::vector<std::string>{"Ann", "Bob", "Cid"}));
    EXPECT_EQ(query->RowCounts().Selected, 3);

    query->ExecuteWith({"Z"});
    EXPECT_TRUE(query->Eof());
    EXPECT_TRUE(query->FieldAt(0).IsNull());
}

TEST_F(DbStatements, RowCountsOfAnUpdate) {
    for (const char* name : {"Ann", "Bob", "Cid"}) NewUser(name, "E1");
    auto transaction = Write();
    auto update = Query(transaction, "update users set occupation = :o where employee_number = :nr");
    update->SetCached(true);
    update->ExecuteWith({"Driver", "E1"});
    TRowCounts counts = update->RowCounts();
    EXPECT_EQ(counts.Updated, 3);
    EXPECT_EQ(counts.Deleted, 0);
    EXPECT_EQ(counts.Inserted, 0);
    update->ExecuteWith({"Driver", "none"});
    EXPECT_EQ(update->RowCounts().Updated, 0);

    auto insert = Query(transaction, "insert into departments (name) values (:n)");
    insert->ExecuteWith({"Sales"});  // one-shot: counted before the handle goes
    EXPECT_FALSE(insert->Prepared());
    EXPECT_EQ(insert->RowCounts(), (TRowCounts{0, 0, 0, 1}));
    auto remove = Query(transaction, "delete from departments");
    remove->ExecuteWith();
    EXPECT_EQ(remove->RowCounts().Deleted, 1);
    transaction->Rollback();
}

TEST_F(DbStatements, SavepointRollbackUndoesOneStatement) {
    auto transaction = Write();
    auto insert = Query(transaction, "insert into departments (name) values (:name)");
    insert->ExecuteWith({"kept"});
    transaction->SetSavepoint("user_create_ok");
    insert->ExecuteWith({"undone"});
    transaction->RollbackToSavepoint("user_create_ok");
    transaction->Commit();
    EXPECT_EQ(Scalar("select list(name) from departments").ToString(), "kept");
}

TEST_F(DbStatements, NothingCommitsImplicitly) {
    {
        auto transaction = Write();
        auto insert = Query(transaction, "insert into departments (name) values ('gone')");
        insert->ExecuteWith();
        EXPECT_TRUE(transaction->IsActive());
    }  // freed while active: rolled back
    auto transaction = Write();
    EXPECT_FALSE(transaction->IsActive());
    Query(transaction, "insert into departments (name) values ('also gone')")->ExecuteWith();
    Db.CloseConnection();
    Db.OpenConnection();
    EXPECT_FALSE(transaction->IsActive());
    EXPECT_EQ(Scalar("select count(*) from departments").ToString(), "0");
}

TEST_F(DbStatements, Windows1252TextTravelsByteForByte) {
    const std::string name = "M\xfcller \x80\xe9";
    const std::int64_t id = NewUser(name);
    auto query = Query(NewReadTransaction(),
                       "select last_name, octet_length(last_name), char_length(last_name), upper(last_name) "
                       "from users where id = :id");
    query->ExecuteWith({id});
    EXPECT_EQ(query->FieldAt(0).AsString(), name);
    EXPECT_EQ(query->FieldAt(1).AsInteger(), 9);
    EXPECT_EQ(query->FieldAt(2).AsInteger(), 9);
    // The server takes the bytes as Windows-1252: it upper-cases the umlaut.
    EXPECT_EQ(query->FieldAt(3).AsString(), "M\xdcLLER \x80\xc9");
}

TEST_F(DbStatements, ValuesAreConvertedToTheColumnTypes) {
    struct TCase {
        TValue Value;
        const char* Sql;
        const char* Expected;
    };
    const TCase cases[] = {
        {TValue(std::int32_t{42}), "select cast(:v as smallint) from rdb$database", "42"},
        {TValue(std::int64_t{9000000000}), "select cast(:v as bigint) from rdb$database", "9000000000"},
        {TValue(std::int32_t{5}), "select cast(:v as numeric(9,2)) from rdb$database", "5.00"},
        {TValue("12"), "select cast(:v as integer) + 1 from rdb$database", "13"},
        {TValue(std::int32_t{-7}), "select cast(:v as varchar(10)) from rdb$database", "-7"},
        {TValue(TDateTime{2024, 2, 29, 13, 5, 9, 250}), "select cast(:v as timestamp) from rdb$database",
         "2024-02-29 13:05:09.250"},
        {TValue(TDateTime{2024, 2, 29, 13, 5, 9, 0}), "select cast(:v as date) from rdb$database", "2024-02-29"},
        {TValue(TDateTime{1858, 11, 17}), "select datediff(day from date '1858-11-17' to cast(:v as date)) from rdb$database", "0"},
        {TValue(""), "select char_length(cast(:v as varchar(5))) from rdb$database", "0"},
        {TValue(), "select coalesce(cast(:v as integer), -1) from rdb$database", "-1"},
    };
    auto transaction = NewReadTransaction();
    for (const TCase& c : cases) {
        auto query = Query(transaction, c.Sql);
        query->ExecuteWith({c.Value});
        EXPECT_EQ(query->FieldAt(0).AsString(), c.Expected) << c.Sql;
    }
}

TEST_F(DbStatements, ColumnsReadAsStringsAndIntegers) {
    struct TCase {
        const char* Expression;
        const char* Text;
        std::int64_t Number;  // AsInt64; the check is left out for -1000
    };
    const TCase cases[] = {
        {"cast(-12 as smallint)", "-12", -12},
        {"cast(2147483647 as integer)", "2147483647", 2147483647},
        {"cast(-9000000000 as bigint)", "-9000000000", -9000000000},
        {"cast(123.45 as numeric(9,2))", "123.45", 123},
        {"cast(-0.5 as numeric(9,2))", "-0.50", -1},
        {"cast(2.5 as double precision)", "2.5", 3},
        {"true", "TRUE", 1},
        {"cast('ab' as char(4))", "ab  ", -1000},
        {"cast(' 17' as varchar(5))", " 17", 17},
        {"date '2023-12-31'", "2023-12-31", -1000},
        {"time '23:59:58.5'", "23:59:58.500", -1000},
        {"timestamp '2000-01-01 00:00:00'", "2000-01-01 00:00:00", -1000},
        {"cast(null as integer)", "", 0},
    };
    auto transaction = NewReadTransaction();
    for (const TCase& c : cases) {
        auto query = Query(transaction, std::string("select ") + c.Expression + " from rdb$database");
        query->ExecuteWith();
        EXPECT_EQ(query->FieldAt(0).AsString(), c.Text) << c.Expression;
        if (c.Number != -1000) {
            EXPECT_EQ(query->FieldAt(0).AsInt64(), c.Number) << c.Expression;
        }
    }
    auto big = Query(transaction, "select cast(9000000000 as bigint), cast('x1' as varchar(5)), date '2020-01-01' from rdb$database");
    big->ExecuteWith();
    EXPECT_THROW(big->FieldAt(0).AsInteger(), EDatabaseError);
    EXPECT_THROW(big->FieldAt(1).AsInteger(), EDatabaseError);
    EXPECT_THROW(big->FieldAt(2).AsInteger(), EDatabaseError);
}

TEST_F(DbStatements, BlobTextIsReadWhole) {
    const std::string notes(20000, 'n');
    const std::int64_t id = NewUser("blob");
    Execute("update users set notes = :notes where id = :id", {notes, id});
    auto query = Query(NewReadTransaction(), "select notes from users where id = :id");
    query->ExecuteWith({id});
    EXPECT_EQ(query->FieldAt(0).AsString(), notes);
}

TEST_F(DbStatements, ErrorTextHasTheStatusLinesOnly) {
    auto query = Query(Write(), "select * from no_such_table");
    try {
        query->Prepare();
        FAIL() << "prepared";
    } catch (const EFirebirdError& error) {
        EXPECT_EQ(error.Message(),
                  "Dynamic SQL Error.\r\nSQL error code = -204.\r\nTable unknown.\r\nNO_SUCH_TABLE.\r\nAt line 1, "
                  "column 15.\r\n");
        EXPECT_EQ(error.ErrorCode(), isc_dsql_error);
        EXPECT_TRUE(error.HasCode(isc_dsql_relation_err));
        EXPECT_EQ(error.SQLCode(), -204);
        EXPECT_FALSE(error.ConnectionLost());
    }
}

// A value the server quotes in its message (the duplicate key) cannot start a line of its
// own in a log: its control characters are written visibly; the lines of the message stay.
TEST_F(DbStatements, ValuesInTheServersTextAreWrittenVisibly) {
    Execute("create table test_keys (k varchar(40) not null primary key)");
    const std::string forged = "a\r\nSync finished at 01/01/26 00:00:00";
    Execute("insert into test_keys (k) values (:k)", {forged});
    try {
        Execute("insert into test_keys (k) values (:k)", {forged});
        FAIL() << "a duplicate key was taken";
    } catch (const EFirebirdError& error) {
        EXPECT_TRUE(error.HasCode(isc_unique_key_violation)) << error.Message();
        EXPECT_NE(error.Message().find("a\\r\\nSync finished at 01/01/26 00:00:00"), std::string::npos) << error.Message();
        EXPECT_EQ(error.Message().find("\r\nSync finished"), std::string::npos) << error.Message();
        EXPECT_NE(error.Message().find(".\r\n"), std::string::npos) << "the message's own lines stay";
    }
}

// The line both imports draw between a record's error and the end of the import: what the
// server refused for reasons of the data, and what the client library found by itself.
TEST_F(DbStatements, ServerReportedErrorsAreTheRecordsOwn) {
    // Real errors of the server, each raised by a statement on a working attachment.
    const std::vector<std::pair<std::string, std::vector<TValue>>> refused = {
        {"insert into departments (id, name) values (1, 'a')", {}},           // the second time: primary key
        {"insert into users (id, class) values (2, null)", {}},               // not null
        {"insert into user_groups (user_id, group_id) values (77, 78)", {}},  // foreign key
        {"update departments set name = cast(:v as integer) where id = 1", {"x"}},  // conversion
    };
    Execute("insert into departments (id, name) values (1, 'a')");
    for (const auto& [sql, values] : refused) {
        auto query = Query(Write(), sql);
        try {
            query->ExecuteWith(values);
            ADD_FAILURE() << "accepted: " << sql;
        } catch (const EFirebirdError& error) {
            EXPECT_TRUE(error.ServerReported()) << sql << "\n" << error.Message();
        }
    }
    // The client library's own verdicts, as the status vector carries them.
    for (const ISC_STATUS code : {isc_network_error, isc_net_read_err, isc_net_write_err, isc_lost_db_connection,
                                  isc_att_shutdown, isc_bad_db_handle, isc_bad_trans_handle, isc_bad_stmt_handle,
                                  isc_dsql_sqlda_err, isc_dsql_wrong_param_num, isc_cancelled, isc_virmemexh}) {
        const EFirebirdError error("client", {isc_dsql_error, code}, -902);
        EXPECT_FALSE(error.ServerReported()) << code;
    }
    EXPECT_FALSE(EFirebirdError("no vector", {}, 0).ServerReported());
    EXPECT_TRUE(EFirebirdError("unique", {isc_unique_key_violation, isc_random}, -803).ServerReported());
}

TEST_F(DbStatements, TransactionParameterBlockKeepsTheListOrder) {
    EXPECT_EQ(NewReadTransaction()->ParameterBlock(),
              std::string({isc_tpb_version3, isc_tpb_read, isc_tpb_nowait, isc_tpb_rec_version, isc_tpb_read_committed}));
    EXPECT_EQ(NewWriteTransaction()->ParameterBlock(),
              std::string({isc_tpb_version3, isc_tpb_write, isc_tpb_nowait, isc_tpb_read_committed, isc_tpb_rec_version}));
    EXPECT_THROW(TFbTransaction(Db, {"write", "sometimes"}), EDatabaseError);
    // A read transaction refuses to write.
    auto read = NewReadTransaction();
    EXPECT_THROW(Query(read, "insert into departments (name) values ('x')")->ExecuteWith(), EFirebirdError);
}

namespace {

// A loopback port with a socket bound but not listening: connecting is refused.
class TDeadPort {
public:
    TDeadPort() {
        FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            FPort = ntohs(address.sin_port);
    }
    ~TDeadPort() { ::close(FSocket); }
    int Port() const { return FPort; }

private:
    int FSocket = -1;
    int FPort = 0;
};

}  // namespace

TEST_F(DbStatements, ConnectFailureTextsStartWithTheComponentPath) {
    TFbConnection wrong("dbDatabase", "DataModule1");
    Database().Configure(wrong);
    wrong.SetPassword("not the password");
    try {
        wrong.OpenConnection();
        FAIL() << "attached with a wrong password";
    } catch (const EFirebirdError& error) {
        EXPECT_EQ(error.Message(),
                  "DataModule1.dbDatabase:\r\nYour user name and password are not defined. Ask your database "
                  "administrator to set up a Firebird login.\r\n");
    }
    EXPECT_FALSE(wrong.IsConnected());

    TDeadPort dead;
    ASSERT_NE(dead.Port(), 0);
    TFbConnection down("dbDatabase", "DataModule1");
    Database().Configure(down);
    const std::string file = Database().Path().substr(Database().Path().find(':'));
    down.SetDatabaseName("127.0.0.1/" + std::to_string(dead.Port()) + file);
    try {
        down.OpenConnection();
        FAIL() << "attached to a port nothing listens on";
    } catch (const EFirebirdError& error) {
        EXPECT_EQ(error.Message().rfind("DataModule1.dbDatabase:\r\nUnable to complete network request to host "
                                        "\"127.0.0.1\".\r\n",
                                        0),
                  0u)
            << error.Message();
        EXPECT_TRUE(error.HasCode(isc_network_error));
    }
}

TEST_F(DbStatements, NetworkFailureRunsTheLostConnectionHandlerThenCloses) {
    const keyrix::test::TFbServer& server = keyrix::test::TFbServer::Get();
    keyrix::test::TTcpRelay relay("127.0.0.1", std::stoi(server.Port));
    ASSERT_NE(relay.Port(), 0);
    std::vector<std::string> events;
    TFbConnection remote("dbDatabase", "DataModule1");
    Database().Configure(remote);
    const std::string file = Database().Path().substr(Database().Path().find(':'));
    remote.SetDatabaseName("127.0.0.1/" + std::to_string(relay.Port()) + file);
    remote.AddDisconnectHandler([&](TFbConnection&) { events.push_back("before disconnect"); });
    remote.SetLostConnectHandler([&](TFbConnection& database, const EFirebirdError& error) {
        events.push_back(std::string("lost, connected ") + (database.IsConnected() ? "yes" : "no") + ", codes " +
                         (error.ConnectionLost() ? "lost" : "other"));
    });
    remote.OpenConnection();
    auto transaction = std::make_shared<TFbTransaction>(remote, WriteTransactionParams());
    auto insert = std::make_shared<TFbQuery>(transaction);
    insert->SetSQL(InsertDepartmentSql);
    insert->SetCached(true);
    insert->ExecuteWith({"never committed"});

    relay.CutAll();
    const auto start = std::chrono::steady_clock::now();
    try {
        insert->ExecuteWith({"after the cut"});
        FAIL() << "executed over a cut connection";
    } catch (const EFirebirdError& error) {
        EXPECT_TRUE(error.ConnectionLost()) << error.Message();
        EXPECT_FALSE(error.ServerReported());
        EXPECT_TRUE(error.HasCode(isc_network_error) || error.HasCode(isc_net_read_err) ||
                    error.HasCode(isc_net_write_err))
            << error.Message();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(events, (std::vector<std::string>{"lost, connected yes, codes lost", "before disconnect"}));
    EXPECT_FALSE(remote.IsConnected());
    EXPECT_FALSE(transaction->IsActive());
    EXPECT_FALSE(insert->Prepared());
    EXPECT_THROW(transaction->StartTransaction(), EDatabaseError);
    EXPECT_EQ(Scalar("select count(*) from departments").ToString(), "0");
}

// A select that yields one row at most by its text gets its row with the execution; no row
// is no row, not an error, and a second row is the server's error.
TEST_F(DbStatements, SingletonSelectAnswersWithTheExecution) {
    const std::int64_t user = NewUser("Singleton", "S-1");
    auto transaction = Write();
    auto query = Query(transaction, "select first 1 id from users where employee_number = :nr");
    query->SetCached(true);
    query->SetSingleton(true);
    query->ExecuteWith({std::string("S-1")});  // prepares
    test::TFaultyClient client(FindClientLibrary());
    client.Arm(0, test::TClientFault::ServerError, true);
    for (int round = 0; round < 2; ++round) {  // a kept statement answers again
        query->ExecuteWith({std::string("S-1")});
        ASSERT_FALSE(query->Eof());
        EXPECT_EQ(query->FieldAt(0).AsInt64(), user);
        query->NextRow();
        EXPECT_TRUE(query->Eof());
        query->ExecuteWith({std::string("no such number")});
        EXPECT_TRUE(query->Eof());
    }
    // One call each, nothing to fetch or close afterwards.
    EXPECT_EQ(client.Names(), std::vector<std::string>(4, "isc_dsql_execute2"));
    client.Disarm();
    auto both = Query(transaction, "select id from users where last_name = :name");
    NewUser("Singleton");
    both->SetSingleton(true);
    EXPECT_THROW(both->ExecuteWith({std::string("Singleton")}), EFirebirdError);
}
