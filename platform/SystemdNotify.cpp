// The messages of the systemd notification protocol: a status report as sd_notify takes it,
// and the last run's outcome as the service's status text.
#include "platform/SystemdServiceManager.h"

#include "common/Format.h"
#include "platform/WinError.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>
#include <mutex>

namespace keyrix::platform {

namespace {

std::mutex& RunStatusLock() {
    static std::mutex lock;
    return lock;
}
std::string& RunStatus() {
    static std::string status;
    return status;
}

// A status text is one line of the notification.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

void SetRunStatus(const std::string& utf8Text) {
    {
        std::lock_guard guard(RunStatusLock());
        RunStatus() = OneLine(utf8Text);
    }
    if (!utf8Text.empty() && std::getenv("NOTIFY_SOCKET") != nullptr)
        ::sd_notify(0, ("STATUS=" + OneLine(utf8Text)).c_str());
}

std::string NotifyMessage(const TServiceStatusRecord& status) {
    static const char* const names[] = {"Stopped",          "Start pending", "Stop pending", "Running",
                                        "Continue pending", "Pause pending", "Paused"};
    const std::uint32_t state = status.CurrentState;
    std::string message;
    if (state == SERVICE_RUNNING) message += "READY=1\n";
    if (state == SERVICE_STOP_PENDING) message += "STOPPING=1\n";
    message += "STATUS=";
    message += state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? names[state - 1] : "Unknown state";
    if (state == SERVICE_STOPPED && status.Win32ExitCode != 0) {
        message += status.Win32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                       ? Format(" (service-specific error %u)", status.ServiceSpecificExitCode)
                       : Format(" (error %u)", status.Win32ExitCode);
    }
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
        std::lock_guard guard(RunStatusLock());
        if (!RunStatus().empty()) message += "; " + RunStatus();
    }
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
                         state == SERVICE_CONTINUE_PENDING || state == SERVICE_PAUSE_PENDING;
    // The wait hint is how long until the next report: systemd's timeout stretches by as much.
    if (pending && status.WaitHint > 0)
        message += Format("\nEXTEND_TIMEOUT_USEC=%u", static_cast<unsigned long long>(status.WaitHint) * 1000);
    return message;
}

}  // namespace keyrix::platform
