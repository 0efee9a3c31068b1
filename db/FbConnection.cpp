#include "db/FbConnection.h"

#include "common/Format.h"
#include "db/FbTransaction.h"

#include <utility>

namespace keyrix {

namespace {

void AddDpbText(std::string& dpb, char item, const std::string& text, const char* what) {
    if (text.size() > 255) throw EDatabaseError(Format("The %s is longer than 255 characters", what));
    dpb += item;
    dpb += static_cast<char>(text.size());
    dpb += text;
}

}  // namespace

std::string CallTimeoutText(std::chrono::milliseconds timeout, const std::string& databaseName) {
    const std::string limit = timeout == std::chrono::seconds(1) ? std::string("1 second")
                              : timeout.count() % 1000 == 0
                                  ? Format("%d seconds", static_cast<long long>(timeout.count() / 1000))
                                  : Format("%.3f seconds", static_cast<double>(timeout.count()) / 1000.0);
    return Format("Database call did not return within %s (\"Database\" / \"Call time-out seconds\"); "
                  "the connection to %s was aborted",
                  limit, databaseName);
}

void TFbAttachment::CheckUsable(const std::string& namePath) const {
    if (!Attached()) throw EDatabaseError(ErrorMessageText(namePath, {"The database is not connected"}));
    if (Lost) throw EDatabaseError(ErrorMessageText(namePath, {"The connection to the database is lost"}));
}

void TFbAttachment::Check(const ISC_STATUS* status, const std::string& namePath) {
    if (status[0] == isc_arg_gds && status[1] != 0) Raise(status, namePath);
}

void TFbAttachment::Raise(const ISC_STATUS* status, const std::string& namePath) {
    std::vector<std::string> lines = StatusLines(status);
    // After an abort the client's own words ("connection shutdown", "error reading data")
    // do not say why; the first line does.
    const bool aborted = Watchdog.Fired();
    if (aborted) lines.insert(lines.begin(), CallTimeoutText(Watchdog.Timeout(), DatabaseName));
    EFirebirdError error(ErrorMessageText(namePath, lines), StatusCodes(status),
                         Client ? static_cast<int>(Client->isc_sqlcode(status)) : 0);
    if ((error.ConnectionLost() || aborted) && Connection != nullptr && Usable()) Connection->ConnectionLost(error);
    throw error;
}

isc_tr_handle* TFbAttachment::PrepareTransaction() {
    if (PrepareHandle == 0) {
        CheckUsable("");
        static const char block[] = {isc_tpb_version3, isc_tpb_read, isc_tpb_read_committed, isc_tpb_rec_version,
                                     isc_tpb_nowait};
        ISC_STATUS_ARRAY status{};
        isc_tr_handle handle = 0;
        Call(&TFbClient::isc_start_transaction, status, &handle, static_cast<short>(1), &Handle, static_cast<int>(sizeof block), block);
        Check(status, "");
        PrepareHandle = handle;
    }
    return &PrepareHandle;
}

std::vector<std::string> TFbAttachment::StatusLines(const ISC_STATUS* status) const {
    std::vector<std::string> lines;
    if (!Client) return lines;
    const ISC_STATUS* cursor = status;
    char line[1024];
    while (Client->fb_interpret(line, sizeof line, &cursor) > 0) lines.emplace_back(line);
    return lines;
}

TFbConnection::TFbConnection(std::string name, std::string ownerName)
    : FName(std::move(name)), FOwnerName(std::move(ownerName)), FAttachment(std::make_shared<TFbAttachment>()) {
    FAttachment->Connection = this;
}

TFbConnection::~TFbConnection() {
    (void)Close();  // a destructor cannot report
    FAttachment->Connection = nullptr;
}

std::string TFbConnection::NamePath() const { return FOwnerName.empty() ? FName : FOwnerName + "." + FName; }

void TFbConnection::OpenConnection() {
    if (IsConnected()) return;
    std::shared_ptr<TFbClient> client = TFbClient::Load(FClientLibrary);
    std::string dpb(1, static_cast<char>(isc_dpb_version1));
    AddDpbText(dpb, isc_dpb_user_name, FUserName, "user name");
    AddDpbText(dpb, isc_dpb_password, FPassword, "password");
    if (FDatabaseName.size() > 32767) throw EDatabaseError("The database path is too long");

    FAttachment->Client = client;
    FAttachment->DatabaseName = FDatabaseName;
    FAttachment->Watchdog.Rearm();
    ISC_STATUS_ARRAY status{};
    isc_db_handle handle = 0;
    client->isc_attach_database(status, static_cast<short>(FDatabaseName.size()), FDatabaseName.data(), &handle,
                                static_cast<short>(dpb.size()), dpb.data());
    FAttachment->Check(status, NamePath());
    FAttachment->Handle = handle;
    FAttachment->PrepareHandle = 0;
    FAttachment->Abandoned.clear();
    FAttachment->Dialect = static_cast<unsigned short>(FSQLDialect);
    FAttachment->Lost = false;
    ++FAttachment->Generation;
}

void TFbConnection::CloseConnection() {
    if (std::exception_ptr error = Close()) std::rethrow_exception(error);
}

std::exception_ptr TFbConnection::Close() {
    if (!IsConnected() || FClosing) return nullptr;
    FClosing = true;
    std::exception_ptr firstError;
    auto note = [&firstError] {
        if (!firstError) firstError = std::current_exception();
    };

    // A handler may add or remove handlers, itself included.
    std::vector<int> ids;
    for (const THandlerEntry& entry : FDisconnectHandlers) ids.push_back(entry.Id);
    for (int id : ids) {
        for (const THandlerEntry& entry : FDisconnectHandlers) {
            if (entry.Id != id) continue;
            TDisconnectHandler handler = entry.Handler;  // survives its own removal
            try {
                handler(*this);
            } catch (...) {
                note();
            }
            break;
        }
    }

    // Detaching with active transactions fails, and closing must not commit anything.
    while (!FAttachment->ActiveTransactions.empty()) {
        TFbTransaction* transaction = FAttachment->ActiveTransactions.back();
        try {
            transaction->Rollback();
        } catch (...) {
            note();
            transaction->Forget();
        }
    }

    for (isc_tr_handle handle : std::exchange(FAttachment->Abandoned, {})) {
        if (!FAttachment->Usable()) break;
        ISC_STATUS_ARRAY ignored{};
        FAttachment->Call(&TFbClient::isc_rollback_transaction, ignored, &handle);
    }

    ISC_STATUS_ARRAY status{};
    if (FAttachment->PrepareHandle != 0 && FAttachment->Usable())
        FAttachment->Call(&TFbClient::isc_commit_transaction, status, &FAttachment->PrepareHandle);
    FAttachment->PrepareHandle = 0;
    status[1] = 0;
    FAttachment->Call(&TFbClient::isc_detach_database, status, &FAttachment->Handle);
    if (status[1] != 0 && !FAttachment->Lost) {
        try {
            FAttachment->Raise(status, NamePath());
        } catch (const EFirebirdError& error) {
            // After a network failure the attachment is gone whatever the client says.
            if (!error.ConnectionLost()) note();
        }
    }
    FAttachment->Handle = 0;
    FAttachment->Lost = false;
    FClosing = false;
    return firstError;
}

void TFbConnection::ConnectionLost(const EFirebirdError& error) {
    FAttachment->Lost = true;
    if (FClosing) return;  // the close under way drops the attachment
    if (FLostConnectHandler) {
        TLostConnectHandler handler = FLostConnectHandler;
        try {
            handler(*this, error);
        } catch (...) {
            // The operation that met the loss reports its own error.
        }
    }
    (void)Close();
}

int TFbConnection::AddDisconnectHandler(TDisconnectHandler handler) {
    int id = FNextHandlerId++;
    FDisconnectHandlers.push_back({id, std::move(handler)});
    return id;
}

void TFbConnection::RemoveDisconnectHandler(int id) {
    FDisconnectHandlers.remove_if([id](const THandlerEntry& entry) { return entry.Id == id; });
}

}  // namespace keyrix
