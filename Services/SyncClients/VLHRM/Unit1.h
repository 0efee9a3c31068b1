// TDataModule1: the central sync object, one per service run. It carries the run and its
// three phases, the sync log and (with the database layer) the pass and the imports.
#pragma once

#include "Services/SyncClients/VLHRM/HttpLimits.h"
#include "Services/SyncClients/VLHRM/RunSummary.h"
#include "common/Exceptions.h"
#include "common/Format.h"
#include "common/KeyrixMemoryStream.h"
#include "common/Variant.h"
#include "db/DBUtils.h"
#include "db/FbConnection.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// OpenSSL's certificate type, as its own headers declare it; the sync object only passes
// it on, so its users need not see OpenSSL.
typedef struct x509_st X509;

namespace keyrix {

class TSetup;
// The download's client and its TLS layer (HttpClient.h): complete where the sync object
// is made and destroyed (Unit1.cpp) and where they are used.
class TTlsLayer;
class THttpClient;
class TProgressLine;

// A group addition that the database's procedure refused.
KEYRIX_DECLARE_EXCEPTION(EGroupAddError, Exception);

// The company and site groups of the last employee an HRM import handled.
struct THrmGroupCache {
    bool Valid = false;
    std::int32_t CompanyNumber = 0, SiteNumber = 0;
    std::int64_t CompanyGroup = 0, SiteGroup = 0;  // 0: no group
};

// The DEBUG switch was present when the run began; debug lines then reach the log file.
extern bool DebugLogging;

class TDataModule1 {
public:
    // The sync log file; by default "VLHRMSync_log.txt" beside the executable.
    explicit TDataModule1(std::string logFilePath = DefaultLogFilePath());
    TDataModule1(const TDataModule1&) = delete;
    TDataModule1& operator=(const TDataModule1&) = delete;
    virtual ~TDataModule1();

    static std::string DefaultLogFilePath();
    const std::string& LogFilePath() const { return FLogFilePath; }

    // One run: start line, start-up, one pass, shut-down, finish line. Each phase reports
    // its own errors; only a failure of the log file for the two dated lines leaves here.
    void RunService();
    // A run that may not begin (its run lock cannot be trusted), called while its error is
    // being handled: the summary of a failed start-up with that error, nothing else.
    void ReportRefusedRun() noexcept;

    // The record of the run in progress (of the last one after RunService), published when
    // the run ends: to SummaryFilePath, to the event log as one entry with fields, and as the
    // service's status text.
    TRunSummary Summary;
    // "VLHRMSync_last.json" beside the sync log.
    std::string SummaryFilePath() const;
    // The event source of the summary entry: the service's own.
    std::string SummarySource = "KeyrixSyncVLRM";

    // The DRYRUN switch (RunService sets it; tests may set it before): the
    // pass runs whole and is then rolled back, audit events are left out, and the change
    // report goes to the console and the sync log.
    bool DryRun = false;

    // The sync log (printf-style format and arguments).
    // File only, whatever "Log messages to file" says.
    template <class... Args>
    void SyncLogFile(std::string_view format, const Args&... args) {
        AppendLogLine(Format(format, args...));
    }
    // Console first, then the file when file logging is on.
    template <class... Args>
    void SyncLogError(std::string_view format, const Args&... args) {
        LogError(Format(format, args...));
    }
    // The file when file logging is on, then the console.
    template <class... Args>
    void SyncLogInfo(std::string_view format, const Args&... args) {
        LogInfo(Format(format, args...));
    }
    // The file when file logging is on and DebugLogging is set, then the console.
    template <class... Args>
    void SyncLogDebug(std::string_view format, const Args&... args) {
        LogDebug(Format(format, args...));
    }

    // The HRM feed download (Download.cpp): GETs HrmUrl into a new stream that the caller
    // owns. On failure the stream is null and the error is raised.
    void HttpGetFeed(std::unique_ptr<TKeyrixMemoryStream>& stream);
    // Makes the TLS layer and the HTTP client over it.
    void CreateHttpClient();
    // Frees the HTTP client, then its TLS layer; the pass calls it when it ends.
    void ReleaseHttpClient();
    // The TLS layer's certificate check; virtual so that tests can watch it.
    virtual bool AcceptPeerCertificate(X509* certificate, bool ok, std::int32_t depth, std::int32_t error);
    THttpClient* HttpClient() const { return FHttpClient.get(); }
    TTlsLayer* TlsLayer() const { return FTlsLayer.get(); }
    // Time-outs of the clients made from now on; tests shorten them.
    THttpTimeouts HttpTimeouts;
    // The check of the clients made from now on (THttpClient::CallbackCheck); tests set it.
    THttpCallbackCheck HttpCallbackCheck;
    // The largest feed body the download accepts: "HRM"/"Maximum feed size MiB" in bytes.
    static std::uint64_t MaxFeedBytes();

    // One audit event through PR_LOG_EVENT, committed at once in a transaction of its own.
    void LogAuditEvent(const TValue& targetUser, std::int32_t eventCode, const TValue& firstText,
                       const TValue& secondText);

    // The connection of the run; error texts name it "DataModule1.dbDatabase".
    TFbConnection dbDatabase{"dbDatabase", "DataModule1"};
    // The transaction of the current pass (the last one's after the pass).
    dbutils::PTransaction PassTransaction;
    // Handle variables of the cached statements (0 until first use).
    std::int32_t AuditQueryHandle = 0;
    std::int32_t MatchUserHandle = 0, InsertUserHandle = 0, UpdateUserHandle = 0, NewUserIdHandle = 0;
    std::int32_t GroupLookupHandle = 0, GroupMemberHandle = 0, GroupAddHandle = 0;
    // The card-holder import's statements, one per step of a record.
    struct TCardHolderHandles {
        std::int32_t Adopt = 0, Match = 0, Find = 0, CopyUser = 0, CopyGroups = 0, MarkSeen = 0;
        std::int32_t AssociateCard = 0, LinkUser = 0, AddAccount = 0, AddCard = 0, UpdateAccount = 0;
        std::int32_t UpdateCard = 0, FlagGone = 0, UnlinkGone = 0, KeepLinks = 0;
    } CardHolderHandles;
    std::int32_t ParadoxGroupHandle = 0, AccessGroupHandle = 0;

    // Puts the user into its site group, then its company group, creating them on demand.
    void AddToCompanySiteGroups(THrmGroupCache& cache, std::int32_t companyNumber, std::int32_t siteNumber,
                                const std::string& companyName, const std::string& siteName, std::int64_t userId);
    bool IsGroupMember(std::int64_t userId, std::int64_t groupId);
    // A new keypad account, and a new access card, join their controllers' user groups; the
    // database's procedure chooses them. A refusal raises EGroupAddError.
    void AddToParadoxUserGroup(std::int64_t userId);
    void AddToAccessUserGroup(std::int32_t cardId, std::int64_t userId);

protected:
    // The operations the phases call. Each raises on failure.
    virtual void ConnectDatabase();
    virtual void PrepareSchema();
    virtual void SyncPass();
    virtual void DisconnectDatabase();
    virtual void FreeQueries(const std::string& owner);
    // The two imports of a pass, in the pass transaction.
    virtual void ImportHrmUsers();
    virtual void ImportCardHolders();
    // Between them, when the card-holder import runs: the statistics of the sync's indexes,
    // as the HRM import has left the users.
    void RecomputeIndexStatistics();
    // Sets the HRM import's savepoint of the employee in hand before its first write; an
    // employee that only reads costs none.
    void BeforeEmployeeWrite();
    bool EmployeeSavepointSet = false;
    // The status line of the import in progress, or null; console lines take it off first.
    TProgressLine* Progress = nullptr;
    // The server or the network dropped the connection: the cached statements go.
    void dbDatabaseLostConnect();
    // The settings object; raises EBugCheckError outside its life.
    static const TSetup& Settings();

private:
    // The state before the pass that the leavers' and unlinks' shares are measured against,
    // read in the pass transaction when a dry run or a guard needs them.
    void ReadStateBeforePass();
    // The shares after both imports: who of the users active (linked) before the pass is
    // now deleted (unlinked); answers the event-log text when a guard's limit is exceeded.
    std::string MeasureChanges();
    void RecordFailure(TRunOutcome outcome);
    // A new summary for the run that begins now, with the monitoring ages of the settings.
    void BeginSummary();
    void WriteRunningSummary() noexcept;
    void PublishSummary() noexcept;

    std::vector<std::int64_t> FActiveBefore, FLinkedBefore;  // user ids, sorted

    bool StartUp();
    void Work();
    void ShutDown();

    void AppendLogLine(const std::string& text);
    void LogError(const std::string& text);
    void LogInfo(const std::string& text);
    void LogDebug(const std::string& text);
    static bool LogToFile();

    std::string FLogFilePath;
    // The download's pair; the client refers to the layer, so it is declared after it.
    std::unique_ptr<TTlsLayer> FTlsLayer;
    std::unique_ptr<THttpClient> FHttpClient;
};

// The object of the run in progress; null between runs.
extern TDataModule1* DataModule1;

}  // namespace keyrix
