#include "setup/SetupWindow.h"

namespace keyrix {

TSetup* SetupInstance = nullptr;

TSetup::TSetup(bool coreGroup, bool databaseGroup, const std::string& caption) : TCustomSetup(caption) {
    BuildMenu(coreGroup, databaseGroup);
}

void TSetup::BuildMenu(bool coreGroup, bool databaseGroup) {
    TCustomSetup::BuildMenu(coreGroup, databaseGroup);

    TCMenuCategory* server = Menu->AddCategory("Server");
    server->AddInteger(ServerPort, "Port", 4702, 1, 65535);
    server->AddString(ServerPassword, "Password", "moonlake", 32);

    TCMenuCategory* general = Menu->AddCategory("General");
    general->AddBoolean(LogToFile, "Log messages to file", false);

    TCMenuCategory* hrm = Menu->AddCategory("HRM");
    hrm->AddBoolean(HrmImportEnabled, "Import enabled", true);
    hrm->AddString(HrmUrl, "Data source URL", "https://hrm.example.com/General/HrDataService.asmx/GetBrakonData", 120);
    hrm->AddString(HrmUser, "Username", "EXAMPLE\\hrmsync", 120);
    hrm->AddString(HrmPassword, "Password", "RimaSelo473", 120);

    TCMenuCategory* brakon = Menu->AddCategory("BRAKON");
    brakon->AddBoolean(CardHolderImportEnabled, "Import enabled", true);
    brakon->AddString(CardHolderFile, "Data source file", "C:\\BKE\\whgppu4xel.xml", 120);
}

}  // namespace keyrix
