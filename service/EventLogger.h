// TEventLogger, the writer of a service's event-log entries: one source, registered with
// the process's event log on the first entry and deregistered when the writer goes; each
// entry is echoed to the console too. Used from one thread at a time (the service object
// guards its own).
#pragma once

#include "platform/EventLog.h"

#include <cstdint>
#include <string>

namespace keyrix {

// Writes event-log entries under one source, registering it on first use.
class TEventLogger {
public:
    explicit TEventLogger(std::string sourceName) : FSourceName(std::move(sourceName)) {}
    TEventLogger(const TEventLogger&) = delete;
    TEventLogger& operator=(const TEventLogger&) = delete;
    ~TEventLogger();

    // Also echoed to the console as "LogMessage: " + text at level 3, highlighted for errors.
    void LogMessage(const std::string& text, platform::TEventType type, std::uint8_t category,
                    std::uint32_t eventId);
    const std::string& SourceName() const { return FSourceName; }

private:
    std::string FSourceName;
    platform::TEventSourceHandle FHandle = 0;
    bool FRegistered = false;
};

}  // namespace keyrix
