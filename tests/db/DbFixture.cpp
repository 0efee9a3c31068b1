#include "tests/db/DbFixture.h"

#include <unistd.h>
#include <pwd.h>

#include <cstdlib>
#include <stdexcept>

// The sanitizer runtime of this toolchain misreads the dynamic TLS blocks that the loaded
// client library allocates, and its leak check then crashes at exit. Without the
// __tls_get_addr interception those blocks are plain heap blocks to it. The cache writes
// to its callers' handle variables, so writes to dead stack frames are looked for too.
// ASAN_OPTIONS still overrides both.
extern "C" const char* __asan_default_options() { return "intercept_tls_get_addr=0:detect_stack_use_after_return=1"; }

namespace keyrix::test {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// ISC_USER and ISC_PASSWORD of the package's password file (shell syntax, maybe quoted).
std::string PasswordFileValue(const std::string& content, const std::string& name) {
    std::string::size_type at = content.find("\n" + name + "=");
    if (at == std::string::npos) return {};
    std::string value = content.substr(at + name.size() + 2);
    value = value.substr(0, value.find('\n'));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return value;
}

std::string SqlQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

// An absolute path from the build: __FILE__ is relative when ccache rewrites paths (base_dir),
// and isql reads a relative INPUT from the folder of the script that names it.
const std::string SchemaScript = KEYRIX_TEST_SCHEMA;

}  // namespace

const TFbServer& TFbServer::Get() {
    static const TFbServer server = [] {
        TFbServer s;
        s.Host = Env("KEYRIX_TEST_FB_HOST").empty() ? "127.0.0.1" : Env("KEYRIX_TEST_FB_HOST");
        s.Port = Env("KEYRIX_TEST_FB_PORT").empty() ? "3050" : Env("KEYRIX_TEST_FB_PORT");
        s.User = Env("KEYRIX_TEST_FB_USER");
        s.Password = Env("KEYRIX_TEST_FB_PASSWORD");
        if (s.Password.empty()) {
            const std::string file = ReadFile("/etc/firebird/3.0/SYSDBA.password");
            s.Password = PasswordFileValue("\n" + file, "ISC_PASSWORD");
            if (s.User.empty()) s.User = PasswordFileValue("\n" + file, "ISC_USER");
        }
        if (s.User.empty()) s.User = "SYSDBA";
        if (s.Password.empty())
            s.Problem = "No Firebird test server configured: KEYRIX_TEST_FB_PASSWORD is not set and "
                        "/etc/firebird/3.0/SYSDBA.password gives none (run scripts/firebird)";
        return s;
    }();
    return server;
}

TTestDatabase::TTestDatabase() {
    const TFbServer& server = TFbServer::Get();
    if (!server.Problem.empty()) throw std::runtime_error(server.Problem);
    // The server process creates the file, as its own account.
    if (const passwd* account = ::getpwnam("firebird"))
        if (::chown(FDir.Path().c_str(), account->pw_uid, account->pw_gid) != 0)
            throw std::runtime_error("Cannot hand " + FDir.Path() + " to the firebird account");
    FPath = server.DatabasePath(FDir.File("keyrix.fdb"));

    TCommandResult created = RunIsql("CREATE DATABASE " + SqlQuoted(FPath) + " USER " + SqlQuoted(server.User) +
                                         " PASSWORD " + SqlQuoted(server.Password) + ";\n",
                                     "create.sql");
    if (created.ExitCode != 0)
        throw std::runtime_error("The Firebird server at " + server.Host + ":" + server.Port +
                                 " is not reachable or refused to create a database (run scripts/firebird): " +
                                 created.Output);
    // Forced writes make every commit of the schema wait for the disk; a test database
    // needs no durability.
    TCommandResult async = RunCommand("gfix -write async -user " + SqlQuoted(server.User) + " -password " +
                                      SqlQuoted(server.Password) + " " + SqlQuoted(FPath) + " 2>&1");
    if (async.ExitCode != 0) throw std::runtime_error("gfix failed: " + async.Output);
    Isql("INPUT " + SqlQuoted(SchemaScript) + ";\n");
}

TTestDatabase::~TTestDatabase() {
    try {
        Isql("DROP DATABASE;\n");
    } catch (const std::exception&) {
        // The folder goes anyway; a database still attached is the server's to release.
    }
}

void TTestDatabase::Configure(TFbConnection& connection) const {
    const TFbServer& server = TFbServer::Get();
    connection.SetDatabaseName(FPath);
    connection.SetUserName(server.User);
    connection.SetPassword(server.Password);
    connection.SetClientLibrary(dbutils::FindClientLibrary());
}

std::string TTestDatabase::Isql(const std::string& statements) const {
    const TFbServer& server = TFbServer::Get();
    TCommandResult result = RunIsql("CONNECT " + SqlQuoted(FPath) + " USER " + SqlQuoted(server.User) + " PASSWORD " +
                                        SqlQuoted(server.Password) + ";\n" + statements,
                                    "statements.sql");
    if (result.ExitCode != 0) throw std::runtime_error("isql-fb failed: " + result.Output);
    return result.Output;
}

TCommandResult TTestDatabase::RunIsql(const std::string& script, const std::string& name) const {
    const std::string file = FDir.File(name);
    WriteFile(file, "SET SQL DIALECT 3;\n" + script);
    TCommandResult result = RunCommand("isql-fb -q -b -i " + SqlQuoted(file) + " 2>&1");
    ::unlink(file.c_str());
    return result;
}

std::unique_ptr<TTestDatabase> DbTest::SuiteDatabase;
std::string DbTest::SuiteProblem;

void DbTest::SetUpTestSuite() {
    try {
        SuiteDatabase = std::make_unique<TTestDatabase>();
        SuiteProblem.clear();
    } catch (const std::exception& error) {
        SuiteProblem = error.what();
    }
}

void DbTest::TearDownTestSuite() { SuiteDatabase.reset(); }

void DbTest::SetUp() {
    // A database test never passes without its server.
    ASSERT_TRUE(SuiteDatabase) << SuiteProblem;
    dbutils::InitializeDatabaseLayer();
    Database().Configure(Db);
    ASSERT_NO_THROW(Db.OpenConnection()) << "cannot attach to " << Database().Path();
    dbutils::SetDefaultDatabase(&Db);
    // The tests of a suite share the database; each starts from empty tables.
    for (const char* table : {"TEST_AUDIT_EVENTS", "TEST_REFUSALS", "PARADOX_ACCOUNT_GROUPS", "ACCESS_CARD_GROUPS",
                              "ACCESS_CARDS", "PARADOX_ACCOUNTS", "USER_GROUPS", "USERS", "DEPARTMENTS", "SYS_OBJECTS"})
        ASSERT_NO_THROW(Execute(std::string("delete from ") + table)) << table;
}

void DbTest::TearDown() {
    dbutils::FreeQueries("");
    Db.CloseConnection();
    dbutils::SetDefaultDatabase(nullptr);
    dbutils::FinalizeDatabaseLayer();
}

void DbTest::Execute(const std::string& sql, const std::vector<TValue>& values) {
    auto transaction = std::make_shared<TFbTransaction>(Db, dbutils::WriteTransactionParams());
    TFbQuery query(transaction);
    query.SetSQL(sql);
    query.ExecuteWith(values);
    transaction->Commit();
}

TValue DbTest::Scalar(const std::string& sql, const std::vector<TValue>& values) {
    auto transaction = std::make_shared<TFbTransaction>(Db, dbutils::ReadTransactionParams());
    TFbQuery query(transaction);
    query.SetSQL(sql);
    query.ExecuteWith(values);
    TFbField field = query.FieldAt(0);
    TValue value = field.IsNull() ? TValue() : TValue(field.AsString());
    transaction->Rollback();
    return value;
}

std::unique_ptr<TFbConnection> DbTest::OpenSecondConnection() const {
    auto connection = std::make_unique<TFbConnection>("second");
    Database().Configure(*connection);
    connection->OpenConnection();
    return connection;
}

}  // namespace keyrix::test
