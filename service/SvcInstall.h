// Installing and uninstalling a service: its registration with the service control
// manager, its extended configuration, and its event log and event source in the registry.
#pragma once

#include "platform/ServiceManager.h"
#include "service/SvcObject.h"

#include <string>

namespace keyrix {

// SYSTEM\CurrentControlSet\Services\EventLog: one subkey per log, one below it per source.
inline constexpr const char* EventLogRegistryKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog";

// What installing registers, from the service's properties.
platform::TServiceConfig ServiceConfigOf(const TServiceBase& service);
platform::TServiceConfig2 ServiceConfig2Of(const TServiceBase& service);

// Both raise on failure (a refusal of the service control manager as the operating-system
// error, RaiseOSError). An install whose extended configuration or event-log
// registration fails deletes the service again; uninstalling a service that is not
// installed succeeds without doing anything.
void InstallService(TServiceBase& service);
void UninstallService(TServiceBase& service);

// The extended configuration, level by level; a refused level raises
// "<system text> on the attempt to set property \"<label>\"".
void SetExtendedConfig(TServiceBase& service);

// The event log of the service's log options, created when missing; the service as an
// event source in it; and the source removed again (with the whole log once no source
// remains). Their check messages begin with the operation's name.
void CreateCustomEventLog(TServiceBase& service);
void RegisterEventLogSource(TServiceBase& service);
void UnRegisterEventLogSource(TServiceBase& service);

// Whether the process may reboot the machine (needed before a reboot failure action is
// set): effective user id 0 or CAP_SYS_BOOT.
bool EnableShutdownPrivilege();

}  // namespace keyrix
