#include "Services/SyncClients/VLHRM/MainService.h"

#include "common/Format.h"
#include "common/ScopeGuard.h"
#include "platform/RunLock.h"
#include "service/SvcConsole.h"

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
    const platform::TRunLock runLock(platform::TRunLock::DefaultPath(ServiceName()));
    if (!runLock.Held()) {
        // Not a synchronisation: nothing goes to the sync log.
        const std::string holder =
            runLock.HolderPid() > 0 ? Format("process %d", static_cast<int>(runLock.HolderPid())) : "another process";
        ServiceLogWarning(Format("Sync skipped: %s holds the run lock file \"%s\"", holder, runLock.Path()));
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
