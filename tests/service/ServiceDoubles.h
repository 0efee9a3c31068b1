// Doubles of the service control manager and the event log, for the logic of the service
// object and the application; the Linux implementations have tests of their own.
#pragma once

#include "platform/EventLog.h"
#include "platform/ServiceManager.h"

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace keyrix::test {

class TFakeServiceManager : public platform::IServiceControlManager {
public:
    long StartServiceCtrlDispatcher(const std::vector<platform::TServiceTableEntry>& table) override {
        if (DispatcherError != 0) return DispatcherError;
        std::vector<std::thread> threads;
        for (const auto& entry : table)
            threads.emplace_back([&entry, this] { entry.ServiceMain(StartArguments.empty() ? std::vector<std::string>{entry.ServiceName} : StartArguments); });
        for (auto& t : threads) t.join();
        return 0;
    }
    long RegisterServiceCtrlHandlerEx(const std::string& name, platform::TControlHandler handler,
                                      platform::TStatusHandle& handle) override {
        std::lock_guard guard(Lock);
        RegisteredName = name;
        Handler = std::move(handler);
        handle = 1;
        return RegisterError;
    }
    long SetServiceStatus(platform::TStatusHandle, const platform::TServiceStatusRecord& status) override {
        std::lock_guard guard(Lock);
        Statuses.push_back(status);
        return StatusError;
    }
    long Connect(bool allAccess) override { return allAccess && AllAccessError != 0 ? AllAccessError : ConnectError; }
    long CreateService(const platform::TServiceConfig& config) override {
        std::lock_guard guard(Lock);
        if (!Installed.insert(config.ServiceName).second) return platform::ERROR_SERVICE_EXISTS;
        Configs.push_back(config);
        return 0;
    }
    long OpenService(const std::string& name) override {
        std::lock_guard guard(Lock);
        return Installed.count(name) ? 0 : platform::ERROR_SERVICE_DOES_NOT_EXIST;
    }
    long DeleteService(const std::string& name) override {
        std::lock_guard guard(Lock);
        return Installed.erase(name) ? 0 : platform::ERROR_SERVICE_DOES_NOT_EXIST;
    }
    long ChangeServiceConfig2(const std::string&, platform::TConfig2Level level,
                              const platform::TServiceConfig2&) override {
        return level == RefusedLevel ? 87 : 0;
    }
    std::string TakeNote() override { return std::exchange(Note, std::string()); }

    // Calls the registered control handler as the manager's own thread would.
    long Control(std::uint32_t code) {
        platform::TControlHandler handler;
        {
            std::lock_guard guard(Lock);
            handler = Handler;
        }
        return handler ? handler(code, 0, 0) : -1;
    }
    std::vector<std::uint32_t> States() {
        std::lock_guard guard(Lock);
        std::vector<std::uint32_t> states;
        for (const auto& s : Statuses) states.push_back(s.CurrentState);
        return states;
    }

    std::mutex Lock;
    long DispatcherError = 0, RegisterError = 0, StatusError = 0, ConnectError = 0;
    long AllAccessError = 0;  // refuses only the install side's connection
    platform::TConfig2Level RefusedLevel = static_cast<platform::TConfig2Level>(0);
    std::vector<std::string> StartArguments;
    std::string RegisteredName;
    platform::TControlHandler Handler;
    std::vector<platform::TServiceStatusRecord> Statuses;
    std::set<std::string> Installed;
    std::vector<platform::TServiceConfig> Configs;
    std::string Note;  // what the manager's tools printed, taken by the next install
};

struct TLoggedEvent {
    std::string Source;
    platform::TEventType Type;
    int Category;
    std::uint32_t EventId;
    std::string Text;
};

class TRecordingEventLog : public platform::IEventLog {
public:
    platform::TEventSourceHandle RegisterEventSource(const std::string& source) override {
        std::lock_guard guard(Lock);
        Sources.push_back(source);
        return Sources.size();
    }
    bool ReportEvent(platform::TEventSourceHandle handle, platform::TEventType type, std::uint16_t category,
                     std::uint32_t eventId, const std::string& text) override {
        std::lock_guard guard(Lock);
        Events.push_back({Sources.at(handle - 1), type, category, eventId, text});
        return true;
    }
    void DeregisterEventSource(platform::TEventSourceHandle) override {}

    std::vector<std::string> Texts() {
        std::lock_guard guard(Lock);
        std::vector<std::string> texts;
        for (const auto& e : Events) texts.push_back(e.Text);
        return texts;
    }

    std::mutex Lock;
    std::vector<std::string> Sources;
    std::vector<TLoggedEvent> Events;
};

}  // namespace keyrix::test
