#include "Services/SyncClients/VLHRM/MainService.h"

namespace keyrix {

TKeyrixSyncVLRM::TKeyrixSyncVLRM()
    : DataModuleFactory([] { return std::make_unique<TDataModule1>(); }) {}

void TKeyrixSyncVLRM::ServiceExecute() {
    std::unique_ptr<TDataModule1> module = DataModuleFactory();
    DataModule1 = module.get();
    // Free the object, then clear the global, also when the run raised.
    struct TRelease {
        std::unique_ptr<TDataModule1>& Module;
        ~TRelease() {
            Module.reset();
            DataModule1 = nullptr;
        }
    } release{module};
    module->RunService();
}

}  // namespace keyrix
