// The HRM user import: employees of the feed become or update users.
#include "Services/SyncClients/VLHRM/Unit1.h"

#include "common/Exceptions.h"
#include "setup/SetupWindow.h"

namespace keyrix {

void TDataModule1::ImportHrmUsers() {
    if (!Settings().HrmImportEnabled) {
        SyncLogInfo("HRM import disabled");
        return;
    }
    throw ENotAvailable("The HRM user import is not available in this build");
}

}  // namespace keyrix
