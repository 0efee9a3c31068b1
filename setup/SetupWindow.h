// TSetup: the settings of this system. Every field holds its built-in default from
// construction on and the stored value after LoadSettings; the rest of the process reads
// the fields of SetupInstance directly.
#pragma once

#include "setup/uServiceSetup.h"

#include <cstdint>
#include <string>

namespace keyrix {

class TSetup : public TCustomSetup {
public:
    // Builds the menu (and with it every default) at once.
    TSetup(bool coreGroup, bool databaseGroup, const std::string& caption);

    void BuildMenu(bool coreGroup, bool databaseGroup) override;
    std::string GetKeyPath() const override { return "Software\\Keyrix\\Synchronizer\\Clients\\VLHRM"; }
    TServiceBase* GetService() const override { return Service; }

    // The process's one service object, set by the entry point.
    TServiceBase* Service = nullptr;

    std::string ServerPassword;
    std::int32_t ServerPort = 0;
    bool LogToFile = false;
    std::string HrmUrl;
    std::string HrmUser;
    std::string HrmPassword;
    bool HrmImportEnabled = false;
    std::string CardHolderFile;
    bool CardHolderImportEnabled = false;

    // Bounds that an administrator may change in the hive but not in the menu.
    // "Database" / "Call time-out seconds": the longest one database call may take.
    std::int32_t DatabaseCallTimeoutSeconds = DefaultDatabaseCallTimeoutSeconds;
    // "HRM" / "Maximum feed size MiB": the largest feed the download accepts.
    std::int32_t MaxFeedSizeMiB = DefaultMaxFeedSizeMiB;
    // "Safety" / "Maximum leavers percent" and "Maximum unlinks percent": the largest share
    // of the active HRM-managed users a pass may mark deleted, and of the linked users it may
    // unlink, before it is rolled back instead of committed; 0 (the default) is no limit.
    std::int32_t MaxLeaversPercent = 0;
    std::int32_t MaxUnlinksPercent = 0;
    // "HRM" / "Verify certificate" (0 or 1), "CA file" and "Pinned public key": the checks of
    // the HRM server's certificate. By default none: any certificate is taken.
    bool HrmVerifyCertificate = false;
    std::string HrmCaFile;
    std::string HrmPinnedPublicKey;
    // "HRM" / "Download time-out seconds": the longest a whole download may take;
    // "Minimum speed bytes per second": the least a download must keep up over the stall
    // window, so that a server that trickles cannot hold the run.
    std::int32_t DownloadTimeoutSeconds = DefaultDownloadTimeoutSeconds;
    std::int32_t MinimumSpeedBytesPerSecond = DefaultMinimumSpeedBytesPerSecond;
    // "General" / "Metrics file": where each run leaves its figures for Prometheus's
    // node_exporter; empty (the default) writes none.
    std::string MetricsFile;
    // "Monitoring" / "Warning age minutes" and "Critical age minutes": how old the last run
    // may be before the check command warns, and before it reports a failure. Each run
    // writes them into its summary, as the check's account cannot read the hive.
    std::int32_t WarningAgeMinutes = DefaultWarningAgeMinutes;
    std::int32_t CriticalAgeMinutes = DefaultCriticalAgeMinutes;
    // "Monitoring" / "Summary group": a group whose members may read the run summary (mode
    // 0640); empty (the default) keeps it the owner's alone.
    std::string SummaryGroup;

    static constexpr std::int32_t DefaultDatabaseCallTimeoutSeconds = 10 * 60;
    static constexpr std::int32_t DefaultMaxFeedSizeMiB = 1024;
    static constexpr std::int32_t DefaultDownloadTimeoutSeconds = 60 * 60;
    static constexpr std::int32_t DefaultMinimumSpeedBytesPerSecond = 1024;
    static constexpr std::int32_t DefaultWarningAgeMinutes = 120;
    static constexpr std::int32_t DefaultCriticalAgeMinutes = 24 * 60;
    static constexpr std::int32_t MostAgeMinutes = 366 * 24 * 60;

protected:
    void LoadUnlistedSettings(platform::TRegistry& registry) override;
};

// The one settings object of the process, owned by the entry point; null outside its life.
extern TSetup* SetupInstance;

}  // namespace keyrix
