// The service control manager of the Linux build: systemd.
//
// Run side: the process runs as a Type=notify unit, so NOTIFY_SOCKET tells whether systemd
// started it; status reports become sd_notify messages, and the stop and param-change
// controls arrive as SIGTERM and SIGHUP.
// Install side: a service is installed when its unit file exists in the unit folder
// (SystemdUnitFile.h); systemctl runs with a bounded wait (BoundedProcess.h).
// The notification messages are built in SystemdNotify.cpp.
#pragma once

#include "common/ThreadSafety.h"
#include "platform/ServiceManager.h"

#include <string>
#include <vector>

namespace keyrix::platform {

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

    TMutex FDeliveryLock KEYRIX_ACQUIRED_BEFORE(FLock);  // held while a control is handed to the handlers
    TMutex FLock;
    std::vector<TControlHandler> FHandlers KEYRIX_GUARDED_BY(FLock);  // a status handle is its index + 1
    bool FRoutingSignals KEYRIX_GUARDED_BY(FLock) = false;
    std::string FNote KEYRIX_GUARDED_BY(FLock);
};

// The message sd_notify receives for a status report.
std::string NotifyMessage(const TServiceStatusRecord& status);

// The outcome of the last run as the service's status text: sent at once when systemd
// listens (NOTIFY_SOCKET), and kept, so that the stop reports that follow carry it after
// their state and `systemctl status` shows it once the service has ended. Empty clears it.
void SetRunStatus(const std::string& utf8Text);

}  // namespace keyrix::platform
