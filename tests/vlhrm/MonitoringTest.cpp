// What monitoring reads: the metrics file for node_exporter's textfile collector, and the
// check command's answer for a summary of each outcome and age.
#include "Services/SyncClients/VLHRM/Check.h"
#include "Services/SyncClients/VLHRM/Metrics.h"
#include "common/Exceptions.h"
#include "tests/TestSupport.h"
#include "tests/vlhrm/ExecutableFixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

using namespace keyrix;
using namespace keyrix::test;

namespace {

using TClock = std::chrono::system_clock;
// 2025-12-11T08:00:00Z
const TClock::time_point Morning = TClock::from_time_t(1765440000);

TRunSummary DoneRun() {
    TRunSummary s;
    s.Committed = true;
    s.Start = Morning;
    s.End = Morning + std::chrono::milliseconds(38200);
    s.StartUpMs = 120;
    s.DownloadMs = 800;
    s.HrmImportMs = 18100;
    s.CardHolderImportMs = 19000;
    s.ShutDownMs = 30;
    s.FeedBytes = 4096;
    s.HrmProcessed = 20000;
    s.HrmAdded = 12;
    s.HrmUpdated = 3;
    s.HrmDeleted = 1;
    s.BkProcessed = 300;
    s.BkUpdated = 4;
    s.BkUpdatedSoyal = 5;
    s.BkAdded = 6;
    s.BkAddedSoyal = 2;
    s.BkAssociated = 7;
    s.Leavers = {true, 1, 50, 10};
    return s;
}

// promtool's verdict on an exposition text: "" when it takes it.
std::string PromtoolComplaints(const std::string& text) {
    TTempDir dir;
    WriteFile(dir.File("m.prom"), text);
    const TCommandResult r = RunCommand("promtool check metrics < '" + dir.File("m.prom") + "' 2>&1");
    return r.ExitCode == 0 && r.Output.empty() ? "" : "exit " + std::to_string(r.ExitCode) + ": " + r.Output;
}

}  // namespace

// The names, labels and units are what alert rules match on: the whole text of a done run.
TEST(Metrics, EveryFigureOfARunUnderItsFixedName) {
    const std::string text = MetricsText(DoneRun(), std::nullopt);
    EXPECT_EQ(text,
              "# HELP keyrix_sync_last_run_end_timestamp_seconds When the last synchronisation run ended.\n"
              "# TYPE keyrix_sync_last_run_end_timestamp_seconds gauge\n"
              "keyrix_sync_last_run_end_timestamp_seconds 1765440038.200\n"
              "# HELP keyrix_sync_last_success_timestamp_seconds When the last run that was done and committed ended; "
              "0: none is known.\n"
              "# TYPE keyrix_sync_last_success_timestamp_seconds gauge\n"
              "keyrix_sync_last_success_timestamp_seconds 1765440038.200\n"
              "# HELP keyrix_sync_outcome The last run's outcome: 1 for it, 0 for the others.\n"
              "# TYPE keyrix_sync_outcome gauge\n"
              "keyrix_sync_outcome{outcome=\"done\"} 1\n"
              "keyrix_sync_outcome{outcome=\"guarded\"} 0\n"
              "keyrix_sync_outcome{outcome=\"failed-startup\"} 0\n"
              "keyrix_sync_outcome{outcome=\"failed-work\"} 0\n"
              "keyrix_sync_outcome{outcome=\"failed-shutdown\"} 0\n"
              "# HELP keyrix_sync_committed Whether the last run's pass was committed (1) or not (0).\n"
              "# TYPE keyrix_sync_committed gauge\n"
              "keyrix_sync_committed 1\n"
              "# HELP keyrix_sync_dry_run Whether the last run was a dry run (1) or not (0).\n"
              "# TYPE keyrix_sync_dry_run gauge\n"
              "keyrix_sync_dry_run 0\n"
              "# HELP keyrix_sync_phase_duration_seconds How long each phase of the last run took; only the phases "
              "that ran.\n"
              "# TYPE keyrix_sync_phase_duration_seconds gauge\n"
              "keyrix_sync_phase_duration_seconds{phase=\"startUp\"} 0.120\n"
              "keyrix_sync_phase_duration_seconds{phase=\"download\"} 0.800\n"
              "keyrix_sync_phase_duration_seconds{phase=\"hrmImport\"} 18.100\n"
              "keyrix_sync_phase_duration_seconds{phase=\"cardHolderImport\"} 19\n"
              "keyrix_sync_phase_duration_seconds{phase=\"shutDown\"} 0.030\n"
              "# HELP keyrix_sync_feed_bytes The size of the last run's HRM feed.\n"
              "# TYPE keyrix_sync_feed_bytes gauge\n"
              "keyrix_sync_feed_bytes 4096\n"
              "# HELP keyrix_sync_records The last run's counters per import; when keyrix_sync_committed is 0, what "
              "the pass attempted.\n"
              "# TYPE keyrix_sync_records gauge\n"
              "keyrix_sync_records{import=\"hrm\",counter=\"processed\"} 20000\n"
              "keyrix_sync_records{import=\"hrm\",counter=\"added\"} 12\n"
              "keyrix_sync_records{import=\"hrm\",counter=\"updated\"} 3\n"
              "keyrix_sync_records{import=\"hrm\",counter=\"deleted\"} 1\n"
              "keyrix_sync_records{import=\"cardholders\",counter=\"processed\"} 300\n"
              "keyrix_sync_records{import=\"cardholders\",counter=\"updated\"} 4\n"
              "keyrix_sync_records{import=\"cardholders\",counter=\"updatedSoyal\"} 5\n"
              "keyrix_sync_records{import=\"cardholders\",counter=\"added\"} 6\n"
              "keyrix_sync_records{import=\"cardholders\",counter=\"addedSoyal\"} 2\n"
              "keyrix_sync_records{import=\"cardholders\",counter=\"associated\"} 7\n"
              "# HELP keyrix_sync_guard_changes The users the last pass marked deleted (leavers) or unlinked "
              "(unlinks).\n"
              "# TYPE keyrix_sync_guard_changes gauge\n"
              "keyrix_sync_guard_changes{share=\"leavers\"} 1\n"
              "# HELP keyrix_sync_guard_base The users the share is taken of: active HRM-managed, or linked, before "
              "the pass.\n"
              "# TYPE keyrix_sync_guard_base gauge\n"
              "keyrix_sync_guard_base{share=\"leavers\"} 50\n"
              "# HELP keyrix_sync_guard_limit_ratio The guard's limit as a ratio; 0: off.\n"
              "# TYPE keyrix_sync_guard_limit_ratio gauge\n"
              "keyrix_sync_guard_limit_ratio{share=\"leavers\"} 0.100\n"
              "# HELP keyrix_sync_guard_exceeded Whether the share went past the limit (1), which rolls the pass "
              "back.\n"
              "# TYPE keyrix_sync_guard_exceeded gauge\n"
              "keyrix_sync_guard_exceeded{share=\"leavers\"} 0\n");
    EXPECT_EQ(PromtoolComplaints(text), "");
}

// A run that failed, or did not commit, carries the earlier success over; one that never saw
// a success says 0. Phases that did not run and a feed never downloaded have no sample.
TEST(Metrics, ARunThatIsNoSuccessCarriesTheLastOneOver) {
    TRunSummary failed = DoneRun();
    failed.Outcome = TRunOutcome::FailedStartUp;
    failed.Committed = false;
    failed.DownloadMs = failed.HrmImportMs = failed.CardHolderImportMs = -1;
    failed.FeedBytes = -1;
    failed.Leavers = {};
    const std::string text = MetricsText(failed, 1765400000.5);
    EXPECT_NE(text.find("\nkeyrix_sync_last_success_timestamp_seconds 1765400000.500\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nkeyrix_sync_outcome{outcome=\"failed-startup\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nkeyrix_sync_outcome{outcome=\"done\"} 0\n"), std::string::npos);
    EXPECT_NE(text.find("\nkeyrix_sync_committed 0\n"), std::string::npos);
    for (const char* absent : {"phase=\"download\"", "phase=\"hrmImport\"", "keyrix_sync_feed_bytes", "share="})
        EXPECT_EQ(text.find(absent), std::string::npos) << absent;
    EXPECT_EQ(PromtoolComplaints(text), "");

    TRunSummary dry = DoneRun();
    dry.DryRun = true;
    dry.Committed = false;
    EXPECT_NE(MetricsText(dry, std::nullopt).find("\nkeyrix_sync_last_success_timestamp_seconds 0\n"),
              std::string::npos)
        << "a dry run is done but commits nothing: no success";
}

TEST(Metrics, TheLastSuccessIsTakenOnlyFromAUsableLine) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"# HELP x\nkeyrix_sync_last_success_timestamp_seconds 1765440038.200\nother 1\n", 1765440038.2},
        {"keyrix_sync_last_success_timestamp_seconds 1765440038", 1765440038.0},
        {"keyrix_sync_last_success_timestamp_seconds 0\n", std::nullopt},
        {"keyrix_sync_last_success_timestamp_seconds -5\n", std::nullopt},
        {"keyrix_sync_last_success_timestamp_seconds NaN\n", std::nullopt},
        {"keyrix_sync_last_success_timestamp_seconds 12abc\n", std::nullopt},
        {"keyrix_sync_last_success_timestamp_seconds_other 12\n", std::nullopt},
        {"", std::nullopt},
        {"\x01\xff garbage", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(LastSuccessOf(text), expected) << text;
}

// The file node_exporter reads: mode 0644, the earlier success carried over through it, and
// whatever lies in its place (a FIFO that would hold a reader) replaced without waiting.
TEST(Metrics, TheFileCarriesTheLastSuccessOver) {
    TTempDir dir;
    const std::string path = dir.File("keyrix_sync.prom");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(ReadLastSuccess(path), std::nullopt);
    WriteMetricsFile(path, DoneRun());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(ReadLastSuccess(path), 1765440038.2);

    TRunSummary failed = DoneRun();
    failed.Outcome = TRunOutcome::FailedWork;
    failed.Committed = false;
    failed.End = Morning + std::chrono::hours(1);
    WriteMetricsFile(path, failed);
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("\nkeyrix_sync_last_success_timestamp_seconds 1765440038.200\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nkeyrix_sync_last_run_end_timestamp_seconds 1765443600\n"), std::string::npos) << text;
}

// The README's alert rules, as an administrator copies them: promtool takes them, and
// each names metrics that the file has.
TEST(Metrics, TheReadmesAlertRulesAreValid) {
    const std::string readme = ReadFile(KEYRIX_README);
    const auto start = readme.find("```yaml\n# keyrix-sync alert rules\n");
    ASSERT_NE(start, std::string::npos);
    const auto body = readme.find('\n', start) + 1;
    const std::string rules = readme.substr(body, readme.find("```\n", body) - body);
    TTempDir dir;
    WriteFile(dir.File("keyrix.rules.yml"), rules);
    const TCommandResult r = RunCommand("promtool check rules '" + dir.File("keyrix.rules.yml") + "' 2>&1");
    EXPECT_EQ(r.ExitCode, 0) << r.Output;
    EXPECT_NE(r.Output.find("SUCCESS: 3 rules found"), std::string::npos) << r.Output;
    const std::string text = MetricsText(DoneRun(), std::nullopt);
    for (const char* metric : {"keyrix_sync_outcome{", "keyrix_sync_last_success_timestamp_seconds ",
                               "keyrix_sync_last_run_end_timestamp_seconds "}) {
        EXPECT_NE(rules.find(std::string(metric).substr(0, std::string(metric).size() - 1)), std::string::npos) << metric;
        EXPECT_NE(text.find(std::string("\n") + metric), std::string::npos) << metric;
    }
}

namespace {

// The check's answer for a summary written by the run itself, looked at after the age given
// (from the end, or from the start of a run in progress).
TCheckResult CheckAfter(const TRunSummary& s, std::chrono::seconds age) {
    const TClock::time_point from = s.Outcome == TRunOutcome::Running ? s.Start : s.End;
    return CheckSummaryText(SummaryJson(s), "/opt/keyrix/VLHRMSync_last.json", from + age);
}

// The text between the state and the performance data.
std::string TextOf(const TCheckResult& r) {
    const auto dash = r.Line.find(" - ");
    const auto bar = r.Line.find(" | ");
    return r.Line.substr(dash + 3, bar == std::string::npos ? std::string::npos : bar - dash - 3);
}

}  // namespace

TEST(Check, TheLineOfADoneRunWithItsPerformanceData) {
    const TCheckResult r = CheckAfter(DoneRun(), std::chrono::minutes(12));
    EXPECT_EQ(r.State, TCheckState::Ok);
    EXPECT_EQ(r.Line,
              "KEYRIX SYNC OK - done 12 min ago: 20000 processed, 12 added, 3 updated, 1 deleted; cards 2 added, 5 "
              "updated | age=720s;7200;86400;0 duration=38.200s;;;0 processed=20000;;;0 added=12;;;0 updated=3;;;0 "
              "deleted=1;;;0 cardholders=300;;;0 accounts_added=6;;;0 accounts_updated=4;;;0 cards_added=2;;;0 "
              "cards_updated=5;;;0 cards_associated=7;;;0 feed=4096B;;;0");
}

// Each outcome and age, and the ages the run took from its settings.
TEST(Check, EachOutcomeAndAgeGivesItsState) {
    using std::chrono::hours, std::chrono::minutes;
    struct Case {
        const char* what;
        std::function<void(TRunSummary&)> change;
        std::chrono::seconds age;
        TCheckState state;
        std::string text;
    };
    const auto failed = [](TRunSummary& s) {
        s.Outcome = TRunOutcome::FailedWork;
        s.Committed = false;
        s.ErrorClass = "EFirebirdError";
        s.ErrorMessage = "connection lost | at call\r\nisc_dsql_execute";
        s.HrmAdded = 354;
    };
    const std::string figures = "20000 processed, 12 added, 3 updated, 1 deleted; cards 2 added, 5 updated";
    const Case cases[] = {
        {"just done", nullptr, std::chrono::seconds(45), TCheckState::Ok, "done 45 s ago: " + figures},
        {"past the warning age", nullptr, hours(3), TCheckState::Warning, "done 3 h ago, older than 120 min: " + figures},
        {"at the warning age", nullptr, minutes(120), TCheckState::Ok, "done 2 h ago: " + figures},
        {"past the critical age", nullptr, hours(25), TCheckState::Critical,
         "done 25 h ago, older than 1440 min: " + figures},
        {"days old", nullptr, hours(24 * 9), TCheckState::Critical, "done 9 d ago, older than 1440 min: " + figures},
        {"ages of the settings", [](TRunSummary& s) { s.WarningAgeMinutes = 10; }, minutes(12), TCheckState::Warning,
         "done 12 min ago, older than 10 min: " + figures},
        {"ages out of all bounds",
         [](TRunSummary& s) {
             s.WarningAgeMinutes = 0;
             s.CriticalAgeMinutes = 2000000000;
         },
         hours(3), TCheckState::Warning, "done 3 h ago, older than 120 min: " + figures},
        {"failed", failed, minutes(5), TCheckState::Critical,
         "failed-work 5 min ago: EFirebirdError: connection lost / at call  isc_dsql_execute; 20000 processed, 354 "
         "added, 3 updated, 1 deleted; cards 2 added, 5 updated; not committed: what the pass attempted"},
        {"failed at start-up",
         [](TRunSummary& s) {
             s = TRunSummary();
             s.Outcome = TRunOutcome::FailedStartUp;
             s.ErrorClass = "EDisplayError";
             s.ErrorMessage = "Error connecting to database";
             s.Start = Morning;
             s.End = Morning;
         },
         minutes(1), TCheckState::Critical,
         "failed-startup 1 min ago: EDisplayError: Error connecting to database; 0 processed, 0 added, 0 updated, 0 "
         "deleted; cards 0 added; not committed: what the pass attempted"},
        {"guarded",
         [](TRunSummary& s) {
             s.Outcome = TRunOutcome::Guarded;
             s.Committed = false;
         },
         minutes(1), TCheckState::Warning,
         "guarded 1 min ago: " + figures + "; not committed: what the pass attempted"},
        {"dry run",
         [](TRunSummary& s) {
             s.DryRun = true;
             s.Committed = false;
         },
         minutes(1), TCheckState::Warning,
         "done (dry run) 1 min ago: " + figures + "; not committed: what the pass attempted"},
        {"running", [](TRunSummary& s) { s.Outcome = TRunOutcome::Running; }, minutes(10), TCheckState::Ok,
         "running for 10 min"},
        {"running long", [](TRunSummary& s) { s.Outcome = TRunOutcome::Running; }, hours(3), TCheckState::Warning,
         "running for 3 h, older than 120 min"},
        {"running since a kill long ago", [](TRunSummary& s) { s.Outcome = TRunOutcome::Running; }, hours(30),
         TCheckState::Critical, "running for 30 h, older than 1440 min"},
        {"a clock a little behind", nullptr, -minutes(2), TCheckState::Ok, "done 0 s ago: " + figures},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TRunSummary s = DoneRun();
        if (c.change) c.change(s);
        const TCheckResult r = CheckAfter(s, c.age);
        EXPECT_EQ(r.State, c.state) << r.Line;
        EXPECT_EQ(TextOf(r), c.text);
        const char* names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
        EXPECT_EQ(r.Line.rfind(std::string("KEYRIX SYNC ") + names[static_cast<int>(c.state)] + " - ", 0), 0u);
        EXPECT_EQ(std::count(r.Line.begin(), r.Line.end(), '|'), 1) << "the performance data, and nothing else";
        const bool bounded = s.WarningAgeMinutes >= 1 && s.CriticalAgeMinutes <= 366 * 24 * 60;
        const std::string ages = bounded ? ";" + std::to_string(s.WarningAgeMinutes * 60) + ";" +
                                               std::to_string(s.CriticalAgeMinutes * 60) + ";0"
                                         : ";7200;86400;0";
        EXPECT_NE(r.Line.find(" | age="), std::string::npos) << r.Line;
        EXPECT_NE(r.Line.find(ages), std::string::npos) << r.Line;
    }
}

// A summary planted or damaged with controls, C1 ones included (U+009B is CSI to some
// terminals), and a long error: the line stays one line of plain text.
TEST(Check, ControlsOfTheSummaryStayOffTheLine) {
    TRunSummary s = DoneRun();
    s.Outcome = TRunOutcome::FailedWork;
    s.ErrorClass = "EOSError";
    s.ErrorMessage = "MARK";
    std::string json = SummaryJson(s);
    json.replace(json.find("MARK"), 4, "a\\u009b2J\\u001b[31m\\u0085b" + std::string(300, 'x'));
    const TCheckResult r = CheckSummaryText(json, "/s.json", s.End);
    EXPECT_EQ(r.State, TCheckState::Critical);
    EXPECT_NE(r.Line.find("EOSError: a 2J [31m b" + std::string(189, 'x') + "...; 20000 processed"), std::string::npos)
        << r.Line;
    for (const char c : r.Line) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << r.Line;
    EXPECT_EQ(r.Line.find("\xC2\x9B"), std::string::npos);
    EXPECT_EQ(r.Line.find("\xC2\x85"), std::string::npos);
}

// What is no summary is UNKNOWN, with the reason; nothing of it is taken for a state.
TEST(Check, WhatIsNoSummaryIsUnknownWithTheReason) {
    const std::string file = "the run summary \"/opt/keyrix/VLHRMSync_last.json\"";
    std::string future = SummaryJson(DoneRun());
    const std::pair<std::string, std::string> cases[] = {
        {"", file + " is not JSON"},
        {"{\"outcome\": \"done\", ", file + " is not JSON"},
        {"[1, 2]", file + " is not JSON"},
        {"{\"outcome\": \"finished\"}", file + " has no known outcome (\"finished\")"},
        {"{\"outcome\": 1}", file + " has no known outcome (\"\")"},
        {"{\"outcome\": \"done\", \"start\": \"2025-12-11T09:00:00.000+01:00\", \"end\": null}",
         file + " has no valid start and end times"},
        {"{\"outcome\": \"done\", \"start\": \"yesterday\", \"end\": \"2025-12-11T09:00:00.000+01:00\"}",
         file + " has no valid start and end times"},
        {"{\"outcome\": \"done\", \"start\": \"1012-12-11T09:00:00.000+01:00\", \"end\": "
         "\"2025-12-11T09:00:00.000+01:00\"}",
         file + " has no valid start and end times"},
    };
    for (const auto& [json, text] : cases) {
        const TCheckResult r = CheckSummaryText(json, "/opt/keyrix/VLHRMSync_last.json", Morning);
        EXPECT_EQ(r.State, TCheckState::Unknown) << json;
        EXPECT_EQ(r.Line, "KEYRIX SYNC UNKNOWN - " + text) << json;
    }
    const TCheckResult ahead = CheckSummaryText(future, "/x.json", Morning - std::chrono::hours(2));
    EXPECT_EQ(ahead.State, TCheckState::Unknown);
    EXPECT_EQ(ahead.Line,
              "KEYRIX SYNC UNKNOWN - the run summary \"/x.json\" ends 2 h in the future: the host's clock or the file is "
              "wrong");
}

TEST(Check, AFileThatCannotBeASummaryIsUnknownAtOnce) {
    TTempDir dir;
    const std::string path = dir.File("VLHRMSync_last.json");
    EXPECT_EQ(CheckSummaryFile(path, Morning).Line,
              "KEYRIX SYNC UNKNOWN - no run summary \"" + path +
                  "\": no run has ended here yet, or its summary could not be written (see the event log)");
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(CheckSummaryFile(path, Morning).Line,
              "KEYRIX SYNC UNKNOWN - the run summary \"" + path + "\" is no regular file")
        << "a FIFO holds no check";
    ::unlink(path.c_str());
    WriteFile(path, std::string(1024 * 1024 + 1, ' '));
    EXPECT_EQ(CheckSummaryFile(path, Morning).Line,
              "KEYRIX SYNC UNKNOWN - the run summary \"" + path + "\" is larger than 1 MiB, too large for one");
    WriteFile(path, SummaryJson(DoneRun()));
    EXPECT_EQ(CheckSummaryFile(path, DoneRun().End + std::chrono::minutes(3)).State, TCheckState::Ok);
}

namespace {

// Debian's node_exporter on a port of loopback, with only its textfile collector, over the
// folder given; stopped with the test.
class TNodeExporter {
public:
    explicit TNodeExporter(const std::string& folder, const std::string& logFile) {
        FPort = FreePort();
        FPid = ::fork();
        if (FPid == 0) {
            const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(log, 1);
            ::dup2(log, 2);
            const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(FPort);
            const std::string textfile = "--collector.textfile.directory=" + folder;
            ::execlp("prometheus-node-exporter", "prometheus-node-exporter", listen.c_str(),
                     "--collector.disable-defaults", "--collector.textfile", textfile.c_str(), nullptr);
            ::_exit(127);
        }
    }
    TNodeExporter(const TNodeExporter&) = delete;
    TNodeExporter& operator=(const TNodeExporter&) = delete;
    ~TNodeExporter() {
        if (FPid <= 0) return;
        ::kill(FPid, SIGTERM);
        int status = 0;
        ::waitpid(FPid, &status, 0);
    }
    // The keyrix_sync_ samples of one scrape, by name and labels; waits up to ten seconds
    // for the exporter to listen.
    std::map<std::string, double> Scrape() const {
        const std::string url = "http://127.0.0.1:" + std::to_string(FPort) + "/metrics";
        TCommandResult r;
        for (int attempt = 0; attempt < 100; ++attempt) {
            r = RunCommand("curl -sSf --max-time 5 " + url + " 2>&1");
            if (r.ExitCode == 0) break;
            ::usleep(100 * 1000);
        }
        EXPECT_EQ(r.ExitCode, 0) << "node_exporter did not answer: " << r.Output;
        std::map<std::string, double> samples;
        std::istringstream in(r.Output);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("keyrix_sync_", 0) != 0 && line.rfind("node_textfile_scrape_error", 0) != 0) continue;
            const auto blank = line.rfind(' ');
            samples[line.substr(0, blank)] = std::stod(line.substr(blank + 1));
        }
        return samples;
    }

private:
    static int FreePort() {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
        ::close(s);
        return ntohs(address.sin_port);
    }
    int FPort = 0;
    pid_t FPid = -1;
};

double WallSeconds() {
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch()).count()) /
           1000.0;
}

}  // namespace

// A real run's figures as Prometheus scrapes them from node_exporter, then a failed run's:
// its outcome, with the last success still that of the first run. The check command answers
// for each, as root and as an account of the monitoring group, and changes nothing.
TEST_F(RunRecord, MonitoringReadsWhatTheRunsLeft) {
    TTempDir textfiles;
    TNodeExporter exporter(textfiles.Path(), WorkDir.File("node_exporter.log"));
    const std::string metrics = textfiles.File("keyrix_sync.prom");
    TTestDatabase database;
    Feed = FeedOfNumbers({101, 102, 103});
    WriteFile(Cards, CardsOfNumbers({101, 102}));
    WriteHive(database, true, true, "", "", "\"Metrics file\"=\"" + metrics + "\"\r\n");
    WriteFile(Hive, ReadFile(Hive) +
                        "[HKEY_LOCAL_MACHINE\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM\\Monitoring]\r\n"
                        "\"Summary group\"=\"nogroup\"\r\n\"Warning age minutes\"=dword:0000001e\r\n\r\n");

    const double before = WallSeconds();
    TCommandResult run = Run("/SVC /DEBUG");
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    const double after = WallSeconds();
    ASSERT_EQ(Jq(".outcome"), "\"done\"") << run.Output;
    std::map<std::string, double> m = exporter.Scrape();
    ASSERT_EQ(m.count("node_textfile_scrape_error"), 1u) << "not node_exporter's answer";
    EXPECT_EQ(m["node_textfile_scrape_error"], 0) << ReadFile(WorkDir.File("node_exporter.log"));
    const double end = m["keyrix_sync_last_run_end_timestamp_seconds"];
    EXPECT_GE(end, before - 0.001);
    EXPECT_LE(end, after + 0.001);
    EXPECT_EQ(m["keyrix_sync_last_success_timestamp_seconds"], end);
    const std::map<std::string, double> expected = {
        {"keyrix_sync_outcome{outcome=\"done\"}", 1},
        {"keyrix_sync_outcome{outcome=\"guarded\"}", 0},
        {"keyrix_sync_outcome{outcome=\"failed-startup\"}", 0},
        {"keyrix_sync_outcome{outcome=\"failed-work\"}", 0},
        {"keyrix_sync_outcome{outcome=\"failed-shutdown\"}", 0},
        {"keyrix_sync_committed", 1},
        {"keyrix_sync_dry_run", 0},
        {"keyrix_sync_feed_bytes", static_cast<double>(Feed.size())},
        {"keyrix_sync_records{counter=\"processed\",import=\"hrm\"}", 3},
        {"keyrix_sync_records{counter=\"added\",import=\"hrm\"}", 3},
        {"keyrix_sync_records{counter=\"updated\",import=\"hrm\"}", 0},
        {"keyrix_sync_records{counter=\"deleted\",import=\"hrm\"}", 0},
        {"keyrix_sync_records{counter=\"processed\",import=\"cardholders\"}", 2},
        {"keyrix_sync_records{counter=\"added\",import=\"cardholders\"}", 2},
        {"keyrix_sync_records{counter=\"addedSoyal\",import=\"cardholders\"}", 2},
        {"keyrix_sync_records{counter=\"updated\",import=\"cardholders\"}", 0},
        {"keyrix_sync_records{counter=\"updatedSoyal\",import=\"cardholders\"}", 0},
        {"keyrix_sync_records{counter=\"associated\",import=\"cardholders\"}", 0},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_EQ(m.count(name), 1u) << name;
        EXPECT_EQ(m[name], value) << name;
    }
    for (const char* phase : {"startUp", "download", "hrmImport", "cardHolderImport", "shutDown"}) {
        const std::string name = std::string("keyrix_sync_phase_duration_seconds{phase=\"") + phase + "\"}";
        ASSERT_EQ(m.count(name), 1u) << name;
        EXPECT_GE(m[name], 0) << name;
        EXPECT_LE(m[name], after - before) << name;
    }
    struct stat st {};
    ASSERT_EQ(::stat(metrics.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(PromtoolComplaints(ReadFile(metrics)), "");

    TCommandResult check = Run("/CHECK");
    EXPECT_EQ(check.ExitCode, 0) << check.Output;
    EXPECT_EQ(check.Output.rfind("KEYRIX SYNC OK - done ", 0), 0u) << check.Output;
    EXPECT_NE(check.Output.find(" ago: 3 processed, 3 added, 0 updated, 0 deleted; cards 2 added | age="),
              std::string::npos)
        << check.Output;

    // The card-holder file is gone: the pass fails and is rolled back.
    ::unlink(Cards.c_str());
    run = Run("/SVC /DEBUG");
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    ASSERT_EQ(Jq(".outcome"), "\"failed-work\"") << run.Output;
    m = exporter.Scrape();
    EXPECT_EQ(m["keyrix_sync_last_success_timestamp_seconds"], end) << "the first run's";
    EXPECT_GT(m["keyrix_sync_last_run_end_timestamp_seconds"], end);
    EXPECT_EQ(m["keyrix_sync_outcome{outcome=\"failed-work\"}"], 1);
    EXPECT_EQ(m["keyrix_sync_outcome{outcome=\"done\"}"], 0);
    EXPECT_EQ(m["keyrix_sync_committed"], 0);
    EXPECT_EQ(m["keyrix_sync_records{counter=\"processed\",import=\"hrm\"}"], 3)
        << "the figures of the attempt, as in the summary";
    EXPECT_EQ(Jq("[.figures, .hrm.processed, .changes.usersUpdated.count]"), "[\"attempted\",3,0]");

    // The check as root, and as an account of the monitoring group: the same line, exit 2;
    // without the group: UNKNOWN, saying why. Nothing is written anywhere.
    ASSERT_EQ(::chmod(InstallDir.Path().c_str(), 0755), 0);
    ASSERT_EQ(::stat(SummaryFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    const auto listing = [this] {
        std::string files;
        for (const std::string& folder : {InstallDir.Path(), WorkDir.Path()})
            for (const auto& entry : std::filesystem::directory_iterator(folder)) {
                struct stat fileStat {};
                ::lstat(entry.path().c_str(), &fileStat);
                files += entry.path().string() + " " + std::to_string(fileStat.st_size) + " " +
                         std::to_string(fileStat.st_mtim.tv_sec) + "." + std::to_string(fileStat.st_mtim.tv_nsec) + "\n";
            }
        return files;
    };
    const std::string filesBefore = listing();
    const std::string eventsBefore = ReadFile(EventLog);
    check = Run("/CHECK");
    EXPECT_EQ(check.ExitCode, 2) << check.Output;
    EXPECT_EQ(check.Output.rfind("KEYRIX SYNC CRITICAL - failed-work ", 0), 0u) << check.Output;
    EXPECT_NE(check.Output.find("; not committed: what the pass attempted | age="), std::string::npos) << check.Output;
    EXPECT_NE(check.Output.find(";1800;86400;0 "), std::string::npos) << "the warning age of the settings";
    const auto started = TClock::now();
    const TCommandResult member = Run("/CHECK", "setpriv --reuid=65534 --regid=65533 --groups=65534");
    const auto took = TClock::now() - started;
    EXPECT_EQ(member.ExitCode, 2) << member.Output;
    EXPECT_EQ(member.Output, check.Output);
    EXPECT_LT(took, std::chrono::seconds(5)) << "the check waits for nothing";
    const TCommandResult outsider = Run("/CHECK", "setpriv --reuid=65534 --regid=65533 --clear-groups");
    EXPECT_EQ(outsider.ExitCode, 3) << outsider.Output;
    EXPECT_EQ(outsider.Output, "KEYRIX SYNC UNKNOWN - cannot read the run summary \"" + SummaryFile +
                                   "\": Permission denied (the check's account must be in the group named by "
                                   "\"Monitoring\"/\"Summary group\")\n");
    EXPECT_EQ(listing(), filesBefore);
    EXPECT_EQ(ReadFile(EventLog), eventsBefore);
}
