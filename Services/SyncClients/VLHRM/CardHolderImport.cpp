// The card-holder import: users get their card-holder id, keypad account and access card.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "common/Exceptions.h"
#include "setup/SetupWindow.h"

namespace keyrix {

void TDataModule1::ImportCardHolders() {
    if (!Settings().CardHolderImportEnabled) {
        SyncLogInfo("BK import disabled");
        return;
    }
    throw ENotAvailable("The card-holder import is not available in this build");
}

}  // namespace keyrix
