#include "Services/SyncClients/VLHRM/Unit1.h"

#include "Services/SyncClients/VLHRM/HttpClient.h"
#include "Services/SyncClients/VLHRM/Metrics.h"

#include "common/Debug.h"
#include "common/Exceptions.h"
#include "platform/CodePage.h"
#include "platform/Env.h"
#include "platform/EventLog.h"
#include "platform/LocalTime.h"
#include "platform/PosixFiles.h"
#include "platform/Process.h"
#include "platform/SystemdServiceManager.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"

namespace keyrix {

bool DebugLogging = false;
TDataModule1* DataModule1 = nullptr;

namespace {

// "<prefix><class>\r\n<message>" for the error being handled.
std::string CriticalErrorText(const char* phase) {
    TErrorInfo error = DescribeCurrentException();
    return Format("Critical error on service %s:\r\n%s\r\n%s", phase, error.ClassName, error.Message);
}

}  // namespace

TDataModule1::TDataModule1(std::string logFilePath) : FLogFilePath(std::move(logFilePath)) {
    dbutils::SetDefaultDatabase(&dbDatabase);
    dbDatabase.SetLostConnectHandler([this](TFbConnection&, const EFirebirdError&) { dbDatabaseLostConnect(); });
}

TDataModule1::~TDataModule1() {
    // Cached statements and transactions go before the connection they belong to.
    try {
        dbutils::FreeQueries("");
        PassTransaction.reset();
        dbDatabase.CloseConnection();
    } catch (...) {
    }
    dbutils::SetDefaultDatabase(nullptr);
}

const TSetup& TDataModule1::Settings() {
    if (SetupInstance == nullptr) throw EBugCheckError("SetupInstance not assigned");
    return *SetupInstance;
}

std::string TDataModule1::DefaultLogFilePath() {
    return platform::ExecutableDirectory() + "VLHRMSync_log.txt";
}

std::string TDataModule1::SummaryFilePath() const {
    return platform::FolderOf(FLogFilePath) + "/VLHRMSync_last.json";
}

void TDataModule1::RunService() {
    DebugLogging = FindSwitch("DEBUG");
    // Whoever writes the switch expects nothing to be written: it holds in a service run as
    // well as in a debug run, where the change report is watched.
    if (FindSwitch("DRYRUN")) DryRun = true;
    BeginSummary();
    // Shut-down and the finish lines run however the phases ended; the summary comes last,
    // also when a line of the log file could not be written.
    auto finish = [this] {
        ShutDown();
        SyncLogFile("Sync finished at %s", platform::DateTimeToStr(platform::LocalNow()));
        ServiceLogInfo("Keyrix sync server finished!");
    };
    try {
        SyncLogFile("Sync started at %s", platform::DateTimeToStr(platform::LocalNow()));
        WriteRunningSummary();
        try {
            if (StartUp()) {
                ServiceLogInfo("Keyrix sync server started!");
                Work();
            }
        } catch (...) {
            finish();
            throw;
        }
        finish();
    } catch (...) {
        RecordFailure(Summary.StartUpMs < 0 ? TRunOutcome::FailedStartUp : TRunOutcome::FailedShutDown);
        PublishSummary();
        throw;
    }
    PublishSummary();
}

void TDataModule1::ReportRefusedRun() noexcept {
    try {
        BeginSummary();
        RecordFailure(TRunOutcome::FailedStartUp);
    } catch (...) {
    }
    PublishSummary();
}

bool TDataModule1::StartUp() {
    const std::uint32_t start = platform::Env().Ticks();
    try {
        ConnectDatabase();
        PrepareSchema();
        Summary.StartUpMs = TicksSince(start, platform::Env().Ticks());
        return true;
    } catch (...) {
        Summary.StartUpMs = TicksSince(start, platform::Env().Ticks());
        RecordFailure(TRunOutcome::FailedStartUp);
        ServiceLogError(CriticalErrorText("startup"));
        return false;
    }
}

void TDataModule1::Work() {
    try {
        SyncPass();
    } catch (...) {
        RecordFailure(TRunOutcome::FailedWork);
        SyncLogError("ServiceRun exception: %s", DescribeCurrentException().Message);
        ServiceLogError(CriticalErrorText("work"));
    }
}

void TDataModule1::ShutDown() {
    const std::uint32_t start = platform::Env().Ticks();
    try {
        DisconnectDatabase();
        FreeQueries("");
    } catch (...) {
        RecordFailure(TRunOutcome::FailedShutDown);
        ServiceLogError(CriticalErrorText("shutdown"));
    }
    Summary.ShutDownMs = TicksSince(start, platform::Env().Ticks());
}

// The first failure of a run is its outcome; a later one (a shut-down after a failed pass)
// only follows from it.
void TDataModule1::RecordFailure(TRunOutcome outcome) {
    if (Summary.Outcome == TRunOutcome::FailedStartUp || Summary.Outcome == TRunOutcome::FailedWork ||
        Summary.Outcome == TRunOutcome::FailedShutDown)
        return;
    const TErrorInfo error = DescribeCurrentException();
    Summary.Outcome = outcome;
    Summary.ErrorClass = error.ClassName;
    Summary.ErrorMessage = error.Message;
}

void TDataModule1::BeginSummary() {
    Summary = TRunSummary();
    Summary.DryRun = DryRun;
    Summary.Start = platform::Env().Now();
    if (SetupInstance != nullptr) {
        Summary.WarningAgeMinutes = SetupInstance->WarningAgeMinutes;
        Summary.CriticalAgeMinutes = SetupInstance->CriticalAgeMinutes;
    }
}

namespace {

// A report file is kept best effort: one that cannot be written is an event-log warning,
// never the run's end.
template <typename TWrite>
void WriteOrWarn(TWrite&& write) noexcept {
    try {
        write();
    } catch (...) {
        try {
            ServiceLogWarning(DescribeCurrentException().Message);
        } catch (...) {
        }
    }
}

std::string SummaryGroup() { return SetupInstance != nullptr ? SetupInstance->SummaryGroup : std::string(); }

}  // namespace

// The file says "running" from the start: a run that is killed leaves that, not the last
// run's outcome. Only the file: the journal, systemd and the metrics know of a start already,
// or tell the last ended run.
void TDataModule1::WriteRunningSummary() noexcept {
    WriteOrWarn([this] {
        TRunSummary running = Summary;
        running.Outcome = TRunOutcome::Running;
        WriteSummaryFile(SummaryFilePath(), SummaryJson(running), SummaryGroup());
    });
}

void TDataModule1::PublishSummary() noexcept {
    Summary.End = platform::Env().Now();
    WriteOrWarn([this] { WriteSummaryFile(SummaryFilePath(), SummaryJson(Summary), SummaryGroup()); });
    if (SetupInstance != nullptr && !SetupInstance->MetricsFile.empty())
        WriteOrWarn([this] { WriteMetricsFile(SetupInstance->MetricsFile, Summary); });
    try {
        platform::IEventLog& log = platform::EventLog();
        const platform::TEventSourceHandle source = log.RegisterEventSource(SummarySource);
        const platform::TEventType type = Summary.Outcome == TRunOutcome::Done      ? platform::TEventType::Information
                                          : Summary.Outcome == TRunOutcome::Guarded ? platform::TEventType::Warning
                                                                                    : platform::TEventType::Error;
        log.ReportFields(source, type, SummaryMessage(Summary), SummaryFields(Summary));
        log.DeregisterEventSource(source);
        platform::SetRunStatus(platform::AnsiToUtf8(SummaryStatus(Summary)));
    } catch (...) {
        // As every event-log entry: best effort.
    }
}

}  // namespace keyrix
