#include "bench/BenchDatabase.h"

#include "bench/Processes.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace keyrix::bench {

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string SqlQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

// ISC_USER or ISC_PASSWORD of the package's password file (shell syntax, maybe quoted).
std::string PasswordFileValue(const std::string& content, const std::string& name) {
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(name + "=", 0) != 0) continue;
        std::string value = line.substr(name.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return {};
}

// The company markers the import looks for in department names, and others beside them,
// as a real installation has.
const char* const DepartmentNames[] = {
    "Veltrona Logistics (1)", "Veltrona Retail (2)", "Veltrona Services (3)", "Unassigned (default)",
    "Facilities",             "Finance",             "Security",              "Reception",
    "Maintenance",            "IT Operations",       "Cleaning contractor",   "Canteen",
    "Visitors",               "Board",               "Warehouse North",       "Warehouse South",
    "Quality",                "Legal",               "Purchasing",            "Marketing",
};

}  // namespace

TFbAccount TFbAccount::FromEnvironment() {
    TFbAccount account;
    if (!Env("KEYRIX_TEST_FB_HOST").empty()) account.Host = Env("KEYRIX_TEST_FB_HOST");
    if (!Env("KEYRIX_TEST_FB_PORT").empty()) account.Port = std::atoi(Env("KEYRIX_TEST_FB_PORT").c_str());
    account.Password = Env("KEYRIX_TEST_FB_PASSWORD");
    std::string user = Env("KEYRIX_TEST_FB_USER");
    if (account.Password.empty()) {
        std::ifstream in("/etc/firebird/3.0/SYSDBA.password");
        std::ostringstream content;
        content << in.rdbuf();
        account.Password = PasswordFileValue(content.str(), "ISC_PASSWORD");
        if (user.empty()) user = PasswordFileValue(content.str(), "ISC_USER");
    }
    if (!user.empty()) account.User = user;
    if (account.Password.empty())
        throw std::runtime_error("no Firebird password: KEYRIX_TEST_FB_PASSWORD is not set and "
                                 "/etc/firebird/3.0/SYSDBA.password gives none (source scripts/firebird)");
    return account;
}

TBenchDatabase::TBenchDatabase(const TFbAccount& account, const std::string& folder, const std::string& schemaFile,
                               const std::string& scratchFolder, const std::string& tag)
    : FAccount(account), FScratch(scratchFolder) {
    if (!std::filesystem::is_regular_file(schemaFile)) throw std::runtime_error("no schema file " + schemaFile);
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    // The server process creates the file, as its own account.
    if (const passwd* firebird = ::getpwnam("firebird")) {
        if (::chown(folder.c_str(), firebird->pw_uid, firebird->pw_gid) == 0) ::chmod(folder.c_str(), 0770);
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&now));
    FFile = folder + "/bench-" + stamp + "-" + std::to_string(::getpid()) + "-" + tag + ".fdb";

    Isql("CREATE DATABASE " + SqlQuoted(Connection()) + " USER " + SqlQuoted(FAccount.User) + " PASSWORD " +
             SqlQuoted(FAccount.Password) + ";\n",
         false);
    FCreated = true;
    std::string departments;
    for (const char* name : DepartmentNames) {
        departments += "INSERT INTO DEPARTMENTS (NAME) VALUES (" + SqlQuoted(name) + ");\n";
        ++FDepartments;
    }
    Isql("INPUT " + SqlQuoted(schemaFile) + ";\n" + departments + "COMMIT;\n");
}

TBenchDatabase::~TBenchDatabase() {
    if (!FCreated || Keep) return;
    try {
        Isql("DROP DATABASE;\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "keyrix-bench: the database %s was not dropped: %s\n", FFile.c_str(), error.what());
    }
}

void TBenchDatabase::SetPageBuffers(int pages) const {
    // The password goes through a file of the private scratch folder, not the command line,
    // which any user of the machine can read.
    const std::string passwordFile = FScratch + "/gfix.password";
    {
        std::ofstream out(passwordFile, std::ios::trunc);
        out << FAccount.Password << "\n";
        if (!out) throw std::runtime_error("cannot write " + passwordFile);
    }
    const TCommandResult result = RunProgram({"gfix", "-user", FAccount.User, "-fetch_password", passwordFile,
                                              "-buffers", std::to_string(pages), Connection()});
    std::remove(passwordFile.c_str());
    if (result.ExitCode != 0) throw std::runtime_error("gfix -buffers failed for " + FFile + ": " + result.Output);
}

void TBenchDatabase::RefreshIndexStatistics() const {
    Isql("SET TERM ^;\n"
         "EXECUTE BLOCK AS DECLARE name VARCHAR(63); BEGIN\n"
         "  FOR SELECT TRIM(RDB$INDEX_NAME) FROM RDB$INDICES WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 INTO :name DO\n"
         "    EXECUTE STATEMENT 'SET STATISTICS INDEX \"' || name || '\"';\n"
         "END^\n"
         "SET TERM ;^\n"
         "COMMIT;\n");
}

std::string TBenchDatabase::Connection() const {
    return FAccount.Host + "/" + std::to_string(FAccount.Port) + ":" + FFile;
}

std::string TBenchDatabase::Isql(const std::string& statements, bool connect) const {
    const std::string script = FScratch + "/isql.sql";
    {
        std::ofstream out(script, std::ios::trunc);
        out << "SET SQL DIALECT 3;\n";
        if (connect)
            out << "CONNECT " << SqlQuoted(Connection()) << " USER " << SqlQuoted(FAccount.User) << " PASSWORD "
                << SqlQuoted(FAccount.Password) << ";\n";
        out << statements;
        if (!out) throw std::runtime_error("cannot write " + script);
    }
    // The script holds the password: the scratch folder is the caller's private one, and
    // the script goes as soon as isql has read it.
    const TCommandResult result = RunProgram({"isql-fb", "-q", "-b", "-i", script});
    std::remove(script.c_str());
    if (result.ExitCode != 0) throw std::runtime_error("isql-fb failed: " + result.Output);
    return result.Output;
}

}  // namespace keyrix::bench
