#include "setup/SetupWindow.h"

#include "common/Exceptions.h"
#include "platform/ConsoleScreen.h"
#include "platform/PosixFiles.h"
#include "platform/Registry.h"
#include "service/SvcApplication.h"
#include "tests/TestSupport.h"
#include "tests/service/ServiceDoubles.h"
#include "tests/setup/HiveFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

using namespace keyrix;
using namespace keyrix::test;
using platform::FolderOf;
using platform::REG_DWORD;

namespace {

class Settings : public HiveFixture {
protected:
    std::unique_ptr<TSetup> Load() {
        auto setup = std::make_unique<TSetup>(false, true, "Keyrix HRM sync service settings");
        setup->LoadSettings();
        return setup;
    }
};

}  // namespace

TEST_F(Settings, NoKeyGivesTheDefaultsAndWritesNothing) {
    auto s = Load();
    EXPECT_EQ(s->DatabaseServer, "127.0.0.1");
    EXPECT_EQ(s->DatabasePort, 3050);
    EXPECT_EQ(s->DatabaseName, "keyrix_serv");
    EXPECT_EQ(s->DatabaseUser, "SYSDBA");
    EXPECT_EQ(s->DatabasePassword, "lanternox");
    EXPECT_EQ(s->ServerPort, 4702);
    EXPECT_EQ(s->ServerPassword.size(), 8u);
    EXPECT_FALSE(s->LogToFile);
    EXPECT_TRUE(s->HrmImportEnabled);
    EXPECT_EQ(s->HrmUrl.rfind("https://", 0), 0u);
    EXPECT_NE(s->HrmUrl.find(".example.com/General/HrDataService.asmx/GetBrakonData"), std::string::npos);
    EXPECT_NE(s->HrmUser.find('\\'), std::string::npos) << "a domain account";
    EXPECT_EQ(s->HrmPassword, "RimaSelo473");
    EXPECT_TRUE(s->CardHolderImportEnabled);
    EXPECT_EQ(s->CardHolderFile, "C:\\BKE\\whgppu4xel.xml");
    EXPECT_EQ(s->CoreServicePort, 0) << "the core-service group is not built";
    EXPECT_FALSE(FileExists(HivePath));
}

TEST_F(Settings, ScreenOrderIsDatabaseServerGeneralHrmBrakonThenButtons) {
    auto s = Load();
    std::vector<std::string> captions;
    for (TCMenuBaseItem* item = s->Menu->FirstItem(); item; item = item->Next)
        if (!dynamic_cast<TCMenuSetting*>(item)) captions.push_back(item->Caption);
    EXPECT_EQ(captions, (std::vector<std::string>{"Database", "Server", "General", "HRM", "BRAKON", "Install service",
                                                  "Restore defaults", "Save and exit", "Exit (ESC)"}));
    EXPECT_EQ(s->Menu->RowCount, 5 * 2 + 5 + 2 + 1 + 4 + 2);
    EXPECT_EQ(s->InstallButton, s->Menu->FirstButton);
    EXPECT_EQ(s->Menu->Title, "Keyrix HRM sync service settings");
}

TEST_F(Settings, OldValueNamesAreMigratedOnce) {
    WriteHive(Section() + "\r\n" + Section("General") + "\"Core service server\"=\"10.0.0.9\"\r\n\r\n" +
              Section("Database") +
              "\"Server\"=\"db.example.org\"\r\n\"Port\"=dword:00000c1c\r\n\"Alias\"=\"access\"\r\n\r\n");
    auto s = Load();
    EXPECT_EQ(s->DatabaseServer, "db.example.org");
    EXPECT_EQ(s->DatabasePort, 3100);
    EXPECT_EQ(s->DatabaseName, "access");

    auto root = Open();
    EXPECT_EQ(root->GetDataType("Version"), REG_DWORD);
    EXPECT_EQ(root->ReadInteger("Version"), 1);
    auto database = Open("Database");
    EXPECT_EQ(database->ReadString("Server address"), "db.example.org");
    EXPECT_EQ(database->GetDataType("Port number"), REG_DWORD);
    EXPECT_EQ(database->ReadString("Database name"), "access");
    for (const char* old : {"Server", "Port", "Alias"}) EXPECT_FALSE(database->ValueExists(old)) << old;
    auto general = Open("General");
    EXPECT_EQ(general->ReadString("Core service address"), "10.0.0.9");
    EXPECT_FALSE(general->ValueExists("Core service server"));
}

TEST_F(Settings, MigrationKeepsANewNameThatExistsAlready) {
    WriteHive(Section() + "\r\n" + Section("Database") + "\"Port\"=dword:00000001\r\n\"Port number\"=dword:00000bb9\r\n\r\n");
    auto s = Load();
    EXPECT_EQ(s->DatabasePort, 3001);
    auto database = Open("Database");
    EXPECT_EQ(database->ReadInteger("Port"), 1) << "the old value stays beside the new one";
    EXPECT_EQ(Open()->ReadInteger("Version"), 1);
}

TEST_F(Settings, VersionOfAnyTypeStopsTheMigration) {
    WriteHive(Section() + "\"Version\"=\"not a number\"\r\n\r\n" + Section("Database") + "\"Server\"=\"old\"\r\n\r\n");
    const std::string before = ReadFile(HivePath);
    auto s = Load();
    EXPECT_EQ(s->DatabaseServer, "127.0.0.1");
    EXPECT_EQ(ReadFile(HivePath), before) << "nothing renamed, nothing written";
}

TEST_F(Settings, ValueOfTheWrongTypeStopsLoading) {
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") + "\"Port number\"=\"3050\"\r\n\r\n");
    try {
        Load();
        FAIL() << "loaded a string as the port";
    } catch (const platform::ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Invalid data type for 'Port number'");
    }
}

TEST_F(Settings, BoundsOutsideTheMenuComeFromTheHive) {
    {
        auto s = Load();
        EXPECT_EQ(s->DatabaseCallTimeoutSeconds, 600);
        EXPECT_EQ(s->MaxFeedSizeMiB, 1024);
    }
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") +
              "\"Call time-out seconds\"=dword:0000001e\r\n\r\n" + Section("HRM") +
              "\"Maximum feed size MiB\"=dword:00000002\r\n\r\n");
    auto s = Load();
    EXPECT_EQ(s->DatabaseCallTimeoutSeconds, 30);
    EXPECT_EQ(s->MaxFeedSizeMiB, 2);
    EXPECT_EQ(s->Menu->RowCount, 5 * 2 + 5 + 2 + 1 + 4 + 2) << "neither is a menu row";
}

TEST_F(Settings, ABoundOfZeroStopsLoadingWithItsName) {
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("HRM") +
              "\"Maximum feed size MiB\"=dword:00000000\r\n\r\n");
    try {
        Load();
        FAIL() << "loaded a feed limit of 0";
    } catch (const platform::ERegistryException& e) {
        EXPECT_NE(e.Message().find("'Maximum feed size MiB'"), std::string::npos) << e.Message();
    }
}

// The HRM server's certificate checks and the download's bounds: off and at their defaults
// unless the hive has them; a value of the wrong type or out of range stops loading by name.
TEST_F(Settings, CertificateChecksAndDownloadBoundsComeFromTheHive) {
    {
        auto s = Load();
        EXPECT_FALSE(s->HrmVerifyCertificate);
        EXPECT_EQ(s->HrmCaFile, "");
        EXPECT_EQ(s->HrmPinnedPublicKey, "");
        EXPECT_EQ(s->DownloadTimeoutSeconds, 3600);
        EXPECT_EQ(s->MinimumSpeedBytesPerSecond, 1024);
    }
    const std::string pin = "sha256//" + std::string(43, 'A') + "=";
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("HRM") +
              "\"Verify certificate\"=dword:00000001\r\n\"CA file\"=\"/etc/keyrix/hrm-ca.pem\"\r\n"
              "\"Pinned public key\"=\"" + pin + "\"\r\n\"Download time-out seconds\"=dword:00000708\r\n"
              "\"Minimum speed bytes per second\"=dword:00000200\r\n\r\n");
    {
        auto s = Load();
        EXPECT_TRUE(s->HrmVerifyCertificate);
        EXPECT_EQ(s->HrmCaFile, "/etc/keyrix/hrm-ca.pem");
        EXPECT_EQ(s->HrmPinnedPublicKey, pin);
        EXPECT_EQ(s->DownloadTimeoutSeconds, 1800);
        EXPECT_EQ(s->MinimumSpeedBytesPerSecond, 512);
        EXPECT_EQ(s->Menu->RowCount, 5 * 2 + 5 + 2 + 1 + 4 + 2) << "none is a menu row";
    }
    struct Case {
        std::string value, error;
    };
    const Case cases[] = {
        {"\"Verify certificate\"=dword:00000002", "Invalid value 2 for 'Verify certificate'"},
        {"\"Verify certificate\"=\"1\"", "Invalid data type for 'Verify certificate'"},
        {"\"CA file\"=dword:00000001", "Invalid data type for 'CA file'"},
        {"\"Pinned public key\"=dword:00000001", "Invalid data type for 'Pinned public key'"},
        {"\"Download time-out seconds\"=dword:00000000", "Invalid value 0 for 'Download time-out seconds'"},
        {"\"Minimum speed bytes per second\"=dword:00000000", "Invalid value 0 for 'Minimum speed bytes per second'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("HRM") + c.value + "\r\n\r\n");
        try {
            Load();
            ADD_FAILURE() << "loaded";
        } catch (const platform::ERegistryException& e) {
            EXPECT_EQ(e.Message().rfind(c.error, 0), 0u) << e.Message();
        }
    }
}

// The mass-change guard's limits: off unless the hive has them, 0 to 100, no menu rows.
TEST_F(Settings, SafetyLimitsComeFromTheHiveOnly) {
    {
        auto s = Load();
        EXPECT_EQ(s->MaxLeaversPercent, 0);
        EXPECT_EQ(s->MaxUnlinksPercent, 0);
    }
    struct Case {
        const char* leavers;
        const char* unlinks;
        int expectedLeavers, expectedUnlinks;
        const char* error;  // the name in the error, or none
    };
    const Case cases[] = {
        {"00000000", "00000064", 0, 100, nullptr},
        {"00000019", "00000001", 25, 1, nullptr},
        {"00000065", "00000001", 0, 0, "'Maximum leavers percent'"},
        {"00000001", "ffffffff", 0, 0, "'Maximum unlinks percent'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.leavers) + " " + c.unlinks);
        WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Safety") +
                  "\"Maximum leavers percent\"=dword:" + c.leavers + "\r\n\"Maximum unlinks percent\"=dword:" +
                  c.unlinks + "\r\n\r\n");
        if (c.error == nullptr) {
            auto s = Load();
            EXPECT_EQ(s->MaxLeaversPercent, c.expectedLeavers);
            EXPECT_EQ(s->MaxUnlinksPercent, c.expectedUnlinks);
            EXPECT_EQ(s->Menu->RowCount, 5 * 2 + 5 + 2 + 1 + 4 + 2) << "neither is a menu row";
            continue;
        }
        try {
            Load();
            ADD_FAILURE() << "loaded a percentage out of range";
        } catch (const platform::ERegistryException& e) {
            EXPECT_NE(e.Message().find(c.error), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("Safety"), std::string::npos) << e.Message();
        }
    }
}

// Monitoring: the metrics file (off by default), the check's ages and the summary's group;
// none is a menu row, and an age out of its bounds or of the wrong type stops loading.
TEST_F(Settings, MonitoringValuesComeFromTheHiveOnly) {
    {
        auto s = Load();
        EXPECT_EQ(s->MetricsFile, "");
        EXPECT_EQ(s->WarningAgeMinutes, 120);
        EXPECT_EQ(s->CriticalAgeMinutes, 1440);
        EXPECT_EQ(s->SummaryGroup, "");
    }
    const std::string monitoring = Section("Monitoring");
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("General") +
              "\"Metrics file\"=\"/var/lib/prometheus/node-exporter/keyrix_sync.prom\"\r\n\r\n" + monitoring +
              "\"Warning age minutes\"=dword:0000001e\r\n\"Critical age minutes\"=dword:000000b4\r\n"
              "\"Summary group\"=\"nagios\"\r\n\r\n");
    {
        auto s = Load();
        EXPECT_EQ(s->MetricsFile, "/var/lib/prometheus/node-exporter/keyrix_sync.prom");
        EXPECT_EQ(s->WarningAgeMinutes, 30);
        EXPECT_EQ(s->CriticalAgeMinutes, 180);
        EXPECT_EQ(s->SummaryGroup, "nagios");
        EXPECT_EQ(s->Menu->RowCount, 5 * 2 + 5 + 2 + 1 + 4 + 2) << "none is a menu row";
    }
    for (const char* value : {"\"Warning age minutes\"=dword:00000000", "\"Critical age minutes\"=dword:00080ac1",
                              "\"Warning age minutes\"=\"30\"", "\"Summary group\"=dword:00000001"}) {
        SCOPED_TRACE(value);
        WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + monitoring + value + "\r\n\r\n");
        try {
            Load();
            ADD_FAILURE() << "loaded";
        } catch (const platform::ERegistryException& e) {
            const std::string name = std::string(value).substr(1, std::string(value).find('"', 1) - 1);
            EXPECT_NE(e.Message().find("'" + name + "'"), std::string::npos) << e.Message();
        }
    }
}

TEST_F(Settings, LongStoredValuesAreLoadedWhole) {
    const std::string url = "https://hrm.example.com/" + std::string(176, 'u');
    ASSERT_EQ(url.size(), 200u);
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("HRM") + "\"Data source URL\"=\"" + url +
              "\"\r\n\"Import enabled\"=dword:00000000\r\n\r\n" + Section("General") +
              "\"Log messages to file\"=dword:00000007\r\n\r\n");
    auto s = Load();
    EXPECT_EQ(s->HrmUrl, url);
    EXPECT_FALSE(s->HrmImportEnabled);
    EXPECT_TRUE(s->LogToFile) << "any non-zero value is true";
}

TEST_F(Settings, SaveOnAnEmptyHiveCreatesTheKeysThenTheNextStartMarksTheVersion) {
    {
        auto s = Load();
        s->DatabaseServer = "db.example.org";
        s->Menu->SaveToRegistry();
    }
    struct stat st;
    ASSERT_EQ(::stat(HivePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the hive holds passwords";
    for (const char* sub : {"Database", "Server", "General", "HRM", "BRAKON"}) Open(sub);
    EXPECT_FALSE(Open()->ValueExists("Version"));
    EXPECT_EQ(Open("Database")->ReadString("Server address"), "db.example.org");
    EXPECT_EQ(Open("General")->GetDataType("Log messages to file"), REG_DWORD);

    auto s = Load();
    EXPECT_EQ(s->DatabaseServer, "db.example.org");
    EXPECT_EQ(Open()->ReadInteger("Version"), 1);
}

TEST_F(Settings, WithoutWriteAccessTheMigrationIsSkippedAndLoadingStillReads) {
    WriteHive(Section() + "\r\n" + Section("Database") + "\"Server\"=\"old\"\r\n\"Database name\"=\"ro\"\r\n\r\n");
    ASSERT_EQ(::chmod(HivePath.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
    const std::string before = ReadFile(HivePath);
    std::string outcome = RunInChild(
        [this] {
            auto s = Load();
            return s->DatabaseName + "/" + s->DatabaseServer;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "ro/127.0.0.1");
    EXPECT_EQ(ReadFile(HivePath), before);
}

namespace {

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

void UseHive(const std::string& path) {
    ::setenv("KEYRIX_REGISTRY", path.c_str(), 1);
    platform::ReloadEnvironment();
}

}  // namespace

// Root may write any file: an ordinary account meets the permissions.
TEST_F(Settings, SaveTheAccountMayNotWriteNamesTheFileOrFolderAndWritesNothing) {
    const std::string etc = Dir.File("etc");
    ASSERT_EQ(::mkdir(etc.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
    struct Case {
        const char* what;
        std::string hive;
        mode_t mode;  // 0: no hive file yet
        std::string message;
    };
    const std::string folderRefuses = "Cannot save the settings in folder \"" + etc + "\": Permission denied";
    const Case cases[] = {
        {"read-only hive", HivePath, 0644, "Cannot save the settings to \"" + HivePath + "\": Permission denied"},
        {"no hive yet, in a read-only folder", etc + "/registry.reg", 0, folderRefuses},
        // The new hive is renamed over the old one: the folder must take it.
        {"writable hive in a read-only folder", etc + "/shared.reg", 0666, folderRefuses},
    };
    for (const Case& c : cases) {
        UseHive(c.hive);
        if (c.mode != 0) {
            WriteFile(c.hive, "Windows Registry Editor Version 5.00\r\n\r\n" + Section() +
                                  "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") +
                                  "\"Server address\"=\"db.example.org\"\r\n\r\n");
            ASSERT_EQ(::chmod(c.hive.c_str(), c.mode), 0);
        }
        const std::string before = c.mode != 0 ? ReadFile(c.hive) : "";
        const std::vector<std::string> entries = FolderEntries(FolderOf(c.hive));
        const std::string outcome = RunInChild(
            [this] {
                auto s = Load();
                s->DatabaseServer = "db.example.net";
                try {
                    s->Menu->SaveToRegistry();
                    return std::string("saved");
                } catch (const platform::ERegistryException& e) {
                    return e.Message();
                }
            },
            /*unprivileged=*/true);
        EXPECT_EQ(outcome, c.message) << c.what;
        EXPECT_EQ(c.mode != 0 ? ReadFile(c.hive) : "", before) << c.what;
        EXPECT_EQ(FolderEntries(FolderOf(c.hive)), entries) << c.what << ": no lock or temporary file either";
    }
}

TEST_F(Settings, FailedSaveKeepsTheMenuOpenUntilASaveSucceeds) {
    // A hive folder of the account's own that it may not write yet.
    const std::string folder = Dir.File("own");
    ASSERT_EQ(::mkdir(folder.c_str(), 0555), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
    UseHive(folder + "/registry.reg");
    const std::string outcome = RunInChild(
        [this, folder] {
            auto s = Load();
            s->DatabaseServer = "db.example.net";
            TCMenuBaseItem* save = s->Menu->FirstButton;
            while (save != nullptr && save->Caption != "Save and exit") save = save->Next;
            if (save == nullptr) return std::string("no save button");
            auto press = [&] {
                const bool ends = static_cast<TCMenuButton*>(save)->Action(*s->Menu);
                return std::string(ends ? "ends" : "stays") + " [" + s->Menu->SaveError + "]";
            };
            std::string result = press();
            (void)!::chmod(folder.c_str(), 0755);
            return result + ", then " + press();
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "stays [Cannot save the settings in folder \"" + folder + "\": Permission denied], then ends []");
    EXPECT_EQ(Open("Database")->ReadString("Server address"), "db.example.net");
}

TEST_F(Settings, HiveThatCannotBeReadStopsLoadingInsteadOfGivingTheDefaults) {
    WriteHive(Section() + "\"Version\"=dword:00000001\r\n\r\n" + Section("Database") + "\"Password\"=\"secret\"\r\n\r\n");
    ASSERT_EQ(::chmod(HivePath.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
    // Root reads any file: an ordinary account meets the 0600 hive.
    const std::string unreadable = RunInChild(
        [this] {
            try {
                return "loaded, password " + Load()->DatabasePassword;
            } catch (const platform::EHiveFileError& e) {
                return std::string(e.ClassName()) + ": " + e.Message();
            }
        },
        /*unprivileged=*/true);
    EXPECT_EQ(unreadable, "EHiveFileError: Cannot read registry file \"" + HivePath + "\". Permission denied");

    ::unlink(HivePath.c_str());
    ASSERT_EQ(::mkdir(HivePath.c_str(), 0700), 0);
    try {
        Load();
        ADD_FAILURE() << "loaded the defaults from a directory";
    } catch (const platform::EHiveFileError& e) {
        EXPECT_EQ(e.Message(), "Registry file \"" + HivePath + "\" is a directory, not a regular file");
    }
}

TEST_F(Settings, EmptyHiveFileGivesTheDefaults) {
    WriteFile(HivePath, "");
    auto s = Load();
    EXPECT_EQ(s->DatabasePassword, "lanternox");
    EXPECT_EQ(s->DatabaseCallTimeoutSeconds, 600);
    EXPECT_EQ(ReadFile(HivePath), "") << "loading writes nothing";
}

namespace {

// A settings object bound to an application whose service manager is a double.
class InstallButton : public Settings {
protected:
    void SetUp() override {
        Settings::SetUp();
        ExitCode = 0;
        TServiceBase* service = App.AddService<TServiceBase>("S");
        service->SetDisplayName("Test Service");
        service->LogOptions.EventLogName = "Keyrix";
        service->LogOptions.MessagesLibrary = "KeyrixMessages.dll";
        Setup = Load();
        Setup->Service = service;
        Setup->InstallServices = [this](bool install) { return App.RequestInstall(install); };
        Setup->Application = &App;
    }
    // Presses the button as the menu does; answers the caption it then shows.
    std::string Press() {
        EXPECT_FALSE(Setup->InstallButton->Action(*Setup->Menu)) << "the menu stays open";
        EXPECT_EQ(Setup->ServiceInstalled, Setup->InstallButton->Caption == "Uninstall service");
        return Setup->InstallButton->Caption;
    }

    // Declared first, so that they stand until the application has gone.
    TInPlace<platform::IServiceControlManager, TFakeServiceManager> ManagerInPlace;
    TInPlace<platform::IEventLog, TRecordingEventLog> LogInPlace;
    TFakeServiceManager* const Manager = &ManagerInPlace.Object;
    TServiceApplication App;
    std::unique_ptr<TSetup> Setup;
};

}  // namespace

TEST_F(Settings, InstallButtonNeedsAnInstallRoutine) {
    auto s = Load();
    EXPECT_THROW(s->ToggleServiceInstall(), ENotAvailable);
    EXPECT_EQ(s->InstallButton->Caption, "Install service");
}

TEST_F(InstallButton, CaptionFollowsTheManagersAnswerAfterEveryPress) {
    struct Case {
        const char* what;
        bool believedInstalled;  // what the menu showed before the press
        bool reallyInstalled;    // what the manager holds before the press
        bool managerReachable;
        std::string caption, message;
        int exitCode;
    };
    // The cause first, so that it fits the row.
    const std::string exists = "Install failed: Code: 1073. The specified service already exists.";
    const std::string denied = "Install failed: Code: 5. Access is denied.";
    const Case cases[] = {
        {"install", false, false, true, "Uninstall service", "Service installed successfully", 0},
        {"uninstall", true, true, true, "Install service", "Service uninstalled successfully", 0},
        {"installed behind the menu's back", false, true, true, "Uninstall service", exists, 1},
        {"removed behind the menu's back", true, false, true, "Install service", "Service uninstalled successfully", 0},
        {"manager refuses", false, false, false, "Install service", denied, 1},
    };
    for (const Case& c : cases) {
        ExitCode = 0;
        Manager->Installed.clear();
        if (c.reallyInstalled) Manager->Installed.insert("S");
        Manager->AllAccessError = c.managerReachable ? 0 : 5;
        Setup->SetServiceInstalled(c.believedInstalled);
        EXPECT_EQ(Press(), c.caption) << c.what;
        EXPECT_EQ(Setup->InstallMessage, c.message) << c.what;
        EXPECT_EQ(ExitCode, c.exitCode) << c.what;
        EXPECT_EQ(Manager->Installed.count("S") == 1, c.caption == "Uninstall service") << c.what;
    }
}

TEST_F(InstallButton, PressingTwiceInstallsThenRemoves) {
    Setup->SetServiceInstalled(false);
    EXPECT_EQ(Press(), "Uninstall service");
    EXPECT_EQ(Manager->Installed.count("S"), 1u);
    EXPECT_EQ(Press(), "Install service");
    EXPECT_TRUE(Manager->Installed.empty());
    EXPECT_EQ(Setup->InstallMessage, "Service uninstalled successfully");
    EXPECT_EQ(ExitCode, 0);
}

TEST_F(InstallButton, WhatTheManagersToolsPrintedFollowsTheResultLine) {
    struct Case {
        const char* what;
        bool believedInstalled, reallyInstalled;
        std::string note, message;
    };
    const std::string note = "systemctl: Warning: The unit file changed on disk.\nRun 'systemctl daemon-reload'.";
    const Case cases[] = {
        {"install", false, false, note,
         "Service installed successfully (systemctl: Warning: The unit file changed on disk. Run 'systemctl "
         "daemon-reload'.)"},
        {"uninstall, nothing printed", true, true, "", "Service uninstalled successfully"},
        {"failed install", false, true, "systemctl: Failed to enable unit",
         "Install failed: Code: 1073. The specified service already exists. (systemctl: Failed to enable unit)"},
    };
    for (const Case& c : cases) {
        Manager->Installed.clear();
        if (c.reallyInstalled) Manager->Installed.insert("S");
        Manager->Note = c.note;
        Setup->SetServiceInstalled(c.believedInstalled);
        Press();
        EXPECT_EQ(Setup->InstallMessage, c.message) << c.what;
        EXPECT_EQ(Manager->Note, "") << c.what << ": taken";
    }
}

TEST_F(InstallButton, WithoutRootThePressIsRefusedAndTheCaptionStays) {
    const std::string outcome = RunInChild(
        [this] {
            Setup->SetServiceInstalled(false);
            const std::string caption = Press();
            return std::to_string(ExitCode) + " " + caption + " / " + Setup->InstallMessage;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "2 Install service / Need administrator privileges for service install/uninstall!");
}

// A headless console that keeps the screen as it stood before each key was read.
class TScreensConsole : public platform::THeadlessConsole {
public:
    using THeadlessConsole::THeadlessConsole;
    platform::TKeyEvent ReadInput() override {
        Screens.push_back(Buffer());
        return THeadlessConsole::ReadInput();
    }
    std::vector<platform::TScreenBuffer> Screens;
};

TEST_F(InstallButton, TheMenuShowsTheManagersAnswerAndTheResultLine) {
    // Rows (0-based) of the 80-column screen: the install button, the line below the buttons.
    constexpr std::int16_t ButtonRow = 26, MessageRow = 30;
    Manager->Installed.insert("S");
    TScreensConsole console(80, 40);
    platform::TScopedConsoleScreen inPlace(console);
    console.Press(platform::VK_NEXT);  // the last button
    for (int i = 0; i < 3; ++i) console.Press(platform::VK_UP);
    console.Press(platform::VK_RETURN, 0, U'\r');  // uninstall
    console.Press(platform::VK_RETURN, 0, U'\r');  // install again
    console.Press(platform::VK_ESCAPE, 0, U'\x1b');
    Setup->RunMenu(App);

    ASSERT_EQ(console.Screens.size(), 7u);
    const auto& first = console.Screens.front();
    EXPECT_EQ(first.RowText(ButtonRow), "  Uninstall service") << "the manager's answer at the start";
    EXPECT_EQ(first.RowText(MessageRow), "");
    const auto& removed = console.Screens[5];
    EXPECT_EQ(removed.RowText(ButtonRow), "  Install service");
    EXPECT_EQ(removed.RowText(MessageRow), "  Service uninstalled successfully");
    EXPECT_EQ(removed.Cell(2, MessageRow).Attributes, 0xF0) << "black on white";
    const auto& installed = console.Screens[6];
    EXPECT_EQ(installed.RowText(ButtonRow), "  Uninstall service");
    EXPECT_EQ(installed.RowText(MessageRow), "  Service installed successfully") << "no tail of the longer line left";
    EXPECT_EQ(Manager->Installed.count("S"), 1u);
    EXPECT_EQ(ExitCode, 0);
}

TEST_F(InstallButton, ConfigModeWithoutATerminalAsksNothing) {
    // A manager that cannot be reached would raise its own error if RunConfig asked it.
    Manager->ConnectError = 5;
    const std::string outcome = RunInChild([this] {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        try {
            Setup->Application = nullptr;
            Setup->RunConfig(App);
            return std::string("the menu ran");
        } catch (const Exception& e) {
            return std::string(e.ClassName()) + ": " + e.Message() + (Setup->Application ? " (asked)" : "") +
                   (platform::ConsoleScreen() ? " (console left set)" : "");
        }
    });
    EXPECT_EQ(outcome, "ENoTerminal: The settings menu needs a terminal: standard input and output must be a terminal "
                       "(standard input is not)");
}

TEST_F(Settings, TheModuleKnowsItsCurrentInstance) {
    {
        auto s = Load();
        EXPECT_EQ(CurrentSetup, s.get());
    }
    EXPECT_EQ(CurrentSetup, nullptr);
}
