// The database session of the run: connecting from the settings, disconnecting, and what
// happens when the server or the network drops the connection.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "common/Exceptions.h"
#include "db/DBUtils.h"
#include "setup/SetupWindow.h"

#include <chrono>
#include <mutex>

namespace keyrix {

void TDataModule1::ConnectDatabase() {
    try {
        std::lock_guard guard(dbutils::DatabaseLock());
        if (dbDatabase.IsConnected()) return;
        try {
            const TSetup& settings = Settings();
            dbDatabase.SetDatabaseName(
                Format("%s/%d:%s", settings.DatabaseServer, settings.DatabasePort, settings.DatabaseName));
            dbDatabase.SetUserName(settings.DatabaseUser);
            dbDatabase.SetPassword(settings.DatabasePassword);
            dbDatabase.SetSQLDialect(3);
            dbDatabase.SetClientLibrary(dbutils::FindClientLibrary());
            dbDatabase.SetCallTimeout(std::chrono::seconds(settings.DatabaseCallTimeoutSeconds));
            dbDatabase.OpenConnection();
        } catch (...) {
            SyncLogError("Error connecting database: %s", DescribeCurrentException().Message);
            throw;
        }
    } catch (...) {
        throw EDisplayError(Format("Error connecting to database - %s", DescribeCurrentException().Message));
    }
}

void TDataModule1::DisconnectDatabase() {
    std::lock_guard guard(dbutils::DatabaseLock());
    // Closing runs the statement cache's handler first and rolls back what is still active.
    if (dbDatabase.IsConnected()) dbDatabase.CloseConnection();
}

void TDataModule1::dbDatabaseLostConnect() {
    // The layer closes the connection after this; nothing waits for the server.
    dbutils::FreeQueries("");
}

void TDataModule1::FreeQueries(const std::string& owner) { dbutils::FreeQueries(owner); }

}  // namespace keyrix
