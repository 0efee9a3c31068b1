#include "Services/SyncClients/VLHRM/Metrics.h"

#include "platform/PosixFiles.h"

#include <fmt/format.h>

#include <fcntl.h>

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace keyrix {

namespace {

constexpr std::string_view LastSuccessName = "keyrix_sync_last_success_timestamp_seconds";
// An earlier file larger than this is no file of ours.
constexpr std::size_t MaxMetricsFileBytes = 1024 * 1024;

double Seconds(std::chrono::system_clock::time_point when) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count()) /
           1000.0;
}

class TExposition {
public:
    // The HELP and TYPE lines of a metric; every one is a gauge: it says what the last run
    // was, not how often something happened since the start.
    void Family(std::string_view name, std::string_view help) {
        FText += fmt::format("# HELP {} {}\n# TYPE {} gauge\n", name, help, name);
    }
    void Sample(std::string_view name, std::string_view labels, double value) {
        FText += fmt::format("{}{}{}{} {}\n", name, labels.empty() ? "" : "{", labels, labels.empty() ? "" : "}",
                             Value(value));
    }
    std::string Text() && { return std::move(FText); }

private:
    // Whole numbers without a point, times with their milliseconds.
    static std::string Value(double value) {
        if (value == std::floor(value) && std::fabs(value) < 1e15) return fmt::format("{}", static_cast<std::int64_t>(value));
        return fmt::format("{:.3f}", value);
    }
    std::string FText;
};

}  // namespace

std::string MetricsText(const TRunSummary& s, std::optional<double> lastSuccess) {
    if (s.Outcome == TRunOutcome::Done && s.Committed) lastSuccess = Seconds(s.End);
    TExposition m;
    m.Family("keyrix_sync_last_run_end_timestamp_seconds", "When the last synchronisation run ended.");
    m.Sample("keyrix_sync_last_run_end_timestamp_seconds", "", Seconds(s.End));
    m.Family(LastSuccessName, "When the last run that was done and committed ended; 0: none is known.");
    m.Sample(LastSuccessName, "", lastSuccess.value_or(0));
    m.Family("keyrix_sync_outcome", "The last run's outcome: 1 for it, 0 for the others.");
    for (const TRunOutcome outcome : {TRunOutcome::Done, TRunOutcome::Guarded, TRunOutcome::FailedStartUp,
                                      TRunOutcome::FailedWork, TRunOutcome::FailedShutDown})
        m.Sample("keyrix_sync_outcome", fmt::format("outcome=\"{}\"", OutcomeName(outcome)), s.Outcome == outcome ? 1 : 0);
    m.Family("keyrix_sync_committed", "Whether the last run's pass was committed (1) or not (0).");
    m.Sample("keyrix_sync_committed", "", s.Committed ? 1 : 0);
    m.Family("keyrix_sync_dry_run", "Whether the last run was a dry run (1) or not (0).");
    m.Sample("keyrix_sync_dry_run", "", s.DryRun ? 1 : 0);

    m.Family("keyrix_sync_phase_duration_seconds", "How long each phase of the last run took; only the phases that ran.");
    const std::pair<const char*, std::int64_t> phases[] = {{"startUp", s.StartUpMs},
                                                           {"download", s.DownloadMs},
                                                           {"hrmImport", s.HrmImportMs},
                                                           {"cardHolderImport", s.CardHolderImportMs},
                                                           {"shutDown", s.ShutDownMs}};
    for (const auto& [phase, ms] : phases)
        if (ms >= 0)
            m.Sample("keyrix_sync_phase_duration_seconds", fmt::format("phase=\"{}\"", phase),
                     static_cast<double>(ms) / 1000.0);
    if (s.FeedBytes >= 0) {
        m.Family("keyrix_sync_feed_bytes", "The size of the last run's HRM feed.");
        m.Sample("keyrix_sync_feed_bytes", "", static_cast<double>(s.FeedBytes));
    }

    m.Family("keyrix_sync_records",
             "The last run's counters per import; when keyrix_sync_committed is 0, what the pass attempted.");
    const std::pair<const char*, std::int64_t> hrm[] = {
        {"processed", s.HrmProcessed}, {"added", s.HrmAdded}, {"updated", s.HrmUpdated}, {"deleted", s.HrmDeleted}};
    for (const auto& [counter, value] : hrm)
        m.Sample("keyrix_sync_records", fmt::format("import=\"hrm\",counter=\"{}\"", counter), static_cast<double>(value));
    const std::pair<const char*, std::int64_t> cardHolders[] = {
        {"processed", s.BkProcessed}, {"updated", s.BkUpdated},       {"updatedSoyal", s.BkUpdatedSoyal},
        {"added", s.BkAdded},         {"addedSoyal", s.BkAddedSoyal}, {"associated", s.BkAssociated}};
    for (const auto& [counter, value] : cardHolders)
        m.Sample("keyrix_sync_records", fmt::format("import=\"cardholders\",counter=\"{}\"", counter),
                 static_cast<double>(value));

    // The mass-change guard's shares, when the pass measured them.
    const std::pair<const char*, const TGuardShare*> shares[] = {{"leavers", &s.Leavers}, {"unlinks", &s.Unlinks}};
    const auto each = [&](const char* name, const char* help, auto value) {
        bool any = false;
        for (const auto& [share, g] : shares) {
            if (!g->Measured) continue;
            if (!any) m.Family(name, help);
            any = true;
            m.Sample(name, fmt::format("share=\"{}\"", share), value(*g));
        }
    };
    each("keyrix_sync_guard_changes", "The users the last pass marked deleted (leavers) or unlinked (unlinks).",
         [](const TGuardShare& g) { return static_cast<double>(g.Count); });
    each("keyrix_sync_guard_base", "The users the share is taken of: active HRM-managed, or linked, before the pass.",
         [](const TGuardShare& g) { return static_cast<double>(g.Base); });
    each("keyrix_sync_guard_limit_ratio", "The guard's limit as a ratio; 0: off.",
         [](const TGuardShare& g) { return static_cast<double>(g.Limit) / 100.0; });
    each("keyrix_sync_guard_exceeded", "Whether the share went past the limit (1), which rolls the pass back.",
         [](const TGuardShare& g) { return g.Exceeded() ? 1.0 : 0.0; });
    return std::move(m).Text();
}

std::optional<double> LastSuccessOf(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + at, end - at);
        at = end + 1;
        if (line.size() <= LastSuccessName.size() || line.substr(0, LastSuccessName.size()) != LastSuccessName ||
            line[LastSuccessName.size()] != ' ')
            continue;
        const std::string number(line.substr(LastSuccessName.size() + 1));
        char* stop = nullptr;
        const double value = std::strtod(number.c_str(), &stop);
        if (stop == number.c_str() || *stop != '\0' || !std::isfinite(value) || value <= 0) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::optional<double> ReadLastSuccess(const std::string& path) {
    std::string text;
    if (platform::ReadSmallFile(path, O_NOFOLLOW, MaxMetricsFileBytes, text) != 0) return std::nullopt;
    return LastSuccessOf(text);
}

void WriteMetricsFile(const std::string& path, const TRunSummary& summary) {
    // node_exporter runs as an account of its own; the figures name nobody.
    WriteReportFile({path, "metrics file", 0644, ""}, MetricsText(summary, ReadLastSuccess(path)));
}

}  // namespace keyrix
