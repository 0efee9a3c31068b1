// The event log: entries with a type, a category, an event ID and one text, written under
// an event source. On Linux it is the systemd journal, or with KEYRIX_EVENTLOG set, one
// tab-separated line per entry appended to that file.
#pragma once

#include "platform/Seam.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace keyrix::platform {

enum class TEventType : std::uint16_t {
    Error = 0x1,
    Warning = 0x2,
    Information = 0x4,
    AuditSuccess = 0x8,
    AuditFailure = 0x10,
};

using TEventSourceHandle = std::uintptr_t;  // 0 is no handle

class IEventLog {
public:
    virtual ~IEventLog() = default;
    // The log the source writes into is the one whose registration lists the source
    // (SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source> in the registry), else
    // "Application". Answers 0 when the source cannot be registered.
    virtual TEventSourceHandle RegisterEventSource(const std::string& sourceName) = 0;
    // Fails (false) silently with no handle or an unreachable log.
    virtual bool ReportEvent(TEventSourceHandle source, TEventType type, std::uint16_t category,
                             std::uint32_t eventId, const std::string& text) = 0;
    virtual void DeregisterEventSource(TEventSourceHandle source) = 0;
    // One entry carrying named fields beside its text: in the journal, fields of the entry
    // (names in journald's rules: upper-case letters, digits, '_'); in the file, the
    // entry's line with one more tab-separated "NAME=value" per field after the text.
    // The fields are for machines; a log without them (the default) writes nothing.
    virtual bool ReportFields(TEventSourceHandle source, TEventType type, const std::string& text,
                              const std::vector<std::pair<std::string, std::string>>& fields) {
        (void)source, (void)type, (void)text, (void)fields;
        return false;
    }
};

// A text as the journal keeps it: CR LF and a lone CR become LF, and the other control
// characters but tab are written as \xHH. journald stores a field that holds any of them
// as bytes rather than text, which log shippers then cannot read.
std::string JournalText(const std::string& text);

// The event log of this process: the journal or the KEYRIX_EVENTLOG file, unless a test
// put in another (TScopedEventLog; the threads of the seam's contract in Seam.h).
IEventLog& EventLog();
using TScopedEventLog = TSeam<IEventLog>::TScoped;

}  // namespace keyrix::platform
