// TKeyrixSyncVLRM: the service of this system. Its work is one sync run per start.
#pragma once

#include "Services/SyncClients/VLHRM/Unit1.h"
#include "service/SvcObject.h"

#include <functional>
#include <memory>

namespace keyrix {

class TKeyrixSyncVLRM : public TServiceBase {
public:
    using TDataModuleFactory = std::function<std::unique_ptr<TDataModule1>()>;

    TKeyrixSyncVLRM();

    // The execute handler: creates the sync object, keeps it in DataModule1 while it runs,
    // and frees it in every case. Errors of the run pass on to the caller.
    void ServiceExecute(TServiceBase& sender);

    // How the sync object is made; tests put in objects whose phases fail at will.
    TDataModuleFactory DataModuleFactory;
};

// The process's one service object, kept by the entry point.
extern TKeyrixSyncVLRM* KeyrixSyncVLRM;

}  // namespace keyrix
