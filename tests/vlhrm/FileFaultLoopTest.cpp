// Every file operation of a run and of /INSTALL and /UNINSTALL, failed one at a time: the
// operations are counted in a clean run, then each run fails the Nth of them. Whatever
// fails, nothing is left half-written (the sync log and the event-log file keep whole lines,
// the hive parses, a unit file is whole or absent) and the failure is named where it is
// reported, or changes nothing anyone could see.
#include "Services/SyncClients/VLHRM/CardHolders.h"
#include "Services/SyncClients/VLHRM/FeedCopy.h"
#include "Services/SyncClients/VLHRM/FeedReader.h"
#include "Services/SyncClients/VLHRM/MainService.h"
#include "common/Exceptions.h"
#include "platform/Env.h"
#include "platform/EventLog.h"
#include "platform/RegistryFile.h"
#include "platform/SharedReadFile.h"
#include "platform/SystemdServiceManager.h"
#include "service/SvcApplication.h"
#include "service/SvcConsole.h"
#include "setup/SetupWindow.h"
#include "tests/TestSupport.h"
#include "tests/support/FaultyEnv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <regex>
#include <set>

using namespace keyrix;
using namespace keyrix::test;

namespace {

using Lines = std::vector<std::string>;

const std::string HiveText =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Keyrix\\KeyrixSyncVLRM]\r\n"
    "\"EventMessageFile\"=\"KeyrixMessages.dll\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Keyrix]\r\n"
    "\"Kept\"=dword:00000007\r\n\r\n";

std::string CardFile() {
    std::string records;
    for (int i = 1; i <= 40; ++i)
        records += "  <Employee ID=\"" + std::to_string(i) + "\"><AUId>" + std::to_string(100 + i) +
                   "</AUId><Name>x</Name><Dept/><PIN1>12" + std::to_string(i) +
                   "</PIN1><PIN2/><a/><b/><c/><SiteCode>1</SiteCode><CardNr>" + std::to_string(500 + i) +
                   "</CardNr><Valid>1</Valid></Employee>\n";
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Employees>\n" + records + "</Employees>\n";
}

const std::string FeedText = "<?xml version=\"1.0\"?>\n<ArrayOfBrakonData/>\n";

// The pass keeps a debug run's copy of the feed and reads the card-holder file as the
// imports do, without the database: the database adds no file operation.
class TFileModule : public TDataModule1 {
public:
    using TDataModule1::TDataModule1;
    std::string FeedCopyPath;

protected:
    void ConnectDatabase() override {}
    void PrepareSchema() override {}
    void DisconnectDatabase() override {}
    void FreeQueries(const std::string&) override {}
    void SyncPass() override {
        SaveFeedCopy(FeedCopyPath, FeedText);
        platform::TSharedReadFile file(Settings().CardHolderFile);
        TFeedReader reader =
            TFeedReader::FromDescriptor(file.Fd(), file.Path(), CardHolderRootName, CardHolderRecordName);
        std::int32_t processed = 0;
        const std::vector<TBKRec> records =
            ReadBKRecords(reader, processed, [this](const std::string& line) { SyncLogDebug("%s", line); });
        SyncLogInfo("Card-holders read: %d of %d", static_cast<int>(records.size()), processed);
    }
};

Lines SplitKeeping(const std::string& text, const std::string& end) {
    Lines lines;
    std::size_t start = 0, at;
    while ((at = text.find(end, start)) != std::string::npos) {
        lines.push_back(text.substr(start, at - start));
        start = at + end.size();
    }
    return lines;
}

bool Contains(const Lines& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string Joined(const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// Files in the folder besides the expected ones (temporaries left behind).
Lines Strays(const std::string& folder, const std::set<std::string>& expected) {
    Lines strays;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        if (!expected.contains(name)) strays.push_back(name);
    }
    return strays;
}

class FileFaultLoop : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KEYRIX_REGISTRY", HivePath.c_str(), 1);
        ::setenv("KEYRIX_EVENTLOG", EventsPath.c_str(), 1);
        ::setenv("KEYRIX_RUN_LOCK", LockPath.c_str(), 1);
        ::setenv("KEYRIX_SYSTEMD_DIR", Units.c_str(), 1);
        platform::ReloadEnvironment();
        ::mkdir(Units.c_str(), 0755);
        Console = std::make_shared<TConsoleRecord>();
        ConsoleInPlace.emplace(Console);
        ConsoleLevel = 2;
        Faulty.SkipSyncs(true);
        EnvInPlace.emplace(Faulty);
    }
    void TearDown() override {
        EnvInPlace.reset();
        ConsoleInPlace.reset();
        for (const char* name : {"KEYRIX_REGISTRY", "KEYRIX_EVENTLOG", "KEYRIX_RUN_LOCK", "KEYRIX_SYSTEMD_DIR"})
            ::unsetenv(name);
        platform::ReloadEnvironment();
    }

    std::string ConsoleText() {
        std::lock_guard guard(Console->Lock);
        std::string text;
        for (const std::string& e : Console->Events)
            if (e.rfind("attr:", 0) != 0) text += e;
        return text;
    }
    void ClearConsole() {
        std::lock_guard guard(Console->Lock);
        Console->Events.clear();
    }
    // The messages of the event-log file (the last field of each line); a line that is not
    // whole fails the test. The run's summary entry (its fields after the seven of an entry)
    // carries times that differ from run to run: its outcome goes to summaries instead.
    Lines EventMessages(const std::string& context, Lines* summaries = nullptr) {
        const std::string content = FileExists(EventsPath) ? ReadFile(EventsPath) : "";
        EXPECT_TRUE(content.empty() || content.back() == '\n') << context << ": a torn event-log line\n" << content;
        Lines messages;
        for (const std::string& line : SplitKeeping(content, "\n")) {
            const auto fields = std::count(line.begin(), line.end(), '\t');
            const auto outcome = line.find("\tKEYRIX_OUTCOME=");
            if (fields > 6 && outcome != std::string::npos) {
                if (summaries != nullptr) {
                    const std::string rest = line.substr(outcome + 16);
                    summaries->push_back(rest.substr(0, rest.find('\t')));
                }
                continue;
            }
            EXPECT_EQ(fields, 6) << context << ": event-log line \"" << line << "\"";
            messages.push_back(line.substr(line.rfind('\t') + 1));
        }
        return messages;
    }

    TTempDir Dir;
    std::string HivePath = Dir.File("registry.reg");
    std::string EventsPath = Dir.File("events.log");
    std::string LockPath = Dir.File("run.lock");
    std::string Units = Dir.File("units");
    std::shared_ptr<TConsoleRecord> Console;
    TFaultyEnv Faulty{platform::Env()};
    std::optional<TInPlace<platform::IConsoleOutput, TRecordingConsole>> ConsoleInPlace;
    std::optional<platform::TScopedEnv> EnvInPlace;
};

// ---------------------------------------------------------------------------------------
// A run

struct TRunOutcome {
    std::string Raised;  // the message of the error the run raised, "" when none
    Lines SyncLog;       // without the times of the dated lines
    Lines Events;
    Lines Summaries;  // the outcome of each summary entry
    std::string Console;
};

class RunFaults : public FileFaultLoop {
protected:
    void SetUp() override {
        FileFaultLoop::SetUp();
        WriteFile(HivePath, HiveText);
        WriteFile(CardsPath, CardFile());
        Setup.LogToFile = true;
        Setup.CardHolderFile = CardsPath;
        SetupInstance = &Setup;
    }
    void TearDown() override {
        SetupInstance = nullptr;
        FileFaultLoop::TearDown();
    }

    TRunOutcome Run(const TFault& fault, const std::string& context) {
        Faulty.Arm(TFault{});
        ::unlink(LogPath.c_str());
        ::unlink(EventsPath.c_str());
        ::unlink(LockPath.c_str());
        ::unlink(FeedCopyPath.c_str());
        ClearConsole();
        TRunOutcome outcome;
        {
            TKeyrixSyncVLRM service;
            service.DataModuleFactory = [this] {
                auto module = std::make_unique<TFileModule>(LogPath);
                module->FeedCopyPath = FeedCopyPath;
                return module;
            };
            ServiceLogInfo.Bind([&service](const std::string& t) { service.LogInfo(t); });
            ServiceLogWarning.Bind([&service](const std::string& t) { service.LogWarning(t); });
            ServiceLogError.Bind([&service](const std::string& t) { service.LogError(t); });
            Faulty.Arm(fault);
            try {
                service.ServiceExecute(service);
            } catch (const std::exception& e) {
                outcome.Raised = e.what();
            }
            ServiceLogInfo.Unbind();
            ServiceLogWarning.Unbind();
            ServiceLogError.Unbind();
        }
        Operations = Faulty.Operations();
        FiredOn = Faulty.FiredOn();
        FiredPath = Faulty.FiredPath();
        Faulty.Arm(TFault{});

        const std::string log = FileExists(LogPath) ? ReadFile(LogPath) : "";
        EXPECT_TRUE(log.empty() || log.ends_with("\r\n")) << context << ": a torn sync log line\n" << log;
        static const std::regex dated("^(Sync (started|finished) at ).+$");
        for (const std::string& line : SplitKeeping(log, "\r\n"))
            outcome.SyncLog.push_back(std::regex_replace(line, dated, "$1<time>"));
        outcome.Events = EventMessages(context, &outcome.Summaries);
        outcome.Console = ConsoleText();
        EXPECT_EQ(ReadFile(HivePath), HiveText) << context << ": the run changed the hive";
        if (FileExists(FeedCopyPath)) {
            EXPECT_EQ(ReadFile(FeedCopyPath), FeedText) << context << ": the copy of the feed is not whole";
        }
        const Lines strays =
            Strays(Dir.Path(), {"registry.reg", "events.log", "run.lock", "cards.xml", "VLHRMSync_log.txt",
                                "VLHRMSync_last.json", "GetBrakonData.xml", "units"});
        EXPECT_TRUE(strays.empty()) << context << ": left behind: " << Joined(strays);
        return outcome;
    }

    // The faulted run against the clean one: its lines are whole and each one of the clean
    // run's or a report of the failure; the failure is named (file and error), or the run
    // came out as the clean one did.
    void CheckAgainstClean(const TRunOutcome& clean, const TRunOutcome& run, int error, const std::string& context) {
        for (const std::string& line : run.SyncLog)
            EXPECT_TRUE(Contains(clean.SyncLog, line) || line.starts_with("ServiceRun exception: "))
                << context << ": sync log line \"" << line << "\"";
        for (const std::string& message : run.Events)
            EXPECT_TRUE(Contains(clean.Events, message) || message.starts_with("Critical error on service work:") ||
                        message.starts_with("Crash report:") || message.starts_with("Cannot write the run summary "))
                << context << ": event \"" << message << "\"";
        const bool same = run.Raised.empty() && run.SyncLog == clean.SyncLog && run.Events == clean.Events;
        if (same) return;
        // The event-log file cannot report its own failure; its entry is missing, nothing else.
        if (FiredPath == EventsPath && run.Raised.empty() && run.SyncLog == clean.SyncLog) return;
        const std::string reports = run.Raised + "\n" + Joined(run.Events) + run.Console;
        // A descriptor's operations name the file it was opened by; a rename names both, and
        // its report the temporary, except the feed copy's, which names the copy it failed
        // to put in place.
        const std::size_t arrow = FiredPath.find(" -> ");
        const std::string from = FiredPath.substr(0, arrow);
        const std::string to = arrow == std::string::npos ? from : FiredPath.substr(arrow + 4);
        const std::string named = to == FeedCopyPath ? to : from;
        EXPECT_NE(reports.find(SysErrorMessage(error)), std::string::npos)
            << context << ": the error is not named in\n" << reports;
        EXPECT_NE(reports.find("\"" + named + "\""), std::string::npos)
            << context << ": the file is not named in\n" << reports;
    }

    TSetup Setup{false, true, "Keyrix HRM sync service settings"};
    std::string LogPath = Dir.File("VLHRMSync_log.txt");
    std::string CardsPath = Dir.File("cards.xml");
    std::string FeedCopyPath = Dir.File("GetBrakonData.xml");
    std::uint64_t Operations = 0;
    std::string FiredOn, FiredPath;
};

TEST_F(RunFaults, EveryFileOperationOfARunFailsInTurn) {
    const TRunOutcome clean = Run(TFault{}, "clean run");
    const std::uint64_t count = Operations;
    ASSERT_TRUE(clean.Raised.empty()) << clean.Raised;
    ASSERT_TRUE(Contains(clean.SyncLog, "Card-holders read: 40 of 40")) << Joined(clean.SyncLog);
    ASSERT_TRUE(Contains(clean.Events, "Keyrix sync server finished!")) << Joined(clean.Events);
    ASSERT_EQ(clean.Summaries, Lines{"done"});
    ASSERT_TRUE(FileExists(FeedCopyPath));
    ASSERT_GT(count, 30u) << "the run lock, the sync log, the event log, the hive and the card-holder file";
    std::cout << count << " file operations in a run\n";

    std::set<std::string> copySteps;  // the operations on the copy of the feed that failed
    for (int error : {EIO, ENOSPC}) {
        for (std::uint64_t n = 1; n <= count; ++n) {
            const TRunOutcome run = Run(FailAt(n, error), "");
            const std::string context = Format("operation %d of %d (%s) failing with %s", n, count, FiredOn,
                                               SysErrorMessage(error));
            ASSERT_FALSE(FiredOn.empty()) << context << ": the fault did not strike";
            CheckAgainstClean(clean, run, error, context);
            if (HasFatalFailure() || HasFailure()) return;
            if (FiredPath.find("GetBrakonData.xml") != std::string::npos)
                copySteps.insert(FiredOn.substr(0, FiredOn.find(' ')));
        }
    }
    EXPECT_EQ(copySteps, (std::set<std::string>{"mkostemp", "write", "fsync", "close", "rename"}))
        << "the loop fails each step of the copy of the feed";
}

TEST_F(RunFaults, TornWritesLeaveWholeLines) {
    const TRunOutcome clean = Run(FailAt(0, EIO, WriteKinds), "clean run");
    const std::uint64_t count = Operations;
    ASSERT_GT(count, 5u);
    for (std::uint64_t n = 1; n <= count; ++n) {
        TFault fault = FailAt(n, ENOSPC, WriteKinds);
        fault.ShortWrite = true;
        const TRunOutcome run = Run(fault, "");
        const std::string context = Format("write %d of %d (%s) torn", n, count, FiredOn);
        ASSERT_FALSE(FiredOn.empty()) << context;
        CheckAgainstClean(clean, run, ENOSPC, context);
        if (HasFailure()) return;
    }
}

TEST_F(RunFaults, InterruptedReadsAndWritesAreRetried) {
    const std::uint32_t kinds = Kind(TEnvOp::Read) | Kind(TEnvOp::Write) | Kind(TEnvOp::ReadAt);
    const TRunOutcome clean = Run(FailAt(0, EIO, kinds), "clean run");
    const std::uint64_t count = Operations;
    ASSERT_GT(count, 5u);
    for (std::uint64_t n = 1; n <= count; ++n) {
        TFault fault = FailAt(n, EINTR, kinds);
        fault.Repeat = 5;
        const TRunOutcome run = Run(fault, "");
        const std::string context = Format("operation %d of %d (%s) interrupted five times", n, count, FiredOn);
        EXPECT_EQ(run.Raised, "") << context;
        EXPECT_EQ(run.SyncLog, clean.SyncLog) << context;
        EXPECT_EQ(run.Events, clean.Events) << context;
        if (HasFailure()) return;
    }
}

// ---------------------------------------------------------------------------------------
// /INSTALL and /UNINSTALL

class TInstalledService : public TServiceBase {
public:
    TInstalledService() : TServiceBase("KeyrixSyncVLRM") {
        SetServiceName("KeyrixSyncVLRM");
        SetDisplayName("Keyrix Sync Client (VLHRM)");
        SetDescription("Veltrona HRM users sync");
        LogOptions.EventLogName = "Keyrix";
        LogOptions.MessagesLibrary = "KeyrixMessages.dll";
    }
};

struct TInstallOutcome {
    int ExitCode = 0;
    std::string Console;
    std::string Hive;
    std::optional<std::string> Unit;
};

// Some 500 operations with two errors each take a minute and more on a busy machine: the
// default suite gives every operation one error, taking turns; KEYRIX_LONG_LOOPS=1 gives each
// every error.
std::vector<std::pair<std::uint64_t, int>> Faults(std::uint64_t count) {
    const int errors[] = {EIO, EACCES};
    const char* longLoops = std::getenv("KEYRIX_LONG_LOOPS");
    const bool all = longLoops != nullptr && std::string(longLoops) == "1";
    std::vector<std::pair<std::uint64_t, int>> faults;
    for (std::uint64_t n = 1; n <= count; ++n) {
        if (all) {
            for (int error : errors) faults.emplace_back(n, error);
        } else {
            faults.emplace_back(n, errors[n % 2]);
        }
    }
    return faults;
}

class InstallFaults : public FileFaultLoop {
protected:
    void SetUp() override {
        FileFaultLoop::SetUp();
        ExitCode = 0;
    }

    TInstallOutcome Run(bool install, const std::string& hiveBefore, const std::optional<std::string>& unitBefore,
                        const TFault& fault, const std::string& context) {
        Faulty.Arm(TFault{});
        for (const Lines strays = Strays(Dir.Path(), {}); const std::string& name : strays)
            if (name != "units") std::filesystem::remove(Dir.File(name));
        std::filesystem::remove_all(Units);
        ::mkdir(Units.c_str(), 0755);
        WriteFile(HivePath, hiveBefore);
        if (unitBefore) WriteFile(UnitPath, *unitBefore);
        ClearConsole();
        ExitCode = 0;
        {
            TServiceApplication app;
            app.AddService<TInstalledService>();
            Faulty.Arm(fault);
            app.Run({"KeyrixSyncVLHRM", install ? "/INSTALL" : "/UNINSTALL"});
            Operations = Faulty.Operations();
            FiredOn = Faulty.FiredOn();
            FiredPath = Faulty.FiredPath();
            Faulty.Arm(TFault{});
        }
        TInstallOutcome outcome;
        outcome.ExitCode = ExitCode;
        // What the administrator is told: the console and, for an error that ends the
        // switch's handling, the event log.
        outcome.Console = ConsoleText() + "\n" + Joined(EventMessages(context));
        outcome.Hive = FileExists(HivePath) ? ReadFile(HivePath) : "";
        if (FileExists(UnitPath)) outcome.Unit = ReadFile(UnitPath);
        // The hive is never torn: it parses.
        try {
            platform::hivefile::ParseHive(outcome.Hive, HivePath);
        } catch (const std::exception& e) {
            ADD_FAILURE() << context << ": " << e.what();
        }
        // A temporary stays only when removing it was the operation that failed.
        for (const std::string& name : Strays(Dir.Path(), {"registry.reg", "registry.reg.lock", "events.log", "units"}))
            EXPECT_TRUE(FiredOn.starts_with("unlink") && FiredPath.ends_with(name)) << context << ": left " << name;
        for (const std::string& name : Strays(Units, {"KeyrixSyncVLRM.service"}))
            EXPECT_TRUE(FiredOn.starts_with("unlink") && FiredPath.ends_with(name)) << context << ": left " << name;
        return outcome;
    }

    // The unit is whole or absent; success is reported only for the whole result, and a
    // failure with exit code 1 and the failure line.
    void Check(bool install, const TInstallOutcome& clean, const TInstallOutcome& run, const std::string& context) {
        if (run.Unit) {
            EXPECT_EQ(*run.Unit, *clean.Unit) << context << ": the unit file is not whole";
        }
        const char* failed = install ? "Service \"Keyrix Sync Client (VLHRM)\" failed to install with error: \""
                                     : "Service \"Keyrix Sync Client (VLHRM)\" failed to uninstall with error: \"";
        if (run.ExitCode == 0) {
            EXPECT_EQ(run.Hive, clean.Hive) << context << ": reported success";
            EXPECT_EQ(run.Unit.has_value(), clean.Unit.has_value()) << context << ": reported success";
            EXPECT_EQ(run.Console.find(failed), std::string::npos) << context << "\n" << run.Console;
        } else {
            EXPECT_EQ(run.ExitCode, 1) << context;
            EXPECT_TRUE(run.Console.find(failed) != std::string::npos ||
                        run.Console.find("Unhandled exception!") != std::string::npos)
                << context << "\n" << run.Console;
            EXPECT_EQ(run.Console.find(install ? "Service installed successfully" : "Service uninstalled successfully"),
                      std::string::npos)
                << context;
        }
    }

    void Loop(bool install, const std::string& hiveBefore, const std::optional<std::string>& unitBefore,
              const TInstallOutcome& clean, std::uint64_t count) {
        for (const auto& [n, error] : Faults(count)) {
            {
                const TInstallOutcome run = Run(install, hiveBefore, unitBefore, FailAt(n, error), "");
                const std::string context =
                    Format("%s: operation %d of %d (%s) failing with %s", install ? "/INSTALL" : "/UNINSTALL", n,
                           count, FiredOn, SysErrorMessage(error));
                ASSERT_FALSE(FiredOn.empty()) << context << ": the fault did not strike";
                Check(install, clean, run, context);
                if (HasFailure()) return;
            }
        }
    }

    std::string UnitPath = Units + "/KeyrixSyncVLRM.service";
    std::uint64_t Operations = 0;
    std::string FiredOn, FiredPath;
};

const std::string SettingsHive =
    "Windows Registry Editor Version 5.00\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Keyrix]\r\n"
    "\"Kept\"=dword:00000007\r\n\r\n";

TEST_F(InstallFaults, EveryFileOperationOfAnInstallFailsInTurn) {
    const TInstallOutcome clean = Run(true, SettingsHive, std::nullopt, TFault{}, "clean install");
    const std::uint64_t count = Operations;
    std::cout << count << " file operations in /INSTALL\n";
    ASSERT_EQ(clean.ExitCode, 0) << clean.Console;
    ASSERT_TRUE(clean.Unit.has_value());
    ASSERT_NE(clean.Hive, SettingsHive);
    Loop(true, SettingsHive, std::nullopt, clean, count);
}

TEST_F(InstallFaults, EveryFileOperationOfAnUninstallFailsInTurn) {
    const TInstallOutcome installed = Run(true, SettingsHive, std::nullopt, TFault{}, "clean install");
    ASSERT_EQ(installed.ExitCode, 0) << installed.Console;
    const TInstallOutcome clean = Run(false, installed.Hive, installed.Unit, TFault{}, "clean uninstall");
    const std::uint64_t count = Operations;
    ASSERT_EQ(clean.ExitCode, 0) << clean.Console;
    ASSERT_FALSE(clean.Unit.has_value());
    // Check compares a whole unit against the clean result's: the one that was installed.
    TInstallOutcome expected = clean;
    expected.Unit = installed.Unit;
    for (const auto& [n, error] : Faults(count)) {
        {
            const TInstallOutcome run = Run(false, installed.Hive, installed.Unit, FailAt(n, error), "");
            const std::string context = Format("/UNINSTALL: operation %d of %d (%s) failing with %s", n, count,
                                               FiredOn, SysErrorMessage(error));
            ASSERT_FALSE(FiredOn.empty()) << context << ": the fault did not strike";
            if (run.Unit) {
                EXPECT_EQ(*run.Unit, *installed.Unit) << context << ": the unit file is not whole";
            }
            if (run.ExitCode == 0) {
                EXPECT_EQ(run.Hive, clean.Hive) << context << ": reported success";
                EXPECT_FALSE(run.Unit.has_value()) << context << ": reported success";
            } else {
                EXPECT_EQ(run.ExitCode, 1) << context;
                EXPECT_TRUE(run.Console.find("failed to uninstall with error: \"") != std::string::npos ||
                            run.Console.find("Unhandled exception!") != std::string::npos)
                    << context << "\n" << run.Console;
            }
            if (HasFailure()) return;
        }
    }
}

}  // namespace
