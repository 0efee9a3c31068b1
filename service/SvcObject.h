// TServiceBase, the service object, with its whole surface: its identity and the
// installation properties (type, start, dependencies, failure actions, log options), the
// events and the virtual operations a service overrides, status reports to the service
// control manager, the control handler that turns requests into messages for its worker
// thread, its main, and its event log. The worker thread (SvcThread.h) and the event-log
// writer (EventLogger.h) are helpers of their own; the application that owns the service
// objects is SvcApplication.h.
#pragma once

#include "common/Exceptions.h"
#include "platform/EventLog.h"
#include "platform/ServiceManager.h"
#include "service/SvcThread.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace keyrix {

class TEventLogger;

enum class TCurrentStatus {
    csStopped,
    csStartPending,
    csStopPending,
    csRunning,
    csContinuePending,
    csPausePending,
    csPaused
};
enum class TAllowedExControl { alParamChange, alNetBindChange, alSessionChange, alPreShutdown };
enum class TErrorSeverity { esIgnore, esNormal, esSevere, esCritical };
enum class TExOption { eoForceServiceThreadWindow, eoSuspendServiceThreadOnPause };
enum class TServiceType { stWin32, stDevice, stFileSystem };
enum class TStartType { stBoot, stSystem, stAuto, stManual, stDisabled, stAutoDelayed };
enum class TServiceSidType { stNone, stUnrestricted, stRestricted };
enum class TFailureActionType { faNone, faRestart, faReboot, faRunCommand };

struct TDependency {
    std::string Name;
    bool IsGroup = false;
};

class TFailureAction {
public:
    explicit TFailureAction(TFailureActionType type = TFailureActionType::faNone, std::int32_t delay = 0) {
        SetDelay(delay);
        SetActionType(type);
    }
    TFailureActionType ActionType() const { return FActionType; }
    void SetActionType(TFailureActionType type) {
        FActionType = type;
        if (type == TFailureActionType::faNone) FDelay = 0;
    }
    std::int32_t Delay() const { return FDelay; }
    void SetDelay(std::int32_t delay) { FDelay = delay < 0 ? 0 : delay; }

private:
    TFailureActionType FActionType = TFailureActionType::faNone;
    std::int32_t FDelay = 0;
};

struct TFailureOptions {
    std::int32_t ResetPeriod = -1;
    std::string RebootMessage;
    std::string Command;
    bool NonCrashFailures = false;
};

struct TServiceLogOptions {
    bool UseCustomEventLog = true;
    std::string EventLogName;
    std::string MessagesLibrary;
    std::int32_t MessageCategoryCount = 3;
    bool LogSCEvents = true;
};

// Raised to leave ProcessRequests silently when a run-exception handler asks to abort.
KEYRIX_DECLARE_EXCEPTION(EAbort, Exception);
// A property value the service object refuses, or a failure of the service framework.
KEYRIX_DECLARE_EXCEPTION(EServiceError, Exception);

// What a session-change control carries in its event data.
struct TSessionNotification {
    std::uint32_t Size = sizeof(TSessionNotification);
    std::uint32_t SessionId = 0;
};

class TServiceBase {
public:
    using TServiceEvent = std::function<void(TServiceBase& sender)>;
    using TContinueEvent = std::function<void(TServiceBase& sender, bool& ok)>;
    using TCustomControlEvent = std::function<void(TServiceBase& sender, std::int32_t code)>;
    using TSessionChangeEvent =
        std::function<void(TServiceBase& sender, std::uint32_t eventType, std::uint32_t sessionId)>;
    using TPowerEvent = std::function<std::int32_t(TServiceBase& sender, std::uint32_t eventType, std::uintptr_t data)>;
    using TRunExceptionEvent =
        std::function<void(TServiceBase& sender, const std::exception& error, bool& logException, bool& abort)>;

    // Name is the component name: the fallback for ServiceName and DisplayName.
    explicit TServiceBase(std::string name);
    TServiceBase(const TServiceBase&) = delete;
    TServiceBase& operator=(const TServiceBase&) = delete;
    virtual ~TServiceBase();

    // Stored properties ------------------------------------------------------------------
    const std::string& Name() const { return FName; }
    std::string DisplayName() const { return FDisplayName.empty() ? FName : FDisplayName; }
    void SetDisplayName(const std::string& value) { FDisplayName = value; }
    std::string ServiceName() const { return FServiceName.empty() ? FName : FServiceName; }
    // 1 to 256 characters, neither '/' nor '\'.
    void SetServiceName(const std::string& value);
    const std::string& Description() const { return FDescription; }
    void SetDescription(const std::string& value);  // at most 1023 characters

    TServiceLogOptions LogOptions;
    bool AllowStop = true;
    bool AllowPause = true;
    std::set<TAllowedExControl> AllowedExControls;
    std::vector<TDependency> Dependencies;
    TErrorSeverity ErrorSeverity = TErrorSeverity::esNormal;
    std::set<TExOption> ExOptions = {TExOption::eoSuspendServiceThreadOnPause};
    TFailureOptions FailureOptions;
    std::vector<TFailureAction> FailureActions;
    std::string LoadGroup;
    std::int32_t PreShutdownTimeout = 180000;
    std::vector<std::string> RequiredPrivileges;
    TServiceType ServiceType = TServiceType::stWin32;
    TStartType StartType = TStartType::stAuto;
    TServiceSidType ServiceSidType = TServiceSidType::stNone;
    std::uint32_t TagID = 0;
    std::int32_t WaitHint = 5000;

    bool Interactive() const { return FInteractive; }
    void SetInteractive(bool value);  // true clears Password and ServiceStartName
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& value);  // a value clears Interactive
    const std::string& ServiceStartName() const { return FServiceStartName; }
    void SetServiceStartName(const std::string& value);

    // Events. Setting OnStop forces AllowStop, OnPause/OnContinue AllowPause, and the
    // ex-control events add their member to AllowedExControls.
    TContinueEvent OnStart;
    TServiceEvent OnExecute;
    void SetOnStop(TContinueEvent handler);
    void SetOnPause(TContinueEvent handler);
    void SetOnContinue(TContinueEvent handler);
    void SetOnParamChange(TServiceEvent handler);
    void SetOnNetBindChange(TServiceEvent handler);
    void SetOnSessionChange(TSessionChangeEvent handler);
    void SetOnPreShutdown(TServiceEvent handler);
    TServiceEvent OnShutdown;
    TCustomControlEvent OnCustomControl;
    TPowerEvent OnPowerEvent;
    TPowerEvent OnDeviceEvent;
    TRunExceptionEvent OnRunException;
    TServiceEvent BeforeInstall, AfterInstall, BeforeUninstall, AfterUninstall;

    // Run time -----------------------------------------------------------------------------
    TCurrentStatus Status() const { return FStatus; }
    void SetStatus(TCurrentStatus status);
    void ReportStatus();
    const std::vector<std::string>& Params() const { return FParams; }
    bool TriggerStarted() const { return FTriggerStarted; }
    bool DebugRun = false;  // no status reports to the service control manager
    std::int32_t ErrCode = 0;
    std::int32_t Win32ErrCode = 0;
    // The command line that installation registers: the executable, quoted when it holds
    // a blank, then " /SVC".
    std::string ImagePath() const;
    // The worker thread, shared: a control request arriving from another thread keeps the
    // thread object alive while it posts, however the run ends meanwhile.
    std::shared_ptr<TServiceThread> ServiceThread() const;
    void SetServiceThread(std::shared_ptr<TServiceThread> thread);
    std::shared_ptr<TServiceThread> ReleaseServiceThread();
    bool Terminated() const;
    // The last controls-accepted value reported (for the tests of the acceptance table).
    std::uint32_t LastStatusRecordControls() const { return FStatusRecord.ControlsAccepted; }
    const platform::TServiceStatusRecord& StatusRecord() const { return FStatusRecord; }

    // Event log.
    void LogMessage(const std::string& text, platform::TEventType type, std::uint8_t category, std::uint32_t eventId);
    void LogError(const std::string& text) { LogMessage(text, platform::TEventType::Error, 1, 0); }
    void LogWarning(const std::string& text) { LogMessage(text, platform::TEventType::Warning, 2, 0); }
    void LogInfo(const std::string& text) { LogMessage(text, platform::TEventType::Information, 3, 0); }

    // Entry from the dispatcher, on its thread.
    void ServiceMain(const std::vector<std::string>& arguments);
    // The control handler the service control manager calls on its own thread.
    long ControlHandler(std::uint32_t control, std::uint32_t eventType, std::uintptr_t eventData);

    // The virtual operations, in their slot order.
    virtual void Main();
    virtual bool DoStop();
    virtual bool DoPause();
    virtual bool DoContinue();
    virtual void DoInterrogate();
    virtual void DoShutdown();
    virtual void DoCustomControl(std::uint32_t code);
    virtual std::int32_t DoDeviceEvent(std::uint32_t eventType, std::uintptr_t data);
    virtual bool DoRunException(const std::exception& error, bool& abort);  // answers whether to log
    virtual void DoNetBindChange(std::uint32_t control);
    virtual void DoSessionChange(std::uint32_t eventType, std::uint32_t sessionId);
    virtual std::int32_t DoPowerEvent(std::uint32_t eventType, std::uintptr_t data);
    virtual void DoParamChange();
    virtual void DoPreShutdown();
    virtual void DoAfterInstall();
    virtual void DoAfterUninstall();
    virtual bool NeedsThreadWindow() const;
    virtual std::intptr_t WndProc(std::uint32_t message, std::uintptr_t wParam, std::uintptr_t lParam);

    // The number of service objects that exist (a process with several shares it).
    static int InstanceCount();

private:
    friend class TServiceThread;
    std::uint32_t ServiceTypeBits() const;

    std::string FName, FDisplayName, FServiceName, FDescription, FPassword, FServiceStartName;
    bool FInteractive = false;
    TContinueEvent FOnStop, FOnPause, FOnContinue;
    TServiceEvent FOnParamChange, FOnNetBindChange, FOnPreShutdown;
    TSessionChangeEvent FOnSessionChange;

    TCurrentStatus FStatus = TCurrentStatus::csStopped;
    platform::TServiceStatusRecord FStatusRecord;
    platform::TStatusHandle FStatusHandle = 0;
    std::vector<std::string> FParams;
    bool FTriggerStarted = false;
    mutable std::mutex FThreadLock;  // guards FServiceThread (the pointer, not the thread)
    std::shared_ptr<TServiceThread> FServiceThread;
    mutable std::mutex FLoggerLock;
    std::unique_ptr<TEventLogger> FEventLogger;
};

}  // namespace keyrix
