// The connection to a Firebird database: its settings, the attachment, the handlers that
// run before it closes and the one that runs when the server or the network drops it.
#pragma once

#include "db/FbClient.h"
#include "db/FbErrors.h"
#include "db/FbWatchdog.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace keyrix {

class TFbConnection;
class TFbTransaction;

// The attachment that a connection shares with its transactions and statements. They hold
// it rather than the connection, so one kept after its connection is gone finds a closed
// attachment instead of freed memory.
class TFbAttachment {
public:
    TFbConnection* Connection = nullptr;  // null once the connection object is gone
    std::shared_ptr<TFbClient> Client;
    isc_db_handle Handle = 0;
    // Counts the attaches; a handle made under an earlier one is void.
    std::uint64_t Generation = 0;
    unsigned short Dialect = SQL_DIALECT_V6;
    // While a lost connection is being handled nothing more goes to the server: the
    // handles die with the attachment.
    bool Lost = false;
    // Rolled back before the attachment is detached.
    std::vector<TFbTransaction*> ActiveTransactions;
    // Transactions let go after their rollback failed: still open at the server, which
    // refuses to detach while they are. Rolled back once more before the detach.
    std::vector<isc_tr_handle> Abandoned;
    // Read-only, read-committed: prepares statements whose own transaction has not
    // started, so that preparing does not start it. Ended before the detach.
    isc_tr_handle PrepareHandle = 0;
    // "server/port:database" of the attach, for the messages.
    std::string DatabaseName;
    // Aborts the attachment when a call waits on the server too long.
    TFbCallWatchdog Watchdog;

    bool Attached() const { return Handle != 0; }
    // Attached and not being dropped: calls may go to the server.
    bool Usable() const { return Attached() && !Lost; }

    // Raises EDatabaseError with the text when the attachment cannot take calls.
    void CheckUsable(const std::string& namePath) const;
    // Raises the error of a failed call (status[1] non-zero). A lost connection is first
    // handed to the connection, which runs its lost-connection handler and closes.
    void Check(const ISC_STATUS* status, const std::string& namePath);
    [[noreturn]] void Raise(const ISC_STATUS* status, const std::string& namePath);

    // Every client call that may wait on the server goes through here, watched for its
    // time-out: Call(&TFbClient::isc_commit_transaction, status, &handle).
    template <class TFunction, class... TArgs>
    auto Call(TFunction TFbClient::*function, TArgs&&... args) {
        TFbCallWatchdog::TCall watched(Watchdog, Client->fb_cancel_operation, Handle);
        return ((*Client).*function)(std::forward<TArgs>(args)...);
    }

    // The transaction to prepare in, started at its first use.
    isc_tr_handle* PrepareTransaction();

    // The message lines of a status vector, as the client library words them.
    std::vector<std::string> StatusLines(const ISC_STATUS* status) const;
};

// The first line of the error of a call that the watchdog ended: the limit and the server.
std::string CallTimeoutText(std::chrono::milliseconds timeout, const std::string& databaseName);

class TFbConnection {
public:
    using TDisconnectHandler = std::function<void(TFbConnection& database)>;
    using TLostConnectHandler = std::function<void(TFbConnection& database, const EFirebirdError& error)>;

    // The name and its owner's name make the path that error messages start with
    // ("DataModule1.dbDatabase").
    explicit TFbConnection(std::string name = {}, std::string ownerName = {});
    TFbConnection(const TFbConnection&) = delete;
    TFbConnection& operator=(const TFbConnection&) = delete;
    // Closes the connection (handlers included).
    ~TFbConnection();

    const std::string& Name() const { return FName; }
    std::string NamePath() const;

    // Settings, used by the next OpenConnection.
    // "server/port:database".
    const std::string& DatabaseName() const { return FDatabaseName; }
    void SetDatabaseName(std::string value) { FDatabaseName = std::move(value); }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(std::string value) { FUserName = std::move(value); }
    const std::string& Password() const { return FPassword; }
    void SetPassword(std::string value) { FPassword = std::move(value); }
    int SQLDialect() const { return FSQLDialect; }
    void SetSQLDialect(int value) { FSQLDialect = value; }
    const std::string& ClientLibrary() const { return FClientLibrary; }
    void SetClientLibrary(std::string value) { FClientLibrary = std::move(value); }
    // The longest one call may wait on the server before the connection is aborted (zero or
    // less: no limit). Applies from the next call on.
    std::chrono::milliseconds CallTimeout() const { return FAttachment->Watchdog.Timeout(); }
    void SetCallTimeout(std::chrono::milliseconds value) { FAttachment->Watchdog.SetTimeout(value); }

    // Attaches with the user name and the password and nothing else. Raises the database
    // error when attaching fails, EDatabaseError when the client library cannot be loaded.
    void OpenConnection();
    // Runs the before-disconnect handlers in the order they were added, rolls back the
    // transactions still active and detaches. Nothing when not connected. An error of a
    // handler does not stop the close; the first one is raised after it.
    void CloseConnection();
    bool IsConnected() const { return FAttachment->Attached(); }

    // Answers an id for RemoveDisconnectHandler.
    int AddDisconnectHandler(TDisconnectHandler handler);
    void RemoveDisconnectHandler(int id);
    void SetLostConnectHandler(TLostConnectHandler handler) { FLostConnectHandler = std::move(handler); }

    const std::shared_ptr<TFbAttachment>& Attachment() const { return FAttachment; }

private:
    friend class TFbAttachment;
    struct THandlerEntry {
        int Id;
        TDisconnectHandler Handler;
    };
    // Runs the lost-connection handler and closes without waiting for the server.
    void ConnectionLost(const EFirebirdError& error);
    // Closes; answers the first error instead of raising it.
    std::exception_ptr Close();

    std::string FName, FOwnerName;
    std::string FDatabaseName, FUserName, FPassword;
    int FSQLDialect = SQL_DIALECT_V6;
    std::string FClientLibrary = "libfbclient.so.2";
    std::list<THandlerEntry> FDisconnectHandlers;
    int FNextHandlerId = 1;
    bool FClosing = false;
    TLostConnectHandler FLostConnectHandler;
    std::shared_ptr<TFbAttachment> FAttachment;
};

}  // namespace keyrix
