#include "service/EventLogger.h"

#include "service/SvcConsole.h"

namespace keyrix {

using namespace platform;

TEventLogger::~TEventLogger() {
    if (FHandle != 0) EventLog().DeregisterEventSource(FHandle);
}

void TEventLogger::LogMessage(const std::string& text, TEventType type, std::uint8_t category,
                              std::uint32_t eventId) {
    if (!FRegistered) {
        FHandle = EventLog().RegisterEventSource(FSourceName);
        FRegistered = true;
    }
    // Without a registered source the report fails silently; the console echo stays.
    EventLog().ReportEvent(FHandle, type, category, eventId, text);
    ConsoleWrite("LogMessage: " + text, type == TEventType::Error, 3);
}

}  // namespace keyrix
