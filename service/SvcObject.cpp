// The service object's properties, its event log and its main.
#include "service/SvcObject.h"

#include "common/Format.h"
#include "platform/Process.h"
#include "platform/WinError.h"
#include "service/EventLogger.h"
#include "service/SvcConsole.h"

#include <atomic>

namespace keyrix {

using namespace platform;

namespace {
std::atomic<int> TheInstanceCount{0};
}  // namespace

// TServiceBase: properties ------------------------------------------------------------------

TServiceBase::TServiceBase(std::string name) : FName(std::move(name)) { ++TheInstanceCount; }

TServiceBase::~TServiceBase() {
    // The worker uses this object: it ends here, whoever else still holds the thread object.
    if (const std::shared_ptr<TServiceThread> worker = ReleaseServiceThread()) worker->TerminateAndWait();
    --TheInstanceCount;
}

int TServiceBase::InstanceCount() { return TheInstanceCount.load(); }

void TServiceBase::SetServiceName(const std::string& value) {
    if (value.empty() || value.size() > 256 || value.find_first_of("/\\") != std::string::npos)
        throw EServiceError(Format("''%s'' is not a valid service name", value));
    FServiceName = value;
}

void TServiceBase::SetDescription(const std::string& value) {
    if (value.size() > 1023)
        throw EServiceError("Invalid service description. Maximum length allowed is 1024 chars");
    FDescription = value;
}

void TServiceBase::SetInteractive(bool value) {
    FInteractive = value;
    if (value) {
        FPassword.clear();
        FServiceStartName.clear();
    }
}

void TServiceBase::SetPassword(const std::string& value) {
    FPassword = value;
    if (!value.empty()) FInteractive = false;
}

void TServiceBase::SetServiceStartName(const std::string& value) {
    FServiceStartName = value;
    if (!value.empty()) FInteractive = false;
}

void TServiceBase::SetOnStop(TContinueEvent handler) {
    FOnStop = std::move(handler);
    if (FOnStop) AllowStop = true;
}

void TServiceBase::SetOnPause(TContinueEvent handler) {
    FOnPause = std::move(handler);
    if (FOnPause) AllowPause = true;
}

void TServiceBase::SetOnContinue(TContinueEvent handler) {
    FOnContinue = std::move(handler);
    if (FOnContinue) AllowPause = true;
}

void TServiceBase::SetOnParamChange(TServiceEvent handler) {
    FOnParamChange = std::move(handler);
    if (FOnParamChange) AllowedExControls.insert(TAllowedExControl::alParamChange);
}

void TServiceBase::SetOnNetBindChange(TServiceEvent handler) {
    FOnNetBindChange = std::move(handler);
    if (FOnNetBindChange) AllowedExControls.insert(TAllowedExControl::alNetBindChange);
}

void TServiceBase::SetOnSessionChange(TSessionChangeEvent handler) {
    FOnSessionChange = std::move(handler);
    if (FOnSessionChange) AllowedExControls.insert(TAllowedExControl::alSessionChange);
}

void TServiceBase::SetOnPreShutdown(TServiceEvent handler) {
    FOnPreShutdown = std::move(handler);
    if (FOnPreShutdown) AllowedExControls.insert(TAllowedExControl::alPreShutdown);
}

std::string TServiceBase::ImagePath() const {
    std::string path = ExecutablePath();
    if (path.find(' ') != std::string::npos) path = "\"" + path + "\"";
    return path + " /SVC";
}

std::shared_ptr<TServiceThread> TServiceBase::ServiceThread() const {
    std::lock_guard guard(FThreadLock);
    return FServiceThread;
}

void TServiceBase::SetServiceThread(std::shared_ptr<TServiceThread> thread) {
    std::lock_guard guard(FThreadLock);
    FServiceThread = std::move(thread);
}

// The caller drops the returned pointer outside the lock: the last owner joins the thread.
std::shared_ptr<TServiceThread> TServiceBase::ReleaseServiceThread() {
    std::lock_guard guard(FThreadLock);
    return std::move(FServiceThread);
}

bool TServiceBase::Terminated() const {
    const std::shared_ptr<TServiceThread> thread = ServiceThread();
    return thread == nullptr || thread->Terminated();
}

std::uint32_t TServiceBase::ServiceTypeBits() const {
    switch (ServiceType) {
        case TServiceType::stDevice: return SERVICE_KERNEL_DRIVER;
        case TServiceType::stFileSystem: return SERVICE_FILE_SYSTEM_DRIVER;
        case TServiceType::stWin32: break;
    }
    std::uint32_t bits = InstanceCount() > 1 ? SERVICE_WIN32_SHARE_PROCESS : SERVICE_WIN32_OWN_PROCESS;
    if (FInteractive) bits |= SERVICE_INTERACTIVE_PROCESS;
    return bits;
}

// TServiceBase: event log -------------------------------------------------------------------

void TServiceBase::LogMessage(const std::string& text, TEventType type, std::uint8_t category,
                              std::uint32_t eventId) {
    std::lock_guard guard(FLoggerLock);
    if (!FEventLogger) FEventLogger = std::make_unique<TEventLogger>(ServiceName());
    FEventLogger->LogMessage(text, type, category, eventId);
}

// TServiceBase: main --------------------------------------------------------------------------

void TServiceBase::ServiceMain(const std::vector<std::string>& arguments) {
    FParams.insert(FParams.end(), arguments.begin(), arguments.end());
    FTriggerStarted = arguments.size() >= 2 && arguments[1] == "TriggerStarted";
    TStatusHandle handle = 0;
    long rc = ServiceControlManager().RegisterServiceCtrlHandlerEx(
        ServiceName(),
        [this](std::uint32_t control, std::uint32_t eventType, std::uintptr_t data) {
            return ControlHandler(control, eventType, data);
        },
        handle);
    if (rc != NO_ERROR) {
        LogError(WindowsErrorText(rc).empty() ? Format("Error %d", rc) : WindowsErrorText(rc));
        return;
    }
    FStatusHandle = handle;
    Main();
}

void TServiceBase::Main() {
    bool failed = false;
    std::string failure;
    try {
        SetStatus(TCurrentStatus::csStartPending);
        const auto worker = std::make_shared<TServiceThread>(*this);
        SetServiceThread(worker);
        worker->Start();
        worker->WaitFor();
        ReleaseServiceThread();
    } catch (...) {
        failed = true;
        failure = DescribeCurrentException().Message;
    }
    SetStatus(TCurrentStatus::csStopped);
    if (failed) LogError(Format("Service failed on %s: %s", "execute", failure));
}

}  // namespace keyrix
