// The HRM user import: employees of the feed become or update users, join their company
// and site groups, and leavers are marked deleted.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/FeedCopy.h"
#include "Services/SyncClients/VLHRM/HrmFeedRecords.h"
#include "Services/SyncClients/VLHRM/Progress.h"
#include "Services/SyncClients/VLHRM/RecordFrame.h"
#include "Services/SyncClients/VLHRM/Statements.h"
#include "common/Debug.h"
#include "common/Exceptions.h"
#include "common/ScopeGuard.h"
#include "common/TextUtils.h"
#include "db/DBUtils.h"
#include "platform/Env.h"
#include "platform/Process.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

namespace keyrix {

namespace {

using namespace statements::hrm_import;

const char* const EmployeeSavepoint = "user_create_ok";

// The counters of the employees whose work is kept, and of the one in hand.
struct THrmCounters {
    std::int32_t Added = 0, Updated = 0;
};

bool HasDigit(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The department of a company: the first department whose name contains "(<number>)".
std::string DepartmentKey(std::int32_t companyNumber) {
    if (companyNumber == 0) return "(default)";
    std::string key = "(";
    key += std::to_string(companyNumber);
    key += ')';
    return key;
}

TValue NullIfNone(const std::optional<std::string>& text) { return text ? TValue(*text) : TValue(); }
TValue NullIfNone(const std::optional<TDateTime>& date) { return date ? TValue(*date) : TValue(); }

// A copy of the feed for looking into a debug run, written whole or not at all.
void SaveDebugCopy(const TKeyrixMemoryStream& body) {
    SaveFeedCopy(platform::ExecutableDirectory() + "GetBrakonData.xml", body.View());
}

}  // namespace

void TDataModule1::ImportHrmUsers() {
    if (!Settings().HrmImportEnabled) {
        SyncLogInfo("HRM import disabled");
        return;
    }

    const std::uint32_t fetchStart = platform::Env().Ticks();
    std::unique_ptr<TKeyrixMemoryStream> body;
    try {
        HttpGetFeed(body);
        Summary.FeedBytes = static_cast<std::int64_t>(body->Size());
        SyncLogInfo("HRM fetched %d bytes XML data", static_cast<std::int64_t>(body->Size()));
        if (DebugMode) SaveDebugCopy(*body);
    } catch (...) {
        const TErrorInfo error = DescribeCurrentException();
        SyncLogInfo("HRM fetch error %s: %s", error.ClassName, error.Message);
        throw;
    }
    Summary.DownloadMs = TicksSince(fetchStart, platform::Env().Ticks());
    SyncLogInfo("HRM users fetch took: %dms", TicksSince(fetchStart, platform::Env().Ticks()));

    dbutils::PQuery match = dbutils::CachedQuery(MatchUserHandle, MatchSql, "Sync", PassTransaction);
    dbutils::PQuery insert = dbutils::CachedWriteQuery(InsertUserHandle, InsertSql, "Sync", PassTransaction);
    dbutils::PQuery update = dbutils::CachedWriteQuery(UpdateUserHandle, UpdateSql, "Sync", PassTransaction);
    const std::uint32_t importStart = platform::Env().Ticks();
    std::int32_t processed = 0;
    THrmGroupCache groups;
    TProgressLine progress("HRM import", TProgressLine::WantedOnStandardOutput(), STDOUT_FILENO);
    Progress = &progress;
    TScopeGuard noProgress([this] { Progress = nullptr; });
    // The savepoint comes just before the employee's first write (BeforeEmployeeWrite): most
    // employees of a pass only read.
    TRecordFrame<THrmEmployee, THrmCounters> employees(
        PassTransaction, EmployeeSavepoint, EmployeeSavepointSet, Summary.Changes,
        {[this](const THrmEmployee& e, const std::string& message) {
             SyncLogError("HRM sync error for employee %s: %s", VisibleText(e.EmployeeNumber), message);
         },
         [this](const THrmEmployee& e, const std::string& message) {
             LogAuditEvent(TValue(), 11, TValue("Sync trouble (HRM)"),
                           TValue(Format("Employee: %s; Msg: %s", e.EmployeeNumber, message)));
         }},
        [this](const THrmCounters& counters) {
            Summary.HrmAdded = counters.Added;
            Summary.HrmUpdated = counters.Updated;
        });
    THrmCounters& counters = employees.Counters;
    TScopeGuard count([&] {
        Summary.HrmImportMs = TicksSince(importStart, platform::Env().Ticks());
        Summary.HrmProcessed = processed;
    });

    TFeedReader reader = TFeedReader::FromMemory(body->View(), HrmRootName, HrmRecordName, Settings().HrmUrl);
    while (reader.Next()) {
        if (reader.IsEmptyElement()) continue;  // a tag that closes itself is no record
        employees.Begin();
        ++processed;
        progress.Update(processed);
        const THrmEmployee e = ReadHrmEmployee(reader);
        if (e.EmployeeNumber.empty()) continue;
        if (e.EmployeeNumber.size() > MaxEmployeeNumberLength) {
            // Cut, it would be another employee's number: the record is refused, nothing written.
            employees.Refuse(e, Format("the employee number is longer than %d characters",
                                       static_cast<std::int64_t>(MaxEmployeeNumberLength)));
            continue;
        }
        const std::string key = DepartmentKey(e.CompanyNumber);
        const TValue companyId = e.CompanyNumber != 0 ? TValue(e.CompanyNumber) : TValue();
        const bool kept = employees.Run(e, [&] {
            match->ExecuteWith({e.FirstName, e.LastName, NullIfNone(e.Email), e.Occupation,
                                NullIfNone(e.TerminationDate), companyId, e.CompanyName, key, e.EmployeeNumber});
            if (match->Eof()) {
                // Leavers and names with digits are not created.
                if (e.TerminationDate || HasDigit(e.FirstName) || HasDigit(e.LastName)) return;
                const std::int64_t id =
                    dbutils::CachedGeneratorValue(NewUserIdHandle, "GEN_USERS_ID", 1, "Sync", PassTransaction);
                BeforeEmployeeWrite();
                insert->ExecuteWith({id, e.FirstName, e.LastName, NullIfNone(e.Email), e.Occupation,
                                     e.EmployeeNumber, companyId, e.CompanyName, key});
                AddToCompanySiteGroups(groups, e.CompanyNumber, e.SiteNumber, e.CompanyName, e.SiteName, id);
                ++counters.Added;
                employees.Changes.Add(TChangeKind::UserAdded, e.EmployeeNumber);
                return;
            }
            // Read the matches first: the group statements run between them.
            std::vector<std::pair<std::int64_t, bool>> rows;
            for (; !match->Eof(); match->NextRow())
                rows.emplace_back(match->FieldByName("ID").AsInt64(), match->FieldByName("CHANGED").AsInteger() == 1);
            for (const auto& [id, changed] : rows) {
                if (changed) {
                    BeforeEmployeeWrite();
                    update->ExecuteWith({e.FirstName, e.LastName, NullIfNone(e.Email), e.Occupation,
                                         NullIfNone(e.TerminationDate), companyId, e.CompanyName, key, id});
                    ++counters.Updated;
                    employees.Changes.Add(TChangeKind::UserUpdated, e.EmployeeNumber);
                }
                AddToCompanySiteGroups(groups, e.CompanyNumber, e.SiteNumber, e.CompanyName, e.SiteName, id);
            }
        });
        // A group made for an employee rolled back went with it: its id must not be offered
        // to the next employees.
        if (!kept) groups = THrmGroupCache();
    }

    employees.Keep();
    progress.Erase();

    dbutils::TQueryScope closing(dbutils::NewQuery(PassTransaction), false);
    closing->SetSQL(RemoveLeaversFromGroupsSql);
    closing->Prepare();
    closing->ExecuteWith();
    closing->SetSQL(MarkLeaversDeletedSql);
    closing->Prepare();
    closing->ExecuteWith();
    const std::int64_t deleted = closing->RowCounts().Updated;
    closing.Free();

    Summary.HrmDeleted = deleted;
    SyncLogDebug("HRM users import took: %dms", TicksSince(importStart, platform::Env().Ticks()));
    SyncLogDebug("Processed records: %d", processed);
    SyncLogDebug("Updated records: %d", counters.Updated);
    SyncLogDebug("Added records: %d", counters.Added);
    SyncLogDebug("Deleted records: %d", deleted);
}

void TDataModule1::BeforeEmployeeWrite() {
    if (EmployeeSavepointSet) return;
    PassTransaction->SetSavepoint(EmployeeSavepoint);
    EmployeeSavepointSet = true;
}

}  // namespace keyrix
