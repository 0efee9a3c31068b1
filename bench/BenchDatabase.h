// The benchmark's database: a fresh one on the local Firebird server, made from the schema
// stand-in with a few departments, and dropped at the end.
#pragma once

#include <string>

namespace keyrix::bench {

// The server and its SYSDBA account: KEYRIX_TEST_FB_HOST, _PORT, _USER and _PASSWORD as
// scripts/firebird exports them, else 127.0.0.1:3050 and the package's SYSDBA.password.
struct TFbAccount {
    std::string Host = "127.0.0.1";
    int Port = 3050;
    std::string User = "SYSDBA";
    std::string Password;

    // Raises std::runtime_error when no password can be found.
    static TFbAccount FromEnvironment();
};

class TBenchDatabase {
public:
    // Makes the folder (handed to the firebird account, which creates the file), the
    // database in it, the schema and the departments. The tag tells apart the databases
    // of one run in the file name. Raises std::runtime_error with isql's output when
    // something fails.
    TBenchDatabase(const TFbAccount& account, const std::string& folder, const std::string& schemaFile,
                   const std::string& scratchFolder, const std::string& tag);
    TBenchDatabase(const TBenchDatabase&) = delete;
    TBenchDatabase& operator=(const TBenchDatabase&) = delete;
    // Drops the database unless Keep is set.
    ~TBenchDatabase();

    const std::string& File() const { return FFile; }
    // "host/port:file", as the layer and isql name it.
    std::string Connection() const;
    int Departments() const { return FDepartments; }
    // Sets the page cache the server keeps for this database (gfix -buffers, kept in its
    // header and used instead of the server's default). Raises std::runtime_error with
    // gfix's output when it fails.
    void SetPageBuffers(int pages) const;
    // Recomputes the selectivity of every index from the rows as they are now (SET
    // STATISTICS), as a database in service gets it when an index is made on a filled table
    // or at a restore; the optimizer chooses its plans by it.
    void RefreshIndexStatistics() const;

    bool Keep = false;

private:
    // Runs the statements through isql-fb (after a CONNECT unless connect is false).
    std::string Isql(const std::string& statements, bool connect = true) const;

    TFbAccount FAccount;
    std::string FFile;
    std::string FScratch;
    int FDepartments = 0;
    bool FCreated = false;
};

}  // namespace keyrix::bench
