// One synchronisation pass: both imports in one write transaction, committed once.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/HttpClient.h"
#include "Services/SyncClients/VLHRM/Statements.h"
#include "common/Exceptions.h"
#include "db/DBUtils.h"
#include "db/FbErrors.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"

#include <algorithm>
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

using namespace statements::sync_pass;

bool Contains(const std::vector<std::int64_t>& sorted, std::int64_t id) {
    return std::binary_search(sorted.begin(), sorted.end(), id);
}

}  // namespace

void TDataModule1::ReadStateBeforePass() {
    FActiveBefore.clear();
    FLinkedBefore.clear();
    dbutils::TQueryScope query(dbutils::NewQuery(PassTransaction), false);
    query->SetSQL(StateBeforePassSql);
    query->Prepare();
    query->ExecuteWith();
    for (; !query->Eof(); query->NextRow()) {
        const std::int64_t id = query->FieldByName("ID").AsInt64();
        if (query->FieldByName("ACTIVE").AsInteger() == 1) FActiveBefore.push_back(id);
        if (query->FieldByName("LINKED").AsInteger() == 1) FLinkedBefore.push_back(id);
    }
    query.Free();
    std::sort(FActiveBefore.begin(), FActiveBefore.end());
    std::sort(FLinkedBefore.begin(), FLinkedBefore.end());
}

std::string TDataModule1::MeasureChanges() {
    dbutils::TQueryScope query(dbutils::NewQuery(PassTransaction), false);
    query->SetSQL(StateAfterPassSql);
    query->Prepare();
    query->ExecuteWith();
    for (; !query->Eof(); query->NextRow()) {
        const std::int64_t id = query->FieldByName("ID").AsInt64();
        const TFbField employee = query->FieldByName("EMPLOYEE_NUMBER");
        const std::string number = employee.IsNull() ? std::string() : employee.AsString();
        if (Summary.Leavers.Measured && query->FieldByName("DELETED").AsInteger() == 1 && Contains(FActiveBefore, id))
            Summary.Changes.Add(TChangeKind::UserMarkedDeleted, number);
        if (Summary.Unlinks.Measured && query->FieldByName("UNLINKED").AsInteger() == 1 && Contains(FLinkedBefore, id))
            Summary.Changes.Add(TChangeKind::UserUnlinked, number);
    }
    query.Free();
    Summary.Leavers.Base = static_cast<std::int64_t>(FActiveBefore.size());
    Summary.Leavers.Count = Summary.Changes.Of(TChangeKind::UserMarkedDeleted).Count;
    Summary.Unlinks.Base = static_cast<std::int64_t>(FLinkedBefore.size());
    Summary.Unlinks.Count = Summary.Changes.Of(TChangeKind::UserUnlinked).Count;

    std::string text;
    const TGuardShare& leavers = Summary.Leavers;
    const TGuardShare& unlinks = Summary.Unlinks;
    if (leavers.Exceeded())
        text += Format("the pass would mark %d of %d active HRM-managed users deleted, more than the limit of %d%% "
                       "(\"Safety\"/\"Maximum leavers percent\")",
                       leavers.Count, leavers.Base, leavers.Limit);
    if (unlinks.Exceeded())
        text += Format("%sthe pass would unlink %d of %d linked users, more than the limit of %d%% "
                       "(\"Safety\"/\"Maximum unlinks percent\")",
                       std::string(text.empty() ? "" : "; "), unlinks.Count, unlinks.Base, unlinks.Limit);
    return text;
}

void TDataModule1::SyncPass() {
    std::exception_ptr failure;
    std::string guarded;
    try {
        std::lock_guard guard(dbutils::DatabaseLock());
        PassTransaction = dbutils::NewWriteTransaction();
        Summary.Leavers.Limit = Settings().MaxLeaversPercent;
        Summary.Unlinks.Limit = Settings().MaxUnlinksPercent;
        // The shares cost two reads of the users: only when a preview or a guard needs them.
        Summary.Leavers.Measured = DryRun || Summary.Leavers.Limit > 0;
        Summary.Unlinks.Measured = DryRun || Summary.Unlinks.Limit > 0;
        const bool measured = Summary.Leavers.Measured || Summary.Unlinks.Measured;
        if (measured) ReadStateBeforePass();
        ImportHrmUsers();
        if (Settings().CardHolderImportEnabled) RecomputeIndexStatistics();
        ImportCardHolders();
        if (measured) guarded = MeasureChanges();
        if (DryRun || !guarded.empty()) {
            if (PassTransaction->IsActive()) PassTransaction->Rollback();
        } else {
            dbutils::CommitIfActive(PassTransaction);
            Summary.Committed = true;
        }
    } catch (...) {
        failure = std::current_exception();
    }
    ReleaseHttpClient();
    if (!failure) {
        if (!guarded.empty()) {
            Summary.Outcome = TRunOutcome::Guarded;
            ServiceLogError("Mass-change guard: " + guarded + "; the pass was rolled back");
            try {
                LogAuditEvent(TValue(), 26, TValue("HRM sync guarded!"),
                              TValue(Format("Leavers %d of %d, limit %d%%; unlinks %d of %d, limit %d%%",
                                            Summary.Leavers.Count, Summary.Leavers.Base, Summary.Leavers.Limit,
                                            Summary.Unlinks.Count, Summary.Unlinks.Base, Summary.Unlinks.Limit)));
            } catch (...) {
                ServiceLogError(Format("Audit event could not be recorded: %s", DescribeCurrentException().Message));
            }
        }
        if (DryRun) {
            for (const std::string& line : ChangeReportLines(Summary)) SyncLogInfo("%s", line);
            ServiceLogInfo("Dry run: the pass was rolled back; nothing was written to the database");
        }
        return;
    }

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
