// Status reports, the control handler and the control operations of the service object.
#include "common/Format.h"
#include "platform/WinError.h"
#include "service/SvcInstall.h"
#include "service/SvcObject.h"

#include <atomic>

namespace keyrix {

using namespace platform;

namespace {

// The status reported last by any service of the process; the check point counts how
// often one pending state was reported in a row.
std::atomic<TCurrentStatus> LastReportedStatus{TCurrentStatus::csStartPending};

bool IsPending(TCurrentStatus status) {
    return status == TCurrentStatus::csStartPending || status == TCurrentStatus::csStopPending ||
           status == TCurrentStatus::csContinuePending || status == TCurrentStatus::csPausePending;
}

bool Has(const std::set<TAllowedExControl>& set, TAllowedExControl control) { return set.count(control) != 0; }

}  // namespace

const char* ControlName(std::uint32_t code) {
    static const char* const names[] = {"stop",          "pause",         "continue",       "interrogate",
                                        "shutdown",      "ParamChange",   "NetBindAdd",     "NetBindRemove",
                                        "NetBindEnable", "NetBindDisable", "DeviceEvent",    "HardwareProfileChange",
                                        "PowerEvent",    "SessionChange", "PreShutdown"};
    return code >= 1 && code <= 15 ? names[code - 1] : "";
}

void TServiceBase::SetStatus(TCurrentStatus status) {
    FStatus = status;
    ReportStatus();
}

void TServiceBase::ReportStatus() {
    platform::TServiceStatusRecord& record = FStatusRecord;
    record.WaitHint = static_cast<std::uint32_t>(WaitHint);
    record.ServiceType = ServiceTypeBits();

    std::uint32_t accepted = 0;
    if (FStatus != TCurrentStatus::csStartPending) {
        accepted = AllowStop ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : SERVICE_ACCEPT_SHUTDOWN;
        if (AllowPause) accepted |= SERVICE_ACCEPT_PAUSE_CONTINUE;
        if (Has(AllowedExControls, TAllowedExControl::alParamChange)) accepted |= SERVICE_ACCEPT_PARAMCHANGE;
        if (Has(AllowedExControls, TAllowedExControl::alNetBindChange)) accepted |= SERVICE_ACCEPT_NETBINDCHANGE;
        if (Has(AllowedExControls, TAllowedExControl::alSessionChange)) accepted |= SERVICE_ACCEPT_SESSIONCHANGE;
        if (Has(AllowedExControls, TAllowedExControl::alPreShutdown)) accepted |= SERVICE_ACCEPT_PRESHUTDOWN;
    }
    record.ControlsAccepted = accepted;

    const TCurrentStatus last = LastReportedStatus.exchange(FStatus);
    record.CheckPoint = IsPending(FStatus) && FStatus == last ? record.CheckPoint + 1 : 0;

    record.CurrentState = static_cast<std::uint32_t>(FStatus) + 1;  // SERVICE_STOPPED is 1
    record.ServiceSpecificExitCode = static_cast<std::uint32_t>(ErrCode);
    record.Win32ExitCode = ErrCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : static_cast<std::uint32_t>(Win32ErrCode);

    if (DebugRun) return;
    long rc = ServiceControlManager().SetServiceStatus(FStatusHandle, record);
    if (rc != NO_ERROR) LogWarning("ReportStatus: " + WindowsErrorText(rc));
}

long TServiceBase::ControlHandler(std::uint32_t control, std::uint32_t eventType, std::uintptr_t eventData) {
    bool refused = false;
    switch (control) {
        case 1: refused = !AllowStop; break;
        case 2:
        case 3: refused = !AllowPause; break;
        case 4:
        case 5: break;
        case 6: refused = !Has(AllowedExControls, TAllowedExControl::alParamChange); break;
        case 7:
        case 8:
        case 9:
        case 10: refused = !Has(AllowedExControls, TAllowedExControl::alNetBindChange); break;
        case 14: refused = !Has(AllowedExControls, TAllowedExControl::alSessionChange); break;
        case 15: refused = !Has(AllowedExControls, TAllowedExControl::alPreShutdown); break;
        default: refused = control < 128 || control > 255; break;
    }
    if (refused) return ERROR_CALL_NOT_IMPLEMENTED;

    // A copy of the owner: the run may end and Main release the thread while we post.
    const std::shared_ptr<TServiceThread> worker = ServiceThread();
    if (worker == nullptr) return NO_ERROR;
    if (control == 14) {
        const auto* note = reinterpret_cast<const TSessionNotification*>(eventData);
        worker->PostMessage(CM_SERVICE_SESSION_CHANGE, eventType, note ? note->SessionId : 0);
    } else {
        worker->PostMessage(CM_SERVICE_CONTROL_CODE, control, 0);
    }
    // Resumed only once the request is queued: a worker resumed first could find its queue
    // empty, end, and leave the request (a stop after a pause) unhandled.
    if (worker->Suspended()) worker->Resume();
    return NO_ERROR;
}

bool TServiceBase::DoStop() {
    SetStatus(TCurrentStatus::csStopPending);
    bool ok = true;
    if (FOnStop) FOnStop(*this, ok);
    if (ok) {
        if (LogOptions.LogSCEvents) LogInfo(DisplayName() + " stopping!");
        if (const auto worker = ServiceThread()) worker->Terminate();
    }
    return ok;
}

bool TServiceBase::DoPause() {
    SetStatus(TCurrentStatus::csPausePending);
    bool ok = true;
    if (FOnPause) FOnPause(*this, ok);
    if (ok) {
        SetStatus(TCurrentStatus::csPaused);
        if (ExOptions.count(TExOption::eoSuspendServiceThreadOnPause))
            if (const auto worker = ServiceThread()) worker->Suspend();
    }
    return ok;
}

bool TServiceBase::DoContinue() {
    SetStatus(TCurrentStatus::csContinuePending);
    bool ok = true;
    if (FOnContinue) FOnContinue(*this, ok);
    if (ok) SetStatus(TCurrentStatus::csRunning);
    return ok;
}

void TServiceBase::DoInterrogate() { ReportStatus(); }

void TServiceBase::DoShutdown() {
    SetStatus(TCurrentStatus::csStopPending);
    try {
        if (OnShutdown) OnShutdown(*this);
        if (LogOptions.LogSCEvents) LogInfo(DisplayName() + " stopping for system shutdown!");
    } catch (...) {
        if (const auto worker = ServiceThread()) worker->Terminate();
        throw;
    }
    if (const auto worker = ServiceThread()) worker->Terminate();
}

void TServiceBase::DoPreShutdown() {
    SetStatus(TCurrentStatus::csStopPending);
    if (FOnPreShutdown) FOnPreShutdown(*this);
    if (LogOptions.LogSCEvents) LogInfo(DisplayName() + " stopping for system shutdown!");
}

void TServiceBase::DoParamChange() {
    ReportStatus();
    if (FOnParamChange) FOnParamChange(*this);
}

void TServiceBase::DoNetBindChange(std::uint32_t) {
    ReportStatus();
    if (FOnNetBindChange) FOnNetBindChange(*this);
}

void TServiceBase::DoSessionChange(std::uint32_t eventType, std::uint32_t sessionId) {
    ReportStatus();
    if (FOnSessionChange) FOnSessionChange(*this, eventType, sessionId);
}

void TServiceBase::DoCustomControl(std::uint32_t code) {
    if (OnCustomControl) OnCustomControl(*this, static_cast<std::int32_t>(code));
}

std::int32_t TServiceBase::DoPowerEvent(std::uint32_t eventType, std::uintptr_t data) {
    if (OnPowerEvent && FStatus != TCurrentStatus::csStartPending) return OnPowerEvent(*this, eventType, data);
    return 0;
}

std::int32_t TServiceBase::DoDeviceEvent(std::uint32_t eventType, std::uintptr_t data) {
    if (OnDeviceEvent && FStatus != TCurrentStatus::csStartPending) return OnDeviceEvent(*this, eventType, data);
    return 0;
}

bool TServiceBase::DoRunException(const std::exception& error, bool& abort) {
    bool logException = true;
    if (OnRunException) OnRunException(*this, error, logException, abort);
    return logException;
}

void TServiceBase::DoAfterInstall() {
    if (LogOptions.UseCustomEventLog) {
        CreateCustomEventLog(*this);
        RegisterEventLogSource(*this);
    }
    // Written after the registration, so the entry lands in the new log.
    if (LogOptions.LogSCEvents) LogInfo(DisplayName() + " installed!");
    if (AfterInstall) AfterInstall(*this);
}

void TServiceBase::DoAfterUninstall() {
    // Written while the source is still registered.
    if (LogOptions.LogSCEvents) LogInfo(DisplayName() + " uninstalled!");
    if (LogOptions.UseCustomEventLog) UnRegisterEventLogSource(*this);
    if (AfterUninstall) AfterUninstall(*this);
}

bool TServiceBase::NeedsThreadWindow() const {
    return ExOptions.count(TExOption::eoForceServiceThreadWindow) || OnPowerEvent || OnDeviceEvent;
}

std::intptr_t TServiceBase::WndProc(std::uint32_t message, std::uintptr_t wParam, std::uintptr_t lParam) {
    if (message == WM_POWERBROADCAST) return DoPowerEvent(static_cast<std::uint32_t>(wParam), lParam);
    if (message == WM_DEVICECHANGE) return DoDeviceEvent(static_cast<std::uint32_t>(wParam), lParam);
    return 0;
}

}  // namespace keyrix
