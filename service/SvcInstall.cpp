#include "service/SvcInstall.h"

#include "common/Format.h"
#include "common/TextUtils.h"
#include "platform/Process.h"
#include "platform/WinError.h"
#include "service/RegistryEx.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace keyrix {

using namespace platform;

namespace {

// SC_ACTION_* of each failure action type.
std::uint32_t ActionCode(TFailureActionType type) {
    switch (type) {
        case TFailureActionType::faRestart: return 1;
        case TFailureActionType::faReboot: return 2;
        case TFailureActionType::faRunCommand: return 3;
        case TFailureActionType::faNone: break;
    }
    return 0;
}

std::string LogKeyPath(const TServiceBase& service) {
    return Format("\\%s\\%s", EventLogRegistryKey, service.LogOptions.EventLogName);
}

// The message library beside the executable.
std::string MessageFile(const TServiceBase& service) {
    return ExecutableDirectory() + service.LogOptions.MessagesLibrary;
}

void Check(bool ok, const char* message) {
    if (!ok) throw EServiceError(message);
}

}  // namespace

TServiceConfig ServiceConfigOf(const TServiceBase& service) {
    TServiceConfig config;
    config.ServiceName = service.ServiceName();
    config.DisplayName = service.DisplayName();

    switch (service.ServiceType) {
        case TServiceType::stDevice: config.ServiceType = SERVICE_KERNEL_DRIVER; break;
        case TServiceType::stFileSystem: config.ServiceType = SERVICE_FILE_SYSTEM_DRIVER; break;
        case TServiceType::stWin32:
            // A process holding several services shares it between them.
            config.ServiceType =
                TServiceBase::InstanceCount() > 1 ? SERVICE_WIN32_SHARE_PROCESS : SERVICE_WIN32_OWN_PROCESS;
            if (service.Interactive()) config.ServiceType |= SERVICE_INTERACTIVE_PROCESS;
            break;
    }

    switch (service.StartType) {
        case TStartType::stBoot: config.StartType = 0; break;
        case TStartType::stSystem: config.StartType = 1; break;
        case TStartType::stAuto:
        case TStartType::stAutoDelayed: config.StartType = 2; break;
        case TStartType::stManual: config.StartType = 3; break;
        case TStartType::stDisabled: config.StartType = 4; break;
    }
    // Only drivers start with the boot loader or the kernel.
    if (config.StartType < 2 && service.ServiceType != TServiceType::stDevice) config.StartType = 2;

    config.ErrorControl = static_cast<std::uint32_t>(service.ErrorSeverity);  // esIgnore 0 .. esCritical 3
    config.BinaryPathName = service.ImagePath();
    config.LoadOrderGroup = service.LoadGroup;
    for (const TDependency& dependency : service.Dependencies)
        config.Dependencies.push_back(dependency.IsGroup ? "+" + dependency.Name : dependency.Name);
    config.ServiceStartName = service.ServiceStartName();
    config.Password = service.Password();
    return config;
}

TServiceConfig2 ServiceConfig2Of(const TServiceBase& service) {
    TServiceConfig2 config;
    config.Description = service.Description();
    const TFailureOptions& options = service.FailureOptions;
    config.ResetPeriod = options.ResetPeriod < 0 ? 0xFFFFFFFF : static_cast<std::uint32_t>(options.ResetPeriod);
    config.RebootMessage = options.RebootMessage;
    config.Command = options.Command;
    for (const TFailureAction& action : service.FailureActions)
        config.Actions.push_back({ActionCode(action.ActionType()), static_cast<std::uint32_t>(action.Delay())});
    config.FailureActionsOnNonCrashFailures = options.NonCrashFailures;
    config.PreShutdownTimeout = static_cast<std::uint32_t>(service.PreShutdownTimeout);
    config.DelayedAutoStart = service.StartType == TStartType::stAutoDelayed;
    switch (service.ServiceSidType) {
        case TServiceSidType::stUnrestricted: config.ServiceSidType = 1; break;
        case TServiceSidType::stRestricted: config.ServiceSidType = 3; break;
        case TServiceSidType::stNone: config.ServiceSidType = 0; break;
    }
    config.RequiredPrivileges = service.RequiredPrivileges;
    return config;
}

void InstallService(TServiceBase& service) {
    if (service.BeforeInstall) service.BeforeInstall(service);
    IServiceControlManager& manager = ServiceControlManager();
    if (long rc = manager.CreateService(ServiceConfigOf(service))) RaiseOSError(rc);
    try {
        SetExtendedConfig(service);
        service.DoAfterInstall();
    } catch (...) {
        // No half-configured service stays behind; the error that stopped it is the one reported.
        manager.DeleteService(service.ServiceName());
        throw;
    }
}

void UninstallService(TServiceBase& service) {
    IServiceControlManager& manager = ServiceControlManager();
    const std::string name = service.ServiceName();
    if (long rc = manager.OpenService(name)) {
        if (rc == ERROR_SERVICE_DOES_NOT_EXIST) return;
        RaiseOSError(rc);
    }
    if (service.BeforeUninstall) service.BeforeUninstall(service);
    if (long rc = manager.DeleteService(name)) RaiseOSError(rc);
    service.DoAfterUninstall();
}

void SetExtendedConfig(TServiceBase& service) {
    struct TStep {
        TConfig2Level Level;
        const char* Label;
    };
    static const TStep steps[] = {
        {TConfig2Level::Description, "Description"},
        {TConfig2Level::FailureActions, "Recovery Options"},
        {TConfig2Level::FailureActionsFlag, "Actions for stops with errors"},
        {TConfig2Level::PreShutdownInfo, "Preshutdown Timeout"},
        {TConfig2Level::DelayedAutoStart, "Delayed Start"},
        {TConfig2Level::ServiceSidInfo, "Service SID Type"},
        {TConfig2Level::RequiredPrivileges, "Required Privileges"},
    };
    auto refused = [](long code, const char* label) {
        return EOSError(static_cast<int>(code),
                        Format("%s on the attempt to set property \"%s\"", WindowsErrorText(code), label));
    };

    const TServiceConfig2 config = ServiceConfig2Of(service);
    const std::string name = service.ServiceName();
    IServiceControlManager& manager = ServiceControlManager();
    for (const TStep& step : steps) {
        if (step.Level == TConfig2Level::FailureActions) {
            const bool reboots = std::any_of(config.Actions.begin(), config.Actions.end(),
                                             [](const TFailureActionRecord& a) { return a.Type == 2; });
            // A reboot action is refused to a process that may not reboot the machine.
            if (reboots && !EnableShutdownPrivilege()) throw refused(ERROR_ACCESS_DENIED, step.Label);
        }
        if (long rc = manager.ChangeServiceConfig2(name, step.Level, config)) throw refused(rc, step.Label);
    }
}

void CreateCustomEventLog(TServiceBase& service) {
    const TServiceLogOptions& options = service.LogOptions;
    Check(!options.EventLogName.empty(), "CreateCustomEventLog: Service EventLogName must be defined!");
    Check(!options.MessagesLibrary.empty(), "CreateCustomEventLog: Service MessagesLibrary must be defined!");

    TRegistry registry;
    const std::string logKey = LogKeyPath(service);
    // An existing log keeps its settings; other services may log into it.
    if (registry.KeyExists(logKey)) return;
    if (!registry.OpenKey(logKey, true))
        throw EServiceError("Failed to register event log. Error: " + WindowsErrorText(registry.LastError()));
    const std::string messageFile = MessageFile(service);
    registry.WriteExpandString("DisplayNameFile", messageFile);
    registry.WriteInteger("DisplayNameID", 4);
    registry.WriteExpandString("File", options.EventLogName + ".evt");
    registry.WriteInteger("MaxSize", 0x80000);
    registry.WriteString("PrimaryModule", options.EventLogName);
    registry.WriteInteger("Retention", 0);
    registry.CloseKey();
}

void RegisterEventLogSource(TServiceBase& service) {
    const TServiceLogOptions& options = service.LogOptions;
    const std::string name = service.ServiceName();
    Check(!name.empty(), "RegisterEventLogSource: Service ServiceName must be defined!");
    Check(!options.EventLogName.empty(), "RegisterEventLogSource: Service EventLogName must be defined!");
    Check(!options.MessagesLibrary.empty(), "RegisterEventLogSource: Service MessagesLibrary must be defined!");
    Check(options.MessageCategoryCount > 0, "RegisterEventLogSource: Service MessageCategoryCount must be > 0!");

    TRegistryEx registry;
    const std::string logKey = LogKeyPath(service);
    Check(registry.OpenKey(logKey, false),
          "RegisterEventLogSource: Event log does not exist! Use CreateCustomEventLog first");
    std::vector<std::string> sources;
    if (registry.ValueExists("Sources")) sources = registry.ReadMultiSz("Sources");
    if (std::none_of(sources.begin(), sources.end(), [&](const std::string& s) { return SameText(s, name); })) {
        sources.push_back(name);
        registry.WriteMultiSz("Sources", sources);
    }
    registry.CloseKey();

    if (!registry.OpenKey(logKey + "\\" + name, true))
        throw EServiceError("RegisterEventLogSource: failed to register! Error: " +
                            WindowsErrorText(registry.LastError()));
    const std::string messageFile = MessageFile(service);
    registry.WriteString("EventMessageFile", messageFile);
    registry.WriteString("CategoryMessageFile", messageFile);
    registry.WriteInteger("CategoryCount", options.MessageCategoryCount);
    registry.WriteInteger("TypesSupported", 7);
    registry.CloseKey();
}

void UnRegisterEventLogSource(TServiceBase& service) {
    const TServiceLogOptions& options = service.LogOptions;
    const std::string name = service.ServiceName();
    Check(!name.empty(), "UnRegisterEventLogSource: Service ServiceName must be defined!");
    Check(!options.EventLogName.empty(), "UnRegisterEventLogSource: Service EventLogName must be defined!");

    TRegistryEx registry;
    const std::string logKey = LogKeyPath(service);
    if (!registry.KeyExists(logKey)) return;
    if (!registry.OpenKey(logKey, false))
        throw EServiceError("Failed to unregister from event log! Error: " + WindowsErrorText(registry.LastError()));
    std::vector<std::string> sources;
    if (registry.ValueExists("Sources")) {
        sources = registry.ReadMultiSz("Sources");
        for (auto i = sources.size(); i-- > 0;)
            if (SameText(sources[i], name)) sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (!sources.empty()) {
        registry.WriteMultiSz("Sources", sources);
        registry.CloseKey();
        return;
    }
    // The last source is gone: the log goes with every source key under it.
    registry.CloseKey();
    if (!registry.DeleteKey(logKey))
        throw EServiceError("Failed to unregister from event log! Error: " + WindowsErrorText(registry.LastError()));
}

bool EnableShutdownPrivilege() {
    if (::geteuid() == 0) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_SYS_BOOT / 32].effective & (1u << (CAP_SYS_BOOT % 32))) != 0;
}

}  // namespace keyrix
