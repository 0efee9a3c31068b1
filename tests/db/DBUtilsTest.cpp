// The session helpers: transactions, one-shot and cached statements, the cache's handles
// and owners, generators, the loss of the connection and the client library lookup.
#include "db/DBUtils.h"

#include "tests/db/DbFixture.h"
#include "tests/support/FaultyClient.h"
#include "tests/setup/HiveFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace keyrix;
using namespace keyrix::dbutils;
using keyrix::test::DbTest;

namespace {

// The handle variables live as long as the cache records that point at them, as the
// data module's do.
class DbSession : public DbTest {
protected:
    std::int32_t Handle1 = 0, Handle2 = 0, Handle3 = 0, Handle4 = 0;
};

const char* const CountDepartments = "select count(*) from departments";
const char* const InsertDepartment = "insert into departments (name) values (:name)";

}  // namespace

TEST_F(DbSession, CachedStatementsGetHandlesOneTwoThreeUntilFreed) {
    std::int32_t &a = Handle1, &b = Handle2, &c = Handle3;
    auto first = CachedQuery(a, "select 1 from rdb$database", "");
    CachedQuery(b, "select 2 from rdb$database", "");
    CachedQuery(c, "select 3 from rdb$database", "");
    EXPECT_EQ(std::vector<std::int32_t>({a, b, c}), std::vector<std::int32_t>({1, 2, 3}));
    EXPECT_EQ(CachedQuery(a, "ignored, the handle names a statement", ""), first);
    EXPECT_TRUE(first->Cached());

    FreeQueries("");
    EXPECT_EQ(std::vector<std::int32_t>({a, b, c}), std::vector<std::int32_t>({0, 0, 0}));
    EXPECT_TRUE(first->IsFreed());
    auto again = CachedQuery(b, "select 2 from rdb$database", "");
    EXPECT_EQ(b, 1);
    again->ExecuteWith();
    EXPECT_EQ(again->FieldAt(0).AsInteger(), 2);
}

TEST_F(DbSession, FreeQueriesOfAnOwnerKeepsTheOthersTheListAndTheHandler) {
    std::int32_t &sync1 = Handle1, &audit = Handle2, &sync2 = Handle3, &later = Handle4;
    CachedQuery(sync1, "select 1 from rdb$database", "Sync");
    auto kept = CachedQuery(audit, "select 2 from rdb$database", "");
    CachedQuery(sync2, "select 3 from rdb$database", "Sync");

    FreeQueries("Sync");
    EXPECT_EQ(sync1, 0);
    EXPECT_EQ(sync2, 0);
    EXPECT_EQ(audit, 2);
    EXPECT_EQ(CachedQuery(audit, "select 2 from rdb$database", ""), kept);
    EXPECT_FALSE(kept->IsFreed());
    CachedQuery(later, "select 4 from rdb$database", "Sync");
    EXPECT_EQ(later, 4);  // the list stays and grows

    // The handler is still registered: closing frees the rest.
    Db.CloseConnection();
    EXPECT_EQ(audit, 0);
    EXPECT_EQ(later, 0);
    EXPECT_TRUE(kept->IsFreed());
}

TEST_F(DbSession, CachedStatementKeepsTheTransactionItWasMadeWith) {
    std::int32_t& handle = Handle1;
    PTransaction first = NewWriteTransaction(), second = NewWriteTransaction();
    auto query = CachedQuery(handle, InsertDepartment, "Sync", first);
    EXPECT_EQ(CachedQuery(handle, InsertDepartment, "Sync", second)->Transaction(), first);
    query->ExecuteWith({"in first"});
    EXPECT_TRUE(first->IsActive());
    EXPECT_FALSE(second->IsActive());
    first->Commit();
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "1");
}

TEST_F(DbSession, CachedWriteQueryOwnsAWriteTransactionCommittedPerUse) {
    std::int32_t& handle = Handle1;
    auto query = CachedWriteQuery(handle, InsertDepartment, "");
    const PTransaction transaction = query->Transaction();
    ASSERT_TRUE(transaction);
    EXPECT_EQ(transaction->Params(), WriteTransactionParams());
    for (const char* name : {"one", "two"}) {
        auto same = CachedWriteQuery(handle, InsertDepartment, "");
        EXPECT_EQ(same, query);
        EXPECT_EQ(same->Transaction(), transaction);
        same->ExecuteWith({name});
        CommitIfActive(same->Transaction());
        EXPECT_FALSE(transaction->IsActive());
    }
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "2");
    CommitIfActive(nullptr);  // nothing to commit
}

TEST_F(DbSession, PreparationFailureLeavesNothingBehind) {
    std::int32_t& handle = Handle1;
    EXPECT_THROW(CachedWriteQuery(handle, "insert into no_such_table values (1)", ""), EFirebirdError);
    EXPECT_EQ(handle, 0);
    CachedQuery(handle, "select 1 from rdb$database", "");
    EXPECT_EQ(handle, 1);  // the failure recorded nothing
    EXPECT_THROW(PrepareQuery("select from"), EFirebirdError);
    EXPECT_THROW(PrepareWriteQuery("select from"), EFirebirdError);
}

TEST_F(DbSession, SharedTransactionIsRolledBackOnceAndItsStatementsFreedAlone) {
    std::int32_t &insert = Handle1, &count = Handle2;
    PTransaction pass = NewWriteTransaction();
    CachedWriteQuery(insert, InsertDepartment, "Sync", pass)->ExecuteWith({"uncommitted"});
    auto counter = CachedQuery(count, CountDepartments, "Sync", pass);
    counter->ExecuteWith();
    EXPECT_EQ(counter->FieldAt(0).AsInteger(), 1);

    FreeQueries("");
    EXPECT_EQ(insert, 0);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(pass->IsFreed());
    EXPECT_FALSE(pass->IsActive());
    EXPECT_FALSE(counter->Transaction());
    CommitIfActive(pass);  // freed: nothing to commit
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "0");
}

TEST_F(DbSession, FreeQueryRollsBackItsTransactionOnlyWhenAsked) {
    PTransaction given = NewWriteTransaction();
    PQuery keep = PrepareQuery(InsertDepartment, given);
    EXPECT_FALSE(keep->Cached());
    keep->ExecuteWith({"kept"});
    FreeQuery(keep, false);
    EXPECT_FALSE(keep);
    EXPECT_TRUE(given->IsActive());

    PQuery drop = NewQuery(given);
    drop->SetSQL(InsertDepartment);
    drop->ExecuteWith({"dropped with the transaction"});
    FreeQuery(drop, true);
    EXPECT_TRUE(given->IsFreed());
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "0");

    PQuery own = PrepareWriteQuery(InsertDepartment);
    own->ExecuteWith({"committed"});
    CommitIfActive(own->Transaction());
    FreeQuery(own, true);
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "1");
}

TEST_F(DbSession, OneShotStatementReleasesItsHandleAfterEachExecution) {
    PQuery query = NewQuery(NewWriteTransaction());
    query->SetSQL(InsertDepartment);
    query->Prepare();
    EXPECT_TRUE(query->Prepared());
    query->ExecuteWith({"a"});
    EXPECT_FALSE(query->Prepared());
    query->SetSQL("select count(*) from departments where name = :name");
    query->ExecuteWith({"a"});  // prepared again for the execution
    EXPECT_FALSE(query->Prepared());
    EXPECT_EQ(query->FieldByName("COUNT").AsInteger(), 1);
    EXPECT_EQ(NewQuery()->Transaction()->Params(), ReadTransactionParams());
}

TEST_F(DbSession, GeneratorValueStepsTheGenerator) {
    const std::int64_t first = GeneratorValue("GEN_USERS_ID", 1);
    EXPECT_EQ(GeneratorValue("GEN_USERS_ID", 1), first + 1);
    EXPECT_EQ(GeneratorValue("GEN_USERS_ID", 5), first + 6);

    PTransaction pass = NewWriteTransaction();
    const std::int64_t id = GeneratorValue("GEN_USERS_ID", 1, pass);
    EXPECT_FALSE(pass->IsFreed());
    PQuery insert = PrepareQuery("insert into users (id, last_name) values (:id, 'x') returning id", pass);
    insert->ExecuteWith({id});
    EXPECT_EQ(insert->FieldAt(0).AsInt64(), id);
    pass->Commit();
    EXPECT_THROW(GeneratorValue("NO_SUCH_GENERATOR", 1), EFirebirdError);
}

// Drawn once per new record: prepared at the first draw only, one call per draw after it,
// the same numbers as the one-shot draw, and freed with its owner's other statements.
TEST_F(DbSession, CachedGeneratorValueIsPreparedOnce) {
    PTransaction pass = NewWriteTransaction();
    std::int32_t handle = 0;
    const std::int64_t first = CachedGeneratorValue(handle, "GEN_USERS_ID", 1, "Sync", pass);
    EXPECT_NE(handle, 0);
    test::TFaultyClient client(FindClientLibrary());
    client.Arm(0, test::TClientFault::ServerError, true);
    EXPECT_EQ(CachedGeneratorValue(handle, "GEN_USERS_ID", 1, "Sync", pass), first + 1);
    EXPECT_EQ(CachedGeneratorValue(handle, "GEN_USERS_ID", 1, "Sync", pass), first + 2);
    EXPECT_EQ(client.Names(), std::vector<std::string>(2, "isc_dsql_execute2"));
    client.Disarm();
    EXPECT_EQ(GeneratorValue("GEN_USERS_ID", 1, pass), first + 3);
    FreeQueries("Sync");
    EXPECT_EQ(handle, 0);
    EXPECT_TRUE(pass->IsFreed());
}

TEST_F(DbSession, NoDefaultDatabaseIsABug) {
    SetDefaultDatabase(nullptr);
    try {
        NewReadTransaction();
        FAIL() << "made a transaction without a database";
    } catch (const EBugCheckError& error) {
        EXPECT_EQ(error.Message(), "BUGCHECK: NewTransaction: DefaultDatabase not assigned!");
    }
    EXPECT_THROW(NewWriteTransaction(), EBugCheckError);
    EXPECT_TRUE(NewReadTransaction(&Db));
}

TEST_F(DbSession, KilledConnectionFreesTheCacheClosesAndFailsWithoutCommitting) {
    std::int32_t &insert = Handle1, &count = Handle2, &audit = Handle3;
    std::vector<std::string> handled;
    Db.SetLostConnectHandler([&](TFbConnection& database, const EFirebirdError& error) {
        handled.push_back(database.Name() + ": " + (error.ConnectionLost() ? "lost" : "not lost"));
        FreeQueries("");  // what the data module does
    });
    PTransaction pass = NewWriteTransaction();
    CachedWriteQuery(insert, InsertDepartment, "Sync", pass)->ExecuteWith({"uncommitted"});
    CachedQuery(count, CountDepartments, "Sync", pass);
    CachedWriteQuery(audit, InsertDepartment, "");
    ASSERT_EQ(std::vector<std::int32_t>({insert, count, audit}), std::vector<std::int32_t>({1, 2, 3}));

    const TValue me = Scalar("select current_connection from rdb$database");
    auto killer = OpenSecondConnection();
    auto transaction = std::make_shared<TFbTransaction>(*killer, WriteTransactionParams());
    TFbQuery kill(transaction);
    kill.SetSQL("delete from mon$attachments where mon$attachment_id = :id");
    kill.ExecuteWith({me.ToString()});
    transaction->Commit();

    PQuery next = CachedWriteQuery(insert, InsertDepartment, "Sync", pass);
    try {
        next->ExecuteWith({"after the kill"});
        FAIL() << "executed on a killed attachment";
    } catch (const EFirebirdError& error) {
        EXPECT_TRUE(error.ConnectionLost()) << error.Message();
        EXPECT_EQ(error.Message(), "Connection shutdown.\r\n");
    }
    EXPECT_EQ(handled, std::vector<std::string>{"dbDatabase: lost"});
    EXPECT_FALSE(Db.IsConnected());
    EXPECT_EQ(std::vector<std::int32_t>({insert, count, audit}), std::vector<std::int32_t>({0, 0, 0}));
    EXPECT_TRUE(next->IsFreed());
    EXPECT_FALSE(pass->IsActive());
    EXPECT_THROW(next->ExecuteWith({"freed"}), EDatabaseError);
    EXPECT_THROW(pass->StartTransaction(), EDatabaseError);

    Db.OpenConnection();
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "0");
    CachedQuery(count, CountDepartments, "Sync");
    EXPECT_EQ(count, 1);  // prepared anew
}

TEST_F(DbSession, CacheOutlivesAConnectionThatNeverOpened) {
    {
        TFbConnection closed("closed");
        SetDefaultDatabase(&closed);
        EXPECT_THROW(CachedQuery(Handle1, CountDepartments, ""), EDatabaseError);
        EXPECT_EQ(Handle1, 0);
        SetDefaultDatabase(&Db);
    }
    EXPECT_NO_THROW(FreeQueries(""));
    CachedQuery(Handle1, CountDepartments, "");
    Db.CloseConnection();  // the new cache registered its handler with Db
    EXPECT_EQ(Handle1, 0);
}

TEST_F(DbSession, CloseRunsTheDisconnectHandlersInOrderAndCompletes) {
    std::vector<std::string> ran;  // outlives the connection and its handlers
    std::unique_ptr<TFbConnection> second = OpenSecondConnection();
    TFbConnection& db = *second;
    db.AddDisconnectHandler([&](TFbConnection&) { ran.push_back("first"); });
    db.AddDisconnectHandler([&](TFbConnection&) {
        ran.push_back("failing");
        throw EDisplayError("handler failed");
    });
    int removed = 0;
    removed = db.AddDisconnectHandler([&](TFbConnection& database) {
        ran.push_back("removes itself");
        database.RemoveDisconnectHandler(removed);
    });
    const int never = db.AddDisconnectHandler([&](TFbConnection&) { ran.push_back("removed"); });
    db.RemoveDisconnectHandler(never);

    PTransaction open = NewWriteTransaction(&db);
    PrepareQuery(InsertDepartment, open)->ExecuteWith({"rolled back at close"});
    EXPECT_THROW(db.CloseConnection(), EDisplayError);
    EXPECT_FALSE(db.IsConnected());
    EXPECT_FALSE(open->IsActive());
    EXPECT_EQ(ran, (std::vector<std::string>{"first", "failing", "removes itself"}));
    EXPECT_NO_THROW(db.CloseConnection());  // not connected: nothing
    EXPECT_EQ(ran.size(), 3u);
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "0");
}

namespace {

const std::string InstancesSection =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Firebird Project\\Firebird Server\\Instances]\r\n";

class DbClientLibrary : public keyrix::test::HiveFixture {
protected:
    void WriteInstance(const std::string& folder) {
        WriteHive(InstancesSection + "\"DefaultInstance\"=\"" + folder + "\"\r\n");
    }
    void Touch(const std::string& path) { keyrix::test::WriteFile(path, "not a library"); }
};

}  // namespace

TEST_F(DbClientLibrary, WithoutTheInstanceKeyTheBareNameIsUsed) {
    EXPECT_EQ(FindClientLibrary(), "libfbclient.so.2");
    WriteHive(InstancesSection);  // the key without the value: an empty folder
    EXPECT_EQ(FindClientLibrary(), "libfbclient.so.2");
}

TEST_F(DbClientLibrary, TheInstanceFolderIsJoinedAsItIs) {
    keyrix::test::TTempDir instance;
    ::mkdir(instance.File("lib").c_str(), 0755);
    const std::string folder = instance.Path() + "/";

    WriteInstance(folder);
    EXPECT_EQ(FindClientLibrary(), "libfbclient.so.2");  // neither file there
    Touch(folder + "libfbclient.so");
    EXPECT_EQ(FindClientLibrary(), folder + "libfbclient.so");
    Touch(folder + "lib/libfbclient.so");
    EXPECT_EQ(FindClientLibrary(), folder + "lib/libfbclient.so");
    // Without the trailing separator the joined paths do not exist.
    WriteInstance(instance.Path());
    EXPECT_EQ(FindClientLibrary(), "libfbclient.so.2");
}

TEST_F(DbClientLibrary, TheDebianInstallationIsFoundAndLoads) {
    WriteInstance("/usr/lib/x86_64-linux-gnu/firebird/3.0/");
    const std::string path = FindClientLibrary();
    EXPECT_EQ(path, "/usr/lib/x86_64-linux-gnu/firebird/3.0/lib/libfbclient.so");
    EXPECT_NO_THROW(TFbClient::Load(path));
    EXPECT_EQ(TFbClient::Load(path), TFbClient::Load(path));
    EXPECT_THROW(TFbClient::Load("/nonexistent/libfbclient.so"), EDatabaseError);
}

TEST_F(DbSession, StatementScopeFreesOnEveryPathAndReleaseHandsOn) {
    // Error path: the statement's own error leaves the scope, and the statement goes with
    // its transaction, rolled back.
    PTransaction own = NewWriteTransaction();
    PQuery seen;
    try {
        TQueryScope scope(PrepareQuery(InsertDepartment, own), true);
        seen = scope.Get();
        scope->ExecuteWith({"rolled back with its transaction"});
        scope->ExecuteWith({});  // a value short
        FAIL() << "executed without its value";
    } catch (const EDatabaseError& error) {
        EXPECT_NE(error.Message().find("value"), std::string::npos) << error.Message();
    }
    EXPECT_TRUE(seen->IsFreed());
    EXPECT_TRUE(own->IsFreed());
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "0");

    // Normal path: Free ends it there, the transaction stays when not asked for.
    PTransaction kept = NewWriteTransaction();
    {
        TQueryScope scope(PrepareQuery(InsertDepartment, kept), false);
        scope->ExecuteWith({"kept"});
        seen = scope.Get();
        scope.Free();
        EXPECT_FALSE(scope.Get());
        EXPECT_TRUE(seen->IsFreed());
    }
    ASSERT_TRUE(kept->IsActive());
    kept->Commit();
    EXPECT_EQ(Scalar(CountDepartments).ToString(), "1");

    // Release hands it on unfreed, transaction and all.
    PQuery released;
    {
        TQueryScope scope(PrepareQuery(CountDepartments), true);
        released = scope.Release();
    }
    ASSERT_TRUE(released);
    EXPECT_FALSE(released->IsFreed());
    released->ExecuteWith();
    EXPECT_EQ(released->FieldAt(0).AsInteger(), 1);
    FreeQuery(released, true);
}
