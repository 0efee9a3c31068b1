#include "setup/SetupWindow.h"

#include "common/Exceptions.h"
#include "common/Format.h"
#include "platform/Registry.h"

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

namespace {

// A positive REG_DWORD up to the limit; a missing value keeps the default.
void LoadBound(platform::TRegistry& registry, const std::string& keyPath, const char* name, std::int32_t most,
               std::int32_t& field) {
    if (!registry.OpenKeyReadOnly(keyPath) || !registry.ValueExists(name)) return;
    const std::int32_t value = registry.ReadInteger(name);
    if (value < 1 || value > most)
        throw platform::ERegistryException(
            Format("Invalid value %d for '%s' in %s of \"%s\": expected 1 to %d", value, name, keyPath,
                   registry.Hive().FilePath(), most));
    field = value;
}

// A percentage: 0 to 100, 0 being off; a missing value keeps the default.
void LoadPercent(platform::TRegistry& registry, const std::string& keyPath, const char* name, std::int32_t& field) {
    if (!registry.OpenKeyReadOnly(keyPath) || !registry.ValueExists(name)) return;
    const std::int32_t value = registry.ReadInteger(name);
    if (value < 0 || value > 100)
        throw platform::ERegistryException(
            Format("Invalid value %d for '%s' in %s of \"%s\": expected 0 (off) to 100", value, name, keyPath,
                   registry.Hive().FilePath()));
    field = value;
}

// A switch: 0 or 1; a missing value keeps the default.
void LoadSwitch(platform::TRegistry& registry, const std::string& keyPath, const char* name, bool& field) {
    if (!registry.OpenKeyReadOnly(keyPath) || !registry.ValueExists(name)) return;
    const std::int32_t value = registry.ReadInteger(name);
    if (value != 0 && value != 1)
        throw platform::ERegistryException(Format("Invalid value %d for '%s' in %s of \"%s\": expected 0 or 1", value,
                                                  name, keyPath, registry.Hive().FilePath()));
    field = value == 1;
}

// A text (REG_SZ); a missing value keeps the default.
void LoadText(platform::TRegistry& registry, const std::string& keyPath, const char* name, std::string& field) {
    if (registry.OpenKeyReadOnly(keyPath) && registry.ValueExists(name)) field = registry.ReadString(name);
}

}  // namespace

void TSetup::LoadUnlistedSettings(platform::TRegistry& registry) {
    const std::string key = "\\" + GetKeyPath();
    LoadBound(registry, key + "\\Database", "Call time-out seconds", 7 * 24 * 60 * 60, DatabaseCallTimeoutSeconds);
    LoadBound(registry, key + "\\HRM", "Maximum feed size MiB", 1024 * 1024, MaxFeedSizeMiB);
    LoadSwitch(registry, key + "\\HRM", "Verify certificate", HrmVerifyCertificate);
    LoadText(registry, key + "\\HRM", "CA file", HrmCaFile);
    LoadText(registry, key + "\\HRM", "Pinned public key", HrmPinnedPublicKey);
    LoadBound(registry, key + "\\HRM", "Download time-out seconds", 7 * 24 * 60 * 60, DownloadTimeoutSeconds);
    LoadBound(registry, key + "\\HRM", "Minimum speed bytes per second", 1024 * 1024 * 1024, MinimumSpeedBytesPerSecond);
    LoadPercent(registry, key + "\\Safety", "Maximum leavers percent", MaxLeaversPercent);
    LoadPercent(registry, key + "\\Safety", "Maximum unlinks percent", MaxUnlinksPercent);
    LoadText(registry, key + "\\General", "Metrics file", MetricsFile);
    LoadBound(registry, key + "\\Monitoring", "Warning age minutes", MostAgeMinutes, WarningAgeMinutes);
    LoadBound(registry, key + "\\Monitoring", "Critical age minutes", MostAgeMinutes, CriticalAgeMinutes);
    LoadText(registry, key + "\\Monitoring", "Summary group", SummaryGroup);
}

}  // namespace keyrix
