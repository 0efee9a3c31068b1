#include "Services/SyncClients/VLHRM/MainService.h"

#include "common/Format.h"
#include "common/ScopeGuard.h"
#include "platform/RunLock.h"
#include "service/SvcConsole.h"

#include <optional>

namespace keyrix {

TKeyrixSyncVLRM* KeyrixSyncVLRM = nullptr;

TKeyrixSyncVLRM::TKeyrixSyncVLRM()
    : TServiceBase("KeyrixSyncVLRM"), DataModuleFactory([] { return std::make_unique<TDataModule1>(); }) {
    SetDisplayName("Keyrix Sync Client (VLHRM)");
    SetServiceName("KeyrixSyncVLRM");
    SetDescription("Veltrona HRM users sync");
    LogOptions.EventLogName = "Keyrix";
    LogOptions.MessagesLibrary = "KeyrixMessages.dll";
    OnExecute = [this](TServiceBase& sender) { ServiceExecute(sender); };
}

void TKeyrixSyncVLRM::ServiceExecute(TServiceBase&) {
    // Two runs at once would both insert the same new employees: one run per host. The lock
    // outlives the sync object, so nothing of a run is left when the next one may start.
    std::optional<platform::TRunLock> runLock;
    try {
        runLock.emplace(platform::TRunLock::DefaultPath(ServiceName()));
    } catch (const platform::ERunLockError&) {
        // A lock that cannot be trusted is a failed run, not a skipped one: its summary says
        // why, and the error goes on to the service's own report.
        DataModuleFactory()->ReportRefusedRun();
        throw;
    }
    if (!runLock->Held()) {
        // Not a synchronisation: nothing goes to the sync log. The id is only what the file
        // says.
        const std::string claim =
            runLock->HolderPid() > 0 ? Format(" (the file names process %d)", static_cast<int>(runLock->HolderPid())) : "";
        ServiceLogWarning(Format("Sync skipped: another process holds the run lock file \"%s\"%s", runLock->Path(), claim));
        return;
    }
    std::unique_ptr<TDataModule1> module = DataModuleFactory();
    DataModule1 = module.get();
    // Free the object, then clear the global, also when the run raised.
    TScopeGuard release([&module] {
        module.reset();
        DataModule1 = nullptr;
    });
    module->RunService();
}

}  // namespace keyrix
