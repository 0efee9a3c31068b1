// The service control manager seen from the service process: the dispatcher that runs the
// services of the process, control-handler registration, status reports, and the install
// side (create, open, delete, extended configuration). The Linux implementation is systemd;
// tests put in a double.
#pragma once

#include "platform/Seam.h"
#include "platform/WinError.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace keyrix::platform {

// Service states.
inline constexpr std::uint32_t SERVICE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_START_PENDING = 2;
inline constexpr std::uint32_t SERVICE_STOP_PENDING = 3;
inline constexpr std::uint32_t SERVICE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_CONTINUE_PENDING = 5;
inline constexpr std::uint32_t SERVICE_PAUSE_PENDING = 6;
inline constexpr std::uint32_t SERVICE_PAUSED = 7;

// Controls a service accepts.
inline constexpr std::uint32_t SERVICE_ACCEPT_STOP = 0x1;
inline constexpr std::uint32_t SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2;
inline constexpr std::uint32_t SERVICE_ACCEPT_SHUTDOWN = 0x4;
inline constexpr std::uint32_t SERVICE_ACCEPT_PARAMCHANGE = 0x8;
inline constexpr std::uint32_t SERVICE_ACCEPT_NETBINDCHANGE = 0x10;
inline constexpr std::uint32_t SERVICE_ACCEPT_SESSIONCHANGE = 0x80;
inline constexpr std::uint32_t SERVICE_ACCEPT_PRESHUTDOWN = 0x100;

// Service types, start types, error control.
inline constexpr std::uint32_t SERVICE_KERNEL_DRIVER = 0x1;
inline constexpr std::uint32_t SERVICE_FILE_SYSTEM_DRIVER = 0x2;
inline constexpr std::uint32_t SERVICE_WIN32_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t SERVICE_WIN32_SHARE_PROCESS = 0x20;
inline constexpr std::uint32_t SERVICE_INTERACTIVE_PROCESS = 0x100;

struct TServiceStatusRecord {
    std::uint32_t ServiceType = 0;
    std::uint32_t CurrentState = 0;
    std::uint32_t ControlsAccepted = 0;
    std::uint32_t Win32ExitCode = 0;
    std::uint32_t ServiceSpecificExitCode = 0;
    std::uint32_t CheckPoint = 0;
    std::uint32_t WaitHint = 0;
};

struct TServiceTableEntry {
    std::string ServiceName;
    // Called on a thread of the dispatcher with the start arguments, service name first.
    std::function<void(const std::vector<std::string>& arguments)> ServiceMain;
};

// Answers a Windows error code (NO_ERROR when the control is taken).
using TControlHandler = std::function<long(std::uint32_t control, std::uint32_t eventType, std::uintptr_t eventData)>;

using TStatusHandle = std::uintptr_t;  // 0 is no handle

// What installing registers.
struct TServiceConfig {
    std::string ServiceName;
    std::string DisplayName;
    std::uint32_t ServiceType = SERVICE_WIN32_OWN_PROCESS;
    std::uint32_t StartType = 2;     // SERVICE_AUTO_START
    std::uint32_t ErrorControl = 1;  // SERVICE_ERROR_NORMAL
    std::string BinaryPathName;      // the command line
    std::string LoadOrderGroup;
    std::vector<std::string> Dependencies;  // group names start with "+"
    std::string ServiceStartName;           // empty: the system account
    std::string Password;
};

// The extended configuration, by information level.
struct TFailureActionRecord {
    std::uint32_t Type = 0;  // SC_ACTION_NONE 0, RESTART 1, REBOOT 2, RUN_COMMAND 3
    std::uint32_t Delay = 0; // ms
};
struct TServiceConfig2 {
    std::string Description;
    std::uint32_t ResetPeriod = 0xFFFFFFFF;  // INFINITE
    std::string RebootMessage;
    std::string Command;
    std::vector<TFailureActionRecord> Actions;
    bool FailureActionsOnNonCrashFailures = false;
    std::uint32_t PreShutdownTimeout = 180000;
    bool DelayedAutoStart = false;
    std::uint32_t ServiceSidType = 0;
    std::vector<std::string> RequiredPrivileges;
};
enum class TConfig2Level : std::uint32_t {
    Description = 1,
    FailureActions = 2,
    DelayedAutoStart = 3,
    FailureActionsFlag = 4,
    ServiceSidInfo = 5,
    RequiredPrivileges = 6,
    PreShutdownInfo = 7,
};

class IServiceControlManager {
public:
    virtual ~IServiceControlManager() = default;

    // Runs every service of the table on a thread of its own and returns when all have
    // ended; ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not started as a
    // service.
    virtual long StartServiceCtrlDispatcher(const std::vector<TServiceTableEntry>& table) = 0;
    virtual long RegisterServiceCtrlHandlerEx(const std::string& serviceName, TControlHandler handler,
                                              TStatusHandle& handle) = 0;
    virtual long SetServiceStatus(TStatusHandle handle, const TServiceStatusRecord& status) = 0;

    // Access to the manager itself (OpenSCManager): fails without the rights to change it.
    virtual long Connect(bool allAccess) = 0;
    virtual long CreateService(const TServiceConfig& config) = 0;
    virtual long OpenService(const std::string& serviceName) = 0;  // NO_ERROR when installed
    virtual long DeleteService(const std::string& serviceName) = 0;
    virtual long ChangeServiceConfig2(const std::string& serviceName, TConfig2Level level,
                                      const TServiceConfig2& config) = 0;
    // The first line the manager's own tools printed during the changes since the last call
    // (ANSI, with the tool's name in front), or empty; taking it clears it.
    virtual std::string TakeNote() { return {}; }
};

// The manager of this process: systemd unless a test put in another
// (TScopedServiceControlManager; the threads of the seam's contract in Seam.h).
IServiceControlManager& ServiceControlManager();
using TScopedServiceControlManager = TSeam<IServiceControlManager>::TScoped;

}  // namespace keyrix::platform
