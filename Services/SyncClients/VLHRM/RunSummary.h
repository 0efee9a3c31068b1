// The record of one run: its outcome, times, feed size, the counters of both imports and the
// changes of the pass, written as JSON, as journal fields and as the service's status text.
#pragma once

#include "setup/SetupWindow.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace keyrix {

// What a pass changes, per kind, with the first employee numbers of each.
enum class TChangeKind : std::size_t {
    UserAdded,
    UserUpdated,
    UserMarkedDeleted,
    UserLinked,
    UserUnlinked,
    AccountAdded,
    AccountUpdated,
    CardAdded,
    CardUpdated,
};
inline constexpr std::size_t ChangeKindCount = 9;
// How many employee numbers a kind keeps: enough to recognise the change, little enough to read.
inline constexpr std::size_t ReportedEmployees = 10;

// "usersAdded", ...: the JSON key and, upper-cased with '_', the journal field's stem.
const char* ChangeKindKey(TChangeKind kind);
// "users added", ...: the words of the change report.
const char* ChangeKindWords(TChangeKind kind);

struct TChangeList {
    std::int64_t Count = 0;
    std::vector<std::string> First;  // employee numbers, in the order met
};

class TChangeReport {
public:
    void Add(TChangeKind kind, const std::string& employeeNumber);
    const TChangeList& Of(TChangeKind kind) const { return FLists[static_cast<std::size_t>(kind)]; }

private:
    std::array<TChangeList, ChangeKindCount> FLists;
};

// The changes of one record, kept apart until the record's work stays: a record rolled back
// to its savepoint leaves no trace in the report.
class TPendingChanges {
public:
    void Add(TChangeKind kind, const std::string& employeeNumber) { FItems.emplace_back(kind, employeeNumber); }
    void MoveTo(TChangeReport& report) {
        for (const auto& [kind, employee] : FItems) report.Add(kind, employee);
        FItems.clear();
    }
    void Clear() { FItems.clear(); }

private:
    std::vector<std::pair<TChangeKind, std::string>> FItems;
};

// A share that the mass-change guard checks: Count of Base, against Limit percent.
struct TGuardShare {
    bool Measured = false;
    std::int64_t Count = 0, Base = 0;
    std::int32_t Limit = 0;  // 0: off
    // At the limit passes; one past it fails. Exact in integers: Count/Base > Limit/100.
    bool Exceeded() const { return Limit > 0 && Count * 100 > static_cast<std::int64_t>(Limit) * Base; }
};

// Running is what the file says while a run is under way: a run that was killed leaves it.
enum class TRunOutcome { Done, Guarded, FailedStartUp, FailedWork, FailedShutDown, Running };
// "done", "guarded", "failed-startup", "failed-work", "failed-shutdown", "running".
const char* OutcomeName(TRunOutcome outcome);

struct TRunSummary {
    TRunOutcome Outcome = TRunOutcome::Done;
    std::string ErrorClass, ErrorMessage;  // of the failure; ANSI texts
    bool DryRun = false;
    // The pass's work was committed; the counters of a pass that failed, was guarded or
    // was a dry run tell what it did before it was rolled back.
    bool Committed = false;
    std::chrono::system_clock::time_point Start, End;
    // Milliseconds of each phase; -1 for a phase that did not run.
    std::int64_t StartUpMs = -1, DownloadMs = -1, HrmImportMs = -1, CardHolderImportMs = -1, ShutDownMs = -1;
    std::int64_t FeedBytes = -1;  // -1: nothing downloaded
    // The checks the HRM server's certificate passed ("none", "authority", "pin", "both";
    // empty when no download succeeded), and the pin of its public key (empty when no
    // certificate was seen).
    std::string CertificateCheck, ServerPin;
    // The HRM import's counters.
    std::int64_t HrmProcessed = 0, HrmAdded = 0, HrmUpdated = 0, HrmDeleted = 0;
    // The card-holder import's counters.
    std::int64_t BkProcessed = 0, BkUpdated = 0, BkUpdatedSoyal = 0, BkAdded = 0, BkAddedSoyal = 0,
                 BkAssociated = 0;
    TChangeReport Changes;
    TGuardShare Leavers, Unlinks;
    // Audit events a dry run left out.
    std::int64_t AuditEventsSkipped = 0;
    // The ages at which the check command warns and reports a failure, in minutes.
    std::int32_t WarningAgeMinutes = TSetup::DefaultWarningAgeMinutes;
    std::int32_t CriticalAgeMinutes = TSetup::DefaultCriticalAgeMinutes;
};

// "committed" when the pass's work stayed; "attempted" otherwise (a pass that failed, was
// guarded or was a dry run, or none at all): the counters and the changes then tell what
// the pass did before it was rolled back, and none of it is in the database.
const char* FiguresName(const TRunSummary& summary);

// The JSON document (UTF-8), one object, ended by a line feed.
std::string SummaryJson(const TRunSummary& summary);
// A JSON string literal of an ANSI text: converted to UTF-8, quotes, backslashes and
// control characters escaped.
std::string JsonString(std::string_view ansiText);
// The journal entry's text (ANSI): the outcome, the error and the main counters on one line.
std::string SummaryMessage(const TRunSummary& summary);
// The journal entry's fields, KEYRIX_OUTCOME first (ANSI values).
std::vector<std::pair<std::string, std::string>> SummaryFields(const TRunSummary& summary);
// The service's status text: the outcome and the time it ended.
std::string SummaryStatus(const TRunSummary& summary);
// The change report's lines, one per kind.
std::vector<std::string> ChangeReportLines(const TRunSummary& summary);

// How a report file is replaced: its mode, and the group it is given (none: the process's).
struct TReportFile {
    std::string Path;
    const char* What = "run summary";  // for the error: "Cannot write the <what> ..."
    mode_t Mode = 0600;
    std::string Group;
};

// Replaces the file with the text: a temporary file beside it (mode 0600 from creation,
// then the file's group and mode), flushed, then renamed over it. When that fails, the
// previous file is removed (which needs no free space), so that no reader takes the last
// run's report for this one's; raises EWriteError naming the file.
void WriteReportFile(const TReportFile& file, const std::string& text);
// The run summary: mode 0600, or 0640 with the group when one is named.
void WriteSummaryFile(const std::string& path, const std::string& text, const std::string& group = "");

}  // namespace keyrix
