#include "Services/SyncClients/VLHRM/MainService.h"

#include "common/ScopeGuard.h"

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
