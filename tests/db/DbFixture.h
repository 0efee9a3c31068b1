// The Firebird server of the database tests and a fresh database per suite, made from the
// schema stand-in keyrix_schema.sql. scripts/firebird starts the server and exports its
// credentials; without a reachable server every database test fails and says why.
#pragma once

#include "db/DBUtils.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace keyrix::test {

struct TFbServer {
    std::string Host, Port, User, Password;
    std::string Problem;  // why the server cannot be used; empty when it can

    // From KEYRIX_TEST_FB_HOST, _PORT, _USER, _PASSWORD; the user and the password fall
    // back to the package's SYSDBA.password file.
    static const TFbServer& Get();
    std::string DatabasePath(const std::string& file) const { return Host + "/" + Port + ":" + file; }
};

// A database of its own in a temporary folder of the server's account, dropped with it.
class TTestDatabase {
public:
    // Raises std::runtime_error with the reason when the database cannot be made.
    TTestDatabase();
    TTestDatabase(const TTestDatabase&) = delete;
    TTestDatabase& operator=(const TTestDatabase&) = delete;
    ~TTestDatabase();

    const std::string& Path() const { return FPath; }
    // Points the connection at this database with the server's credentials.
    void Configure(TFbConnection& connection) const;
    // Runs statements through isql-fb, outside the layer under test; answers the output
    // and raises when isql fails.
    std::string Isql(const std::string& statements) const;

private:
    TCommandResult RunIsql(const std::string& script, const std::string& name) const;

    TTempDir FDir;
    std::string FPath;
};

// A suite over one fresh database, with the connection the system names "dbDatabase" of
// "DataModule1" open as the default database for each test, which finds the product's
// tables empty.
class DbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    static TTestDatabase& Database() { return *SuiteDatabase; }

    // A committed statement in a write transaction of its own.
    void Execute(const std::string& sql, const std::vector<TValue>& values = {});
    // The first column of the first row, read in a transaction of its own (a new one sees
    // everything committed so far).
    TValue Scalar(const std::string& sql, const std::vector<TValue>& values = {});
    // A second attachment to the same database, for what another process would see.
    std::unique_ptr<TFbConnection> OpenSecondConnection() const;

    TFbConnection Db{"dbDatabase", "DataModule1"};

private:
    static std::unique_ptr<TTestDatabase> SuiteDatabase;
    static std::string SuiteProblem;
};

}  // namespace keyrix::test
