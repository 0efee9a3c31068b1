#include "Services/SyncClients/VLHRM/RunSummary.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/CodePage.h"
#include "platform/Env.h"
#include "platform/PosixFiles.h"

#include <ctime>

namespace keyrix {

namespace {

struct TKindNames {
    const char* Key;
    const char* Field;
    const char* Words;
};

constexpr TKindNames KindNames[ChangeKindCount] = {
    {"usersAdded", "USERS_ADDED", "users added"},
    {"usersUpdated", "USERS_UPDATED", "users updated"},
    {"usersMarkedDeleted", "USERS_MARKED_DELETED", "users marked deleted"},
    {"usersLinked", "USERS_LINKED", "users linked"},
    {"usersUnlinked", "USERS_UNLINKED", "users unlinked"},
    {"accountsAdded", "ACCOUNTS_ADDED", "keypad accounts added"},
    {"accountsUpdated", "ACCOUNTS_UPDATED", "keypad accounts updated"},
    {"cardsAdded", "CARDS_ADDED", "access cards added"},
    {"cardsUpdated", "CARDS_UPDATED", "access cards updated"},
};

// The kinds whose figures cost extra reads (the state before the pass, the adoptions' row
// counts); they count only when a dry run or a guard measured them.
bool NeedsMeasure(TChangeKind kind, const TRunSummary& s) {
    if (kind == TChangeKind::UserMarkedDeleted) return s.Leavers.Measured;
    if (kind == TChangeKind::UserUnlinked || kind == TChangeKind::UserLinked) return s.Unlinks.Measured;
    return true;
}

// Local time with its offset, as ISO 8601: "2024-05-01T06:00:00.123+02:00".
std::string IsoTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[40], zone[8];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);  // "+0200"
    std::string z = zone;
    if (z.size() == 5) z.insert(3, ":");
    return Format("%s.%.3d%s", std::string(stamp), static_cast<std::int64_t>(millis < 0 ? millis + 1000 : millis), z);
}

std::string Number(std::int64_t value) { return std::to_string(value); }
// A phase time or a size that may be missing: null in JSON.
std::string NumberOrNull(std::int64_t value) { return value < 0 ? "null" : std::to_string(value); }

std::string StringOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

}  // namespace

const char* ChangeKindKey(TChangeKind kind) { return KindNames[static_cast<std::size_t>(kind)].Key; }
const char* ChangeKindWords(TChangeKind kind) { return KindNames[static_cast<std::size_t>(kind)].Words; }

void TChangeReport::Add(TChangeKind kind, const std::string& employeeNumber) {
    TChangeList& list = FLists[static_cast<std::size_t>(kind)];
    ++list.Count;
    if (list.First.size() < ReportedEmployees) list.First.push_back(employeeNumber);
}

const char* FiguresName(const TRunSummary& summary) { return summary.Committed ? "committed" : "attempted"; }

const char* OutcomeName(TRunOutcome outcome) {
    switch (outcome) {
        case TRunOutcome::Guarded: return "guarded";
        case TRunOutcome::FailedStartUp: return "failed-startup";
        case TRunOutcome::FailedWork: return "failed-work";
        case TRunOutcome::FailedShutDown: return "failed-shutdown";
        case TRunOutcome::Running: return "running";
        case TRunOutcome::Done: break;
    }
    return "done";
}

std::string JsonString(std::string_view ansiText) {
    // The texts of the system are Windows-1252: every byte maps to a character, so the
    // converted text is valid UTF-8 whatever it held.
    const std::string text = platform::AnsiToUtf8(ansiText);
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7F)
                    out += Format("\\u%.4x", static_cast<std::int64_t>(byte));
                else
                    out += c;
        }
    }
    out += '"';
    return out;
}

std::string SummaryJson(const TRunSummary& s) {
    std::string j = "{\n";
    j += "  \"outcome\": " + JsonString(OutcomeName(s.Outcome)) + ",\n";
    j += std::string("  \"dryRun\": ") + (s.DryRun ? "true" : "false") + ",\n";
    j += std::string("  \"committed\": ") + (s.Committed ? "true" : "false") + ",\n";
    j += "  \"figures\": " + JsonString(FiguresName(s)) + ",\n";
    const bool failed = !s.ErrorClass.empty();
    j += "  \"errorClass\": " + (failed ? JsonString(s.ErrorClass) : std::string("null")) + ",\n";
    j += "  \"errorMessage\": " + (failed ? JsonString(s.ErrorMessage) : std::string("null")) + ",\n";
    j += "  \"start\": " + JsonString(IsoTime(s.Start)) + ",\n";
    j += "  \"end\": " + (s.Outcome == TRunOutcome::Running ? std::string("null") : JsonString(IsoTime(s.End))) +
         ",\n";
    j += "  \"phasesMs\": {\"startUp\": " + NumberOrNull(s.StartUpMs) + ", \"download\": " +
         NumberOrNull(s.DownloadMs) + ", \"hrmImport\": " + NumberOrNull(s.HrmImportMs) +
         ", \"cardHolderImport\": " + NumberOrNull(s.CardHolderImportMs) + ", \"shutDown\": " +
         NumberOrNull(s.ShutDownMs) + "},\n";
    j += "  \"feedBytes\": " + NumberOrNull(s.FeedBytes) + ",\n";
    j += "  \"certificate\": {\"check\": " + StringOrNull(s.CertificateCheck) + ", \"serverPin\": " +
         StringOrNull(s.ServerPin) + "},\n";
    j += "  \"hrm\": {\"processed\": " + Number(s.HrmProcessed) + ", \"added\": " + Number(s.HrmAdded) +
         ", \"updated\": " + Number(s.HrmUpdated) + ", \"deleted\": " + Number(s.HrmDeleted) + "},\n";
    j += "  \"cardHolders\": {\"processed\": " + Number(s.BkProcessed) + ", \"updated\": " + Number(s.BkUpdated) +
         ", \"updatedSoyal\": " + Number(s.BkUpdatedSoyal) + ", \"added\": " + Number(s.BkAdded) +
         ", \"addedSoyal\": " + Number(s.BkAddedSoyal) + ", \"associated\": " + Number(s.BkAssociated) + "},\n";
    j += "  \"changes\": {";
    for (std::size_t i = 0; i < ChangeKindCount; ++i) {
        const auto kind = static_cast<TChangeKind>(i);
        j += i == 0 ? "\n" : ",\n";
        j += "    " + JsonString(ChangeKindKey(kind)) + ": ";
        if (!NeedsMeasure(kind, s)) {
            j += "null";
            continue;
        }
        const TChangeList& list = s.Changes.Of(kind);
        j += "{\"count\": " + Number(list.Count) + ", \"first\": [";
        for (std::size_t k = 0; k < list.First.size(); ++k) j += (k == 0 ? "" : ", ") + JsonString(list.First[k]);
        j += "]}";
    }
    j += "\n  },\n";
    const auto share = [](const TGuardShare& g) {
        if (!g.Measured) return std::string("null");
        return "{\"count\": " + Number(g.Count) + ", \"base\": " + Number(g.Base) + ", \"limitPercent\": " +
               Number(g.Limit) + ", \"exceeded\": " + (g.Exceeded() ? "true" : "false") + "}";
    };
    j += "  \"guard\": {\"leavers\": " + share(s.Leavers) + ", \"unlinks\": " + share(s.Unlinks) + "},\n";
    j += "  \"auditEventsSkipped\": " + Number(s.AuditEventsSkipped) + ",\n";
    j += "  \"monitoring\": {\"warningAgeMinutes\": " + Number(s.WarningAgeMinutes) +
         ", \"criticalAgeMinutes\": " + Number(s.CriticalAgeMinutes) + "}\n";
    j += "}\n";
    return j;
}

std::string SummaryMessage(const TRunSummary& s) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(s.End - s.Start).count();
    std::string text = Format("Sync summary%s: %s in %d ms", std::string(s.DryRun ? " (dry run)" : ""),
                              std::string(OutcomeName(s.Outcome)), static_cast<std::int64_t>(ms));
    if (!s.ErrorClass.empty()) text += Format(" (%s: %s)", s.ErrorClass, s.ErrorMessage);
    text += Format("; HRM: %d processed, %d added, %d updated, %d deleted", s.HrmProcessed, s.HrmAdded, s.HrmUpdated,
                   s.HrmDeleted);
    text += Format("; BK: %d processed, %d accounts and %d cards added, %d accounts and %d cards updated",
                   s.BkProcessed, s.BkAdded, s.BkAddedSoyal, s.BkUpdated, s.BkUpdatedSoyal);
    return text;
}

std::vector<std::pair<std::string, std::string>> SummaryFields(const TRunSummary& s) {
    std::vector<std::pair<std::string, std::string>> f;
    f.emplace_back("KEYRIX_OUTCOME", OutcomeName(s.Outcome));
    f.emplace_back("KEYRIX_DRY_RUN", s.DryRun ? "1" : "0");
    f.emplace_back("KEYRIX_COMMITTED", s.Committed ? "1" : "0");
    f.emplace_back("KEYRIX_FIGURES", FiguresName(s));
    if (!s.ErrorClass.empty()) {
        f.emplace_back("KEYRIX_ERROR_CLASS", s.ErrorClass);
        f.emplace_back("KEYRIX_ERROR_MESSAGE", s.ErrorMessage);
    }
    f.emplace_back("KEYRIX_START", IsoTime(s.Start));
    f.emplace_back("KEYRIX_END", IsoTime(s.End));
    const auto optional = [&f](const char* name, std::int64_t value) {
        if (value >= 0) f.emplace_back(name, std::to_string(value));
    };
    optional("KEYRIX_STARTUP_MS", s.StartUpMs);
    optional("KEYRIX_DOWNLOAD_MS", s.DownloadMs);
    optional("KEYRIX_HRM_IMPORT_MS", s.HrmImportMs);
    optional("KEYRIX_CARDHOLDER_IMPORT_MS", s.CardHolderImportMs);
    optional("KEYRIX_SHUTDOWN_MS", s.ShutDownMs);
    optional("KEYRIX_FEED_BYTES", s.FeedBytes);
    if (!s.CertificateCheck.empty()) f.emplace_back("KEYRIX_CERTIFICATE_CHECK", s.CertificateCheck);
    if (!s.ServerPin.empty()) f.emplace_back("KEYRIX_SERVER_PIN", s.ServerPin);
    f.emplace_back("KEYRIX_PROCESSED", Number(s.HrmProcessed));
    f.emplace_back("KEYRIX_ADDED", Number(s.HrmAdded));
    f.emplace_back("KEYRIX_UPDATED", Number(s.HrmUpdated));
    f.emplace_back("KEYRIX_DELETED", Number(s.HrmDeleted));
    f.emplace_back("KEYRIX_BK_PROCESSED", Number(s.BkProcessed));
    f.emplace_back("KEYRIX_BK_UPDATED", Number(s.BkUpdated));
    f.emplace_back("KEYRIX_BK_UPDATED_SOYAL", Number(s.BkUpdatedSoyal));
    f.emplace_back("KEYRIX_BK_ADDED", Number(s.BkAdded));
    f.emplace_back("KEYRIX_BK_ADDED_SOYAL", Number(s.BkAddedSoyal));
    f.emplace_back("KEYRIX_BK_ASSOCIATED", Number(s.BkAssociated));
    for (std::size_t i = 0; i < ChangeKindCount; ++i) {
        const auto kind = static_cast<TChangeKind>(i);
        if (NeedsMeasure(kind, s))
            f.emplace_back(std::string("KEYRIX_") + KindNames[i].Field, Number(s.Changes.Of(kind).Count));
    }
    const auto share = [&f](const char* stem, const TGuardShare& g) {
        if (!g.Measured) return;
        f.emplace_back(std::string("KEYRIX_") + stem + "_BASE", Number(g.Base));
        f.emplace_back(std::string("KEYRIX_") + stem + "_LIMIT_PERCENT", Number(g.Limit));
    };
    share("LEAVERS", s.Leavers);
    share("UNLINKS", s.Unlinks);
    if (s.DryRun) f.emplace_back("KEYRIX_AUDIT_EVENTS_SKIPPED", Number(s.AuditEventsSkipped));
    return f;
}

std::string SummaryStatus(const TRunSummary& s) {
    std::string text = Format("Last sync%s: %s at %s", std::string(s.DryRun ? " (dry run)" : ""),
                              std::string(OutcomeName(s.Outcome)), IsoTime(s.End));
    if (!s.ErrorClass.empty()) text += Format(" (%s)", s.ErrorClass);
    text += Format(", %d added, %d updated, %d deleted", s.HrmAdded, s.HrmUpdated, s.HrmDeleted);
    return text;
}

std::vector<std::string> ChangeReportLines(const TRunSummary& s) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < ChangeKindCount; ++i) {
        const auto kind = static_cast<TChangeKind>(i);
        if (!NeedsMeasure(kind, s)) continue;
        const TChangeList& list = s.Changes.Of(kind);
        std::string line = Format("Dry run: %d %s", list.Count, std::string(ChangeKindWords(kind)));
        for (std::size_t k = 0; k < list.First.size(); ++k) line += (k == 0 ? ": " : ", ") + VisibleText(list.First[k]);
        if (list.Count > static_cast<std::int64_t>(list.First.size())) line += ", ...";
        lines.push_back(std::move(line));
    }
    return lines;
}

void WriteReportFile(const TReportFile& target, const std::string& text) {
    const std::string& path = target.Path;
    const auto refuse = [&](const std::string& reason, bool removed) {
        throw EWriteError(Format("Cannot write the %s \"%s\" %s%s", std::string(target.What), path, reason,
                                 std::string(removed ? "; the previous file was removed" : "")));
    };
    // A reader must not take the last run's file for this run's: on failure it goes, and its
    // absence says that something is wrong.
    platform::TReplaceOptions options;
    if (target.Mode != 0600) options.Mode = target.Mode;
    options.RemovePreviousOnFailure = true;
    if (!target.Group.empty()) {
        unsigned group = 0;
        if (!platform::GroupIdOf(target.Group, group))
            refuse(Format("for the group \"%s\": there is no such group", target.Group),
                   platform::Env().Unlink(path) == 0);
        options.Group = static_cast<gid_t>(group);
    }
    const platform::TReplaceResult result = platform::ReplaceFile(path, text, options);
    // The rename itself reaches the disk; a folder that cannot be flushed loses no data.
    if (result.Error == 0 || result.Step == platform::TReplaceStep::FlushFolder) return;
    std::string step;
    switch (result.Step) {
        case platform::TReplaceStep::Create: step = "create"; break;
        case platform::TReplaceStep::Owner: step = Format("give the group \"%s\" to", target.Group); break;
        case platform::TReplaceStep::Mode: step = "set the mode of"; break;
        case platform::TReplaceStep::Write: step = "write"; break;
        case platform::TReplaceStep::Flush: step = "flush"; break;
        case platform::TReplaceStep::Close: step = "close"; break;
        default: step = "rename"; break;
    }
    refuse(Format("(%s \"%s\"): %s", step, result.Temporary, SysErrorMessage(result.Error)), result.PreviousRemoved);
}

void WriteSummaryFile(const std::string& path, const std::string& text, const std::string& group) {
    // The summary names employees: the owner's alone, or a monitoring group's to read.
    WriteReportFile({path, "run summary", static_cast<mode_t>(group.empty() ? 0600 : 0640), group}, text);
}

}  // namespace keyrix
