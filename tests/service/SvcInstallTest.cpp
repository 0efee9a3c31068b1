#include "service/SvcInstall.h"
#include "platform/Env.h"

#include "platform/Process.h"
#include "platform/SystemdServiceManager.h"
#include "service/RegistryEx.h"
#include "tests/TestSupport.h"
#include "tests/service/ServiceDoubles.h"
#include "tests/setup/HiveFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

using namespace keyrix;
using namespace keyrix::platform;
using namespace keyrix::test;

namespace {

const std::string LogKey = "\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Keyrix";

// A service object with this system's stored properties.
class TTestService : public TServiceBase {
public:
    explicit TTestService(const std::string& name = "KeyrixSyncVLRM") : TServiceBase(name) {
        if (!name.empty()) SetServiceName(name);
        SetDisplayName("Keyrix Sync Client (VLHRM)");
        SetDescription("Veltrona HRM users sync");
        LogOptions.EventLogName = "Keyrix";
        LogOptions.MessagesLibrary = "KeyrixMessages.dll";
    }
};

std::string Message(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

class Install : public HiveFixture {
protected:
    void SetUp() override {
        HiveFixture::SetUp();
        ::mkdir(Units.c_str(), 0755);
        ::setenv("KEYRIX_SYSTEMD_DIR", Units.c_str(), 1);
        ::setenv("KEYRIX_EVENTLOG", Events.c_str(), 1);
        platform::ReloadEnvironment();
        // The real manager and log, as an administrator's run has them.
        ASSERT_EQ(TSeam<IServiceControlManager>::Find(), nullptr);
        ASSERT_EQ(TSeam<IEventLog>::Find(), nullptr);
    }
    void TearDown() override {
        ::unsetenv("KEYRIX_SYSTEMD_DIR");
        ::unsetenv("KEYRIX_EVENTLOG");
        platform::ReloadEnvironment();
        HiveFixture::TearDown();
    }

    static bool KeyExists(const std::string& key) { return TRegistry(TRegAccess::Read).KeyExists(key); }
    static std::vector<std::string> Sources() {
        TRegistryEx registry(TRegAccess::Read);
        EXPECT_TRUE(registry.OpenKeyReadOnly(LogKey));
        return registry.ReadMultiSz("Sources");
    }
    // Creates the log key with values of its own, as another product would have.
    static void PresetLog(const std::vector<std::string>& sources) {
        TRegistryEx registry;
        ASSERT_TRUE(registry.OpenKey(LogKey, true));
        registry.WriteInteger("MaxSize", 1);
        registry.WriteString("File", "Old.evt");
        registry.WriteMultiSz("Sources", sources);
    }
    // The event-log entries without their time: log, source, type, category, ID, text.
    std::vector<std::string> EventEntries() const {
        std::vector<std::string> entries;
        std::string content = ReadFile(Events);
        std::string::size_type start = 0, end;
        while ((end = content.find('\n', start)) != std::string::npos) {
            const std::string line = content.substr(start, end - start);
            entries.push_back(line.substr(line.find('\t') + 1));
            start = end + 1;
        }
        return entries;
    }
    bool UnitInstalled(const std::string& name = "KeyrixSyncVLRM") const {
        return FileExists(Units + "/" + name + ".service");
    }

    std::string Units = Dir.File("units");
    std::string Events = Dir.File("events.log");
};

}  // namespace

TEST_F(Install, InstallRegistersTheUnitAndTheEventLogAndUninstallRemovesThem) {
    TTestService service;
    InstallService(service);

    EXPECT_EQ(WithoutSandbox(ReadFile(Units + "/KeyrixSyncVLRM.service")),
              "[Unit]\n"
              "Description=Keyrix Sync Client (VLHRM)\n"
              "# Veltrona HRM users sync\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=" + service.ImagePath() + "\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");

    const std::string messages = ExecutableDirectory() + "KeyrixMessages.dll";
    struct Value {
        std::string key, name;
        std::uint32_t type;
        std::string text;
        std::int32_t number;
    };
    const Value values[] = {
        {LogKey, "DisplayNameFile", REG_EXPAND_SZ, messages, 0},
        {LogKey, "DisplayNameID", REG_DWORD, "", 4},
        {LogKey, "File", REG_EXPAND_SZ, "Keyrix.evt", 0},
        {LogKey, "MaxSize", REG_DWORD, "", 0x80000},
        {LogKey, "PrimaryModule", REG_SZ, "Keyrix", 0},
        {LogKey, "Retention", REG_DWORD, "", 0},
        {LogKey + "\\KeyrixSyncVLRM", "EventMessageFile", REG_SZ, messages, 0},
        {LogKey + "\\KeyrixSyncVLRM", "CategoryMessageFile", REG_SZ, messages, 0},
        {LogKey + "\\KeyrixSyncVLRM", "CategoryCount", REG_DWORD, "", 3},
        {LogKey + "\\KeyrixSyncVLRM", "TypesSupported", REG_DWORD, "", 7},
    };
    for (const Value& v : values) {
        TRegistry registry(TRegAccess::Read);
        ASSERT_TRUE(registry.OpenKeyReadOnly(v.key)) << v.key;
        EXPECT_EQ(registry.GetDataType(v.name), v.type) << v.name;
        if (v.type == REG_DWORD)
            EXPECT_EQ(registry.ReadInteger(v.name), v.number) << v.name;
        else
            EXPECT_EQ(registry.ReadString(v.name), v.text) << v.name;
    }
    EXPECT_EQ(Sources(), std::vector<std::string>{"KeyrixSyncVLRM"});
    {
        TRegistry registry(TRegAccess::Read);
        ASSERT_TRUE(registry.OpenKeyReadOnly(LogKey));
        EXPECT_EQ(registry.GetDataType("Sources"), REG_MULTI_SZ);
    }

    UninstallService(service);
    EXPECT_FALSE(UnitInstalled());
    EXPECT_FALSE(KeyExists(LogKey)) << "the last source took the log with it";
    EXPECT_EQ(EventEntries(),
              (std::vector<std::string>{
                  "Keyrix\tKeyrixSyncVLRM\tinformation\t3\t0\tKeyrix Sync Client (VLHRM) installed!",
                  "Keyrix\tKeyrixSyncVLRM\tinformation\t3\t0\tKeyrix Sync Client (VLHRM) uninstalled!"}));
}

TEST_F(Install, AnExistingLogKeepsItsValuesAndOnlyGainsTheSource) {
    PresetLog({"Other"});
    TTestService service;
    InstallService(service);

    TRegistry registry(TRegAccess::Read);
    ASSERT_TRUE(registry.OpenKeyReadOnly(LogKey));
    EXPECT_EQ(registry.ReadInteger("MaxSize"), 1);
    EXPECT_EQ(registry.ReadString("File"), "Old.evt");
    EXPECT_FALSE(registry.ValueExists("PrimaryModule"));
    EXPECT_EQ(Sources(), (std::vector<std::string>{"Other", "KeyrixSyncVLRM"}));
    EXPECT_TRUE(KeyExists(LogKey + "\\KeyrixSyncVLRM"));
}

TEST_F(Install, SourcesCompareWithoutCase) {
    struct Case {
        std::vector<std::string> preset, afterRegister, afterUnregister;
    };
    const Case cases[] = {
        {{"keyrixsyncvlrm", "Other"}, {"keyrixsyncvlrm", "Other"}, {"Other"}},
        {{"Other", "KEYRIXSYNCVLRM", "KeyrixSyncVlrm"}, {"Other", "KEYRIXSYNCVLRM", "KeyrixSyncVlrm"}, {"Other"}},
        {{"KEYRIXSYNCVLRM"}, {"KEYRIXSYNCVLRM"}, {}},
    };
    for (const Case& c : cases) {
        PresetLog(c.preset);
        TTestService service;
        RegisterEventLogSource(service);
        EXPECT_EQ(Sources(), c.afterRegister) << "present already: not added again";
        UnRegisterEventLogSource(service);
        if (c.afterUnregister.empty())
            EXPECT_FALSE(KeyExists(LogKey));
        else
            EXPECT_EQ(Sources(), c.afterUnregister);
        TRegistry().DeleteKey(LogKey);
    }
}

TEST_F(Install, AnUnregisteredLogWithoutSourcesIsRemoved) {
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey(LogKey + "\\Stale", true));
    }
    TTestService service;
    UnRegisterEventLogSource(service);
    EXPECT_FALSE(KeyExists(LogKey));
    UnRegisterEventLogSource(service);  // no log: nothing to do
}

TEST_F(Install, TwoServicesShareOneLogUntilTheLastOneGoes) {
    TTestService first("KeyrixSyncVLRM"), second("KeyrixSyncOther");
    InstallService(first);
    InstallService(second);
    EXPECT_EQ(Sources(), (std::vector<std::string>{"KeyrixSyncVLRM", "KeyrixSyncOther"}));

    UninstallService(first);
    EXPECT_EQ(Sources(), std::vector<std::string>{"KeyrixSyncOther"});
    EXPECT_TRUE(KeyExists(LogKey + "\\KeyrixSyncVLRM")) << "a source key goes only with its log";
    EXPECT_FALSE(UnitInstalled("KeyrixSyncVLRM"));
    EXPECT_TRUE(UnitInstalled("KeyrixSyncOther"));

    UninstallService(second);
    EXPECT_FALSE(KeyExists(LogKey));
    EXPECT_FALSE(KeyExists(LogKey + "\\KeyrixSyncVLRM"));
    EXPECT_FALSE(KeyExists(LogKey + "\\KeyrixSyncOther"));
    EXPECT_FALSE(UnitInstalled("KeyrixSyncOther"));
}

TEST_F(Install, InstallingTwiceFailsAndChangesNothing) {
    TTestService service;
    InstallService(service);
    const std::string unit = ReadFile(Units + "/KeyrixSyncVLRM.service");
    const std::string hive = ReadFile(HivePath);
    try {
        InstallService(service);
        FAIL() << "installed twice";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.Message(), "System Error.  Code: 1073.\r\nThe specified service already exists.");
        EXPECT_EQ(e.ErrorCode(), 1073);
    }
    EXPECT_EQ(ReadFile(Units + "/KeyrixSyncVLRM.service"), unit);
    EXPECT_EQ(ReadFile(HivePath), hive);
}

TEST_F(Install, UninstallingWhatIsNotInstalledSucceedsSilently) {
    TTestService service;
    bool before = false;
    service.BeforeUninstall = [&](TServiceBase&) { before = true; };
    UninstallService(service);
    EXPECT_FALSE(before);
    EXPECT_FALSE(FileExists(Events)) << "no event-log entry";
    EXPECT_FALSE(FileExists(HivePath)) << "the registry is untouched";
}

TEST_F(Install, AFailingExtendedSettingDeletesTheServiceAgain) {
    // A process that may not reboot the machine cannot set a reboot action.
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(Units.c_str(), 0777), 0);
    const std::string outcome = RunInChild(
        [] {
            TTestService service;
            service.FailureActions = {TFailureAction(TFailureActionType::faRestart, 1000),
                                      TFailureAction(TFailureActionType::faReboot, 0)};
            return Message([&] { InstallService(service); });
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "Access is denied. on the attempt to set property \"Recovery Options\"");
    EXPECT_TRUE(std::filesystem::is_empty(Units)) << "the unit was removed again";
}

TEST_F(Install, ARefusedLevelNamesItsPropertyAndDeletesTheService) {
    const std::pair<TConfig2Level, const char*> steps[] = {
        {TConfig2Level::Description, "Description"},
        {TConfig2Level::FailureActions, "Recovery Options"},
        {TConfig2Level::FailureActionsFlag, "Actions for stops with errors"},
        {TConfig2Level::PreShutdownInfo, "Preshutdown Timeout"},
        {TConfig2Level::DelayedAutoStart, "Delayed Start"},
        {TConfig2Level::ServiceSidInfo, "Service SID Type"},
        {TConfig2Level::RequiredPrivileges, "Required Privileges"},
    };
    for (const auto& [level, label] : steps) {
        TInPlace<IServiceControlManager, TFakeServiceManager> manager;
        TFakeServiceManager& fake = manager.Object;
        fake.RefusedLevel = level;
        TTestService service;
        EXPECT_EQ(Message([&] { InstallService(service); }),
                  std::string("The parameter is incorrect. on the attempt to set property \"") + label + "\"");
        EXPECT_EQ(fake.Configs.size(), 1u);
        EXPECT_TRUE(fake.Installed.empty()) << label;
    }
    EXPECT_FALSE(FileExists(HivePath)) << "the event log is registered only after the extended settings";
}

TEST_F(Install, PropertiesMapOntoTheServiceConfiguration) {
    using enum TServiceType;
    using enum TStartType;
    using enum TErrorSeverity;
    struct Case {
        TServiceType type;
        TStartType start;
        TErrorSeverity severity;
        bool interactive, secondService;
        std::uint32_t serviceType, startType, errorControl;
    };
    const Case cases[] = {
        {stWin32, stAuto, esNormal, false, false, 0x10, 2, 1},
        {stWin32, stAuto, esNormal, true, false, 0x110, 2, 1},
        {stWin32, stAuto, esNormal, false, true, 0x20, 2, 1},  // a process holding two services
        {stDevice, stBoot, esNormal, false, false, 1, 0, 1},
        {stDevice, stSystem, esNormal, false, false, 1, 1, 1},
        {stFileSystem, stBoot, esNormal, false, false, 2, 2, 1},
        {stWin32, stSystem, esNormal, false, false, 0x10, 2, 1},
        {stWin32, stManual, esIgnore, false, false, 0x10, 3, 0},
        {stWin32, stDisabled, esSevere, false, false, 0x10, 4, 2},
        {stWin32, stAutoDelayed, esCritical, false, false, 0x10, 2, 3},
    };
    for (const Case& c : cases) {
        TTestService service;
        std::unique_ptr<TServiceBase> second = c.secondService ? std::make_unique<TTestService>("Other") : nullptr;
        service.ServiceType = c.type;
        service.StartType = c.start;
        service.ErrorSeverity = c.severity;
        service.SetInteractive(c.interactive);
        const TServiceConfig config = ServiceConfigOf(service);
        const int row = static_cast<int>(&c - cases);
        EXPECT_EQ(config.ServiceType, c.serviceType) << row;
        EXPECT_EQ(config.StartType, c.startType) << row;
        EXPECT_EQ(config.ErrorControl, c.errorControl) << row;
        EXPECT_EQ(ServiceConfig2Of(service).DelayedAutoStart, c.start == stAutoDelayed) << row;
    }

    TTestService service;
    service.Dependencies = {{"Tcpip", false}, {"NetworkProvider", true}, {"Dhcp", false}};
    service.LoadGroup = "Keyrix";
    service.SetServiceStartName(".\\keyrix");
    service.SetPassword("secret");
    service.FailureOptions = {86400, "Rebooting", "notify.sh", true};
    using enum TFailureActionType;
    service.FailureActions = {TFailureAction(faRestart, 1000), TFailureAction(faReboot, 20),
                              TFailureAction(faRunCommand, -5), TFailureAction(faNone, 300)};
    service.ServiceSidType = TServiceSidType::stRestricted;
    service.RequiredPrivileges = {"SeShutdownPrivilege", "SeChangeNotifyPrivilege"};
    service.PreShutdownTimeout = 60000;

    const TServiceConfig config = ServiceConfigOf(service);
    EXPECT_EQ(config.ServiceName, "KeyrixSyncVLRM");
    EXPECT_EQ(config.DisplayName, "Keyrix Sync Client (VLHRM)");
    EXPECT_EQ(config.BinaryPathName, service.ImagePath());
    EXPECT_EQ(config.BinaryPathName.substr(config.BinaryPathName.size() - 5), " /SVC");
    EXPECT_EQ(config.LoadOrderGroup, "Keyrix");
    EXPECT_EQ(config.Dependencies, (std::vector<std::string>{"Tcpip", "+NetworkProvider", "Dhcp"}));
    EXPECT_EQ(config.ServiceStartName, ".\\keyrix");
    EXPECT_EQ(config.Password, "secret");

    const TServiceConfig2 extended = ServiceConfig2Of(service);
    EXPECT_EQ(extended.Description, "Veltrona HRM users sync");
    EXPECT_EQ(extended.ResetPeriod, 86400u);
    EXPECT_EQ(extended.RebootMessage, "Rebooting");
    EXPECT_EQ(extended.Command, "notify.sh");
    ASSERT_EQ(extended.Actions.size(), 4u);
    const std::pair<std::uint32_t, std::uint32_t> actions[] = {{1, 1000}, {2, 20}, {3, 0}, {0, 0}};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(extended.Actions[i].Type, actions[i].first) << i;
        EXPECT_EQ(extended.Actions[i].Delay, actions[i].second) << i;
    }
    EXPECT_TRUE(extended.FailureActionsOnNonCrashFailures);
    EXPECT_EQ(extended.PreShutdownTimeout, 60000u);
    EXPECT_EQ(extended.ServiceSidType, 3u);
    EXPECT_EQ(extended.RequiredPrivileges, service.RequiredPrivileges);

    TTestService defaults;
    const TServiceConfig2 plain = ServiceConfig2Of(defaults);
    EXPECT_EQ(plain.ResetPeriod, 0xFFFFFFFFu) << "a negative reset period is INFINITE";
    EXPECT_TRUE(plain.Actions.empty());
    EXPECT_EQ(plain.PreShutdownTimeout, 180000u);
    EXPECT_EQ(plain.ServiceSidType, 0u);
    defaults.ServiceSidType = TServiceSidType::stUnrestricted;
    EXPECT_EQ(ServiceConfig2Of(defaults).ServiceSidType, 1u);
    EXPECT_TRUE(ServiceConfigOf(defaults).Dependencies.empty());
}

TEST_F(Install, EventLogChecksNameTheirOperation) {
    using TOperation = void (*)(TServiceBase&);
    struct Case {
        std::string name;
        std::function<void(TServiceBase&)> change;
        TOperation operation;
        const char* message;
    };
    auto noLog = [](TServiceBase& s) { s.LogOptions.EventLogName.clear(); };
    auto noLibrary = [](TServiceBase& s) { s.LogOptions.MessagesLibrary.clear(); };
    auto nothing = [](TServiceBase& s) {
        s.LogOptions = {};
        s.LogOptions.MessageCategoryCount = 0;
    };
    const Case cases[] = {
        {"KeyrixSyncVLRM", noLog, CreateCustomEventLog, "CreateCustomEventLog: Service EventLogName must be defined!"},
        {"KeyrixSyncVLRM", noLibrary, CreateCustomEventLog,
         "CreateCustomEventLog: Service MessagesLibrary must be defined!"},
        {"", nothing, RegisterEventLogSource, "RegisterEventLogSource: Service ServiceName must be defined!"},
        {"KeyrixSyncVLRM", nothing, RegisterEventLogSource,
         "RegisterEventLogSource: Service EventLogName must be defined!"},
        {"KeyrixSyncVLRM", noLibrary, RegisterEventLogSource,
         "RegisterEventLogSource: Service MessagesLibrary must be defined!"},
        {"KeyrixSyncVLRM", [](TServiceBase& s) { s.LogOptions.MessageCategoryCount = 0; }, RegisterEventLogSource,
         "RegisterEventLogSource: Service MessageCategoryCount must be > 0!"},
        {"KeyrixSyncVLRM", [](TServiceBase&) {}, RegisterEventLogSource,
         "RegisterEventLogSource: Event log does not exist! Use CreateCustomEventLog first"},
        {"", nothing, UnRegisterEventLogSource, "UnRegisterEventLogSource: Service ServiceName must be defined!"},
        {"KeyrixSyncVLRM", noLog, UnRegisterEventLogSource,
         "UnRegisterEventLogSource: Service EventLogName must be defined!"},
    };
    for (const Case& c : cases) {
        TTestService service(c.name);
        c.change(service);
        EXPECT_EQ(Message([&] { c.operation(service); }), c.message);
    }
    EXPECT_FALSE(FileExists(HivePath)) << "a refused registration writes nothing";
}

TEST_F(Install, RegistrationErrorsCarryTheSystemText) {
    struct Case {
        bool logExists;
        void (*operation)(TServiceBase&);
        const char* message;
    };
    const Case cases[] = {
        {false, CreateCustomEventLog, "Failed to register event log. Error: Access is denied."},
        {true, UnRegisterEventLogSource, "Failed to unregister from event log! Error: Access is denied."},
    };
    // The hive may be read but not changed by the unprivileged child.
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
    for (const Case& c : cases) {
        ::unlink(HivePath.c_str());
        if (c.logExists) {
            TRegistry registry;
            ASSERT_TRUE(registry.OpenKey(LogKey, true));
            ASSERT_EQ(::chmod(HivePath.c_str(), 0644), 0);
        }
        const std::string outcome = RunInChild(
            [&] {
                TTestService service;
                return Message([&] { c.operation(service); });
            },
            /*unprivileged=*/true);
        EXPECT_EQ(outcome, c.message);
    }
}

TEST_F(Install, OnlyAProcessThatMayRebootHasTheShutdownPrivilege) {
    ASSERT_EQ(::geteuid(), 0u) << "the suite runs as root";
    EXPECT_TRUE(EnableShutdownPrivilege());
    EXPECT_EQ(RunInChild([] { return std::string(EnableShutdownPrivilege() ? "yes" : "no"); }, true), "no");
}
