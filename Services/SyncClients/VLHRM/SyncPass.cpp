// One synchronisation pass: both imports in one write transaction, committed once.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/HttpClient.h"
#include "common/Exceptions.h"
#include "db/DBUtils.h"
#include "db/FbErrors.h"
#include "service/SvcConsole.h"

#include <mutex>

namespace keyrix {

namespace {

enum class TPassErrorKind { Socket, HttpProtocol, Database, Other };

TPassErrorKind KindOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ESocketError&) {
        return TPassErrorKind::Socket;
    } catch (const EHttpProtocolError&) {
        return TPassErrorKind::HttpProtocol;
    } catch (const EDatabaseError&) {
        return TPassErrorKind::Database;
    } catch (...) {
        return TPassErrorKind::Other;
    }
}

// The crash report: an error entry naming the error, its message and where it was made.
void ReportCrash(const std::exception_ptr& error) {
    std::string trace;
    TErrorInfo info;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        info = DescribeException(e);
        trace = StackTraceOf(e);
    } catch (...) {
        info = DescribeCurrentException();
    }
    ServiceLogError(Format("Crash report: %s\r\n%s\r\nRaised at:\r\n%s", info.ClassName, info.Message,
                           trace.empty() ? std::string("(no stack trace)\r\n") : trace));
}

}  // namespace

void TDataModule1::SyncPass() {
    std::exception_ptr failure;
    try {
        std::lock_guard guard(dbutils::DatabaseLock());
        PassTransaction = dbutils::NewWriteTransaction();
        ImportHrmUsers();
        ImportCardHolders();
        dbutils::CommitIfActive(PassTransaction);
    } catch (...) {
        failure = std::current_exception();
    }
    ReleaseHttpClient();
    if (!failure) return;

    const TPassErrorKind kind = KindOf(failure);
    if (kind != TPassErrorKind::Socket && kind != TPassErrorKind::HttpProtocol) ReportCrash(failure);
    if (kind != TPassErrorKind::Database) {
        TErrorInfo info;
        try {
            std::rethrow_exception(failure);
        } catch (...) {
            info = DescribeCurrentException();
        }
        try {
            LogAuditEvent(TValue(), 26, TValue("HRM sync failed!"), TValue(info.ClassName + "\r\n" + info.Message));
        } catch (...) {
            // The pass's own error is the one to pass on; the lost audit event is reported.
            ServiceLogError(Format("Audit event could not be recorded: %s", DescribeCurrentException().Message));
        }
    }
    std::rethrow_exception(failure);
}

}  // namespace keyrix
