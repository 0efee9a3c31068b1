#include "service/SvcApplication.h"

#include "platform/Signals.h"
#include "service/SvcConsole.h"
#include "tests/TestSupport.h"
#include "tests/service/ServiceDoubles.h"
#include "tests/setup/HiveFixture.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

using namespace keyrix;
using namespace keyrix::platform;
using namespace keyrix::test;
using Args = std::vector<std::string>;

namespace {

class Application : public HiveFixture {
protected:
    void SetUp() override {
        HiveFixture::SetUp();
        Manager = &ManagerInPlace.emplace().Object;
        Log = &LogInPlace.emplace().Object;
        Console = std::make_shared<TConsoleRecord>();
        ConsoleInPlace.emplace(Console);
        ConsoleLevel = 2;
        ExitCode = 0;
        Service = App.AddService<TServiceBase>("S");
        Service->SetDisplayName("Test Service");
        Service->LogOptions.EventLogName = "Keyrix";
        Service->LogOptions.MessagesLibrary = "KeyrixMessages.dll";
        Service->OnExecute = [this](TServiceBase&) { ++Runs; };
        App.OnConfig = [this](TServiceApplication&) { ++Configs; };
    }
    void TearDown() override {
        ServiceLogInfo.Unbind();
        ServiceLogWarning.Unbind();
        ServiceLogError.Unbind();
        ConsoleInPlace.reset();
        LogInPlace.reset();
        ManagerInPlace.reset();
        HiveFixture::TearDown();
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (const std::string& e : Console->Events)
            if (e.rfind("attr:", 0) != 0) lines.push_back(e.substr(0, e.size() - 2));
        return lines;
    }

    std::optional<TInPlace<IServiceControlManager, TFakeServiceManager>> ManagerInPlace;
    std::optional<TInPlace<IEventLog, TRecordingEventLog>> LogInPlace;
    std::optional<TInPlace<IConsoleOutput, TRecordingConsole>> ConsoleInPlace;
    TFakeServiceManager* Manager = nullptr;
    TRecordingEventLog* Log = nullptr;
    std::shared_ptr<TConsoleRecord> Console;
    TServiceApplication App;
    TServiceBase* Service = nullptr;
    int Runs = 0, Configs = 0;
};

}  // namespace

TEST_F(Application, SwitchesSelectTheMode) {
    struct Case {
        Args arguments;
        int configs, runs;
        bool installed;
    };
    const Case cases[] = {
        {{"p"}, 1, 0, false},
        {{"p", "report.txt"}, 0, 0, false},
        {{"p", "install"}, 0, 0, false},
        {{"p", "/installx"}, 0, 0, false},
        {{"p", "/SVC", "/DEBUG"}, 0, 1, false},
        {{"p", "-svc"}, 0, 1, false},
        {{"p", "/INSTALL", "/UNINSTALL"}, 0, 0, true},
        {{"p", "-Install"}, 0, 0, true},
        {{"p", "/UNINSTALL"}, 0, 0, false},
    };
    for (const Case& c : cases) {
        Configs = Runs = 0;
        ExitCode = 0;
        Manager->Installed.clear();
        App.Run(c.arguments);
        EXPECT_EQ(Configs, c.configs) << c.arguments.back();
        EXPECT_EQ(Runs, c.runs) << c.arguments.back();
        EXPECT_EQ(Manager->Installed.count("S") == 1, c.installed) << c.arguments.back();
        EXPECT_EQ(ExitCode, 0) << c.arguments.back();
    }
}

TEST_F(Application, ModeLinesOnTheConsole) {
    App.Run({"p"});
    App.Run({"p", "/SVC", "/DEBUG"});
    App.Run({"p", "/INSTALL"});
    App.Run({"p", "/UNINSTALL"});
    EXPECT_EQ(Lines(), (std::vector<std::string>{"No parameters passed >> config mode",
                                                  "Starting services in debug mode", "All services stopped",
                                                  "Installing service", "Service installed successfully",
                                                  "Uninstalling service", "Service uninstalled successfully"}));
}

TEST_F(Application, InstallWithoutRootIsRefusedWithExitCode2) {
    const std::string outcome = RunInChild(
        [this] {
            App.Run({"p", "/INSTALL"});
            return std::to_string(ExitCode) + " " + Lines().at(0) + " " + Console->Events.at(0);
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "2 Need administrator privileges for service install/uninstall! attr:47");
    EXPECT_TRUE(Manager->Installed.empty());
}

TEST_F(Application, FailedInstallGivesExitCode1AndNoSuccessLine) {
    App.Run({"p", "/INSTALL"});
    Console->Events.clear();
    App.Run({"p", "/INSTALL"});  // already there
    EXPECT_EQ(ExitCode, 1);
    ASSERT_EQ(Lines().size(), 2u);
    EXPECT_EQ(Lines()[1],
              "Service \"Test Service\" failed to install with error: \"System Error.  Code: 1073.\r\n"
              "The specified service already exists.\"");
}

TEST_F(Application, InstallAnswersTheLineItWritesEvenWithoutAConsole) {
    struct Case {
        bool install, failed;
        std::string message;
        int exitCode;
    };
    const Case cases[] = {
        {true, false, "Service installed successfully", 0},
        {true, true,
         "Service \"Test Service\" failed to install with error: \"System Error.  Code: 1073.\r\n"
         "The specified service already exists.\"",
         1},
        {false, false, "Service uninstalled successfully", 0},
        {false, false, "Service uninstalled successfully", 0},  // nothing left to remove
    };
    for (const Case& c : cases) {
        ExitCode = 0;
        Console->Events.clear();
        const TInstallResult written = App.RequestInstall(c.install);
        EXPECT_EQ(written.Failed, c.failed) << c.message;
        EXPECT_EQ(written.Message, c.message);
        EXPECT_EQ(written.Error, c.failed ? "System Error.  Code: 1073.\r\nThe specified service already exists." : "");
        EXPECT_EQ(ExitCode, c.exitCode) << c.message;
        ASSERT_FALSE(Lines().empty());
        EXPECT_EQ(Lines().back(), c.message) << "the console shows the same line";
    }
    // Config mode has no console: the line is still answered, and nothing is written.
    ConsoleInPlace.reset();
    Console->Events.clear();
    EXPECT_EQ(App.RequestInstall(true).Message, "Service installed successfully");
    EXPECT_TRUE(Console->Events.empty());
    EXPECT_EQ(Manager->Installed.count("S"), 1u);
}

TEST_F(Application, WhatTheManagersToolsPrintedFollowsTheInstallLine) {
    Manager->Note = "systemctl: Failed to enable unit";
    const TInstallResult written = App.RequestInstall(true);
    EXPECT_EQ(written.Note, "systemctl: Failed to enable unit");
    EXPECT_EQ(Manager->Note, "") << "taken";
    ASSERT_GE(Lines().size(), 2u);
    EXPECT_EQ(Lines()[Lines().size() - 2], "Service installed successfully");
    EXPECT_EQ(Lines().back(), "systemctl: Failed to enable unit");
    Console->Events.clear();
    EXPECT_EQ(App.RequestInstall(false).Note, "");
    EXPECT_EQ(Lines().back(), "Service uninstalled successfully") << "nothing printed, no line";
}

TEST_F(Application, InstallRequestWithoutRootAnswersTheRefusal) {
    const std::string outcome = RunInChild(
        [this] {
            const TInstallResult refused = App.RequestInstall(false);
            return std::to_string(ExitCode) + " " + std::to_string(refused.Failed) + " " + refused.Message;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "2 1 Need administrator privileges for service install/uninstall!");
}

TEST_F(Application, ErrorsReachingRunBecomeAnUnhandledExceptionEntry) {
    Manager->ConnectError = 5;
    App.Run({"p", "/UNINSTALL"});
    EXPECT_EQ(ExitCode, 1);
    ASSERT_FALSE(Log->Events.empty());
    const TLoggedEvent& entry = Log->Events.back();
    EXPECT_EQ(entry.Text, "Unhandled exception!\r\nClass: EOSError\r\nMessage: System Error.  Code: 5.\r\nAccess is denied.");
    EXPECT_EQ(entry.Type, TEventType::Error);
    EXPECT_EQ(entry.Category, 1);
    EXPECT_EQ(Log->Sources.front(), "service_tests") << "the application's entries use the executable's name";
}

TEST_F(Application, DispatcherFailureIsLoggedAndTheProcessEndsNormally) {
    Manager->DispatcherError = 1063;
    App.Run({"p", "/SVC"});
    EXPECT_EQ(ExitCode, 0);
    EXPECT_EQ(Log->Texts(), std::vector<std::string>{"The service process could not connect to the service controller."});
    EXPECT_EQ(Lines().back(), "All services stopped");
    EXPECT_EQ(Runs, 0);
}

TEST_F(Application, HooksAreBoundToTheOneService) {
    Service->OnExecute = [](TServiceBase&) { ServiceLogError("from the run"); };
    App.Run({"p", "/SVC", "/DEBUG"});
    ASSERT_FALSE(Log->Events.empty());
    EXPECT_EQ(Log->Events.back().Text, "from the run");
    EXPECT_EQ(Log->Events.back().Source, "S");
    EXPECT_EQ(Log->Events.back().Category, 1);
}

TEST_F(Application, CtrlCAsksTheRunningServiceToStopAfterItsRun) {
    TSignalThread::BlockHandledSignals();
    AcquireConsole(App);
    // Keeps the lines for the test, over the acquired output, until the console is released.
    std::optional<TScopedConsoleOutput> keep;
    keep.emplace(ConsoleInPlace->Object);
    std::atomic<bool> interrupted{false};
    Service->OnExecute = [&](TServiceBase&) {
        ::kill(::getpid(), SIGINT);
        for (int i = 0; i < 500 && !interrupted; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            interrupted = Console->Contains("Close request received - shutting down");
        }
    };
    App.Run({"p", "/SVC", "/DEBUG"});
    EXPECT_TRUE(interrupted);
    EXPECT_EQ(Log->Texts(), (std::vector<std::string>{"Test Service started!", "Test Service stopping!"}));
    EXPECT_FALSE(ClosedByRequest) << "Ctrl+C is no closed window";
    RemoveConsoleCloseHandler();
    keep.reset();
    ReleaseConsole();
}

// Ctrl+C landing as a debug run ends: the close handler posts stop requests from the
// signal thread while the application releases the worker threads.
TEST_F(Application, StopRequestsWhileDebugRunsEndReachNoReleasedThread) {
    Service->LogOptions.LogSCEvents = false;
    std::atomic<int> posted{0}, stops{0};
    std::atomic<bool> done{false};
    Service->SetOnStop([&](TServiceBase&, bool&) { ++stops; });
    Service->OnExecute = [&](TServiceBase&) {
        const int before = posted;
        for (int i = 0; i < 2000 && posted == before; ++i) std::this_thread::sleep_for(std::chrono::microseconds(500));
        ++Runs;
    };
    std::thread closer([&] {
        while (!done) {
            // Waits (briefly) until the worker has taken the request, so that its queue
            // runs empty now and then and its run can end.
            const int taken = stops;
            if (App.PostStopToRunningServices() == 0) {
                std::this_thread::yield();
                continue;
            }
            ++posted;
            const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
            while (stops == taken && !done && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        }
    });
    constexpr int Rounds = 150;
    for (int round = 0; round < Rounds; ++round) {
        App.Run({"p", "/SVC", "/DEBUG"});
        EXPECT_FALSE(Service->ServiceThread()) << "released after the run, round " << round;
    }
    done = true;
    closer.join();
    EXPECT_EQ(Runs, Rounds);
    EXPECT_GT(stops.load(), 0) << "the stop requests queued during a run are taken after it";
    EXPECT_EQ(ExitCode, 0);
}
