#include "service/SvcObject.h"

#include "service/SvcApplication.h"
#include "tests/TestSupport.h"
#include "tests/service/ServiceDoubles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace keyrix;
using namespace keyrix::platform;
using namespace keyrix::test;

namespace {

class Service : public ::testing::Test {
protected:
    TInPlace<IServiceControlManager, TFakeServiceManager> ManagerInPlace;
    TInPlace<IEventLog, TRecordingEventLog> LogInPlace;
    TFakeServiceManager* const Manager = &ManagerInPlace.Object;
    TRecordingEventLog* const Log = &LogInPlace.Object;
};

// Waits (bounded) until the manager has seen the state.
bool WaitForState(TFakeServiceManager& manager, std::uint32_t state) {
    for (int i = 0; i < 500; ++i) {
        auto states = manager.States();
        if (!states.empty() && states.back() == state) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(ServiceProperties, NamesAndDescriptionAreChecked) {
    TServiceBase service("Component");
    EXPECT_EQ(service.ServiceName(), "Component") << "falls back to the component name";
    EXPECT_EQ(service.DisplayName(), "Component");
    for (const std::string& bad : {std::string(), std::string(257, 'n'), std::string("a/b"), std::string("a\\b")}) {
        try {
            service.SetServiceName(bad);
            ADD_FAILURE() << bad;
        } catch (const EServiceError& e) {
            EXPECT_EQ(e.Message(), "''" + bad + "'' is not a valid service name");
        }
    }
    service.SetServiceName(std::string(256, 'n'));
    service.SetDescription(std::string(1023, 'd'));
    try {
        service.SetDescription(std::string(1024, 'd'));
        FAIL();
    } catch (const EServiceError& e) {
        EXPECT_EQ(e.Message(), "Invalid service description. Maximum length allowed is 1024 chars");
    }
}

TEST(ServiceProperties, SettersKeepTheirRules) {
    TServiceBase service("S");
    service.SetPassword("secret");
    service.SetServiceStartName("keyrix");
    service.SetInteractive(true);
    EXPECT_EQ(service.Password(), "");
    EXPECT_EQ(service.ServiceStartName(), "");
    service.SetServiceStartName("keyrix");
    EXPECT_FALSE(service.Interactive());

    service.AllowStop = service.AllowPause = false;
    service.SetOnStop([](TServiceBase&, bool&) {});
    service.SetOnContinue([](TServiceBase&, bool&) {});
    service.SetOnParamChange([](TServiceBase&) {});
    service.SetOnPreShutdown([](TServiceBase&) {});
    EXPECT_TRUE(service.AllowStop);
    EXPECT_TRUE(service.AllowPause);
    EXPECT_EQ(service.AllowedExControls,
              (std::set<TAllowedExControl>{TAllowedExControl::alParamChange, TAllowedExControl::alPreShutdown}));

    TFailureAction action(TFailureActionType::faRestart, -5);
    EXPECT_EQ(action.Delay(), 0);
    action.SetDelay(60000);
    action.SetActionType(TFailureActionType::faNone);
    EXPECT_EQ(action.Delay(), 0);
}

TEST_F(Service, CheckPointsCountRepeatedPendingReports) {
    TServiceBase service("S");
    service.SetStatus(TCurrentStatus::csStartPending);
    service.SetStatus(TCurrentStatus::csStartPending);
    service.SetStatus(TCurrentStatus::csRunning);
    service.SetStatus(TCurrentStatus::csStopPending);
    ASSERT_EQ(Manager->Statuses.size(), 4u);
    EXPECT_EQ(Manager->Statuses[0].CheckPoint, 1u);
    EXPECT_EQ(Manager->Statuses[1].CheckPoint, 2u);
    EXPECT_EQ(Manager->Statuses[2].CheckPoint, 0u);
    EXPECT_EQ(Manager->Statuses[3].CheckPoint, 0u);
    EXPECT_EQ(Manager->Statuses[0].ControlsAccepted, 0u) << "nothing while start pending";
    EXPECT_EQ(Manager->Statuses[2].ControlsAccepted,
              SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PAUSE_CONTINUE);
    EXPECT_EQ(Manager->Statuses[2].WaitHint, 5000u);
    EXPECT_EQ(Manager->Statuses[2].ServiceType, SERVICE_WIN32_OWN_PROCESS);

    service.ErrCode = 7;
    service.DebugRun = true;
    service.SetStatus(TCurrentStatus::csStopped);
    EXPECT_EQ(Manager->Statuses.size(), 4u) << "a debug run reports nothing";
    EXPECT_EQ(service.StatusRecord().Win32ExitCode, 1066u);
}

TEST_F(Service, ControlCodesAreAcceptedByTheTable) {
    TServiceBase service("S");
    struct Case {
        std::uint32_t code;
        bool accepted;
    };
    for (Case c : {Case{0, false}, Case{1, true}, Case{2, true}, Case{3, true}, Case{4, true}, Case{5, true},
                   Case{6, false}, Case{7, false}, Case{10, false}, Case{11, false}, Case{12, false},
                   Case{13, false}, Case{14, false}, Case{15, false}, Case{16, false}, Case{127, false},
                   Case{128, true}, Case{200, true}, Case{255, true}, Case{256, false}}) {
        EXPECT_EQ(service.ControlHandler(c.code, 0, 0), c.accepted ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED)
            << c.code;
    }
    service.AllowStop = false;
    service.AllowPause = false;
    service.AllowedExControls = {TAllowedExControl::alParamChange, TAllowedExControl::alNetBindChange};
    for (Case c : {Case{1, false}, Case{2, false}, Case{6, true}, Case{8, true}, Case{5, true}})
        EXPECT_EQ(service.ControlHandler(c.code, 0, 0), c.accepted ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED)
            << "restricted " << c.code;
    service.SetStatus(TCurrentStatus::csRunning);
    EXPECT_EQ(Manager->Statuses.back().ControlsAccepted,
              SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE | SERVICE_ACCEPT_NETBINDCHANGE);
}

TEST_F(Service, StopDuringTheRunIsHandledAfterIt) {
    TServiceApplication application;
    auto* service = application.AddService<TServiceBase>("S");
    std::vector<std::uint32_t> statesDuringRun;
    std::vector<std::int32_t> customCodes;
    service->OnCustomControl = [&](TServiceBase&, std::int32_t code) { customCodes.push_back(code); };
    service->OnExecute = [&](TServiceBase& s) {
        EXPECT_EQ(Manager->Control(200), NO_ERROR);
        EXPECT_EQ(Manager->Control(1), NO_ERROR);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(s.Status(), TCurrentStatus::csRunning) << "the stop waits for the end of the run";
        EXPECT_TRUE(customCodes.empty());
    };
    application.Run({"prog", "/SVC"});
    EXPECT_EQ(Manager->RegisteredName, "S");
    EXPECT_EQ(Manager->States(), (std::vector<std::uint32_t>{SERVICE_START_PENDING, SERVICE_START_PENDING,
                                                              SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                                              SERVICE_STOPPED}));
    EXPECT_EQ(customCodes, std::vector<std::int32_t>{200});
    EXPECT_EQ(Log->Texts(), (std::vector<std::string>{"S started!", "S stopping!"}));
    EXPECT_EQ(ExitCode, 0);
}

TEST_F(Service, PauseDuringTheRunSuspendsTheWorkerUntilTheNextRequest) {
    TServiceApplication application;
    auto* service = application.AddService<TServiceBase>("S");
    service->OnExecute = [&](TServiceBase&) { Manager->Control(2); };
    std::thread run([&] { application.Run({"prog", "/SVC"}); });
    ASSERT_TRUE(WaitForState(*Manager, SERVICE_PAUSED));
    bool suspended = false;
    for (int i = 0; i < 500 && !suspended; ++i) {
        suspended = service->ServiceThread() && service->ServiceThread()->Suspended();
        if (!suspended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(suspended);
    Manager->Control(1);  // resumes the worker and stops it
    run.join();
    EXPECT_EQ(Manager->States(), (std::vector<std::uint32_t>{SERVICE_START_PENDING, SERVICE_START_PENDING,
                                                              SERVICE_RUNNING, SERVICE_PAUSE_PENDING, SERVICE_PAUSED,
                                                              SERVICE_STOP_PENDING, SERVICE_STOPPED}));
}

TEST_F(Service, RequestQueuedBehindAPauseEndsTheSuspension) {
    TServiceBase service("S");
    service.OnExecute = [this](TServiceBase&) {
        Manager->Control(2);
        Manager->Control(1);  // arrives before the worker has suspended itself
    };
    service.ServiceMain({"S"});  // would never return if the stop were lost
    EXPECT_EQ(Manager->States(), (std::vector<std::uint32_t>{SERVICE_START_PENDING, SERVICE_START_PENDING,
                                                              SERVICE_RUNNING, SERVICE_PAUSE_PENDING, SERVICE_PAUSED,
                                                              SERVICE_STOP_PENDING, SERVICE_STOPPED}));
}

TEST_F(Service, TriggerStartedIsCaseSensitive) {
    for (auto [argument, expected] : {std::pair{"TriggerStarted", true}, std::pair{"triggerstarted", false}}) {
        TServiceBase service("S");
        service.OnExecute = [](TServiceBase&) {};
        service.ServiceMain({"S", argument});
        EXPECT_EQ(service.TriggerStarted(), expected) << argument;
        EXPECT_EQ(service.Params(), (std::vector<std::string>{"S", argument}));
    }
}

TEST_F(Service, FailuresAreLoggedWithTheirPhase) {
    TServiceBase service("S");
    service.LogOptions.LogSCEvents = false;
    service.OnExecute = [](TServiceBase&) { throw EDisplayError("boom"); };
    service.ServiceMain({"S"});
    EXPECT_EQ(Log->Texts(), std::vector<std::string>{"Service failed on execute: boom"});
    EXPECT_EQ(Manager->States().back(), SERVICE_STOPPED);

    TServiceBase starter("T");
    starter.LogOptions.LogSCEvents = false;
    starter.OnStart = [](TServiceBase&, bool&) { throw EDisplayError("no start"); };
    starter.ServiceMain({"T"});
    EXPECT_EQ(Log->Texts().back(), "Service failed on start: no start");

    Manager->RegisterError = 1063;
    TServiceBase unregistered("U");
    unregistered.ServiceMain({"U"});
    EXPECT_EQ(Log->Texts().back(), "The service process could not connect to the service controller.");
}

TEST_F(Service, ControlErrorsNameTheControl) {
    TServiceBase service("S");
    service.LogOptions.LogSCEvents = false;
    service.SetOnStop([](TServiceBase&, bool&) { throw EDisplayError("refused"); });
    service.OnCustomControl = [](TServiceBase&, std::int32_t) { throw EDisplayError("odd"); };
    service.OnExecute = [this](TServiceBase&) {
        Manager->Control(1);
        Manager->Control(129);
    };
    service.ServiceMain({"S"});
    EXPECT_EQ(Log->Texts(), (std::vector<std::string>{"Service failed on stop: refused",
                                                       "Service failed in custom message(129): odd"}));
    EXPECT_EQ(Manager->States(), (std::vector<std::uint32_t>{SERVICE_START_PENDING, SERVICE_START_PENDING,
                                                              SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_RUNNING,
                                                              SERVICE_RUNNING, SERVICE_STOPPED}))
        << "the status before each failed control is set again";
}

// systemctl stop landing as a run ends: the control handler runs on another thread while
// Main releases the worker thread. Each control must reach a live thread or none at all;
// under the sanitizers a handler that touched a released thread fails the test.
TEST_F(Service, ControlsSentWhileRunsEndReachNoReleasedThread) {
    constexpr int Runs = 400;
    // Each batch waits (briefly) until the worker has taken the one before, so that the
    // worker finds its queue empty now and then and its run can end.
    constexpr int BatchesPerRun = 1000;
    for (int run = 0; run < Runs; ++run) {
        std::atomic<int> sent{0}, refused{0}, custom{0};
        std::atomic<bool> done{false};
        TServiceBase service("S");
        service.LogOptions.LogSCEvents = false;
        service.OnCustomControl = [&](TServiceBase&, std::int32_t) { ++custom; };
        service.OnExecute = [&](TServiceBase&) {
            // End the run only once controls are arriving, so that they keep arriving while
            // the worker ends and is released.
            const int before = sent;  // three in a row include a user code
            for (int i = 0; i < 2000 && sent < before + 3; ++i)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        };
        std::thread controller([&] {
            for (int batch = 0; batch < BatchesPerRun && !done; ++batch) {
                const int taken = custom;
                for (std::uint32_t code : {1u, 4u, 200u}) {
                    const long answer = Manager->Control(code);  // -1: no handler registered yet
                    if (answer == NO_ERROR)
                        ++sent;
                    else if (answer != -1)
                        ++refused;
                }
                const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(2);
                while (custom == taken && !done && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
            }
        });
        service.ServiceMain({"S"});
        done = true;
        controller.join();
        {
            // The next service registers its own handler; this one must not be called again.
            std::lock_guard guard(Manager->Lock);
            Manager->Handler = nullptr;
            ASSERT_FALSE(Manager->Statuses.empty());
            EXPECT_EQ(Manager->Statuses.back().CurrentState, SERVICE_STOPPED) << "run " << run;
            Manager->Statuses.clear();
        }
        EXPECT_GE(sent.load(), 3) << "run " << run;
        EXPECT_EQ(refused.load(), 0) << "stop, interrogate and user codes are accepted, run " << run;
        EXPECT_GE(custom.load(), 1) << "the requests queued during the run are handled, run " << run;
        EXPECT_FALSE(service.ServiceThread()) << "released at the end of Main";
    }
}
