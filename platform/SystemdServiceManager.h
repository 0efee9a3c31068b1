// The service control manager of the Linux build: systemd.
//
// Run side: the process runs as a Type=notify unit, so NOTIFY_SOCKET tells whether systemd
// started it; status reports become sd_notify messages, and the stop and param-change
// controls arrive as SIGTERM and SIGHUP.
// Install side: a service is installed when its unit file exists in the unit folder.
#pragma once

#include "platform/ServiceManager.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace keyrix::platform {

// KEYRIX_SYSTEMD_DIR when set, else /etc/systemd/system.
std::string SystemdUnitDirectory();
// The unit file of a service: the folder, the service name and ".service".
std::string SystemdUnitPath(const std::string& serviceName);

// Runs a program (looked up in PATH, no shell) with the given arguments, the program
// first, and waits at most the given time; a program still running then is killed, with
// what it started (its process group). Answers its exit status, or -1 when it could not
// run, was killed or timed out.
// Nothing it prints reaches the process's terminal: its standard input is /dev/null, and
// its standard output and error go, as written, into output (when given), up to
// outputLimit bytes; the rest is read and dropped. Output still coming from what it left
// running after it ended is not waited for.
int RunProgramBounded(const std::vector<std::string>& arguments, std::chrono::milliseconds limit,
                      std::string* output = nullptr, std::size_t outputLimit = 16384);

class TSystemdServiceManager final : public IServiceControlManager {
public:
    TSystemdServiceManager() = default;
    TSystemdServiceManager(const TSystemdServiceManager&) = delete;
    TSystemdServiceManager& operator=(const TSystemdServiceManager&) = delete;
    ~TSystemdServiceManager() override;

    long StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& table) override;
    long RegisterServiceCtrlHandlerEx(const std::string& serviceName, TControlHandler handler,
                                      TStatusHandle& handle) override;
    long SetServiceStatus(TStatusHandle handle, const TServiceStatusRecord& status) override;

    long Connect(bool allAccess) override;
    long CreateService(const TServiceConfig& config) override;
    long OpenService(const std::string& serviceName) override;
    long DeleteService(const std::string& serviceName) override;
    long ChangeServiceConfig2(const std::string& serviceName, TConfig2Level level,
                              const TServiceConfig2& config) override;
    std::string TakeNote() override;

private:
    void DeliverControl(std::uint32_t control);
    void StopRoutingSignals();
    // Runs systemctl --quiet with the arguments; keeps the first line it printed as the note.
    void Systemctl(std::vector<std::string> arguments);

    std::mutex FDeliveryLock;  // held while a control is handed to the handlers
    std::mutex FLock;
    std::vector<TControlHandler> FHandlers;  // a status handle is its index + 1
    bool FRoutingSignals = false;
    std::string FNote;  // guarded by FLock
};

// The message sd_notify receives for a status report.
std::string NotifyMessage(const TServiceStatusRecord& status);

// The outcome of the last run as the service's status text: sent at once when systemd
// listens (NOTIFY_SOCKET), and kept, so that the stop reports that follow carry it after
// their state and `systemctl status` shows it once the service has ended. Empty clears it.
void SetRunStatus(const std::string& utf8Text);

}  // namespace keyrix::platform
